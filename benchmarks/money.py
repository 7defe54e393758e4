"""What the money rules cost: the layer's W1 and daily (W2) figures, side by side in one run.

    python benchmarks/money.py --before /path/to/site-packages-of-another-build
    python benchmarks/money.py                  # the rules on against off, this build alone

1. Defaults, before against after: `korvel.backtest` + `res.trades` +
   `res.stats()` on W1 (5000 x 2000, monthly, stops, excursion window) and
   W2 (2500 x 500, daily long/short), once with the build found first on
   `--before` (a directory put in front of the import path) and once with
   this one.
2. This build, W2 with leverage (the weights x 2 at max_gross=2), cash and
   margin interest, a borrow fee and slippage all on, against the same
   weights with every money rule off.

Each figure runs in its own process per round and the rounds alternate, so
both sides see the same background load on a shared machine; the medians of
all timed calls are reported.  With ``--callgrind`` each workload's defaults
(before and after) and W2 with the rules on and off are also counted in
instructions (valgrind's callgrind, every instruction of a process making
one call against one making two: their difference is one call in steady
state), which the machine's load does not change.
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

TIMER = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import layer, workloads
from korvel import synthetic
key, repeat, mode = sys.argv[2], int(sys.argv[3]), sys.argv[4]
# The market and weights of the workload, built as the layer benchmark builds them (by any build).
generated, rows, _ = workloads.ALL[key].build()
market, weights = synthetic.to_layer(generated, rows)
rules = layer.LAYER_RULES[key]
if mode == "on":
    weights = weights * 2.0
    rules = dict(rules, max_gross=2.0, cash_rate=0.04, margin_rate=0.06, borrow_fee=0.01, slippage=0.0005)
import warnings
warnings.simplefilter("ignore")
layer.layer_call(market, weights, rules)
times = []
for _ in range(repeat):
    t0 = time.perf_counter()
    layer.layer_call(market, weights, rules)
    times.append(time.perf_counter() - t0)
print(json.dumps(times))
"""


COUNTER = r"""
import pickle, sys, warnings
sys.path.insert(0, sys.argv[1])
import korvel
warnings.simplefilter("ignore")
market, weights, rules = pickle.load(open(sys.argv[2], "rb"))
for _ in range(int(sys.argv[3])):
    res = korvel.backtest(weights, market, **rules)
    res.trades
    res.stats()
"""

PICKLER = r"""
import pickle, sys
sys.path.insert(0, sys.argv[1])
import layer, workloads
from korvel import synthetic
generated, rows, _ = workloads.ALL[sys.argv[2]].build()
market, weights = synthetic.to_layer(generated, rows)
rules = layer.LAYER_RULES[sys.argv[2]]
if sys.argv[4] == "on":
    weights = weights * 2.0
    rules = dict(rules, max_gross=2.0, cash_rate=0.04, margin_rate=0.06, borrow_fee=0.01, slippage=0.0005)
pickle.dump((market.close, weights, rules), open(sys.argv[3], "wb"))
"""


def instructions(key: str, mode: str, path: str | None, folder: Path) -> int:
    """Instructions of one steady-state call: a process making two calls less one making one."""
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path + os.pathsep + env.get("PYTHONPATH", "")
    data = folder / f"{key}-{mode}.pickle"
    subprocess.run([sys.executable, "-c", PICKLER, str(HERE), key, str(data), mode], check=True, env=env)
    counts = []
    for calls in (1, 2):
        out = folder / f"cg-{key}-{mode}-{calls}-{os.getpid()}-{bool(path)}"
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                sys.executable,
                "-c",
                COUNTER,
                str(HERE),
                str(data),
                str(calls),
            ],
            check=True,
            env=env,
            capture_output=True,
        )
        summary = next(line for line in out.read_text().splitlines() if line.startswith("summary:"))
        counts.append(int(summary.split()[1]))
    return counts[1] - counts[0]


def run(key: str, mode: str, repeat: int, path: str | None) -> list[float]:
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.run(
        [sys.executable, "-c", TIMER, str(HERE), key, str(repeat), mode],
        capture_output=True,
        text=True,
        check=True,
        env=env,
    )
    times: list[float] = json.loads(out.stdout.strip().splitlines()[-1])
    return times


def compare(key: str, sides: dict[str, tuple[str, str | None]], rounds: int, repeat: int) -> dict[str, float]:
    times: dict[str, list[float]] = {name: [] for name in sides}
    for _ in range(rounds):
        for name, (mode, path) in sides.items():
            times[name].extend(run(key, mode, repeat, path))
    return {name: statistics.median(t) for name, t in times.items()}


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--before", help="a site-packages directory holding the build to compare against")
    p.add_argument("--only", default="W1,W2")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--callgrind", action="store_true", help="also count instructions under valgrind")
    a = p.parse_args(argv)
    if a.callgrind:
        import tempfile

        with tempfile.TemporaryDirectory() as tmp:
            folder = Path(tmp)
            if a.before:
                for key in a.only.split(","):
                    before = instructions(key, "off", a.before, folder)
                    after = instructions(key, "off", None, folder)
                    print(
                        f"{key} defaults, instructions: before {before:,}, after {after:,} ({after / before - 1:+.2%})",
                        flush=True,
                    )
            off = instructions("W2", "off", None, folder)
            on = instructions("W2", "on", None, folder)
            print(f"W2 money rules, instructions: off {off:,}, on {on:,} ({on / off - 1:+.2%})")
    print(f"load average before: {os.getloadavg()}")
    for key in a.only.split(","):
        if a.before:
            m = compare(key, {"before": ("off", a.before), "after": ("off", None)}, a.rounds, a.repeat)
            print(
                f"{key} defaults: before {1e3 * m['before']:.2f} ms, after {1e3 * m['after']:.2f} ms "
                f"({m['after'] / m['before'] - 1:+.1%})",
                flush=True,
            )
    m = compare("W2", {"off": ("off", None), "on": ("on", None)}, a.rounds, a.repeat)
    print(f"W2 money rules: off {1e3 * m['off']:.2f} ms, on {1e3 * m['on']:.2f} ms ({m['on'] / m['off'] - 1:+.1%})")
    print(f"load average after: {os.getloadavg()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
