#include "gatt/gattc_request.h"

#include <mutex>

#include "app/test_context.h"
#include "diag/console.h"
#include "gatt/gatt_text.h"
#include "link/disconnection.h"

namespace {

void say(const std::function<void()>& text) {
    if (!text) return;
    text();
    flush_output();
}

// Ends the claim; returns whether the request was aborted while it was held.
bool release_claim() {
    std::lock_guard<std::mutex> guard(test_context.gattc_request_lock);
    test_context.pending_gattc_event = nullptr;
    return test_context.gattc_aborted.load();
}

}  // namespace

gattc_request_result gattc_request_sync(gattc_request_kind kind, phone_record& phone,
                                        const std::function<uint32_t()>& request,
                                        const gattc_request_texts& texts, uint32_t* code) {
    platform::event_handle response_event = kind == gattc_request_kind::read
                                                ? test_context.read_rsp_event.load()
                                                : test_context.write_rsp_event.load();
    bool skipped = false;

    // Check and claim in one step: the run thread's challenge and the keep-alive thread
    // may both get here at once, and only one of them may own the response event. The
    // dispatcher aborts under the same lock, so an abort is never lost between the claim
    // and the clearing of the flag.
    {
        std::lock_guard<std::mutex> guard(test_context.gattc_request_lock);
        if (test_context.pending_gattc_event.load() != nullptr) {
            skipped = true;
        } else {
            test_context.gattc_aborted = false;
            // A response or abort signalled before this request was issued cannot be about
            // it: read responses of discovery nobody waits for, an abort that came after a
            // previous waiter had stopped looking.
            platform::reset_event(response_event);
            test_context.pending_gattc_event = response_event;
        }
    }
    if (skipped) {
        say(texts.skip_warning);
        return gattc_request_result::skipped;
    }

    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = request();
    }
    if (result != NRF_SUCCESS) {
        release_claim();
        if (code != nullptr) *code = result;
        if (texts.call_failure) {
            texts.call_failure(result);
            flush_output();
        }
        return gattc_request_result::not_issued;
    }
    if (kind == gattc_request_kind::write && log_enabled(4)) say(texts.issued);

    const uint32_t waited = platform::wait_for_event(response_event, gattc_response_wait_ms);
    const bool aborted = release_claim();

    if (waited == platform::wait_object_0) {
        if (!aborted) {
            if (log_enabled(4)) say(texts.answered);
            return gattc_request_result::answered;
        }
        if (log_enabled(1)) say(texts.aborted);
        const uint16_t conn_handle = phone.conn_handle.load();
        if (conn_handle != BLE_CONN_HANDLE_INVALID) disconnect_phone(conn_handle);
        return gattc_request_result::aborted;
    }

    if (waited == platform::wait_timeout) {
        if (texts.never_got) texts.never_got(static_cast<int>(gattc_response_wait_ms));
        flush_output();
        const uint16_t conn_handle = phone.conn_handle.load();
        if (conn_handle != BLE_CONN_HANDLE_INVALID) {
            console_printf("Disconnect and see if we get a disconnect event\n");
            flush_output();
            disconnect_phone(conn_handle);
        }
        console_printf("Exit test program immediately\n");
        platform::exit_process(0);
    }

    if (texts.unexpected_wait) texts.unexpected_wait(waited);
    flush_output();
    return gattc_request_result::wait_failed;
}
