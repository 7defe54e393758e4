"""The combinations of a sweep: a grid expanded in order, or a list of parameter dicts, checked once.

A grid ``{"lookback": [60, 120], "top": [10, 20]}`` expands like nested
loops, the first key outermost: (60, 10), (60, 20), (120, 10), (120, 20).
Every combination becomes one row of the sweep, indexed by a MultiIndex
whose levels are the keys in the grid's order, so the values along each key
must be hashable and a combination may not repeat.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Hashable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

Params = dict[str, Any]


def grid(
    axes: Mapping[str, Iterable[Any]] | None = None,
    /,
    *,
    where: Callable[[Params], object] | None = None,
    **more: Iterable[Any],
) -> list[Params]:
    """Every combination of the values along each key, the first key outermost.

        korvel.grid(lookback=[60, 120, 250], top=[10, 20], where=lambda p: p["top"] * 10 <= p["lookback"])

    The keys come as a mapping, as keywords, or both (a key may not be given
    twice).  `where`, if given, is called with each combination (a dict) and
    keeps those for which it is true.  Returns the combinations as a list of
    dicts, ready for ``korvel.sweep(..., grid=...)``.
    """
    merged: dict[str, Iterable[Any]] = {}
    if axes is not None:
        if not isinstance(axes, Mapping):
            raise TypeError(f"grid takes a mapping of key -> values, not {type(axes).__name__}")
        merged.update(axes)
    for key, values in more.items():
        if key in merged:
            raise TypeError(f"grid got the key {key!r} twice")
        merged[key] = values
    if where is not None and not callable(where):
        raise TypeError(f"where must be a function of a combination (a dict), not {type(where).__name__}")
    keys, axes_ = _axes(merged)
    combos = [dict(zip(keys, values)) for values in itertools.product(*axes_)]
    return combos if where is None else [p for p in combos if where(dict(p))]


class Product(Sequence[Params]):
    """Every combination of a grid's axes, the first key outermost, without a dict kept per combination:
    combination i is made from its position (a number in mixed radix, one digit per axis) when asked for."""

    def __init__(self, keys: tuple[str, ...], axes: list[list[Any]]) -> None:
        self.keys = keys
        self.axes = axes
        self._sizes = [len(a) for a in axes]
        self._count = int(np.prod(self._sizes, dtype=np.int64)) if axes else 0

    def __len__(self) -> int:
        return self._count

    def digits(self, positions: np.ndarray) -> list[np.ndarray]:
        """The position along each axis of the combinations at `positions`."""
        rest = np.asarray(positions, dtype=np.int64)
        out: list[np.ndarray] = []
        for size in reversed(self._sizes):
            out.append(rest % size)
            rest = rest // size
        return out[::-1]

    def _one(self, i: int) -> Params:
        if i < 0:
            i += self._count
        if not 0 <= i < self._count:
            raise IndexError(f"combination {i} of {self._count}")
        params: Params = {}
        for key, axis, size in zip(reversed(self.keys), reversed(self.axes), reversed(self._sizes)):
            i, digit = divmod(i, size)
            params[key] = axis[digit]
        return {k: params[k] for k in self.keys}

    def __getitem__(self, i: Any) -> Any:
        if isinstance(i, slice):
            return [self._one(j) for j in range(*i.indices(self._count))]
        return self._one(int(i))

    def __iter__(self) -> Iterator[Params]:
        for values in itertools.product(*self.axes):
            yield dict(zip(self.keys, values))


class Columns(Sequence[Params]):
    """Combinations listed one by one (not a product of axes), kept as columns without a dict per combination:
    each key's distinct values (`axes`, as a `Product` has them) and one code per combination into them."""

    def __init__(self, keys: tuple[str, ...], axes: list[list[Any]], codes: list[np.ndarray]) -> None:
        if len(axes) != len(keys) or len(codes) != len(keys) or len({len(c) for c in codes}) > 1:
            raise ValueError("columns: one list of values and one array of codes per key, all as long")
        for axis, column in zip(axes, codes):
            if len(column) and (column.min() < 0 or column.max() >= len(axis)):
                raise ValueError("columns: a code names no value")
        self.keys = keys
        self.axes = axes
        self.codes = codes
        self._count = len(codes[0]) if codes else 0

    def __len__(self) -> int:
        return self._count

    def digits(self, positions: np.ndarray) -> list[np.ndarray]:
        """The code along each key of the combinations at `positions`."""
        at = np.asarray(positions, dtype=np.int64)
        return [column[at] for column in self.codes]

    def _one(self, i: int) -> Params:
        if i < 0:
            i += self._count
        if not 0 <= i < self._count:
            raise IndexError(f"combination {i} of {self._count}")
        return {k: axis[int(column[i])] for k, axis, column in zip(self.keys, self.axes, self.codes)}

    def __getitem__(self, i: Any) -> Any:
        if isinstance(i, slice):
            return [self._one(j) for j in range(*i.indices(self._count))]
        return self._one(int(i))

    def __iter__(self) -> Iterator[Params]:
        for i in range(self._count):
            yield self._one(i)


@dataclass(frozen=True)
class Combinations:
    """The checked combinations of a sweep, in order, and their index."""

    keys: tuple[str, ...]
    # A `Product` for a grid of axes, else the list of dicts given (`Columns` for a list read back from a store).
    params: Sequence[Params]

    def __len__(self) -> int:
        return len(self.params)

    def index(self, positions: Sequence[int] | np.ndarray | None = None) -> pd.MultiIndex:
        """The MultiIndex of the combinations at `positions` (all, in order, by default)."""
        if positions is None:
            positions = np.arange(len(self.params))
        if len(positions) == 0:
            return pd.MultiIndex(levels=[[]] * len(self.keys), codes=[[]] * len(self.keys), names=list(self.keys))
        if isinstance(self.params, (Product, Columns)):
            # One object array per level, taken from the axes: what from_tuples builds, without the tuples.
            digits = self.params.digits(np.asarray(positions))
            arrays = []
            for axis, digit in zip(self.params.axes, digits):
                values = np.empty(len(axis), dtype=object)
                for j, value in enumerate(axis):  # element by element: a tuple stays one value
                    values[j] = value
                arrays.append(values[digit])
            return pd.MultiIndex.from_arrays(arrays, names=list(self.keys))
        tuples = [tuple(self.params[int(i)][k] for k in self.keys) for i in positions]
        return pd.MultiIndex.from_tuples(tuples, names=list(self.keys))


def expand(given: object) -> Combinations:
    """Combinations from a grid (key -> values) or from a sequence of parameter dicts."""
    if isinstance(given, Mapping):
        keys, axes = _axes(dict(given))
        # Distinct values along each axis make distinct combinations: nothing to check per combination.
        return Combinations(keys, Product(keys, axes))
    elif isinstance(given, Sequence) and not isinstance(given, (str, bytes)):
        params = _dicts(given)
        keys = tuple(params[0]) if params else ()
    else:
        raise TypeError(
            f"grid must be a mapping of key -> values or a list of parameter dicts, not {type(given).__name__}"
        )
    if not params:
        raise ValueError("grid has no combinations (did a where= filter remove them all?)")
    seen: dict[tuple[Any, ...], int] = {}
    for i, p in enumerate(params):
        key = canonical(p)
        if key in seen:
            raise ValueError(f"grid: combination {i} {p} repeats combination {seen[key]}")
        seen[key] = i
    return Combinations(keys, params)


def canonical(params: Mapping[str, Any]) -> tuple[tuple[str, Any], ...]:
    """A hashable key of a combination, whatever the order of its keys: NumPy scalars read as the
    Python values they hold."""
    return tuple(sorted((k, plain(v)) for k, v in params.items()))


def plain(value: Any) -> Any:
    """A NumPy scalar as the Python value it holds; any other value as it is."""
    return value.item() if isinstance(value, np.generic) else value


def same(a: Any, b: Any) -> bool:
    """Two grid values are the same: equal as plain values, or both missing (None or NaN, as an index reads None)."""
    a, b = plain(a), plain(b)
    if _missing(a) or _missing(b):
        return _missing(a) and _missing(b)
    if isinstance(a, bool) or isinstance(b, bool):  # True is not the grid value 1
        return a is b
    try:
        return bool(a == b)
    except (TypeError, ValueError):  # values that do not compare to one truth value
        return False


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and value != value)


def _axes(given: dict[Any, Any]) -> tuple[tuple[str, ...], list[list[Any]]]:
    if not given:
        raise ValueError("grid has no keys")
    keys: list[str] = []
    axes: list[list[Any]] = []
    for key, values in given.items():
        _key(key, "grid")
        if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
            raise TypeError(
                f"grid[{key!r}] must be a list of values, not {type(values).__name__} "
                f"(one value: [{values!r}], or pass it to sweep as a keyword)"
            )
        listed = list(np.asarray(values).tolist() if isinstance(values, np.ndarray) else values)
        if not listed:
            raise ValueError(f"grid[{key!r}] has no values")
        seen: dict[Any, int] = {}
        for value in listed:
            _hashable(value, f"grid[{key!r}]")
            if value in seen:
                raise ValueError(f"grid[{key!r}] has the value {value!r} twice")
            seen[value] = 1
        keys.append(key)
        axes.append(listed)
    return tuple(keys), axes


def _dicts(given: Sequence[Any]) -> list[Params]:
    params: list[Params] = []
    first: tuple[str, ...] = ()
    for i, p in enumerate(given):
        if not isinstance(p, Mapping):
            raise TypeError(f"grid: combination {i} must be a dict of parameters, not {type(p).__name__}")
        keys = tuple(p)
        if i == 0:
            if not keys:
                raise ValueError("grid: combination 0 has no parameters")
            for key in keys:
                _key(key, "grid")
            first = keys
        elif set(keys) != set(first):
            raise ValueError(
                f"grid: combination {i} has the keys {sorted(keys)} but combination 0 has "
                f"{sorted(first)}; every combination needs the same keys"
            )
        for key in first:
            _hashable(p[key], f"grid: combination {i}, {key!r}")
        params.append({k: p[k] for k in first})
    return params


def _key(key: object, where: str) -> None:
    if not isinstance(key, str) or not key.isidentifier():
        raise TypeError(f"{where}: the key {key!r} is not a keyword name")


def _hashable(value: object, where: str) -> None:
    if not isinstance(value, Hashable):
        raise TypeError(
            f"{where}: the value {value!r} is not hashable (it labels the sweep's rows); use a tuple instead of a list"
        )
    try:
        hash(value)
    except TypeError:
        raise TypeError(f"{where}: the value {value!r} is not hashable (it labels the sweep's rows)") from None
