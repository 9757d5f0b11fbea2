#!/usr/bin/env python3
"""The Python package beside C++ (the C API) against one tarvik-sim, same run:

- a read of 1 item and of 1000 items (microseconds per read);
- changes per second reaching a callback with 10,000 subscribed items that the
  server's random walk moves every 10 ms (heartbeats every 10 ms).

    bench/bench_python.py [--build build-bench]

The build needs TARVIK_BENCH=ON (tarvik-capi-bench) and the tools (tarvik-sim).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))

import tarvik  # noqa: E402

POINTS = 2500
FIELDS = 4  # 10,000 items


def database(path: str) -> list:
    fields = [{"name": f"V{f}", "type": "double", "simulate": True, "min": 0, "max": 100, "initial": 50.0}
              for f in range(FIELDS)]
    points = [{"name": f"M{p:05d}", "type": 1} for p in range(POINTS)]
    with open(path, "w") as out:
        json.dump({"types": [{"id": 1, "name": "METER", "fields": fields}], "points": points}, out)
    return [f"M{p:05d}.V{f}" for p in range(POINTS) for f in range(FIELDS)]


class Server:
    def __init__(self, sim: str, *args: str) -> None:
        self.process = subprocess.Popen([sim, "--port", "0", *args], stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("listening on port "):
            raise SystemExit(f"tarvik-sim did not start: {line!r}")
        self.port = int(line.split()[-1])

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(10)


def capi(program: str, *args: str) -> dict:
    out = subprocess.run([program, *args], check=True, capture_output=True, text=True).stdout
    return {k: float(v) for k, v in (line.split() for line in out.splitlines())}


def python_read(port: int, names: list, repeat: int) -> float:
    with tarvik.connect("127.0.0.1", port) as client:
        single = names[0] if len(names) == 1 else None
        for _ in range(10):
            client.read(single or names)
        start = time.perf_counter()
        if single:
            for _ in range(repeat):
                client.read(single)
        else:
            for _ in range(repeat):
                client.read(names)
        return (time.perf_counter() - start) / repeat * 1e6


def python_watch(port: int, names: list, seconds: float) -> float:
    count = [0]
    lock = threading.Lock()

    def callback(changes: list) -> None:
        with lock:
            count[0] += len(changes)

    with tarvik.connect("127.0.0.1", port, heartbeat_interval=0.01) as client:
        with client.subscribe(names, callback):
            time.sleep(0.3)
            before = count[0]
            start = time.perf_counter()
            time.sleep(seconds)
            return (count[0] - before) / (time.perf_counter() - start)


def python_dispatch_capacity(port: int, names: list, rounds: int = 20) -> float:
    """Changes per second the package decodes and hands to a callback: one
    report of every subscribed item, fed straight to the data callback."""
    import ctypes
    import struct

    count = [0]
    with tarvik.connect("127.0.0.1", port) as client:
        with client.subscribe(names, lambda changes: count.__setitem__(0, count[0] + len(changes))) as sub:
            n = len(names)
            handles = (ctypes.c_int32 * n)(*sub.handles)
            users = (ctypes.c_int32 * n)(*sub._users)
            values = ctypes.create_string_buffer(struct.pack("<" + "Bd" * n, *([2, 1.5] * n)))
            on_data = client._core._on_data
            start = time.perf_counter()
            for _ in range(rounds):
                on_data(None, 0, n, ctypes.addressof(handles), ctypes.addressof(users), ctypes.addressof(values))
            elapsed = time.perf_counter() - start
    assert count[0] >= rounds * n  # (the server adds its own reports)
    return rounds * n / elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds; the best of each side counts")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of a change-rate measurement")
    args = parser.parse_args()
    sim = os.path.join(args.build, "tools", "tarvik-sim")
    program = os.path.join(args.build, "bench", "tarvik-capi-bench")
    os.environ.setdefault("TARVIK_C_LIBRARY", os.path.join(args.build, "src", "capi", "libtarvik_c.so.1"))
    print(f"library {tarvik.library_path()}")

    with tempfile.TemporaryDirectory() as work:
        names = database(os.path.join(work, "db.json"))
        server = Server(sim, "--db", os.path.join(work, "db.json"))
        try:
            for items, repeat in ((1, 5000), (1000, 500)):
                cpp, py = [], []
                for _ in range(args.rounds):
                    cpp.append(capi(program, str(server.port), "read", str(items), str(repeat), *names[:items])["read_us"])
                    py.append(python_read(server.port, names[:items], repeat))
                c, p = min(cpp), min(py)
                print(f"read {items:4d} item(s): C++ {c:8.1f} us   Python {p:8.1f} us   "
                      f"difference {p - c:+8.1f} us   ratio {p / c:5.2f}   "
                      f"(medians C++ {statistics.median(cpp):.1f}, Python {statistics.median(py):.1f})")
        finally:
            server.stop()
        server = Server(sim, "--db", os.path.join(work, "db.json"), "--simulate", "10")
        try:
            c = capi(program, str(server.port), "watch", str(args.seconds), *names)["changes_per_s"]
            p = python_watch(server.port, names, args.seconds)
            print(f"changes/s to a callback, {len(names)} items moved every 10 ms: "
                  f"C++ {c:,.0f}   Python {p:,.0f}   ratio {p / c:5.2f}")
            cap = python_dispatch_capacity(server.port, names)
            print(f"changes/s the Python callback path can take (decode and dispatch of "
                  f"{len(names)}-change reports, no server): {cap:,.0f}")
        finally:
            server.stop()


if __name__ == "__main__":
    main()
