// The HCI backend's transports: port names, the Unix socket end to end against a listener
// in the test, the serial port (a missing one, and a pseudo-terminal on Linux), the user
// channel's advice on this machine, and the reader-thread transport the Windows serial port
// runs on, over a scripted stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hci/h4_parser.h"
#include "hci/transport/blocking_stream_transport.h"
#include "hci/transport/transport.h"
#include "platform/blocking_stream.h"
#include "platform/hci_user_channel.h"

#if defined(BOOST_ASIO_HAS_LOCAL_SOCKETS)
#include <boost/asio/local/stream_protocol.hpp>

#include "hci/transport/asio_stream_transport.h"
#endif
#if defined(__linux__)
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#endif

namespace {

using bytes = std::vector<uint8_t>;
constexpr std::chrono::seconds generous(10);
// Far longer than a failure to open needs, far shorter than a hang.
constexpr std::chrono::seconds prompt(5);

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// What a transport delivered, and whether it kept its promises while doing it.
class recorder {
  public:
    hci::transport::bytes_handler on_bytes() {
        return [this](hci::bytes_view chunk) {
            if (closed.load()) ++calls_after_close;
            std::lock_guard<std::mutex> lock(mutex_);
            if (lost_count_ != 0) bytes_after_loss_ = true;
            received_.insert(received_.end(), chunk.data, chunk.data + chunk.size);
            ++chunks_;
            if (reply) reply(chunk);
            changed_.notify_all();
        };
    }
    hci::transport::lost_handler on_lost() {
        return [this](const std::string& why) {
            if (closed.load()) ++calls_after_close;
            std::lock_guard<std::mutex> lock(mutex_);
            ++lost_count_;
            lost_why_ = why;
            lost_thread_ = std::this_thread::get_id();
            changed_.notify_all();
        };
    }

    bool wait_for_bytes(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, generous, [&] { return received_.size() >= count; });
    }
    bool wait_for_chunks(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, generous, [&] { return chunks_ >= count; });
    }
    bool wait_for_loss() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, generous, [&] { return lost_count_ != 0; });
    }

    bytes received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    int lost_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lost_count_;
    }
    std::string lost_why() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lost_why_;
    }
    std::thread::id lost_thread() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lost_thread_;
    }
    bool bytes_after_loss() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_after_loss_;
    }

    // Set by a test right after close() returns: no handler may run from then on.
    std::atomic<bool> closed{false};
    std::atomic<int> calls_after_close{0};
    // Called from the bytes handler, on the transport's thread, if set before start().
    std::function<void(hci::bytes_view)> reply;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bytes received_;
    size_t chunks_ = 0;
    int lost_count_ = 0;
    std::string lost_why_;
    std::thread::id lost_thread_;
    bool bytes_after_loss_ = false;
};

// ---- Port names -------------------------------------------------------------------------

struct good_name {
    const char* port;
    const char* path;
    hci::transport_address::kind what;
    uint32_t baud;
    uint16_t index;
    bool rts_cts;
};

TEST(HciTransportAddress, AcceptsEachForm) {
    using kind = hci::transport_address::kind;
    const good_name cases[] = {
        {"hci:/dev/ttyACM0", "/dev/ttyACM0", kind::serial, 1000000, 0, true},
        {"hci:COM10@115200", "COM10", kind::serial, 115200, 0, true},
        {"hci:/dev/ttyUSB0@921600,noflow", "/dev/ttyUSB0", kind::serial, 921600, 0, false},
        {"hci:COM3,noflow", "COM3", kind::serial, 1000000, 0, false},
        {"hci:\\\\.\\COM12@2000000", "\\\\.\\COM12", kind::serial, 2000000, 0, true},
        {"hci:ttyS0@1200", "ttyS0", kind::serial, 1200, 0, true},
        {"hci:ttyS0@4000000", "ttyS0", kind::serial, 4000000, 0, true},
        // Options only after the last separator: a directory may hold '@' and ','.
        {"hci:/run/a@b,c/tty0@9600", "/run/a@b,c/tty0", kind::serial, 9600, 0, true},
        {"hci:C:\\x@y\\port", "C:\\x@y\\port", kind::serial, 1000000, 0, true},
        // A socket path is taken whole, '@' and ',' included.
        {"hci:unix:/tmp/ctl.sock", "/tmp/ctl.sock", kind::unix_socket, 1000000, 0, true},
        {"hci:unix:ctl@2,noflow", "ctl@2,noflow", kind::unix_socket, 1000000, 0, true},
        {"hci:user:0", "", kind::user_channel, 1000000, 0, true},
        {"hci:user:007", "", kind::user_channel, 1000000, 7, true},
        {"hci:user:65535", "", kind::user_channel, 1000000, 65535, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        hci::transport_address address;
        std::string error;
        ASSERT_TRUE(hci::parse_transport_address(c.port, address, error)) << error;
        EXPECT_EQ(address.what, c.what);
        EXPECT_EQ(address.path, c.path);
        EXPECT_EQ(address.device_index, c.index);
        EXPECT_EQ(address.baud_rate, c.baud);
        EXPECT_EQ(address.rts_cts, c.rts_cts);
    }
}

TEST(HciTransportAddress, RejectsMalformedNamesWithOneLineThatShowsTheForms) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "not an HCI port name"},
        {"COM3", "not an HCI port name"},
        {"hci:", "nothing after"},
        {"hci:user:", "from 0 to 65535"},
        {"hci:user:-1", "from 0 to 65535"},
        {"hci:user:+1", "from 0 to 65535"},
        {"hci:user: 1", "from 0 to 65535"},
        {"hci:user:1 ", "from 0 to 65535"},
        {"hci:user:1x", "from 0 to 65535"},
        {"hci:user:0x1", "from 0 to 65535"},
        {"hci:user:65536", "from 0 to 65535"},
        {"hci:user:70000", "from 0 to 65535"},
        {"hci:user:99999999999999999999999", "from 0 to 65535"},
        {"hci:unix:", "no socket path"},
        {"hci:unix", "needs \":\""},
        {"hci:user", "needs \":\""},
        {"hci:@115200", "no serial device"},
        {"hci:/dev/", "no serial device"},
        {"hci:/dev/@9600", "no serial device"},
        {"hci:/dev/ttyACM0@", "baud rate"},
        {"hci:/dev/ttyACM0@fast", "baud rate"},
        {"hci:/dev/ttyACM0@1199", "baud rate"},
        {"hci:/dev/ttyACM0@4000001", "baud rate"},
        {"hci:/dev/ttyACM0@-9600", "baud rate"},
        {"hci:/dev/ttyACM0@ 9600", "baud rate"},
        {"hci:/dev/ttyACM0@99999999999999999999", "baud rate"},
        {"hci:/dev/ttyACM0@9600@9600", "baud rate"},
        {"hci:/dev/ttyACM0,flow", "unknown serial option"},
        {"hci:/dev/ttyACM0@9600,", "unknown serial option"},
        {"hci:/dev/ttyACM0,noflow,noflow", "unknown serial option"},
        {"hci:/dev/ttyACM0,noflow@9600", "unknown serial option"},
        // A newline would split the message; a NUL would open a shorter path.
        {"hci:/dev/tty\nACM0", "control character"},
        {std::string("hci:/dev/ttyACM0\0/x", 19), "control character"},
        {"hci:unix:/tmp/a\tb", "control character"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        hci::transport_address address;
        std::string error;
        EXPECT_FALSE(hci::parse_transport_address(c.first, address, error));
        EXPECT_TRUE(contains(error, c.second)) << error;
        EXPECT_TRUE(contains(error, "hci:<serial device>[@<baud>][,noflow]")) << error;
        EXPECT_TRUE(contains(error, "hci:unix:<socket path>")) << error;
        EXPECT_TRUE(contains(error, "hci:user:<hci index>")) << error;
        EXPECT_EQ(error.find_first_of(std::string("\n\r\0", 3)), std::string::npos) << error;
    }
}

// ---- Serial ports -----------------------------------------------------------------------

hci::transport_address serial_address(const std::string& path, uint32_t baud = 1000000) {
    hci::transport_address address;
    address.what = hci::transport_address::kind::serial;
    address.path = path;
    address.baud_rate = baud;
    return address;
}

TEST(HciTransportSerial, MissingPortFailsAtOnceWithALineNamingIt) {
    const auto started = std::chrono::steady_clock::now();
    std::string error;
    auto opened = hci::open_transport(serial_address("orvette-no-such-port"), error);
    EXPECT_EQ(opened, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, prompt);
    EXPECT_EQ(error.rfind("hci:orvette-no-such-port: cannot open the serial port: ", 0), 0U)
        << error;
#if defined(__linux__)
    EXPECT_EQ(error,
              "hci:orvette-no-such-port: cannot open the serial port: No such file or directory");
#endif
}

TEST(HciTransportSerial, RejectsAHandBuiltPathWithAControlCharacter) {
    std::string error;
    EXPECT_EQ(hci::open_transport(serial_address(std::string("/dev/null\0x", 11)), error), nullptr);
    EXPECT_TRUE(contains(error, "control character")) << error;
    EXPECT_EQ(error.find('\0'), std::string::npos);
}

#if defined(__linux__)
TEST(HciTransportSerial, AFileThatIsNoTerminalIsNoSerialPort) {
    std::string error;
    EXPECT_EQ(hci::open_transport(serial_address("/dev/null"), error), nullptr);
    EXPECT_EQ(error, "hci:/dev/null: cannot open the serial port: /dev/null is not a serial port");
}

// A pseudo-terminal stands in for the UART: the transport opens its terminal side as the
// serial port, the test plays the controller on the other.
class HciTransportPty : public ::testing::Test {
  protected:
    void SetUp() override {
        controller_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(controller_, 0);
        ASSERT_EQ(::grantpt(controller_), 0);
        ASSERT_EQ(::unlockpt(controller_), 0);
        char name[128] = {};
        ASSERT_EQ(::ptsname_r(controller_, name, sizeof name), 0);
        terminal_ = name;
    }
    void TearDown() override { close_controller(); }

    void close_controller() {
        if (controller_ >= 0) ::close(controller_);
        controller_ = -1;
    }

    bytes read_controller(size_t count) {
        bytes out;
        while (out.size() < count) {
            pollfd ready{controller_, POLLIN, 0};
            if (::poll(&ready, 1, 10000) != 1) break;
            uint8_t buffer[256];
            const ssize_t got =
                ::read(controller_, buffer, std::min(sizeof buffer, count - out.size()));
            if (got <= 0) break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

    int controller_ = -1;
    std::string terminal_;
};

TEST_F(HciTransportPty, CarriesBytesBothWaysAndReportsAHangUpOnce) {
    std::string error;
    auto opened = hci::open_transport(serial_address(terminal_, 115200), error);
    ASSERT_NE(opened, nullptr) << error;
    recorder seen;
    opened->start(seen.on_bytes(), seen.on_lost());

    const bytes reset = {0x01, 0x03, 0x0C, 0x00};
    std::string why;
    ASSERT_TRUE(opened->write(reset, why)) << why;
    EXPECT_EQ(read_controller(reset.size()), reset);

    const bytes complete = {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
    ASSERT_EQ(::write(controller_, complete.data(), complete.size()),
              static_cast<ssize_t>(complete.size()));
    ASSERT_TRUE(seen.wait_for_bytes(complete.size()));
    EXPECT_EQ(seen.received(), complete);

    // The controller side going away is a hang-up to the terminal side.
    close_controller();
    ASSERT_TRUE(seen.wait_for_loss());
    EXPECT_EQ(seen.lost_why().rfind("hci:" + terminal_ + ": ", 0), 0U) << seen.lost_why();
    EXPECT_FALSE(opened->write(reset, why));
    EXPECT_EQ(why, seen.lost_why());
    opened->close();
    EXPECT_EQ(seen.lost_count(), 1);
}

TEST_F(HciTransportPty, ARateTheSystemHasNotIsRefusedAtOpen) {
    std::string error;
    EXPECT_EQ(hci::open_transport(serial_address(terminal_, 123456), error), nullptr);
    EXPECT_EQ(error.rfind("hci:" + terminal_ + ": the serial port does not take 123456 baud", 0),
              0U)
        << error;
}
#endif  // __linux__

// ---- The Linux HCI user channel ---------------------------------------------------------

TEST(HciTransportUserChannel, SaysWhatToDoWhenItCannotOpen) {
    hci::transport_address address;
    address.what = hci::transport_address::kind::user_channel;
    address.device_index = 0;
    std::string error;
    auto opened = hci::open_transport(address, error);
#if defined(__linux__)
    // What the kernel says to a Bluetooth socket here decides which advice is due.
    const int probe = ::socket(31, SOCK_RAW | SOCK_CLOEXEC, 1);
    const int probe_error = probe < 0 ? errno : 0;
    if (probe >= 0) ::close(probe);
    if (probe_error == EAFNOSUPPORT) {
        ASSERT_EQ(opened, nullptr);
        EXPECT_EQ(error.rfind("hci:user:0: this kernel has no Bluetooth support", 0), 0U) << error;
        EXPECT_TRUE(contains(error, "modprobe bluetooth")) << error;
    } else if (probe_error == EPERM || probe_error == EACCES) {
        ASSERT_EQ(opened, nullptr);
        EXPECT_TRUE(contains(error, "CAP_NET_ADMIN")) << error;
        EXPECT_TRUE(contains(error, "setcap cap_net_admin+ep")) << error;
    } else if (opened == nullptr) {
        // A Bluetooth kernel: hci0 is missing, busy or ours to take; every refusal names it.
        EXPECT_EQ(error.rfind("hci:user:0: ", 0), 0U) << error;
        EXPECT_TRUE(contains(error, "hci0") || contains(error, "CAP_NET_ADMIN")) << error;
    }
    if (opened) opened->close();
#else
    ASSERT_EQ(opened, nullptr);
    EXPECT_EQ(error.rfind("hci:user:0: the HCI user channel needs Linux", 0), 0U) << error;
#endif
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

#if defined(__linux__)
TEST(HciTransportUserChannel, EachRefusalTheKernelGivesHasItsOwnAdvice) {
    // An adapter held off by a radio switch or a soft block refuses to come up.
    const std::string blocked = platform::explain_user_channel_error(1, ERFKILL);
    EXPECT_EQ(blocked.rfind("hci1 is blocked by rfkill (", 0), 0U) << blocked;
    EXPECT_TRUE(contains(blocked, ": unblock it with `rfkill unblock bluetooth`")) << blocked;
    // None falls through to the plain line, and none names another device.
    for (const int code : {EAFNOSUPPORT, EPERM, EACCES, EBUSY, EUSERS, ENODEV, EINVAL, ERFKILL}) {
        const std::string line = platform::explain_user_channel_error(1, code);
        EXPECT_FALSE(contains(line, "cannot open the user channel")) << line;
        EXPECT_FALSE(contains(line, "hci0")) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    }
    EXPECT_EQ(platform::explain_user_channel_error(1, EIO).rfind(
                  "cannot open the user channel of hci1 (", 0),
              0U);
}
#endif

// ---- The Unix socket, end to end --------------------------------------------------------

#if defined(BOOST_ASIO_HAS_LOCAL_SOCKETS)
using local = boost::asio::local::stream_protocol;

class HciTransportUnixSocket : public ::testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> serial{0};
        path_ = ::testing::TempDir() + "orvette_hci_" + std::to_string(::getpid()) + "_" +
                std::to_string(serial++) + ".sock";
        static_cast<void>(std::remove(path_.c_str()));
        acceptor_.open();
        acceptor_.bind(local::endpoint(path_));
        acceptor_.listen();
    }
    void TearDown() override { static_cast<void>(std::remove(path_.c_str())); }

    hci::transport_address address() const {
        hci::transport_address out;
        out.what = hci::transport_address::kind::unix_socket;
        out.path = path_;
        return out;
    }

    std::unique_ptr<hci::transport> open_and_accept() {
        std::string error;
        auto opened = hci::open_transport(address(), error);
        EXPECT_NE(opened, nullptr) << error;
        if (opened) acceptor_.accept(peer_);
        return opened;
    }

    // Exactly `count` bytes from the transport, or a failure after the generous limit.
    bytes peer_read(size_t count) {
        bytes out(count);
        bool done = false;
        boost::system::error_code result;
        boost::asio::async_read(peer_, boost::asio::buffer(out),
                                [&](const boost::system::error_code& e, size_t) {
                                    result = e;
                                    done = true;
                                });
        io_.restart();
        io_.run_for(generous);
        if (!done) {
            peer_.cancel();
            io_.restart();
            io_.run();
            ADD_FAILURE() << "the peer read nothing in time";
        }
        EXPECT_FALSE(result) << result.message();
        return out;
    }

    void peer_write(const bytes& data) { boost::asio::write(peer_, boost::asio::buffer(data)); }

    std::string path_;
    boost::asio::io_context io_;
    local::acceptor acceptor_{io_};
    local::socket peer_{io_};
};

TEST_F(HciTransportUnixSocket, CarriesPacketsBothWays) {
    auto opened = open_and_accept();
    ASSERT_NE(opened, nullptr);
    recorder seen;
    opened->start(seen.on_bytes(), seen.on_lost());

    const bytes reset = {0x01, 0x03, 0x0C, 0x00};
    const bytes acl = {0x02, 0x40, 0x00, 0x05, 0x00, 0x01, 0x00, 0x04, 0x00, 0x0A};
    std::string why;
    ASSERT_TRUE(opened->write(reset, why)) << why;
    ASSERT_TRUE(opened->write(acl, why)) << why;
    bytes both = reset;
    both.insert(both.end(), acl.begin(), acl.end());
    EXPECT_EQ(peer_read(both.size()), both);

    const bytes complete = {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
    peer_write(complete);
    ASSERT_TRUE(seen.wait_for_bytes(complete.size()));
    EXPECT_EQ(seen.received(), complete);

    opened->close();
    EXPECT_EQ(seen.lost_count(), 0);  // closing is no loss
    EXPECT_FALSE(opened->write(reset, why));
    EXPECT_EQ(why, "hci:unix:" + path_ + ": the transport is closed");
}

TEST_F(HciTransportUnixSocket, PacketsSplitAcrossReadsArriveWholeAndInOrder) {
    auto opened = open_and_accept();
    ASSERT_NE(opened, nullptr);
    recorder seen;
    opened->start(seen.on_bytes(), seen.on_lost());

    // Two events and an ACL packet, cut mid-indicator, mid-header and mid-payload. Each piece
    // goes only once the one before has arrived, so each is a read of its own.
    const bytes stream = {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00, 0x02, 0x40, 0x00,
                          0x03, 0x00, 0xAA, 0xBB, 0xCC, 0x04, 0x13, 0x01, 0x07};
    const size_t cuts[] = {1, 3, 7, 9, 13, 16, stream.size()};
    size_t from = 0;
    size_t piece = 0;
    for (const size_t to : cuts) {
        peer_write(bytes(stream.begin() + static_cast<long>(from),
                         stream.begin() + static_cast<long>(to)));
        ++piece;
        ASSERT_TRUE(seen.wait_for_chunks(piece));
        from = to;
    }
    ASSERT_TRUE(seen.wait_for_bytes(stream.size()));
    EXPECT_EQ(seen.received(), stream);

    hci::h4_parser parser;
    std::vector<hci::h4_packet> packets;
    parser.feed(seen.received(), packets);
    ASSERT_EQ(packets.size(), 3U);
    EXPECT_EQ(packets[1].type, hci::packet_type::acl_data);
    EXPECT_EQ(packets[1].bytes, bytes({0x40, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC}));
    opened->close();
}

TEST_F(HciTransportUnixSocket, PeerClosingIsOneLossAfterTheLastBytes) {
    auto opened = open_and_accept();
    ASSERT_NE(opened, nullptr);
    recorder seen;
    opened->start(seen.on_bytes(), seen.on_lost());

    const bytes last = {0x04, 0x05, 0x04, 0x00, 0x40, 0x00, 0x13};
    peer_write(last);
    peer_.close();
    ASSERT_TRUE(seen.wait_for_loss());
    EXPECT_EQ(seen.received(), last);  // nothing the peer sent is lost with it
    EXPECT_EQ(seen.lost_why(),
              "hci:unix:" + path_ + ": the Unix socket was closed at the other end");

    std::string why;
    EXPECT_FALSE(opened->write(bytes{0x01, 0x03, 0x0C, 0x00}, why));
    EXPECT_EQ(why, seen.lost_why());
    opened->close();
    EXPECT_EQ(seen.lost_count(), 1);
    EXPECT_FALSE(seen.bytes_after_loss());
}

TEST_F(HciTransportUnixSocket, CloseJoinsWhileBytesPourInAndNothingRunsAfterIt) {
    auto opened = open_and_accept();
    ASSERT_NE(opened, nullptr);
    recorder seen;
    opened->start(seen.on_bytes(), seen.on_lost());

    // The peer writes until the transport's end is gone.
    std::thread flood([this] {
        const bytes event = {0x04, 0x13, 0x05, 0x01, 0x40, 0x00, 0x01, 0x00};
        boost::system::error_code error;
        while (!error) boost::asio::write(peer_, boost::asio::buffer(event), error);
    });
    ASSERT_TRUE(seen.wait_for_bytes(4096));

    // Two closers at once: both return, once, with the thread joined.
    std::thread other([&] { opened->close(); });
    opened->close();
    other.join();
    seen.closed = true;
    flood.join();  // ends when the transport's socket is closed
    opened->close();
    EXPECT_EQ(seen.calls_after_close.load(), 0);
    EXPECT_EQ(seen.lost_count(), 0);
}

TEST_F(HciTransportUnixSocket, AWriteFromTheBytesHandlerGoesOutInOrder) {
    auto opened = open_and_accept();
    ASSERT_NE(opened, nullptr);
    recorder seen;
    // Answers every chunk with its bytes, from the transport's own thread.
    seen.reply = [&opened](hci::bytes_view chunk) {
        std::string why;
        EXPECT_TRUE(opened->write(chunk.to_vector(), why)) << why;
    };
    opened->start(seen.on_bytes(), seen.on_lost());

    const bytes first = {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
    peer_write(first);
    EXPECT_EQ(peer_read(first.size()), first);
    const bytes second = {0x04, 0x0F, 0x04, 0x00, 0x01, 0x05, 0x04};
    peer_write(second);
    EXPECT_EQ(peer_read(second.size()), second);
    opened->close();
}

TEST_F(HciTransportUnixSocket, CloseReleasesAWriterThePeerLeftWaiting) {
    // A peer that reads nothing.
    auto opened = open_and_accept();
    ASSERT_NE(opened, nullptr);
    recorder seen;
    opened->start(seen.on_bytes(), seen.on_lost());

    std::atomic<int> written{0};
    std::string writer_why;
    std::thread writer([&] {
        const bytes big(60000, 0x02);
        std::string why;
        while (opened->write(big, why)) ++written;
        writer_why = why;
    });
    // Past the first writes, the socket's buffer is about to fill if it has not.
    const auto limit = std::chrono::steady_clock::now() + generous;
    while (written.load() < 2 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::yield();
    }
    EXPECT_GE(written.load(), 2);
    const auto started = std::chrono::steady_clock::now();
    opened->close();
    writer.join();
    // Well before the transport's own limit on a write that takes nothing (10 s).
    EXPECT_LT(std::chrono::steady_clock::now() - started, prompt);
    EXPECT_EQ(writer_why, "hci:unix:" + path_ + ": the transport is closed");
    EXPECT_EQ(seen.lost_count(), 0);
}

TEST_F(HciTransportUnixSocket, AWriteThatTakesNothingForTooLongIsALoss) {
    hci::stream_settings settings;
    settings.name = "hci:unix:" + path_;
    settings.what = "the Unix socket";
    settings.stall_limit = std::chrono::milliseconds(100);
    hci::asio_stream_transport<local::socket> stalling(settings);
    stalling.stream().connect(local::endpoint(path_));
    acceptor_.accept(peer_);
    std::string error;
    ASSERT_TRUE(stalling.begin(error)) << error;
    recorder seen;
    stalling.start(seen.on_bytes(), seen.on_lost());

    const bytes big(60000, 0x02);
    std::string why;
    int writes = 0;
    while (stalling.write(big, why) && writes < 1000) ++writes;
    ASSERT_LT(writes, 1000);
    EXPECT_EQ(why, settings.name +
                       ": the Unix socket has not taken a packet in 100 ms: the other end is not "
                       "reading");
    ASSERT_TRUE(seen.wait_for_loss());
    EXPECT_EQ(seen.lost_why(), why);
    stalling.close();
    EXPECT_EQ(seen.lost_count(), 1);
}

// A controller that stops reading while the host still has leave to send: the queue stops at
// its bound, long before the write's stall limit, as one loss.
TEST_F(HciTransportUnixSocket, MoreBytesWaitingThanTheBoundIsALossNotAGrowingQueue) {
    hci::stream_settings settings;
    settings.name = "hci:unix:" + path_;
    settings.what = "the Unix socket";
    settings.max_queued_bytes = 64 * 1024;
    hci::asio_stream_transport<local::socket> flooded(settings);
    flooded.stream().connect(local::endpoint(path_));
    acceptor_.accept(peer_);
    std::string error;
    ASSERT_TRUE(flooded.begin(error)) << error;
    recorder seen;
    flooded.start(seen.on_bytes(), seen.on_lost());

    const auto started = std::chrono::steady_clock::now();
    const bytes packet(1000, 0x02);
    std::string why;
    int sends = 0;
    while (flooded.send(packet, why) && sends < 20000) ++sends;
    // The socket's own buffers take some; the queue the bound's worth.
    ASSERT_LT(sends, 20000);
    EXPECT_EQ(why.rfind(settings.name + ": the Unix socket has ", 0), 0U) << why;
    EXPECT_NE(why.find(" bytes waiting to be written: the other end is not reading"),
              std::string::npos)
        << why;
    ASSERT_TRUE(seen.wait_for_loss());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(seen.lost_why(), why);
    EXPECT_FALSE(flooded.send(packet, why));
    flooded.close();
    EXPECT_EQ(seen.lost_count(), 1);
}

TEST_F(HciTransportUnixSocket, OpeningFailsWithALineAndWithoutHanging) {
    const auto open_error = [](const std::string& path) {
        hci::transport_address address;
        address.what = hci::transport_address::kind::unix_socket;
        address.path = path;
        std::string error;
        EXPECT_EQ(hci::open_transport(address, error), nullptr);
        return error;
    };
    const std::string missing = path_ + ".none";
    EXPECT_EQ(open_error(missing), "hci:unix:" + missing +
                                       ": cannot connect to the Unix socket: No such file or "
                                       "directory");
    const std::string long_path = "/tmp/" + std::string(200, 'x');
    // Named as every line names a port: cut past 200 characters.
    EXPECT_EQ(open_error(long_path), "hci:unix:" + long_path.substr(0, 191) +
                                         "...: the socket path is longer than a Unix socket "
                                         "address holds");

    // A listener whose queue is full (one waiting connection on a queue of none).
    local::acceptor full(io_);
    const std::string full_path = path_ + ".full";
    static_cast<void>(std::remove(full_path.c_str()));
    full.open();
    full.bind(local::endpoint(full_path));
    full.listen(0);
    local::socket waiting(io_);
    waiting.connect(local::endpoint(full_path));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(open_error(full_path),
              "hci:unix:" + full_path +
                  ": the socket's listener takes no more connections (its queue is full)");
    EXPECT_LT(std::chrono::steady_clock::now() - started, prompt);
    static_cast<void>(std::remove(full_path.c_str()));

    acceptor_.close();
    EXPECT_EQ(open_error(path_),
              "hci:unix:" + path_ + ": cannot connect to the Unix socket: Connection refused");
}
#else
TEST(HciTransportUnixSocket, IsNotAvailableHere) {
    hci::transport_address address;
    address.what = hci::transport_address::kind::unix_socket;
    address.path = "orvette.sock";
    std::string error;
    EXPECT_EQ(hci::open_transport(address, error), nullptr);
    EXPECT_EQ(error, "hci:unix:orvette.sock: Unix sockets are not available on this system");
}
#endif  // BOOST_ASIO_HAS_LOCAL_SOCKETS

// ---- The reader-thread transport (the Windows serial port's) ----------------------------

// A stream the test scripts: chunks to read, a failure to read or write, a write that
// waits until stopped.
class scripted_stream final : public platform::blocking_stream {
  public:
    struct script {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<bytes> incoming;
        std::string read_failure;
        std::string write_failure;
        bool writes_wait = false;
        bool writing = false;
        bool stopped = false;
        bool destroyed = false;
        bytes written;
    };

    explicit scripted_stream(std::shared_ptr<script> s) : script_(std::move(s)) {}
    ~scripted_stream() override {
        std::lock_guard<std::mutex> lock(script_->mutex);
        script_->destroyed = true;
    }

    read_status read(uint8_t* buffer, size_t capacity, size_t& count, std::string& why) override {
        std::unique_lock<std::mutex> lock(script_->mutex);
        script_->changed.wait(lock, [&] {
            return script_->stopped || !script_->incoming.empty() || !script_->read_failure.empty();
        });
        if (script_->stopped) return read_status::stopped;
        if (!script_->incoming.empty()) {
            bytes& next = script_->incoming.front();
            count = std::min(capacity, next.size());
            std::copy(next.begin(), next.begin() + static_cast<long>(count), buffer);
            next.erase(next.begin(), next.begin() + static_cast<long>(count));
            if (next.empty()) script_->incoming.pop_front();
            return read_status::data;
        }
        why = script_->read_failure;
        return read_status::failed;
    }

    bool write(const uint8_t* data, size_t size, std::string& why) override {
        std::unique_lock<std::mutex> lock(script_->mutex);
        if (script_->writes_wait) {
            script_->writing = true;
            script_->changed.notify_all();
            script_->changed.wait(lock, [&] { return script_->stopped; });
        }
        if (script_->stopped) {
            why = "the stream is stopped";
            return false;
        }
        if (!script_->write_failure.empty()) {
            why = script_->write_failure;
            return false;
        }
        script_->written.insert(script_->written.end(), data, data + size);
        return true;
    }

    void stop() override {
        std::lock_guard<std::mutex> lock(script_->mutex);
        script_->stopped = true;
        script_->changed.notify_all();
    }

  private:
    std::shared_ptr<script> script_;
};

struct scripted_transport {
    std::shared_ptr<scripted_stream::script> script = std::make_shared<scripted_stream::script>();
    // A read size of 4 cuts the longer chunks into several reads.
    std::unique_ptr<hci::transport> transport =
        hci::make_blocking_transport(std::make_unique<scripted_stream>(script), "hci:COM7", 4);

    void feed(const bytes& chunk) {
        std::lock_guard<std::mutex> lock(script->mutex);
        script->incoming.push_back(chunk);
        script->changed.notify_all();
    }
    template <typename Change>
    void change(Change c) {
        std::lock_guard<std::mutex> lock(script->mutex);
        c(*script);
        script->changed.notify_all();
    }
    template <typename Read>
    auto look(Read r) {
        std::lock_guard<std::mutex> lock(script->mutex);
        return r(*script);
    }
};

TEST(HciTransportReaderThread, DeliversReadsInOrderAndWritesWholePackets) {
    scripted_transport t;
    recorder seen;
    t.transport->start(seen.on_bytes(), seen.on_lost());
    t.feed({0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00});
    t.feed({0x04, 0x13});
    ASSERT_TRUE(seen.wait_for_bytes(9));
    EXPECT_EQ(seen.received(), bytes({0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00, 0x04, 0x13}));

    std::string why;
    ASSERT_TRUE(t.transport->write(bytes{0x01, 0x03, 0x0C, 0x00}, why)) << why;
    EXPECT_EQ(t.look([](const auto& s) { return s.written; }), bytes({0x01, 0x03, 0x0C, 0x00}));
    t.transport->close();
    EXPECT_EQ(seen.lost_count(), 0);
    EXPECT_TRUE(t.look([](const auto& s) { return s.destroyed; }));  // the port is free again
}

TEST(HciTransportReaderThread, AFailedReadIsOneLossAndFailsLaterWrites) {
    scripted_transport t;
    recorder seen;
    t.transport->start(seen.on_bytes(), seen.on_lost());
    t.change([](auto& s) { s.read_failure = "reading the serial port failed: gone"; });
    ASSERT_TRUE(seen.wait_for_loss());
    EXPECT_EQ(seen.lost_why(), "hci:COM7: reading the serial port failed: gone");
    std::string why;
    EXPECT_FALSE(t.transport->write(bytes{0x01, 0x03, 0x0C, 0x00}, why));
    EXPECT_EQ(why, seen.lost_why());
    t.transport->close();
    EXPECT_EQ(seen.lost_count(), 1);
}

TEST(HciTransportReaderThread, AFailedWriteIsReportedOnTheTransportsThread) {
    scripted_transport t;
    recorder seen;
    t.transport->start(seen.on_bytes(), seen.on_lost());
    t.change([](auto& s) { s.write_failure = "the serial port took no packet for 10000 ms"; });
    std::string why;
    EXPECT_FALSE(t.transport->write(bytes{0x01, 0x03, 0x0C, 0x00}, why));
    EXPECT_EQ(why, "hci:COM7: the serial port took no packet for 10000 ms");
    ASSERT_TRUE(seen.wait_for_loss());
    EXPECT_EQ(seen.lost_why(), why);
    EXPECT_NE(seen.lost_thread(), std::this_thread::get_id());
    EXPECT_FALSE(t.transport->write(bytes{0x01, 0x03, 0x0C, 0x00}, why));
    t.transport->close();
    EXPECT_EQ(seen.lost_count(), 1);
}

TEST(HciTransportReaderThread, CloseReleasesAWaitingWriterAndJoinsTheReader) {
    scripted_transport t;
    recorder seen;
    t.transport->start(seen.on_bytes(), seen.on_lost());
    t.change([](auto& s) { s.writes_wait = true; });
    std::string writer_why;
    std::thread writer([&] {
        std::string why;
        EXPECT_FALSE(t.transport->write(bytes{0x01, 0x03, 0x0C, 0x00}, why));
        writer_why = why;
    });
    {
        std::unique_lock<std::mutex> lock(t.script->mutex);
        ASSERT_TRUE(t.script->changed.wait_for(lock, generous, [&] { return t.script->writing; }));
    }
    t.transport->close();
    seen.closed = true;
    writer.join();
    EXPECT_EQ(writer_why, "hci:COM7: the transport is closed");
    t.feed({0x04, 0x13});  // nobody reads any more
    t.transport->close();
    EXPECT_EQ(seen.calls_after_close.load(), 0);
    EXPECT_EQ(seen.lost_count(), 0);
    EXPECT_TRUE(t.look([](const auto& s) { return s.destroyed; }));
}

}  // namespace
