"""The market file: a `Market`'s arrays laid out as they are in memory, so that it can be mapped read-only.

One format for `Market.save` / `Market.load` and for the file a sweep
publishes to its worker processes (`korvel.sweeps.backends._sharing`)::

    header   magic (16 bytes), version, checksum, then the offset and length
             of the description and of the extra bytes (little-endian)
    arrays   each at a multiple of 64 bytes: dates, close (and open, high,
             low when given), delisting rows (and volume when given)
    meta     the description, JSON: the arrays' offsets, dtypes and shapes,
             the instruments, their labels as text, timezone, unit, tables
    extra    bytes the writer adds (a sweep's pickled job), read by it alone

Nothing in the market's part is pickled: loading a file runs no code.  The
header's checksum covers the description and the dates, so a file whose
labels or dates do not match its header is refused; a file shorter than its
header says (torn while written or copied) is refused before anything is
mapped.  The description records a digest of every array (`table_digest`):
a verified read recomputes them all and runs the Market's own checks on the
values (prices positive or NaN, high above low); a trusted read (a sweep's
workers, ``Market.load(..., verify=False)``) checks the digests of the dates,
labels and delisting rows alone, so that only the pages a run touches are
read.  Either way the loaded market carries the recorded digests.
"""

from __future__ import annotations

import dataclasses
import json
import mmap as mmap_module
import os
import stat
import struct
import zlib
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from korvel._market import (
    TABLES,
    Market,
    MarketView,
    carry_digests,
    check_values,
    from_view,
    table_digest,
    table_digests,
    view_of,
    warn_inconsistent_ohlc,
)

MAGIC = b"korvel-market\0\0\0"
#: 2: a digest of every array in the description.
VERSION = 2
ALIGN = 64
# magic, version, checksum, meta offset, meta length, extra offset, extra length
_HEADER = struct.Struct("<16sIIQQQQ")
# The arrays a file holds and their dtypes; the shapes follow from the market's.
_DTYPES = {
    "dates": "<i8",
    "close": "<f8",
    "open": "<f8",
    "high": "<f8",
    "low": "<f8",
    "delisting_rows": "<i8",
    "volume": "<f8",
}
_LABEL_TYPES = (str, int, float, bool)
#: The arrays whose digests every read checks (small, and what the header describes).
_ALWAYS_CHECKED = ("dates", "labels", "delisting_rows")
#: The dtypes instrument labels are written with (text, or numbers).
_TEXT_DTYPES = ("object", "str", "string")


class MarketFileError(ValueError):
    """A file that is not a whole market file."""


@dataclasses.dataclass(frozen=True)
class Header:
    """What a market file's header says (enough to check that a file is the one expected)."""

    checksum: int
    meta_at: int
    meta_len: int
    extra_at: int
    extra_len: int

    @property
    def end(self) -> int:
        return max(self.meta_at + self.meta_len, self.extra_at + self.extra_len)


def write(market: Market, path: str | os.PathLike[str], extra: bytes = b"", *, exclusive: bool = False) -> None:
    """Write `market` (and `extra`) to `path`: written beside it and renamed, so a reader never sees half."""
    view = view_of(market)
    meta: dict[str, Any] = {
        "shape": [int(view.dates.shape[0]), len(view.instruments)],
        "given": list(view.given),
        "tz": _tz_text(view.tz),
        "unit": view.unit,
        "instruments": _instruments(view.instruments),
        "labels": [str(x) for x in view.labels],
        "arrays": {},
        "digests": table_digests(market),
    }
    arrays = {name: np.ascontiguousarray(value) for name, value in view.arrays().items() if name in _DTYPES}
    offset = _HEADER.size
    for name, array in arrays.items():
        offset = _aligned(offset)
        meta["arrays"][name] = {"offset": offset, "dtype": _DTYPES[name], "shape": list(array.shape)}
        offset += array.nbytes
    text = json.dumps(meta, ensure_ascii=True, allow_nan=False).encode()
    meta_at = _aligned(offset)
    extra_at = _aligned(meta_at + len(text))
    checksum = _checksum(text, arrays["dates"])
    header = _HEADER.pack(MAGIC, VERSION, checksum, meta_at, len(text), extra_at, len(extra))
    target = Path(path)
    temporary = target.with_name(f".{target.name}.{os.getpid()}.partial")
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600 if exclusive else 0o644)
    except OSError as exc:  # named by the caller's path, not by the file written beside it
        raise type(exc)(exc.errno, f"cannot write the market file {os.fspath(path)}: {exc.strerror}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(header)
            for name, array in arrays.items():
                f.seek(meta["arrays"][name]["offset"])
                f.write(array.astype(_DTYPES[name], copy=False).data)
            f.seek(meta_at)
            f.write(text)
            f.seek(extra_at)
            f.write(extra)
            f.truncate(extra_at + len(extra))
            f.flush()
            os.fsync(f.fileno())
        if exclusive:
            os.link(temporary, target)  # fails if the name is taken
            os.unlink(temporary)
        else:
            os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def read(
    path: str | os.PathLike[str], *, mmap: bool = True, verify: bool = False
) -> tuple[Market, Header, memoryview | bytes]:
    """The market in a file (its arrays mapped read-only, or read into memory), its header, its extra bytes.

    `verify`: also check the digests of the price tables and their values, as
    `Market` checks them (reading every page of a mapped file once).
    """
    name = os.fspath(path)
    try:
        with _open_regular(name) as f:
            size = os.fstat(f.fileno()).st_size
            if size < _HEADER.size:
                raise MarketFileError(f"{name} is not a market file: {size} bytes, less than a header")
            if mmap:
                buffer: Any = mmap_module.mmap(f.fileno(), 0, access=mmap_module.ACCESS_READ)
            else:
                buffer = f.read()
    except OSError as exc:
        raise OSError(exc.errno, f"cannot read the market file {name}: {exc.strerror}") from None
    header = _header(name, buffer)
    if len(buffer) < header.end:
        raise MarketFileError(
            f"{name} is torn: {len(buffer)} bytes where its header says {header.end} (written or copied in part)"
        )
    meta = _meta(name, buffer, header)
    state = _state(name, buffer, meta, copy=not mmap)
    if _checksum(bytes(buffer[header.meta_at : header.meta_at + header.meta_len]), state["dates"]) != header.checksum:
        raise MarketFileError(f"{name} does not match its header: the checksum of its labels and dates differs")
    view = MarketView(**state)
    digests = _digests(name, meta, view, verify)
    problem = check_values(view, prices=verify)
    if problem is not None:
        raise MarketFileError(f"{name} holds a market its checks refuse: {problem}")
    market = from_view(view)
    if verify:
        warn_inconsistent_ohlc(market, stacklevel=4)
    carry_digests(market, digests)
    extra = memoryview(buffer)[header.extra_at : header.extra_at + header.extra_len]
    return market, header, extra


def _open_regular(name: str) -> Any:
    """The file opened for reading, refused unless it is a regular file (a pipe would block the open)."""
    fd = os.open(name, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            kind = "a folder" if stat.S_ISDIR(mode) else "a pipe" if stat.S_ISFIFO(mode) else "not a regular file"
            raise MarketFileError(f"{name} is {kind}; a market file is read from a regular file")
        if hasattr(os, "set_blocking"):
            os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _digests(name: str, meta: dict[str, Any], view: MarketView, verify: bool) -> dict[str, str]:
    """The digests the file records, checked against the arrays (the price tables only when verifying)."""
    recorded = meta.get("digests")
    arrays = view.arrays()
    if (
        not isinstance(recorded, dict)
        or set(recorded) != set(arrays)
        or not all(isinstance(v, str) for v in recorded.values())
    ):
        raise MarketFileError(f"{name} does not match its header: its digests do not name its arrays")
    for field, array in arrays.items():
        if (verify or field in _ALWAYS_CHECKED) and table_digest(array) != recorded[field]:
            raise MarketFileError(
                f"{name} does not match its header: the digest of its {field} differs (the file was changed or "
                "damaged after it was written)"
            )
    return dict(recorded)


def header_of(path: str | os.PathLike[str]) -> Header:
    """The header of a market file, checked against the file's size (the arrays are not read)."""
    name = os.fspath(path)
    with _open_regular(name) as f:
        head = f.read(_HEADER.size)
        size = os.fstat(f.fileno()).st_size
    header = _header(name, head)
    if size < header.end:
        raise MarketFileError(f"{name} is torn: {size} bytes where its header says {header.end}")
    return header


# --------------------------------------------------------------------------- parts


def _aligned(offset: int) -> int:
    return -(-offset // ALIGN) * ALIGN


def _checksum(meta: bytes, dates: np.ndarray) -> int:
    return zlib.crc32(np.ascontiguousarray(dates).data, zlib.crc32(meta))


def _tz_text(tz: Any) -> str | None:
    if tz is None:
        return None
    text = str(tz)
    try:
        same = pd.DatetimeTZDtype(tz=text) == pd.DatetimeTZDtype(tz=tz)
    except Exception:
        same = False
    if not same:
        raise ValueError(f"Market.save: the timezone {tz!r} cannot be written by name")
    return text


def _instruments(index: pd.Index) -> dict[str, Any]:
    values = index.tolist()
    bad = next((v for v in values if not isinstance(v, _LABEL_TYPES)), None)
    if bad is not None:
        raise TypeError(
            f"Market.save: instrument labels are written as text or numbers; {bad!r} is a {type(bad).__name__}"
        )
    name = index.name if index.name is None or isinstance(index.name, _LABEL_TYPES) else str(index.name)
    return {"values": values, "dtype": str(index.dtype), "name": name}


def _header(name: str, buffer: Any) -> Header:
    magic, version, checksum, meta_at, meta_len, extra_at, extra_len = _HEADER.unpack_from(buffer, 0)
    if magic != MAGIC:
        raise MarketFileError(f"{name} is not a market file (it does not start as one)")
    if version < VERSION:
        raise MarketFileError(
            f"{name} is a market file of version {version}, written by an older korvel; this korvel reads version "
            f"{VERSION} (it checksums every table): build the Market again and save it again (Market.save)"
        )
    if version != VERSION:
        raise MarketFileError(f"{name} is a market file of version {version}; this korvel reads version {VERSION}")
    return Header(checksum, meta_at, meta_len, extra_at, extra_len)


def _numeric(dtype: str) -> bool:
    try:
        return np.dtype(dtype).kind in "biuf"
    except TypeError:
        return False


def _meta(name: str, buffer: Any, header: Header) -> dict[str, Any]:
    try:
        meta = json.loads(bytes(buffer[header.meta_at : header.meta_at + header.meta_len]))
        if not isinstance(meta, dict):
            raise ValueError("not an object")
        return meta
    except ValueError as exc:
        raise MarketFileError(f"{name} does not match its header: its description cannot be read ({exc})") from None


def _state(name: str, buffer: Any, meta: dict[str, Any], *, copy: bool) -> dict[str, Any]:
    try:
        rows, columns = (int(x) for x in meta["shape"])
        tables = ("close", *TABLES, "volume")
        shapes = {"dates": (rows,), "delisting_rows": (columns,), **dict.fromkeys(tables, (rows, columns))}
        given = tuple(meta["given"])
        if given[:1] != ("close",) or not set(given) <= {"close", *TABLES}:
            raise ValueError(f"tables {given}")
        state: dict[str, Any] = {}
        for field, entry in meta["arrays"].items():
            dtype, shape = _DTYPES[field], tuple(entry["shape"])
            if entry["dtype"] != dtype or shape != shapes[field]:
                raise ValueError(f"{field} is {entry['dtype']} {shape}, not {dtype} {shapes[field]}")
            count, offset = int(np.prod(shape, dtype=np.int64)), int(entry["offset"])
            if offset % ALIGN or offset + count * 8 > len(buffer):
                raise ValueError(f"{field} lies outside the file")
            array = np.frombuffer(buffer, dtype=np.dtype(dtype), count=count, offset=offset).reshape(shape)
            array = array.astype(array.dtype.newbyteorder("="), copy=copy)
            array.flags.writeable = False
            state[field] = array
        missing = {"dates", "delisting_rows", *given} - set(state)
        if missing:
            raise ValueError(f"no {', '.join(sorted(missing))}")
        for table in TABLES:  # a table not given is the close
            state.setdefault(table, state["close"])
        described = meta["instruments"]
        dtype = described["dtype"]
        if not (isinstance(dtype, str) and (dtype in _TEXT_DTYPES or _numeric(dtype))):
            raise ValueError(f"instrument labels of dtype {dtype!r} (text or numbers are written)")
        values = described["values"]
        if not isinstance(values, list) or not all(isinstance(v, _LABEL_TYPES) for v in values):
            raise ValueError("instrument labels that are not a list of text or numbers")
        index_name = described["name"]
        if index_name is not None and not isinstance(index_name, _LABEL_TYPES):
            raise ValueError(f"an instrument index name {index_name!r}")
        instruments = pd.Index(values, dtype=dtype, name=index_name)
        if not isinstance(meta["labels"], list):
            raise ValueError("labels that are not a list")
        labels = np.array([str(x) for x in meta["labels"]], dtype=object)
        labels.flags.writeable = False
        if len(instruments) != columns or len(labels) != columns:
            raise ValueError(f"{len(instruments)} instruments for {columns} columns")
        unit = meta["unit"]
        if unit not in ("s", "ms", "us", "ns"):
            raise ValueError(f"unit {unit!r}")
        tz_name = meta["tz"]
        if tz_name is not None and (not isinstance(tz_name, str) or len(tz_name) > 64):
            raise ValueError(f"timezone {str(tz_name)[:80]!r}")
        try:
            tz = None if tz_name is None else pd.DatetimeTZDtype(tz=tz_name).tz
        except Exception:  # an unknown name raises whatever the time-zone library raises (OSError, KeyError...)
            raise ValueError(f"unknown timezone {tz_name!r}") from None
        state.update(tz=tz, unit=unit, instruments=instruments, labels=labels, given=given)
        return state
    except (KeyError, TypeError, ValueError, AttributeError, IndexError, OverflowError, MemoryError) as exc:
        # A description edited by hand may hold anything where a mapping or a number belongs.
        detail = f"no {exc}" if isinstance(exc, KeyError) else f"{exc}" or type(exc).__name__
        raise MarketFileError(f"{name} does not match its header: {detail}") from None
