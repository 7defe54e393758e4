"""A market: aligned price tables, checked and converted once, shared by every backtest on it.

A `Market` holds plain NumPy arrays (float64 in C order, int64 nanosecond
dates, the instrument labels) so that it pickles cheaply and can be shared
with worker processes; the pandas views of it are built on demand.
"""

from __future__ import annotations

from typing import Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvel import checks

__all__ = ["Market", "as_market"]

TABLES = ("open", "high", "low")


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

    The tables are converted once (a C-order float64 copy each) and then
    reused by every backtest; `close`, `open`, `high`, `low`, `dates` and
    `instruments` give them back as pandas objects, so that strategy code can
    compute its weights from the market.
    """

    def __init__(self, close: pd.DataFrame, open: pd.DataFrame | None = None,  # noqa: A002
                 high: pd.DataFrame | None = None, low: pd.DataFrame | None = None,
                 delisted: pd.Series | None = None) -> None:
        self._build(close, {"open": open, "high": high, "low": low}, delisted, "close")

    def _build(self, close: object, others: dict[str, object], delisted: object, close_name: str) -> None:
        frame = checks.frame(close, close_name)
        index = checks.date_index(frame.index, close_name)
        instruments = checks.labels(frame.columns, close_name)
        if len(index) == 0 or len(instruments) == 0:
            raise ValueError(f"{close_name} is empty ({len(index)} dates x {len(instruments)} instruments)")
        self._tz: Any = index.tz
        self._unit: Literal["s", "ms", "us", "ns"] = getattr(frame.index, "unit", "ns")  # dates go back in it
        self._dates_ns = _frozen(checks.date_values(index))
        self._instruments = instruments
        self._engine_labels = _frozen(np.array([str(c) for c in instruments], dtype=object))
        self._close = _frozen(_price_table(frame, close_name))
        tables: dict[str, npt.NDArray[np.float64] | None] = {}
        for name in TABLES:
            table = others.get(name)
            tables[name] = None if table is None else _frozen(_price_table(self._align(table, name, close_name), name))
        self._open, self._high, self._low = tables["open"], tables["high"], tables["low"]
        self._delisting_rows = _frozen(self._delisting(delisted))
        self._cache: dict[str, Any] = {}

    # ------------------------------------------------------------------ checks

    def _align(self, table: object, name: str, close_name: str) -> pd.DataFrame:
        frame = checks.frame(table, name)
        index = checks.date_index(frame.index, name)
        checks.same_timezone(self._tz, index, name, close_name)
        ns = index.asi8
        if ns.shape != self._dates_ns.shape or not np.array_equal(ns, self._dates_ns):
            only = np.setxor1d(ns, self._dates_ns)
            first = int(only[0])
            side = name if np.isin(first, ns) else close_name
            raise ValueError(f"{name} is not on the {close_name} dates: {checks.when(self._timestamp(first))} "
                             f"is in {side} only")
        columns = checks.labels(frame.columns, name)
        if not columns.equals(self._instruments):
            extra = columns[self._instruments.get_indexer(columns) == -1]
            lacking = self._instruments[columns.get_indexer(self._instruments) == -1]
            if len(extra) or len(lacking):
                which = (f"{extra[0]!r} is in {name} only" if len(extra)
                         else f"{lacking[0]!r} is in {close_name} only")
                raise ValueError(f"{name} does not have the {close_name} instruments: {which}")
            frame = frame.reindex(columns=self._instruments)
        return frame

    def _delisting(self, delisted: object) -> npt.NDArray[np.int64]:
        rows = np.full(len(self._instruments), -1, dtype=np.int64)
        if delisted is None:
            return rows
        if not isinstance(delisted, pd.Series):
            raise TypeError(f"delisted must be a pandas Series (instrument -> last date), "
                            f"not {type(delisted).__name__}")
        dup = delisted.index.duplicated()
        if dup.any():
            raise ValueError(f"delisted names {delisted.index[int(np.argmax(dup))]!r} twice")
        where = self._instruments.get_indexer(delisted.index)
        if (where < 0).any():
            unknown = list(delisted.index[where < 0])
            raise ValueError(checks.missing(unknown, "delisted", "the market"))
        try:
            last = pd.DatetimeIndex(pd.to_datetime(delisted.to_numpy() if delisted.dtype == object
                                                   else delisted))
        except (TypeError, ValueError) as exc:
            raise TypeError(f"delisted must hold dates: {exc}") from None
        known = ~np.asarray(last.isna())
        if not known.any():
            return rows
        checks.same_timezone(self._tz, last, "delisted", "market")
        ns = last[known].as_unit("ns").asi8
        row = np.searchsorted(self._dates_ns, ns, side="right") - 1
        if (row < 0).any():
            k = int(np.argmax(row < 0))
            label = delisted.index[np.flatnonzero(known)[k]]
            raise ValueError(f"delisted: {label!r} has its last date {checks.when(last[known][k])} before the "
                             f"first market date {checks.when(self._timestamp(int(self._dates_ns[0])))}")
        row[ns > self._dates_ns[-1]] = -1
        rows[where[known]] = row
        return rows

    # ------------------------------------------------------------------ pandas views

    @property
    def dates(self) -> pd.DatetimeIndex:
        """The market dates (in the timezone of the input, nanosecond unit)."""
        if "dates" not in self._cache:
            self._cache["dates"] = self.dates_of(self._dates_ns)
        index: pd.DatetimeIndex = self._cache["dates"]
        return index

    @property
    def instruments(self) -> pd.Index:
        return self._instruments

    @property
    def close(self) -> pd.DataFrame:
        return self._frame("close", self._close)

    @property
    def open(self) -> pd.DataFrame:
        """The opens, or the closes when no open table was given."""
        return self._frame("open", self._open)

    @property
    def high(self) -> pd.DataFrame:
        """The highs, or the closes when no high table was given."""
        return self._frame("high", self._high)

    @property
    def low(self) -> pd.DataFrame:
        """The lows, or the closes when no low table was given."""
        return self._frame("low", self._low)

    @property
    def delisted(self) -> pd.Series:
        """Instrument -> delisting date (the market row its holdings are closed on)."""
        rows = self._delisting_rows
        has = rows >= 0
        return pd.Series(self.dates[rows[has]], index=self._instruments[has], name="delisted")

    @property
    def tables(self) -> tuple[str, ...]:
        """The price tables given (the others read as the close)."""
        return ("close",) + tuple(n for n in TABLES if getattr(self, f"_{n}") is not None)

    @property
    def shape(self) -> tuple[int, int]:
        return (int(self._dates_ns.shape[0]), len(self._instruments))

    @property
    def nbytes(self) -> int:
        """Bytes held by the price tables."""
        arrays = [self._close, self._open, self._high, self._low]
        return sum(a.nbytes for a in arrays if a is not None)

    def _frame(self, name: str, values: npt.NDArray[np.float64] | None) -> pd.DataFrame:
        if values is None:
            name, values = "close", self._close
        if name not in self._cache:
            self._cache[name] = pd.DataFrame(values, index=self.dates, columns=self._instruments, copy=False)
        table: pd.DataFrame = self._cache[name]
        # A shallow copy: the values are read-only, and a column added to it
        # does not show up in the market's own view.
        return table.copy(deep=False)

    def dates_of(self, ns: npt.NDArray[np.int64]) -> pd.DatetimeIndex:
        """Nanosecond stamps (NaT as int64 min) as dates in the market's timezone and unit."""
        index = pd.DatetimeIndex(ns.view("datetime64[ns]"))
        if self._tz is not None:
            index = index.tz_localize("UTC").tz_convert(self._tz)
        return index if self._unit == "ns" else index.as_unit(self._unit)

    def _timestamp(self, ns: int) -> pd.Timestamp:
        return self.dates_of(np.array([ns], dtype=np.int64))[0]

    def __repr__(self) -> str:
        T, N = self.shape
        span = f"{self.dates[0].date()} .. {self.dates[-1].date()}"
        delist = int((self._delisting_rows >= 0).sum())
        return (f"Market({T} dates x {N} instruments, {span}, tables: {', '.join(self.tables)}"
                + (f", {delist} delisted" if delist else "") + ")")

    # ------------------------------------------------------------------ pickling

    def __getstate__(self) -> dict[str, Any]:
        # The pandas views are rebuilt on demand: only the arrays travel.
        state = dict(self.__dict__)
        state["_cache"] = {}
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        for name in ("_dates_ns", "_engine_labels", "_close", "_open", "_high", "_low", "_delisting_rows"):
            if state.get(name) is not None:
                _frozen(state[name])


def as_market(market: object) -> Market:
    """A Market as it is, or one built from a DataFrame of closes."""
    if isinstance(market, Market):
        return market
    built = Market.__new__(Market)
    built._build(market, {}, None, "market")
    return built


def _price_table(frame: pd.DataFrame, name: str) -> npt.NDArray[np.float64]:
    values = checks.float_table(frame, name)
    checks.prices(values, frame, name)
    return values


def _frozen(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    # Read-only: the tables are shared by every backtest and by the pandas views.
    array.flags.writeable = False
    return array
