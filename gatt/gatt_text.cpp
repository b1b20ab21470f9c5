#include "gatt/gatt_text.h"

#include <cstdio>

#include "driver/wire/uuid_text.h"

std::string uuid128_text(const uint8_t* air_bytes) {
    return wire::uuid128_text(air_bytes);
}

bool uuid_equal_ignoring_case(const std::string& a, const std::string& b) {
    return wire::uuid_equal_ignoring_case(a, b);
}
