// Windows side of reading a regular file: a handle that is not a file on disk (a console, a
// pipe, the NUL device) is refused before any read.
#include <windows.h>

#include "platform/regular_file.h"

namespace platform {

namespace {

class handle_owner {
  public:
    explicit handle_owner(HANDLE handle) : handle_(handle) {}
    ~handle_owner() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    handle_owner(const handle_owner&) = delete;
    handle_owner& operator=(const handle_owner&) = delete;
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

}  // namespace

file_read_status read_regular_file(const std::string& path, size_t max_bytes, std::string& out) {
    const handle_owner file(CreateFileA(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return file_read_status::cannot_open;
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return file_read_status::not_regular;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return file_read_status::read_failed;
    if (size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > max_bytes) {
        return file_read_status::too_large;
    }
    std::string content;
    char buffer[64 * 1024];
    // One byte past the limit tells a file that grew while it was read.
    while (content.size() <= max_bytes) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
            return file_read_status::read_failed;
        }
        if (got == 0) break;
        content.append(buffer, got);
    }
    if (content.size() > max_bytes) return file_read_status::too_large;
    out = std::move(content);
    return file_read_status::ok;
}

}  // namespace platform
