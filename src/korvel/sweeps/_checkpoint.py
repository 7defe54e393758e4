"""A sweep's checkpoint: finished combinations streamed to an append-only file, read back on restart.

The file is a header line, then frames: an 8-byte length and a CRC-32 of
the frame's pickle, then the pickle.  The first frame describes the sweep
that wrote the file (the korvel version and the rules' defaults, what it
keeps, the strategy's name, the fixed keywords, the market's shape and
dates): a sweep that differs refuses the file instead of mixing results.
Each later frame is one finished combination: its parameters and what was
kept of it, written whole as it finishes, so a sweep killed at any point
leaves every finished combination readable.  A frame cut short by the kill, failing its CRC, or
claiming more bytes than the file has left (a torn or foreign tail) ends
the readable part; it is cut off before new frames are appended.

Pickle keeps every value exactly (floats bit for bit, timestamps with
their timezone, whole DataFrames for the trades), and it comes with
Python: a columnar format would need its footer written at the end, which
a killed sweep never reaches.  Read only checkpoints you wrote: unpickling
runs code named in the file.  Failed combinations are not recorded: a
restarted sweep runs them again.
"""

from __future__ import annotations

import os
import pickle
import struct
import weakref
import zlib
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import IO, Any

from korvel.sweeps._grid import canonical

HEADER = b"korvel sweep checkpoint 1\n"
_FRAME = struct.Struct("<QI")
#: The description's entries that say which korvel wrote the file: results of another version may differ.
VERSION_KEYS = ("korvel", "defaults")

Key = tuple[tuple[str, Any], ...]


class Checkpoint:
    """An open checkpoint file: `done` maps each recorded combination to what was kept of it."""

    def __init__(self, path: str | os.PathLike[str], fingerprint: Mapping[str, str]) -> None:
        self.path = Path(path)
        self.done: dict[Key, dict[str, Any]] = {}
        self._file: IO[bytes] | None = None
        fresh = not self.path.exists() or self.path.stat().st_size == 0
        # Unbuffered: every frame reaches the operating system whole, and a forked process can drop the
        # file (see _drop_in_child) without writing anything.
        file = open(self.path, "ab" if fresh else "r+b", buffering=0)  # noqa: SIM115 - held open until close()
        try:
            _lock(file, self.path)
            if fresh:
                _write(file, HEADER + _frame(dict(fingerprint)))
            else:
                end = self._read(file, dict(fingerprint))
                file.seek(end)
                file.truncate()  # a frame cut short by a kill
        except BaseException:
            file.close()
            raise
        self._file = file
        _OPEN.add(self)

    def _read(self, file: IO[bytes], fingerprint: dict[str, str]) -> int:
        if _read(file, len(HEADER)) != HEADER:
            raise ValueError(f"checkpoint {str(self.path)!r} is not a sweep checkpoint; give another path")
        frames = _frames(file)
        first = next(frames, None)
        if first is None:
            raise ValueError(f"checkpoint {str(self.path)!r} has no description of its sweep; delete it")
        theirs, end = first
        if theirs != fingerprint:
            if any(theirs.get(k) != fingerprint.get(k) for k in VERSION_KEYS):
                was = ", ".join(f"{k} {theirs.get(k, '(not recorded)')}" for k in VERSION_KEYS)
                now = ", ".join(f"{k} {fingerprint.get(k)}" for k in VERSION_KEYS)
                raise ValueError(
                    f"checkpoint {str(self.path)!r} was written by another version of korvel ({was}; here: {now}), "
                    "whose results may differ; delete it or give another path"
                )
            differ = sorted(k for k in set(theirs) | set(fingerprint) if theirs.get(k) != fingerprint.get(k))
            shown = "; ".join(f"{k}: {theirs.get(k)!r} there, {fingerprint.get(k)!r} here" for k in differ)
            raise ValueError(
                f"checkpoint {str(self.path)!r} was written by another sweep ({shown}); delete it or give another path"
            )
        for frame, after in frames:
            params, kept = frame
            self.done[canonical(params)] = kept
            end = after
        return end

    def add(self, params: Mapping[str, Any], kept: dict[str, Any]) -> None:
        """Record one finished combination (written through to the operating system at once)."""
        if self._file is None:
            raise ValueError(f"checkpoint {str(self.path)!r} is closed")
        _write(self._file, _frame((dict(params), kept)))

    def close(self) -> None:
        """Sync and close the file, which releases its lock (also when interrupted)."""
        if self._file is not None:
            try:
                os.fsync(self._file.fileno())
            finally:
                self._file.close()
                self._file = None
                _OPEN.discard(self)

    def _drop(self) -> None:
        """Close this process's copy of the file without a write (a forked process's inherited copy)."""
        if self._file is not None:
            self._file.close()
            self._file = None

    def __enter__(self) -> Checkpoint:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


#: The checkpoints open in this process.
_OPEN: weakref.WeakSet[Checkpoint] = weakref.WeakSet()


def _drop_in_child() -> None:
    # A lock taken with flock belongs to the open file, which a forked process shares: a worker forked
    # while a checkpoint is open (or one left running by an interrupt) would hold the lock after the
    # sweep closed it, and a sweep rerun at once would find the file "in use".
    for checkpoint in list(_OPEN):
        checkpoint._drop()
    _OPEN.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_drop_in_child)


def _write(file: IO[bytes], data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[file.write(view) or 0 :]


def _read(file: IO[bytes], size: int) -> bytes:
    """Up to `size` bytes: fewer only at the end of the file."""
    parts = []
    while size > 0:
        part = file.read(size)
        if not part:
            break
        parts.append(part)
        size -= len(part)
    return b"".join(parts)


def _frame(obj: object) -> bytes:
    data = pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)
    return _FRAME.pack(len(data), zlib.crc32(data)) + data


def _frames(file: IO[bytes]) -> Iterator[tuple[Any, int]]:
    """(object, offset after its frame) for each whole, intact frame, up to the first that is not."""
    while True:
        head = _read(file, _FRAME.size)
        if len(head) < _FRAME.size:
            return
        size, crc = _FRAME.unpack(head)
        if size > os.fstat(file.fileno()).st_size - file.tell():
            return  # more than the file holds: a torn or foreign tail, not a frame
        data = _read(file, size)
        if len(data) < size or zlib.crc32(data) != crc:
            return
        try:
            obj = pickle.loads(data)
        except Exception:
            return
        yield obj, file.tell()


def _lock(file: IO[bytes], path: Path) -> None:
    try:
        import fcntl
    except ImportError:  # no advisory locks here: one sweep per file is the caller's care
        return
    try:
        fcntl.flock(file.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise ValueError(f"checkpoint {str(path)!r} is in use by another running sweep") from None
