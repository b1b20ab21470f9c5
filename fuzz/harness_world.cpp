#include "fuzz/harness_world.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "gatt/discovery_chain.h"
#include "queue/message_queue.h"
#include "tests/support/test_support.h"

namespace fuzzing {

const char* const phone_uuids[phone_count] = {
    "a0a489971097bba1b343eddd8f50f6ac",
    "c0ffee00c0ffee00c0ffee00c0ffee00",
    "feedfeadfeadfeadfeadfeadfeadfead",
};

namespace {

// Every call the event thread's handlers may make, so that each can be given a failure.
const char* const driver_calls[] = {
    "gap_scan_start",
    "gap_scan_stop",
    "gap_connect",
    "gap_connect_cancel",
    "gap_disconnect",
    "gap_conn_param_update",
    "gap_rssi_start",
    "gattc_read",
    "gattc_write",
    "gattc_primary_services_discover",
    "gattc_characteristics_discover",
    "gattc_descriptors_discover",
};

struct event_objects {
    platform::event_handle write_rsp;
    platform::event_handle read_rsp;
    platform::event_handle disconnected;
    platform::event_handle connected;
};

harness_world* build_world() {
    auto* world = new harness_world;
    world->backend = testing_support::make_scripted_adapter();
    world->adapter = test_context.adapter.load();
    for (const char* uuid : phone_uuids) world->phones.push_back(new phone_record(uuid));
    the_message_queue.divert_posts(
        [world](std::function<void()> item) { world->posted.push_back(std::move(item)); });
    return world;
}

}  // namespace

harness_world& fresh_world() {
    static harness_world* world = build_world();
    static const event_objects events = [] {
        testing_support::create_event_objects();
        return event_objects{
            test_context.write_rsp_event.load(), test_context.read_rsp_event.load(),
            test_context.disconnected_event.load(), test_context.connected_event.load()};
    }();

    testing_support::reset_test_context();
    test_context.adapter = world->adapter;
    test_context.write_rsp_event = events.write_rsp;
    test_context.read_rsp_event = events.read_rsp;
    test_context.disconnected_event = events.disconnected;
    test_context.connected_event = events.connected;
    platform::reset_event(events.write_rsp);
    platform::reset_event(events.read_rsp);
    platform::reset_event(events.disconnected);
    platform::reset_event(events.connected);

    for (phone_record* phone : world->phones) {
        phone->conn_handle = BLE_CONN_HANDLE_INVALID;
        {
            std::lock_guard<std::mutex> guard(phone->services_lock);
            phone->services.clear();
            phone->services.shrink_to_fit();
        }
        phone->last_rssi = -127;
        phone->rssi_event_count = 0;
        test_context.phone_registry[phone->uuid] = phone;
    }
    test_context.has_uuids = true;
    discovery_chain::reset();

    for (const char* call : driver_calls) world->backend->set_default_result(call, NRF_SUCCESS);
    world->backend->clear_calls();
    world->posted.clear();
    world->posted.shrink_to_fit();
    return *world;
}

bool run_next_posted(harness_world& world, uint32_t connect_refusal) {
    if (world.posted.empty()) return false;
    std::function<void()> item = std::move(world.posted.front());
    world.posted.erase(world.posted.begin());
    world.backend->set_default_result("gap_connect", connect_refusal);
    item();
    world.backend->set_default_result("gap_connect", NRF_SUCCESS);
    return true;
}

void run_all_posted(harness_world& world, uint32_t connect_refusal) {
    // Bounded: an item may post more, but never without limit.
    for (int i = 0; i < 10000 && run_next_posted(world, connect_refusal); ++i) {
    }
}

void violated(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "harness invariant violated: %s\n", what.c_str());
    std::abort();
}

}  // namespace fuzzing
