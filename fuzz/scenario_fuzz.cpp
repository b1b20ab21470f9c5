// Arbitrary bytes as a scenario file for the simulated dongle: the loader must refuse what
// it cannot use with a message, never crash, hang or run out of memory, and whatever it
// accepts must be a world it can describe.
#include <cstdint>
#include <string>

#include "fuzz/harness_world.h"
#include "sim/scenario/scenario_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::scenario loaded;
    std::string error;
    const bool accepted = sim::load_scenario_text(text, "fuzz.json", loaded, error);
    if (!accepted && error.empty()) fuzzing::violated("a scenario was refused without a message");
    if (accepted && !error.empty()) fuzzing::violated("an accepted scenario came with an error");
    return 0;
}
