#include "app/test_run.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "app/key_reader.h"
#include "app/test_context.h"
#include "diag/code_names.h"
#include "diag/console.h"
#include "diag/driver_callbacks.h"
#include "driver/wire/printable_text.h"
#include "gatt/challenge.h"
#include "gatt/keepalive.h"
#include "link/connection.h"
#include "link/disconnection.h"
#include "link/event_dispatcher.h"
#include "link/phone_registry.h"
#include "queue/message_queue.h"
#include "radio/advertising.h"
#include "radio/scanning.h"
#include "radio/stack_config.h"

namespace {

constexpr size_t uuid_text_length = 32;
constexpr uint32_t baud_rate = 1000000;
constexpr uint32_t retransmission_interval_ms = 250;
constexpr uint32_t response_timeout_ms = 1500;

console_key_source key_source;
thread_starter periodic_thread_starter;

int next_key() {
    return key_source ? key_source() : std::getchar();
}

bool build_phone_registry(const run_config& config) {
    for (const std::string& configured : config.uuids) {
        const std::string uuid = configured;
        if (uuid.size() != uuid_text_length) {
            console_printf("UUID %s does not have expected %d characters\n", uuid.c_str(),
                           static_cast<int>(uuid_text_length));
            std::fflush(stdout);
            return false;
        }
        // Never freed: other threads keep plain pointers to the record until the end.
        test_context.phone_registry.emplace(uuid, new phone_record(uuid));
    }
    return true;
}

void print_key_help() {
    console_printf(
        "'c' to do a challenge/response to connected phones (the response is not validated)\n");
    console_printf("'d' to disconnect any connected devices\n");
    console_printf("'q' to quit program\n");
    console_printf("'r' to do a hard reset of the dongle - after this the program exits\n");
    console_printf("'s' to show status of all monitored phones\n");
    console_printf("'+' to increase logging level\n");
    console_printf("'-' to decrease logging level\n");
    std::fflush(stdout);
}

void open_link_layers(const run_config& config) {
    adapter_t* adapter;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        physical_layer_t* physical = sd_rpc_physical_layer_create_uart(
            config.port.c_str(), baud_rate, SD_RPC_FLOW_CONTROL_NONE, SD_RPC_PARITY_NONE);
        data_link_layer_t* data_link =
            sd_rpc_data_link_layer_create_bt_three_wire(physical, retransmission_interval_ms);
        transport_layer_t* transport =
            sd_rpc_transport_layer_create(data_link, response_timeout_ms);
        adapter = sd_rpc_adapter_create(transport);
    }
    test_context.adapter = adapter;
}

uint32_t enable_stack() {
    std::lock_guard<std::mutex> guard(test_context.driver_lock);
    const uint32_t result = sd_ble_enable(test_context.adapter.load(), nullptr);
    if (result == NRF_ERROR_INVALID_STATE) {
        console_printf("BLE stack already enabled\n");
        std::fflush(stdout);
    } else if (result != NRF_SUCCESS) {
        console_printf("Failed to enable BLE stack. Error %s\n", error_code_name(result).c_str());
        std::fflush(stdout);
    }
    return result;
}

// Creates one event object of test_context; on failure prints `failure_text` with the
// error number.
bool create_event_object(std::atomic<platform::event_handle>& field, bool manual_reset,
                         const char* failure_text) {
    const platform::event_handle event = platform::create_event(manual_reset, false);
    if (event == nullptr) {
        console_printf(failure_text, static_cast<int>(platform::last_error()));
        std::fflush(stdout);
        return false;
    }
    field = event;
    return true;
}

struct periodic_thread {
    platform::event_handle stop_event = nullptr;
    platform::thread_handle thread = nullptr;
};

// Creates the thread's stop event and starts the thread with it.
bool start_periodic_thread(periodic_thread& made, platform::thread_entry entry,
                           const char* event_failure_text, const char* thread_failure_text) {
    made.stop_event = platform::create_event(true, false);
    if (made.stop_event == nullptr) {
        console_printf(event_failure_text, static_cast<int>(platform::last_error()));
        std::fflush(stdout);
        return false;
    }
    made.thread = periodic_thread_starter ? periodic_thread_starter(entry, made.stop_event)
                                          : platform::start_thread(entry, made.stop_event);
    if (made.thread == nullptr) {
        console_printf(thread_failure_text, static_cast<int>(platform::last_error()));
        std::fflush(stdout);
        return false;
    }
    return true;
}

void show_statistics() {
    const uint64_t elapsed_ms = platform::tick_count() - test_context.start_tick.load();
    const double seconds = static_cast<double>(elapsed_ms) / 1000.0;
    const int32_t total = test_context.adv_reports_total.load();
    // Within the first millisecond there is no rate to speak of yet.
    const double rate = seconds > 0.0 ? total / seconds : 0.0;
    console_printf(
        "%s: total advertisements received = %d (%f/second); total 128-bit UUID advertisements "
        "= %d\n",
        make_timestamp().c_str(), total, rate, test_context.adv_reports_uuid128.load());
    show_phone_status();
    if (log_enabled(4)) show_all_devices();
}

[[noreturn]] void hard_reset() {
    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_rpc_conn_reset(test_context.adapter.load(), SYS_RESET);
        if (result != NRF_SUCCESS) {
            console_printf("sd_rpc_conn_reset failed error %s", error_code_name(result).c_str());
        }
    }
    the_message_queue.stop();
    console_printf("Exiting\n");
    // The periodic threads still run and call the driver: end here, before any static
    // destructor can tear down the lock or the registry under them.
    platform::exit_process(0);
}

// A callback that began before the quit may still be on its way to driver_lock (the end of
// a set-up starts scanning, for one). Closing waits for the driver's event thread to return
// from its callback, so closing while holding the lock that callback waits for would stall
// both. Calls that begin after the quit take no lock, so once none is left none can come.
// Limited like every other wait, so that a callback stuck elsewhere cannot hang the quit.
void wait_for_event_handler_to_return() {
    const uint64_t started = platform::tick_count();
    while (ble_event_handler_busy() && platform::tick_count() - started < event_wait_limit_ms) {
        platform::sleep_ms(1);
    }
}

// Closes the driver once no event handler call can still be on its way to driver_lock.
uint32_t close_driver() {
    wait_for_event_handler_to_return();
    std::lock_guard<std::mutex> guard(test_context.driver_lock);
    return sd_rpc_close(test_context.adapter.load());
}

// Scanning has begun, so the driver's event thread delivers reports and the work thread
// acts on them, and the keep-alive thread may run: returning with all that still going
// would let static destructors free the shared state under them. Stop what was started,
// in the shutdown's order, without its lines.
void stop_after_failed_start(const periodic_thread& keepalive) {
    raise_quit();
    end_connection_attempt_for_quit();
    if (keepalive.thread != nullptr) {
        platform::set_event(keepalive.stop_event);
        platform::join_thread(keepalive.thread);
    }
    close_driver();
    the_message_queue.stop();
}

void shut_down(const periodic_thread& keepalive, const periodic_thread& advertising) {
    // Already raised when the key reader read the quit; raised here for every other road.
    // It ends at once whatever wait the keep-alive thread is in, so the join below is short.
    raise_quit();
    // A connection attempt waits on its own event, which nothing would set any more.
    end_connection_attempt_for_quit();

    platform::set_event(keepalive.stop_event);
    console_printf("Wait for keep-alive thread to stop\n");
    platform::join_thread(keepalive.thread);

    platform::set_event(advertising.stop_event);
    console_printf("Wait for advertising thread to stop\n");
    platform::join_thread(advertising.thread);

    console_printf("Stop advertising\n");
    advertising_stop();

    console_printf("Call sd_rpc_close\n");
    const uint32_t result = close_driver();
    if (result != NRF_SUCCESS) {
        console_printf("Failed to close nRF BLE Driver. Error %s\n",
                       error_code_name(result).c_str());
    } else {
        console_printf("Closed\n");
    }
    std::fflush(stdout);

    the_message_queue.stop();
    console_printf("Exiting\n");
    std::fflush(stdout);
}

}  // namespace

void set_console_key_source(console_key_source source) {
    key_source = std::move(source);
}

void set_thread_starter(thread_starter starter) {
    periodic_thread_starter = std::move(starter);
}

uint32_t test_run(const run_config& config) {
    test_context.log_level = config.log_level;
    if (!build_phone_registry(config)) return NRF_ERROR_INVALID_PARAM;

    if (log_enabled(2)) {
        // The name came from the command line: shown, never sent raw to the terminal.
        console_printf("Serial port used: %s\n", wire::printable_text(config.port).c_str());
        console_printf("Baud rate used: %d\n", static_cast<int>(baud_rate));
    }
    print_key_help();

    open_link_layers(config);
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        sd_rpc_log_handler_severity_filter_set(test_context.adapter.load(), SD_RPC_LOG_INFO);
    }
    test_context.start_tick = platform::tick_count();

    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = sd_rpc_open(test_context.adapter.load(), on_status, ble_event_handler, on_log);
        if (result != NRF_SUCCESS) {
            console_printf("Failed to open nRF BLE Driver. Error %s\n",
                           error_code_name(result).c_str());
            std::fflush(stdout);
        }
    }
    if (result != NRF_SUCCESS) return result;

    ble_stack_configure(test_context.conn_cfg_tag);
    result = enable_stack();
    if (result != NRF_SUCCESS) return result;

    // Made before scanning starts: the first report can reach the work thread at once, and
    // its connection attempt waits on connected_event.
    if (!create_event_object(
            test_context.write_rsp_event, false,
            "failed to create event for receiving BLE_GATTC_EVT_WRITE_RSP. error = %d\n") ||
        !create_event_object(
            test_context.read_rsp_event, false,
            "failed to create event for receiving BLE_GATTC_EVT_READ_RSP. error = %d\n") ||
        !create_event_object(
            test_context.disconnected_event, true,
            "failed to create event to for receiving BLE_GAP_EVT_DISCONNECTED. error = %d\n") ||
        !create_event_object(
            test_context.connected_event, true,
            "failed to create event for receiving BLE_GAP_EVT_CONNECTED. error = %d\n") ||
        !create_event_object(test_context.quit_event, true,
                             "failed to create event for quitting. error = %d\n")) {
        return NRF_ERROR_NO_MEM;
    }

    result = scan_start();
    if (result != NRF_SUCCESS) return result;

    periodic_thread keepalive;
    periodic_thread advertising;
    if (!start_periodic_thread(keepalive, KeepAliveThread,
                               "failed to create event to stop the keep-alive thread. error = %d\n",
                               "failed to start the keep-alive thread. error = %d\n") ||
        !start_periodic_thread(
            advertising, AdvertisingThread,
            "failed to create event to stop the advertising thread. error = %d\n",
            "failed to start the advertising thread. error = %d\n")) {
        stop_after_failed_start(keepalive);
        return NRF_ERROR_NO_MEM;
    }

    key_reader keys(next_key, raise_quit);
    keys.start();
    for (;;) {
        const int key = keys.take();
        // The end of input counts as the quit key: there will be no other.
        if (key_reader::is_quit(key)) break;
        switch (key) {
            case 'c':
                challenge_response_all();
                break;
            case 'd':
                disconnect_all();
                break;
            case 's':
                show_statistics();
                break;
            case '+':
                test_context.log_level++;
                console_printf("logging level %d\n", test_context.log_level.load());
                break;
            case '-':
                if (test_context.log_level.load() >= 1) test_context.log_level--;
                console_printf("logging level %d\n", test_context.log_level.load());
                break;
            case 'r':
                hard_reset();
            default:
                break;
        }
        std::fflush(stdout);
    }

    shut_down(keepalive, advertising);
    return NRF_SUCCESS;
}
