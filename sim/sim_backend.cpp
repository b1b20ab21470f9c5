// Placeholder: replaced by the real implementation.
#include "sim/sim_backend.h"

namespace sim {
std::unique_ptr<driver::backend> make_backend(const driver::link_settings& settings) {
    return driver::make_unsupported_port_backend(settings);
}
}  // namespace sim
