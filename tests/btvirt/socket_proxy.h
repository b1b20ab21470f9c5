// A Unix-socket stand-in between the program and an emulated controller: the program connects
// to the proxy, which connects on to the emulator's LE socket (a fresh controller for every
// connection) and passes the bytes both ways. The test can cut the connection, as a USB
// re-plug or a dead socket would, and put bytes of its own into what the program reads
// (a Hardware Error event, noise), always between two whole packets of the controller's.
//
// One thread of the proxy's own does all the passing; every call may come from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace btvirt_testing {

class socket_proxy {
  public:
    // Listens on `listen_path` (removed first if it exists); throws std::runtime_error if
    // it cannot.
    socket_proxy(std::string listen_path, std::string upstream_path);
    ~socket_proxy();
    socket_proxy(const socket_proxy&) = delete;
    socket_proxy& operator=(const socket_proxy&) = delete;

    const std::string& path() const { return listen_path_; }

    // Ends the program's connection and the controller's: the program reads the end of its
    // stream, and its next connection gets a fresh controller.
    void cut();
    // `bytes` go to the program before anything more of the controller's.
    void inject(std::vector<uint8_t> bytes);

    // Connections the program has made so far.
    size_t connections() const;
    // Waits until connections() reaches `n`.
    bool wait_connections(size_t n, std::chrono::milliseconds limit);
    // The process id of the program on the latest connection (its socket's peer), or -1.
    pid_t client_pid() const;

  private:
    void run();
    void wake();
    void drop_pair();
    bool to_client(const uint8_t* data, size_t size);
    static bool send_all(int fd, const uint8_t* data, size_t size);
    // Passes what the controller sent on to the program, whole packets at a time.
    bool forward_from_controller(const uint8_t* data, size_t size);

    std::string listen_path_;
    std::string upstream_path_;
    int listen_fd_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    std::thread thread_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool cut_asked_ = false;
    std::deque<std::vector<uint8_t>> injections_;
    size_t connections_ = 0;
    pid_t client_pid_ = -1;

    // The proxy thread's own.
    int client_fd_ = -1;
    int upstream_fd_ = -1;
    std::vector<uint8_t> partial_;  // of the controller's packet being read
};

}  // namespace btvirt_testing
