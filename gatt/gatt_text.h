// Text forms shared by discovery, keep-alive and the challenge exchange.
#pragma once

#include <cstdint>
#include <string>

// 32 lower-case hex digits, most significant byte first, from 16 bytes in air order
// (least significant first).
std::string uuid128_text(const uint8_t* air_bytes);

// Compares two UUID texts ignoring letter case: discovered UUIDs are lower case while
// the well-known characteristic UUIDs are written in upper case.
bool uuid_equal_ignoring_case(const std::string& a, const std::string& b);
