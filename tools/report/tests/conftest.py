"""Runs of the built orvette on the scenarios of scenarios/, and the way to call the report."""

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[2]
TOOL = REPO / "tools" / "orvette-report"
sys.path.insert(0, str(HERE.parent))

PHONE_A = "a0a489971097bba1b343eddd8f50f6ac"
PHONE_B = "feedfeadfeadfeadfeadfeadfeadfead"


def orvette_binary():
    path = os.environ.get("ORVETTE_BIN") or str(REPO / "build-normal" / "orvette")
    if not os.access(path, os.X_OK):
        pytest.fail("no orvette program at %s (ctest hands it in ORVETTE_BIN)" % path)
    return path


def run_orvette(directory, scenario, level, seconds, uuids=(PHONE_A,), keys=()):
    """Runs orvette on scenarios/<scenario>.json with a trace, types `keys` ((delay, text)
    pairs) and quits `seconds` of real time after the dongle was opened. Returns (log path,
    trace path)."""
    directory = Path(tempfile.mkdtemp(prefix=scenario + "-", dir=directory))
    world = json.loads((HERE / "scenarios" / (scenario + ".json")).read_text())
    trace = directory / (scenario + ".trace.jsonl")
    world["trace"] = str(trace)
    world_file = directory / (scenario + ".json")
    world_file.write_text(json.dumps(world))
    log = directory / (scenario + ".log")
    command = [orvette_binary(), "-csim:" + str(world_file), "-v%d" % level]
    command += ["-u" + uuid for uuid in uuids]
    with open(log, "wb") as out:
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=out,
                                   stderr=subprocess.STDOUT)
        try:
            started = _wait_until_open(log, process)
            for delay, text in keys:
                time.sleep(max(0.0, started + delay - time.monotonic()))
                process.stdin.write(text.encode())
                process.stdin.flush()
            time.sleep(max(0.0, started + seconds - time.monotonic()))
            process.stdin.write(b"q\n")
            process.stdin.close()
            assert process.wait(timeout=120) == 0
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
    return log, trace


def _wait_until_open(log, process):
    """Key times count from the dongle's open, not from the process start, which a busy
    machine may delay by a second or more."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.poll() is None:
        if b"Connection active" in log.read_bytes():
            return time.monotonic()
        time.sleep(0.02)
    pytest.fail("orvette did not open the simulated dongle: %s" % log.read_text(errors="replace"))


def report(*args):
    """Runs the launcher; returns the CompletedProcess."""
    return subprocess.run([str(TOOL)] + [str(a) for a in args], capture_output=True, text=True,
                          timeout=300)


@pytest.fixture(scope="session")
def runs_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("runs")
