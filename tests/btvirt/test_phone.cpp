#include "tests/btvirt/test_phone.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "driver/ble_gatt.h"
#include "hci/att.h"
#include "hci/hci_events.h"
#include "hci/l2cap.h"
#include "sim/air_capture/att_pdu.h"
#include "sim/scenario/scenario_loader.h"

namespace btvirt_testing {
namespace {

using steady = std::chrono::steady_clock;

// The phone never exchanges a larger MTU: the simulated phone's answers are sized for this.
constexpr uint16_t att_mtu = 23;

namespace att_op = hci::att_opcode;
namespace att_error_code = hci::att_error_code;

uint16_t le16(hci::bytes_view bytes, size_t at) {
    return static_cast<uint16_t>(bytes.data[at] | (bytes.data[at + 1] << 8));
}

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// The ATT error code a driver-level GATT status stands for.
uint8_t att_error_of(uint16_t status) {
    const uint8_t code = static_cast<uint8_t>(status & 0xFF);
    return code == 0 ? att_error_code::unlikely_error : code;
}

hci::bytes_view view(const std::vector<uint8_t>& bytes) {
    return hci::bytes_view(bytes.data(), bytes.size());
}

// The UUID bytes of a service entry: the database's own, since the driver-level answer
// keeps only what the central's stack would know of a 128-bit UUID.
std::vector<uint8_t> service_uuid_bytes(const sim::phone_gatt& gatt,
                                        const ble_gattc_service_t& entry) {
    for (const sim::gatt_service_def& service : gatt.services()) {
        if (service.start_handle == entry.handle_range.start_handle) {
            return service.uuid.air_bytes();
        }
    }
    if (entry.uuid.type == BLE_UUID_TYPE_BLE)
        return sim::gatt_uuid::from16(entry.uuid.uuid).air_bytes();
    return std::vector<uint8_t>(16, 0);
}

// A characteristic declaration as the database holds it, or as the entry describes it when
// a scripted answer names a declaration the database lacks.
std::vector<uint8_t> declaration_bytes(const sim::phone_gatt& gatt, const ble_gattc_char_t& entry) {
    if (auto stored = gatt.stored_value(entry.handle_decl)) return *stored;
    const uint8_t properties =
        static_cast<uint8_t>(entry.char_props.broadcast | entry.char_props.read << 1 |
                             entry.char_props.write_wo_resp << 2 | entry.char_props.write << 3 |
                             entry.char_props.notify << 4 | entry.char_props.indicate << 5 |
                             entry.char_props.auth_signed_wr << 6 | entry.char_ext_props << 7);
    std::vector<uint8_t> out{properties};
    put16(out, entry.handle_value);
    put16(out, entry.uuid.uuid);
    return out;
}

}  // namespace

sim::device_config scenario_phone(const std::string& scenario_json, const std::string& name) {
    sim::scenario loaded;
    std::string error;
    if (!sim::load_scenario_text(scenario_json, "test scenario", loaded, error)) {
        throw std::runtime_error("scenario does not load: " + error);
    }
    for (sim::device_config& device : loaded.devices) {
        if (device.is_phone && device.name == name) return std::move(device);
    }
    throw std::runtime_error("no phone called " + name + " in the scenario");
}

test_phone::test_phone(const std::string& socket_path, sim::device_config phone)
    : config_(std::move(phone)), born_(steady::now()) {
    peer_ =
        std::make_unique<hci_peer>(socket_path, [this](const hci::h4_packet& p) { on_packet(p); });
    worker_ = std::thread([this] { work(); });
}

test_phone::~test_phone() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        advertising_wanted_ = false;
    }
    changed_.notify_all();
    worker_.join();
    peer_.reset();
}

void test_phone::note_trouble(const std::string& what) {
    std::lock_guard<std::mutex> guard(lock_);
    if (trouble_.empty()) trouble_ = what;
}

std::string test_phone::trouble() const {
    std::lock_guard<std::mutex> guard(lock_);
    return trouble_;
}

::testing::AssertionResult test_phone::start() {
    // A reset would end the dummy links again.
    if (!reset_done_) {
        std::lock_guard<std::mutex> one_at_a_time(advertising_control_);
        if (auto r = peer_->reset(); !r) return r;
        reset_done_ = true;
    }
    command_reply reply;
    if (auto r = peer_->command_ok(hci::le_read_buffer_size_command(), &reply); !r) return r;
    if (reply.return_parameters.size() < 4) {
        return ::testing::AssertionFailure() << "LE Read Buffer Size: answer too short";
    }
    const size_t size =
        static_cast<size_t>(reply.return_parameters[1] | (reply.return_parameters[2] << 8));
    const size_t count = reply.return_parameters[3];
    if (size == 0 || count == 0) {
        return ::testing::AssertionFailure() << "the controller reports no LE buffers";
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        buffer_size_ = size;
        buffers_total_ = buffers_free_ = count;
        advertising_wanted_ = true;
    }
    return start_advertising();
}

::testing::AssertionResult test_phone::start_advertising() {
    std::lock_guard<std::mutex> one_at_a_time(advertising_control_);
    hci::advertising_parameters parameters;
    // Intervals in 0.625 ms, as the controller takes them.
    const auto units = std::clamp<int64_t>(config_.adv_interval / 625, 0x20, 0x4000);
    parameters.interval_min = parameters.interval_max = static_cast<uint16_t>(units);
    const std::vector<uint8_t> data = config_.adv_data.empty() || config_.adv_data.size() > 31
                                          ? flags_and_uuid128(config_.uuid)
                                          : config_.adv_data;
    return peer_->start_advertising(parameters, view(data));
}

::testing::AssertionResult test_phone::make_dummy_links(size_t count, hci_peer& dummy) {
    hci::advertising_parameters fast;
    fast.interval_min = fast.interval_max = 0x20;
    const std::vector<uint8_t> nothing = {0x02, 0x01, 0x06};
    {
        std::lock_guard<std::mutex> one_at_a_time(advertising_control_);
        if (auto r = peer_->reset(); !r) return r;
    }
    reset_done_ = true;
    for (size_t i = 0; i < count; ++i) {
        // The emulator switches advertising off for each link: on again for the next.
        if (auto r = dummy.start_advertising(fast, view(nothing)); !r) return r;
        const size_t before = [&] {
            std::lock_guard<std::mutex> guard(lock_);
            return dummy_links_.size();
        }();
        hci::create_connection_parameters parameters;
        parameters.peer_address = dummy.address();
        if (auto r = peer_->command_ok(hci::le_create_connection_command(parameters)); !r) {
            return r;
        }
        if (!wait_until(default_limit, [&] { return dummy_links_.size() > before; })) {
            return ::testing::AssertionFailure()
                   << "dummy link " << i + 1 << " of " << count << " did not come up";
        }
    }
    return dummy.stop_advertising();
}

bool test_phone::wait_until(std::chrono::milliseconds limit, const std::function<bool()>& done) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, limit, done);
}

void test_phone::on_packet(const hci::h4_packet& packet) {
    // Buffers come back here, on the reader, so that a worker waiting for one is woken.
    if (packet.type == hci::packet_type::event && packet.bytes.size() >= 2 &&
        packet.bytes[0] == hci::event_code::number_of_completed_packets) {
        if (const auto done = hci::parse_number_of_completed_packets(packet.bytes)) {
            std::lock_guard<std::mutex> guard(lock_);
            for (const hci::completed_packets& c : *done) buffers_free_ += c.count;
            buffers_free_ = std::min(buffers_free_, buffers_total_);
        }
        changed_.notify_all();
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        inbox_.push_back(packet);
    }
    changed_.notify_all();
}

void test_phone::work() {
    for (;;) {
        hci::h4_packet packet;
        {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [&] { return stopping_ || !inbox_.empty(); });
            if (stopping_) return;
            packet = std::move(inbox_.front());
            inbox_.pop_front();
        }
        if (packet.type == hci::packet_type::event) {
            handle_event(packet.bytes);
            continue;
        }
        std::optional<hci::reassembled_pdu> pdu;
        {
            std::lock_guard<std::mutex> guard(gatt_lock_);
            pdu = reassembler_.add(view(packet.bytes));
        }
        if (pdu) handle_frame(pdu->connection_handle, pdu->bytes);
    }
}

void test_phone::handle_event(const std::vector<uint8_t>& packet) {
    if (const auto meta = hci::parse_le_meta(packet)) {
        if (const auto complete = hci::parse_connection_complete(packet)) {
            if (complete->status != 0) return;
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (complete->role == 0) {
                    dummy_links_.push_back(complete->connection_handle);
                } else {
                    link_ = complete->connection_handle;
                    ++connections_;
                    // Every buffer is free on a fresh link.
                    buffers_free_ = buffers_total_;
                }
            }
            changed_.notify_all();
            // The emulator switched advertising off; the thread would only trip over that.
            if (complete->role != 0) {
                std::lock_guard<std::mutex> one_at_a_time(advertising_control_);
                if (auto r = peer_->stop_advertising(); !r) note_trouble(r.message());
            }
            return;
        }
        if (const auto update = hci::parse_connection_update_complete(packet)) {
            std::lock_guard<std::mutex> guard(lock_);
            updates_.push_back(update->connection_interval);
            changed_.notify_all();
        }
        return;
    }
    if (packet.empty() || packet[0] != hci::event_code::disconnection_complete) return;
    const auto gone = hci::parse_disconnection_complete(packet);
    if (!gone || gone->status != 0) return;
    bool advertise = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!link_ || *link_ != gone->connection_handle) return;
        link_.reset();
        ++disconnections_;
        reasons_.push_back(gone->reason);
        buffers_free_ = buffers_total_;
        advertise = advertising_wanted_ && !stopping_;
    }
    {
        std::lock_guard<std::mutex> guard(gatt_lock_);
        config_.gatt.on_disconnect();
        reassembler_.forget(gone->connection_handle);
    }
    changed_.notify_all();
    if (advertise) {
        if (auto r = start_advertising(); !r) note_trouble(r.message());
    }
}

std::optional<uint16_t> test_phone::link() const {
    std::lock_guard<std::mutex> guard(lock_);
    return link_;
}

bool test_phone::send_pdu(uint16_t connection_handle, uint16_t cid,
                          const std::vector<uint8_t>& payload) {
    const auto pdu = hci::l2cap_pdu(cid, view(payload));
    if (!pdu) return false;
    size_t size = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        size = fragment_limit_ > 0 ? std::min(fragment_limit_, buffer_size_) : buffer_size_;
    }
    for (const std::vector<uint8_t>& fragment :
         hci::acl_fragments(connection_handle, view(*pdu), size)) {
        {
            std::unique_lock<std::mutex> guard(lock_);
            // One packet in the controller per free buffer: wait for one to come back.
            if (!changed_.wait_for(guard, default_limit, [&] {
                    return stopping_ || buffers_free_ > 0 || link_ != connection_handle;
                })) {
                guard.unlock();
                note_trouble("no buffer came back within 5 s");
                return false;
            }
            if (stopping_ || link_ != connection_handle) return false;
            --buffers_free_;
        }
        if (auto r = peer_->send_packet(fragment); !r) {
            note_trouble(r.message());
            return false;
        }
    }
    return true;
}

void test_phone::handle_frame(uint16_t connection_handle, const std::vector<uint8_t>& pdu) {
    const auto frame = hci::parse_l2cap_frame(view(pdu));
    if (!frame) return;
    const uint8_t opcode = frame->payload.size > 0 ? frame->payload.data[0] : 0;
    const bool att_request = frame->channel_id == hci::cid::att && frame->payload.size > 0 &&
                             opcode != hci::att_opcode::exchange_mtu_response &&
                             opcode != hci::att_opcode::error_response &&
                             opcode != att_op::handle_value_confirmation;
    if (!att_request) {
        std::lock_guard<std::mutex> guard(lock_);
        frames_.push_back({frame->channel_id, frame->payload.to_vector()});
        changed_.notify_all();
        return;
    }
    answer_att(connection_handle, frame->payload);
}

void test_phone::answer_att(uint16_t connection_handle, hci::bytes_view request) {
    const uint8_t opcode = request.data[0];
    bool silent = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++requests_;
        silent = silent_;
    }
    changed_.notify_all();
    if (silent) return;
    const sim::sim_us now =
        std::chrono::duration_cast<std::chrono::microseconds>(steady::now() - born_).count();
    auto error = [&](uint16_t handle, uint8_t code) {
        send_pdu(connection_handle, hci::cid::att, hci::error_response(opcode, handle, code));
    };

    sim::gatt_request ask;
    ask.sent = now;
    switch (opcode) {
        case hci::att_opcode::exchange_mtu_request: {
            send_pdu(connection_handle, hci::cid::att, hci::exchange_mtu_response(att_mtu));
            return;
        }
        case hci::att_opcode::read_by_group_type_request:
        case hci::att_opcode::read_by_type_request: {
            if (request.size != 7 && request.size != 21)
                return error(0, att_error_code::invalid_pdu);
            const uint16_t start = le16(request, 1);
            const uint16_t end = le16(request, 3);
            const bool group = opcode == hci::att_opcode::read_by_group_type_request;
            const uint16_t type = request.size == 7 ? le16(request, 5) : 0;
            if (type != (group ? sim::gatt_uuid_primary_service : sim::gatt_uuid_characteristic)) {
                return error(start, att_error_code::attribute_not_found);
            }
            ask.procedure =
                group ? sim::gatt_procedure::services : sim::gatt_procedure::characteristics;
            ask.handle = start;
            ask.end_handle = end;
            break;
        }
        case hci::att_opcode::read_request:
        case att_op::read_blob_request:
            if (request.size < (opcode == hci::att_opcode::read_request ? 3u : 5u)) {
                return error(0, att_error_code::invalid_pdu);
            }
            ask.procedure = sim::gatt_procedure::read;
            ask.handle = le16(request, 1);
            ask.offset = opcode == att_op::read_blob_request ? le16(request, 3) : 0;
            break;
        case hci::att_opcode::write_request:
        case hci::att_opcode::write_command:
            if (request.size < 3) {
                if (opcode == hci::att_opcode::write_request) error(0, att_error_code::invalid_pdu);
                return;
            }
            ask.procedure = sim::gatt_procedure::write;
            ask.handle = le16(request, 1);
            ask.write_op = opcode == hci::att_opcode::write_request ? BLE_GATT_OP_WRITE_REQ
                                                                    : BLE_GATT_OP_WRITE_CMD;
            ask.value.assign(request.data + 3, request.data + request.size);
            break;
        case att_op::find_information_request:
            if (request.size != 5) return error(0, att_error_code::invalid_pdu);
            ask.procedure = sim::gatt_procedure::descriptors;
            ask.handle = le16(request, 1);
            ask.end_handle = le16(request, 3);
            break;
        default:
            if ((opcode & att_op::command_flag) == 0) {
                error(0, att_error_code::request_not_supported);
            }
            return;
    }

    sim::gatt_reply reply;
    std::vector<uint8_t> out;
    {
        std::lock_guard<std::mutex> guard(gatt_lock_);
        reply = config_.gatt.respond(ask, now);
        if (reply.what != sim::gatt_reply::kind::answer) {
            // Nothing to build.
        } else if (const auto* s = std::get_if<sim::services_response>(&reply.answer)) {
            if (s->status != 0) {
                out = hci::error_response(opcode, s->error_handle, att_error_of(s->status));
            } else {
                out = {hci::att_opcode::read_by_group_type_response, 0};
                for (const ble_gattc_service_t& entry : s->services) {
                    const std::vector<uint8_t> uuid = service_uuid_bytes(config_.gatt, entry);
                    if (out[1] == 0) out[1] = static_cast<uint8_t>(4 + uuid.size());
                    if (out[1] != 4 + uuid.size() || out.size() + out[1] > att_mtu) break;
                    put16(out, entry.handle_range.start_handle);
                    put16(out, entry.handle_range.end_handle);
                    out.insert(out.end(), uuid.begin(), uuid.end());
                }
            }
        } else if (const auto* c = std::get_if<sim::characteristics_response>(&reply.answer)) {
            if (c->status != 0) {
                out = hci::error_response(opcode, c->error_handle, att_error_of(c->status));
            } else {
                out = {hci::att_opcode::read_by_type_response, 0};
                for (const ble_gattc_char_t& entry : c->chars) {
                    const std::vector<uint8_t> value = declaration_bytes(config_.gatt, entry);
                    if (out[1] == 0) out[1] = static_cast<uint8_t>(2 + value.size());
                    if (out[1] != 2 + value.size() || out.size() + out[1] > att_mtu) break;
                    put16(out, entry.handle_decl);
                    out.insert(out.end(), value.begin(), value.end());
                }
            }
        } else if (const auto* r = std::get_if<sim::read_response>(&reply.answer)) {
            if (r->status != 0) {
                out = hci::error_response(opcode, r->error_handle, att_error_of(r->status));
            } else {
                out = {opcode == att_op::read_blob_request ? att_op::read_blob_response
                                                           : hci::att_opcode::read_response};
                out.insert(out.end(), r->data.begin(),
                           r->data.begin() + std::min<size_t>(r->data.size(), att_mtu - 1));
            }
        } else if (std::holds_alternative<sim::descriptors_response>(reply.answer)) {
            // The same Find Information Response the simulated air carries.
            out = sim::air::att_answer(ask, reply.answer, config_.gatt.services()).value_or(out);
        } else if (const auto* w = std::get_if<sim::write_response>(&reply.answer)) {
            out = w->status != 0
                      ? hci::error_response(opcode, w->error_handle, att_error_of(w->status))
                      : std::vector<uint8_t>{hci::att_opcode::write_response};
        }
    }
    if (reply.what == sim::gatt_reply::kind::hang_up) {
        if (auto r = peer_->command(hci::disconnect_command(connection_handle, reply.reason)); !r) {
            note_trouble(r.message());
        }
        return;
    }
    if (reply.what == sim::gatt_reply::kind::silent) return;
    if (!out.empty() && !send_pdu(connection_handle, hci::cid::att, out)) return;
    for (const sim::notification& n : reply.notifications) {
        std::vector<uint8_t> pdu{hci::att_opcode::handle_value_notification};
        put16(pdu, n.handle);
        pdu.insert(pdu.end(), n.data.begin(),
                   n.data.begin() + std::min<size_t>(n.data.size(), att_mtu - 3));
        if (!send_pdu(connection_handle, hci::cid::att, pdu)) return;
    }
}

size_t test_phone::connections() const {
    std::lock_guard<std::mutex> guard(lock_);
    return connections_;
}

size_t test_phone::disconnections() const {
    std::lock_guard<std::mutex> guard(lock_);
    return disconnections_;
}

std::vector<uint8_t> test_phone::disconnect_reasons() const {
    std::lock_guard<std::mutex> guard(lock_);
    return reasons_;
}

size_t test_phone::requests_heard() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

bool test_phone::wait_connections(size_t n, std::chrono::milliseconds limit) {
    return wait_until(limit, [&] { return connections_ >= n; });
}

bool test_phone::wait_disconnections(size_t n, std::chrono::milliseconds limit) {
    return wait_until(limit, [&] { return disconnections_ >= n; });
}

bool test_phone::wait_requests(size_t n, std::chrono::milliseconds limit) {
    return wait_until(limit, [&] { return requests_ >= n; });
}

void test_phone::set_silent(bool silent) {
    std::lock_guard<std::mutex> guard(lock_);
    silent_ = silent;
}

void test_phone::hang_up_after(uint32_t requests, uint8_t reason,
                               std::optional<uint32_t> connection) {
    sim::phone_fault fault;
    fault.what = sim::phone_fault::kind::hang_up;
    fault.after_count = requests;
    fault.reason = reason;
    fault.connection = connection;
    std::lock_guard<std::mutex> guard(gatt_lock_);
    config_.gatt.add_fault(fault);
}

void test_phone::refuse_cccd_writes() {
    sim::phone_fault fault;
    fault.what = sim::phone_fault::kind::cccd;
    fault.mode = sim::cccd_mode::refuse;
    fault.after_count = 0;
    std::lock_guard<std::mutex> guard(gatt_lock_);
    config_.gatt.add_fault(fault);
}

void test_phone::set_fragment_size(size_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    fragment_limit_ = std::max<size_t>(bytes, 1);
}

::testing::AssertionResult test_phone::send_exchange_mtu(uint16_t client_rx_mtu) {
    const auto handle = link();
    if (!handle) return ::testing::AssertionFailure() << "no link";
    if (!send_pdu(*handle, hci::cid::att, hci::exchange_mtu_request(client_rx_mtu))) {
        return ::testing::AssertionFailure() << "Exchange MTU Request not sent: " << trouble();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult test_phone::send_pairing_request() {
    const auto handle = link();
    if (!handle) return ::testing::AssertionFailure() << "no link";
    // Pairing Request: no input or output, no out-of-band data, bonding, 16-byte keys, no
    // keys to hand out either way.
    const std::vector<uint8_t> request = {0x01, 0x03, 0x00, 0x01, 0x10, 0x00, 0x00};
    if (!send_pdu(*handle, hci::cid::security_manager, request)) {
        return ::testing::AssertionFailure() << "Pairing Request not sent: " << trouble();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult test_phone::request_connection_parameters(uint16_t interval_min,
                                                                     uint16_t interval_max,
                                                                     uint16_t latency,
                                                                     uint16_t timeout) {
    const auto handle = link();
    if (!handle) return ::testing::AssertionFailure() << "no link";
    hci::connection_parameter_update_request request;
    request.identifier = next_identifier_++;
    if (next_identifier_ == 0) next_identifier_ = 1;
    request.interval_min = interval_min;
    request.interval_max = interval_max;
    request.latency = latency;
    request.timeout = timeout;
    const std::vector<uint8_t> pdu = hci::connection_parameter_update_request_pdu(request);
    // The builder gives the whole L2CAP PDU; send_pdu puts the header on again.
    const auto frame = hci::parse_l2cap_frame(view(pdu));
    if (!frame || !send_pdu(*handle, frame->channel_id, frame->payload.to_vector())) {
        return ::testing::AssertionFailure() << "parameter request not sent: " << trouble();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult test_phone::disconnect(uint8_t reason) {
    const auto handle = link();
    if (!handle) return ::testing::AssertionFailure() << "no link";
    return peer_->command(hci::disconnect_command(*handle, reason));
}

void test_phone::time_out_link() {
    const auto handle = link();
    if (!handle) return;
    // What the phone's controller would report: Disconnection Complete, Connection Timeout.
    handle_event({hci::event_code::disconnection_complete, 0x04, 0x00,
                  static_cast<uint8_t>(*handle & 0xFF), static_cast<uint8_t>(*handle >> 8), 0x08});
}

std::optional<received_frame> test_phone::wait_for_frame(
    const std::function<bool(const received_frame&)>& pred, std::chrono::milliseconds limit) {
    std::optional<received_frame> found;
    wait_until(limit, [&] {
        for (const received_frame& f : frames_) {
            if (pred(f)) {
                found = f;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool test_phone::wait_frames(size_t n, const std::function<bool(const received_frame&)>& pred,
                             std::chrono::milliseconds limit) {
    return wait_until(limit, [&] {
        return static_cast<size_t>(std::count_if(frames_.begin(), frames_.end(), pred)) >= n;
    });
}

std::vector<uint16_t> test_phone::connection_updates() const {
    std::lock_guard<std::mutex> guard(lock_);
    return updates_;
}

uint16_t test_phone::cccd_value(uint16_t handle) const {
    std::lock_guard<std::mutex> guard(gatt_lock_);
    return config_.gatt.cccd_value(handle);
}

phone_row::phone_row(const std::string& socket_path) : socket_path_(socket_path) {}

::testing::AssertionResult phone_row::add(sim::device_config phone, size_t links_before) {
    phones_.push_back(std::make_unique<test_phone>(socket_path_, std::move(phone)));
    test_phone& added = *phones_.back();
    if (links_before > 0) {
        if (!dummy_) {
            dummy_ = std::make_unique<hci_peer>(socket_path_);
            if (auto r = dummy_->reset(); !r) return r;
        }
        if (auto r = added.make_dummy_links(links_before, *dummy_); !r) return r;
    }
    return added.start();
}

}  // namespace btvirt_testing
