// What the controller reports: links made and ended, advertising heard, packets sent,
// parameters changed, and a controller that fails.
#include <algorithm>
#include <cstdio>

#include "driver/ble_hci.h"
#include "hci/hci_commands.h"
#include "hci/hci_events.h"
#include "hci/host/host.h"
#include "platform/platform.h"

namespace hci {
namespace {

constexpr uint8_t role_central = 0x00;

// HCI advertising report event types, legacy PDUs.
uint16_t report_type_bits(uint8_t event_type) {
    switch (event_type) {
        case 0x00:  // ADV_IND
            return BLE_GAP_ADV_REPORT_TYPE_CONNECTABLE | BLE_GAP_ADV_REPORT_TYPE_SCANNABLE;
        case 0x01:  // ADV_DIRECT_IND
            return BLE_GAP_ADV_REPORT_TYPE_CONNECTABLE | BLE_GAP_ADV_REPORT_TYPE_DIRECTED;
        case 0x02:  // ADV_SCAN_IND
            return BLE_GAP_ADV_REPORT_TYPE_SCANNABLE;
        case 0x04:  // SCAN_RSP
            return BLE_GAP_ADV_REPORT_TYPE_SCAN_RESPONSE | BLE_GAP_ADV_REPORT_TYPE_SCANNABLE;
        default:  // ADV_NONCONN_IND, or a type this host does not know
            return 0;
    }
}

// A random address tells its kind by its two most significant bits.
ble_gap_addr_t gap_address(uint8_t hci_type, const wire::address_bytes& address) {
    ble_gap_addr_t out{};
    std::copy(address.begin(), address.end(), out.addr);
    const bool random = (hci_type & 0x01) != 0;
    if (!random) {
        out.addr_type = BLE_GAP_ADDR_TYPE_PUBLIC;
    } else {
        switch (address[5] >> 6) {
            case 0x3:
                out.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
                break;
            case 0x1:
                out.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE;
                break;
            default:
                out.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_NON_RESOLVABLE;
                break;
        }
    }
    out.addr_id_peer = (hci_type & 0x02) != 0;
    return out;
}

}  // namespace

void host::on_event(bytes_view packet) {
    if (commands_.on_event(packet)) return;
    const auto event = parse_event(packet);
    if (!event) return;
    switch (event->code) {
        case event_code::le_meta:
            on_le_meta(packet);
            break;
        case event_code::disconnection_complete:
            on_disconnection_complete(packet);
            break;
        case event_code::number_of_completed_packets:
            on_completed_packets(packet);
            break;
        case event_code::hardware_error: {
            const auto code = parse_hardware_error(packet);
            char text[64];
            std::snprintf(text, sizeof text, "Hardware Error event, code 0x%02X", code ? *code : 0);
            lose(text, loss_kind::controller);
            break;
        }
        default:
            break;
    }
}

void host::on_le_meta(bytes_view packet) {
    const auto meta = parse_le_meta(packet);
    if (!meta) return;
    switch (meta->subevent) {
        case le_subevent::connection_complete:
        case le_subevent::enhanced_connection_complete:
            on_connection_complete(packet);
            break;
        case le_subevent::advertising_report:
            on_advertising_report(packet);
            break;
        case le_subevent::connection_update_complete:
            on_connection_update_complete(packet);
            break;
        case le_subevent::remote_connection_parameter_request:
            on_remote_parameter_request(packet);
            break;
        default:
            break;
    }
}

void host::on_connection_complete(bytes_view packet) {
    const auto c = parse_connection_complete(packet);
    if (!c) return;
    bool unwanted = false;
    bool stray = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (lost_ || closed_) return;
        const initiator attempt = initiator_;
        if (c->status == 0 && program_handle(c->connection_handle)) {
            // A handle the controller already gave a live link cannot name a new one: a
            // repeated or garbled event. Ending the handle would end the live link.
            stray = true;
        } else if (c->status != 0) {
            if (attempt.now == initiator::phase::none) return;
            initiator_ = initiator{};
            rules_.connect_ended();
            // A cancel the program asked for ends quietly; anything else ends the attempt
            // the way the program knows an attempt to end without a link.
            if (attempt.now != initiator::phase::cancelled_by_program) {
                delivery_.post_event(wire::build_gap_timeout(
                    BLE_CONN_HANDLE_INVALID, BLE_GAP_TIMEOUT_SRC_CONN, ble_data_t{}));
            }
            return;
        } else if (c->role != role_central || attempt.now == initiator::phase::none) {
            // A link nobody asked for (a peer connecting to us, or one that completed after
            // a cancel had succeeded): the program has no use for it.
            // Ended from the timer thread: this thread must not wait for a command's answer,
            // which only it can read.
            unwanted_links_.push_back(c->connection_handle);
            unwanted = true;
        } else {
            // A link that comes up while a cancel is on its way crossed it: the controller
            // will refuse the cancel, and the program gets its link.
            const uint16_t handle = allocate_handle();
            link_state l;
            l.controller_handle = c->connection_handle;
            const driver::stack::conn_config* tag = rules_.config().tag(attempt.conn_cfg_tag);
            l.local_mtu = tag != nullptr ? tag->att_mtu : BLE_GATT_ATT_MTU_DEFAULT;
            l.peer = gap_address(c->peer_address_type, c->peer_address);
            links_[handle] = l;
            initiator_ = initiator{};
            rules_.connect_ended();
            rules_.link_up(handle, l.peer, attempt.conn_cfg_tag);
            ble_gap_conn_params_t params{};
            params.min_conn_interval = c->connection_interval;
            params.max_conn_interval = c->connection_interval;
            params.slave_latency = c->peripheral_latency;
            params.conn_sup_timeout = c->supervision_timeout;
            delivery_.post_event(
                wire::build_connected(handle, l.peer, BLE_GAP_ROLE_CENTRAL, params));
        }
    }
    if (stray) {
        char text[128];
        std::snprintf(text, sizeof text,
                      "HCI controller: LE Connection Complete for handle 0x%04X, which a live "
                      "link already has; ignored",
                      static_cast<unsigned>(c->connection_handle));
        say(SD_RPC_LOG_WARNING, text);
    }
    if (unwanted) {
        say(SD_RPC_LOG_WARNING, "HCI controller: a link the program did not ask for is ended");
        changed_.notify_all();
    }
}

void host::on_advertising_report(bytes_view packet) {
    const auto reports = parse_advertising_reports(packet);
    if (!reports) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (lost_ || closed_) return;
    for (const advertising_report& r : *reports) {
        if (!rules_.scanner_listening()) {
            // A paused scanner has no buffer to put the report in.
            if (rules_.scanner_on()) ++reports_dropped_;
            continue;
        }
        delivery_item item;
        item.what = delivery_item::kind::event;
        const uint16_t length =
            static_cast<uint16_t>(std::min<size_t>(r.data.size, report_buffer_.len));
        item.event = std::make_shared<wire::event_buffer>(wire::build_adv_report(
            gap_address(r.address_type, r.address), report_type_bits(r.event_type), r.rssi, 0,
            ble_data_t{report_buffer_.p_data, length}));
        item.report_data = r.data.to_vector();
        item.report_buffer = report_buffer_.p_data;
        item.report_buffer_len = report_buffer_.len;
        rules_.report_delivered();
        delivery_.post(std::move(item));
    }
}

void host::on_disconnection_complete(bytes_view packet) {
    const auto d = parse_disconnection_complete(packet);
    if (!d || d->status != 0) return;
    std::lock_guard<std::mutex> guard(lock_);
    const auto handle = program_handle(d->connection_handle);
    if (!handle) return;
    const bool local = links_[*handle].local_disconnect;
    drop_link(*handle);
    // A link the program ended is reported as ended by the local host, whatever reason the
    // controller gives.
    delivery_.post_event(wire::build_disconnected(
        *handle, local ? BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION : d->reason));
    changed_.notify_all();
}

void host::on_completed_packets(bytes_view packet) {
    const auto done = parse_number_of_completed_packets(packet);
    if (!done) return;
    std::lock_guard<std::mutex> guard(lock_);
    for (const completed_packets& c : *done) {
        auto in_flight = acl_in_flight_.find(c.connection_handle);
        if (in_flight == acl_in_flight_.end()) continue;
        // A controller that reports more than it holds is not believed beyond what it holds.
        for (uint16_t i = 0; i < c.count && !in_flight->second.empty(); ++i) {
            const std::optional<uint16_t> carried = in_flight->second.front();
            in_flight->second.pop_front();
            ++acl_credits_;
            if (carried && rules_.has_link(*carried)) {
                rules_.write_cmd_sent(*carried);
                delivery_.post_event(wire::build_write_cmd_tx_complete(*carried, 1));
            }
        }
    }
    flush_acl();
}

void host::on_connection_update_complete(bytes_view packet) {
    const auto u = parse_connection_update_complete(packet);
    if (!u) return;
    std::lock_guard<std::mutex> guard(lock_);
    const auto handle = program_handle(u->connection_handle);
    if (!handle) return;
    rules_.conn_param_update_done(*handle);
    if (u->status != 0) return;
    ble_gap_conn_params_t params{};
    params.min_conn_interval = u->connection_interval;
    params.max_conn_interval = u->connection_interval;
    params.slave_latency = u->peripheral_latency;
    params.conn_sup_timeout = u->supervision_timeout;
    delivery_.post_event(wire::build_conn_param_update(*handle, params));
}

void host::on_remote_parameter_request(bytes_view packet) {
    const auto r = parse_remote_connection_parameter_request(packet);
    if (!r) return;
    std::lock_guard<std::mutex> guard(lock_);
    const auto handle = program_handle(r->connection_handle);
    if (!handle) return;
    param_request request;
    request.how = param_request::via::link_layer;
    request.wanted =
        ble_gap_conn_params_t{r->interval_min, r->interval_max, r->max_latency, r->timeout};
    replace_param_request(*handle, links_[*handle], request);
    delivery_.post_event(wire::build_conn_param_update_request(*handle, request.wanted));
}

}  // namespace hci
