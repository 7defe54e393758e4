"""What trading at a size costs: W1 with a capital, the impact model and participation caps on, against
the same run without them, side by side in one run.

    python benchmarks/size.py

`korvel.backtest` + `res.trades` + `res.stats()` on W1 (5000 x 2000,
monthly into 50 longs, stops, an excursion window; the synthetic market's
volume), once with the rules off and once with ``capital=1e8, impact=True,
participation=0.1`` (the per-cell impact coefficients and fill limits
worked out from the market, the fills recorded for the capacity).  Each
side runs in its own process per round and the rounds alternate, so both
see the same background load on a shared machine; the medians of all timed
calls are reported.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

#: The rules of the "on" side.
SIZE_RULES = {"capital": 1e8, "impact": True, "participation": 0.1}

TIMER = r"""
import json, sys, time, warnings
sys.path.insert(0, sys.argv[1])
import layer
key, repeat, mode, extra = sys.argv[2], int(sys.argv[3]), sys.argv[4], json.loads(sys.argv[5])
market, weights, rules, _ = layer.prepare(key)
if mode == "on":
    rules = dict(rules, **extra)
warnings.simplefilter("ignore")
layer.layer_call(market, weights, rules)
times = []
for _ in range(repeat):
    t0 = time.perf_counter()
    layer.layer_call(market, weights, rules)
    times.append(time.perf_counter() - t0)
print(json.dumps(times))
"""


def run(key: str, mode: str, repeat: int) -> list[float]:
    out = subprocess.run(
        [sys.executable, "-c", TIMER, str(HERE), key, str(repeat), mode, json.dumps(SIZE_RULES)],
        capture_output=True,
        text=True,
        check=True,
    )
    times: list[float] = json.loads(out.stdout.strip().splitlines()[-1])
    return times


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--workload", default="W1")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--repeat", type=int, default=3)
    a = p.parse_args(argv)
    print(f"load average before: {os.getloadavg()}")
    times: dict[str, list[float]] = {"off": [], "on": []}
    for _ in range(a.rounds):
        for mode in times:
            times[mode].extend(run(a.workload, mode, a.repeat))
    off, on = statistics.median(times["off"]), statistics.median(times["on"])
    print(f"{a.workload} size rules {SIZE_RULES}: off {off:.3f} s, on {on:.3f} s ({on / off:.2f}x)")
    print(f"load average after: {os.getloadavg()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
