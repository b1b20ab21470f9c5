// The one-thread world the event harnesses run in: a scripted driver backend, three
// monitored phones and the event objects, all made once and put back to their start state
// before every input; and the work the event handler posts, caught instead of queued, so
// that the harness runs it on its own thread when the real work thread would.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/test_context.h"
#include "tests/support/scripted_backend.h"

namespace fuzzing {

// The monitored phones, in registry order.
constexpr int phone_count = 3;
extern const char* const phone_uuids[phone_count];

struct harness_world {
    testing_support::scripted_backend* backend = nullptr;
    adapter_t* adapter = nullptr;
    std::vector<phone_record*> phones;
    // Work posted to the message queue and not yet run, in posting order.
    std::vector<std::function<void()>> posted;
};

// Builds the world on the first call; every call then resets it: test_context at its start
// values with the phones registered and unconnected, default driver results, no recorded
// calls, no posted work, log level 0.
harness_world& fresh_world();

// Runs the oldest posted item and removes it first (an item may post more). Connection
// attempts cannot wait on this thread: while an item runs, every sd_ble_gap_connect is
// refused with `connect_refusal`, so an attempt ends at once through its failure path.
// Returns false when nothing was posted.
bool run_next_posted(harness_world& world, uint32_t connect_refusal);
void run_all_posted(harness_world& world, uint32_t connect_refusal);

// Stops the process with a message: the fuzzer reports it as a crash with this input.
[[noreturn]] void violated(const std::string& what);

}  // namespace fuzzing
