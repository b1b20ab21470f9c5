// The keep-alive heartbeat: reads every connected phone's 'feature' characteristic each
// cycle, runs the challenge exchange after answered cycles, makes the phones reconnect
// now and then, and restarts a scanner that has gone quiet.
#pragma once

#include <cstdint>

// Reads 'feature' of every connected phone; true if at least one read was answered.
bool keepalive_read_all();
// Thread body; its argument is the manual-reset stop event (platform::event_handle).
void KeepAliveThread(void* stop_event);

constexpr uint32_t keepalive_period_ms = 3000;
// Answered cycles after which every phone is made to reconnect: the counter passing this.
constexpr unsigned keepalive_cycles_before_reconnect = 10;
// Silence after which the scanner is stopped and started again.
constexpr uint64_t scanner_silence_limit_ms = 30000;
