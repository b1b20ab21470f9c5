// BLE events as the driver hands them to the program: a ble_evt_t at the start of a
// buffer that is aligned for it and long enough for the variable-length tail some events
// carry (services[], chars[], descs[], data[]), with evt_len telling the whole length. The
// simulated dongle, the tests and the fuzz harnesses all build their events here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver/ble.h"

namespace wire {

// How much memory an event gets. The driver's buffers are never shorter than a whole
// ble_evt_t; a harness that wants any read past an event's contents caught asks for exactly
// the contents, which may be fewer bytes than a ble_evt_t.
enum class event_size { whole_record, exact };

class event_buffer {
  public:
    // A zeroed event of `id` in a buffer of `bytes`, raised to a whole ble_evt_t unless
    // `size` is exact (and never below the header, which is filled in).
    event_buffer(uint16_t id, size_t bytes, event_size size = event_size::whole_record);

    ble_evt_t* get() { return reinterpret_cast<ble_evt_t*>(storage_.get()); }
    const ble_evt_t* get() const { return reinterpret_cast<const ble_evt_t*>(storage_.get()); }
    ble_gap_evt_t& gap() { return get()->evt.gap_evt; }
    ble_gattc_evt_t& gattc() { return get()->evt.gattc_evt; }
    size_t size() const { return size_; }
    // The buffer's bytes from `offset`, for writing a tail.
    uint8_t* bytes_at(size_t offset) { return storage_.get() + offset; }

  private:
    std::unique_ptr<uint8_t[]> storage_;
    size_t size_ = 0;
};

event_buffer build_connected(uint16_t conn_handle, const ble_gap_addr_t& peer, uint8_t role,
                             const ble_gap_conn_params_t& params);
event_buffer build_disconnected(uint16_t conn_handle, uint8_t reason);
event_buffer build_gap_timeout(uint16_t conn_handle, uint8_t source,
                               const ble_data_t& report_buffer);
event_buffer build_rssi_changed(uint16_t conn_handle, int8_t rssi, uint8_t channel);
// The report's data is not copied here: the simulated dongle writes it into the program's
// buffer just before delivery, and `data` points there.
event_buffer build_adv_report(const ble_gap_addr_t& peer, uint16_t type_bits, int8_t rssi,
                              uint8_t channel, const ble_data_t& data);
// The same report carrying its own copy of `data` behind the record, so that the event
// alone keeps it alive; data.p_data points there (at the end of the record when empty).
event_buffer build_adv_report_with_data(const ble_gap_addr_t& peer, uint16_t type_bits, int8_t rssi,
                                        uint8_t channel, const std::vector<uint8_t>& data);
event_buffer build_conn_param_update(uint16_t conn_handle, const ble_gap_conn_params_t& params);
event_buffer build_conn_param_update_request(uint16_t conn_handle,
                                             const ble_gap_conn_params_t& params);
event_buffer build_adv_set_terminated(uint8_t reason, uint8_t adv_handle, uint8_t completed_events);

event_buffer build_services_response(uint16_t conn_handle, uint16_t status, uint16_t error_handle,
                                     const std::vector<ble_gattc_service_t>& services,
                                     event_size size = event_size::whole_record);
event_buffer build_characteristics_response(uint16_t conn_handle, uint16_t status,
                                            uint16_t error_handle,
                                            const std::vector<ble_gattc_char_t>& chars,
                                            event_size size = event_size::whole_record);
event_buffer build_descriptors_response(uint16_t conn_handle, uint16_t status,
                                        uint16_t error_handle,
                                        const std::vector<ble_gattc_desc_t>& descs,
                                        event_size size = event_size::whole_record);
event_buffer build_read_response(uint16_t conn_handle, uint16_t status, uint16_t error_handle,
                                 uint16_t handle, uint16_t offset, const std::vector<uint8_t>& data,
                                 event_size size = event_size::whole_record);
event_buffer build_write_response(uint16_t conn_handle, uint16_t status, uint16_t error_handle,
                                  uint16_t handle, uint8_t write_op, uint16_t offset,
                                  const std::vector<uint8_t>& data,
                                  event_size size = event_size::whole_record);
event_buffer build_hvx(uint16_t conn_handle, uint16_t handle, uint8_t type,
                       const std::vector<uint8_t>& data,
                       event_size size = event_size::whole_record);
event_buffer build_gattc_timeout(uint16_t conn_handle);
event_buffer build_write_cmd_tx_complete(uint16_t conn_handle, uint8_t count);

// Any other event, with plausible contents for the IDs that have a body (data length
// and PHY update requests, scan request reports, MTU exchange responses...), zeroes
// otherwise.
event_buffer build_other(uint16_t id, uint16_t conn_handle);

}  // namespace wire
