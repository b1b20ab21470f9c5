"""Reads the simulated dongle's JSON-lines trace into a Run on the simulated clock."""

import json

from .model import UNNAMED, Connection, Run, Segment


def uuid_of_advertisement(data_hex):
    """The first complete or incomplete 128-bit service UUID list entry of advertising data,
    most significant digit first, or None. The data is untrusted: lengths are checked."""
    try:
        data = bytes.fromhex(data_hex)
    except (TypeError, ValueError):
        return None
    pos = 0
    while pos < len(data):
        length = data[pos]
        if length == 0 or pos + 1 + length > len(data):
            return None
        kind = data[pos + 1]
        if kind in (0x06, 0x07) and length >= 17:
            return data[pos + 2:pos + 18][::-1].hex()
        pos += 1 + length
    return None


def parse(data):
    """Parses the bytes of a trace; None when not one line is a trace line."""
    run = Run(clock="simulated time")
    run.segments = [Segment(start=None, level=99)]
    peer_uuid = {}
    handle_peer = {}
    for raw in data.decode("utf-8", errors="replace").splitlines():
        run.lines += 1
        try:
            item = json.loads(raw)
            when = float(item["t"]) / 1000.0
        except (ValueError, KeyError, TypeError):
            run.unrecognised += 1
            continue
        if not isinstance(item, dict):
            run.unrecognised += 1
            continue
        run.recognised += 1
        if run.first_time is None:
            run.first_time = run.last_time = when
        run.first_time = min(run.first_time, when)
        run.last_time = max(run.last_time, when)
        event = item.get("event")
        try:
            if event == "BLE_GAP_EVT_ADV_REPORT":
                run.add_advertisement(when)
                peer = str(item.get("peer_addr"))
                uuid = uuid_of_advertisement(item.get("data", ""))
                if uuid is not None:
                    peer_uuid[peer] = uuid
                if peer in peer_uuid:
                    run.phone(peer_uuid[peer]).rssi.append((when, int(item["rssi"]), "advertisement"))
            elif event == "BLE_GAP_EVT_CONNECTED":
                peer = str(item.get("peer_addr"))
                handle_peer[int(item["conn_handle"])] = peer
                phone = run.phone(peer_uuid.get(peer, peer))
                phone.connections.append(Connection(start=when, handle=int(item["conn_handle"])))
            elif event == "BLE_GAP_EVT_DISCONNECTED":
                handle = int(item["conn_handle"])
                reason = "0x%04x %s" % (int(item["reason"]), item.get("reason_name", ""))
                peer = handle_peer.pop(handle, None)
                phone = run.phone(peer_uuid.get(peer, peer) if peer is not None else UNNAMED)
                phone.disconnections.append((when, reason))
                if phone.connections and phone.connections[-1].end is None:
                    phone.connections[-1].end = when
                    phone.connections[-1].reason = reason
            elif event == "BLE_GAP_EVT_RSSI_CHANGED":
                peer = handle_peer.get(int(item["conn_handle"]))
                if peer is not None:
                    run.phone(peer_uuid.get(peer, peer)).rssi.append((when, int(item["rssi"]), "link"))
            elif "fault" in item:
                run.faults.append((when, "%s (%s)" % (item.get("note", ""), item["fault"])))
            elif item.get("call") == "sd_rpc_close":
                run.saw_end = True
        except (ValueError, KeyError, TypeError):
            run.unrecognised += 1
    if run.recognised == 0:
        return None
    run.saw_start = True
    run.segments[0].start = run.first_time
    run.segments[0].end = run.last_time
    return run
