// The one pattern for a GATT request whose answer is waited for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "link/phone_registry.h"

enum class gattc_request_kind { read, write };

enum class gattc_request_result { skipped, not_issued, answered, aborted, wait_failed };

// The requester's message texts; see the keep-alive read and notification write.
struct gattc_request_texts {
    std::function<void()> skip_warning;
    std::function<void(uint32_t code)> call_failure;
    std::function<void()> issued;  // may be empty
    std::function<void()> answered;
    std::function<void()> aborted;
    std::function<void(int waited_ms)> never_got;
    std::function<void(uint32_t wait_result)> unexpected_wait;
};

// Issues `request` (a driver call returning its result code) and waits for its answer.
// On an abandoned wait past the 65 s limit the process ends.
gattc_request_result gattc_request_sync(gattc_request_kind kind, phone_record& phone,
                                        const std::function<uint32_t()>& request,
                                        const gattc_request_texts& texts, uint32_t* code = nullptr);
