// Arbitrary bytes as the stream from an HCI controller: cut into chunks (the first input
// byte picks their size, and from 0x80 on has the parser start as a host's does, at the
// answer to HCI Reset), framed by the H4 parser, and every packet handed to every parser
// that could meet it: the event parsers, ACL reassembly, then L2CAP, LE signalling and ATT
// on what that puts together. Each packet and PDU sits in a buffer of exactly its length,
// so any read past it is caught.
//
// Checked beside the sanitizers: the parser accounts for every input byte (packets,
// skipped bytes, bytes held back), holds back no more than one packet's worth (a few bytes
// while out of step), frames nothing after a framing loss (noise, a length beyond the cap)
// until a Reset or its answer, and a reassembled PDU fragmented again and reassembled comes
// back unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "hci/acl.h"
#include "hci/att.h"
#include "hci/btsnoop.h"
#include "hci/h4_parser.h"
#include "hci/hci_commands.h"
#include "hci/hci_events.h"
#include "hci/l2cap.h"

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

// A heap copy of exactly `bytes.size()` bytes: a vector may have spare capacity that the
// address sanitizer would not flag.
class exact_copy {
  public:
    explicit exact_copy(const std::vector<uint8_t>& bytes)
        : data_(new uint8_t[bytes.empty() ? 1 : bytes.size()]), size_(bytes.size()) {
        if (size_ != 0) std::memcpy(data_.get(), bytes.data(), size_);
    }
    hci::bytes_view view() const { return {data_.get(), size_}; }

  private:
    std::unique_ptr<uint8_t[]> data_;
    size_t size_;
};

// Touches every byte of a view, so that a view reaching outside its buffer is caught; the
// volatile sink keeps the optimiser from dropping the reads.
volatile unsigned sink = 0;
void sum(hci::bytes_view view) {
    unsigned total = 0;
    for (size_t i = 0; i < view.size; ++i) total += view.data[i];
    sink = sink + total;
}

void run_event_parsers(hci::bytes_view packet) {
    if (const auto event = hci::parse_event(packet)) sum(event->parameters);
    if (const auto meta = hci::parse_le_meta(packet)) sum(meta->parameters);
    if (const auto complete = hci::parse_command_complete(packet)) {
        sum(complete->return_parameters);
    }
    hci::parse_command_status(packet);
    hci::parse_disconnection_complete(packet);
    hci::parse_number_of_completed_packets(packet);
    hci::parse_hardware_error(packet);
    hci::parse_connection_complete(packet);
    if (const auto reports = hci::parse_advertising_reports(packet)) {
        for (const auto& report : *reports) sum(report.data);
    }
    hci::parse_connection_update_complete(packet);
    hci::parse_remote_connection_parameter_request(packet);
}

void run_signalling_parsers(hci::bytes_view payload) {
    const auto command = hci::parse_signalling_command(payload);
    if (!command) return;
    hci::parse_connection_parameter_update_request(*command);
    hci::parse_connection_parameter_update_response(*command);
    if (const auto reject = hci::parse_command_reject(*command)) sum(reject->data);
}

void run_att_parsers(hci::bytes_view pdu) {
    hci::parse_error_response(pdu);
    hci::parse_exchange_mtu(pdu, hci::att_opcode::exchange_mtu_request);
    hci::parse_exchange_mtu(pdu, hci::att_opcode::exchange_mtu_response);
    if (const auto groups = hci::parse_read_by_group_type_response(pdu)) {
        for (const auto& entry : *groups) sum(entry.value);
    }
    if (const auto types = hci::parse_read_by_type_response(pdu)) {
        for (const auto& entry : *types) sum(entry.value);
    }
    if (const auto value = hci::parse_read_response(pdu)) sum(*value);
    hci::is_write_response(pdu);
    if (const auto notified = hci::parse_notification(pdu)) sum(notified->value);
}

void check_refragmentation(const hci::reassembled_pdu& pdu) {
    hci::acl_reassembler again;
    std::optional<hci::reassembled_pdu> whole;
    for (const auto& fragment : hci::acl_fragments(pdu.connection_handle, pdu.bytes, 27)) {
        if (whole) violated("a PDU completed before its last fragment");
        whole = again.add({fragment.data() + 1, fragment.size() - 1});
    }
    if (!whole || whole->bytes != pdu.bytes) violated("refragmented PDU came back changed");
}

void run_pdu_parsers(const hci::reassembled_pdu& pdu) {
    check_refragmentation(pdu);
    const exact_copy copy(pdu.bytes);
    const auto frame = hci::parse_l2cap_frame(copy.view());
    if (!frame) return;
    if (frame->channel_id == hci::cid::le_signalling) run_signalling_parsers(frame->payload);
    if (frame->channel_id == hci::cid::att) run_att_parsers(frame->payload);
}

// HCI Reset, or the Command Complete that answers it: the packets a stream is won back on.
bool is_reset(const hci::h4_packet& packet) {
    if (packet.type == hci::packet_type::command) {
        return packet.bytes == std::vector<uint8_t>{0x03, 0x0C, 0x00};
    }
    const auto complete = hci::parse_command_complete(packet.bytes);
    return packet.type == hci::packet_type::event && complete &&
           complete->opcode == hci::opcode::reset && complete->return_parameters.size == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size == 0) return 0;
    const size_t chunk = static_cast<size_t>(input[0]) + 1;
    const uint8_t* stream = input + 1;
    const size_t stream_size = size - 1;

    hci::h4_parser parser(
        hci::h4_parser::default_max_acl_length,
        input[0] >= 0x80 ? hci::h4_parser::start::at_reset_answer : hci::h4_parser::start::in_step);
    hci::acl_reassembler reassembler;
    size_t accounted = 0;
    for (size_t at = 0; at < stream_size; at += chunk) {
        const size_t n = std::min(chunk, stream_size - at);
        std::vector<hci::h4_packet> packets;
        const bool was_in_step = parser.in_step();
        const uint64_t losses = parser.framing_losses();
        parser.feed({stream + at, n}, packets);
        // The first packet framed out of step, if any: it must be what won the stream back.
        std::optional<size_t> first_out_of_step;
        if (!was_in_step) first_out_of_step = 0;
        if (was_in_step && parser.framing_losses() != losses) {
            first_out_of_step = parser.packets_before_loss();
        }
        if (first_out_of_step && *first_out_of_step < packets.size() &&
            !is_reset(packets[*first_out_of_step])) {
            violated("a packet framed after a framing loss before a Reset or its answer");
        }
        if (!parser.in_step() && parser.pending_bytes() > 6) {
            violated("the parser holds back more than a Reset's answer while out of step");
        }
        for (const auto& packet : packets) {
            accounted += 1 + packet.bytes.size();
            const exact_copy copy(packet.bytes);
            if (packet.type == hci::packet_type::event) run_event_parsers(copy.view());
            if (packet.type == hci::packet_type::acl_data) {
                if (const auto pdu = reassembler.add(copy.view())) run_pdu_parsers(*pdu);
            }
            std::vector<uint8_t> h4{static_cast<uint8_t>(packet.type)};
            h4.insert(h4.end(), packet.bytes.begin(), packet.bytes.end());
            hci::btsnoop_record(h4, hci::direction::received, 0);
        }
        // One packet's worth at most: indicator, header, the longest ISO data (ACL data is
        // capped lower).
        if (parser.pending_bytes() > 1 + 4 + hci::h4_parser::max_iso_length) {
            violated("the parser holds back more than one packet");
        }
    }
    if (accounted + parser.skipped_bytes() + parser.pending_bytes() != stream_size) {
        violated("input bytes unaccounted for");
    }
    return 0;
}
