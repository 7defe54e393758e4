"""A sweep's results store: a folder of Parquet files and a manifest, written as combinations finish.

    FOLDER/manifest.json      what wrote the store (`_fingerprint`), the grid's keys, and every chunk: its
                              files with their sizes and BLAKE2b digests
    FOLDER/grid.json          the combinations of the latest sweep on the store, in order (`Sweep.open`):
                              a grid's axes, or for a list each key's distinct values and every combination's
                              code among them (int32, in base64; earlier versions listed every combination)
    FOLDER/stats/part-N.parquet     one row per combination that ran: "combination" (its id), the grid's
                              parameters as columns, then the statistics
    FOLDER/failures/, warnings/, equity/, returns/, trades/   the same chunk's other parts, as kept

Finished combinations are buffered and written as one closed Parquet file
per part and chunk (each written under a temporary name, synced, then
renamed), and only then is the chunk added to the manifest (written the
same way): a sweep killed at any point leaves a store whose manifest lists
whole files only.  A chunk whose file is missing, of another size or digest,
or unreadable is dropped alone, and its combinations run again.  Nothing in
the store is unpickled: reading it runs no code, and ``pandas.read_parquet``
or DuckDB read ``FOLDER/stats`` without korvel.

Failed combinations are recorded (`Sweep.open` shows them) but run again by
a resumed sweep, and a later chunk's answer replaces an earlier one's.
"""

from __future__ import annotations

import array
import base64
import errno
import hashlib
import json
import os
import time
import weakref
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import numpy as np
import pandas as pd

from korvel.sweeps._fingerprint import VERSION_KEYS, differences
from korvel.sweeps._grid import Columns, Combinations, Product, canonical
from korvel.sweeps._task import WARNINGS, Done, Failed, Outcome

FORMAT = "korvel sweep store 1"
MANIFEST = "manifest.json"
GRID = "grid.json"
LOCK = ".lock"
#: The first bytes of the checkpoint file of earlier versions (a log of pickled frames, never read now).
OLD_CHECKPOINT = b"korvel sweep checkpoint 1\n"
STORE_EXTRA = "pip install 'korvel[sweeps]'"
#: A chunk is written when it holds this many combinations, or `CHUNK_SECONDS` after the last one was.
CHUNK_ROWS = 1000
CHUNK_SECONDS = 2.0
#: ... or when what it holds of equity, returns and trades passes this many bytes.
CHUNK_BYTES = 64 << 20
ID = "combination"


def pyarrow() -> Any:
    try:
        import pyarrow as pa  # type: ignore[import-untyped]
        import pyarrow.parquet  # type: ignore[import-untyped]
    except ImportError:
        raise ImportError(f"a sweep's store (checkpoint=FOLDER) is written with pyarrow: {STORE_EXTRA}") from None
    return pa


def ident(params: Mapping[str, Any]) -> str:
    """A combination's id in the store: its parameters, sorted by key, as exact text (floats round-trip)."""
    return repr(canonical(params))


class Positions:
    """Where each combination of a grid (or of some of its positions) is, by its id: the ids' hashes sorted,
    with the positions beside them (16 bytes a combination, where a dict from id to position takes about
    130); a hash found is confirmed by the id itself, so that a collision cannot place an id wrongly."""

    def __init__(self, combos: Combinations, positions: np.ndarray | None = None) -> None:
        params = combos.params
        if positions is None:
            positions = np.arange(len(params), dtype=np.int64)
            ids: Iterator[str] = (ident(p) for p in params)
        else:
            positions = np.asarray(positions, dtype=np.int64)
            ids = (ident(params[int(i)]) for i in positions)
        hashes = np.fromiter((hash(i) for i in ids), dtype=np.int64, count=len(positions))
        order = np.argsort(hashes, kind="stable")
        self._hashes = hashes[order]
        self._positions = positions[order]
        self._params = params

    def find(self, key: str) -> int | None:
        """The position of the combination whose id is `key`, or None if there is none."""
        h = hash(key)
        j = int(np.searchsorted(self._hashes, h))
        while j < len(self._hashes) and self._hashes[j] == h:
            position = int(self._positions[j])
            if ident(self._params[position]) == key:
                return position
            j += 1
        return None


@dataclass
class Read:
    """What a store holds: its manifest and the outcomes by id."""

    manifest: dict[str, Any]
    outcomes: dict[str, Outcome]
    dropped: list[str]  # the chunks dropped as torn or damaged


# --------------------------------------------------------------------------- reading


def check_folder(folder: Path) -> None:
    """A checkpoint argument that names something other than a store's folder is refused."""
    if folder.is_file():
        with open(folder, "rb") as f:
            head = f.read(len(OLD_CHECKPOINT))
        if head == OLD_CHECKPOINT:
            raise ValueError(
                f"checkpoint {str(folder)!r} is a checkpoint file of an earlier korvel (a log of pickled frames, "
                "which reading could run code from); it is not read: give a folder instead "
                f"(e.g. checkpoint={str(folder.with_suffix('.sweep'))!r}) and the sweep runs its combinations again"
            )
        raise ValueError(f"checkpoint {str(folder)!r} is a file, not a sweep's store folder; give a folder")
    if folder.is_dir() and not (folder / MANIFEST).exists() and any(folder.iterdir()):
        raise ValueError(f"checkpoint {str(folder)!r} is a folder that is not a sweep's store; give another path")


def read_manifest(folder: Path) -> dict[str, Any]:
    path = folder / MANIFEST
    try:
        manifest = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise FileNotFoundError(f"{str(folder)!r} holds no sweep store (no {MANIFEST})") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ValueError(f"{str(path)!r} is not a sweep store's manifest ({exc})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise ValueError(f"{str(path)!r} is not a sweep store's manifest (format {FORMAT!r} expected)")
    if not isinstance(manifest.get("chunks"), list):
        raise ValueError(f"{str(path)!r} lists no chunks")
    return manifest


#: The parts of a chunk a sweep's client reads back at once; equity, returns and trades are read when asked for.
LIGHT = ("stats", "failures", "warnings")


def read_store(
    folder: Path,
    manifest: dict[str, Any],
    *,
    failures: bool,
    parts: Sequence[str] | None = None,
    each: Callable[[str, Outcome], None] | None = None,
) -> Read:
    """Every intact chunk's outcomes (later chunks over earlier ones), and the chunks found damaged.

    `parts`: the parts read (all by default; every file is checked all the same).  `each`: called with
    every (id, outcome) in the order of the chunks instead of the outcomes being gathered (a Failed one
    among them, when `failures` is false, means "run it again")."""
    outcomes: dict[str, Outcome] = {}
    dropped: list[str] = []
    for chunk in manifest["chunks"]:
        try:
            found = _read_chunk(folder, chunk, parts)
        except Exception:  # torn, damaged or foreign: the chunk alone is dropped
            dropped.append(str(chunk.get("name")) if isinstance(chunk, dict) else "?")
            continue
        for key, outcome in found:
            if each is not None:
                each(key, outcome)
            elif isinstance(outcome, Failed) and not failures:
                outcomes.pop(key, None)  # run again
            else:
                outcomes[key] = outcome
    return Read(manifest, outcomes, dropped)


def read_kept(folder: Path, manifest: dict[str, Any], name: str) -> Iterator[tuple[str, Any]]:
    """(id, value) of `name` ("equity", "returns", "returns32" or "trades") for every combination of the
    intact chunks, one chunk in memory at a time, in the order of the chunks (a later one over an earlier)."""
    part = "returns" if name == "returns32" else name
    for chunk in manifest["chunks"]:
        if not isinstance(chunk, dict) or part not in chunk.get("files", {}):
            continue
        try:
            found = _read_chunk(folder, chunk, ("stats", part))
        except Exception:  # dropped as a damaged chunk is
            continue
        for key, outcome in found:
            if isinstance(outcome, Done) and name in outcome.kept:
                yield key, outcome.kept[name]


def read_grid(folder: Path) -> Combinations | None:
    """The combinations of the latest sweep on the store, without a dict per combination: a grid of axes as a
    `Product`; a list as `Columns` (or as the `Product` it is, when it lists one in order); None if the file
    is missing or damaged."""
    try:
        text = (folder / GRID).read_text(encoding="utf-8")
        listed = _Coded()
        # The layout of earlier versions lists every combination: its rows are coded one by one as they are
        # parsed (parsed whole, a million rows would be a million lists of values first).
        given = _members(text, "combinations", listed.add)
        keys = tuple(str(k) for k in given["keys"])
        if "axes" in given:
            axes = [[decode(v) for v in axis] for axis in given["axes"]]
            if len(axes) != len(keys) or not all(axes):
                return None
            return Combinations(keys, Product(keys, axes))
        if "codes" in given:
            values = given["values"]
            codes = [
                np.frombuffer(base64.b64decode(c, validate=True), dtype="<i4").astype(np.int32) for c in given["codes"]
            ]
        else:
            if "combinations" not in given or len(listed.values) not in (0, len(keys)):
                return None
            values, codes = listed.values, listed.columns()
        if not codes or len(codes[0]) == 0:
            return None
        axes = [[decode(v) for v in column] for column in values]
        combos = Columns(keys, axes, codes)
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None
    product, every = Product(keys, axes), np.arange(len(combos))
    if len(product) == len(combos) and all(map(np.array_equal, combos.digits(every), product.digits(every))):
        return Combinations(keys, product)
    return Combinations(keys, combos)


def _read_chunk(folder: Path, chunk: dict[str, Any], parts: Sequence[str] | None = None) -> list[tuple[str, Outcome]]:
    pa = pyarrow()
    tables: dict[str, Any] = {}
    for part, entry in chunk["files"].items():
        data = (folder / entry["path"]).read_bytes()
        if len(data) != entry["bytes"] or hashlib.blake2b(data, digest_size=16).hexdigest() != entry["blake2b"]:
            raise ValueError(f"chunk {chunk['name']}: {part} damaged")
        if parts is None or part in parts:
            tables[part] = pa.parquet.read_table(pa.BufferReader(data))
        del data
    found: list[tuple[str, Outcome]] = []
    stats = tables["stats"]
    ids = stats.column(ID).to_pylist()
    kept: list[dict[str, Any]] = [{WARNINGS: {}} for _ in ids]
    names = chunk.get("stats") or []
    if names:
        frame = stats.select(list(range(stats.num_columns - len(names), stats.num_columns))).to_pandas()
        columns = [frame.iloc[:, k].tolist() for k in range(frame.shape[1])]
        for j, row in enumerate(kept):
            row["stats"] = {name: _value(column[j]) for name, column in zip(names, columns)}
    if "warnings" in tables:
        w = tables["warnings"]
        at = {key: j for j, key in enumerate(ids)}
        for key, kind, text in zip(
            w.column(ID).to_pylist(), w.column("kind").to_pylist(), w.column("text").to_pylist()
        ):
            kept[at[key]][WARNINGS][kind] = text
    for part in ("equity", "returns"):
        if part in tables:
            for row, values in zip(kept, _lists(tables[part])):
                row[chunk["names"][part]] = values
    if "trades" in tables:
        for row, frame in zip(kept, _trades(tables["trades"], ids, chunk["categories"])):
            row["trades"] = frame
    found.extend((key, Done(row)) for key, row in zip(ids, kept))
    if "failures" in tables:
        f = tables["failures"]
        for key, error, message, trace in zip(
            *(f.column(c).to_pylist() for c in (ID, "error", "message", "traceback"))
        ):
            found.append((key, Failed(error, message, trace)))
    return found


def _dtype(name: str) -> Any:
    """A categories' dtype by its name: only plain NumPy and pandas names are taken (nothing is looked up)."""
    if name in ("object", "str", "string"):
        return name if name != "str" else str
    return np.dtype(name)


def _value(value: Any) -> Any:
    """A statistic as the backtest gave it: a NaN read back from a float column stays a float."""
    if isinstance(value, np.generic):
        return value.item()
    return value


def _lists(table: Any) -> list[np.ndarray]:
    """The list column "values" as one NumPy array per row, sliced from the flat values (no copy per row)."""
    column = table.column("values").combine_chunks()
    flat = column.flatten().to_numpy(zero_copy_only=False)
    offsets = column.offsets.to_numpy()
    return [flat[offsets[j] : offsets[j + 1]].copy() for j in range(len(column))]


def _trades(table: Any, ids: list[str], categories: dict[str, Any]) -> Iterator[pd.DataFrame]:
    keys = np.asarray(table.column(ID).to_pylist(), dtype=object)
    counts = dict.fromkeys(ids, 0)
    for key in keys:
        counts[key] += 1
    lists = categories["lists"]
    start = 0
    for j, key in enumerate(ids):
        n = counts[key]
        frame = table.slice(start, n).to_pandas()
        start += n
        trade = frame.pop("trade").to_numpy()
        frame = frame.drop(columns=[ID])
        for column, which in zip(categories["columns"], categories["per_combination"][j]):
            cats = pd.Index(lists[which]["values"], dtype=_dtype(lists[which]["dtype"]))
            frame[column] = pd.Categorical(frame[column].astype(object), categories=cats)
        frame.index = pd.RangeIndex(n, name="trade") if (trade == np.arange(n)).all() else pd.Index(trade, name="trade")
        yield frame


# --------------------------------------------------------------------------- writing


class Store:
    """A store opened by a sweep: `done` maps each combination's id to its outcome; `add` records more."""

    def __init__(
        self,
        folder: str | os.PathLike[str],
        fingerprint: dict[str, Any],
        combos: Combinations,
        keep: Sequence[str],
        each: Callable[[str, Outcome], None] | None = None,
    ) -> None:
        """`each`: given every (id, outcome) the store holds (see `read_store`) instead of `done` keeping
        them (and their equity, returns and trades, which are then not read)."""
        pyarrow()
        self.folder = Path(folder)
        check_folder(self.folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self._lock: IO[bytes] | None = open(self.folder / LOCK, "ab")  # noqa: SIM115 - held until close()
        _OPEN.add(self)
        try:
            _lock(self._lock, self.folder)
            if (self.folder / MANIFEST).exists():
                manifest = read_manifest(self.folder)
                theirs = manifest.get("fingerprint") or {}
                said = differences(theirs, fingerprint)
                if said:
                    version = any(theirs.get(k) != fingerprint.get(k) for k in VERSION_KEYS)
                    raise ValueError(
                        f"checkpoint {str(self.folder)!r} was "
                        + ("" if version else "written by another sweep: ")
                        + "; ".join(said)
                        + ". Delete it or give another folder"
                    )
                found = read_store(
                    self.folder, manifest, failures=False, parts=None if each is None else LIGHT, each=each
                )
                self.done = {k: o for k, o in found.outcomes.items() if isinstance(o, Done)}
                manifest["chunks"] = [c for c in manifest["chunks"] if c.get("name") not in found.dropped]
                self.dropped = found.dropped
            else:
                manifest = {"format": FORMAT, "fingerprint": fingerprint, "keys": list(combos.keys), "chunks": []}
                self.done = {}
                self.dropped = []
            self._manifest = manifest
            self._sweep_files()
            _write_atomic(self.folder / GRID, _grid_json(combos))
            self._write_manifest()
        except BaseException:
            self.close()
            raise
        self._keys = combos.keys
        self._keep = tuple(keep)
        self._types = _param_types(combos)
        self._buffer: list[tuple[Mapping[str, Any], Outcome]] = []
        self._bytes = 0
        self._last = time.monotonic()
        self._count = sum(int(c.get("rows", 0)) for c in manifest["chunks"])
        self._next = 1 + max((int(c["name"]) for c in manifest["chunks"]), default=0)

    @property
    def kept(self) -> int:
        """The combinations written to the store (in chunks the manifest lists)."""
        return self._count

    def add(self, params: Mapping[str, Any], outcome: Outcome) -> None:
        """Record a finished combination; a chunk is written when the buffer is full or old enough."""
        self._buffer.append((params, outcome))
        if isinstance(outcome, Done):
            for name in ("equity", "returns", "returns32"):
                value = outcome.kept.get(name)
                if value is not None:
                    self._bytes += value.nbytes
            trades = outcome.kept.get("trades")
            if trades is not None:
                self._bytes += 160 * len(trades)
        if (
            len(self._buffer) >= CHUNK_ROWS
            or self._bytes >= CHUNK_BYTES
            or time.monotonic() - self._last >= CHUNK_SECONDS
        ):
            self.flush()

    def flush(self) -> None:
        if not self._buffer:
            return
        try:
            self._write_chunk(self._buffer)
        except OSError as exc:
            if exc.errno == errno.ENOSPC:
                raise OSError(
                    errno.ENOSPC,
                    f"no space left for the sweep's store {str(self.folder)!r}: it keeps {self._count} "
                    "combinations; free some space and run the sweep again to resume from them",
                ) from exc
            raise
        self._count += len(self._buffer)
        self._buffer = []
        self._bytes = 0
        self._last = time.monotonic()

    def close(self) -> None:
        """Write what is buffered and release the folder (also when interrupted)."""
        try:
            if self._lock is not None and hasattr(self, "_buffer"):
                self.flush()
        finally:
            if self._lock is not None:
                self._lock.close()
                self._lock = None
            _OPEN.discard(self)

    def _drop(self) -> None:
        """Drop this process's copy of the lock without writing (a forked process's inherited copy)."""
        if self._lock is not None:
            self._lock.close()
            self._lock = None
        self._buffer = []

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ------------------------------------------------------------------ files

    def _write_manifest(self) -> None:
        _write_atomic(self.folder / MANIFEST, json.dumps(self._manifest, indent=1).encode())

    def _sweep_files(self) -> None:
        """Remove the part files no chunk lists: a chunk dropped as damaged, or written by a kill's victim."""
        listed = {f["path"] for c in self._manifest["chunks"] for f in c["files"].values()}
        for part in PARTS:
            directory = self.folder / part
            if directory.is_dir():
                for path in directory.iterdir():
                    if f"{part}/{path.name}" not in listed:
                        path.unlink()

    def _write_chunk(self, buffer: list[tuple[Mapping[str, Any], Outcome]]) -> None:
        pa = pyarrow()
        name = f"{self._next:06d}"
        done = [(ident(p), p, o) for p, o in buffer if isinstance(o, Done)]
        failed = [(ident(p), o) for p, o in buffer if isinstance(o, Failed)]
        tables: dict[str, Any] = {}
        chunk: dict[str, Any] = {"name": name, "rows": len(buffer), "files": {}, "names": {}}
        columns: dict[str, Any] = {ID: pa.array([key for key, _, _ in done], pa.string())}
        for k in self._keys:
            columns[k] = _param_column(pa, [p[k] for _, p, _ in done], self._types.get(k))
        names: list[str] = []
        if "stats" in self._keep and done:
            rows = [o.kept["stats"] for _, _, o in done]
            rows = [r.as_dict() if hasattr(r, "as_dict") else r for r in rows]
            frame = pd.DataFrame(rows)
            names = list(frame.columns)
            for stat in names:
                label = stat if stat not in columns else f"{stat}_stat"
                columns[label] = pa.Array.from_pandas(frame[stat])
        chunk["stats"] = names
        tables["stats"] = pa.table(columns)
        if failed:
            tables["failures"] = pa.table(
                {
                    ID: [k for k, _ in failed],
                    "error": [o.error for _, o in failed],
                    "message": [o.message for _, o in failed],
                    "traceback": [o.traceback for _, o in failed],
                }
            )
        said = [(key, kind, text) for key, _, o in done for kind, text in o.kept.get(WARNINGS, {}).items()]
        if said:
            tables["warnings"] = pa.table(
                {ID: [s[0] for s in said], "kind": [s[1] for s in said], "text": [s[2] for s in said]}
            )
        for part, options in (("equity", ("equity",)), ("returns", ("returns", "returns32"))):
            kept = next((n for n in options if n in self._keep), None)
            if kept is None:
                continue
            chunk["names"][part] = kept
            value_type = pa.float32() if kept == "returns32" else pa.float64()
            arrays = [o.kept[kept] for _, _, o in done]
            offsets = np.concatenate([[0], np.cumsum([len(a) for a in arrays])]).astype(np.int64)
            flat = np.concatenate(arrays) if arrays else np.zeros(0)
            values = pa.LargeListArray.from_arrays(pa.array(offsets), pa.array(flat, type=value_type))
            tables[part] = pa.table({ID: [key for key, _, _ in done], "values": values})
        if "trades" in self._keep:
            tables["trades"], chunk["categories"] = _trades_table(pa, done)
        for part, table in tables.items():
            path = f"{part}/part-{name}.parquet"
            sink = pa.BufferOutputStream()
            pa.parquet.write_table(table, sink)
            data = sink.getvalue().to_pybytes()
            (self.folder / part).mkdir(exist_ok=True)
            _write_atomic(self.folder / path, data)
            chunk["files"][part] = {
                "path": path,
                "bytes": len(data),
                "blake2b": hashlib.blake2b(data, digest_size=16).hexdigest(),
            }
        self._manifest["chunks"].append(chunk)
        self._write_manifest()
        self._next += 1


PARTS = ("stats", "failures", "warnings", "equity", "returns", "trades")


def _trades_table(pa: Any, done: list[tuple[str, Mapping[str, Any], Done]]) -> tuple[Any, dict[str, Any]]:
    """The chunk's trades in one table (a "combination" and a "trade" column first), and the categories of
    each combination's categorical columns (each distinct list once), which Parquet does not keep."""
    frames = [o.kept["trades"] for _, _, o in done]
    first = next((f for f in frames if f is not None), None)
    columns = [c for c in first.columns if isinstance(first[c].dtype, pd.CategoricalDtype)] if first is not None else []
    lists: list[dict[str, Any]] = []
    seen: dict[tuple[Any, ...], int] = {}
    per: list[list[int]] = []
    pieces = []
    for (key, _, _), frame in zip(done, frames):
        picks = []
        for column in columns:
            index = frame[column].cat.categories
            cats = (str(index.dtype), *index.tolist())
            if cats not in seen:
                seen[cats] = len(lists)
                lists.append({"dtype": cats[0], "values": list(cats[1:])})
            picks.append(seen[cats])
        per.append(picks)
        plain = frame.reset_index(drop=False).rename(columns={frame.index.name or "index": "trade"})
        for column in columns:
            plain[column] = plain[column].astype(object).astype("string")
        plain.insert(0, ID, key)
        pieces.append(plain)
    table = pa.Table.from_pandas(pd.concat(pieces, ignore_index=True), preserve_index=False)
    return table, {"columns": columns, "lists": lists, "per_combination": per}


def _param_types(combos: Combinations) -> dict[str, Any]:
    """One Parquet type per grid key, from all its values (so every chunk's column has the same type)."""
    pa = pyarrow()
    types: dict[str, Any] = {}
    for j, k in enumerate(combos.keys):
        if isinstance(combos.params, Product):
            values = list(combos.params.axes[j])
        else:
            values = [p[k] for p in combos.params[:10000]]
        try:
            types[k] = pa.array(values).type
        except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError, OverflowError):
            types[k] = None  # as text
    return types


def _param_column(pa: Any, values: list[Any], kind: Any) -> Any:
    if kind is not None:
        try:
            return pa.array(values, type=kind)
        except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError, OverflowError):
            pass
    return pa.array([repr(v) for v in values], pa.string())


# --------------------------------------------------------------------------- the grid, as JSON


def _grid_json(combos: Combinations) -> bytes:
    if isinstance(combos.params, Product):  # the axes, not every combination
        return json.dumps(
            {"keys": list(combos.keys), "axes": [[encode(v) for v in axis] for axis in combos.params.axes]}
        ).encode()
    # A list: each key's distinct values and a code per combination (4 bytes, in base64), not a row each.
    coded = _Coded()
    for p in combos.params:
        coded.add([encode(p[k]) for k in combos.keys])
    codes = [base64.b64encode(column.astype("<i4").tobytes()).decode("ascii") for column in coded.columns()]
    return json.dumps({"keys": list(combos.keys), "values": coded.values, "codes": codes}).encode()


class _Coded:
    """Rows of encoded grid values coded column by column: each column's distinct values, in the order they
    first come, and the code of each row's value among them."""

    def __init__(self) -> None:
        self.values: list[list[Any]] = []
        self._seen: list[dict[Any, int]] = []
        self._codes: list[array.array[int]] = []

    def add(self, row: Any) -> None:
        if not isinstance(row, list) or (self.values and len(row) != len(self.values)):
            raise ValueError("a row of the grid with another number of values")
        if not self.values:
            self.values = [[] for _ in row]
            self._seen = [{} for _ in row]
            self._codes = [array.array("i") for _ in row]
        for value, values, seen, codes in zip(row, self.values, self._seen, self._codes):
            key = _exact(value)
            code = seen.get(key)
            if code is None:
                code = seen[key] = len(values)
                values.append(value)
            codes.append(code)

    def columns(self) -> list[np.ndarray]:
        return [np.frombuffer(codes, dtype=np.int32).copy() for codes in self._codes]


def _exact(encoded: Any) -> Any:
    """An encoded grid value as a key, exactly: values that compare equal but differ in type (True, 1) apart."""
    if isinstance(encoded, dict):
        return tuple((k, _exact(v)) for k, v in sorted(encoded.items()))
    if isinstance(encoded, list):
        return ("list", *(_exact(v) for v in encoded))
    return (type(encoded).__name__, encoded)


def _members(text: str, streamed: str, each: Callable[[Any], None]) -> dict[str, Any]:
    """The members of the JSON object `text`, its array named `streamed` given to `each` item by item instead
    (the member is then None)."""
    decoder = json.JSONDecoder()
    members: dict[str, Any] = {}

    def skip(at: int) -> int:
        while at < len(text) and text[at] in " \t\n\r":
            at += 1
        return at

    def after(at: int, closing: str) -> int:
        """Past a "," (or up to the closing bracket) after a value."""
        at = skip(at)
        if text[at : at + 1] == ",":
            return skip(at + 1)
        if text[at : at + 1] != closing:
            raise ValueError(f"{GRID}: ',' or {closing!r} expected at {at}")
        return at

    at = skip(0)
    if text[at : at + 1] != "{":
        raise ValueError(f"{GRID}: not an object")
    at = skip(at + 1)
    while text[at : at + 1] != "}":
        name, at = decoder.raw_decode(text, at)
        at = skip(at)
        if text[at : at + 1] != ":":
            raise ValueError(f"{GRID}: ':' expected at {at}")
        at = skip(at + 1)
        if name == streamed and text[at : at + 1] == "[":
            at = skip(at + 1)
            while text[at : at + 1] != "]":
                item, at = decoder.raw_decode(text, at)
                each(item)
                at = after(at, "]")
            members[name], at = None, at + 1
        else:
            members[name], at = decoder.raw_decode(text, at)
        at = after(at, "}")
    return members


def encode(value: Any) -> Any:
    """A grid value as JSON, exactly: floats as their repr, tuples tagged; other values as their repr, marked."""
    if isinstance(value, np.generic):
        value = value.item()
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return {"float": repr(value)}
    if isinstance(value, tuple):
        return {"tuple": [encode(v) for v in value]}
    return {"repr": repr(value)}


def decode(value: Any) -> Any:
    if isinstance(value, dict):
        if "float" in value:
            return float(value["float"])
        if "tuple" in value:
            return tuple(decode(v) for v in value["tuple"])
        return str(value["repr"])
    return value


# --------------------------------------------------------------------------- files


def _write_atomic(path: Path, data: bytes) -> None:
    """`data` in `path` whole or not at all: written under a temporary name, synced, then renamed."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        with open(temporary, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            temporary.unlink()
        except FileNotFoundError:
            pass
        raise
    try:
        fd = os.open(path.parent, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


#: The stores open in this process.
_OPEN: weakref.WeakSet[Store] = weakref.WeakSet()


def _drop_in_child() -> None:
    # A lock taken with flock belongs to the open file, which a forked process shares: a worker forked
    # while a store is open would hold the lock after the sweep closed it.
    for store in list(_OPEN):
        store._drop()
    _OPEN.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_drop_in_child)


def _lock(file: IO[bytes], folder: Path) -> None:
    try:
        import fcntl
    except ImportError:  # no advisory locks here: one sweep per store is the caller's care
        return
    try:
        fcntl.flock(file.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise ValueError(f"checkpoint {str(folder)!r} is in use by another running sweep") from None
