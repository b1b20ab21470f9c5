// Placeholder: replaced by the real implementation.
#include "app/test_run.h"

uint32_t test_run(const run_config&) { return 0; }
