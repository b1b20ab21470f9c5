// The driver's event thread for the HCI backend: the one thread that hands the program its
// events, status reports and log lines, in the order the host made them and never inside
// one of the program's calls.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/sd_rpc.h"
#include "driver/wire/event_builder.h"

namespace hci {

struct program_callbacks {
    adapter_t* adapter = nullptr;
    sd_rpc_status_handler_t status = nullptr;
    sd_rpc_evt_handler_t event = nullptr;
    sd_rpc_log_handler_t log = nullptr;
};

struct delivery_item {
    enum class kind { event, status, log };
    kind what = kind::event;
    std::shared_ptr<wire::event_buffer> event;
    // An advertising report's data, written into the program's report buffer just before
    // the event goes out: until then the buffer may still hold the previous report, which
    // the program is reading.
    std::vector<uint8_t> report_data;
    uint8_t* report_buffer = nullptr;
    uint16_t report_buffer_len = 0;
    int code = 0;      // status code or log severity
    std::string text;  // status or log text
};

class event_delivery {
  public:
    event_delivery(program_callbacks callbacks, std::shared_ptr<std::atomic<int>> log_filter);
    ~event_delivery();
    event_delivery(const event_delivery&) = delete;
    event_delivery& operator=(const event_delivery&) = delete;

    // Starts the event thread.
    void start();
    void post(delivery_item item);
    void post_event(wire::event_buffer event);
    void post_status(sd_rpc_app_status_t code, const std::string& text);
    void post_log(sd_rpc_log_severity_t severity, const std::string& text);
    // Without the event thread: hands the program, on the calling thread, everything
    // posted so far and whatever that brings about. Does nothing where the thread was
    // started, or after stop().
    void deliver_queued();
    // No callback starts after this returns; what is still queued is dropped. On the event
    // thread itself (the program closing from inside a callback) it only asks; a later
    // stop() elsewhere joins.
    void stop();
    bool on_event_thread() const;
    // Items waiting, for tests and the trace.
    size_t backlog() const;

  private:
    struct shared;
    static void run(const std::shared_ptr<shared>& s);
    static void deliver(const shared& s, delivery_item& item);

    std::shared_ptr<shared> shared_;
    std::thread thread_;
};

}  // namespace hci
