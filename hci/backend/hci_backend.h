// Real radio: the driver backend for port names "hci:...", our host stack over HCI to an LE
// controller on a serial port, a Unix socket or the Linux HCI user channel.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "driver/backend.h"
#include "hci/transport/transport.h"

namespace hci {

// Opens the byte stream to the controller, or returns null with a one-line `error`.
using transport_opener = std::function<std::unique_ptr<transport>(std::string& error)>;

// The backend for `settings.port`, reaching its controller through `opener`; tests pass a
// scripted controller here. Null `opener`: the transport the port name says.
std::unique_ptr<driver::backend> make_backend(const driver::link_settings& settings,
                                              transport_opener opener = nullptr);

// Where the HCI trace goes: the file named by ORVETTE_HCI_SNOOP, if set.
std::string snoop_path_from_environment();

}  // namespace hci
