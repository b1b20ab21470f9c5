// Opening the stream a port name points at. What the system offers is asked of Asio's own
// feature macros rather than of the system's name: a Unix socket and a serial port through
// Asio wherever Asio has them (not on Windows, where the program's Asio runs without the
// I/O completion port), the serial port of the platform layer where it has not, the user
// channel's socket as a POSIX descriptor once the platform layer has opened it.
#include <boost/asio/io_context.hpp>  // Asio's feature macros
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "driver/wire/printable_text.h"
#include "hci/transport/asio_stream_transport.h"
#include "hci/transport/blocking_stream_transport.h"
#include "hci/transport/transport.h"
#include "platform/blocking_stream.h"
#include "platform/hci_user_channel.h"

#if defined(BOOST_ASIO_HAS_LOCAL_SOCKETS)
#include <boost/asio/local/stream_protocol.hpp>
#endif
#if defined(BOOST_ASIO_HAS_SERIAL_PORT)
#include <boost/asio/serial_port.hpp>
#endif
#if defined(BOOST_ASIO_HAS_POSIX_STREAM_DESCRIPTOR)
#include <boost/asio/posix/stream_descriptor.hpp>
#endif

namespace hci {

namespace {

// How long a connection to a Unix socket may wait for the listener, where the system lets
// it wait at all.
constexpr std::chrono::milliseconds connect_limit{1000};

// Bytes one read of the user channel may hold: an ACL packet of the largest length, its
// header and the packet indicator. The channel gives one packet per read and drops what a
// shorter read leaves of it.
constexpr size_t user_channel_read_size = 1 + 4 + 65535;

// The port as it begins every line about it: one readable line, however long or odd the
// path it was given.
std::string port_name(const transport_address& address) {
    switch (address.what) {
        case transport_address::kind::unix_socket:
            return wire::printable_text("hci:unix:" + address.path);
        case transport_address::kind::user_channel:
            return "hci:user:" + std::to_string(address.device_index);
        case transport_address::kind::serial:
            break;
    }
    return wire::printable_text("hci:" + address.path);
}

bool has_control_character(const std::string& text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return true;
    }
    return false;
}

template <typename Stream>
std::unique_ptr<transport> begin(std::unique_ptr<asio_stream_transport<Stream>> opened,
                                 std::string& error) {
    if (!opened->begin(error)) return nullptr;
    return opened;
}

std::unique_ptr<transport> open_unix_socket(const transport_address& address,
                                            const std::string& name, std::string& error) {
#if defined(BOOST_ASIO_HAS_LOCAL_SOCKETS)
    using protocol = boost::asio::local::stream_protocol;
    protocol::endpoint endpoint;
    try {
        endpoint = protocol::endpoint(address.path);
    } catch (const boost::system::system_error&) {
        error = name + ": the socket path is longer than a Unix socket address holds";
        return nullptr;
    }
    stream_settings settings;
    settings.name = name;
    settings.what = "the Unix socket";
    auto opened = std::make_unique<asio_stream_transport<protocol::socket>>(settings);

    // Connected without blocking, on the transport's io_context before its thread runs: a
    // blocking connect to a listener whose queue is full waits until it accepts, perhaps
    // forever. Without blocking, Linux refuses at once (Asio reports it as ENOBUFS); a system
    // that lets the connection wait instead gets a second.
    boost::system::error_code result = boost::asio::error::would_block;
    opened->stream().async_connect(endpoint,
                                   [&result](const boost::system::error_code& e) { result = e; });
    const auto deadline = std::chrono::steady_clock::now() + connect_limit;
    while (result == boost::asio::error::would_block) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        opened->context().run_one_for(deadline - now);
    }
    if (result == boost::asio::error::would_block) {
        boost::system::error_code ignored;
        opened->stream().close(ignored);
        while (result == boost::asio::error::would_block) opened->context().run_one();
        result = boost::asio::error::no_buffer_space;
    }
    if (result == boost::asio::error::no_buffer_space || result == boost::asio::error::try_again) {
        error = name + ": the socket's listener takes no more connections (its queue is full)";
        return nullptr;
    }
    if (result) {
        error = name + ": cannot connect to the Unix socket: " + result.message();
        return nullptr;
    }
    return begin(std::move(opened), error);
#else
    (void)address;
    error = name + ": Unix sockets are not available on this system";
    return nullptr;
#endif
}

std::unique_ptr<transport> open_serial(const transport_address& address, const std::string& name,
                                       std::string& error) {
#if defined(BOOST_ASIO_HAS_SERIAL_PORT)
    using boost::asio::serial_port_base;
    stream_settings settings;
    settings.name = name;
    settings.what = "the serial port";
    settings.baud_rate = address.baud_rate;
    auto opened = std::make_unique<asio_stream_transport<boost::asio::serial_port>>(settings);
    boost::asio::serial_port& port = opened->stream();

    // Asio opens without waiting for a carrier and sets the line to raw bytes.
    boost::system::error_code e;
    port.open(address.path, e);
    if (e == boost::system::errc::inappropriate_io_control_operation) {
        error = name + ": cannot open the serial port: " + wire::printable_text(address.path) +
                " is not a serial port";
        return nullptr;
    }
    if (e) {
        error = name + ": cannot open the serial port: " + e.message();
        return nullptr;
    }
    port.set_option(serial_port_base::baud_rate(address.baud_rate), e);
    if (e) {
        error = name + ": the serial port does not take " + std::to_string(address.baud_rate) +
                " baud (" + e.message() + "); common rates: 115200, 921600, 1000000, 2000000";
        return nullptr;
    }
    const auto flow = address.rts_cts ? serial_port_base::flow_control::hardware
                                      : serial_port_base::flow_control::none;
    port.set_option(serial_port_base::character_size(8), e);
    if (!e) port.set_option(serial_port_base::parity(serial_port_base::parity::none), e);
    if (!e) port.set_option(serial_port_base::stop_bits(serial_port_base::stop_bits::one), e);
    if (!e) port.set_option(serial_port_base::flow_control(flow), e);
    if (e) {
        error = name + ": cannot set the serial port to 8N1" +
                (address.rts_cts ? " with RTS/CTS" : "") + ": " + e.message() +
                (address.rts_cts ? " (try ,noflow)" : "");
        return nullptr;
    }
    return begin(std::move(opened), error);
#else
    std::string why;
    auto port = platform::open_serial_port(address.path, address.baud_rate, address.rts_cts, why);
    if (!port) {
        error = name + ": " + why;
        return nullptr;
    }
    return make_blocking_transport(std::move(port), name);
#endif
}

std::unique_ptr<transport> open_user_channel(const transport_address& address,
                                             const std::string& name, std::string& error) {
    std::string why;
    const int fd = platform::open_hci_user_channel(address.device_index, why);
    if (fd < 0) {
        error = name + ": " + why;
        return nullptr;
    }
#if defined(BOOST_ASIO_HAS_POSIX_STREAM_DESCRIPTOR)
    stream_settings settings;
    settings.name = name;
    settings.what = "the user channel of hci" + std::to_string(address.device_index);
    settings.read_size = user_channel_read_size;
    auto opened =
        std::make_unique<asio_stream_transport<boost::asio::posix::stream_descriptor>>(settings);
    boost::system::error_code e;
    opened->stream().assign(fd, e);
    if (e) {
        platform::close_hci_user_channel(fd);
        error = name + ": cannot watch the user channel's socket: " + e.message();
        return nullptr;
    }
    return begin(std::move(opened), error);
#else
    // Only Linux opens the channel, and Linux has POSIX descriptors.
    platform::close_hci_user_channel(fd);
    error = name + ": the HCI user channel is not available on this system";
    return nullptr;
#endif
}

}  // namespace

std::unique_ptr<transport> open_transport(const transport_address& address, std::string& error) {
    const std::string name = port_name(address);
    if (has_control_character(address.path)) {
        error = "an HCI port path holds a control character";
        return nullptr;
    }
    switch (address.what) {
        case transport_address::kind::unix_socket:
            if (address.path.empty()) break;
            return open_unix_socket(address, name, error);
        case transport_address::kind::user_channel:
            return open_user_channel(address, name, error);
        case transport_address::kind::serial:
            if (address.path.empty()) break;
            return open_serial(address, name, error);
    }
    error = name + ": no path to open";
    return nullptr;
}

}  // namespace hci
