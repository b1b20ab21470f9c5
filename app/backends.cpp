#include "app/backends.h"

#include "driver/backend.h"
#include "sim/backend/sim_backend.h"

void register_backends() {
    driver::register_backend("sim", sim::make_backend);
}
