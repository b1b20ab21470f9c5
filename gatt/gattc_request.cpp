// Placeholder: replaced by the real implementation.
#include "gatt/gattc_request.h"

gattc_request_result gattc_request_sync(gattc_request_kind, phone_record&, const std::function<uint32_t()>&,
                                        const gattc_request_texts&, uint32_t*) { return gattc_request_result::skipped; }
