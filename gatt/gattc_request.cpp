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

struct claim_outcome {
    bool aborted;
    uint16_t gatt_status;
};

// Ends the claim; tells whether the request was aborted while it was held, and the status
// its response carried.
claim_outcome release_claim() {
    std::lock_guard<std::mutex> guard(test_context.gattc_request_lock);
    test_context.pending_gattc_event = nullptr;
    test_context.pending_gattc_conn_handle = BLE_CONN_HANDLE_INVALID;
    return {test_context.gattc_aborted.load(), test_context.pending_gattc_status.load()};
}

platform::event_handle response_event_of(gattc_request_kind kind) {
    return kind == gattc_request_kind::read ? test_context.read_rsp_event.load()
                                            : test_context.write_rsp_event.load();
}

// Caller holds gattc_request_lock.
bool pending_on(uint16_t conn_handle) {
    return test_context.pending_gattc_event.load() != nullptr &&
           test_context.pending_gattc_conn_handle.load() == conn_handle;
}

}  // namespace

bool gattc_request_pending_on(uint16_t conn_handle) {
    std::lock_guard<std::mutex> guard(test_context.gattc_request_lock);
    return pending_on(conn_handle);
}

bool gattc_request_answer(gattc_request_kind kind, uint16_t conn_handle, uint16_t gatt_status) {
    std::lock_guard<std::mutex> guard(test_context.gattc_request_lock);
    const platform::event_handle pending = test_context.pending_gattc_event.load();
    if (!pending_on(conn_handle) || pending != response_event_of(kind)) return false;
    test_context.pending_gattc_status = gatt_status;
    platform::set_event(pending);
    return true;
}

bool gattc_request_abort(uint16_t conn_handle) {
    std::lock_guard<std::mutex> guard(test_context.gattc_request_lock);
    if (!pending_on(conn_handle)) return false;
    // The flag goes first: the requester reads it as soon as its wait returns.
    test_context.gattc_aborted = true;
    platform::set_event(test_context.pending_gattc_event.load());
    return true;
}

gattc_request_result gattc_request_sync(gattc_request_kind kind, phone_record& phone,
                                        const std::function<uint32_t(uint16_t)>& request,
                                        const gattc_request_texts& texts, uint32_t* code) {
    const platform::event_handle response_event = response_event_of(kind);
    // Read once: the request and the link its answer must come from are the same one, even
    // if the event thread frees the phone meanwhile (the driver then refuses the handle).
    const uint16_t conn_handle = phone.conn_handle.load();
    const uint32_t link = phone.links.load();
    bool skipped = false;
    bool quitting = false;

    // Check and claim in one step: the run thread's challenge and the keep-alive thread
    // may both get here at once, and only one of them may own the response event. The
    // dispatcher aborts under the same lock, so an abort is never lost between the claim
    // and the clearing of the flag.
    {
        std::lock_guard<std::mutex> guard(test_context.gattc_request_lock);
        if (test_context.quit_requested.load()) {
            quitting = true;
        } else if (test_context.pending_gattc_event.load() != nullptr) {
            skipped = true;
        } else {
            test_context.gattc_aborted = false;
            test_context.pending_gattc_status = BLE_GATT_STATUS_SUCCESS;
            test_context.pending_gattc_conn_handle = conn_handle;
            // A response or abort signalled before this request was issued cannot be about
            // it: read responses of discovery nobody waits for, an abort that came after a
            // previous waiter had stopped looking.
            platform::reset_event(response_event);
            test_context.pending_gattc_event = response_event;
        }
    }
    if (quitting) return gattc_request_result::quitting;
    if (skipped) {
        say(texts.skip_warning);
        return gattc_request_result::skipped;
    }

    uint32_t result;
    {
        std::lock_guard<std::mutex> guard(test_context.driver_lock);
        result = request(conn_handle);
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

    const uint32_t waited = wait_unless_quitting(response_event, event_wait_limit_ms);
    const claim_outcome outcome = release_claim();
    // Whatever ended the wait, the run is ending: an answer that came is not reported, an
    // abort drops no link, and no time limit is waited out.
    if (test_context.quit_requested.load()) return gattc_request_result::quitting;

    if (waited == platform::wait_object_0) {
        if (!outcome.aborted) {
            if (outcome.gatt_status != BLE_GATT_STATUS_SUCCESS && texts.answered_with_error) {
                texts.answered_with_error(outcome.gatt_status);
                flush_output();
                return gattc_request_result::answered_with_error;
            }
            if (log_enabled(4)) say(texts.answered);
            return gattc_request_result::answered;
        }
        if (log_enabled(1)) say(texts.aborted);
        // A time-out leaves the link up: it is dropped so that the phone is set up again.
        // After a disconnection the phone may already be back on a new link with the same
        // handle, which must not be dropped for the old one's sake.
        disconnect_link({&phone, link});
        return gattc_request_result::aborted;
    }

    if (waited == platform::wait_timeout) {
        if (texts.never_got) texts.never_got(static_cast<int>(event_wait_limit_ms));
        flush_output();
        const uint16_t still_held = phone.conn_handle.load();
        if (still_held != BLE_CONN_HANDLE_INVALID) {
            console_printf("Disconnect and see if we get a disconnect event\n");
            flush_output();
            disconnect_phone(still_held);
        }
        console_printf("Exit test program immediately\n");
        platform::exit_process(0);
    }

    if (texts.unexpected_wait) texts.unexpected_wait(waited);
    flush_output();
    return gattc_request_result::wait_failed;
}
