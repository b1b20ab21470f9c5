#include "bench/hci_bench_controller.h"

#include <utility>

#include "hci/hci_commands.h"
#include "tests/support/hci_controller_events.h"

namespace bench {
namespace {

constexpr uint8_t success = 0x00;
constexpr uint8_t unknown_command = 0x01;

// The return parameters after the status byte of a command this controller knows.
bool known_answer(uint16_t opcode, std::vector<uint8_t>& out) {
    namespace op = hci::opcode;
    switch (opcode) {
        case op::read_local_version_information:
            // HCI version, revision, LL version, manufacturer, LL subversion.
            out = {0x0C, 0x00, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00};
            return true;
        case op::read_bd_addr:
            out = {0x5A, 0x3C, 0x00, 0xB0, 0x0B, 0xC2};
            return true;
        case op::le_read_buffer_size:
            out.clear();
            hci::put_u16(out, 251);
            hci::put_u8(out, 3);
            return true;
        case op::le_read_local_supported_features:
            out = {0x03, 0, 0, 0, 0, 0, 0, 0};
            return true;
        case op::reset:
        case op::set_event_mask:
        case op::le_set_event_mask:
        case op::le_set_scan_parameters:
        case op::le_set_scan_enable:
            out.clear();
            return true;
        default:
            return false;
    }
}

class shared_link final : public hci::transport {
  public:
    explicit shared_link(std::shared_ptr<hci_bench_controller> c) : c_(std::move(c)) {}
    ~shared_link() override { c_->close(); }
    void start(bytes_handler on_bytes, lost_handler on_lost) override {
        c_->start(std::move(on_bytes), std::move(on_lost));
    }
    bool write(hci::bytes_view packet, std::string& why) override { return c_->write(packet, why); }
    void close() override { c_->close(); }

  private:
    std::shared_ptr<hci_bench_controller> c_;
};

}  // namespace

std::unique_ptr<hci::transport> link_to(std::shared_ptr<hci_bench_controller> controller) {
    return std::make_unique<shared_link>(std::move(controller));
}

hci_bench_controller::~hci_bench_controller() {
    close();
}

void hci_bench_controller::start(bytes_handler on_bytes, lost_handler) {
    std::lock_guard<std::mutex> thread(thread_lock_);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (reader_.joinable() || closed_) return;
        on_bytes_ = std::move(on_bytes);
    }
    reader_ = std::thread([this] { run(); });
}

bool hci_bench_controller::write(hci::bytes_view packet, std::string& why) {
    std::vector<hci::h4_packet> commands;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) {
            why = "the benchmark's controller is closed";
            return false;
        }
        commands_.feed(packet, commands);
    }
    for (const hci::h4_packet& command : commands) {
        // The host sends no ACL data here: no link is ever made.
        if (command.type == hci::packet_type::command) answer(command);
    }
    return true;
}

void hci_bench_controller::answer(const hci::h4_packet& command) {
    if (command.bytes.size() < 3) return;
    const auto opcode = static_cast<uint16_t>(command.bytes[0] | (command.bytes[1] << 8));
    std::vector<uint8_t> parameters;
    const bool known = known_answer(opcode, parameters);
    std::vector<uint8_t> returned{known ? success : unknown_command};
    hci::put_bytes(returned, parameters);
    std::vector<uint8_t> event = testing_support::command_complete_event(opcode, returned);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!known) unknown_.push_back(opcode);
        queue_.push_back(std::move(event));
    }
    changed_.notify_all();
}

void hci_bench_controller::deliver(std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) return;
        queue_.push_back(std::move(bytes));
    }
    changed_.notify_all();
}

bench_clock::time_point hci_bench_controller::last_handover() const {
    return bench_clock::time_point(bench_clock::duration(handover_.load()));
}

std::vector<uint16_t> hci_bench_controller::unknown_commands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return unknown_;
}

void hci_bench_controller::run() {
    for (;;) {
        std::vector<uint8_t> chunk;
        {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            chunk = std::move(queue_.front());
            queue_.pop_front();
        }
        // Read last, outside the lock: the moment the bytes reach the host.
        handover_.store(bench_clock::now().time_since_epoch().count());
        on_bytes_(chunk);
    }
}

void hci_bench_controller::close() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        stopping_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    std::lock_guard<std::mutex> thread(thread_lock_);
    if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
}

}  // namespace bench
