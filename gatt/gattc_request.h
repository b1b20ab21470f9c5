// The one pattern for a GATT request whose answer is waited for: at most one such request
// exists at a time, across every phone and thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "link/phone_registry.h"

enum class gattc_request_kind { read, write };

enum class gattc_request_result {
    skipped,
    not_issued,
    answered,
    // The response came but carried an error GATT status; only requesters that say how to
    // report that (answered_with_error) get this result, the others get `answered`.
    answered_with_error,
    aborted,
    wait_failed,
    // The run is quitting: no request was issued, or its wait was ended by the quit. Nothing
    // is printed and the link is left as it is; the caller starts nothing more.
    quitting
};

// The requester's message texts. Each prints its own line; gattc_request_sync decides
// whether it is printed at all (issued and answered: level 4; aborted: level 1; the others
// always) and flushes standard output after it.
struct gattc_request_texts {
    std::function<void()> skip_warning;
    std::function<void(uint32_t code)> call_failure;
    std::function<void()> issued;  // may be empty
    std::function<void()> answered;
    std::function<void(uint16_t gatt_status)> answered_with_error;  // may be empty
    std::function<void()> aborted;
    std::function<void(int waited_ms)> never_got;
    std::function<void(uint32_t wait_result)> unexpected_wait;
};

// Issues `request` (a driver call on the phone's link, whose handle it is given, returning
// its result code; it runs with driver_lock held) and waits for its answer. A refused
// request stores the driver's code in `code`. A wait that runs out its limit does not
// return: the process ends. A quit ends the wait at once (`quitting`).
gattc_request_result gattc_request_sync(
    gattc_request_kind kind, phone_record& phone,
    const std::function<uint32_t(uint16_t conn_handle)>& request, const gattc_request_texts& texts,
    uint32_t* code = nullptr);

// For the event thread. A response, a GATT time-out or a disconnection ends the pending
// request only when it comes from the link that request went out on: another phone's
// trouble says nothing about this one, and taking it as an answer or an abort would report
// a healthy phone as failed (and drop it) or a failed read as answered.
// True when a request is pending on `conn_handle`.
bool gattc_request_pending_on(uint16_t conn_handle);
// Ends the wait of a `kind` request pending on `conn_handle` as answered with `gatt_status`.
bool gattc_request_answer(gattc_request_kind kind, uint16_t conn_handle, uint16_t gatt_status);
// Ends the wait of the request pending on `conn_handle` as aborted.
bool gattc_request_abort(uint16_t conn_handle);
