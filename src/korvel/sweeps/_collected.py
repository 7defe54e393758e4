"""What a sweep's client keeps of its combinations: typed columns, not an object per combination.

A million combinations must fit in the client: each statistic is one
float64 column over the grid's positions (8 bytes a figure, NaN where a
combination has none), with its kind ("int", "bool" or "float") noted so
that `Sweep.stats` gives back the dtypes the rows would have had.  Values
that are not numbers (a statistic given as text, say) are kept by position
beside the column.  Failures and warnings are kept only for the
combinations that have them.  Equity, returns and trades are kept here
only for a sweep without a store (with one, they are read back from it).
"""

from __future__ import annotations

import numbers
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from korvel.sweeps._task import WARNINGS, Failed, Outcome

#: A combination's state.
PENDING, DONE, FAILED = 0, 1, 2
#: The numeric statistics' kinds, from the narrowest ("none": no value yet).
KINDS = ("none", "bool", "int", "float")
#: A date's statistic (a start, a drawdown's trough) is kept as int64 nanoseconds, NaT as this.
NAT = np.iinfo(np.int64).min


class Collected:
    """The outcomes of a grid of `count` combinations, by position."""

    def __init__(self, count: int) -> None:
        self.count = count
        self.state = np.zeros(count, dtype=np.int8)
        self.columns: dict[str, np.ndarray] = {}  # statistic -> float64 values by position
        self.kinds: dict[str, str] = {}
        self.units: dict[str, str] = {}  # a date statistic's unit, as its first value has it
        self.others: dict[str, dict[int, Any]] = {}  # statistic -> its non-numeric values by position
        self.failures: dict[int, Failed] = {}
        # The warnings: per kind, a code by position into `texts` (-1: none), each distinct text kept once.
        self.said: dict[str, np.ndarray] = {}
        self.texts: list[str] = []
        self._codes: dict[str, int] = {}
        self.kept: dict[str, dict[int, Any]] = {}  # equity, returns, trades by position (no store only)

    def add(self, position: int, outcome: Outcome, *, keep: bool = True) -> None:
        """Record a combination's outcome (a later one replaces an earlier one); `keep`: its equity, returns
        and trades too."""
        self._forget(position)
        if isinstance(outcome, Failed):
            self.state[position] = FAILED
            self.failures[position] = outcome
            return
        self.state[position] = DONE
        for kind, text in (outcome.kept.get(WARNINGS) or {}).items():
            codes = self.said.get(kind)
            if codes is None:
                codes = self.said[kind] = np.full(self.count, -1, dtype=np.int32)
            code = self._codes.get(text)
            if code is None:
                code = self._codes[text] = len(self.texts)
                self.texts.append(text)
            codes[position] = code
        stats = outcome.kept.get("stats")
        if isinstance(stats, Mapping):
            columns, kinds = self.columns, self.kinds
            for name, value in stats.items():
                # The usual figures at once, as `_set` keeps them: a float or an int into a column of numbers
                # that already holds its kind, a date into one of dates.
                column = columns.get(name)
                if column is not None:
                    kind, cls = kinds[name], type(value)
                    if cls is float and kind == "float":
                        column[position] = value
                        continue
                    if cls is int and (kind == "int" or kind == "float") and abs(value) <= 2**53:
                        column[position] = float(value)
                        continue
                    if cls is pd.Timestamp and kind == "date" and value.tz is None and name in self.units:
                        column[position] = value.value
                        continue
                self._set(name, position, value)
        if keep:
            for name, value in outcome.kept.items():
                if name not in ("stats", WARNINGS):
                    self.kept.setdefault(name, {})[position] = value

    def discard(self, position: int) -> None:
        """Forget a combination's outcome: it is pending again."""
        self._forget(position)
        self.state[position] = PENDING

    def _forget(self, position: int) -> None:
        if self.state[position] == PENDING:
            return
        self.failures.pop(position, None)
        for codes in self.said.values():
            codes[position] = -1
        for column in self.columns.values():
            column[position] = NAT if column.dtype == np.int64 else np.nan
        for values in self.others.values():
            values.pop(position, None)
        for values in self.kept.values():
            values.pop(position, None)

    def _set(self, name: str, position: int, value: Any) -> None:
        column = self.columns.get(name)
        date = value is pd.NaT or (isinstance(value, pd.Timestamp) and value.tz is None)
        if column is None or (self.kinds[name] == "none" and date):
            column = self.columns[name] = np.full(self.count, NAT) if date else np.full(self.count, np.nan)
            self.kinds[name] = "date" if date else "none"
        if value is None:
            return  # missing, as a row of dicts reads it
        if self.kinds[name] == "date" or date:
            if self.kinds[name] == "date" and date:
                if value is not pd.NaT:
                    self.units.setdefault(name, value.unit)
                column[position] = NAT if value is pd.NaT else value.value
            else:  # a date among numbers, or a number among dates: kept as it is
                self.others.setdefault(name, {})[position] = value
            return
        if isinstance(value, (bool, np.bool_)):
            kind = "bool"
        elif isinstance(value, numbers.Integral) and abs(int(value)) <= 2**53:  # exact in a float64
            kind = "int"
        elif isinstance(value, numbers.Real):
            kind = "float"
        else:  # not a number: kept as it is
            self.others.setdefault(name, {})[position] = value
            return
        column[position] = float(value)
        if KINDS.index(kind) > KINDS.index(self.kinds[name]):
            self.kinds[name] = kind

    # ------------------------------------------------------------------ reading

    def positions(self, state: int) -> np.ndarray:
        return np.flatnonzero(self.state == state)

    def frame(self, positions: np.ndarray, index: pd.Index) -> pd.DataFrame:
        """The statistics of the combinations at `positions` (all done), as the rows' dicts would make them:
        ints and bools as such where every row has one, floats otherwise (NaN where a row has none)."""
        out: dict[str, Any] = {}
        for name, column in self.columns.items():
            values = column[positions]
            others = self.others.get(name)
            kind = self.kinds[name]
            if kind == "date":
                dates = values.view("M8[ns]").astype(f"M8[{self.units.get(name, 'ns')}]")
                if others and any(int(p) in others for p in positions):
                    mixed = np.array([pd.Timestamp(d) for d in dates], dtype=object)
                    for j, p in enumerate(positions):
                        mixed[j] = others.get(int(p), mixed[j])
                    out[name] = mixed
                else:
                    out[name] = dates
                continue
            missing = np.isnan(values)
            if kind == "none" and not others:
                out[name] = np.full(len(positions), None, dtype=object)
            elif others and any(int(p) in others for p in positions):
                mixed = np.array([np.nan if m else _as(kind, v) for v, m in zip(values, missing)], dtype=object)
                for j, p in enumerate(positions):
                    if int(p) in others:
                        mixed[j] = others[int(p)]
                out[name] = mixed
            elif kind == "float" or (kind == "int" and missing.any()):
                out[name] = values
            elif missing.any():  # bools with gaps: objects, as rows of dicts give
                out[name] = np.array([np.nan if m else bool(v) for v, m in zip(values, missing)], dtype=object)
            elif kind == "int":
                out[name] = values.astype(np.int64)
            else:
                out[name] = values.astype(bool)
        return pd.DataFrame(out, index=index)

    def warnings_of(self, kind: str, positions: np.ndarray) -> np.ndarray:
        """The texts of the warnings of `kind` of the combinations at `positions` (None where they have none)."""
        texts = np.array([*self.texts, None], dtype=object)
        out: np.ndarray = texts[self.said[kind][positions]]  # a code of -1 takes the None at the end
        return out


def _as(kind: str, value: float) -> Any:
    if value != value:
        return value
    return bool(value) if kind == "bool" else int(value) if kind == "int" else value
