"""Logs as they reach the test engineer: cut off, run into by other threads' output, with
levels changed during the run, or not logs at all. The figures must survive or be declined,
never made up."""

import os

import pytest

from conftest import PHONE_A, PHONE_B, report
from orvette_report import logparse, summary
from orvette_report.model import UNNAMED

HELP = """'c' to do a challenge/response to connected phones (the response is not validated)
'd' to disconnect any connected devices
'q' to quit program
'r' to do a hard reset of the dongle - after this the program exits
's' to show status of all monitored phones
'+' to increase logging level
'-' to decrease logging level
"""

T = "2026-12-08 10:00:"

# Two phones at -v4. Set-ups take 0.5 s and 0.2 s (phone A) and 0.3 s (phone B); each set-up
# end sits between two lines with the same timestamp, so its time is exact.
BODY = f"""{T}00.000: Status: 6, message: Target Reset performed
{T}00.000: Status: 7, message: Connection active
{T}00.100: Thread 7: FOUND phone with UUID {PHONE_A} RSSI = -60, MAC = D2:4F:0A:91:3C:01
{T}00.110: Thread 7: connection request succeeded, connection in progress
{T}00.150: Got BLE_GAP_EVT_CONNECTED central
{T}00.150: Thread 7: got expected BLE_GAP_EVT_CONNECTED
Discovering primary services conn_handle = 0
{T}00.600: Received an un-handled event with ID: 18
entirely done getting metadata from phone
sd_ble_gap_rssi_start succeeded
service discovery ended, available for new connection
{T}00.600: Received an un-handled event with ID: 18
{T}01.000: Thread 7: FOUND phone with UUID {PHONE_B} RSSI = -70, MAC = C0:35:04:68:B9:32
{T}01.100: Thread 7: got expected BLE_GAP_EVT_CONNECTED
Discovering primary services conn_handle = 1
{T}01.300: Received an un-handled event with ID: 18
entirely done getting metadata from phone
service discovery ended, available for new connection
{T}01.300: Received an un-handled event with ID: 18
authentication service {PHONE_A} 'feature' characteristic value 0x000C handle
authentication service {PHONE_B} 'feature' characteristic value 0x000C handle
{T}03.010: Thread 9: got expected BLE_GATTC_EVT_READ_RSP
{T}03.020: current GATTC read/write got  BLE_GATTC_EVT_TIMEOUT
{T}03.020: sd_ble_gattc_read to keep connection alive got BLE_GATTC_EVT_TIMEOUT or BLE_GAP_EVT_DISCONNECTED (discard this connection and re-connect)
{T}03.050: Thread 9: sd_ble_gap_disconnect succeeded handle 1
{T}03.060: event handler thread got BLE_GAP_EVT_DISCONNECTED, post to worker thread to handle
{T}03.060: Thread 7: BLE_GAP_EVT_DISCONNECTED received, reason: 0x0016 BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION, conn_handle = 1
{T}03.500: Thread 9: success setting challenge for phone {PHONE_A} conn_handle = 0 challenge char 0x000E
{T}05.000: Thread 7: BLE_GAP_EVT_DISCONNECTED received, reason: 0x0008 BLE_HCI_CONNECTION_TIMEOUT, conn_handle = 0
{T}06.000: Thread 7: FOUND phone with UUID {PHONE_A} RSSI = -66, MAC = D2:4F:0A:91:3C:01
{T}06.000: Thread 7: got expected BLE_GAP_EVT_CONNECTED
Discovering primary services conn_handle = 0
{T}06.200: Received an un-handled event with ID: 18
entirely done getting metadata from phone
service discovery ended, available for new connection
{T}06.200: Received an un-handled event with ID: 18
{T}07.000: total advertisements received = 70 (10.000000/second); total 128-bit UUID advertisements = 65
Wait for keep-alive thread to stop
KeepAliveThread exiting
Closed
Exiting
"""

LOG = "logging level 4\n" + HELP + BODY


def parse(text):
    return logparse.parse(text.encode() if isinstance(text, str) else text)


def setup_times(run, uuid):
    return [round(s.end_low - s.found, 3) for s in run.phones[uuid].setups if s.completed]


def figures(run):
    """What the summary is made of, per phone, for comparing two readings of a log."""
    out = {}
    for uuid, p in run.phones.items():
        out[uuid] = (len(p.attempts), len(p.connections), setup_times(run, uuid),
                     p.keepalive_answered, p.keepalive_timed_out, p.challenges_ok,
                     [r for _, r in p.disconnections], [d for _, d, _ in p.rssi])
    return out


def test_whole_log_gives_exact_figures():
    run = parse(LOG)
    a, b = run.phones[PHONE_A], run.phones[PHONE_B]
    assert (len(a.attempts), len(a.connections), setup_times(run, PHONE_A)) == (2, 2, [0.5, 0.2])
    assert (len(b.attempts), len(b.connections), setup_times(run, PHONE_B)) == (1, 1, [0.3])
    assert (a.keepalive_answered, a.keepalive_timed_out) == (1, 0)
    assert (b.keepalive_answered, b.keepalive_timed_out) == (0, 1)
    assert (a.challenges_ok, b.challenges_ok) == (1, 0)
    assert [r for _, r in a.disconnections] == ["0x0008 BLE_HCI_CONNECTION_TIMEOUT"]
    assert [r for _, r in b.disconnections] == ["0x0016 BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION"]
    assert a.connections[0].end - a.connections[0].start == pytest.approx(4.85)
    assert UNNAMED not in run.phones
    assert (run.saw_start, run.saw_end, run.cut_off, run.unrecognised) == (True, True, False, 0)
    text = summary.summary(run, "log")
    # Set-up times of both phones together: 0.2, 0.3, 0.5 -> A alone is 0.2 and 0.5.
    assert "median 0.350 s, 95th percentile 0.500 s, max 0.500 s (n=2)" in text
    assert "the program's own count ('s' key, last at 10:00:07.000): 70 in all" in text
    assert "run length: at least 0:00:07.000" in text


def test_cut_anywhere_never_fails_and_never_adds():
    whole = figures(parse(LOG))
    data = LOG.encode()
    for cut in range(0, len(data), 23):
        run = logparse.parse(data[:cut])
        summary.summary(run, "log")
        for uuid, (attempts, connections, times, answered, timed_out, challenges, reasons,
                   rssi) in figures(run).items():
            if uuid == UNNAMED:
                continue
            full = whole[uuid]
            assert attempts <= full[0] and connections <= full[1]
            assert times == full[2][:len(times)]
            assert answered <= full[3] and timed_out <= full[4] and challenges <= full[5]
            assert reasons == full[6][:len(reasons)]


def test_cut_in_the_middle_of_a_set_up_end():
    cut = LOG.index("entirely done getting metadata from phone\nservice discovery ended, available "
                    "for new connection\n" + T + "06.200") + len("entirely done getting me")
    run = parse(LOG[:cut])
    assert run.cut_off
    assert setup_times(run, PHONE_A) == [0.5]
    assert len(run.phones[PHONE_A].setups) == 2
    text = summary.summary(run, "log")
    assert "last line cut off" in text
    assert "set-ups completed: 1 of 2 started" in text
    assert "end: not in the log" in text


def test_other_threads_output_run_into_lines():
    # A message without line end followed by a timestamped one on the same line; one message
    # split over two lines; a blank line in between.
    damaged = LOG.replace(
        f"{T}01.000: Thread 7: FOUND",
        f"{T}00.900: sd_ble_gap_connect_cancel failed 0x0008 NRF_ERROR_INVALID_STATE"
        f"{T}01.000: Thread 7: FOUND").replace(
        f"{T}03.010: Thread 9: got expected BLE_GATTC_EVT_READ_RSP",
        f"{T}03.010: Thread 9: got expected BLE_GA\nTTC_EVT_READ_RSP\n").replace(
        "Discovering primary services conn_handle = 1",
        "Discovering primary services conn_h\nandle = 1")
    assert figures(parse(damaged)) == figures(parse(LOG))


def test_lines_without_timestamps_take_the_time_before_them():
    run = parse(LOG.replace(f"{T}06.200: Received an un-handled event with ID: 18\nentirely",
                            "entirely"))
    # The end of A's second set-up now lies between 06.000 and 06.200.
    a = run.phones[PHONE_A].setups[1]
    assert round(a.end_low - a.found, 3) == 0.0 and round(a.end_high - a.found, 3) == 0.2
    # Set-ups of A: 0.5 s exactly, and somewhere from 0.0 to 0.2 s.
    assert "median 0.250 to 0.350 s, 95th percentile 0.500 to 0.500 s, max 0.500 to 0.500 s " \
           "(n=2; a set-up's end carries no timestamp" in summary.summary(run, "log")


def test_level_zero_declines_what_it_cannot_show():
    log = HELP + "\n".join(line for line in BODY.splitlines()
                           if "Status" in line or "total advertisements" in line
                           or line.startswith(("Wait", "Closed", "Exiting")))
    run = parse(log + "\n")
    assert run.segments[0].level == 0
    text = summary.summary(run, "log")
    assert "Phones: none named in this log" in text
    assert "counted one by one: not in this log (advertisements need -v6 or more; this log " \
           "is at -v0)" in text
    assert "70 in all" in text


def test_level_raised_and_lowered_during_the_run():
    # Starts at 1: the first set-up is not in the log; raised to 4 before phone B; lowered to 1
    # after the keep-alive reads.
    log = "logging level 1\n" + HELP
    level = 1
    for line in BODY.splitlines(keepends=True):
        if line.startswith(f"{T}01.000"):
            log += "logging level 2\nlogging level 3\nlogging level 4\n"
            level = 4
        if line.startswith(f"{T}03.500"):
            log += "logging level 3\nlogging level 2\nlogging level 1\n"
            level = 1
        if logparse.lines.classify(line.split(": ", 1)[-1].strip())[1] > level:
            continue  # lines the program would not have printed at that level
        log += line
    run = parse(log)
    assert [seg.level for seg in run.segments] == [1, 2, 3, 4, 3, 2, 1]
    assert [level for _, level in run.level_changes] == [2, 3, 4, 3, 2, 1]
    assert setup_times(run, PHONE_B) == [0.3]
    assert setup_times(run, PHONE_A) == []
    assert run.phones[PHONE_B].keepalive_timed_out == 1
    text = summary.summary(run, "log")
    # A level line has no timestamp: a raise counts from the next timestamp, a cut from the
    # last one, so that the detailed stretch is never overstated.
    assert "logging level: -v1 at the start; 2 from about 10:00:01.000; 3 from about " \
           "10:00:01.000; 4 from about 10:00:01.000; 3 from about 10:00:03.060" in text
    assert "set-ups completed: 1 of 1 started [only while at -v3 or more (2.1 s of 7.0 s)]" in text
    # Phone A's handle was named only at a level this log was not at when A connected.
    assert [r for _, r in run.phones[UNNAMED].disconnections] == ["0x0008 BLE_HCI_CONNECTION_TIMEOUT"]


def test_log_that_begins_in_the_middle_of_a_run():
    run = parse(BODY[BODY.index(f"{T}01.000"):])
    assert not run.saw_start and run.segments[0].level is None
    assert run.segments[0].evidence == 4
    text = summary.summary(run, "log")
    assert "start: not in the log" in text
    assert "logging level: not in the log (it begins after the start); lines of level 4" in text
    # Phone A's link was made before the log begins: its disconnection is still A's, because
    # a later line (the challenge) named its connection handle.
    assert [r for _, r in run.phones[PHONE_A].disconnections] == ["0x0008 BLE_HCI_CONNECTION_TIMEOUT"]


def test_binary_garbage_between_lines():
    junk = bytes(range(256)) + b"\x00\xff\xfe" * 40 + b"1999-01-01 00:00:00.000: \x01"
    lines = LOG.encode().split(b"\n")
    damaged = b"\n".join(lines[:20] + [junk] + lines[20:30] + [junk + junk] + lines[30:])
    run = logparse.parse(damaged)
    assert figures(run) == figures(parse(LOG))
    assert run.garbage >= 2
    assert run.duration() == parse(LOG).duration()


@pytest.mark.parametrize("content", [
    os.urandom(20000),
    b"",
    b"\x7fELF\x02\x01\x01" + bytes(5000),
    "just some text\nthat is not a log\n".encode(),
    "{\"t\": 0.0, \"call\": \"sd_rpc_open\"}\n".encode(),
])
def test_not_a_log_is_one_line_and_no_figures(tmp_path, content):
    path = tmp_path / "wrong"
    path.write_bytes(content)
    result = report(path)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and "holds no orvette console line" in result.stderr


def test_unreadable_files_and_usage(tmp_path):
    log = tmp_path / "run.log"
    log.write_text(LOG)
    for args in ([tmp_path / "missing.log"], [tmp_path], [log, "-t", tmp_path / "missing.jsonl"],
                 [log, "-o", tmp_path / "no" / "such" / "dir.html"]):
        result = report(*args)
        assert result.returncode == 1, args
        assert result.stderr.startswith("orvette-report: ") and result.stderr.count("\n") == 1
    for args in ([], [log, "--colour"], [log, log], [log, "-o"]):
        assert report(*args).returncode == 2, args
    assert report(log).returncode == 0


def test_log_that_ends_at_a_set_up_end_gives_only_a_lower_bound():
    end = LOG.index("entirely done getting metadata from phone\nservice discovery ended, available "
                    "for new connection\n" + T + "01.300")
    run = parse(LOG[:end] + "entirely done getting metadata from phone\n")
    assert summary.setup_time_bounds(run.phones[PHONE_B]) == [(pytest.approx(0.3), None)]
    assert "median at least 0.300 s" in summary.summary(run, "log")


def test_text_from_the_log_in_plot_labels_is_only_text(tmp_path):
    # A reason with formula markup, an impossible timestamp, and a level-1 line in a log
    # whose level line was lost.
    log = tmp_path / "odd.log"
    log.write_text(HELP + f"{T}00.000: Thread 1: FOUND phone with UUID {PHONE_A} RSSI = -60, MAC = "
                   "D2:4F:0A:91:3C:01\n"
                   f"{T}00.100: Thread 1: got expected BLE_GAP_EVT_CONNECTED\n"
                   f"{T}01.000: Thread 7: BLE_GAP_EVT_DISCONNECTED received, reason: 0x0013 "
                   "$\\frac{a}{$, conn_handle = 0\n"
                   "0000-00-00 00:00:00.000: Status: 1, message: x\n")
    result = report(log, "-o", tmp_path / "odd.html")
    assert result.returncode == 0, result.stderr
    assert "disconnections: 1: 1 x 0x0013 $\\frac{a}{$" in result.stdout
    assert (tmp_path / "odd.html").read_text().count("data:image/png;base64,") == 2


def test_reason_that_comes_after_the_next_connection_ends_the_old_link():
    # The work queue may connect the phone again (same handle) before it prints the reason of
    # the previous link's end; the event thread's line marks when that link ended.
    log = HELP + f"""{T}00.000: Thread 7: FOUND phone with UUID {PHONE_A} RSSI = -60, MAC = D2:4F:0A:91:3C:01
{T}00.050: Thread 7: got expected BLE_GAP_EVT_CONNECTED
Discovering primary services conn_handle = 0
entirely done getting metadata from phone
service discovery ended, available for new connection
{T}02.000: event handler thread got BLE_GAP_EVT_DISCONNECTED, post to worker thread to handle
{T}02.001: Thread 7: FOUND phone with UUID {PHONE_A} RSSI = -61, MAC = D2:4F:0A:91:3C:01
{T}02.005: Thread 7: got expected BLE_GAP_EVT_CONNECTED
Discovering primary services conn_handle = 0
{T}02.006: Thread 7: BLE_GAP_EVT_DISCONNECTED received, reason: 0x0014 BLE_HCI_REMOTE_DEV_TERMINATION_DUE_TO_LOW_RESOURCES, conn_handle = 0
{T}02.100: Received an un-handled event with ID: 18
entirely done getting metadata from phone
service discovery ended, available for new connection
{T}03.000: event handler thread got BLE_GAP_EVT_DISCONNECTED, post to worker thread to handle
{T}03.000: Thread 7: BLE_GAP_EVT_DISCONNECTED received, reason: 0x0008 BLE_HCI_CONNECTION_TIMEOUT, conn_handle = 0
"""
    run = parse(log)
    links = [(c.start, c.end, c.reason) for c in run.phones[PHONE_A].connections]
    origin = run.first_time
    assert [(round(s - origin, 3), round(e - origin, 3), r) for s, e, r in links] == [
        (0.05, 2.0, "0x0014 BLE_HCI_REMOTE_DEV_TERMINATION_DUE_TO_LOW_RESOURCES"),
        (2.005, 3.0, "0x0008 BLE_HCI_CONNECTION_TIMEOUT")]
    assert UNNAMED not in run.phones
