"""What a sweep's store must have been written by to be resumed: content digests of everything a result depends on.

A resumed sweep reuses the results of the combinations its store holds, so
the store records what made them: the strategy (its code, not its name), the
value of every fixed keyword, every table of the market, korvel's version
and the rules' defaults.  Any of them different and the store is refused,
naming what differs.

Values are digested by content, stably across processes and runs (no
``hash()``, no addresses): numbers, strings and bytes by value; NumPy arrays
and pandas objects by their dtypes, labels and values; functions by their
code (`_function`); containers element by element.  Anything else is
digested by its pickle bytes, which can only make the fingerprint stricter
(an object whose pickle changes between runs refuses every resume, and says
so by name); one that cannot be pickled, by its type and address
(`content_digest`, for where a digest stands for the value itself, gives
None for it instead: an address is reused once its object is gone).
"""

from __future__ import annotations

import dis
import functools
import hashlib
import pickle
import types
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from korvel._market import Market, table_digests
from korvel._version import __version__
from korvel.simulation._rules import defaults_text

DIGEST_SIZE = 16


def fingerprint(
    strategy: Callable[..., Any], fixed: Mapping[str, Any], market: Market, keep: tuple[str, ...]
) -> dict[str, Any]:
    """The manifest's record of what a sweep's results depend on (plain JSON values)."""
    return {
        "korvel": __version__,
        "defaults": defaults_text(),
        "keep": list(keep),
        "strategy": digest(strategy),
        "strategy_name": _name(strategy),
        "fixed": {name: digest(value) for name, value in sorted(fixed.items())},
        "market": table_digests(market),
    }


#: The entries that say which korvel wrote a store: results of another version may differ.
VERSION_KEYS = ("korvel", "defaults")


def differences(theirs: Mapping[str, Any], ours: Mapping[str, Any]) -> list[str]:
    """What differs between the fingerprint a store holds (`theirs`) and this sweep's, one phrase each."""
    said: list[str] = []
    for key in VERSION_KEYS:
        if theirs.get(key) != ours.get(key):
            said.append(f"{key}: {theirs.get(key, '(not recorded)')} there, {ours.get(key)} here")
    if said:
        return ["written by another version of korvel, whose results may differ (" + "; ".join(said) + ")"]
    if theirs.get("keep") != ours.get("keep"):
        said.append(f"keep: {tuple(theirs.get('keep') or ())!r} there, {tuple(ours.get('keep') or ())!r} here")
    if theirs.get("strategy") != ours.get("strategy"):
        was, now = theirs.get("strategy_name"), ours.get("strategy_name")
        named = f"{now}" if was == now else f"{was} there, {now} here"
        said.append(f"the strategy ({named}): its code, defaults, closure or the globals it reads differ")
    old, new = dict(theirs.get("fixed") or {}), dict(ours.get("fixed") or {})
    for name in sorted(set(old) | set(new)):
        if name not in old:
            said.append(f"the fixed keyword {name!r} is given here only")
        elif name not in new:
            said.append(f"the fixed keyword {name!r} was given there only")
        elif old[name] != new[name]:
            said.append(f"the fixed keyword {name!r} has another value")
    old, new = dict(theirs.get("market") or {}), dict(ours.get("market") or {})
    for name in sorted(set(old) | set(new)):
        if old.get(name) != new.get(name):
            said.append(f"the market's table {name!r} differs")
    return said


# --------------------------------------------------------------------------- digests


def digest(value: Any) -> str:
    """The hex digest of a value's content (of a function: its code and all it reads that is not an argument)."""
    return _digest(value, _Walk(exact=False))


def content_digest(value: Any) -> str | None:
    """`digest`, or None when a part of the value has no content to digest (it cannot be pickled): where a
    digest stands for the value itself (a cache's key), an address is no stand-in, as it is reused."""
    try:
        return _digest(value, _Walk(exact=True))
    except _NoContent:
        return None


@dataclass
class _Walk:
    """A digest under way: the functions entered (a recursive one is digested once), and whether a value
    without content (unpicklable) fails the digest (`_NoContent`) rather than being told by its address."""

    exact: bool
    functions: set[int] = field(default_factory=set)


class _NoContent(Exception):
    pass


def _digest(value: Any, walk: _Walk) -> str:
    h = hashlib.blake2b(digest_size=DIGEST_SIZE)
    _feed(h, value, walk)
    return h.hexdigest()


def _name(strategy: Any) -> str:
    module = getattr(strategy, "__module__", None) or "?"
    return f"{module}.{getattr(strategy, '__qualname__', type(strategy).__name__)}"


def _tag(h: Any, tag: str, data: bytes = b"") -> None:
    h.update(tag.encode() + len(data).to_bytes(8, "little") + data)


def _feed(h: Any, value: Any, walk: _Walk) -> None:
    if value is None or isinstance(value, (bool, int, float, complex)):
        _tag(h, type(value).__name__, repr(value).encode())
    elif isinstance(value, str):
        _tag(h, "str", value.encode("utf-8", "surrogatepass"))
    elif isinstance(value, (bytes, bytearray, memoryview)):
        _tag(h, "bytes", bytes(value))
    elif isinstance(value, np.generic):
        _tag(h, f"np.{value.dtype.str}", value.tobytes() if value.dtype != object else repr(value).encode())
    elif isinstance(value, np.ndarray):
        _array(h, value, walk)
    elif isinstance(value, Market):
        _tag(h, "market", repr(sorted(table_digests(value).items())).encode())
    elif isinstance(value, (pd.Series, pd.DataFrame, pd.Index)):
        _pandas(h, value, walk)
    elif isinstance(value, (pd.Timestamp, pd.Timedelta, pd.DateOffset)):
        _tag(h, type(value).__name__, repr(value).encode())
    elif isinstance(value, (tuple, list)):
        _tag(h, type(value).__name__, str(len(value)).encode())
        for item in value:
            _feed(h, item, walk)
    elif isinstance(value, Mapping):
        _tag(h, "mapping", str(len(value)).encode())
        for key, item in sorted(value.items(), key=lambda kv: _digest(kv[0], _Walk(walk.exact))):
            _feed(h, key, walk)
            _feed(h, item, walk)
    elif isinstance(value, (set, frozenset)):
        _tag(h, "set", "".join(sorted(_digest(v, _Walk(walk.exact)) for v in value)).encode())
    elif isinstance(value, types.FunctionType):
        _function(h, value, walk)
    elif isinstance(value, types.MethodType):
        _tag(h, "method")
        _feed(h, value.__func__, walk)
        _feed(h, value.__self__, walk)
    elif isinstance(value, functools.partial):
        _tag(h, "partial")
        _feed(h, value.func, walk)
        _feed(h, value.args, walk)
        _feed(h, value.keywords, walk)
    elif isinstance(value, types.ModuleType):
        _tag(h, "module", value.__name__.encode())
    elif isinstance(value, (type, types.BuiltinFunctionType)):
        _tag(h, "named", _name(value).encode())
    else:
        try:
            data = pickle.dumps(value, protocol=4)
        except Exception:
            if walk.exact:
                raise _NoContent(type(value).__qualname__) from None
            # Not picklable: nothing stable to compare, so nothing a resume can trust.
            data = f"unpicklable {type(value).__qualname__} {id(value)}".encode()
        _tag(h, "pickle", data)


def _array(h: Any, array: np.ndarray, walk: _Walk) -> None:
    _tag(h, "ndarray", f"{array.dtype.str}{array.shape}".encode())
    if array.dtype == object:
        for item in array.ravel():
            _feed(h, item, walk)
    else:
        h.update(np.ascontiguousarray(array).tobytes())


def _pandas(h: Any, value: pd.Series | pd.DataFrame | pd.Index, walk: _Walk) -> None:
    if isinstance(value, pd.Index):
        _tag(h, type(value).__name__, repr((str(value.dtype), value.names)).encode())
        if isinstance(value, pd.MultiIndex):
            for level in range(value.nlevels):
                _pandas(h, value.get_level_values(level), walk)
        elif isinstance(value, pd.DatetimeIndex):
            _array(h, value.asi8, walk)
        else:
            _array(h, np.asarray(value), walk)
        return
    if isinstance(value, pd.Series):
        _tag(h, "Series", repr((str(value.dtype), value.name)).encode())
        _pandas(h, value.index, walk)
        _column(h, value, walk)
        return
    _tag(h, "DataFrame", repr(value.shape).encode())
    _pandas(h, value.index, walk)
    _pandas(h, value.columns, walk)
    for k in range(value.shape[1]):
        column = value.iloc[:, k]
        _tag(h, "column", str(column.dtype).encode())
        _column(h, column, walk)


def _column(h: Any, column: pd.Series, walk: _Walk) -> None:
    if isinstance(column.dtype, pd.DatetimeTZDtype) or column.dtype.kind in "mM":
        _array(h, column.to_numpy().view("int64") if column.dtype.kind in "mM" else column.array.asi8, walk)
    else:
        _array(h, column.to_numpy(), walk)


def _function(h: Any, function: types.FunctionType, walk: _Walk) -> None:
    """A function by its code: bytecode, constants, names, defaults, closure cells, and the module globals
    its code reads by name (the functions of its own module recursively, by their code)."""
    if id(function) in walk.functions:
        _tag(h, "again", function.__qualname__.encode())
        return
    walk.functions.add(id(function))
    _tag(h, "function", function.__qualname__.encode())
    _code(h, function.__code__, walk)
    _feed(h, function.__defaults__, walk)
    _feed(h, function.__kwdefaults__, walk)
    for cell in function.__closure__ or ():
        try:
            contents = cell.cell_contents
        except ValueError:  # a cell not yet filled
            _tag(h, "empty cell")
            continue
        _feed(h, contents, walk)
    module = function.__module__
    namespace = function.__globals__
    for name in sorted(_names(function.__code__)):
        if name not in namespace:
            continue  # a builtin or an attribute's name
        value = namespace[name]
        _tag(h, "global", name.encode())
        if isinstance(value, types.FunctionType) and value.__module__ != module:
            _tag(h, "named", _name(value).encode())  # another module's function: by reference, as pickle has it
        else:
            _feed(h, value, walk)


def _code(h: Any, code: types.CodeType, walk: _Walk) -> None:
    _tag(h, "code", code.co_code)
    _feed(h, code.co_names, walk)
    _feed(h, code.co_varnames, walk)
    _feed(h, code.co_freevars, walk)
    _tag(h, "consts", str(len(code.co_consts)).encode())
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            _code(h, const, walk)
        else:
            _feed(h, const, walk)


def _names(code: types.CodeType) -> set[str]:
    """The globals a code object (and the code objects nested in it) reads by name (not attribute names,
    which share `co_names` with them)."""
    names = {i.argval for i in dis.get_instructions(code) if i.opname in ("LOAD_GLOBAL", "LOAD_NAME")}
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            names |= _names(const)
    return names
