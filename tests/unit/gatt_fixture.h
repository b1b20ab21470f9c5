// Common ground for the GATT, keep-alive, challenge and beacon tests: a fresh shared
// state, a scripted driver, event objects, captured output and a clock put back to real
// speed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "app/test_context.h"
#include "gatt/discovery_chain.h"
#include "platform/platform.h"
#include "tests/support/gattc_events.h"
#include "tests/support/scripted_backend.h"
#include "tests/support/test_support.h"

namespace testing_support {

class gatt_fixture : public ::testing::Test {
  protected:
    void SetUp() override {
        backend = start_scripted_run();
        discovery_chain::reset();
        test_context.log_level = 3;
    }

    void TearDown() override {
        if (capturing_) finish_capture();
        platform::set_time_scale(1);
    }

    void capture() {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        capturing_ = true;
    }

    // Output since capture(), with timestamps replaced by "TS".
    std::string finish_capture() {
        std::fflush(stdout);
        capturing_ = false;
        return strip_timestamps(::testing::internal::GetCapturedStdout());
    }

    // A monitored phone that is connected under `conn_handle` and being set up.
    phone_record* phone_in_setup(const std::string& uuid, uint16_t conn_handle) {
        phone_record* phone = add_phones({uuid}).front();
        phone->conn_handle = conn_handle;
        test_context.phone_in_setup = phone;
        return phone;
    }

    // A service record as discovery leaves it.
    static gatt_service service(uint8_t type, uint16_t start, uint16_t end,
                                const std::string& uuid128 = "") {
        gatt_service made;
        made.uuid_type = type;
        made.start_handle = start;
        made.end_handle = end;
        made.uuid128 = uuid128;
        return made;
    }

    static gatt_characteristic characteristic(uint16_t decl, uint16_t value,
                                              const std::string& uuid128 = "", bool read = false) {
        gatt_characteristic made;
        made.decl_handle = decl;
        made.value_handle = value;
        made.uuid128 = uuid128;
        made.metadata_read = read;
        return made;
    }

    scripted_backend* backend = nullptr;

  private:
    bool capturing_ = false;
};

// Waits (in real time, at most `limit`) until `condition` holds; returns whether it did.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

// Plays the phone (and the event thread) for requests the program waits on: runs
// `action(n)` on its own thread for the n-th call named `name` (1-based) soon after the
// backend has recorded it. Stops when destroyed.
class call_watcher {
  public:
    call_watcher(scripted_backend* backend, std::string name, std::function<void(size_t)> action)
        : backend_(backend),
          name_(std::move(name)),
          action_(std::move(action)),
          thread_([this] { run(); }) {}
    ~call_watcher() {
        stop_ = true;
        thread_.join();
    }
    call_watcher(const call_watcher&) = delete;
    call_watcher& operator=(const call_watcher&) = delete;

  private:
    void run() {
        size_t handled = 0;
        while (!stop_) {
            const size_t seen = backend_->calls_named(name_).size();
            while (handled < seen) action_(++handled);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    scripted_backend* backend_;
    std::string name_;
    std::function<void(size_t)> action_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace testing_support
