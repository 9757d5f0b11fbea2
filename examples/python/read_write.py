#!/usr/bin/env python3
"""Reads a few values, writes a set point and a state, and reads them back.

    python3 read_write.py --port 4000
"""
import argparse

import tarvik

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--host", default="127.0.0.1")
parser.add_argument("--port", type=int, default=4000)
parser.add_argument("--local", action="store_true", help="the server on this machine")
parser.add_argument("--tank", default="TANK101")
parser.add_argument("--timeout", type=float, default=10.0, help="seconds to wait for the server")
args = parser.parse_args()

try:
    with tarvik.connect(args.host, args.port, local=args.local, timeout=args.timeout) as client:
        tank = args.tank
        print(f"{tank}.PV = {client.read(tank + '.PV')}")
        client.write({f"{tank}.SP": 62.5, f"{tank}.STATE": "FILLING"})
        for item, value in client.read([f"{tank}.SP", f"{tank}.STATE"]).items():
            print(f"{item} = {value}")
except tarvik.Error as error:
    raise SystemExit(f"read_write: {error}")
