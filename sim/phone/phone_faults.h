// A phone's scripted GATT misbehaviour, taken from the scenario's fault list when the
// scenario is loaded: what the phone does wrong, on which of its connections, and from
// when (a time window, or once a number of requests of some kind has passed).
#pragma once

#include <cstdint>
#include <optional>

#include "sim/world/sim_time.h"

namespace sim {

enum class cccd_mode { ignore, refuse };

struct phone_fault {
    enum class kind {
        silent,            // answers no request (after_count: requests)
        cccd,              // ignores or refuses CCCD writes (after_count: CCCD writes)
        challenge_silent,  // takes challenges, never answers them (after_count: challenges)
        hang_up,           // ends the link instead of answering request after_count + 1
    };

    kind what = kind::silent;
    std::optional<sim_us> from;
    std::optional<sim_us> until;
    std::optional<uint32_t> after_count;
    std::optional<uint32_t> connection;  // only the phone's n-th connection
    bool stack_timeout = true;           // silent: false when the stack loses the request too
    cccd_mode mode = cccd_mode::ignore;  // cccd
    uint8_t reason = 0x13;               // hang_up: the HCI reason the phone gives

    bool on_connection(uint32_t n) const { return !connection || *connection == n; }
    // Strikes on connection `n` once `count` exceeds after_count, or else at `t` in its
    // window.
    bool strikes(uint32_t n, uint32_t count, sim_us t) const {
        if (!on_connection(n)) return false;
        return after_count ? count > *after_count : within(from, until, t);
    }
};

}  // namespace sim
