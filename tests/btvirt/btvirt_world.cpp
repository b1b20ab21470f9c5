#include "tests/btvirt/btvirt_world.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "hci/h4_parser.h"
#include "hci/hci_commands.h"
#include "hci/hci_events.h"

extern char** environ;

namespace btvirt_testing {
namespace {

using steady = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Inside the namespace the folder is /tmp, so the stand-in library is loaded from there: the
// build folder itself may lie under /tmp and be hidden by the mount.
constexpr const char* shim_name = "af_alg_shim.so";

// The emulator ignores SIGTERM only while busy; a few seconds is plenty for it to notice.
constexpr auto term_grace = std::chrono::seconds(3);

std::string find_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    // sbin is often missing from PATH in minimal environments, and unshare may live there.
    for (const char* fallback : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        const std::string candidate = fallback + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::string require_program(const std::string& name, const std::string& package) {
    const std::string found = find_on_path(name);
    if (found.empty()) {
        throw std::runtime_error(name + " is not installed; install the Debian package " + package +
                                 " (scripts/lib.sh lists it)");
    }
    return found;
}

std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string describe_log(const std::string& log) {
    constexpr size_t keep = 4000;
    if (log.empty()) return " It wrote nothing.";
    if (log.size() <= keep) return " Its output:\n" + log;
    return " The end of its output:\n..." + log.substr(log.size() - keep);
}

int ms_left(steady::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

class fd_guard {
  public:
    explicit fd_guard(int fd) : fd_(fd) {}
    ~fd_guard() {
        if (fd_ >= 0) ::close(fd_);
    }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

enum class probe_result { not_listening, served, closed_unanswered, no_answer };

// Connects to the LE socket and asks the controller made for this connection to reset. The
// emulator accepts before it makes the controller and closes the connection when it cannot,
// so a listening socket alone does not show that it can serve.
probe_result probe(const std::string& socket_path, steady::time_point deadline) {
    fd_guard fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return probe_result::not_listening;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return probe_result::not_listening;
    }
    const std::vector<uint8_t> reset = hci::reset_command();
    if (::send(fd.get(), reset.data(), reset.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(reset.size())) {
        return probe_result::closed_unanswered;
    }
    hci::h4_parser parser;
    std::vector<hci::h4_packet> packets;
    for (;;) {
        pollfd waiting{fd.get(), POLLIN, 0};
        const int ready = ::poll(&waiting, 1, ms_left(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return probe_result::no_answer;
        uint8_t buffer[512];
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return probe_result::closed_unanswered;
        parser.feed(hci::bytes_view(buffer, static_cast<size_t>(n)), packets);
        for (const hci::h4_packet& packet : packets) {
            if (packet.type != hci::packet_type::event) continue;
            const auto complete = hci::parse_command_complete(packet.bytes);
            if (complete && complete->opcode == hci::opcode::reset) return probe_result::served;
        }
        packets.clear();
    }
}

}  // namespace

world::world(std::chrono::milliseconds start_limit) {
    try {
        start(start_limit);
    } catch (const std::exception& failure) {
        // The emulator's output is buffered until it ends, so it is read only then.
        end_process();
        const std::string output = spawned_ ? describe_log(log()) : std::string();
        remove_folder();
        throw std::runtime_error(failure.what() + output);
    }
}

world::~world() {
    end_process();
    remove_folder();
}

std::string world::log() const {
    return read_whole_file(log_path_);
}

void world::start(std::chrono::milliseconds start_limit) {
    const std::string btvirt = require_program("btvirt", "bluez-test-tools");
    const std::string unshare = require_program("unshare", "util-linux");
    const std::string setpriv = require_program("setpriv", "util-linux");

    const std::string shim = ORVETTE_BTVIRT_SHIM;
    if (!fs::exists(shim)) {
        throw std::runtime_error("the AF_ALG stand-in " + shim +
                                 " is missing; build the target orvette_af_alg_shim");
    }

    std::string pattern = (fs::temp_directory_path() / "orvette-btvirt-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder from " + pattern + ": " +
                                 std::strerror(errno));
    }
    folder_ = pattern;
    le_socket_path_ = folder_ + "/bt-server-le";
    log_path_ = folder_ + "/btvirt.log";
    if (le_socket_path_.size() >= sizeof(sockaddr_un{}.sun_path)) {
        throw std::runtime_error("the socket path " + le_socket_path_ +
                                 " is too long for a Unix socket; set TMPDIR to a shorter folder");
    }
    fs::copy_file(shim, folder_ + "/" + shim_name);

    // setpriv: should this test program die without ending the world (a crash, a time-out
    // kill), the emulator gets SIGTERM instead of outliving it. unshare: a mount namespace of
    // its own, where the folder is mounted over /tmp before the emulator starts.
    const std::string script =
        std::string("mount --bind \"$1\" /tmp && exec env LD_PRELOAD=/tmp/") + shim_name +
        " \"$2\" -s";
    std::vector<std::string> args = {setpriv, "--pdeathsig", "TERM", "--", unshare};
    // Without root, a user namespace of its own lets it mount all the same (where the system
    // allows unprivileged user namespaces).
    if (::geteuid() != 0) args.push_back("--map-root-user");
    for (const char* arg : {"--mount", "--propagation", "private", "--", "sh", "-c"}) {
        args.emplace_back(arg);
    }
    args.push_back(script);
    args.emplace_back("sh");
    args.push_back(folder_);
    args.push_back(btvirt);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The test program may ignore SIGPIPE, and ignored signals stay ignored across exec; the
    // emulator is ended with SIGTERM, so that one must be at its default too.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t no_mask;
    sigemptyset(&no_mask);
    posix_spawnattr_setsigmask(&attributes, &no_mask);
    // A process group of its own: the end reaches the emulator and anything still starting it.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    const int spawned =
        ::posix_spawn(&pid_, setpriv.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start btvirt: posix_spawn " + setpriv + ": " +
                                 std::strerror(spawned));
    }
    spawned_ = true;
    wait_until_serving(steady::now() + start_limit);
}

void world::wait_until_serving(steady::time_point deadline) {
    for (;;) {
        if (has_ended()) {
            throw std::runtime_error("btvirt ended before it served " + le_socket_path_ + ".");
        }
        switch (probe(le_socket_path_, deadline)) {
            case probe_result::served:
                return;
            case probe_result::closed_unanswered:
                throw std::runtime_error(
                    "btvirt accepted a connection on " + le_socket_path_ +
                    " but closed it without answering Reset: it could not make a controller "
                    "(without AF_ALG in the kernel it needs the stand-in library).");
            case probe_result::no_answer:
            case probe_result::not_listening:
                break;
        }
        if (steady::now() >= deadline) {
            throw std::runtime_error("btvirt did not serve " + le_socket_path_ + " in time.");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool world::has_ended() {
    if (pid_ <= 0) return true;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno == ECHILD)) {
        pid_ = -1;
        return true;
    }
    return false;
}

void world::end_process() {
    if (has_ended()) return;
    ::kill(-pid_, SIGTERM);
    const steady::time_point deadline = steady::now() + term_grace;
    while (!has_ended() && steady::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!has_ended()) {
        ::kill(-pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
}

void world::remove_folder() {
    // The mount lived in the emulator's namespace only, which ended with it.
    if (folder_.empty()) return;
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

}  // namespace btvirt_testing
