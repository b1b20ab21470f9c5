// Port names for the HCI backend (the -c value):
//
//   hci:<serial device>[@<baud>][,noflow]   a UART controller, H4 framing, 8N1
//   hci:unix:<socket path>                  a Unix stream socket (an emulated controller)
//   hci:user:<index>                        Linux only: hci<index> through the HCI user channel
//
// A serial port runs at 1000000 baud with RTS/CTS flow control unless told otherwise:
// "@<baud>" takes 1200 to 4000000 (the system may still refuse a rate its driver does not
// have), ",noflow" turns the RTS/CTS handshake off for boards that do not wire it. The
// options are read only after the last '/' or '\' of the device, so a directory with an '@'
// or ',' in its name stays part of the path: hci:/dev/ttyACM0, hci:COM10@115200,
// hci:/dev/ttyUSB0@921600,noflow. On Windows a bare COMn is opened as \\.\COMn, the name
// COM10 and above need (see platform/serial_port_windows.cpp).
//
// No name may hold control characters: a newline would break the one-line messages the
// name appears in, and a NUL would open a different file from the one named.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "driver/wire/printable_text.h"
#include "hci/transport/transport.h"

namespace hci {

namespace {

constexpr const char* forms =
    "port names: hci:<serial device>[@<baud>][,noflow], hci:unix:<socket path>, "
    "hci:user:<hci index>";

constexpr std::string_view hci_prefix = "hci:";
constexpr uint32_t min_baud = 1200;
constexpr uint32_t max_baud = 4000000;

bool fail(const std::string& port, const std::string& what, std::string& error) {
    error = "\"" + wire::printable_text(port) + "\": " + what + " (" + forms + ")";
    return false;
}

bool has_control_character(const std::string& text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return true;
    }
    return false;
}

// Plain decimal digits only: no sign, blank, base prefix or exponent, and at most `limit`.
bool parse_decimal(const std::string& text, uint32_t limit, uint32_t& value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > limit) return false;  // also stops long strings before they overflow
    }
    value = static_cast<uint32_t>(v);
    return true;
}

// `port` past its "hci:": a serial device and its options.
bool parse_serial(const std::string& port, transport_address& out, std::string& error) {
    const std::string rest = port.substr(hci_prefix.size());
    const size_t separator = rest.find_last_of("/\\");
    const size_t name_start = separator == std::string::npos ? 0 : separator + 1;
    const size_t options_start = rest.find_first_of("@,", name_start);
    const std::string device = rest.substr(0, options_start);
    if (options_start == name_start) {
        return fail(port, "no serial device before the options", error);
    }
    if (name_start == rest.size()) return fail(port, "no serial device name", error);

    uint32_t baud = 1000000;
    bool rts_cts = true;
    if (options_start != std::string::npos) {
        std::string options = rest.substr(options_start);
        if (options[0] == '@') {
            const size_t end = options.find(',');
            const std::string number = options.substr(1, end == std::string::npos ? end : end - 1);
            if (!parse_decimal(number, max_baud, baud) || baud < min_baud) {
                return fail(port,
                            "the baud rate must be a number from " + std::to_string(min_baud) +
                                " to " + std::to_string(max_baud),
                            error);
            }
            options = end == std::string::npos ? std::string() : options.substr(end);
        }
        if (options == ",noflow") {
            rts_cts = false;
        } else if (!options.empty()) {
            return fail(port,
                        "unknown serial option \"" + wire::printable_text(options) +
                            "\": only @<baud> and then ,noflow",
                        error);
        }
    }

    out = transport_address{};
    out.what = transport_address::kind::serial;
    out.path = device;
    out.baud_rate = baud;
    out.rts_cts = rts_cts;
    return true;
}

}  // namespace

bool parse_transport_address(const std::string& port, transport_address& out, std::string& error) {
    if (port.compare(0, hci_prefix.size(), hci_prefix) != 0) {
        return fail(port, "not an HCI port name", error);
    }
    if (has_control_character(port)) {
        return fail(port, "the name holds a control character", error);
    }
    const std::string rest = port.substr(hci_prefix.size());
    if (rest.empty()) return fail(port, "nothing after \"hci:\"", error);

    static const std::string unix_prefix = "unix:";
    static const std::string user_prefix = "user:";
    if (rest.compare(0, unix_prefix.size(), unix_prefix) == 0) {
        const std::string path = rest.substr(unix_prefix.size());
        if (path.empty()) return fail(port, "no socket path after \"hci:unix:\"", error);
        out = transport_address{};
        out.what = transport_address::kind::unix_socket;
        out.path = path;
        return true;
    }
    if (rest.compare(0, user_prefix.size(), user_prefix) == 0) {
        uint32_t index = 0;
        if (!parse_decimal(rest.substr(user_prefix.size()), 65535, index)) {
            return fail(port, "the HCI index after \"hci:user:\" must be a number from 0 to 65535",
                        error);
        }
        out = transport_address{};
        out.what = transport_address::kind::user_channel;
        out.device_index = static_cast<uint16_t>(index);
        return true;
    }
    // "hci:unix" and "hci:user" are the other forms cut short far more likely than serial
    // devices of those names in the working directory.
    if (rest == "unix" || rest == "user") {
        return fail(port, "\"hci:" + rest + "\" needs \":\" and its argument", error);
    }
    return parse_serial(port, out, error);
}

}  // namespace hci
