// The one pattern for a GATT request whose answer is waited for: at most one such request
// exists at a time, across every phone and thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "link/phone_registry.h"

enum class gattc_request_kind { read, write };

enum class gattc_request_result { skipped, not_issued, answered, aborted, wait_failed };

// The requester's message texts. Each prints its own line; gattc_request_sync decides
// whether it is printed at all (issued and answered: level 4; aborted: level 1; the others
// always) and flushes standard output after it.
struct gattc_request_texts {
    std::function<void()> skip_warning;
    std::function<void(uint32_t code)> call_failure;
    std::function<void()> issued;  // may be empty
    std::function<void()> answered;
    std::function<void()> aborted;
    std::function<void(int waited_ms)> never_got;
    std::function<void(uint32_t wait_result)> unexpected_wait;
};

// How long a request waits for its answer before the link is taken as hung.
constexpr uint32_t gattc_response_wait_ms = 65000;

// Issues `request` (a driver call returning its result code; it runs with driver_lock
// held) and waits for its answer. A refused request stores the driver's code in `code`.
// A wait that runs out its limit does not return: the process ends.
gattc_request_result gattc_request_sync(gattc_request_kind kind, phone_record& phone,
                                        const std::function<uint32_t()>& request,
                                        const gattc_request_texts& texts, uint32_t* code = nullptr);
