"""The HTML page, opened in headless Chromium: it renders, with its plots, without script
errors, and needs nothing from the network."""

import re
import shutil
import subprocess

import pytest

from conftest import PHONE_A, PHONE_B, report, run_orvette


def chromium():
    path = shutil.which("chromium")
    if path is None:
        pytest.fail("chromium is not installed (scripts/lib.sh installs it)")
    return path


def browse(page, *how):
    # A fresh profile directory each time: a profile left locked by another run would stop it.
    command = [chromium(), "--headless", "--no-sandbox", "--disable-gpu",
               "--user-data-dir=" + str(page.parent / ("profile-" + page.stem)), *how,
               page.as_uri()]
    return subprocess.run(command, capture_output=True, text=True, timeout=180)


@pytest.fixture(scope="module")
def page(runs_dir):
    log, trace = run_orvette(runs_dir, "rssi-track", level=7, seconds=2.0,
                             uuids=(PHONE_A, PHONE_B))
    out = runs_dir / "report.html"
    result = report(log, "-t", trace, "-o", out)
    assert result.returncode == 0, result.stderr
    return out


def test_page_is_self_contained(page):
    text = page.read_text()
    assert not re.search(r"""(?:src|href)\s*=\s*["']?(?:https?:)?//""", text)
    assert "@import" not in text and "url(http" not in text
    # Timeline, set-up times, RSSI, advertising rate; then the trace's three.
    assert text.count('src="data:image/png;base64,') == 7


def test_page_renders_its_plots_without_script_errors(page):
    result = browse(page, "--dump-dom")
    assert result.returncode == 0, result.stderr
    body = re.search(r"<body[^>]*>", result.stdout).group(0)
    assert 'data-images-drawn="7/7"' in body, body
    assert "data-script-error" not in body
    assert "orvette run report" in result.stdout


def test_page_screenshot(page):
    shot = page.parent / "report.png"
    result = browse(page, "--screenshot=" + str(shot), "--window-size=1200,1600")
    assert result.returncode == 0, result.stderr
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert shot.stat().st_size > 20000  # a blank page is a few kilobytes


def test_page_of_a_level_0_log_says_what_is_missing(tmp_path):
    log = tmp_path / "quiet.log"
    log.write_text("'c' to do a challenge/response to connected phones (the response is not "
                   "validated)\n2026-12-08 10:00:00.000: Status: 6, message: Target Reset "
                   "performed\n2026-12-08 10:00:09.000: total advertisements received = 90 "
                   "(10.000000/second); total 128-bit UUID advertisements = 80\nExiting\n")
    out = tmp_path / "quiet.html"
    assert report(log, "-o", out).returncode == 0
    text = out.read_text()
    assert "Not in this log: set-ups need -v3 or more." in text
    assert "Not in this log: advertisements need -v6 or more." in text
    result = browse(out, "--dump-dom")
    body = re.search(r"<body[^>]*>", result.stdout).group(0)
    assert 'data-images-drawn="0/0"' in body and "data-script-error" not in body
