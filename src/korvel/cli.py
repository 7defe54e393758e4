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
import re
import sys
import warnings
from pathlib import Path
from typing import Any

__all__ = ["InputError", "main", "read_table"]


class InputError(Exception):
    """A file the command cannot use: one line for the user, exit code 2."""


#: Dates written as numbers: YYYYMMDD.
_YYYYMMDD = (10000101, 99991231)
_COMMA_DECIMAL = re.compile(r"^\s*[-+]?\d+,\d+\s*$")


def read_table(path: str, name: str) -> Any:
    """A DataFrame indexed by the dates of its first column (or of its index, for Parquet).

    Raises `InputError` naming the file and what is wrong with it.
    """
    import pandas as pd

    file = Path(path)
    if not file.exists():
        raise InputError(f"{name} file {path} does not exist")
    if file.is_dir():
        raise InputError(f"{name} file {path} is a folder")
    if file.suffix.lower() in (".parquet", ".pq"):
        if importlib.util.find_spec("pyarrow") is None:
            raise InputError(f"reading {name} from Parquet ({path}) needs pyarrow: pip install pyarrow")
        table = pd.read_parquet(file)
        if not isinstance(table.index, pd.DatetimeIndex) and len(table.columns):
            table = table.set_index(table.columns[0])
    else:
        try:
            table = pd.read_csv(file, index_col=0)
        except pd.errors.EmptyDataError:
            raise InputError(f"{name} file {path} is empty") from None
        except (pd.errors.ParserError, UnicodeDecodeError, ValueError) as exc:
            first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
            raise InputError(f"{name} file {path} is not a CSV table korvel can read: {first}") from None
        header = [str(table.index.name or "")] + [str(c) for c in table.columns]
        if len(table.columns) <= 1 and any(";" in h or "\t" in h for h in header):
            sep = "';'" if any(";" in h for h in header) else "tabs"
            raise InputError(f"{name} file {path} separates its columns with {sep}; korvel reads ',' separated CSV")
    if table.empty:
        raise InputError(f"{name} file {path} has no data ({table.shape[0]} rows x {table.shape[1]} columns)")
    _numbers(table, name, path)
    table.index = _dates(table.index, name, path)
    return table


def _numbers(table: Any, name: str, path: str) -> None:
    """Every column must hold numbers; ',' as a decimal mark is named as such."""
    import pandas as pd

    for column in table.columns:
        values = table[column]
        if pd.api.types.is_numeric_dtype(values.dtype) and not pd.api.types.is_bool_dtype(values.dtype):
            continue
        known = values.dropna()
        text = next((str(v) for v in known if not _is_number(v)), None)
        if text is None:
            continue
        if _COMMA_DECIMAL.match(text):
            raise InputError(
                f"{name} file {path} writes numbers with ',' as the decimal mark ({text!r} in column {column!r}); "
                "korvel reads '.' decimals"
            )
        raise InputError(f"{name} file {path} has text in column {column!r} ({text!r}); numbers are expected")


def _is_number(value: object) -> bool:
    try:
        float(str(value))
    except ValueError:
        return False
    return True


def _dates(index: Any, name: str, path: str) -> Any:
    import pandas as pd

    if isinstance(index, pd.DatetimeIndex):
        return index
    try:
        if pd.api.types.is_integer_dtype(index.dtype) and ((index >= _YYYYMMDD[0]) & (index <= _YYYYMMDD[1])).all():
            return pd.DatetimeIndex(pd.to_datetime(index.astype(str), format="%Y%m%d"))
        return pd.DatetimeIndex(pd.to_datetime(index))
    except (TypeError, ValueError, OverflowError) as exc:
        first = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise InputError(f"the first column of {name} file {path} must hold dates: {first}") from None


def _looks_like_weights(table: Any) -> bool:
    values = table.to_numpy(dtype=float, na_value=float("nan"))
    known = values[~(values != values)]
    return bool(known.size) and bool((abs(known) <= 1).all())


def _looks_like_prices(table: Any) -> bool:
    values = table.to_numpy(dtype=float, na_value=float("nan"))
    known = values[~(values != values)]
    return bool(known.size) and bool((known > 0).all()) and bool((known > 1).any())


def _writable(path: str | None, what: str) -> None:
    if path is None:
        return
    folder = Path(path).expanduser().resolve().parent
    if not folder.is_dir():
        raise InputError(f"cannot write the {what} to {path}: the folder {folder} does not exist")


def _run(a: argparse.Namespace) -> int:
    import korvel
    from korvel._demo import print_orders, write_outputs
    from korvel.simulation._rules import rules_from_options

    for path, what in ((a.report, "report"), (a.plot, "chart"), (a.trades, "trades")):
        _writable(path, what)
    closes = read_table(a.prices, "prices")
    weights = read_table(a.weights, "weights")
    if _looks_like_weights(closes) and _looks_like_prices(weights):
        raise InputError(
            f"prices file {a.prices} holds weights and weights file {a.weights} holds prices: "
            "the prices come first (korvel run PRICES WEIGHTS)"
        )
    tables: dict[str, Any] = {
        name: read_table(getattr(a, name), name) if getattr(a, name) else None for name in ("open", "high", "low")
    }
    delisted = None
    if a.delisted:
        table = read_table(a.delisted, "delisted")  # dates as index would be wrong: instrument, last date
        delisted = table.reset_index().set_index(table.reset_index().columns[1]).iloc[:, 0]
    benchmark: Any = None
    if a.benchmark:
        benchmark = read_table(a.benchmark, "benchmark").iloc[:, 0] if Path(a.benchmark).exists() else a.benchmark
    # The file behind each argument a message may start with.
    files = {"close": a.prices, "weights": a.weights, "delisted": a.delisted, "benchmark": a.benchmark}
    files.update({name: getattr(a, name) for name in ("open", "high", "low")})
    try:
        market = korvel.Market(closes, delisted=delisted, **tables)
        result = korvel.backtest(weights, market, benchmark=benchmark, **rules_from_options(a))
    except (TypeError, ValueError) as exc:
        text = str(exc)
        source = files.get(text.split(" ", 1)[0].rstrip(":"))
        raise InputError(f"{source}: {text}" if source else text) from None
    print(result.summary())
    print_orders(result, a.max_actions)
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

    # The descriptions keep their paragraphs and examples as written.
    raw = argparse.RawDescriptionHelpFormatter
    p = argparse.ArgumentParser(
        prog="korvel", description="Portfolio backtests from the command line.", formatter_class=raw
    )
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser(
        "demo", help="a momentum backtest on a synthetic market", description=demo.__doc__, formatter_class=raw
    )
    demo.add_arguments(d)
    d.set_defaults(handler=_demo)
    r = sub.add_parser("run", help="backtest weights from files", description=__doc__, formatter_class=raw)
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
    r.add_argument("--max-actions", type=int, default=40, help="order rows to print (40)")
    r.set_defaults(handler=_run)
    i = sub.add_parser("info", help="versions and where the native modules are", formatter_class=raw)
    i.set_defaults(handler=_info)
    return p


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            try:
                code: int = args.handler(args)
            finally:
                _say(seen)
    except InputError as exc:
        print(f"korvel: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:  # output piped into head and the like
        sys.stderr.close()
        return 0
    return code


def _say(seen: list[warnings.WarningMessage]) -> None:
    """The warnings of a command as lines of its own, without the source lines Python shows."""
    from korvel._warnings import KorvelWarning

    for caught in seen:
        if issubclass(caught.category, KorvelWarning):
            print(f"korvel: warning: {caught.message}", file=sys.stderr)
        else:
            warnings.warn_explicit(caught.message, caught.category, caught.filename, caught.lineno)
