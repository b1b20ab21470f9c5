// A phone's GATT server at the ATT level, for tests that let a host discover, read, write and
// subscribe over HCI: scripted_controller::serve_att answers the host's ATT requests on a
// link with one of these. Built from a small table; pure, no threads.
//
// Handles are given out in table order from 1: a service's declaration, then for each of its
// characteristics the declaration, the value, its other descriptors, and a client
// configuration descriptor when the characteristic notifies or indicates. A service's group ends at
// its last handle.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "hci/bytes.h"

namespace testing_support {

namespace att_property {
constexpr uint8_t read = 0x02;
constexpr uint8_t write_without_response = 0x04;
constexpr uint8_t write = 0x08;
constexpr uint8_t notify = 0x10;
constexpr uint8_t indicate = 0x20;
}  // namespace att_property

struct att_characteristic {
    std::vector<uint8_t> uuid;  // 2 or 16 bytes, least significant first
    uint8_t properties = att_property::read;
    std::vector<uint8_t> value;
    // Types of read-only descriptors placed between the value and the client configuration
    // descriptor, as a User Description (0x2901) can be.
    std::vector<std::vector<uint8_t>> descriptors;
};

struct att_service {
    std::vector<uint8_t> uuid;  // 2 or 16 bytes, least significant first
    std::vector<att_characteristic> characteristics;
};

class att_server {
  public:
    static constexpr uint16_t default_mtu = 23;

    // `server_mtu` is what the phone offers when the host exchanges MTUs; until then both
    // sides use 23.
    explicit att_server(const std::vector<att_service>& services, uint16_t server_mtu = 247);

    // The answer to one ATT PDU from the host: a response, or an Error Response for a
    // request the database cannot serve. Nothing for commands, confirmations, responses and
    // notifications, as a phone would not answer them either.
    std::optional<std::vector<uint8_t>> answer(hci::bytes_view pdu);

    // A Handle Value Notification of `value` at `value_handle`, which also becomes the
    // characteristic's value; nothing unless the host has switched notifications on there.
    std::optional<std::vector<uint8_t>> notification(uint16_t value_handle, hci::bytes_view value);

    // The value handle of the first characteristic of `uuid`, 0 if there is none.
    uint16_t value_handle(hci::bytes_view uuid) const;
    // The client configuration descriptor of the characteristic at `value_handle`, or 0.
    uint16_t cccd_handle(uint16_t value_handle) const;
    // The value of any attribute; empty for an unknown handle.
    std::vector<uint8_t> value(uint16_t handle) const;
    uint16_t last_handle() const;
    uint16_t mtu() const { return mtu_; }

    struct write_record {
        uint16_t handle = 0;
        std::vector<uint8_t> value;
        bool with_response = true;
    };
    // Writes that took effect, in order.
    const std::vector<write_record>& writes() const { return writes_; }

  private:
    struct attribute {
        uint16_t handle = 0;
        std::vector<uint8_t> type;
        std::vector<uint8_t> value;
        uint16_t group_end = 0;  // services only
        bool readable = true;
        bool writable = false;
        bool client_configuration = false;
    };

    const attribute* find(uint16_t handle) const;
    std::vector<uint8_t> read_by_group_type(uint16_t start, uint16_t end, hci::bytes_view type);
    std::vector<uint8_t> read_by_type(uint16_t start, uint16_t end, hci::bytes_view type);
    std::vector<uint8_t> find_information(uint16_t start, uint16_t end);
    std::vector<uint8_t> read(uint16_t handle);
    std::optional<std::vector<uint8_t>> write(uint16_t handle, hci::bytes_view value,
                                              bool with_response);

    std::vector<attribute> attributes_;
    uint16_t server_mtu_;
    uint16_t mtu_ = default_mtu;
    std::vector<write_record> writes_;
};

}  // namespace testing_support
