"""Wall times of backtest_ for two or more builds, side by side in one run.

    python benchmarks/compare_builds.py --python /path/a/bin/python --python /path/b/bin/python --only W1,W2

Each build runs in its own process per round, rounds alternate between the
builds, and the medians are reported: on a shared machine the builds then
see the same background load. Inputs come from the cache that callgrind.py
fills (built on first use).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from callgrind import cache_inputs  # noqa: E402

TIMER = r"""
import json, sys, time
import numpy as np
from korvel.core import excursion, portsim
folder, repeat = sys.argv[1], int(sys.argv[2])
meta = json.load(open(folder + "/meta.json"))
args = {name: np.load(f"{folder}/{name}.npy", allow_pickle=True) for name in meta["arrays"]}
args.update(meta["rules"])
portsim.backtest_(**args)
times = []
for _ in range(repeat):
    t0 = time.perf_counter()
    portsim.backtest_(**args)
    times.append(time.perf_counter() - t0)
print(json.dumps(times))
"""


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--python", action="append", required=True, help="an interpreter with a korvel build")
    p.add_argument("--only", default="W1,W2,W2R,W4")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--repeat", type=int, default=5, help="timed calls per process")
    p.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "korvel-bench-inputs"))
    a = p.parse_args(argv)
    for key in a.only.split(","):
        folder = cache_inputs(key, Path(a.cache))
        times = {py: [] for py in a.python}
        for _ in range(a.rounds):
            for py in a.python:
                out = subprocess.run(
                    [py, "-c", TIMER, str(folder), str(a.repeat)], capture_output=True, text=True, check=True
                )
                times[py] += json.loads(out.stdout)
        line = [f"{key}:"]
        for py in a.python:
            line.append(f"{statistics.median(times[py]) * 1e3:8.1f} ms (min {min(times[py]) * 1e3:.1f})")
        print("  ".join(line), f"load {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
