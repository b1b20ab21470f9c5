// Links: the program's handles for the controller's, ACL data both ways under the
// controller's buffer credits, and what arrives on the L2CAP channels.
#include <algorithm>
#include <cstdio>

#include "driver/ble_hci.h"
#include "driver/stack/stack_rules.h"
#include "hci/att.h"
#include "hci/hci_commands.h"
#include "hci/host/host.h"
#include "hci/host/local_answers.h"
#include "hci/l2cap.h"
#include "platform/platform.h"

namespace hci {
namespace {

constexpr uint16_t l2cap_update_accepted = 0x0000;
constexpr uint16_t l2cap_update_rejected = 0x0001;
constexpr uint8_t status_unacceptable_parameters = 0x3B;

}  // namespace

uint16_t host::allocate_handle() const {
    // The program's handles are the stack's own, small and reused as links come and go,
    // whatever numbers the controller picks.
    uint16_t handle = 0;
    while (links_.count(handle) != 0) ++handle;
    return handle;
}

host::link_state* host::link_of(uint16_t conn_handle) {
    const auto found = links_.find(conn_handle);
    return found == links_.end() ? nullptr : &found->second;
}

std::optional<uint16_t> host::program_handle(uint16_t controller_handle) const {
    for (const auto& [handle, l] : links_) {
        if (l.controller_handle == controller_handle) return handle;
    }
    return std::nullopt;
}

void host::drop_link(uint16_t conn_handle) {
    const auto found = links_.find(conn_handle);
    if (found == links_.end()) return;
    const uint16_t controller_handle = found->second.controller_handle;
    // The controller frees the buffers of a link that ended: what was in flight is done.
    const auto in_flight = acl_in_flight_.find(controller_handle);
    if (in_flight != acl_in_flight_.end()) {
        acl_credits_ = static_cast<uint16_t>(acl_credits_ + in_flight->second.size());
        acl_in_flight_.erase(in_flight);
    }
    for (auto it = acl_queue_.begin(); it != acl_queue_.end();) {
        it = it->controller_handle == controller_handle ? acl_queue_.erase(it) : it + 1;
    }
    acl_queued_bytes_.erase(controller_handle);
    reassembler_.forget(controller_handle);
    links_.erase(found);
    rules_.link_down(conn_handle);
    flush_acl();
}

void host::queue_pdu(uint16_t conn_handle, const std::vector<uint8_t>& l2cap,
                     std::optional<uint16_t> write_command_of) {
    link_state* l = link_of(conn_handle);
    if (l == nullptr || l->overflowed) return;
    auto fragments = acl_fragments(l->controller_handle, l2cap, info_.acl_length);
    size_t adding = 0;
    for (const auto& fragment : fragments) adding += fragment.size();
    size_t& queued = acl_queued_bytes_[l->controller_handle];
    if (adding > options_.max_queued_acl_bytes_per_link -
                     std::min(queued, options_.max_queued_acl_bytes_per_link)) {
        end_overflowing_link(conn_handle, *l);
        return;
    }
    queued += adding;
    for (size_t i = 0; i < fragments.size(); ++i) {
        acl_out out;
        out.controller_handle = l->controller_handle;
        out.packet = std::move(fragments[i]);
        if (i + 1 == fragments.size()) out.write_command_of = write_command_of;
        acl_queue_.push_back(std::move(out));
    }
    flush_acl();
}

void host::end_overflowing_link(uint16_t conn_handle, link_state& l) {
    const uint16_t controller_handle = l.controller_handle;
    const size_t queued = acl_queued_bytes_[controller_handle];
    l.overflowed = true;
    l.local_disconnect = true;
    rules_.disconnecting(conn_handle);
    for (auto it = acl_queue_.begin(); it != acl_queue_.end();) {
        it = it->controller_handle == controller_handle ? acl_queue_.erase(it) : it + 1;
    }
    acl_queued_bytes_.erase(controller_handle);
    // The Disconnect waits for its answer, which only the reader (perhaps this thread) reads.
    unwanted_links_.push_back(controller_handle);
    changed_.notify_all();
    char text[200];
    std::snprintf(text, sizeof text,
                  "HCI controller: %zu bytes of data wait to go out on conn_handle %u, more than "
                  "%zu: the phone asks faster than its link carries the answers; the link is "
                  "ended",
                  queued, static_cast<unsigned>(conn_handle),
                  options_.max_queued_acl_bytes_per_link);
    say(SD_RPC_LOG_WARNING, text);
}

void host::flush_acl() {
    // Under lock_, so that packets leave in the order they were queued; hence handed over
    // without waiting for the write, which may need the transport's thread while that thread
    // waits for lock_ to deliver what just arrived.
    while (acl_credits_ > 0 && !acl_queue_.empty() && !lost_ && !closed_) {
        acl_out out = std::move(acl_queue_.front());
        acl_queue_.pop_front();
        auto queued = acl_queued_bytes_.find(out.controller_handle);
        if (queued != acl_queued_bytes_.end()) {
            queued->second -= std::min(queued->second, out.packet.size());
            if (queued->second == 0) acl_queued_bytes_.erase(queued);
        }
        --acl_credits_;
        acl_in_flight_[out.controller_handle].push_back(out.write_command_of);
        std::string why;
        snoop(out.packet, direction::sent);
        const std::shared_ptr<transport> link = current_transport();
        if (!link || !link->send(out.packet, why)) {
            // The reader will see the stream end too; losing the controller is its call.
            return;
        }
    }
}

void host::on_acl(bytes_view packet) {
    std::lock_guard<std::mutex> guard(lock_);
    if (lost_ || closed_) return;
    const auto pdu = reassembler_.add(packet);
    if (!pdu) return;
    const auto handle = program_handle(pdu->connection_handle);
    if (!handle) return;  // data on a link we do not know, or one that just ended
    on_l2cap(*handle, pdu->bytes);
}

void host::on_l2cap(uint16_t conn_handle, bytes_view pdu) {
    const auto frame = parse_l2cap_frame(pdu);
    if (!frame) return;
    switch (frame->channel_id) {
        case cid::att:
            on_att(conn_handle, frame->payload);
            break;
        case cid::le_signalling:
            on_signalling(conn_handle, frame->payload);
            break;
        case cid::security_manager:
            if (const auto answer = security_manager_answer(frame->payload)) {
                queue_pdu(conn_handle, *l2cap_pdu(cid::security_manager, *answer));
            }
            break;
        default:
            break;  // a channel we never opened
    }
}

void host::on_att(uint16_t conn_handle, bytes_view pdu) {
    link_state* l = link_of(conn_handle);
    if (l == nullptr) return;
    const auto opcode = att_opcode_of(pdu);
    if (!opcode) return;
    if (*opcode == att_opcode::handle_value_notification ||
        *opcode == att_opcode::handle_value_indication) {
        // Both carry a handle and then the value.
        byte_reader in(pdu);
        in.u8();
        const uint16_t handle = in.u16();
        const bytes_view value = in.rest();
        if (!in.ok()) return;
        const bool indication = *opcode == att_opcode::handle_value_indication;
        if (pdu.size > l->att_mtu) {
            // Malformed: no server may send more than the MTU in force, so the value is not
            // what it meant to send. Still confirmed: the confirmation only says that the
            // indication arrived, and a phone left without it has its ATT bearer time out.
            drop_oversized_att(conn_handle, *l, indication ? "an indication" : "a notification",
                               pdu.size);
        } else if (!l->gattc_dead) {
            delivery_.post_event(
                wire::build_hvx(conn_handle, handle,
                                indication ? BLE_GATT_HVX_INDICATION : BLE_GATT_HVX_NOTIFICATION,
                                value.to_vector()));
        }
        // The program has no call to confirm an indication; a phone left without the
        // confirmation would stop sending and in time drop the link.
        if (indication) {
            queue_pdu(
                conn_handle,
                *l2cap_pdu(cid::att, std::vector<uint8_t>{att_opcode::handle_value_confirmation}));
        }
        return;
    }
    if (const auto answer = att_server_answer(pdu, l->local_mtu)) {
        if (*opcode == att_opcode::exchange_mtu_request) {
            if (const auto their_mtu = parse_exchange_mtu(pdu, *opcode)) {
                l->att_mtu = std::max<uint16_t>(BLE_GATT_ATT_MTU_DEFAULT,
                                                std::min(l->local_mtu, *their_mtu));
            }
        }
        queue_pdu(conn_handle, *l2cap_pdu(cid::att, *answer));
        return;
    }
    if (!l->gattc || l->gattc_dead) return;
    gattc_answer answer = answer_for(conn_handle, l->gattc->procedure, pdu, l->att_mtu);
    if (!answer.is_answer) return;
    l->gattc.reset();
    rules_.gattc_completed(conn_handle);
    if (answer.event) delivery_.post_event(std::move(*answer.event));
}

void host::answer_l2cap_request(uint16_t conn_handle, uint16_t controller_handle,
                                uint8_t identifier, bool accepted) {
    const link_state* l = link_of(conn_handle);
    if (l == nullptr || l->controller_handle != controller_handle) return;
    queue_pdu(conn_handle,
              connection_parameter_update_response_pdu(
                  identifier, accepted ? l2cap_update_accepted : l2cap_update_rejected));
}

void host::replace_param_request(uint16_t conn_handle, link_state& l, param_request newer) {
    if (l.pending_request) {
        const param_request& older = *l.pending_request;
        if (older.how == param_request::via::l2cap) {
            answer_l2cap_request(conn_handle, l.controller_handle, older.identifier, false);
        } else if (newer.how == param_request::via::l2cap) {
            // The controller's procedure stays open until it is answered. A newer request
            // from the link layer needs nothing: the controller has given up the older one,
            // and a reply now would answer the newer.
            // One procedure per link: a handle waits here once at most.
            if (std::find(turned_down_requests_.begin(), turned_down_requests_.end(),
                          l.controller_handle) == turned_down_requests_.end()) {
                turned_down_requests_.push_back(l.controller_handle);
            }
            changed_.notify_all();
        }
    }
    l.pending_request = newer;
}

void host::turn_down_link_layer_request(uint16_t controller_handle) {
    if (unsupported_.off(opcode::le_remote_connection_parameter_request_negative_reply)) return;
    execute(le_remote_connection_parameter_request_negative_reply_command(
        controller_handle, status_unacceptable_parameters));
}

void host::drop_oversized_att(uint16_t conn_handle, link_state& l, const char* what, size_t size) {
    ++l.oversized_att_pdus;
    // The first, then one line per tenfold: a phone that keeps sending them cannot flood the
    // log.
    const uint64_t n = l.oversized_att_pdus;
    uint64_t power = 1;
    while (power * 10 <= n) power *= 10;
    if (n != power) return;
    char text[192];
    std::snprintf(text, sizeof text,
                  "HCI controller: %s of %llu bytes on conn_handle %u is longer than the ATT "
                  "MTU of %u in force and is dropped (%llu so far on this link)",
                  what, static_cast<unsigned long long>(size), static_cast<unsigned>(conn_handle),
                  static_cast<unsigned>(l.att_mtu), static_cast<unsigned long long>(n));
    say(SD_RPC_LOG_WARNING, text);
}

void host::on_signalling(uint16_t conn_handle, bytes_view payload) {
    link_state* l = link_of(conn_handle);
    if (l == nullptr) return;
    const auto command = parse_signalling_command(payload);
    if (command && command->code == signalling_code::connection_parameter_update_request) {
        const auto request = parse_connection_parameter_update_request(*command);
        if (!request) {
            queue_pdu(conn_handle, command_reject_pdu(command->identifier,
                                                      reject_reason::command_not_understood));
            return;
        }
        param_request pending;
        pending.how = param_request::via::l2cap;
        pending.identifier = request->identifier;
        pending.wanted = ble_gap_conn_params_t{request->interval_min, request->interval_max,
                                               request->latency, request->timeout};
        // Values no link may have reach the program all the same: its call is refused by
        // the rules, and the refusal answers the phone.
        replace_param_request(conn_handle, *l, pending);
        delivery_.post_event(wire::build_conn_param_update_request(conn_handle, pending.wanted));
        return;
    }
    if (const auto reject = signalling_reject(payload)) queue_pdu(conn_handle, *reject);
}

uint32_t host::start_procedure(uint16_t conn_handle, gattc_procedure procedure) {
    link_state* l = link_of(conn_handle);
    if (l == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
    const auto pdu = l2cap_pdu(cid::att, request_pdu(procedure));
    if (!pdu) return NRF_ERROR_DATA_SIZE;
    if (procedure.expects_answer()) {
        rules_.gattc_started(conn_handle);
        running_procedure running;
        running.procedure = procedure;
        running.deadline = platform::tick_count() + driver::stack::gattc_timeout_ms;
        l->gattc = std::move(running);
        queue_pdu(conn_handle, *pdu);
    } else {
        rules_.write_cmd_queued(conn_handle);
        queue_pdu(conn_handle, *pdu, conn_handle);
    }
    return NRF_SUCCESS;
}

void host::run_timers() {
    struct rssi_poll {
        uint16_t conn_handle;
        uint16_t controller_handle;
    };
    std::vector<rssi_poll> polls;
    std::vector<uint16_t> unwanted;
    if (recover_when_due()) return;
    std::vector<uint16_t> turned_down;
    const bool rssi_known = !unsupported_.off(opcode::read_rssi);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (lost_ || closed_) return;
        unwanted.swap(unwanted_links_);
        turned_down.swap(turned_down_requests_);
        const uint64_t now = platform::tick_count();
        for (auto& [handle, l] : links_) {
            if (l.gattc && now >= l.gattc->deadline) {
                // No answer in time: the procedure ends, and GATT on the link with it.
                l.gattc.reset();
                l.gattc_dead = true;
                rules_.gattc_timed_out(handle);
                delivery_.post_event(wire::build_gattc_timeout(handle));
            }
            if (rssi_known && l.rssi && l.rssi->reports() && now >= l.next_rssi_poll) {
                l.next_rssi_poll = now + options_.rssi_poll_ms;
                polls.push_back({handle, l.controller_handle});
            }
        }
    }
    for (uint16_t controller_handle : unwanted) {
        execute(disconnect_command(controller_handle, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));
    }
    for (uint16_t controller_handle : turned_down) turn_down_link_layer_request(controller_handle);
    for (const rssi_poll& p : polls) {
        // Found unknown on an earlier link of this round: the warning has been given.
        if (unsupported_.off(opcode::read_rssi)) break;
        const command_outcome o = execute(read_rssi_command(p.controller_handle));
        if (!o.answered()) return;
        if (unsupported_.off(opcode::read_rssi)) break;
        std::lock_guard<std::mutex> guard(lock_);
        link_state* l = link_of(p.conn_handle);
        if (l == nullptr || l->controller_handle != p.controller_handle || !l->rssi) continue;
        byte_reader r(o.return_parameters);
        r.u8();
        const uint16_t handle = r.u16();
        const auto rssi = static_cast<int8_t>(r.u8());
        if (o.status != 0 || !r.ok() || handle != p.controller_handle) {
            // A controller that cannot read RSSI on this link will not learn to later.
            l->rssi.reset();
            char text[128];
            std::snprintf(text, sizeof text,
                          "HCI controller: Read RSSI on conn_handle %u failed (status 0x%02X); "
                          "no RSSI reports for this link",
                          static_cast<unsigned>(p.conn_handle), o.status);
            say(SD_RPC_LOG_WARNING, text);
            continue;
        }
        // 127 means the controller has no measurement.
        if (rssi == 127) continue;
        if (const auto reported = l->rssi->sample(rssi)) {
            delivery_.post_event(wire::build_rssi_changed(p.conn_handle, *reported, 0));
        }
    }
    timer_scan_and_connect();
}

}  // namespace hci
