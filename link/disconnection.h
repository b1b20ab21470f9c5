#pragma once

#include <cstdint>
#include <vector>

struct phone_record;

// A phone's link as it stood at one moment: the phone and its link count then.
struct held_link {
    phone_record* phone;
    uint32_t link;
};

// Asks the stack to end the link and says how that went; true when the request was taken.
// Does not wait for the disconnection.
bool request_disconnection(uint16_t conn_handle);
// The same, then waits (limited) for the disconnection.
void disconnect_phone(uint16_t conn_handle);
void disconnect_all();
// The links the monitored phones hold now.
std::vector<held_link> links_held_now();
// Drops the link if it is still up; a phone that has since come back on a new link keeps
// it, even when the new link reuses the old handle.
void disconnect_link(const held_link& held);
void disconnect_links(const std::vector<held_link>& links);
void disconnect_followup(uint8_t reason, uint16_t conn_handle);
