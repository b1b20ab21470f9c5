"""The report of real runs of orvette on worlds whose outcome is known must give that outcome,
and agree with the simulated dongle's own trace of the same run."""

from collections import Counter

import pytest

from conftest import PHONE_A, PHONE_B, report, run_orvette
from orvette_report import logparse, trace
from orvette_report.model import UNNAMED

LOW_RESOURCES = "0x0014 BLE_HCI_REMOTE_DEV_TERMINATION_DUE_TO_LOW_RESOURCES"


def parsed(log, trace_path):
    return logparse.parse(log.read_bytes()), trace.parse(trace_path.read_bytes())


@pytest.fixture(scope="module")
def disconnect_run(runs_dir):
    return run_orvette(runs_dir, "disconnect", level=3, seconds=3.0)


@pytest.fixture(scope="module")
def silent_run(runs_dir):
    return run_orvette(runs_dir, "silent-reads", level=4, seconds=3.0)


@pytest.fixture(scope="module")
def rssi_run(runs_dir):
    return run_orvette(runs_dir, "rssi-track", level=6, seconds=2.5, uuids=(PHONE_A, PHONE_B))


def test_disconnect_fault_is_one_disconnection_with_its_reason(disconnect_run):
    run, traced = parsed(*disconnect_run)
    phone = run.phones[PHONE_A]
    reasons = Counter(reason for _, reason in phone.disconnections)
    assert reasons[LOW_RESOURCES] == 1
    # The log names the phone of every disconnection at this level.
    assert "(phone not named in the log)" not in run.phones
    assert reasons == Counter(reason for _, reason in traced.phones[PHONE_A].disconnections)
    # The fault ends the first connection, which the phone reconnects after.
    assert phone.connections[0].reason == LOW_RESOURCES
    assert len(phone.connections) >= 2
    assert len(phone.setups) == len(phone.connections)
    assert all(s.completed for s in phone.setups[:-1])


def test_trace_times_the_disconnect_fault_on_the_simulated_clock(disconnect_run):
    _, traced = parsed(*disconnect_run)
    first = traced.phones[PHONE_A].connections[0]
    assert first.reason == LOW_RESOURCES
    # 20 s after the connection, at the next connection event (7.5 ms apart).
    assert 20.0 <= first.end - first.start <= 20.02
    assert [text for _, text in traced.faults] == ["phone disconnects (faults[0])"]


def test_summary_of_a_level_3_run(disconnect_run):
    log, trace_path = disconnect_run
    result = report(log, "-t", trace_path)
    assert result.returncode == 0, result.stderr
    text = result.stdout
    assert "disconnections: " in text and "1 x " + LOW_RESOURCES in text
    assert "set-up time (FOUND to end of metadata): median" in text
    assert "keep-alive reads: not in this log (keep-alive reads need -v4 or more; this log is " \
           "at -v3)" in text
    assert "counted one by one: not in this log (advertisements need -v6" in text


def test_silent_phone_has_one_timed_out_keepalive_read(silent_run):
    run, traced = parsed(*silent_run)
    phone = run.phones[PHONE_A]
    assert phone.keepalive_timed_out == 1
    assert phone.keepalive_cut == 0
    assert phone.keepalive_answered >= 1
    assert phone.challenges_ok >= 1
    # The time-out made the program drop the link; the phone was set up again.
    assert len(phone.connections) >= 2
    assert phone.connections[0].reason == "0x0016 BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION"
    assert len(phone.connections) == len(traced.phones[PHONE_A].connections)


def test_rssi_track_gives_its_end_points(rssi_run):
    run, traced = parsed(*rssi_run)
    falling = [dbm for _, dbm, _ in run.phones[PHONE_A].rssi]
    steady = [dbm for _, dbm, _ in run.phones[PHONE_B].rssi]
    assert min(falling) == -80 and max(falling) == -50
    assert set(steady) == {-66}
    # Every advertisement of a phone is one line at -v6; the trace may hold one or two more
    # that were still on their way when the program quit.
    for uuid in (PHONE_A, PHONE_B):
        logged = len(run.phones[uuid].rssi)
        in_trace = len([1 for _, _, s in traced.phones[uuid].rssi if s == "advertisement"])
        assert 0 <= in_trace - logged <= 3


def test_advertisements_counted_at_level_6_agree_with_the_trace(rssi_run):
    run, traced = parsed(*rssi_run)
    assert 0 <= len(traced.advertisements) - len(run.advertisements) <= 3
    assert len(run.advertisements) > 50


def test_level_raised_during_a_run(runs_dir):
    # Raised to 3 a second in, then 'd' drops the link so that a set-up happens at level 3.
    log, _ = run_orvette(runs_dir, "one-phone", level=0, seconds=2.5,
                         keys=[(1.0, "+\n+\n+\n"), (1.5, "d\n")])
    run = logparse.parse(log.read_bytes())
    assert [level for _, level in run.level_changes] == [1, 2, 3]
    assert [seg.level for seg in run.segments] == [0, 1, 2, 3]
    phone = run.phones[PHONE_A]
    # Nothing of the first connections is in the log: they were made at level 0.
    assert len(phone.setups) == 1 and phone.setups[0].completed
    # The link 'd' dropped was made at level 0, so the log never tied its handle to the phone.
    assert phone.disconnections == []
    assert [r for _, r in run.phones[UNNAMED].disconnections] == [
        "0x0016 BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION"]
    text = report(log).stdout
    assert "logging level: -v0 at the start; 1 from about" in text
    assert "set-ups completed: 1 of 1 started [only while at -v3 or more" in text
