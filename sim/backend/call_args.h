// The arguments of driver calls as the trace shows them: pointers followed and decoded,
// null pointers shown as null.
#pragma once

#include "driver/sd_rpc.h"
#include "sim/world/trace.h"

namespace sim {

trace_json describe_cfg(uint32_t cfg_id, const ble_cfg_t* cfg);
trace_json describe_scan_params(const ble_gap_scan_params_t* params);
trace_json describe_conn_params(const ble_gap_conn_params_t* params);
trace_json describe_address(const ble_gap_addr_t* address);
trace_json describe_data(const ble_data_t* data);
trace_json describe_adv_params(const ble_gap_adv_params_t* params);
trace_json describe_adv_data(const ble_gap_adv_data_t* data);
trace_json describe_write(const ble_gattc_write_params_t* params);

}  // namespace sim
