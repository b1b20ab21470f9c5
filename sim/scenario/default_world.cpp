#include "sim/scenario/default_world.h"

#include <stdexcept>
#include <string>

#include "sim/scenario/scenario_loader.h"

namespace sim {

const char* default_world_text() {
    // Kept equal to examples/default.json (a test compares them).
    return R"json({
  "name": "default",
  "description": "Two monitored phones with the standard profile and a few bystanders, in real time. The same world as port 'sim'.",
  "seed": 1,
  "phones": [
    {
      "name": "phone-a",
      "uuid": "a0a489971097bba1b343eddd8f50f6ac",
      "address": "D2:4F:0A:91:3C:01",
      "adv_interval_ms": 100,
      "rssi": { "dbm": -55, "noise_db": 3 },
      "response_latency": 1
    },
    {
      "name": "phone-b",
      "uuid": "feedfeadfeadfeadfeadfeadfeadfead",
      "address": "E7:19:B3:5D:20:8A",
      "adv_interval_ms": 250,
      "rssi": { "track": [[0, -62], [40000, -80], [80000, -62]], "repeat_ms": 80000, "noise_db": 2 },
      "response_latency": [1, 2],
      "conn_param_request": { "after_connect_ms": 1500, "min_interval": 24, "max_interval": 40, "slave_latency": 0, "sup_timeout": 400 }
    }
  ],
  "advertisers": [
    {
      "name": "shop-beacon",
      "adv_interval_ms": 300,
      "data": { "flags": 6, "manufacturer": "ffff 0215 5a1c0e7d93b24f68a0d4c7e21b9f3a58 0001 0002 c5" },
      "rssi": -78
    },
    {
      "name": "heart-rate-strap",
      "connectable": true,
      "adv_interval_ms": 500,
      "data": { "flags": 6, "uuid16": ["0x180D", "0x180F"], "name": "HRM 42" },
      "rssi": -70
    },
    {
      "name": "neighbour-phone",
      "connectable": true,
      "adv_interval_ms": 400,
      "data": { "flags": 6, "uuid128": ["3f2a9c1e5b7d4e60a1c28d9e0f4b7a65"] },
      "rssi": { "dbm": -84, "noise_db": 4 }
    },
    {
      "name": "smart-tv",
      "adv_interval_ms": 1000,
      "data": { "flags": 26, "name": "Living Room TV" },
      "rssi": -88
    }
  ]
}
)json";
}

scenario default_world() {
    scenario world;
    std::string error;
    if (!load_scenario_text(default_world_text(), "default world", world, error)) {
        // The built-in text is checked by the tests; reaching this is a build defect.
        throw std::logic_error(error);
    }
    return world;
}

}  // namespace sim
