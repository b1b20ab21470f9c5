// Discoveries the stack answers itself, without going on the air. Every backend asks here
// once a discovery call has passed the stack rules, so that the program gets the same
// event from each of them.
#pragma once

#include <cstdint>
#include <optional>

#include "driver/wire/event_builder.h"

namespace driver::stack {

enum class discovery { services, characteristics, descriptors };

// A discovery that starts at handle 0 asks about a handle no server holds, and ATT has a
// server answer such a request with Invalid Handle. A program that continues past a range
// ending at 0xFFFF, the last handle there is, wraps round to 0 and takes that answer as
// the end of its discovery. The stack gives the answer itself: a phone that answers the
// malformed request wrongly, or not at all, would cost the link its GATT.
//
// The answer is the discovery's response event with status
// BLE_GATT_STATUS_ATTERR_INVALID_HANDLE, error handle 0 and no entries; nullopt when the
// request is for the phone. The call is taken, and its procedure is complete as soon as
// the event is queued: the next GATT call on the link is not refused as busy.
std::optional<wire::event_buffer> discovery_answered_by_stack(discovery what, uint16_t conn_handle,
                                                              uint16_t start_handle);

}  // namespace driver::stack
