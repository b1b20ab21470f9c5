#include "app/backends.h"

#include "driver/backend.h"
#include "hci/backend/hci_backend.h"
#include "sim/backend/sim_backend.h"

void register_backends() {
    driver::register_backend("sim", sim::make_backend);
    driver::register_backend(
        "hci:", [](const driver::link_settings& settings) { return hci::make_backend(settings); });
}
