#!/usr/bin/env python3
"""Prints the changes of some items as they arrive, for a while (Ctrl-C ends).

    python3 watch.py --port 4000 --seconds 30 TANK101.PV TANK102.PV
"""
import argparse
import threading

import tarvik

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--host", default="127.0.0.1")
parser.add_argument("--port", type=int, default=4000)
parser.add_argument("--local", action="store_true", help="the server on this machine")
parser.add_argument("--seconds", type=float, default=10.0, help="how long to watch")
parser.add_argument("--count", type=int, default=0, help="stop after this many changes (0: no limit)")
parser.add_argument("items", nargs="*", default=["TANK101.PV", "TANK101.SP"])
args = parser.parse_args()

done = threading.Event()
received = 0


def on_changes(changes):
    # Runs on the library's notification thread: keep it short.
    global received
    for change in changes:
        print(f"{change.time:%H:%M:%S.%f} {change.item} = {change.value}", flush=True)
    received += len(changes)
    if args.count and received >= args.count:
        done.set()


try:
    with tarvik.connect(args.host, args.port, local=args.local) as client:
        client.on_state(lambda state: print(f"connection: {state.name}", flush=True))
        with client.subscribe(args.items, on_changes):
            print(f"watching {', '.join(args.items)}", flush=True)
            done.wait(args.seconds)
except tarvik.Error as error:
    raise SystemExit(f"watch: {error}")
except KeyboardInterrupt:
    pass
