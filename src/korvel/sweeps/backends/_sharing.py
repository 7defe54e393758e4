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

The file is a market file (`korvel._market_file`, as `Market.save` writes
it) whose extra bytes are the job, pickled (strategy, fixed keywords, what
to keep).  A market already mapped from a file (`Market.load`) is not
written again: the handle names its file, and the sweep's file holds the
job alone.  It is removed when the
sweep ends; a worker that mapped it keeps its pages until it attaches the
next sweep's market.
"""

from __future__ import annotations

import os
import pickle
import secrets
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from korvel._market import Market, mapped_from, source_of, view_of
from korvel._market_file import read, write
from korvel.sweeps._task import Job

# token -> (market, job): what this process published, or attached from a file.
_REGISTRY: dict[str, tuple[Market, Job]] = {}
# The tokens this process attached from a file (evicted when another one is attached).
_MAPPED: list[str] = []


@dataclass(frozen=True)
class Handle:
    token: str
    path: str | None  # None: only this process and its forks can resolve it
    # A market already mapped from a file (Market.load): that file and its header's checksum; `path`
    # then holds the job alone.
    market: tuple[str, int] | None = None


@contextmanager
def published(market: Market, job: Job, *, file: bool) -> Iterator[Handle]:
    """Publish the market and the job for the duration of a sweep (with a file for other processes)."""
    token = secrets.token_hex(8)
    source = source_of(market) if file else None
    path = _write(market, job, token, market_too=source is None) if file else None
    _REGISTRY[token] = (market, job)
    try:
        yield Handle(token, path, source)
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
    found = _read(handle.path, handle.market)
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


def _write(market: Market, job: Job, token: str, *, market_too: bool) -> str:
    """The file for other processes: a market file with the job as its extra bytes, or the job alone."""
    job_bytes = dumps_job(job)
    size = sum(a.nbytes for a in view_of(market).arrays().values()) if market_too else 0
    path = str(Path(_directory(size + len(job_bytes))) / f"korvel-sweep-{os.getpid()}-{token}")
    if market_too:
        write(market, path, job_bytes, exclusive=True)
    else:
        with open(path, "xb") as f:
            f.write(job_bytes)
    return path


def _read(path: str, mapped: tuple[str, int] | None) -> tuple[Market, Job]:
    if mapped is None:
        market, header, job_bytes = read(path, mmap=True)
        mapped_from(market, path, header.checksum)
    else:
        market, header, _ = read(mapped[0], mmap=True)
        if header.checksum != mapped[1]:
            raise RuntimeError(f"the market file {mapped[0]} was changed during the sweep")
        mapped_from(market, mapped[0], header.checksum)  # its runs refuse it if it changes in place
        with open(path, "rb") as f:
            job_bytes = f.read()
    job = pickle.loads(job_bytes)
    if not isinstance(job, Job):
        raise RuntimeError(f"{path} holds no sweep job")
    return market, job
