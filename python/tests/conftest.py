"""Fixtures: tarvik-sim on a free port, and clients of it.

The server is the build tree's tools/tarvik-sim (or TARVIK_SIM, or tarvik-sim
on PATH). The package is the one beside this directory."""

from __future__ import annotations

import glob
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from typing import Callable, Iterator, List, Optional

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.dirname(HERE)
REPO = os.path.dirname(PACKAGE_ROOT)
sys.path.insert(0, PACKAGE_ROOT)

import tarvik  # noqa: E402


def sim_path() -> str:
    explicit = os.environ.get("TARVIK_SIM")
    if explicit:
        return explicit
    built = os.path.join(REPO, "build", "tools", "tarvik-sim")
    if os.path.isfile(built):
        return built
    found = shutil.which("tarvik-sim")
    if found:
        return found
    pytest.skip("tarvik-sim not found: build it (build/tools/tarvik-sim) or set TARVIK_SIM")
    raise AssertionError


def _thread_stopped(stat_path: str) -> bool:
    try:
        with open(stat_path) as f:
            # the state follows the command name, which is in parentheses
            return f.read().rsplit(")", 1)[1].split()[0] in ("T", "t")
    except (OSError, IndexError):
        return True  # the thread is gone


class Sim:
    """A running tarvik-sim process."""

    def __init__(self, *args: str) -> None:
        self.process = subprocess.Popen(
            [sim_path(), "--port", "0", *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.port = 0
        line = self.process.stdout.readline()  # blocks until it listens or dies
        if not line.startswith("listening on port "):
            self.stop()
            raise RuntimeError(f"tarvik-sim did not start: {line!r} {self.process.stderr.read()!r}")
        self.port = int(line.split()[-1])
        self.lines: List[str] = []
        threading.Thread(target=self._drain, daemon=True).start()

    def pause(self) -> None:
        """Stops the process (SIGSTOP) and returns once every thread of it has
        stopped: a thread busy on another CPU could still answer a request
        sent right after the signal."""
        self.process.send_signal(signal.SIGSTOP)
        deadline = time.monotonic() + 5.0
        while time.monotonic() < deadline:
            if all(_thread_stopped(t) for t in glob.glob(f"/proc/{self.process.pid}/task/*/stat")):
                return
            time.sleep(0.002)
        raise RuntimeError("tarvik-sim did not stop within 5 s")

    def resume(self) -> None:
        self.process.send_signal(signal.SIGCONT)

    def _drain(self) -> None:
        for line in self.process.stdout:
            self.lines.append(line)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


@pytest.fixture(scope="session")
def sim() -> Iterator[Sim]:
    server = Sim()
    yield server
    server.stop()


@pytest.fixture
def fresh_sim() -> Iterator[Sim]:
    """A server of the test's own, for tests that stop it or need its history clean."""
    server = Sim()
    yield server
    server.stop()


@pytest.fixture
def client(sim: Sim) -> Iterator[tarvik.Client]:
    with tarvik.connect("127.0.0.1", sim.port, timeout=10.0, heartbeat_interval=0.05) as c:
        yield c


@pytest.fixture
def other(sim: Sim) -> Iterator[tarvik.Client]:
    """A second client of the same server."""
    with tarvik.connect("127.0.0.1", sim.port, timeout=10.0) as c:
        yield c


def wait_for(condition: Callable[[], bool], timeout: float = 10.0) -> bool:
    """Polls a condition until it holds or the deadline passes."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


def thread_count() -> Optional[int]:
    """Threads of this process (Linux), the library's included."""
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return None
