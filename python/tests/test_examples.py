"""The example scripts of examples/python run against tarvik-sim."""

from __future__ import annotations

import csv
import importlib.util
import io
import os
import subprocess
import sys

import pytest

import tarvik
from conftest import PACKAGE_ROOT, REPO, Sim

EXAMPLES = os.path.join(REPO, "examples", "python")


def example(name: str, *args: str, **options) -> subprocess.Popen:
    env = dict(os.environ)
    env["PYTHONPATH"] = PACKAGE_ROOT + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.Popen(
        [sys.executable, os.path.join(EXAMPLES, name), *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        **options,
    )


def finish(process: subprocess.Popen) -> str:
    out, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    return out


def test_read_write_and_history_csv(fresh_sim: Sim, tmp_path) -> None:
    port = str(fresh_sim.port)
    out = finish(example("read_write.py", "--port", port, "--tank", "TANK102"))
    assert "TANK102.SP = 62.5" in out and "TANK102.STATE = FILLING" in out
    target = tmp_path / "history.csv"
    finish(example("history_csv.py", "--port", port, "--minutes", "1", "--samples", "5", "-o", str(target), "TANK102.SP"))
    rows = list(csv.reader(io.StringIO(target.read_text())))
    assert rows[0] == ["time", "TANK102.SP"] and len(rows) == 6
    assert float(rows[-1][1]) == 62.5
    failed = example("read_write.py", "--port", "1", "--timeout", "0.2")
    _, err = failed.communicate(timeout=60)
    assert failed.returncode != 0 and "read_write: no ready session with 127.0.0.1:1" in err


def test_watch(fresh_sim: Sim) -> None:
    process = example("watch.py", "--port", str(fresh_sim.port), "--seconds", "30", "--count", "1", "PUMP103.SPEED")
    try:
        line = process.stdout.readline()
        assert line.startswith("watching PUMP103.SPEED"), process.stderr.read()
        with tarvik.connect("127.0.0.1", fresh_sim.port) as writer:
            writer.write("PUMP103.SPEED", 1234.5)
        out = finish(process)
    finally:
        if process.poll() is None:
            process.kill()
    assert "PUMP103.SPEED = 1234.5" in out


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="matplotlib not installed")
def test_history_plot(fresh_sim: Sim, tmp_path) -> None:
    target = tmp_path / "plot.png"
    finish(example("history_plot.py", "--port", str(fresh_sim.port), "--minutes", "1", "-o", str(target)))
    assert target.read_bytes()[:4] == b"\x89PNG"
