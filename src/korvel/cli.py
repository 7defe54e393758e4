"""The `korvel` command: ``demo``, ``run PRICES WEIGHTS`` and ``info``.

    korvel demo [--plot run.png] [--report run.html] ...
    korvel run closes.csv weights.csv [--open opens.csv] [--rebalance ME] [--stop-loss 0.1] --report out.html
    korvel info

Tables are CSV (dates in the first column) or Parquet (``.parquet`` / ``.pq``,
read with pyarrow when it is installed).
"""

from __future__ import annotations

import argparse
import importlib.util
import platform
import sys
from pathlib import Path
from typing import Any

__all__ = ["main", "read_table"]


def read_table(path: str, name: str) -> Any:
    """A DataFrame indexed by the dates of its first column (or of its index, for Parquet)."""
    import pandas as pd

    file = Path(path)
    if not file.exists():
        raise SystemExit(f"korvel: {name} file {path} does not exist")
    if file.suffix.lower() in (".parquet", ".pq"):
        if importlib.util.find_spec("pyarrow") is None:
            raise SystemExit(f"korvel: reading {name} from Parquet needs pyarrow: pip install pyarrow")
        table = pd.read_parquet(file)
        if not isinstance(table.index, pd.DatetimeIndex):
            table = table.set_index(table.columns[0])
    else:
        table = pd.read_csv(file, index_col=0)
    try:
        table.index = pd.DatetimeIndex(pd.to_datetime(table.index))
    except (TypeError, ValueError) as exc:
        raise SystemExit(f"korvel: the first column of {name} ({path}) must hold dates: {exc}") from None
    return table


def _run(a: argparse.Namespace) -> int:
    import korvel
    from korvel._demo import write_outputs
    from korvel.simulation._rules import rules_from_options

    closes = read_table(a.prices, "prices")
    tables: dict[str, Any] = {
        name: read_table(getattr(a, name), name) if getattr(a, name) else None for name in ("open", "high", "low")
    }
    delisted = None
    if a.delisted:
        table = read_table(a.delisted, "delisted")  # dates as index would be wrong: instrument, last date
        delisted = table.reset_index().set_index(table.reset_index().columns[1]).iloc[:, 0]
    weights = read_table(a.weights, "weights")
    benchmark: Any = None
    if a.benchmark:
        benchmark = read_table(a.benchmark, "benchmark").iloc[:, 0] if Path(a.benchmark).exists() else a.benchmark
    try:
        market = korvel.Market(closes, delisted=delisted, **tables)
        result = korvel.backtest(weights, market, benchmark=benchmark, **rules_from_options(a))
    except (TypeError, ValueError) as exc:
        print(f"korvel: {exc}", file=sys.stderr)
        return 2
    print(result.summary())
    if a.trades:
        result.trades.to_csv(a.trades)
        print(f"\ntrades written to {a.trades}")
    return write_outputs(result, a.plot, a.report)


def _info(a: argparse.Namespace) -> int:
    import numpy

    import korvel
    from korvel._engine import describe_engine

    print(f"korvel {korvel.__version__} on Python {platform.python_version()} ({platform.platform()})")
    for name, file in describe_engine():
        print(f"  {name}: {file}")
    print(f"numpy {numpy.__version__}")
    for name, extra in (("pandas", "a dependency"), ("matplotlib", "extra 'plot'"), ("pyarrow", "for Parquet")):
        try:
            version = __import__(name).__version__
        except ImportError:
            version = f"not installed ({extra})"
        print(f"{name} {version}")
    return 0


def _demo(a: argparse.Namespace) -> int:
    from korvel import _demo

    return _demo.main(a)


def parser() -> argparse.ArgumentParser:
    from korvel import _demo as demo
    from korvel.simulation._rules import add_rule_options

    p = argparse.ArgumentParser(prog="korvel", description="Portfolio backtests from the command line.")
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser("demo", help="a momentum backtest on a synthetic market", description=demo.__doc__)
    demo.add_arguments(d)
    d.set_defaults(handler=_demo)
    r = sub.add_parser("run", help="backtest weights from files", description=__doc__)
    r.add_argument("prices", help="closing prices, dates x instruments (CSV or Parquet)")
    r.add_argument("weights", help="target weights, decision dates x instruments")
    for name in ("open", "high", "low"):
        r.add_argument(f"--{name}", metavar="FILE", help=f"{name} prices (default: the closes)")
    r.add_argument("--delisted", metavar="FILE", help="two columns: instrument, last trading date")
    r.add_argument("--benchmark", metavar="FILE|INSTRUMENT", help="benchmark prices (one column) or an instrument")
    add_rule_options(r)
    r.add_argument("--report", metavar="PATH", help="write the HTML report")
    r.add_argument("--plot", metavar="PATH", help="write the chart (PNG)")
    r.add_argument("--trades", metavar="PATH", help="write the trades table (CSV)")
    r.set_defaults(handler=_run)
    i = sub.add_parser("info", help="versions and where the native modules are")
    i.set_defaults(handler=_info)
    return p


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        code: int = args.handler(args)
    except BrokenPipeError:  # output piped into head and the like
        sys.stderr.close()
        return 0
    return code
