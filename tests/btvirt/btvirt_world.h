// One running instance of BlueZ's controller emulator (btvirt) for one test: every client of
// its LE socket gets a fresh emulated LE controller, and the controllers of one instance hear
// each other's advertising and can connect. The emulator only ever listens on fixed paths in
// /tmp, so each world runs it in a private mount namespace where a fresh temporary folder is
// mounted over /tmp; its sockets then appear in that folder, and worlds of tests that run at
// the same time never meet.
//
// Needs root (or unprivileged user namespaces), btvirt (Debian package bluez-test-tools) and
// util-linux. When any of that is missing, or the emulator does not come up, the constructor
// throws std::runtime_error saying what went wrong, so the test fails with that message.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace btvirt_testing {

class world {
  public:
    // Starts the emulator and waits, up to `start_limit`, until its LE socket has accepted a
    // connection and the controller it made has answered a Reset.
    explicit world(std::chrono::milliseconds start_limit = std::chrono::seconds(10));
    // Ends the emulator's process group (SIGTERM, then SIGKILL when it has not gone within a
    // few seconds) and removes the folder.
    ~world();
    world(const world&) = delete;
    world& operator=(const world&) = delete;

    // The socket whose every client gets its own emulated LE controller.
    const std::string& le_socket_path() const { return le_socket_path_; }
    // The folder mounted over the emulator's /tmp.
    const std::string& folder() const { return folder_; }
    // The emulator's process id, which is also its process group.
    pid_t pid() const { return pid_; }
    // What the emulator has written to its standard output and error so far.
    std::string log() const;

  private:
    void start(std::chrono::milliseconds start_limit);
    void wait_until_serving(std::chrono::steady_clock::time_point deadline);
    // True once the emulator has ended (and been reaped).
    bool has_ended();
    void end_process();
    void remove_folder();

    std::string folder_;
    std::string le_socket_path_;
    std::string log_path_;
    pid_t pid_ = -1;
    bool spawned_ = false;
};

}  // namespace btvirt_testing
