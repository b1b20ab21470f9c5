"""The console lines the report reads: their texts and the logging level that prints them.

Each entry is (name, level, pattern). The pattern matches the text after the timestamp
prefix, if any. Level 0 means the line prints at every level."""

import re

_UUID = r"(?P<uuid>[0-9A-Fa-f]{32})"
_HANDLE = r"(?P<handle>\d+)"
_THREAD = r"Thread -?\d+: "

CATALOGUE = [
    # start-up and level
    ("level", 0, r"logging level (?P<level>-?\d+)$"),
    ("key_help", 0, r"'c' to do a challenge/response to connected phones \(the response is not validated\)$"),
    ("serial_port", 2, r"Serial port used: .*$"),
    ("exiting", 0, r"Exiting$"),
    ("status", 0, r"Status: -?\d+, message: .*$"),
    ("driver_log", 0, r"(?:Info|Warning|Error|Fatal|Log): .*$"),
    # advertisements
    ("found", 1, _THREAD + r"FOUND phone with UUID " + _UUID
     + r" RSSI = (?P<rssi>-?\d+), MAC = (?P<mac>[0-9A-F:]{17})$"),
    ("adv_rssi", 6, r"Advertisement RSSI = (?P<rssi>-?\d+), MAC = (?P<mac>[0-9A-F:]{17}), UUID = "
     + _UUID + r"$"),
    ("adv_no_uuid", 6, r"advertisement received that does not have 128-bit UUID$"),
    ("statistics", 0, r"total advertisements received = (?P<total>\d+) \((?P<rate>[0-9.]+)/second\); "
     r"total 128-bit UUID advertisements = (?P<uuid128>\d+)$"),
    # connecting
    ("connected", 2, _THREAD + r"got expected BLE_GAP_EVT_CONNECTED$"),
    ("connect_refused", 0, r"Connection Request Failed.*$"),
    ("connect_timeout", 0, r"sd_ble_gap_connect got BLE_GAP_TIMEOUT_SRC_CONN \(which is allowable\), "
     r"end this connection attempt$"),
    ("connect_never", 0, _THREAD + r"ERROR: never got BLE_GAP_EVT_CONNECTED or "
     r"BLE_GAP_TIMEOUT_SRC_CONN after waiting \d+ milliseconds\.$"),
    # set-up
    ("discovering", 3, r"Discovering primary services conn_handle = " + _HANDLE + r"$"),
    ("setup_done", 3, r"entirely done getting metadata from phone$"),
    ("setup_end", 3, r"service discovery ended, available for new connection$"),
    ("setup_no_answer", 0, r"ERROR: set-up of phone " + _UUID + r" conn_handle = " + _HANDLE
     + r" got no answer after waiting \d+ milliseconds.*$"),
    # keep-alive
    ("ka_target", 4, r"authentication service " + _UUID
     + r" 'feature' characteristic value 0x[0-9A-F]{4} handle$"),
    ("ka_answered", 4, _THREAD + r"got expected BLE_GATTC_EVT_READ_RSP$"),
    ("ka_answered_error", 0, _THREAD + r"ERROR: BLE_GATTC_EVT_READ_RSP for connection " + _HANDLE
     + r" characteristic value handle 0x[0-9A-F]{4} failed, GATT status 0x[0-9A-Fa-f]+$"),
    ("ka_aborted", 1, r"sd_ble_gattc_read to keep connection alive got BLE_GATTC_EVT_TIMEOUT or "
     r"BLE_GAP_EVT_DISCONNECTED \(discard this connection and re-connect\)$"),
    ("ka_never", 0, _THREAD + r"ERROR: never got BLE_GATTC_EVT_READ_RSP or BLE_GATTC_EVT_TIMEOUT or "
     r"BLE_GAP_EVT_DISCONNECTED after waiting \d+ milliseconds\.$"),
    ("ka_refused", 0, r"Keepalive sd_ble_gattc_read error for connection " + _HANDLE + r" .*$"),
    ("ka_skipped", 0, r"WARNING: skipping sd_ble_gattc_read when there is a GATTC operation "
     r"already in progress$"),
    ("ka_value", 5, r"keepalive conn_handle = " + _HANDLE + r" characteristic handle .*$"),
    ("gattc_timeout", 1, r"current GATTC read/write got  BLE_GATTC_EVT_TIMEOUT$"),
    ("gattc_cut", 1, r"BLE_GAP_EVT_DISCONNECTED while GATTC read/write in progress\. "
     r"Cancel read/write\.$"),
    # challenges
    ("challenge_ok", 4, _THREAD + r"success setting challenge for phone " + _UUID
     + r" conn_handle = " + _HANDLE + r" challenge char 0x[0-9A-F]{4}$"),
    ("challenge_failed", 0, r"ERROR setting challenge for phone " + _UUID + r" conn_handle = "
     + _HANDLE + r", error .*$"),
    ("notify", 4, _THREAD + r"(?:enable|disable) notify for " + _UUID + r" conn " + _HANDLE
     + r" response handle 0x[0-9A-F]{4}$"),
    # disconnections: the event thread's line comes when the link ends; the line with the
    # reason comes from the work queue, possibly after the next connection has been made
    ("link_ended", 1, r"event handler thread got BLE_GAP_EVT_DISCONNECTED, post to worker thread "
     r"to handle$"),
    ("disconnected", 1, _THREAD + r"BLE_GAP_EVT_DISCONNECTED received, reason: "
     r"(?P<code>0x[0-9a-f]{4}) (?P<name>\S+), conn_handle = " + _HANDLE + r"$"),
    # RSSI of a link and phone status
    ("link_rssi", 7, r"connection " + _HANDLE + r" RSSI = (?P<rssi>-?\d+) \(channel \d+\)$"),
    ("phone_status", 0, _UUID + r" connection " + _HANDLE
     + r" #RSSI events = \d+ last RSSI = (?P<rssi>-?\d+)$"),
    ("phone_idle", 0, _UUID + r" not connected$"),
]

# Lines the report does not use but knows, so that they do not count as unrecognised;
# their level is the evidence they give of the level in force.
KNOWN_ONLY = [
    (2, r"Baud rate used: \d+$"),
    (2, _THREAD + r"connection request succeeded, connection in progress$"),
    (2, r"Got BLE_GAP_EVT_CONNECTED .*$"),
    (2, _THREAD + r"sd_ble_gap_disconnect succeeded handle \d+$"),
    (1, _THREAD + r"got expected BLE_GAP_EVT_DISCONNECTED after calling sd_ble_gap_disconnect$"),
    (1, r"Re-start scanning due to no advertisements in a long time$"),
    (3, r"(?:sd_ble_gattc_|service type |finished finding services|Discovering characteristics"
        r"|Characteristic discovery done|Service 0x|found service|FOUND characteristic"
        r"|MATCHED on_gattc|sd_ble_gap_rssi_start succeeded).*$"),
    (4, r"authentication service [0-9A-Fa-f]{32} '(?:challenge|response)' characteristic .*$"),
    (4, _THREAD + r"got expected BLE_GATTC_EVT_WRITE_RSP$"),
    (4, r"Received (?:event BLE_GATTC_EVT_WRITE_RSP|data for characteristic).*$"),
    (4, r"BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE received\..*$"),
    (4, r"no devices are connected, cannot test challenge/response$"),
    (5, r"(?:Advertising data set successfully|Started advertising|Stopped advertising"
        r"|Force disconnect on all open connections.*)$"),
    (6, r"(?:scan start success|BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST received.*)$"),
    (7, r"(?:Scan re-start succeeded|re-called sd_ble_gap_scan_start with non-null params after "
        r"NRF_ERROR_INVALID_STATE, now successful\.)$"),
    (0, r"(?:'[dqrs+-]' to .*|Wait for (?:keep-alive|advertising) thread to stop|Stop advertising"
        r"|Call sd_rpc_close|Closed|KeepAliveThread exiting|AdvertisingThread exiting"
        r"|Option specified to not beacon.*|Exit test program immediately"
        r"|Disconnect and see if we get a disconnect event|'silent' option specified.*"
        r"|use scan (?:interval|window) \d+|Nordic events are received on thread -?\d+"
        r"|all devices: .*|Received an un-handled event.*|on_conn_params_update_request.*"
        r"|phone [0-9A-Fa-f]{32} connection_handle = .*|(?:ERROR|WARNING)\b.*"
        r"|.*(?:[Ff]ailed|error) .*|caught .*)$"),
]

COMPILED = [(name, level, re.compile(pattern)) for name, level, pattern in CATALOGUE]
KNOWN_COMPILED = [(level, re.compile(pattern)) for level, pattern in KNOWN_ONLY]

TIMESTAMP = re.compile(r"(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}): ")

# Level each figure needs, so that the report can say which -v would have given it.
LEVEL_FOR = {
    "connection attempts": 1,
    "disconnections": 1,
    "connections": 2,
    "set-ups": 3,
    "phone of a disconnection": 3,
    "keep-alive reads": 4,
    "challenges": 4,
    "advertisements": 6,
    "advertisement RSSI": 6,
    "link RSSI": 7,
}


def classify(text):
    """Returns (name, level, match) for a known line, (None, level, None) for one that is
    only known, or None."""
    for name, level, pattern in COMPILED:
        match = pattern.match(text)
        if match:
            return name, level, match
    for level, pattern in KNOWN_COMPILED:
        if pattern.match(text):
            return None, level, None
    return None
