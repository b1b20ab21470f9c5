// Text from outside the program (a port name, a path) as it may appear inside one of its
// one-line messages: control characters shown as \xHH rather than sent to the terminal, and
// an absurdly long text cut short, so that a message stays one readable line.
#pragma once

#include <cstddef>
#include <string>

namespace wire {

constexpr size_t printable_text_limit = 200;

// At most `limit` characters of `text`, each control character (below 0x20, and 0x7F) as
// "\x" and two upper-case hex digits, and "..." after a text that was cut.
std::string printable_text(const std::string& text, size_t limit = printable_text_limit);

}  // namespace wire
