#pragma once

bool keepalive_read_all();
// Thread body; its argument is the manual-reset stop event (platform::event_handle).
void KeepAliveThread(void* stop_event);
