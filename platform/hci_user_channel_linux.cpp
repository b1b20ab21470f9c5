// The HCI user channel on Linux: a raw Bluetooth socket bound to one controller with the
// user channel. The kernel's declarations are repeated here rather than taken from a
// Bluetooth library's headers, which the build does not depend on.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/hci_user_channel.h"

namespace platform {

namespace {

constexpr int af_bluetooth = 31;
constexpr int btproto_hci = 1;
constexpr uint16_t hci_channel_user = 1;

struct sockaddr_hci {
    sa_family_t family;
    uint16_t dev;
    uint16_t channel;
};

std::string system_message(int code) {
    return std::system_category().message(code);
}

}  // namespace

std::string explain_user_channel_error(uint16_t device_index, int code) {
    const std::string device = "hci" + std::to_string(device_index);
    const std::string reason = " (" + system_message(code) + ")";
    switch (code) {
        case EAFNOSUPPORT:
            return "this kernel has no Bluetooth support" + reason +
                   ": load the bluetooth module (modprobe bluetooth) or use a kernel built "
                   "with it";
        case EPERM:
        case EACCES:
            return "the HCI user channel needs the CAP_NET_ADMIN capability" + reason +
                   ": run as root or grant it with `setcap cap_net_admin+ep <program>`";
        case EBUSY:
            return device + " is up or held by the system's Bluetooth service" + reason +
                   ": take it down with `hciconfig " + device + " down` or `btmgmt --index " +
                   std::to_string(device_index) + " power off`, and stop the Bluetooth service";
        case ERFKILL:
            // A radio switch, or a soft block that a desktop's flight mode leaves behind.
            return device + " is blocked by rfkill" + reason +
                   ": unblock it with `rfkill unblock bluetooth`";
        case EUSERS:
            return "another program holds " + device + "'s user channel" + reason +
                   ": end that program first";
        case ENODEV:
            return "there is no " + device + reason +
                   ": check the index against `ls /sys/class/bluetooth` and that the "
                   "controller is plugged in";
        case EINVAL:
            return "the kernel refused the user channel of " + device + reason +
                   ": it needs Linux 3.13 or later, and an index other than 65535";
        default:
            return "cannot open the user channel of " + device + reason;
    }
}

int open_hci_user_channel(uint16_t device_index, std::string& error) {
    const int fd = ::socket(af_bluetooth, SOCK_RAW | SOCK_CLOEXEC, btproto_hci);
    if (fd < 0) {
        error = explain_user_channel_error(device_index, errno);
        return -1;
    }
    sockaddr_hci address{};
    address.family = af_bluetooth;
    address.dev = device_index;
    address.channel = hci_channel_user;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        const int code = errno;
        ::close(fd);
        error = explain_user_channel_error(device_index, code);
        return -1;
    }
    return fd;
}

void close_hci_user_channel(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace platform
