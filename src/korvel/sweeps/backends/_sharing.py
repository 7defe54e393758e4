"""A sweep's market and job, published once for the worker processes of this machine.

Tasks carry a small `Handle` instead of the market.  A worker resolves it
with `attach`, once per process:

- in the publishing process, and in processes forked from it after it
  published (they inherit this module's registry), the handle names the
  objects themselves: nothing is copied;
- any other process maps the handle's file, read-only: the price tables are
  laid out in it as they are in memory, so every worker reads the same
  physical pages (the file lives in /dev/shm when that has room, a RAM
  filesystem, else in the temporary directory, whose pages the page cache
  shares just the same).

The file holds the market's arrays and, pickled, the rest of its state and
the job (strategy, fixed keywords, what to keep).  It is removed when the
sweep ends; a worker that mapped it keeps its pages until it attaches the
next sweep's market.
"""

from __future__ import annotations

import dataclasses
import mmap
import os
import pickle
import secrets
import struct
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from korvel._market import TABLES, Market, MarketView, from_view, view_of
from korvel.sweeps._task import Job

MAGIC = b"korvel-market\0\0\0"
ALIGN = 64
_HEADER = struct.Struct("<16sQQ")  # magic, offset of the pickled state, its length

# token -> (market, job): what this process published, or attached from a file.
_REGISTRY: dict[str, tuple[Market, Job]] = {}
# The tokens this process attached from a file (evicted when another one is attached).
_MAPPED: list[str] = []


@dataclass(frozen=True)
class Handle:
    token: str
    path: str | None  # None: only this process and its forks can resolve it


@contextmanager
def published(market: Market, job: Job, *, file: bool) -> Iterator[Handle]:
    """Publish the market and the job for the duration of a sweep (with a file for other processes)."""
    token = secrets.token_hex(8)
    path = _write(market, job, token) if file else None
    _REGISTRY[token] = (market, job)
    try:
        yield Handle(token, path)
    finally:
        _REGISTRY.pop(token, None)
        if path is not None:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass


def attach(handle: Handle) -> tuple[Market, Job]:
    """The market and the job a handle names, mapped from its file on first use in this process."""
    found = _REGISTRY.get(handle.token)
    if found is not None:
        return found
    if handle.path is None:
        raise RuntimeError("the sweep's market was published without a file; this process cannot read it")
    found = _read(handle.path)
    while _MAPPED:  # one mapped market at a time: the previous sweep's is released
        _REGISTRY.pop(_MAPPED.pop(), None)
    _REGISTRY[handle.token] = found
    _MAPPED.append(handle.token)
    return found


def dumps_job(job: Job) -> bytes:
    """The job pickled for processes that do not inherit it (by reference where pickle can,
    by value with cloudpickle, when it is installed, for lambdas and local functions)."""
    try:
        return pickle.dumps(job, protocol=pickle.HIGHEST_PROTOCOL)
    except (pickle.PicklingError, AttributeError, TypeError) as exc:
        first = exc
    try:
        import cloudpickle  # type: ignore[import-untyped]
    except ImportError:
        cloudpickle = None
    if cloudpickle is not None:
        try:
            data: bytes = cloudpickle.dumps(job, protocol=pickle.HIGHEST_PROTOCOL)
            return data
        except Exception:
            pass
    raise TypeError(
        f"the strategy and the sweep's fixed keywords must be picklable to reach worker processes "
        f"that are not forked from this one ({first}); define the strategy at the top level of a "
        "module"
    ) from None


# --------------------------------------------------------------------------- the file


def _directory(size: int) -> str:
    shm = "/dev/shm"
    try:
        st = os.statvfs(shm)
        if st.f_bavail * st.f_frsize > size + (64 << 20):
            return shm
    except OSError:
        pass
    return tempfile.gettempdir()


def _write(market: Market, job: Job, token: str) -> str:
    view = view_of(market)
    state = {f.name: getattr(view, f.name) for f in dataclasses.fields(view)}
    arrays = {name: value for name, value in view.arrays().items() if value.dtype.kind in "biuf"}
    layout: dict[str, tuple[int, str, tuple[int, ...]]] = {}
    offset = _HEADER.size
    for name, array in arrays.items():
        offset = -(-offset // ALIGN) * ALIGN
        layout[name] = (offset, array.dtype.str, array.shape)
        offset += array.nbytes
    rest = {name: value for name, value in state.items() if name not in arrays and name not in TABLES}
    meta = pickle.dumps((rest, layout, dumps_job(job)), protocol=pickle.HIGHEST_PROTOCOL)
    meta_at = -(-offset // ALIGN) * ALIGN
    path = str(Path(_directory(meta_at + len(meta))) / f"korvel-sweep-{os.getpid()}-{token}")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(_HEADER.pack(MAGIC, meta_at, len(meta)))
            for name, array in arrays.items():
                f.seek(layout[name][0])
                f.write(np.ascontiguousarray(array).data)
            f.seek(meta_at)
            f.write(meta)
    except BaseException:
        os.unlink(path)
        raise
    return path


def _read(path: str) -> tuple[Market, Job]:
    with open(path, "rb") as f:
        mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    magic, meta_at, meta_len = _HEADER.unpack_from(mapped, 0)
    if magic != MAGIC:
        raise RuntimeError(f"{path} is not a market published by a sweep")
    rest, layout, job_bytes = pickle.loads(mapped[meta_at : meta_at + meta_len])
    state: dict[str, Any] = dict(rest)
    for name, (offset, dtype, shape) in layout.items():
        count = int(np.prod(shape, dtype=np.int64))
        state[name] = np.frombuffer(mapped, dtype=np.dtype(dtype), count=count, offset=offset).reshape(shape)
    for name in TABLES:  # a table not given is the close
        state.setdefault(name, state["close"])
    for value in state.values():
        if isinstance(value, np.ndarray):
            value.flags.writeable = False
    market = from_view(MarketView(**state))
    job = pickle.loads(job_bytes)
    if not isinstance(job, Job):
        raise RuntimeError(f"{path} holds no sweep job")
    return market, job
