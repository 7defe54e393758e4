"""The client's memory when a sweep resumes from, or `Sweep.open` reads, a store of many finished combinations.

    python benchmarks/store_resume.py                  # 1,000,000 combinations (a few minutes)
    python benchmarks/store_resume.py --count 100000

A store of N finished combinations is written directly, without a backtest
(`Store.add` of one real combination's outcome for each, in chunks of the
usual 1,000): the flat sweep's grid (10 book sizes x N/10 stop losses, as
axes) of `sweep.py`'s cheap strategy, keep="stats", on a 250 x 20
close-only market.  Then each case runs in a fresh process under
tracemalloc (which traces NumPy's arrays too), and prints the peak of the
traced bytes during the call, what is still traced after it (the `Sweep`),
the seconds it took (tracemalloc slows allocation-heavy code), and the
peak above that while `.stats` then builds its frame:

- resume: ``korvel.sweep(cheap, market, grid, checkpoint=store)``, which
  finds every combination in the store and runs none;
- open: ``korvel.Sweep.open(store)``;
- open listed: the same, with the store's grid.json rewritten in the
  layout of earlier versions (every combination listed, one row each).

Both include the statistics' columns the client keeps (8 bytes per figure
and combination), printed apart.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
MIB = 1 << 20
CASES = ("resume", "open", "open listed")


def market() -> Any:
    import korvel
    from korvel import synthetic

    return korvel.Market(synthetic.to_layer(synthetic.generate_market(20, 250, 8))[0].close)


def write_store(folder: Path, count: int) -> None:
    """A store of `count` finished combinations (each with one real combination's statistics)."""
    sys.path.insert(0, str(HERE))
    from sweep import cheap, flat_grid

    from korvel.sweeps._fingerprint import fingerprint
    from korvel.sweeps._grid import expand
    from korvel.sweeps._store import Store
    from korvel.sweeps._task import Job, run_task

    m = market()
    combos = expand(flat_grid(count))
    outcome = run_task(Job(cheap, {}, {}, ("stats",)), m, combos.params[0])
    with Store(folder, fingerprint(cheap, {}, m, ("stats",)), combos, ("stats",)) as store:
        for params in combos.params:
            store.add(params, outcome)


def list_the_grid(folder: Path) -> None:
    """grid.json as earlier versions wrote it: every combination, one row each."""
    given = json.loads((folder / "grid.json").read_text())
    rows = [list(values) for values in itertools.product(*given["axes"])]  # the axes' values as written
    (folder / "grid.json").write_text(json.dumps({"keys": given["keys"], "combinations": rows}))


def one(case: str, folder: Path, count: int) -> dict[str, Any]:
    """In this (fresh) process: one case, traced."""
    sys.path.insert(0, str(HERE))
    from sweep import cheap, flat_grid

    import korvel

    m = market()
    grid = flat_grid(count)
    tracemalloc.start()
    t0 = time.perf_counter()
    if case == "resume":
        sw = korvel.sweep(cheap, m, grid, checkpoint=folder, progress=False)
    else:
        sw = korvel.Sweep.open(folder)
    seconds = time.perf_counter() - t0
    after, peak = tracemalloc.get_traced_memory()
    tracemalloc.reset_peak()
    stats = sw._stats  # the frame, built once
    frame = tracemalloc.get_traced_memory()[1] - after
    tracemalloc.stop()
    assert len(stats) == count, (len(stats), count)
    columns = sum(c.nbytes for c in sw._collected.columns.values())
    return {"case": case, "seconds": seconds, "peak": peak, "after": after, "columns": columns, "frame": frame}


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--count", type=int, default=1_000_000, help="combinations (a multiple of 10; 1,000,000)")
    p.add_argument("--store", help="the store's folder, kept (and reused when it is there) rather than temporary")
    p.add_argument("--one", choices=CASES, help=argparse.SUPPRESS)
    p.add_argument("--folder", help=argparse.SUPPRESS)
    opts = p.parse_args(argv)
    if opts.one:
        print(json.dumps(one(opts.one, Path(opts.folder), opts.count)))
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(opts.store) if opts.store else Path(tmp) / "s.store"
        if not (folder / "manifest.json").exists():
            t0 = time.perf_counter()
            write_store(folder, opts.count)
            print(f"store of {opts.count:,} combinations written in {time.perf_counter() - t0:.0f} s", flush=True)
        print("| case | peak traced | traced after | of which the stats columns | seconds | then .stats: peak |")
        print("|---|---:|---:|---:|---:|---:|")
        for case in CASES:
            if case == "open listed":
                list_the_grid(folder)
            out = subprocess.run(
                [sys.executable, __file__, "--one", case, "--folder", str(folder), "--count", str(opts.count)],
                capture_output=True,
                text=True,
                env=dict(os.environ),
            )
            if out.returncode:
                print(f"| {case} | failed: {out.stderr.strip().splitlines()[-1]} |||||", flush=True)
                continue
            r = json.loads(out.stdout.strip().splitlines()[-1])
            print(
                f"| {case} | {r['peak'] / MIB:,.1f} MiB | {r['after'] / MIB:,.1f} MiB | {r['columns'] / MIB:,.1f} MiB "
                f"| {r['seconds']:,.1f} | +{r['frame'] / MIB:,.1f} MiB |",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
