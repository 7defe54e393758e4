"""The `korvel` command: ``demo``, ``run PRICES WEIGHTS`` and ``info``.

    korvel demo [--plot run.png] [--report run.html] ...
    korvel run closes.csv weights.csv [--open opens.csv] [--rebalance ME] [--stop-loss 0.1] --report out.html
    korvel run closes.csv weights.csv --volume volume.csv --capital 1e7 --participation 0.05 --impact 0.6
    korvel info

Tables are CSV (dates in the first column) or Parquet (``.parquet`` / ``.pq``,
read with pyarrow when it is installed).
"""

from __future__ import annotations

import argparse
import importlib.util
import io
import platform
import re
import sys
import warnings
from pathlib import Path
from typing import Any, NoReturn

__all__ = ["InputError", "main", "read_table"]


#: The optional price tables of `korvel run`, one option each.
PRICE_TABLES = ("open", "high", "low")


class InputError(Exception):
    """A file the command cannot use: one line for the user, exit code 2."""


#: Dates written as numbers: YYYYMMDD.
_YYYYMMDD = (10000101, 99991231)
_COMMA_DECIMAL = re.compile(r"^\s*[-+]?\d+,\d+\s*$")


#: What the command reads of one table by default, in MB (decompressed; raised with --max-read).
MAX_READ_MB = 1024
#: The compressions pandas would infer from a CSV file's suffix, opened here so that what they unpack is bounded.
_COMPRESSED = {".gz": "gzip", ".bz2": "bz2", ".xz": "lzma", ".zip": "zip"}
_DAY_FIRST = re.compile(r"^\s*(\d{1,2})[/.-](\d{1,2})[/.-](\d{4})\s*$")


class _Bounded(io.RawIOBase):
    """A stream that refuses to yield more than `limit` bytes (a decompression bomb stops at the limit)."""

    def __init__(self, stream: Any, limit: int, message: str) -> None:
        self._stream, self._left, self._message = stream, limit, message

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        data = self._stream.read(min(len(view), self._left + 1))
        if len(data) > self._left:
            raise InputError(self._message)
        self._left -= len(data)
        view[: len(data)] = data
        return len(data)


def read_table(path: str, name: str, max_read_mb: float = MAX_READ_MB) -> Any:
    """A DataFrame indexed by the dates of its first column (or of its index, for Parquet).

    At most `max_read_mb` MB are read (decompressed, or as a Parquet file's
    metadata gives its data's size).  Raises `InputError` naming the file and
    what is wrong with it.
    """
    table = _read_frame(path, name, max_read_mb)
    _numbers(table, name, path)
    table.index = _dates(table.index, name, path)
    return table


def read_delisted(path: str, instruments: Any, max_read_mb: float = MAX_READ_MB) -> Any:
    """The delistings file: instrument, last trading date (two columns, a header line) -> a Series.

    The instruments are matched as text against `instruments` (the closes' columns).
    """
    import pandas as pd

    table = _read_frame(path, "delisted", max_read_mb).reset_index()
    if table.shape[1] != 2:
        raise InputError(
            f"delisted file {path} has {table.shape[1]} columns; two are expected: instrument, last trading date"
        )
    by_text = {str(c): c for c in instruments}
    labels = [by_text.get(str(v), v) for v in table.iloc[:, 0]]
    last = _dates(pd.Index(table.iloc[:, 1]), "delisted", path, column="second")
    return pd.Series(last, index=pd.Index(labels, name="instrument"), name="last_date")


def _read_frame(path: str, name: str, max_read_mb: float) -> Any:
    """The table in a file as read (CSV: indexed by its first column), refused past the bound."""
    file = Path(path)
    if not file.exists():
        raise InputError(f"{name} file {path} does not exist")
    if file.is_dir():
        raise InputError(f"{name} file {path} is a folder")
    if not file.is_file():
        raise InputError(f"{name} file {path} is not a regular file (a pipe or a device cannot be read as a table)")
    limit = int(max_read_mb * 2**20)
    too_big = (
        f"{name} file {path} holds more than {max_read_mb:g} MB of data; korvel run --max-read MB reads larger files"
    )
    if file.suffix.lower() in (".parquet", ".pq"):
        table = _read_parquet(file, name, path, limit, too_big)
    else:
        table = _read_csv(file, name, path, limit, too_big)
    if table.empty:
        raise InputError(f"{name} file {path} has no data ({table.shape[0]} rows x {table.shape[1]} columns)")
    return table


def _read_parquet(file: Path, name: str, path: str, limit: int, too_big: str) -> Any:
    if importlib.util.find_spec("pyarrow") is None:
        raise InputError(f"reading {name} from Parquet ({path}) needs pyarrow: pip install pyarrow")
    import pandas as pd

    pq: Any = importlib.import_module("pyarrow.parquet")

    # Whatever a damaged or hostile file makes pyarrow or pandas raise (a bad
    # footer, a truncated page, metadata nested too deep) is one line naming it.
    try:
        meta = pq.ParquetFile(file).metadata
        size = sum(meta.row_group(k).total_byte_size for k in range(meta.num_row_groups))
        if size > limit:
            raise InputError(too_big)
        table = pd.read_parquet(file)
        if not isinstance(table.index, pd.DatetimeIndex) and len(table.columns):
            table = table.set_index(table.columns[0])
    except InputError:
        raise
    except Exception as exc:
        raise InputError(f"{name} file {path} is not a Parquet table korvel can read: {_first_line(exc)}") from None
    return table


def _read_csv(file: Path, name: str, path: str, limit: int, too_big: str) -> Any:
    import pandas as pd

    compression = _COMPRESSED.get(file.suffix.lower())
    if compression is None and file.stat().st_size > limit:
        raise InputError(too_big)
    try:
        stream = _bounded_text(file, compression, limit, too_big)
    except (OSError, EOFError, ValueError) as exc:
        how = f"opened as {compression}" if compression else "read"
        raise InputError(f"{name} file {path} cannot be {how}: {_first_line(exc)}") from None
    with stream:
        try:
            _separator(stream.read(1 << 16), name, path)
            stream.seek(0)
            table = pd.read_csv(stream, index_col=0)
        except InputError:
            raise
        except pd.errors.EmptyDataError:
            raise InputError(f"{name} file {path} is empty") from None
        except (pd.errors.ParserError, UnicodeDecodeError, ValueError, OSError, EOFError) as exc:
            raise InputError(f"{name} file {path} is not a CSV table korvel can read: {_first_line(exc)}") from None
    header = [str(table.index.name or "")] + [str(c) for c in table.columns]
    if len(table.columns) <= 1 and any(";" in h or "\t" in h for h in header):
        sep = "';'" if any(";" in h for h in header) else "tabs"
        raise InputError(f"{name} file {path} separates its columns with {sep}; korvel reads ',' separated CSV")
    return table


def _bounded_text(file: Path, compression: str | None, limit: int, too_big: str) -> Any:
    """The file's text, decompressed as its suffix says, refused past `limit` bytes (seekable, for a sniff)."""
    import bz2
    import gzip
    import lzma
    import zipfile

    def bounded(raw: Any) -> bytes:
        data: bytes = io.BufferedReader(_Bounded(raw, limit, too_big)).read()
        return data

    if compression == "zip":
        with zipfile.ZipFile(file) as archive:
            members = [m for m in archive.namelist() if not m.endswith("/")]
            if len(members) != 1:
                raise ValueError(f"a zip archive of {len(members)} files; one table is expected")
            with archive.open(members[0]) as raw:
                data = bounded(raw)
    else:
        opener: Any = {"gzip": gzip.open, "bz2": bz2.open, "lzma": lzma.open}.get(compression or "", open)
        with opener(file, "rb") as raw:
            data = bounded(raw)
    return io.TextIOWrapper(io.BytesIO(data), encoding="utf-8-sig", newline="")  # a leading BOM is no header


def _separator(start: str, name: str, path: str) -> None:
    """A ';' separated file with ',' decimals (as some locales write CSV) is named as such."""
    lines = [line for line in start.splitlines()[:20] if line.strip()]
    if len(lines) < 2 or not all(";" in line for line in lines):
        return
    fields = [f for line in lines[1:] for f in line.split(";")[1:]]
    if any(_COMMA_DECIMAL.match(f) for f in fields):
        raise InputError(
            f"{name} file {path} separates its columns with ';' and writes ',' as the decimal mark; "
            "korvel reads ',' separated CSV with '.' decimals"
        )


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0][:200] if text else type(exc).__name__


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


def _dates(index: Any, name: str, path: str, column: str = "first") -> Any:
    import pandas as pd

    if isinstance(index, pd.DatetimeIndex):
        return index
    day_first = next((m for m in map(_DAY_FIRST.match, index.astype(str)[:1000]) if m and int(m[1]) > 12), None)
    if day_first is not None:
        raise InputError(
            f"the {column} column of {name} file {path} writes its dates day first ({day_first[0].strip()!r}); "
            "korvel reads dates written year first (2020-01-31) or as YYYYMMDD numbers: write them so"
        )
    try:
        if pd.api.types.is_integer_dtype(index.dtype) and ((index >= _YYYYMMDD[0]) & (index <= _YYYYMMDD[1])).all():
            return pd.DatetimeIndex(pd.to_datetime(index.astype(str), format="%Y%m%d"))
        return pd.DatetimeIndex(pd.to_datetime(index))
    except (TypeError, ValueError, OverflowError) as exc:
        first = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise InputError(f"the {column} column of {name} file {path} must hold dates: {first}") from None


#: What a spreadsheet reads as the start of a formula in a cell of text.
_FORMULA_START = ("=", "+", "-", "@", "\t", "\r")


def spreadsheet_safe(table: Any) -> Any:
    """The table with text cells that a spreadsheet would run as formulas escaped by a leading quote."""
    out = table.copy()
    for column in out.columns:
        if out[column].dtype == object or str(out[column].dtype) in ("str", "string", "category"):
            out[column] = [
                "'" + v if isinstance(v, str) and v.startswith(_FORMULA_START) else v
                for v in out[column].astype(object)
            ]
    return out


def _writable(path: str | None, what: str) -> None:
    if path is None:
        return
    folder = Path(path).expanduser().resolve().parent
    if not folder.is_dir():
        raise InputError(f"cannot write the {what} to {path}: the folder {folder} does not exist")


def _run(a: argparse.Namespace) -> int:
    import korvel
    from korvel._checks import looks_like_prices, looks_like_weights
    from korvel._demo import print_orders, write_outputs
    from korvel.simulation._rules import rules_from_options

    for path, what in ((a.report, "report"), (a.plot, "chart"), (a.trades, "trades")):
        _writable(path, what)
    if a.report and Path(a.report).suffix.lower() not in (".html", ".htm"):
        raise InputError(f"the report is an HTML page: --report {a.report} does not end in .html or .htm")

    def read(path: str, name: str) -> Any:
        return read_table(path, name, a.max_read)

    closes = read(a.prices, "prices")
    weights = read(a.weights, "weights")
    if looks_like_weights(closes) and looks_like_prices(weights):
        raise InputError(
            f"prices file {a.prices} holds weights and weights file {a.weights} holds prices: "
            "the prices come first (korvel run PRICES WEIGHTS)"
        )
    tables: dict[str, Any] = {
        name: read(getattr(a, name), name) if getattr(a, name) else None for name in (*PRICE_TABLES, "volume")
    }
    delisted = None
    if a.delisted:
        delisted = read_delisted(a.delisted, closes.columns, a.max_read)
    benchmark: Any = None
    if a.benchmark:
        benchmark = read(a.benchmark, "benchmark").iloc[:, 0] if Path(a.benchmark).exists() else a.benchmark
    # The file behind each argument a message may start with.
    files = {"close": a.prices, "weights": a.weights, "delisted": a.delisted, "benchmark": a.benchmark}
    files.update({name: getattr(a, name) for name in (*PRICE_TABLES, "volume")})
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
        spreadsheet_safe(result.trades).to_csv(a.trades)
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


class _Parser(argparse.ArgumentParser):
    """Errors in one line, naming the command's help."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


def _plain(doc: str | None) -> str:
    """A docstring as --help shows it: without the markup of literals."""
    return (doc or "").replace("``", "")


def parser() -> argparse.ArgumentParser:
    from korvel import _demo as demo
    from korvel.simulation._rules import add_rule_options

    # The descriptions keep their paragraphs and examples as written.
    raw = argparse.RawDescriptionHelpFormatter
    p = _Parser(prog="korvel", description="Portfolio backtests from the command line.", formatter_class=raw)
    sub = p.add_subparsers(dest="command", required=True, parser_class=_Parser)
    d = sub.add_parser(
        "demo", help="a momentum backtest on a synthetic market", description=_plain(demo.__doc__), formatter_class=raw
    )
    demo.add_arguments(d)
    d.set_defaults(handler=_demo)
    r = sub.add_parser("run", help="backtest weights from files", description=_plain(__doc__), formatter_class=raw)
    r.add_argument("prices", help="closing prices, dates x instruments (CSV or Parquet)")
    r.add_argument("weights", help="target weights, decision dates x instruments")
    for name in PRICE_TABLES:
        r.add_argument(f"--{name}", metavar="FILE", help=f"{name} prices (default: the closes)")
    r.add_argument(
        "--volume",
        metavar="FILE",
        help="shares traded per row, dates x instruments as the closes (NaN: unknown); read by --impact and "
        "--participation, and by the capacity figures of a run with --capital",
    )
    r.add_argument("--delisted", metavar="FILE", help="two columns: instrument, last trading date")
    r.add_argument("--benchmark", metavar="FILE|INSTRUMENT", help="benchmark prices (one column) or an instrument")
    add_rule_options(r)
    r.add_argument("--report", metavar="PATH", help="write the HTML report")
    r.add_argument("--plot", metavar="PATH", help="write the chart (PNG)")
    r.add_argument("--trades", metavar="PATH", help="write the trades table (CSV)")
    r.add_argument("--max-actions", type=int, default=40, help="order rows to print (40)")
    r.add_argument(
        "--max-read",
        metavar="MB",
        type=float,
        default=MAX_READ_MB,
        help=f"largest table to read, in MB once decompressed ({MAX_READ_MB})",
    )
    r.set_defaults(handler=_run)
    i = sub.add_parser("info", help="versions and where the native modules are", formatter_class=raw)
    i.set_defaults(handler=_info)
    return p


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    seen: list[warnings.WarningMessage] = []
    try:
        try:
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                code: int = args.handler(args)
        finally:
            _say(seen)  # once the recording has stopped: nothing said here is recorded again
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
            first = str(caught.message).strip().splitlines()[:1] or [""]
            print(f"korvel: warning: {caught.category.__name__}: {first[0]}", file=sys.stderr)
