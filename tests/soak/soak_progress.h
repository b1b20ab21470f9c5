// Progress lines while a soak runs: on a terminal every few real seconds, so that a person
// watching sees it move; elsewhere (a CI log) about once a simulated hour, so that a day's
// run leaves a few dozen lines, not thousands.
#pragma once

#include <string>

#include "tests/soak/trace_audit.h"

namespace soak {

constexpr double progress_every_real_s = 3;
constexpr double progress_every_sim_ms = 3600000;

class progress_pacer {
  public:
    explicit progress_pacer(bool terminal) : terminal_(terminal) {}
    // Whether a line is due now; if so, the next one is counted from here.
    bool due(double real_s, double sim_ms);

  private:
    bool terminal_;
    double next_real_s_ = progress_every_real_s;
    double next_sim_ms_ = progress_every_sim_ms;
};

std::string progress_line(const audit_progress& p, double planned_ms, double real_s);

}  // namespace soak
