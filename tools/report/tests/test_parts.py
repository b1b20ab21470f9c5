"""The pieces with rules of their own: the trace reader, the statistics, timestamps."""

import json

import pytest

from conftest import PHONE_A
from orvette_report import lines, logparse, plots, stats, trace


def test_percentile_is_a_value_that_occurred():
    values = [float(v) for v in range(1, 101)]
    assert stats.spread(values) == (50.5, 95.0, 100.0)
    assert stats.spread([0.4]) == (0.4, 0.4, 0.4)
    assert stats.spread([3.0, 1.0]) == (2.0, 3.0, 3.0)
    assert stats.spread([]) is None


@pytest.mark.parametrize("stamp, seconds", [
    ("2026-12-08 10:00:00.007", 0.007), ("2026-12-08 10:00:00.999", 0.999),
    ("2026-12-09 00:00:00.000", 50400.0), ("2026-12-31 23:59:59.500", 2037599.5)])
def test_timestamps_decode_to_milliseconds(stamp, seconds):
    origin = logparse.timestamp_seconds(lines.TIMESTAMP.match("2026-12-08 10:00:00.000: "))
    assert logparse.timestamp_seconds(lines.TIMESTAMP.match(stamp + ": ")) - origin == \
        pytest.approx(seconds, abs=1e-6)


def test_impossible_timestamp_is_not_a_time():
    assert logparse.timestamp_seconds(lines.TIMESTAMP.match("2026-13-40 99:00:00.000: ")) is None


ADV = "0201061107" + bytes.fromhex(PHONE_A)[::-1].hex()


@pytest.mark.parametrize("data, uuid", [
    (ADV, PHONE_A),
    ("0201061106" + bytes.fromhex(PHONE_A)[::-1].hex(), PHONE_A),
    ("020106", None),
    ("0201061107aabb", None),            # the list runs past the end
    ("00" + ADV, None),                  # a zero length ends the data
    ("ff" + ADV, None),
    ("not hex", None),
    ("", None),
])
def test_uuid_of_advertisement_checks_lengths(data, uuid):
    assert trace.uuid_of_advertisement(data) == uuid


def trace_line(t, **fields):
    return json.dumps(dict(t=t, **fields))


def test_trace_ties_links_to_phones_and_skips_bad_lines():
    text = "\n".join([
        trace_line(0.0, call="sd_rpc_open", args={}, result=0),
        trace_line(100.0, event="BLE_GAP_EVT_ADV_REPORT", peer_addr="D2:4F:0A:91:3C:01", rssi=-61,
                   data=ADV),
        "{not json",
        "[1, 2]",
        trace_line(150.0, event="BLE_GAP_EVT_ADV_REPORT", peer_addr="C0:00:00:00:00:01", rssi=-90,
                   data="020106"),
        trace_line(300.0, event="BLE_GAP_EVT_CONNECTED", conn_handle=3, peer_addr="D2:4F:0A:91:3C:01"),
        trace_line(350.0, event="BLE_GAP_EVT_RSSI_CHANGED", conn_handle=3, rssi=-70),
        trace_line(360.0, event="BLE_GAP_EVT_RSSI_CHANGED", conn_handle="x", rssi=-70),
        trace_line(5300.0, event="BLE_GAP_EVT_DISCONNECTED", conn_handle=3, reason=8,
                   reason_name="BLE_HCI_CONNECTION_TIMEOUT"),
        trace_line(5400.0, event="BLE_GAP_EVT_DISCONNECTED", conn_handle=9, reason=19,
                   reason_name="BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION"),
        trace_line(6000.0, note="phone out of range", fault="faults[0]"),
        trace_line(7000.0, call="sd_rpc_close", args={}, result=0),
    ])
    run = trace.parse(text.encode())
    phone = run.phones[PHONE_A]
    assert [(c.start, c.end, c.reason) for c in phone.connections] == [
        (0.3, 5.3, "0x0008 BLE_HCI_CONNECTION_TIMEOUT")]
    assert phone.rssi == [(0.1, -61, "advertisement"), (0.35, -70, "link")]
    assert [r for _, r in run.phones["(phone not named in the log)"].disconnections] == [
        "0x0013 BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION"]
    assert run.advertisements == [0.1, 0.15]
    assert run.faults == [(6.0, "phone out of range (faults[0])")]
    assert (run.unrecognised, run.duration(), run.saw_end) == (3, 7.0, True)


def test_trace_of_nothing_is_refused():
    assert trace.parse(b"") is None
    assert trace.parse(b"hello\n\x00\x01\n") is None


def test_advertising_rate_without_level_6_comes_from_the_programs_totals():
    stamp = "2026-12-08 10:00:%02d.000: total advertisements received = %d (1.0/second); " \
            "total 128-bit UUID advertisements = 0\n"
    one = logparse.parse(("Exiting\n" + stamp % (10, 100)).encode())
    two = logparse.parse(("Exiting\n" + stamp % (10, 100) + stamp % (20, 300)).encode())
    assert plots.advertising_rate(one, 6) is None
    assert plots.advertising_rate(two, 6)[:4] == b"\x89PNG"
