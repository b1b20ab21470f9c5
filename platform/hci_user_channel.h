// The Linux HCI user channel: exclusive raw access to one controller, bypassing the kernel's
// own Bluetooth host. Each read gives one whole packet and each write takes one, both with
// the H4 packet indicator first, so the channel carries the same bytes as a serial port.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Opens and binds hci<device_index>'s user channel. Returns the socket's file descriptor
// (close-on-exec, blocking; the caller owns it), or -1 with a one-line `error` that says
// what to do about it (permissions, a device in use, no such device, no Bluetooth in the
// kernel). Elsewhere than Linux always -1 with a line saying it needs Linux.
int open_hci_user_channel(uint16_t device_index, std::string& error);
// The one line open_hci_user_channel gives for a refusal with errno `code` (Linux only).
std::string explain_user_channel_error(uint16_t device_index, int code);
// Closes a descriptor open_hci_user_channel gave, for an opener that could not use it.
void close_hci_user_channel(int fd);

}  // namespace platform
