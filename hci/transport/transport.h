// The byte stream between the host and an LE controller, whatever carries it (a serial
// port, a Unix stream socket, the Linux HCI user channel, or a test's scripted controller).
// Every byte both ways is H4: one packet indicator, then the packet.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "hci/bytes.h"

namespace hci {

class transport {
  public:
    // Bytes as they arrive, in order, possibly splitting or joining packets.
    using bytes_handler = std::function<void(bytes_view chunk)>;
    // The stream ended or failed; `why` is one line for the log. Called at most once, and
    // no bytes follow it.
    using lost_handler = std::function<void(const std::string& why)>;

    virtual ~transport() = default;

    // Starts delivering what arrives, on a thread of the transport's own. Called once.
    virtual void start(bytes_handler on_bytes, lost_handler on_lost) = 0;
    // Sends one whole H4 packet in one write (emulated controllers read packet by packet).
    // False if the stream is gone; `why` then says why.
    virtual bool write(bytes_view packet, std::string& why) = 0;
    // The same without waiting for the packet to be written, where the transport can: for
    // callers that hold a lock the bytes handler may need, since a transport whose writes
    // go through its reading thread could otherwise wait on a handler that waits on them.
    // Packets still leave in the order they were handed over; a failure after the return
    // ends in on_lost.
    virtual bool send(bytes_view packet, std::string& why) { return write(packet, why); }
    // Stops reading and closes the stream. No handler is running or called once it
    // returns. Safe to call more than once, and from any thread but the transport's own.
    virtual void close() = 0;
};

// How to reach the controller, from the part of the port name after "hci:".
struct transport_address {
    enum class kind { serial, unix_socket, user_channel };
    kind what = kind::serial;
    std::string path;           // serial device or socket path
    uint16_t device_index = 0;  // hciN for the user channel
    uint32_t baud_rate = 1000000;
    bool rts_cts = true;
};

// Reads "hci:..." port names. False with a one-line `error` for a malformed name.
bool parse_transport_address(const std::string& port, transport_address& out, std::string& error);

// Opens the stream, or returns null with a one-line `error` that says what to do about it.
// Never waits long: a port that does not answer is the host's business, not the open's.
std::unique_ptr<transport> open_transport(const transport_address& address, std::string& error);

}  // namespace hci
