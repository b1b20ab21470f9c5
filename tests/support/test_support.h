// Helpers shared by the test suites.
#pragma once

#include <string>
#include <vector>

#include "app/test_context.h"

namespace testing_support {

// Puts test_context back to its start values: scalars, flags, event objects (fresh ones),
// an empty registry and device set. Phone records of earlier tests are leaked on purpose:
// threads of those tests may still hold pointers to them.
void reset_test_context();

// Adds monitored phones to the registry, as the test run does at start-up.
std::vector<phone_record*> add_phones(const std::vector<std::string>& uuids);

// Creates the event objects of test_context as the test run does.
void create_event_objects();

// Splits captured output into lines (without line ends).
std::vector<std::string> split_lines(const std::string& text);

// True if some line of `text` equals `line` / contains `fragment`.
bool has_line(const std::string& text, const std::string& line);
bool contains(const std::string& text, const std::string& fragment);

// Replaces timestamps "YYYY-MM-DD HH:MM:SS.mmm" with "TS" so lines compare exactly.
std::string strip_timestamps(const std::string& text);

}  // namespace testing_support
