#include "tests/soak/trace_follower.h"

namespace soak {

size_t trace_follower::read_new(const std::function<void(const std::string&)>& line) {
    if (!in_.is_open()) {
        in_.open(path_, std::ios::binary);
        if (!in_.is_open()) return 0;
    }
    size_t count = 0;
    char chunk[1 << 16];
    for (;;) {
        in_.read(chunk, sizeof chunk);
        const std::streamsize got = in_.gcount();
        if (got <= 0) break;
        size_t start = 0;
        for (size_t i = 0; i < static_cast<size_t>(got); ++i) {
            if (chunk[i] != '\n') continue;
            partial_.append(chunk + start, i - start);
            line(partial_);
            partial_.clear();
            ++count;
            start = i + 1;
        }
        partial_.append(chunk + start, static_cast<size_t>(got) - start);
    }
    // At the end of what is written so far: clear the end-of-file state so that the next
    // call reads on from here.
    in_.clear();
    return count;
}

size_t trace_follower::read_rest(const std::function<void(const std::string&)>& line) {
    size_t count = read_new(line);
    if (!partial_.empty()) {
        line(partial_);
        partial_.clear();
        ++count;
    }
    return count;
}

}  // namespace soak
