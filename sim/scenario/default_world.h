// The world behind port "sim": two monitored phones with the standard profile and a few
// bystanders, in real time. examples/default.json holds the same text.
#pragma once

#include "sim/scenario/scenario.h"

namespace sim {

const char* default_world_text();
scenario default_world();

}  // namespace sim
