// The driver's event thread: the one thread that runs the world's schedule and hands
// the program its events, status reports and log lines, one at a time and in order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "driver/sd_rpc.h"
#include "sim/world/world.h"

namespace sim {

struct program_callbacks {
    adapter_t* adapter = nullptr;
    sd_rpc_status_handler_t status = nullptr;
    sd_rpc_evt_handler_t event = nullptr;
    sd_rpc_log_handler_t log = nullptr;
};

class event_pump {
  public:
    event_pump(std::shared_ptr<world> w, program_callbacks callbacks,
               std::shared_ptr<std::atomic<int>> log_filter);
    ~event_pump();
    event_pump(const event_pump&) = delete;
    event_pump& operator=(const event_pump&) = delete;

    void start();
    // No callback starts after this returns. Called on the event thread itself (the
    // program closing from inside a callback), it only asks: the thread ends once that
    // callback returns, and a later stop() from another thread joins it.
    void stop();
    bool on_event_thread() const;

  private:
    struct shared;
    static void run(std::shared_ptr<shared> s);
    static void deliver(shared& s, outgoing& item);

    std::shared_ptr<shared> shared_;
    std::thread thread_;
};

}  // namespace sim
