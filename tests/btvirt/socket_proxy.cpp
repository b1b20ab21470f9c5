#include "tests/btvirt/socket_proxy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace btvirt_testing {
namespace {

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The length of the whole H4 packet at the start of `bytes`, or 0 while its header is not
// all there. A controller sends events (04) and ACL data (02); anything else is passed on a
// byte at a time, as it came.
size_t packet_length(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return 0;
    switch (bytes[0]) {
        case 0x04:
            return bytes.size() < 3 ? 0 : 3u + bytes[2];
        case 0x02:
            return bytes.size() < 5 ? 0 : 5u + (bytes[3] | (bytes[4] << 8));
        default:
            return 1;
    }
}

}  // namespace

socket_proxy::socket_proxy(std::string listen_path, std::string upstream_path)
    : listen_path_(std::move(listen_path)), upstream_path_(std::move(upstream_path)) {
    ::unlink(listen_path_.c_str());
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    const sockaddr_un address = unix_address(listen_path_);
    if (::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd_, 4) != 0) {
        const int error = errno;
        close_fd(listen_fd_);
        throw std::runtime_error("cannot listen on " + listen_path_ + ": " + std::strerror(error));
    }
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        close_fd(listen_fd_);
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    wake_read_ = pipe_fds[0];
    wake_write_ = pipe_fds[1];
    thread_ = std::thread([this] { run(); });
}

socket_proxy::~socket_proxy() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    drop_pair();
    close_fd(listen_fd_);
    close_fd(wake_read_);
    close_fd(wake_write_);
    ::unlink(listen_path_.c_str());
}

void socket_proxy::wake() {
    const uint8_t one = 1;
    // A full pipe has a wake-up waiting already.
    (void)!::write(wake_write_, &one, 1);
}

void socket_proxy::cut() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        cut_asked_ = true;
    }
    wake();
}

void socket_proxy::inject(std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        injections_.push_back(std::move(bytes));
    }
    wake();
}

size_t socket_proxy::connections() const {
    std::lock_guard<std::mutex> guard(lock_);
    return connections_;
}

bool socket_proxy::wait_connections(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return connections_ >= n; });
}

pid_t socket_proxy::client_pid() const {
    std::lock_guard<std::mutex> guard(lock_);
    return client_pid_;
}

void socket_proxy::drop_pair() {
    close_fd(client_fd_);
    close_fd(upstream_fd_);
    partial_.clear();
}

bool socket_proxy::to_client(const uint8_t* data, size_t size) {
    return send_all(client_fd_, data, size);
}

bool socket_proxy::send_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool socket_proxy::forward_from_controller(const uint8_t* data, size_t size) {
    partial_.insert(partial_.end(), data, data + size);
    size_t length = packet_length(partial_);
    while (length != 0 && partial_.size() >= length) {
        if (!to_client(partial_.data(), length)) return false;
        partial_.erase(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(length));
        length = packet_length(partial_);
    }
    return true;
}

void socket_proxy::run() {
    uint8_t buffer[4096];
    for (;;) {
        bool cut_now = false;
        std::deque<std::vector<uint8_t>> injections;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) return;
            cut_now = cut_asked_;
            cut_asked_ = false;
            // Injected only between two whole packets of the controller's.
            if (partial_.empty()) injections.swap(injections_);
        }
        if (cut_now) drop_pair();
        for (const auto& bytes : injections) {
            if (client_fd_ >= 0 && !to_client(bytes.data(), bytes.size())) drop_pair();
        }

        pollfd fds[4];
        nfds_t count = 0;
        fds[count++] = {wake_read_, POLLIN, 0};
        fds[count++] = {listen_fd_, POLLIN, 0};
        if (client_fd_ >= 0) fds[count++] = {client_fd_, POLLIN, 0};
        if (upstream_fd_ >= 0) fds[count++] = {upstream_fd_, POLLIN, 0};
        // A packet half read keeps injections waiting: look again soon.
        if (::poll(fds, count, partial_.empty() ? 200 : 20) < 0 && errno != EINTR) return;

        if ((fds[0].revents & POLLIN) != 0) {
            while (::read(wake_read_, buffer, sizeof buffer) > 0) {
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            int accepted = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0) {
                // One program at a time: a new connection replaces the last.
                drop_pair();
                client_fd_ = accepted;
                upstream_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_un address = unix_address(upstream_path_);
                if (upstream_fd_ < 0 ||
                    ::connect(upstream_fd_, reinterpret_cast<const sockaddr*>(&address),
                              sizeof address) != 0) {
                    drop_pair();
                } else {
                    ucred peer{};
                    socklen_t length = sizeof peer;
                    const bool known =
                        ::getsockopt(client_fd_, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
                    std::lock_guard<std::mutex> guard(lock_);
                    ++connections_;
                    client_pid_ = known ? peer.pid : -1;
                    changed_.notify_all();
                }
            }
        }
        for (nfds_t i = 2; i < count; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            if (client_fd_ < 0 || upstream_fd_ < 0) break;
            const bool from_client = fds[i].fd == client_fd_;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                drop_pair();
                break;
            }
            const bool passed = from_client
                                    ? send_all(upstream_fd_, buffer, static_cast<size_t>(n))
                                    : forward_from_controller(buffer, static_cast<size_t>(n));
            if (!passed) {
                drop_pair();
                break;
            }
        }
    }
}

}  // namespace btvirt_testing
