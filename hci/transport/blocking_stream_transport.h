// A transport over a platform::blocking_stream (the Windows serial port): a reader thread
// of its own blocks in read(), and writes block on the caller's thread, one at a time.
// close() stops the stream, which wakes both.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "hci/transport/transport.h"
#include "platform/blocking_stream.h"

namespace hci {

// `name` starts every line the transport gives (the port name).
std::unique_ptr<transport> make_blocking_transport(
    std::unique_ptr<platform::blocking_stream> stream, std::string name, size_t read_size = 4096);

}  // namespace hci
