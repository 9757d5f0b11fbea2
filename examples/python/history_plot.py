#!/usr/bin/env python3
"""Plots sampled history of some items into an image (needs matplotlib).

    python3 history_plot.py --port 4000 --minutes 60 --output tank.png TANK101.PV TANK101.SP
"""
import argparse
from datetime import datetime, timedelta

import tarvik

try:
    import matplotlib

    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot as plt
except ImportError:
    raise SystemExit("history_plot: needs matplotlib (apt-get install python3-matplotlib)")

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--host", default="127.0.0.1")
parser.add_argument("--port", type=int, default=4000)
parser.add_argument("--local", action="store_true", help="the server on this machine")
parser.add_argument("--minutes", type=float, default=60.0, help="how far back from now")
parser.add_argument("--samples", type=int, default=200, help="values per item")
parser.add_argument("--output", "-o", default="history.png", help="image file (PNG, SVG, PDF...)")
parser.add_argument("items", nargs="*", default=["TANK101.PV", "TANK101.SP"])
args = parser.parse_args()

end = datetime.now()
start = end - timedelta(minutes=args.minutes)
try:
    with tarvik.connect(args.host, args.port, local=args.local) as client:
        rows = client.history(args.items, start, end, samples=args.samples)
except tarvik.Error as error:
    raise SystemExit(f"history_plot: {error}")

figure, axes = plt.subplots(figsize=(10, 4))
times = [time for time, _ in rows]
for item in args.items:
    axes.plot(times, [values[item] for _, values in rows], label=item)
axes.set_xlabel("time")
axes.legend()
axes.grid(True, alpha=0.3)
figure.autofmt_xdate()
figure.savefig(args.output, dpi=100, bbox_inches="tight")
print(f"wrote {args.output}")
