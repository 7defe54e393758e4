"""The trade ledger of one run: one array per field, and the names of their statistics.

The engine keeps the ledger while it runs: one element per trade in each
array, plus two arrays per market row.  The engine boundary
(`korvel._engine`) checks it and hands it over as a `Records` when a run
ends; everything that reads trades (the trades table, the statistics, the
plot) reads these arrays, by the names declared here.  No Python object is
made per trade.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from enum import IntEnum
from functools import cached_property
from typing import Any

import numpy as np

from korvel._typing import Float64Array, Int8Array, Int64Array


class Snapshot(IntEnum):
    """The six values of a statistics snapshot, in the recorder's order."""

    MAE = 0
    MFE = 1
    MFE_BEFORE_MAE = 2
    MAX_DRAWDOWN = 3
    PROFIT_DAYS = 4
    RETURN = 5

    @property
    def column(self) -> str:
        """The column name in the trades table."""
        return self.name.lower()

    @property
    def doc(self) -> str:
        """What the value means."""
        return _SNAPSHOT_DOCS[self]


_SNAPSHOT_DOCS = {
    Snapshot.MAE: "maximum adverse excursion: the trough of the trade's return",
    Snapshot.MFE: "maximum favourable excursion: the peak of the trade's return",
    Snapshot.MFE_BEFORE_MAE: "the peak of the trade's return as of its trough",
    Snapshot.MAX_DRAWDOWN: "the deepest fall from the trade's running peak",
    Snapshot.PROFIT_DAYS: "rows with a close above the entry",
    Snapshot.RETURN: "the trade's return, its costs and slippage included",
}


#: The snapshot's column names, in order.
SNAPSHOT = tuple(s.column for s in Snapshot)
SNAPSHOT_SIZE = len(Snapshot)

#: The ledger's reason of an open trade (code 0).
OPEN = "open"


def statistics_size(window: int, step: int) -> int:
    """Values per record: a snapshot every `step` rows over the window, then the exit snapshot."""
    return SNAPSHOT_SIZE * ((window - 1) // step) + 2 * SNAPSHOT_SIZE


@dataclass(frozen=True)
class Field:
    """One array of the ledger: its key in the engine's dict, its `Records` attribute, what it holds."""

    key: str
    name: str
    dtype: type[np.generic]
    per: str  # "trade" or "row": one element per trade or per market row
    #: The column of `Result.trades` it becomes ("" for none: rows and codes are shown as dates and names).
    column: str
    doc: str


#: The ledger's arrays, in the engine's order.  `Records`, its checks, its
#: documentation and the money columns of the trades table derive from it.
FIELDS: tuple[Field, ...] = (
    Field("sid", "sid", np.int64, "trade", "", "weight column"),
    Field("entry_row", "entry", np.int64, "trade", "", "market row of the entry"),
    Field("exit_row", "exit", np.int64, "trade", "", "market row of the exit; -1 while open"),
    Field("side", "side", np.int8, "trade", "", "+1 long, -1 short"),
    Field("weight", "weight", np.float64, "trade", "weight", "the weight at entry"),
    Field(
        "entry_price",
        "entry_price",
        np.float64,
        "trade",
        "entry_price",
        "the price traded at the entry",
    ),
    Field(
        "exit_price",
        "exit_price",
        np.float64,
        "trade",
        "exit_price",
        "the price traded at the exit (the trading price, a touched stop level, a gap's open or the delisting "
        "price); NaN while open",
    ),
    Field("exit_reason", "exit_reason", np.int8, "trade", "", 'codes into `reason_names`, 0 = "open"'),
    Field(
        "fees",
        "fees",
        np.float64,
        "trade",
        "fees",
        "commission paid by the trade (entry, resizes and exit), in units of the starting capital",
    ),
    Field(
        "taxes",
        "taxes",
        np.float64,
        "trade",
        "taxes",
        "tax paid by the trade on the fills that reduced it, in units of the starting capital",
    ),
    Field(
        "slippage",
        "slippage",
        np.float64,
        "trade",
        "slippage",
        "what the trade's fills gave up against the quoted prices (in its entry and exit prices, not a fee), in "
        "units of the starting capital",
    ),
    Field(
        "borrow",
        "borrow",
        np.float64,
        "trade",
        "borrow",
        "the fee a short paid for borrowing its shares, in units of the starting capital",
    ),
    Field(
        "impact",
        "impact",
        np.float64,
        "trade",
        "impact",
        "market impact paid by the trade's fills (the square-root model, `impact=`), in units of the starting capital",
    ),
    Field(
        "filled_fraction",
        "filled_fraction",
        np.float64,
        "trade",
        "filled_fraction",
        "the share of the trade's entry order that was filled (1 unless `participation=` capped it)",
    ),
    Field(
        "fill_rows",
        "fill_rows",
        np.int64,
        "trade",
        "fill_rows",
        "the rows the trade's entry order was filled over, plus the further rows a capped stop exit took to sell "
        "its last share (1 unless `participation=` capped one)",
    ),
    Field(
        "row_traded", "row_traded", np.float64, "row", "", "|value traded| on the row, in units of the starting capital"
    ),
    Field("row_costs", "row_costs", np.float64, "row", "", "fees + taxes + impact paid on the row"),
    Field(
        "row_financing",
        "row_financing",
        np.float64,
        "row",
        "",
        "interest on cash paid on the row (negative when earned), in units of the starting capital",
    ),
    Field("row_long", "row_long", np.float64, "row", "", "the value of the long holdings at the row's close"),
    Field("row_short", "row_short", np.float64, "row", "", "the value of the short holdings at the close (<= 0)"),
    Field("row_impact", "row_impact", np.float64, "row", "", "market impact paid on the row"),
    Field(
        "row_unestimated",
        "row_unestimated",
        np.int64,
        "row",
        "",
        "fills on the row the impact model had no estimate for (too few rows or no volume before it)",
    ),
    Field("row_below_lot", "row_below_lot", np.int64, "row", "", "targets on the row too small for one lot (`lot=`)"),
    Field(
        "row_uncapped",
        "row_uncapped",
        np.int64,
        "row",
        "",
        "fills on the row `participation=` could not cap: no volume estimate for their cell",
    ),
)

PER_TRADE: tuple[Field, ...] = tuple(f for f in FIELDS if f.per == "trade")
PER_ROW: tuple[Field, ...] = tuple(f for f in FIELDS if f.per == "row")
#: The trades table's columns taken from the ledger as they are, with what they mean.
TRADE_COLUMNS: tuple[Field, ...] = tuple(f for f in PER_TRADE if f.column)


def fields_doc(fields: tuple[Field, ...], *, by: str = "name") -> str:
    """The fields as "`name`: meaning" lines (by `Records` attribute or by trades column)."""
    return "\n".join(f"`{getattr(f, by)}`: {f.doc}" for f in fields)


@dataclass(frozen=True, eq=False)
class Records:
    # Its attributes are FIELDS' names in order (a test keeps them equal), then the
    # statistics and the reason names; the docstring is made from FIELDS below.

    sid: Int64Array
    entry: Int64Array
    exit: Int64Array
    side: Int8Array
    weight: Float64Array
    entry_price: Float64Array
    exit_price: Float64Array
    exit_reason: Int8Array
    fees: Float64Array
    taxes: Float64Array
    slippage: Float64Array
    borrow: Float64Array
    impact: Float64Array
    filled_fraction: Float64Array
    fill_rows: Int64Array
    row_traded: Float64Array
    row_costs: Float64Array
    row_financing: Float64Array
    row_long: Float64Array
    row_short: Float64Array
    row_impact: Float64Array
    row_unestimated: Int64Array
    row_below_lot: Int64Array
    row_uncapped: Int64Array
    statistics: Float64Array
    reason_names: tuple[str, ...]

    def __len__(self) -> int:
        return int(self.sid.shape[0])

    @property
    def exit_snapshot(self) -> Float64Array:
        """(records, 6): the statistics at the exit (or now, while open)."""
        return self.statistics[:, -SNAPSHOT_SIZE:]

    @cached_property
    def exit_columns(self) -> Float64Array:
        """(6, records): the exit snapshot one statistic per row, each contiguous (for fast column work)."""
        columns = np.ascontiguousarray(self.exit_snapshot.T)
        columns.flags.writeable = False
        return columns

    def exit_value(self, field: Snapshot) -> Float64Array:
        """One statistic of the exit snapshot, for every record."""
        column: Float64Array = self.exit_columns[field]
        return column

    @property
    def exit_reasons(self) -> tuple[str, ...]:
        """The reasons a trade can be closed for (the reason names without "open")."""
        return tuple(name for name in self.reason_names if name != OPEN)


Records.__doc__ = (
    "The ledger of one run, in its order (closed trades in closing order, then open ones).\n\n"
    "Per trade:\n\n"
    + fields_doc(PER_TRADE)
    + "\n`statistics`: (trades, statistics_size): window snapshots, then the exit's\n\nPer market row:\n\n"
    + fields_doc(PER_ROW)
)


def records_from_ledger(ledger: Mapping[str, Any], rows: int, window: int, step: int) -> Records:
    """Check the engine's ledger (a dict of arrays) and take its arrays, read-only, without copying them.

    Raises RuntimeError naming the first array that is missing or not of
    its dtype and shape, or a reason code out of range.
    """
    reason_names = ledger.get("reason_names")
    if not isinstance(reason_names, tuple) or not reason_names or reason_names[0] != OPEN:
        raise RuntimeError(f"the ledger's reason_names are {reason_names!r}, not a tuple starting with {OPEN!r}")
    names = tuple(str(name) for name in reason_names)
    size = statistics_size(window, step)
    try:
        found = _as_laid_out(ledger, rows, size)
    except (KeyError, AttributeError):  # a field missing or not an array: the check below names it
        found = None
    if found is None:
        found = _checked_one_by_one(ledger, rows, size)
    codes = found[_REASON_AT]
    if codes.shape[0] and (int(np.minimum.reduce(codes)) < 0 or int(np.maximum.reduce(codes)) >= len(reason_names)):
        raise RuntimeError("the ledger has an exit reason code out of range")
    for array in found:
        array.setflags(write=False)  # what `array.flags.writeable = False` calls, called at once
    return Records(**dict(zip(_ATTRIBUTES, found)), reason_names=names)


def _as_laid_out(ledger: Mapping[str, Any], rows: int, size: int) -> list[Any] | None:
    """The ledger's arrays in `Records`' order when every one is an array of its dtype and shape (as the
    engine hands them out), else None; checked all at once, as a sweep checks a ledger per run."""
    arrays = [ledger[key] for key in _KEYS]
    if any(type(array) is not np.ndarray for array in arrays):
        return None
    if tuple(array.dtype for array in arrays) != _DTYPES:
        return None
    n = arrays[0].shape[0] if arrays[0].ndim == 1 else -1
    shapes = [array.shape for array in arrays]  # (the statistics last)
    if shapes != [(n,)] * len(_PER_TRADE) + [(rows,)] * len(_PER_ROW) + [(n, size)]:
        return None
    return arrays


def _checked_one_by_one(ledger: Mapping[str, Any], rows: int, size: int) -> list[Any]:
    """The ledger's arrays in `Records`' order, checked one at a time: RuntimeError naming the first that is
    missing or not of its dtype and shape."""
    found: list[Any] = []
    n = -1
    for key, dtype in _PER_TRADE:
        array = _array(ledger, key, dtype)
        n = array.shape[0] if n < 0 else n
        if array.shape != (n,):
            raise RuntimeError(f"the ledger's {key!r} has shape {array.shape}, not ({n},)")
        found.append(array)
    statistics = _array(ledger, "statistics", _FLOAT64)
    if statistics.shape != (n, size):
        raise RuntimeError(f"the ledger's 'statistics' has shape {statistics.shape}, not ({n}, {size})")
    for key, dtype in _PER_ROW:
        array = _array(ledger, key, dtype)
        if array.shape != (rows,):
            raise RuntimeError(f"the ledger's {key!r} has shape {array.shape}, not ({rows},)")
        found.append(array)
    return [*found, statistics]


# The fields as the checks read them, in `Records`' order (the trade fields, the row fields, the statistics),
# their dtypes made once (a sweep checks a ledger per run).
_FLOAT64 = np.dtype(np.float64)
_PER_TRADE = tuple((f.key, np.dtype(f.dtype)) for f in PER_TRADE)
_PER_ROW = tuple((f.key, np.dtype(f.dtype)) for f in PER_ROW)
_KEYS = (*(key for key, _ in _PER_TRADE), *(key for key, _ in _PER_ROW), "statistics")
_DTYPES = (*(dtype for _, dtype in _PER_TRADE), *(dtype for _, dtype in _PER_ROW), _FLOAT64)
_REASON_AT = _KEYS.index("exit_reason")
_ATTRIBUTES = (*(f.name for f in PER_TRADE), *(f.name for f in PER_ROW), "statistics")


def _array(ledger: Mapping[str, Any], key: str, dtype: np.dtype[Any]) -> Any:
    array = ledger.get(key)
    if not isinstance(array, np.ndarray) or array.dtype != dtype:
        shown = array.dtype if isinstance(array, np.ndarray) else type(array).__name__
        raise RuntimeError(f"the ledger's {key!r} is {shown}, not a {dtype.name} array")
    return array
