// POSIX side of reading a regular file: opened without waiting (O_NONBLOCK makes the open of
// a FIFO return at once), then checked on the open descriptor itself, so that a name swapped
// for a FIFO or a device after the caller looked at it is still refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/regular_file.h"

namespace platform {

namespace {

class descriptor {
  public:
    explicit descriptor(int fd) : fd_(fd) {}
    ~descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

file_read_status read_regular_file(const std::string& path, size_t max_bytes, std::string& out) {
    const descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) return file_read_status::cannot_open;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return file_read_status::read_failed;
    if (!S_ISREG(info.st_mode)) return file_read_status::not_regular;
    if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) > max_bytes) {
        return file_read_status::too_large;
    }
    std::string content;
    char buffer[64 * 1024];
    // One byte past the limit tells a file that grew while it was read.
    while (content.size() <= max_bytes) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return file_read_status::read_failed;
        if (got == 0) break;
        content.append(buffer, static_cast<size_t>(got));
    }
    if (content.size() > max_bytes) return file_read_status::too_large;
    out = std::move(content);
    return file_read_status::ok;
}

}  // namespace platform
