"""The launcher finds the package beside it in the source tree, through a symbolic link,
and in the installed layout (bin/ and share/orvette/python/)."""

import os
import shutil
import subprocess

from conftest import REPO, TOOL

LOG = ("'c' to do a challenge/response to connected phones (the response is not validated)\n"
       "2026-12-08 10:00:00.000: Status: 6, message: Target Reset performed\nExiting\n")


def run_launcher(launcher, tmp_path):
    log = tmp_path / "run.log"
    log.write_text(LOG)
    # Run from elsewhere, with no PYTHONPATH, so that only the launcher's own search counts.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    return subprocess.run([str(launcher), str(log)], capture_output=True, text=True, cwd="/",
                          env=env, timeout=120)


def test_source_tree_and_symbolic_link(tmp_path):
    assert run_launcher(TOOL, tmp_path).returncode == 0
    link = tmp_path / "orvette-report"
    link.symlink_to(TOOL)
    result = run_launcher(link, tmp_path)
    assert result.returncode == 0, result.stderr


def test_installed_layout(tmp_path):
    prefix = tmp_path / "usr"
    (prefix / "bin").mkdir(parents=True)
    shutil.copy2(TOOL, prefix / "bin" / "orvette-report")
    shutil.copytree(REPO / "tools" / "report" / "orvette_report",
                    prefix / "share" / "orvette" / "python" / "orvette_report",
                    ignore=shutil.ignore_patterns("__pycache__"))
    result = run_launcher(prefix / "bin" / "orvette-report", tmp_path)
    assert result.returncode == 0, result.stderr
    assert "start: in the log" in result.stdout
