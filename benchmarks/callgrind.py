"""Instruction counts of the engine on the benchmark workloads, with callgrind.

    python benchmarks/callgrind.py                    # W1, W2, W2R, W4 with this interpreter's korvel
    python benchmarks/callgrind.py --only W2 --python .venv-prof/bin/python
    python benchmarks/callgrind.py --annotate 25      # also the 25 costliest functions per workload

Instruction counts do not depend on what else the machine is doing, so they
compare builds (before / after a change) where wall times on a shared
machine cannot.  Each workload's inputs are built once and cached as .npy
files; then, under valgrind, the interpreter loads them and calls
``backtest_`` once, and in a second valgrind run twice.  Only instructions
executed inside ``backtest_`` are counted (``--toggle-collect``); the
difference of the two runs is the second call, the steady state, which
includes releasing the previous run's trade records.  For
function-level profiles use a build with symbols, e.g.

    make install VENV=.venv-prof BUILD_DIR=build/prof \\
        BUILD_SETTINGS='-C cmake.define.KORVEL_EXTRA_FLAGS=-g -C install.strip=false'
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

ARRAYS = (
    "price_values",
    "close_values",
    "high_values",
    "low_values",
    "open_values",
    "price_index",
    "price_columns",
    "pos_values",
    "pos_index",
    "pos_columns",
    "resample",
    "delisting_bars",
)

RUNNER = r"""
import json, sys
import numpy as np
from korvel.core import excursion, portsim
folder = sys.argv[1]
meta = json.load(open(folder + "/meta.json"))
args = {name: np.load(f"{folder}/{name}.npy", allow_pickle=True) for name in meta["arrays"]}
args.update(meta["rules"])
for _ in range(int(sys.argv[2])):
    portsim.backtest_(**args)
print(len(excursion.trades))
"""


def cache_inputs(key: str, root: Path) -> Path:
    folder = root / key
    if (folder / "meta.json").exists():
        return folder
    folder.mkdir(parents=True, exist_ok=True)
    _, _, args = workloads.ALL[key].build()
    for name in ARRAYS:
        np.save(folder / f"{name}.npy", args.pop(name))
    (folder / "meta.json").write_text(json.dumps({"arrays": ARRAYS, "rules": args}))
    return folder


def run_counted(
    python: str, folder: Path, calls: int, key: str, runner: str = RUNNER, function: str = "*py_backtest*"
) -> tuple[int, int, Path]:
    """(instructions inside `function`, the runner's last output word, callgrind output file)."""
    out = Path(tempfile.mkdtemp(prefix=f"cg-{key}-")) / "callgrind.out"
    cmd = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        "--collect-atstart=no",
        f"--toggle-collect={function}",
        python,
        "-c",
        runner,
        str(folder),
        str(calls),
    ]
    res = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    if res.returncode != 0:
        raise SystemExit(res.stderr[-3000:])
    m = re.search(r"^summary:\s+(\d+)", out.read_text(errors="replace"), re.M)
    return int(m.group(1)), int(res.stdout.split()[-1]), out


def count(key: str, python: str, root: Path, annotate: int) -> dict:
    folder = cache_inputs(key, root)
    first, records, _ = run_counted(python, folder, 1, key)
    both, _, out = run_counted(python, folder, 2, key)
    steady = both - first
    w = workloads.ALL[key]
    result = {
        "workload": key,
        "instructions": steady,
        "first_call": first,
        "records": records,
        "per_row_holding": steady / (w.rows * w.holdings),
        "per_record": steady / max(records, 1),
    }
    if annotate:
        # The profile of both calls: the shares of the steady state are close to it.
        ann = subprocess.run(["callgrind_annotate", "--inclusive=no", str(out)], capture_output=True, text=True)
        lines = [ln for ln in ann.stdout.splitlines() if re.match(r"^\s*[\d,]+ \(", ln)]
        result["top"] = lines[:annotate]
    return result


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--only", default="W1,W2,W2R,W4")
    p.add_argument("--python", default=sys.executable, help="interpreter whose korvel is measured")
    p.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "korvel-bench-inputs"))
    p.add_argument("--annotate", type=int, default=0, metavar="N")
    p.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    a = p.parse_args(argv)
    results = []
    for key in a.only.split(","):
        r = count(key, a.python, Path(a.cache), a.annotate)
        results.append(r)
        print(
            f"{key}: {r['instructions']:,} instructions (first call {r['first_call']:,}), {r['records']:,} "
            f"records, {r['per_row_holding']:.0f} per row x holding, {r['per_record']:.0f} per record"
        )
        for line in r.get("top", []):
            print("   ", line)
    if a.json:
        Path(a.json).write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
