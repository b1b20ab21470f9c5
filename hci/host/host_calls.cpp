// The program's calls: each checked by the stack rules first, then carried out with HCI
// commands or ATT requests, with the rules told what happened. Calls that send commands
// take call_lock_ and so run one at a time; calls that need none (a scan resume, the
// GATT requests, the configuration) are done under lock_ alone, and so never wait behind a
// call that waits for the controller.
#include <algorithm>

#include "driver/ble_hci.h"
#include "driver/stack/discovery_answer.h"
#include "hci/hci_commands.h"
#include "hci/host/host.h"
#include "hci/l2cap.h"
#include "platform/platform.h"

namespace hci {
namespace {

constexpr uint8_t status_unknown_command = 0x01;
constexpr uint8_t status_command_disallowed = 0x0C;
constexpr uint8_t status_invalid_parameters = 0x12;
constexpr uint8_t status_unacceptable_parameters = 0x3B;
// How long a connection that the controller would not let us cancel may take to come up
// before the attempt is ended anyway.
constexpr uint64_t crossed_attempt_limit_ms = 2000;
// HCI legacy advertising types.
constexpr uint8_t adv_ind = 0x00;
constexpr uint8_t adv_direct_ind_high = 0x01;
constexpr uint8_t adv_scan_ind = 0x02;
constexpr uint8_t adv_nonconn_ind = 0x03;
constexpr uint8_t adv_direct_ind_low = 0x04;
constexpr uint16_t le_set_scan_response_data = make_opcode(0x08, 0x0009);

// What a refused command means to the program.
uint32_t refused(uint8_t status) {
    if (status == status_unknown_command) return NRF_ERROR_NOT_SUPPORTED;
    if (status == status_command_disallowed) return NRF_ERROR_INVALID_STATE;
    if (status == status_invalid_parameters || status == status_unacceptable_parameters) {
        return NRF_ERROR_INVALID_PARAM;
    }
    return NRF_ERROR_INTERNAL;
}

connection_parameters hci_connection(const ble_gap_conn_params_t& p) {
    connection_parameters out;
    out.interval_min = p.min_conn_interval;
    out.interval_max = p.max_conn_interval;
    out.max_latency = p.slave_latency;
    out.supervision_timeout = p.conn_sup_timeout;
    return out;
}

uint8_t hci_address_type(const ble_gap_addr_t& address) {
    return address.addr_type == BLE_GAP_ADDR_TYPE_PUBLIC ? 0x00 : 0x01;
}

advertising_parameters hci_advertising(const ble_gap_adv_params_t& p) {
    advertising_parameters out;
    const uint32_t interval = std::clamp<uint32_t>(p.interval, 0x0020, 0x4000);
    out.interval_min = static_cast<uint16_t>(interval);
    out.interval_max = static_cast<uint16_t>(interval);
    switch (p.properties.type) {
        case BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED:
            out.advertising_type = adv_ind;
            break;
        case BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE:
            out.advertising_type = adv_direct_ind_high;
            break;
        case BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED:
            out.advertising_type = adv_direct_ind_low;
            break;
        case BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED:
            out.advertising_type = adv_scan_ind;
            break;
        default:
            out.advertising_type = adv_nonconn_ind;
            break;
    }
    if (p.p_peer_addr != nullptr) {
        out.peer_address_type = hci_address_type(*p.p_peer_addr);
        std::copy(p.p_peer_addr->addr, p.p_peer_addr->addr + 6, out.peer_address.begin());
    }
    // The mask names the channels left out; channels 37, 38 and 39 are its bits 37 to 39.
    out.channel_map = static_cast<uint8_t>(0x07 & ~(p.channel_mask[4] >> 5));
    if (out.channel_map == 0) out.channel_map = 0x07;
    out.filter_policy = p.filter_policy;
    return out;
}

std::vector<uint8_t> scan_response_data_command(const ble_data_t& data) {
    std::vector<uint8_t> parameters(32, 0);
    const size_t length = std::min<size_t>(data.len, 31);
    parameters[0] = static_cast<uint8_t>(length);
    if (length > 0) std::copy(data.p_data, data.p_data + length, parameters.begin() + 1);
    return *command_packet(le_set_scan_response_data, parameters);
}

}  // namespace

uint32_t host::reset() {
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = usable(); u != NRF_SUCCESS) return u;
    {
        // As at every Reset: whatever the controller says before its answer belongs to the
        // state the Reset ends, and the framing starts afresh at the answer.
        std::lock_guard<std::mutex> guard(lock_);
        renew_parser();
    }
    const command_outcome o = execute(reset_command());
    if (!o.answered()) return lost_result();
    std::lock_guard<std::mutex> guard(lock_);
    rules_.reset();
    links_.clear();
    initiator_ = initiator{};
    scan_deadline_ = 0;
    unwanted_links_.clear();
    turned_down_requests_.clear();
    acl_queue_.clear();
    acl_queued_bytes_.clear();
    acl_in_flight_.clear();
    reassembler_ = acl_reassembler();
    acl_credits_ = info_.acl_count;
    const uint64_t version = wish_.version;
    wish_ = radio_wish{};
    wish_.version = version + 1;
    return NRF_SUCCESS;
}

uint32_t host::cfg_set(uint32_t cfg_id, const ble_cfg_t* cfg) {
    std::lock_guard<std::mutex> guard(lock_);
    if (const uint32_t u = usable_locked(); u != NRF_SUCCESS) return u;
    const uint32_t result = rules_.check_cfg_set(cfg_id, cfg);
    if (result == NRF_SUCCESS) rules_.configured(cfg_id, *cfg);
    return result;
}

uint32_t host::enable() {
    std::lock_guard<std::mutex> guard(lock_);
    if (const uint32_t u = usable_locked(); u != NRF_SUCCESS) return u;
    const uint32_t result = rules_.check_enable();
    if (result == NRF_SUCCESS) rules_.enabled();
    return result;
}

uint32_t host::scan_start(const ble_gap_scan_params_t* params, const ble_data_t* buffer) {
    if (params == nullptr) {
        // A resume: the controller never stopped; the buffer is ours again. The program
        // resumes from its event handler, which must not wait behind a call of another
        // thread that waits for the controller: every event after it would wait too.
        std::lock_guard<std::mutex> guard(lock_);
        if (!opened_ || closed_) return usable_locked();
        // The scanner's state is kept while the controller is got back.
        if (lost_ && !held_for_recovery()) return lost_result();
        const uint32_t result = rules_.check_scan_start(params, buffer);
        if (result != NRF_SUCCESS) return result;
        report_buffer_ = *buffer;
        rules_.scan_resumed();
        return NRF_SUCCESS;
    }
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = open_state(); u != NRF_SUCCESS) return u;
    std::vector<uint8_t> parameters_command;
    auto start_listening = [&] {
        report_buffer_ = *buffer;
        rules_.scan_started();
        scan_deadline_ =
            params->timeout == 0 ? 0 : platform::tick_count() + uint64_t{params->timeout} * 10;
        wish_.scan_parameters = parameters_command;
        ++wish_.version;
    };
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (lost_ && !held_for_recovery()) return lost_result();
        const uint32_t result = rules_.check_scan_start(params, buffer);
        if (result != NRF_SUCCESS) return result;
        scan_parameters scan;
        scan.active = params->active;
        scan.interval = params->interval;
        scan.window = params->window;
        parameters_command = le_set_scan_parameters_command(scan);
        if (held_for_recovery()) {
            // The controller that comes back is set scanning with these.
            start_listening();
            return NRF_SUCCESS;
        }
    }
    command_outcome o = execute(parameters_command);
    if (!o.answered()) return lost_result();
    if (o.status != 0) return refused(o.status);
    {
        // Listening before the enable goes out, so that the first report is not lost.
        std::lock_guard<std::mutex> guard(lock_);
        start_listening();
    }
    o = execute(le_set_scan_enable_command(true, false));
    if (!o.answered()) return lost_result();
    if (o.status != 0) {
        std::lock_guard<std::mutex> guard(lock_);
        rules_.scan_stopped();
        scan_deadline_ = 0;
        ++wish_.version;
        return refused(o.status);
    }
    return NRF_SUCCESS;
}

uint32_t host::scan_stop() {
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = open_state(); u != NRF_SUCCESS) return u;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (lost_ && !held_for_recovery()) return lost_result();
        const uint32_t result = rules_.check_scan_stop();
        if (result != NRF_SUCCESS) return result;
        rules_.scan_stopped();
        scan_deadline_ = 0;
        ++wish_.version;
        if (held_for_recovery()) return NRF_SUCCESS;
    }
    const command_outcome o = execute(le_set_scan_enable_command(false, false));
    if (!o.answered()) return lost_result();
    // Already off is as good as stopped.
    return NRF_SUCCESS;
}

uint32_t host::adv_set_configure(uint8_t* handle, const ble_gap_adv_data_t* data,
                                 const ble_gap_adv_params_t* params) {
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = open_state(); u != NRF_SUCCESS) return u;
    // The commands, built before anything is sent: the program's data buffers are its own
    // again once the call returns, and a controller got back after a loss is set up anew
    // with the same.
    std::vector<uint8_t> parameters_command;
    std::vector<uint8_t> data_command;
    std::vector<uint8_t> response_command;
    bool held = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (lost_ && !held_for_recovery()) return lost_result();
        const uint32_t result = rules_.check_adv_set_configure(handle, data, params);
        if (result != NRF_SUCCESS) return result;
        held = held_for_recovery();
    }
    if (params != nullptr) {
        parameters_command = le_set_advertising_parameters_command(hci_advertising(*params));
    }
    if (data != nullptr) {
        const auto command = le_set_advertising_data_command(bytes_view(
            data->adv_data.p_data, data->adv_data.p_data == nullptr ? 0 : data->adv_data.len));
        if (!command) return NRF_ERROR_INVALID_LENGTH;
        data_command = *command;
        if (data->scan_rsp_data.p_data != nullptr && data->scan_rsp_data.len > 0) {
            response_command = scan_response_data_command(data->scan_rsp_data);
        }
    }
    if (!held) {
        for (const std::vector<uint8_t>* command :
             {&parameters_command, &data_command, &response_command}) {
            if (command->empty()) continue;
            const command_outcome o = execute(*command);
            if (!o.answered()) return lost_result();
            if (o.status != 0) return refused(o.status);
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    rules_.adv_set_configured(params);
    if (*handle == BLE_GAP_ADV_SET_HANDLE_NOT_SET) *handle = driver::stack::adv_set_handle;
    if (!parameters_command.empty()) wish_.advertising_parameters = parameters_command;
    if (data != nullptr) {
        wish_.advertising_data = data_command;
        wish_.scan_response_data = response_command;
    }
    ++wish_.version;
    return NRF_SUCCESS;
}

uint32_t host::adv_start(uint8_t handle, uint8_t conn_cfg_tag) {
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = open_state(); u != NRF_SUCCESS) return u;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (lost_ && !held_for_recovery()) return lost_result();
        const uint32_t result = rules_.check_adv_start(handle, conn_cfg_tag);
        if (result != NRF_SUCCESS) return result;
        if (held_for_recovery()) {
            rules_.adv_started();
            ++wish_.version;
            return NRF_SUCCESS;
        }
    }
    const command_outcome o = execute(le_set_advertising_enable_command(true));
    if (!o.answered()) return lost_result();
    if (o.status != 0) return refused(o.status);
    std::lock_guard<std::mutex> guard(lock_);
    rules_.adv_started();
    ++wish_.version;
    return NRF_SUCCESS;
}

uint32_t host::adv_stop(uint8_t handle) {
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = open_state(); u != NRF_SUCCESS) return u;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (lost_ && !held_for_recovery()) return lost_result();
        const uint32_t result = rules_.check_adv_stop(handle);
        if (result != NRF_SUCCESS) return result;
        rules_.adv_stopped();
        ++wish_.version;
        if (held_for_recovery()) return NRF_SUCCESS;
    }
    const command_outcome o = execute(le_set_advertising_enable_command(false));
    if (!o.answered()) return lost_result();
    return NRF_SUCCESS;
}

uint32_t host::connect(const ble_gap_addr_t* peer, const ble_gap_scan_params_t* scan,
                       const ble_gap_conn_params_t* conn, uint8_t conn_cfg_tag) {
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = usable(); u != NRF_SUCCESS) return u;
    bool scanning = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const uint32_t result = rules_.check_connect(peer, scan, conn, conn_cfg_tag);
        if (result != NRF_SUCCESS) return result;
        scanning = rules_.scanner_on();
        // The attempt stands before the command goes out: a controller may complete the
        // connection before it answers the command.
        rules_.connect_started();
        scan_deadline_ = 0;
        initiator_.now = initiator::phase::pending;
        initiator_.peer = *peer;
        initiator_.conn_cfg_tag = conn_cfg_tag;
        initiator_.deadline =
            scan->timeout == 0 ? 0 : platform::tick_count() + uint64_t{scan->timeout} * 10;
    }
    if (scanning) {
        const command_outcome o = execute(le_set_scan_enable_command(false, false));
        if (!o.answered()) return lost_result();
    }
    create_connection_parameters c;
    c.scan_interval = scan->interval;
    c.scan_window = scan->window;
    c.peer_address_type = hci_address_type(*peer);
    std::copy(peer->addr, peer->addr + 6, c.peer_address.begin());
    c.connection = hci_connection(*conn);
    const command_outcome o = execute(le_create_connection_command(c));
    if (!o.answered()) return lost_result();
    if (o.status != 0) {
        std::lock_guard<std::mutex> guard(lock_);
        if (initiator_.now == initiator::phase::pending) {
            initiator_ = initiator{};
            rules_.connect_ended();
        }
        return refused(o.status);
    }
    return NRF_SUCCESS;
}

uint32_t host::connect_cancel() {
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = usable(); u != NRF_SUCCESS) return u;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const uint32_t result = rules_.check_connect_cancel();
        if (result != NRF_SUCCESS) return result;
        initiator_.now = initiator::phase::cancelled_by_program;
    }
    const command_outcome o = execute(le_create_connection_cancel_command());
    if (!o.answered()) return lost_result();
    std::lock_guard<std::mutex> guard(lock_);
    if (o.status == 0) {
        // The controller still reports the cancelled attempt; it ends quietly.
        if (initiator_.now == initiator::phase::cancelled_by_program) {
            initiator_ = initiator{};
            rules_.connect_ended();
        }
        return NRF_SUCCESS;
    }
    if (initiator_.now == initiator::phase::none) {
        // The link came up while the cancel was on its way: the program has its event.
        return rules_.check_connect_cancel();
    }
    // Nothing left to cancel: the connection is on its way up and will be reported.
    initiator_.now = initiator::phase::pending;
    initiator_.deadline = platform::tick_count() + crossed_attempt_limit_ms;
    rules_.connect_crossed();
    return rules_.check_connect_cancel();
}

uint32_t host::disconnect(uint16_t conn_handle, uint8_t reason) {
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = usable(); u != NRF_SUCCESS) return u;
    uint16_t controller_handle = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const uint32_t result = rules_.check_disconnect(conn_handle, reason);
        if (result != NRF_SUCCESS) return result;
        rules_.disconnecting(conn_handle);
        link_state* l = link_of(conn_handle);
        l->local_disconnect = true;
        controller_handle = l->controller_handle;
    }
    const command_outcome o = execute(disconnect_command(controller_handle, reason));
    if (!o.answered()) return lost_result();
    if (o.status != 0) return refused(o.status);
    return NRF_SUCCESS;
}

uint32_t host::conn_param_update(uint16_t conn_handle, const ble_gap_conn_params_t* params) {
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = usable(); u != NRF_SUCCESS) return u;
    std::optional<param_request> pending;
    uint16_t controller_handle = 0;
    uint32_t result = NRF_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(lock_);
        result = rules_.check_conn_param_update(conn_handle, params);
        link_state* l = link_of(conn_handle);
        if (l == nullptr) return result;
        // Whatever comes of the call, the phone's request is answered by it: a phone left
        // waiting gives up on the link when its signalling times out.
        pending = l->pending_request;
        l->pending_request.reset();
        controller_handle = l->controller_handle;
        const bool link_layer = pending && pending->how == param_request::via::link_layer;
        if (result == NRF_SUCCESS && params != nullptr) {
            const uint16_t needed = link_layer
                                        ? opcode::le_remote_connection_parameter_request_reply
                                        : opcode::le_connection_update;
            if (unsupported_.off(needed)) result = NRF_ERROR_NOT_SUPPORTED;
        }
        if (result != NRF_SUCCESS || params == nullptr) {
            if (pending && !link_layer) {
                answer_l2cap_request(conn_handle, controller_handle, pending->identifier, false);
            }
            if (!link_layer) return result;
        } else {
            rules_.conn_param_update_started(conn_handle);
        }
    }
    if (result != NRF_SUCCESS || params == nullptr) {
        // Turning down the link layer's request.
        turn_down_link_layer_request(controller_handle);
        return is_lost() ? lost_result() : result;
    }
    const bool link_layer = pending && pending->how == param_request::via::link_layer;
    const command_outcome o =
        link_layer
            ? execute(le_remote_connection_parameter_request_reply_command(controller_handle,
                                                                           hci_connection(*params)))
            : execute(le_connection_update_command(controller_handle, hci_connection(*params)));
    if (!o.answered()) return lost_result();
    {
        std::lock_guard<std::mutex> guard(lock_);
        // The phone hears the outcome only once the controller has taken the update, so
        // that it is never told yes to an update that does not come.
        if (pending && !link_layer) {
            answer_l2cap_request(conn_handle, controller_handle, pending->identifier,
                                 o.status == 0);
        }
        if (o.status == 0) return NRF_SUCCESS;
        rules_.conn_param_update_done(conn_handle);
    }
    // A reply the controller would not take leaves its procedure open.
    if (link_layer) turn_down_link_layer_request(controller_handle);
    return refused(o.status);
}

uint32_t host::rssi_start(uint16_t conn_handle, uint8_t threshold_dbm, uint8_t skip_count) {
    std::lock_guard<std::mutex> guard(lock_);
    if (const uint32_t u = usable_locked(); u != NRF_SUCCESS) return u;
    const uint32_t result = rules_.check_rssi_start(conn_handle);
    if (result != NRF_SUCCESS) return result;
    rules_.rssi_started(conn_handle);
    link_state* l = link_of(conn_handle);
    l->rssi.emplace(threshold_dbm, skip_count);
    l->next_rssi_poll = platform::tick_count();
    return NRF_SUCCESS;
}

uint32_t host::primary_services_discover(uint16_t conn_handle, uint16_t start_handle,
                                         const ble_uuid_t* uuid) {
    std::lock_guard<std::mutex> guard(lock_);
    if (const uint32_t u = usable_locked(); u != NRF_SUCCESS) return u;
    const uint32_t result = rules_.check_primary_services_discover(conn_handle, uuid);
    if (result != NRF_SUCCESS) return result;
    if (auto answer = driver::stack::discovery_answered_by_stack(driver::stack::discovery::services,
                                                                 conn_handle, start_handle)) {
        delivery_.post_event(std::move(*answer));
        return NRF_SUCCESS;
    }
    gattc_procedure p;
    p.what = gattc_procedure::kind::services;
    p.start_handle = start_handle;
    if (uuid != nullptr) p.service_uuid = uuid->uuid;
    return start_procedure(conn_handle, std::move(p));
}

uint32_t host::characteristics_discover(uint16_t conn_handle,
                                        const ble_gattc_handle_range_t* range) {
    std::lock_guard<std::mutex> guard(lock_);
    if (const uint32_t u = usable_locked(); u != NRF_SUCCESS) return u;
    const uint32_t result = rules_.check_characteristics_discover(conn_handle, range);
    if (result != NRF_SUCCESS) return result;
    if (auto answer = driver::stack::discovery_answered_by_stack(
            driver::stack::discovery::characteristics, conn_handle, range->start_handle)) {
        delivery_.post_event(std::move(*answer));
        return NRF_SUCCESS;
    }
    if (range->start_handle > range->end_handle) return NRF_ERROR_INVALID_PARAM;
    gattc_procedure p;
    p.what = gattc_procedure::kind::characteristics;
    p.start_handle = range->start_handle;
    p.end_handle = range->end_handle;
    return start_procedure(conn_handle, std::move(p));
}

uint32_t host::descriptors_discover(uint16_t conn_handle, const ble_gattc_handle_range_t* range) {
    std::lock_guard<std::mutex> call(call_lock_);
    if (const uint32_t u = usable(); u != NRF_SUCCESS) return u;
    std::lock_guard<std::mutex> guard(lock_);
    const uint32_t result = rules_.check_descriptors_discover(conn_handle, range);
    if (result != NRF_SUCCESS) return result;
    if (auto answer = driver::stack::discovery_answered_by_stack(
            driver::stack::discovery::descriptors, conn_handle, range->start_handle)) {
        delivery_.post_event(std::move(*answer));
        return NRF_SUCCESS;
    }
    if (range->start_handle > range->end_handle) return NRF_ERROR_INVALID_PARAM;
    gattc_procedure p;
    p.what = gattc_procedure::kind::descriptors;
    p.start_handle = range->start_handle;
    p.end_handle = range->end_handle;
    return start_procedure(conn_handle, std::move(p));
}

uint32_t host::read(uint16_t conn_handle, uint16_t handle, uint16_t offset) {
    std::lock_guard<std::mutex> guard(lock_);
    if (const uint32_t u = usable_locked(); u != NRF_SUCCESS) return u;
    const uint32_t result = rules_.check_read(conn_handle, handle);
    if (result != NRF_SUCCESS) return result;
    gattc_procedure p;
    p.what = gattc_procedure::kind::read;
    p.handle = handle;
    p.offset = offset;
    return start_procedure(conn_handle, std::move(p));
}

uint32_t host::write(uint16_t conn_handle, const ble_gattc_write_params_t* params) {
    std::lock_guard<std::mutex> guard(lock_);
    if (const uint32_t u = usable_locked(); u != NRF_SUCCESS) return u;
    const uint32_t result = rules_.check_write(conn_handle, params);
    if (result != NRF_SUCCESS) return result;
    gattc_procedure p;
    p.what = params->write_op == BLE_GATT_OP_WRITE_CMD ? gattc_procedure::kind::write_command
                                                       : gattc_procedure::kind::write_request;
    p.handle = params->handle;
    p.offset = params->offset;
    p.write_op = params->write_op;
    if (params->len > 0) p.value.assign(params->p_value, params->p_value + params->len);
    return start_procedure(conn_handle, std::move(p));
}

void host::timer_scan_and_connect() {
    bool stop_scan = false;
    bool cancel = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (lost_ || closed_) return;
        const uint64_t now = platform::tick_count();
        if (scan_deadline_ != 0 && now >= scan_deadline_) {
            scan_deadline_ = 0;
            if (rules_.scanner_on()) {
                rules_.scan_stopped();
                stop_scan = true;
                delivery_.post_event(wire::build_gap_timeout(
                    BLE_CONN_HANDLE_INVALID, BLE_GAP_TIMEOUT_SRC_SCAN, report_buffer_));
            }
        }
        if (initiator_.now == initiator::phase::pending && initiator_.deadline != 0 &&
            now >= initiator_.deadline) {
            initiator_.now = initiator::phase::cancelled_on_timeout;
            initiator_.deadline = 0;
            cancel = true;
        }
    }
    if (stop_scan) execute(le_set_scan_enable_command(false, false));
    if (cancel) {
        const command_outcome o = execute(le_create_connection_cancel_command());
        if (o.answered() && o.status != 0) {
            // Nothing to cancel, and no link reported either: end the attempt here.
            std::lock_guard<std::mutex> guard(lock_);
            if (initiator_.now == initiator::phase::cancelled_on_timeout) {
                initiator_ = initiator{};
                rules_.connect_ended();
                delivery_.post_event(wire::build_gap_timeout(
                    BLE_CONN_HANDLE_INVALID, BLE_GAP_TIMEOUT_SRC_CONN, ble_data_t{}));
            }
        }
    }
}

}  // namespace hci
