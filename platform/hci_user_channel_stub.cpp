// The HCI user channel where there is none: every system but Linux.
#include <string>

#include "platform/hci_user_channel.h"

namespace platform {

int open_hci_user_channel(uint16_t /*device_index*/, std::string& error) {
    error = "the HCI user channel needs Linux; use a serial port (hci:<device>) here";
    return -1;
}

void close_hci_user_channel(int /*fd*/) {}

}  // namespace platform
