// Entry point of the simulated dongle: builds the backend for port "sim" (the default
// world) or "sim:FILE" (a world read from a scenario file).
#pragma once

#include <memory>

#include "driver/backend.h"

namespace sim {

std::unique_ptr<driver::backend> make_backend(const driver::link_settings& settings);

}  // namespace sim
