"""A market: aligned price tables, checked and converted once, shared by every backtest on it.

A `Market` holds plain NumPy arrays (float64 in C order, int64 nanosecond
dates, the instrument labels) so that it pickles cheaply and can be shared
with worker processes; the pandas views of it are built on demand.
"""

from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass, fields
from typing import Any, Literal

import numpy as np
import pandas as pd

from korvel import _checks as checks
from korvel._typing import BoolArray, Float64Array, Int64Array, ObjectArray
from korvel._warnings import warn

#: The price tables besides the close, in the order a Market takes them.
TABLES = ("open", "high", "low")
#: What a Market does with prices that do not hang together (high below low, open or close outside them).
CHECK_OHLC = ("warn", "raise", "off")


@dataclass(frozen=True, eq=False)
class MarketView:
    """What a `Market` holds, as the rest of the package reads it: read-only arrays and their labels.

    `open`, `high` and `low` are the close itself where the table was not
    given (`given` names the tables that were), so a reader never decides the
    fall-back again.
    """

    dates: Int64Array  # nanoseconds since the epoch (UTC for timezone-aware dates)
    tz: Any  # the timezone of the input's dates, or None
    unit: Literal["s", "ms", "us", "ns"]  # the input index's unit: dates go back in it
    instruments: pd.Index  # the instrument labels as given
    labels: ObjectArray  # the labels as text, as the engine matches them
    close: Float64Array
    open: Float64Array
    high: Float64Array
    low: Float64Array
    given: tuple[str, ...]  # the tables given: "close" and any of TABLES
    delisting_rows: Int64Array  # market row each instrument is delisted on, -1 for none
    volume: Float64Array | None = None  # shares traded per row (NaN: unknown), None when not given

    def has(self, table: str) -> bool:
        return table in self.given

    def trading(self, trade_at: str) -> Float64Array:
        """The table trades are made at: the open or the close (the close when there is no open)."""
        return self.open if trade_at == "open" else self.close

    def arrays(self) -> dict[str, Any]:
        """The distinct arrays by field name (the fallen-back tables left out)."""
        out = {f.name: getattr(self, f.name) for f in fields(self) if isinstance(getattr(self, f.name), np.ndarray)}
        for name in TABLES:
            if name not in self.given:
                del out[name]
        return out


class Market:
    """Aligned daily price tables: rows are dates, columns are instruments.

    Parameters
    ----------
    close : DataFrame
        Closing prices, indexed by a DatetimeIndex (ascending, unique; any
        unit, naive or timezone-aware), one column per instrument.  NaN marks
        a missing price; every other price must be positive and finite.
    open, high, low : DataFrame, optional
        The other prices, on the same dates and instruments (columns may come
        in another order).  A table not given is the close: ``trade_at="open"``
        on a close-only market trades at the next row's close.
    delisted : Series, optional
        Instrument -> its last trading date.  A holding is closed at the
        trading price of the last market row on or before that date; a date
        after the last market date means no delisting within the data.
    check_ohlc : "warn", "raise" or "off"
        What to do when the given tables do not hang together on some row
        (a high below the low, an open or a close outside [low, high]):
        a `KorvelWarning` with their count and the first one (the default),
        a ValueError, or nothing.  Intraday stops (``touched_exit=True``)
        read these prices as they are.

    The tables are converted once (a C-order float64 copy each) and then
    reused by every backtest; `close`, `open`, `high`, `low`, `dates` and
    `instruments` give them back as pandas objects, so that strategy code can
    compute its weights from the market.
    """

    def __init__(
        self,
        close: pd.DataFrame,
        open: pd.DataFrame | None = None,
        high: pd.DataFrame | None = None,
        low: pd.DataFrame | None = None,
        delisted: pd.Series | None = None,
        *,
        volume: pd.DataFrame | None = None,
        check_ohlc: Literal["warn", "raise", "off"] = "warn",
    ) -> None:
        if not isinstance(check_ohlc, str) or check_ohlc not in CHECK_OHLC:
            raise ValueError(f"check_ohlc must be one of {', '.join(map(repr, CHECK_OHLC))}, not {check_ohlc!r}")
        self._view = _build(close, {"open": open, "high": high, "low": low}, delisted, "close", volume)
        self._cache: dict[str, Any] = {}
        self._source: tuple[str, int] | None = None
        self._identity: tuple[int, ...] | None = None
        if check_ohlc != "off":
            self._warn_ohlc(stacklevel=3, raise_=check_ohlc == "raise")

    def _warn_ohlc(self, stacklevel: int, raise_: bool = False) -> None:
        """Warn (or raise) when the given tables do not hang together."""
        text = _inconsistent_ohlc(self._view)
        if text is not None:
            if raise_:
                raise ValueError(text)
            warn("ohlc", text + "; Market(..., check_ohlc='raise') makes this an error, 'off' silences it", stacklevel)

    @classmethod
    def _of(cls, view: MarketView) -> Market:
        """A Market over a view that is already checked (read back from a file, built from closes)."""
        market = cls.__new__(cls)
        market._view = view
        market._cache = {}
        market._source = None
        market._identity = None
        return market

    # ------------------------------------------------------------------ pandas views

    @property
    def dates(self) -> pd.DatetimeIndex:
        """The market dates (in the timezone of the input, nanosecond unit)."""
        if "dates" not in self._cache:
            self._cache["dates"] = dates_of(self._view, self._view.dates)
        index: pd.DatetimeIndex = self._cache["dates"]
        return index

    @property
    def instruments(self) -> pd.Index:
        return self._view.instruments

    @property
    def close(self) -> pd.DataFrame:
        return self._frame("close")

    @property
    def open(self) -> pd.DataFrame:
        """The opens, or the closes when no open table was given."""
        return self._frame("open")

    @property
    def high(self) -> pd.DataFrame:
        """The highs, or the closes when no high table was given."""
        return self._frame("high")

    @property
    def low(self) -> pd.DataFrame:
        """The lows, or the closes when no low table was given."""
        return self._frame("low")

    @property
    def volume(self) -> pd.DataFrame | None:
        """The shares traded per row, or None when no volume table was given."""
        if self._view.volume is None:
            return None
        if "volume" not in self._cache:
            self._cache["volume"] = pd.DataFrame(
                self._view.volume, index=self.dates, columns=self._view.instruments, copy=False
            )
        table: pd.DataFrame = self._cache["volume"]
        return table.copy(deep=False)

    @property
    def delisted(self) -> pd.Series:
        """Instrument -> delisting date (the market row its holdings are closed on)."""
        rows = self._view.delisting_rows
        has = rows >= 0
        return pd.Series(self.dates[rows[has]], index=self._view.instruments[has], name="delisted")

    @property
    def tables(self) -> tuple[str, ...]:
        """The price tables given (the others read as the close)."""
        return self._view.given

    @property
    def shape(self) -> tuple[int, int]:
        return (int(self._view.dates.shape[0]), len(self._view.instruments))

    @property
    def nbytes(self) -> int:
        """Bytes held by the price tables."""
        return sum(getattr(self._view, name).nbytes for name in self._view.given)

    def _frame(self, name: str) -> pd.DataFrame:
        if not self._view.has(name):
            name = "close"
        if name not in self._cache:
            self._cache[name] = pd.DataFrame(
                getattr(self._view, name), index=self.dates, columns=self._view.instruments, copy=False
            )
        table: pd.DataFrame = self._cache[name]
        # A shallow copy: the values are read-only, and a column added to it
        # does not show up in the market's own view.
        return table.copy(deep=False)

    def __repr__(self) -> str:
        T, N = self.shape
        span = f"{self.dates[0].date()} .. {self.dates[-1].date()}"
        delist = int((self._view.delisting_rows >= 0).sum())
        return (
            f"Market({T} dates x {N} instruments, {span}, tables: {', '.join(self.tables)}"
            + (", volume" if self._view.volume is not None else "")
            + (f", {delist} delisted" if delist else "")
            + ")"
        )

    # ------------------------------------------------------------------ files

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the market to a file that `Market.load` maps back.

        Parameters
        ----------
        path : str or path-like
            The file to write (replaced if it exists; written beside it and
            renamed into place, so a reader never sees half a file).

        Notes
        -----
        The price tables are laid out as they are in memory (each aligned
        to 64 bytes), so a loaded market maps them instead of reading
        them; the dates, the instrument labels (as text or numbers) and the
        rest are plain JSON, never pickled.  Instrument labels of other types
        (tuples, dates) are refused.
        """
        from korvel._market_file import write

        write(self, path)

    @classmethod
    def load(cls, path: str | os.PathLike[str], mmap: bool = True, verify: bool = True) -> Market:
        """Read a market written by `Market.save`.

        Parameters
        ----------
        path : str or path-like
            The file.
        mmap : bool
            True (default): the price tables are mapped read-only, so the
            processes of a machine that load the same file share one copy
            in the page cache, and only the pages read are read from disk.
            A sweep on a Dask cluster sends such a market to its workers as
            the file's path, to every worker that can read the file.
            False: they are read into memory.
        verify : bool
            True (default): every table's checksum (recorded by `save`) is
            checked and the values get the checks `Market` makes (prices
            positive or NaN, highs above lows), which reads the whole file
            once.  False, for a trusted file whose tables should not be read
            at once: those are skipped; the header, the labels, the dates and
            the delisting rows are checked either way.

        Returns
        -------
        Market

        Raises
        ------
        ValueError
            The file is not a regular file, not a market file (or one of an
            older version: save it again), is shorter than its header says
            (torn), or does not match its checksums or the Market's checks;
            the message names the file.

        Notes
        -----
        A mapped file must not change while it is in use: replace it (write
        a new file and rename it into place, as `save` does), never rewrite
        or truncate it in place.  Each backtest on a mapped market checks
        that the file still has its size and modification time, and refuses
        one that changed.
        """
        for flag, value in (("mmap", mmap), ("verify", verify)):
            if not isinstance(value, bool):
                raise TypeError(f"{flag} must be True or False, not {value!r}")
        from korvel._market_file import read

        market, header, _ = read(path, mmap=mmap, verify=verify)
        if mmap:
            mapped_from(market, path, header.checksum)
        return market

    # ------------------------------------------------------------------ pickling

    def __getstate__(self) -> dict[str, Any]:
        # The pandas views are rebuilt on demand: only the view's arrays travel.
        return {"view": self._view}

    def __setstate__(self, state: dict[str, Any]) -> None:
        view = state["view"]
        for value in view.arrays().values():
            _frozen(value)
        self._view = view
        self._cache = {}
        self._source = None
        self._identity = None


def mapped_from(market: Market, path: str | os.PathLike[str], checksum: int) -> None:
    """Record that `market` maps the file at `path` (its header's checksum), as it is now: each backtest on
    it then checks that the file was not changed in place (`check_mapped`)."""
    name = os.path.abspath(os.fspath(path))
    market._source = (name, checksum)
    market._identity = _identity(os.stat(name))


def _identity(st: os.stat_result) -> tuple[int, ...]:
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def warn_inconsistent_ohlc(market: Market, stacklevel: int) -> None:
    """The Market's warning on prices that do not hang together, for a market built without its constructor."""
    market._warn_ohlc(stacklevel + 1)


def check_mapped(market: Market) -> None:
    """Refuse a market whose mapped file was rewritten or truncated in place since it was loaded.

    A file replaced (renamed over) leaves the mapping on the old one, which is
    still whole; one changed in place would change the prices under a run (or
    end the process with a bus error, when shortened).
    """
    if market._source is None or market._identity is None:
        return
    name = market._source[0]
    try:
        now = _identity(os.stat(name))
    except FileNotFoundError:
        return
    if now[:2] == market._identity[:2] and now != market._identity:
        raise ValueError(
            f"the market file {name} changed in place since it was loaded ({market._identity[2]} bytes then, "
            f"{now[2]} now): load it again; replace such files (write a new one and rename it), never rewrite them"
        )


def check_values(view: MarketView, *, prices: bool) -> str | None:
    """What the Market's checks refuse in an already built view (read back from a file), or None.

    The dates, labels and delisting rows always; the price tables' values with `prices`.
    """
    rows = view.dates.shape[0]
    step = np.diff(view.dates)
    if (step <= 0).any():
        k = int(np.argmax(step <= 0)) + 1
        what = "a duplicate date" if step[k - 1] == 0 else "dates out of order"
        return f"{what} at {checks.when(_timestamp(view.tz, int(view.dates[k])))} (position {k})"
    for what, index in (("instrument", view.instruments), ("label", pd.Index(view.labels))):
        dup = index.duplicated()
        if dup.any():
            return f"a duplicate {what} {index[int(np.argmax(dup))]!r}"
    bad = (view.delisting_rows < -1) | (view.delisting_rows >= rows)
    if bad.any():
        k = int(np.argmax(bad))
        return f"a delisting row {int(view.delisting_rows[k])} for {view.instruments[k]!r}, outside 0..{rows - 1}"
    if not prices:
        return None
    if view.volume is not None:
        problem = _invalid_volume(view.volume)
        if problem is not None:
            row, col = problem
            return (
                f"volume has an invalid value {float(view.volume[row, col])!r} for {view.instruments[col]!r} on "
                f"{checks.when(_timestamp(view.tz, int(view.dates[row])))}"
            )
    for name in view.given:
        values = getattr(view, name)
        wrong = ~((values > 0) & (values < np.inf)) & ~np.isnan(values)
        if wrong.any():
            row, col = checks.first_cell(wrong)
            return (
                f"{name} has an invalid price {float(values[row, col])!r} for {view.instruments[col]!r} on "
                f"{checks.when(_timestamp(view.tz, int(view.dates[row])))}"
            )
    return None


def view_of(market: Market) -> MarketView:
    """The arrays of a market, for the rest of the package."""
    return market._view


def missing_by_column(market: Market) -> Int64Array:
    """The market's missing closes as sorted keys column * (rows + 1) + row; found once per market."""
    cache = market._cache
    if "missing by column" not in cache:
        columns, rows = np.nonzero(np.isnan(market._view.close).T)  # column by column, rows ascending
        cache["missing by column"] = columns.astype(np.int64) * (market._view.dates.shape[0] + 1) + rows
    keys: Int64Array = cache["missing by column"]
    return keys


def missing_spans(market: Market) -> tuple[Int64Array, Int64Array]:
    """Per market column, the first and the last row of its missing closes (the row count and -1 for a
    column that misses none); found once per market."""
    cache = market._cache
    if "missing spans" not in cache:
        view = market._view
        cache["missing spans"] = spans_of(missing_by_column(market), view.dates.shape[0], view.close.shape[1])
    spans: tuple[Int64Array, Int64Array] = cache["missing spans"]
    return spans


def missing_offsets(market: Market) -> Int64Array:
    """Where each market column's keys start in `missing_by_column` (and one past the last column's end);
    found once per market."""
    cache = market._cache
    if "missing offsets" not in cache:
        view = market._view
        cache["missing offsets"] = offsets_of(missing_by_column(market), view.dates.shape[0], view.close.shape[1])
    offsets: Int64Array = cache["missing offsets"]
    return offsets


def offsets_of(keys: Int64Array, rows: int, width: int) -> Int64Array:
    """Where each of `width` columns' run of sorted keys column * (rows + 1) + row starts, then their end."""
    at: Int64Array = np.searchsorted(keys, np.arange(width + 1, dtype=np.int64) * (rows + 1)).astype(np.int64)
    return at


def spans_of(keys: Int64Array, rows: int, width: int) -> tuple[Int64Array, Int64Array]:
    """The first and the last row of each of `width` columns in sorted keys column * (rows + 1) + row (the
    row count and -1 for a column without a key)."""
    at = offsets_of(keys, rows, width)  # each column's run of keys
    lo, hi, offset = at[:-1], at[1:], np.arange(width, dtype=np.int64) * (rows + 1)
    some = hi > lo
    first = np.full(width, rows, dtype=np.int64)
    last = np.full(width, -1, dtype=np.int64)
    first[some] = keys[lo[some]] - offset[some]
    last[some] = keys[hi[some] - 1] - offset[some]
    return first, last


def timestamp_at(market: Market, row: int) -> pd.Timestamp:
    """The date of market row `row` as `market.dates[row]` gives it, made once per market and row: the
    figures of each run name a few dates, and a sweep makes thousands of runs on one market."""
    cache = market._cache
    stamps: dict[int, pd.Timestamp] | None = cache.get("timestamps")
    if stamps is None:
        stamps = cache["timestamps"] = {}
    found = stamps.get(row)
    if found is None:
        found = stamps[row] = market.dates[row]
    return found


def missing_prices(market: Market, table: str = "close") -> tuple[Int64Array, Int64Array]:
    """(rows, columns) of the market's missing prices in `table`, in row order; found once per market."""
    name = table if market._view.has(table) else "close"
    key = "missing " + name
    cache = market._cache
    if key not in cache:
        rows, columns = np.nonzero(np.isnan(getattr(market._view, name)))
        cache[key] = (rows.astype(np.int64), columns.astype(np.int64))
    cells: tuple[Int64Array, Int64Array] = cache[key]
    return cells


def source_of(market: Market) -> tuple[str, int] | None:
    """The file a market is mapped from and its header's checksum (None for a market in memory)."""
    return market._source


def dates_of(view: MarketView, ns: Int64Array) -> pd.DatetimeIndex:
    """Nanosecond stamps (NaT as int64 min) as dates in the market's timezone and unit."""
    index = pd.DatetimeIndex(ns.view("datetime64[ns]"))
    if view.tz is not None:
        index = index.tz_localize("UTC").tz_convert(view.tz)
    return index if view.unit == "ns" else index.as_unit(view.unit)


#: The digest of one table: BLAKE2b with a 16-byte digest over the table's bytes in C order.
DIGEST_SIZE = 16


def table_digest(array: np.ndarray) -> str:
    """The hex digest of one array's content (its dtype and shape included, so a reshaped table differs)."""
    h = hashlib.blake2b(digest_size=DIGEST_SIZE)
    h.update(f"{array.dtype.str}{array.shape}".encode())
    if array.dtype == object:  # labels: their text, not the addresses of the objects
        h.update("\0".join(str(x) for x in array.ravel()).encode("utf-8", "surrogatepass"))
    else:
        h.update(np.ascontiguousarray(array).tobytes())
    return h.hexdigest()


def table_digests(market: Market) -> dict[str, str]:
    """Table name -> content digest, for every array the market holds (dates, labels, given prices, delisting rows).

    Computed once per Market and cached; a market read back from a file may
    carry the digests its file recorded (`carry_digests`), so that they are
    not recomputed from every page of a mapped file.
    """
    cache = market._cache
    if "digests" not in cache:
        cache["digests"] = {name: table_digest(array) for name, array in market._view.arrays().items()}
    digests: dict[str, str] = cache["digests"]
    return dict(digests)


def carry_digests(market: Market, digests: dict[str, str]) -> None:
    """Record digests already known for `market`'s tables (verified or trusted by the caller)."""
    market._cache["digests"] = dict(digests)


def from_view(view: MarketView) -> Market:
    """A Market over a view that is already checked (read back from a file)."""
    return Market._of(view)


def as_market(market: object) -> Market:
    """A Market as it is, or one built from a DataFrame of closes."""
    if isinstance(market, Market):
        return market
    return Market._of(_build(market, {}, None, "market"))


# --------------------------------------------------------------------------- building and checks


def _build(
    close: object, others: dict[str, object], delisted: object, close_name: str, volume: object = None
) -> MarketView:
    frame = checks.frame(close, close_name)
    index = checks.date_index(frame.index, close_name)
    instruments = checks.labels(frame.columns, close_name)
    if len(index) == 0 or len(instruments) == 0:
        raise ValueError(f"{close_name} is empty ({len(index)} dates x {len(instruments)} instruments)")
    tz: Any = index.tz
    dates = _frozen(checks.date_values(index))
    close_values = _frozen(_price_table(frame, close_name))
    tables: dict[str, Float64Array] = {}
    for name in TABLES:
        table = others.get(name)
        if table is not None:
            aligned = _align(table, name, close_name, tz, dates, instruments)
            tables[name] = _frozen(_price_table(aligned, name))
    view = MarketView(
        dates=dates,
        tz=tz,
        unit=getattr(frame.index, "unit", "ns"),
        instruments=instruments,
        labels=_frozen(np.array([str(c) for c in instruments], dtype=object)),
        close=close_values,
        open=tables.get("open", close_values),
        high=tables.get("high", close_values),
        low=tables.get("low", close_values),
        given=("close", *tables),
        delisting_rows=np.empty(0, dtype=np.int64),
    )
    rows = _frozen(_delisting(view, delisted))
    shares = None
    if volume is not None:
        aligned = _align(volume, "volume", close_name, tz, dates, instruments)
        shares = _frozen(_volume_table(aligned))
    return MarketView(
        **{**{f.name: getattr(view, f.name) for f in fields(view)}, "delisting_rows": rows, "volume": shares}
    )


def _invalid_volume(values: Float64Array) -> tuple[int, int] | None:
    """The first cell whose volume is negative or infinite (NaN is unknown), or None."""
    bad = ~((values >= 0) & (values < np.inf)) & ~np.isnan(values)
    return checks.first_cell(bad) if bad.any() else None


def _volume_table(frame: pd.DataFrame) -> Float64Array:
    values = checks.float_table(frame, "volume")
    problem = _invalid_volume(values)
    if problem is not None:
        row, col = problem
        raise ValueError(
            f"volume has an invalid value {float(values[row, col])!r} for {frame.columns[col]!r} on "
            f"{checks.when(frame.index[row])}; volumes are shares traded, 0 or more and finite (NaN marks "
            "an unknown volume)"
        )
    return values


def _inconsistent_ohlc(view: MarketView) -> str | None:
    """The cells whose prices do not hang together, counted, with the first one; None when all do."""
    # Only the tables given are compared (one not given is the close, which says nothing of the range).
    high = view.high if view.has("high") else None
    low = view.low if view.has("low") else None
    # (what is wrong, the cells where it is) in the order a message names them.
    faults: list[tuple[str, BoolArray]] = []
    if high is not None and low is not None:
        faults.append(("high below low", high < low))
    for name in ("open", "close"):
        if not view.has(name):
            continue
        table = getattr(view, name)
        if high is not None:
            faults.append((f"{name} above high", table > high))
        if low is not None:
            faults.append((f"{name} below low", table < low))
    if not faults:
        return None
    bad = np.logical_or.reduce([mask for _, mask in faults])
    count = int(np.count_nonzero(bad))
    if not count:
        return None
    row, col = checks.first_cell(bad)
    what = next(words for words, mask in faults if mask[row, col])
    cell = ", ".join(f"{name} {float(getattr(view, name)[row, col])!r}" for name in ("open", "high", "low", "close"))
    return (
        f"market: the prices do not hang together in {count} cell{'s' if count > 1 else ''} (a high below the "
        f"low, or an open or close outside [low, high]); first: {view.instruments[col]!r} on "
        f"{checks.when(_timestamp(view.tz, int(view.dates[row])))}, {what} ({cell}); intraday stops "
        "(touched_exit=True) read them as they are"
    )


def _timestamp(tz: Any, ns: int) -> pd.Timestamp:
    stamp = pd.Timestamp(ns, unit="ns")
    return stamp.tz_localize("UTC").tz_convert(tz) if tz is not None else stamp


def _align(
    table: object, name: str, close_name: str, tz: Any, dates: Int64Array, instruments: pd.Index
) -> pd.DataFrame:
    frame = checks.frame(table, name)
    index = checks.date_index(frame.index, name)
    checks.same_timezone(tz, index, name, close_name)
    ns = index.asi8
    if ns.shape != dates.shape or not np.array_equal(ns, dates):
        only = np.setxor1d(ns, dates)
        first = int(only[0])
        side = name if np.isin(first, ns) else close_name
        raise ValueError(
            f"{name} is not on the {close_name} dates: {checks.when(_timestamp(tz, first))} is in {side} only"
        )
    columns = checks.labels(frame.columns, name)
    if not columns.equals(instruments):
        extra = columns[instruments.get_indexer(columns) == -1]
        lacking = instruments[columns.get_indexer(instruments) == -1]
        if len(extra) or len(lacking):
            which = f"{extra[0]!r} is in {name} only" if len(extra) else f"{lacking[0]!r} is in {close_name} only"
            raise ValueError(f"{name} does not have the {close_name} instruments: {which}")
        frame = frame.reindex(columns=instruments)
    return frame


def _delisting(view: MarketView, delisted: object) -> Int64Array:
    instruments, dates = view.instruments, view.dates
    rows = np.full(len(instruments), -1, dtype=np.int64)
    if delisted is None:
        return rows
    if not isinstance(delisted, pd.Series):
        raise TypeError(f"delisted must be a pandas Series (instrument -> last date), not {type(delisted).__name__}")
    dup = delisted.index.duplicated()
    if dup.any():
        raise ValueError(f"delisted names {checks.shown(delisted.index[int(np.argmax(dup))])} twice")
    where = instruments.get_indexer(delisted.index)
    if (where < 0).any():
        unknown = list(delisted.index[where < 0])
        raise ValueError(checks.missing(unknown, "delisted", "the market"))
    try:
        last = pd.DatetimeIndex(pd.to_datetime(delisted.to_numpy() if delisted.dtype == object else delisted))
    except (TypeError, ValueError) as exc:
        raise TypeError(f"delisted must hold dates: {exc}") from None
    known = ~np.asarray(last.isna())
    if not known.any():
        return rows
    checks.same_timezone(view.tz, last, "delisted", "market")
    ns = last[known].as_unit("ns").asi8
    row = np.searchsorted(dates, ns, side="right") - 1
    if (row < 0).any():
        k = int(np.argmax(row < 0))
        label = delisted.index[np.flatnonzero(known)[k]]
        raise ValueError(
            f"delisted: {checks.shown(label)} has its last date {checks.when(last[known][k])} before the "
            f"first market date {checks.when(_timestamp(view.tz, int(dates[0])))}"
        )
    row[ns > dates[-1]] = -1
    rows[where[known]] = row
    return rows


def _price_table(frame: pd.DataFrame, name: str) -> Float64Array:
    values = checks.float_table(frame, name)
    checks.prices(values, frame, name)
    return values


def _frozen(array: Any) -> Any:
    # Read-only: the tables are shared by every backtest and by the pandas views.
    array.flags.writeable = False
    return array
