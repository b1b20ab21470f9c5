// Placeholder: replaced by the real implementation.
#include "link/event_dispatcher.h"

void ble_event_handler(adapter_t*, ble_evt_t*) {}
void on_conn_params_update_request(const ble_gap_evt_t&) {}
bool find_uuid128(const uint8_t*, uint16_t, std::string&) { return false; }
void adv_report_work::operator()() const {}
void scan_resume_work::operator()() const {}
void disconnect_work::operator()() const {}
