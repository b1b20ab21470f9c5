// Internal to the platform layer: the background writer behind standard output.
#pragma once

namespace platform::detail {

// Writes out, on the calling thread, everything stdout has handed to the background writer
// (the caller flushes stdout first), and makes every later flush write at once on its own
// thread: for the process's last moments. Nothing happens without a background writer.
void write_console_output_directly();

}  // namespace platform::detail
