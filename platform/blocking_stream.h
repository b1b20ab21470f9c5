// Byte streams the operating system gives as handles that only blocking calls can drive here,
// and the ones the program opens that way.
//
// On POSIX Asio drives serial ports and sockets itself. On Windows it cannot: the program's
// Asio runs without the I/O completion port (the message queue needs its portable
// scheduler, see the top CMakeLists.txt), and Asio's Windows serial port exists only on that
// port. So the Windows serial port is read and written here, with overlapped I/O waited on
// together with a stop event, and the HCI backend runs it on a thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class blocking_stream {
  public:
    enum class read_status { data, stopped, failed };

    virtual ~blocking_stream() = default;

    // Waits until bytes arrive (data, with count > 0), stop() is called (stopped), or the
    // stream fails or ends (failed, with a one-line `why`). One reader at a time.
    virtual read_status read(uint8_t* buffer, size_t capacity, size_t& count, std::string& why) = 0;
    // Writes all `size` bytes. False with `why` if the stream failed, took nothing for too
    // long, or stop() was called. One writer at a time; may run alongside the reader.
    virtual bool write(const uint8_t* data, size_t size, std::string& why) = 0;
    // Makes every read and write waiting now, and every later one, return at once. From any
    // thread, any number of times.
    virtual void stop() = 0;
};

// Opens a serial port at `baud` with 8 data bits, no parity, one stop bit, and the RTS/CTS
// handshake if `rts_cts`. Null with a one-line `error` (without the port's name) if the
// port is missing, busy or refuses the settings. Only where Asio has no serial port
// (Windows, serial_port_windows.cpp); nothing else calls it.
std::unique_ptr<blocking_stream> open_serial_port(const std::string& device, uint32_t baud,
                                                  bool rts_cts, std::string& error);

}  // namespace platform
