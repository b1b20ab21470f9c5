// Monitored phones and the set of every 128-bit UUID seen on the air.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "gatt/gatt_database.h"

struct phone_record {
    explicit phone_record(std::string phone_uuid) : uuid(std::move(phone_uuid)) {}

    const std::string uuid;
    std::atomic<uint16_t> conn_handle{0xFFFF};
    // Links this phone has had. The event thread counts a new one before it stores its
    // handle: handles are reused at once, so a thread that took the handle can tell by the
    // count whether the link it used is still the phone's.
    std::atomic<uint32_t> links{0};
    // Discovered database of the current connection. The event thread empties it on a
    // disconnection while other threads walk it, so every access holds services_lock.
    std::vector<gatt_service> services;
    std::mutex services_lock;
    std::atomic<int8_t> last_rssi{-127};
    std::atomic<int32_t> rssi_event_count{0};
};

// Ordered by byte-wise comparison of the UUID text. Filled before the driver is opened;
// no entry is added or removed afterwards, so walks need no lock.
using phone_registry_map = std::map<std::string, phone_record*>;

// Every 128-bit UUID that on_adv_report has handled. Written by the work thread, read by
// the run thread: guarded by its own lock.
struct device_set {
    std::set<std::string> uuids;
    mutable std::mutex lock;

    void insert(const std::string& uuid);
    std::vector<std::string> snapshot() const;
};

void show_phone_status();
void show_all_devices();
