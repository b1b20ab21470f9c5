// Monitored UUIDs that can never match. A phone's UUID is compared as the text of 32
// lower-case hex digits, exactly; a -u value in upper case or with other characters is
// kept as typed but will never find its phone, which the operator should hear at once.
#pragma once

#include <string>

// Why `uuid` can never match a phone's UUID, or empty when it can.
std::string why_uuid_never_matches(const std::string& uuid);

// The warning line (with its newline) for such a -u value.
std::string never_matching_uuid_warning(const std::string& uuid, const std::string& why);
