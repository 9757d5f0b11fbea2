#!/usr/bin/env python3
"""Writes sampled history of some items as CSV (time, then one column per item).

    python3 history_csv.py --port 4000 --minutes 60 --samples 61 TANK101.PV > tank.csv
"""
import argparse
import csv
import sys
from datetime import datetime, timedelta

import tarvik

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--host", default="127.0.0.1")
parser.add_argument("--port", type=int, default=4000)
parser.add_argument("--local", action="store_true", help="the server on this machine")
parser.add_argument("--minutes", type=float, default=60.0, help="how far back from now")
parser.add_argument("--samples", type=int, default=61, help="values per item")
parser.add_argument("--output", "-o", help="CSV file (default: standard output)")
parser.add_argument("items", nargs="*", default=["TANK101.PV", "TANK101.SP"])
args = parser.parse_args()

end = datetime.now()
start = end - timedelta(minutes=args.minutes)
try:
    with tarvik.connect(args.host, args.port, local=args.local) as client:
        rows = client.history(args.items, start, end, samples=args.samples)
except tarvik.Error as error:
    raise SystemExit(f"history_csv: {error}")

out = open(args.output, "w", newline="") if args.output else sys.stdout
with out:
    writer = csv.writer(out)
    writer.writerow(["time"] + args.items)
    for time, values in rows:
        writer.writerow([time.isoformat(sep=" ")] + [values[item] for item in args.items])
