// Reading a whole file named by the user without letting it hang or swamp the program: a
// FIFO would block the open until a writer comes, a device such as /dev/zero never ends.
// Only a regular file is read, and only up to a size limit.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

enum class file_read_status {
    ok,
    cannot_open,  // missing, no permission, or gone while it was looked at
    not_regular,  // a directory, device, FIFO or socket behind the name once it is open
    too_large,    // more than the limit, also when it grows while being read
    read_failed,
};

// The whole content of the regular file at `path` into `out` (left alone unless ok). The open
// never waits for a writer, and no byte is read from something that is not a regular file.
file_read_status read_regular_file(const std::string& path, size_t max_bytes, std::string& out);

}  // namespace platform
