// Reads a trace file while the program is still writing it: each call hands over the lines
// completed since the last one, keeping a line that is only partly written for later.
#pragma once

#include <fstream>
#include <functional>
#include <string>

namespace soak {

class trace_follower {
  public:
    explicit trace_follower(std::string path) : path_(std::move(path)) {}

    // Calls `line` for every complete line written since the last call; returns how many.
    // A file that does not exist yet is not an error: the program may not have opened it.
    size_t read_new(const std::function<void(const std::string&)>& line);
    // After the writer has finished: a last line without its newline counts too.
    size_t read_rest(const std::function<void(const std::string&)>& line);

  private:
    std::string path_;
    std::ifstream in_;
    std::string partial_;
};

}  // namespace soak
