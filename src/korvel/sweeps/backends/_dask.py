"""A Dask cluster through its client: the combinations in batches (`korvel.sweeps.backends._batches`),
the market shipped once to every worker.

A market loaded from a file with ``Market.load(path, mmap=True)`` is shipped
as its path to every worker that can read that file (a probe task on each
worker checks the file's header checksum): the workers of a machine then
map one copy.  The other workers get the market scattered, as a market in
memory is.  The job (strategy, fixed keywords) is scattered to all.
"""

from __future__ import annotations

import concurrent.futures
import math
import os
import secrets
import signal
import socket
import time
from collections.abc import Generator, Sequence
from dataclasses import dataclass, field
from typing import Any

from korvel._market import Market, source_of
from korvel._market_file import header_of
from korvel.sweeps._task import Batch, Failed, Job, Outcome, failed, run_batch
from korvel.sweeps.backends._base import Backend, Task
from korvel.sweeps.backends._batches import Batches
from korvel.sweeps.backends._stall import MIN_SECONDS, StallClock, stalled_batches

CLUSTER_EXTRA = "pip install 'korvel[cluster]'"
#: Batches in flight per worker thread: one running, one waiting on the worker or the scheduler.
_IN_FLIGHT = 2
#: How often the market and the job are scattered again after the workers holding them all died.
_RESHIP = 10
#: How often a combination run alone may be lost with the data scattered to its worker before it fails.
_LOST_ALONE = 2
#: Seconds a hung worker's restart may take.
_RESTART_SECONDS = 30.0
#: Seconds the scheduler may take to let go of a hung worker's cancelled tasks before the worker is killed.
_RELEASE_SECONDS = 5.0
#: Times the market and the job are scattered before the sweep gives up (a worker may leave meanwhile).
_SHIP_TRIES = 3
#: Seconds the probes of a mapped market's file may take (a worker that does not answer gets it scattered).
_PROBE_SECONDS = 60.0

# The market a worker process mapped for the sweeps it runs: (path, checksum) -> Market, one at a time.
_MAPPED: dict[tuple[str, int], Market] = {}


# --------------------------------------------------------------------------- on the workers


def readable(path: str, checksum: int) -> bool:
    """The probe: this worker reads the market file at `path`, and its header has the checksum expected."""
    try:
        return header_of(path).checksum == checksum
    except (OSError, ValueError):
        return False


def _await_a_worker(client: Any, stall: StallClock | None) -> None:
    """Wait until a worker runs: for as long as the stall detector lets a worker be silent, and at least a
    minute (a restarted worker takes seconds to come back); without the detector, for as long as it takes.
    Then give up on the cluster with an error that says so."""
    limit = max(MIN_SECONDS, stall.limit()) if stall is not None and stall.enabled else None
    try:
        client.wait_for_workers(1, timeout=limit)
    except TimeoutError:
        raise RuntimeError(
            f"no Dask worker is running: none came back within {limit:.0f} s (stall_timeout). The combinations "
            "finished so far are kept in the checkpoint, if the sweep has one: run it again with a cluster that "
            "has workers to go on from there"
        ) from None


def run_mapped(job: Job, path: str, checksum: int, tasks: Sequence[Task]) -> Batch:
    """A batch on the market file at `path`, mapped once per worker process."""
    market = _MAPPED.get((path, checksum))
    if market is None:
        market = Market.load(path, mmap=True)
        found = source_of(market)
        if found is None or found[1] != checksum:
            raise ValueError(f"the market file {path} was changed during the sweep")
        _MAPPED.clear()  # the previous sweep's market is released
        _MAPPED[(path, checksum)] = market
    return run_batch(job, market, tasks)


# --------------------------------------------------------------------------- in the client


@dataclass
class _Flight:
    chunk: list[Task]
    alone: bool
    future: Any
    group: _Group
    since: float  # when it was submitted (time.monotonic)


@dataclass
class _Group:
    """Workers that get the market one way: `mapped` (its path) or scattered."""

    mapped: bool
    workers: list[str]  # restrictions: addresses or hosts
    threads: int
    flying: int = 0
    loose: bool = field(default=True)


class Dask(Backend):
    """A Dask cluster through its client: the market shipped once to every worker, batches of combinations."""

    def __init__(self, client: Any, owned: bool = False) -> None:
        self.client = client
        self.owned = owned  # connected by the sweep from an address: closed after it
        self.mapped_workers: list[str] = []  # the workers the last sweep sent the market's path

    def run(
        self,
        job: Job,
        market: Market,
        tasks: Sequence[Task],
        batch: int | None = None,
        stall: StallClock | None = None,
    ) -> Generator[tuple[int, Outcome], None, None]:
        if not tasks:  # nothing left to run (a finished checkpoint): no worker is started
            return
        import distributed.client
        from distributed import wait

        # What wait raises on its timeout, and when a future in it was cancelled (as the scheduler does with a
        # lost task).
        passed: tuple[type[BaseException], ...] = (TimeoutError,) + tuple(
            c
            for c in (getattr(distributed.client, "FuturesCancelledError", None), concurrent.futures.CancelledError)
            if isinstance(c, type) and issubclass(c, BaseException)
        )

        client = self.client
        nthreads: dict[str, int] = client.nthreads()
        threads = max(1, sum(nthreads.values()))
        batches = Batches(tasks, threads, batch)
        token = secrets.token_hex(6)
        source = source_of(market)
        readers = self._probe(source, nthreads, token) if source is not None else []
        self.mapped_workers = readers
        groups: list[_Group] = []
        if readers:
            # Restricted by host, where a worker that dies is restarted, unless every worker reads the file.
            hosts = sorted({_host(a) for a in readers})
            groups.append(_Group(True, [] if len(readers) == len(nthreads) else hosts, 0, loose=False))
            groups[-1].threads = sum(nthreads[a] for a in readers)
        others = [a for a in nthreads if a not in readers]
        if others or not readers:
            groups.append(_Group(False, others if readers else [], max(1, sum(nthreads[a] for a in others))))
        scatter_market = any(not g.mapped for g in groups)
        shipped: list[Any] = []  # the job's future, then the market's where it is scattered

        def ship(to: list[str] | None) -> None:
            client.cancel(shipped)
            for attempt in range(_SHIP_TRIES):
                try:
                    shipped[:] = [client.scatter(job, broadcast=True, hash=False)]
                    if scatter_market:
                        shipped.append(client.scatter(market, workers=to, broadcast=True, hash=False))
                    return
                except (OSError, ValueError):
                    # A worker went away meanwhile (one restarted; with none running, the scheduler's replicate
                    # says ValueError, and a scatter that found none a TimeoutError): to those there now.
                    if attempt == _SHIP_TRIES - 1:
                        raise
                    _await_a_worker(client, stall)
                    to = None

        ship(others or None)
        reshipped = 0
        flying: dict[str, _Flight] = {}
        submitted = 0  # every submission gets a key of its own (a key given again could name the old task)
        stalled: set[int] = set()  # positions that stalled once
        lost: dict[int, int] = {}  # position -> times it ran alone and was lost with the data scattered to it

        def submit() -> None:
            nonlocal submitted
            if batches and not all(f.status == "finished" for f in shipped):
                # Scattered data lives on the workers only: when all that held it died, it is sent again.
                _await_a_worker(client, stall)
                ship(None)  # the workers it went to may be gone: to every worker
            while batches and len(flying) < (1 if batches.isolating else _IN_FLIGHT * threads):
                if batches.isolating and flying:
                    break  # the others finish first
                group = min(groups, key=lambda g: g.flying / g.threads)
                chunk, alone = batches.take()
                submitted += 1
                key = f"korvel-sweep-{token}-{chunk[0][0]}-{len(chunk)}-{submitted}"
                where = dict(workers=group.workers or None, allow_other_workers=group.loose if group.workers else False)
                if group.mapped and source is not None:
                    future = client.submit(run_mapped, shipped[0], *source, chunk, pure=False, key=key, **where)
                else:
                    future = client.submit(run_batch, shipped[0], shipped[1], chunk, pure=False, key=key, **where)
                group.flying += 1
                flying[future.key] = _Flight(chunk, alone, future, group, time.monotonic())

        clock = stall if stall is not None else StallClock(None)
        try:
            submit()
            while flying:
                now = time.monotonic()
                timeout = min(f.since + clock.limit(len(f.chunk)) - now for f in flying.values())
                try:
                    wait(
                        [f.future for f in flying.values()],
                        timeout=max(0.0, timeout) if math.isfinite(timeout) else None,
                        return_when="FIRST_COMPLETED",
                    )  # type: ignore[no-untyped-call]
                except passed:
                    pass  # a cancelled future is done: it is handled below
                finished = [f for f in flying.values() if f.future.done()]
                if not finished:
                    yield from self._stalled(flying, batches, stalled, clock)
                    submit()
                    continue
                for flight in finished:
                    del flying[flight.future.key]
                    flight.group.flying -= 1
                    future, chunk, alone = flight.future, flight.chunk, flight.alone
                    limit = clock.limit(len(chunk))
                    status, value, error = _outcome(future, None if math.isinf(limit) else limit)
                    if isinstance(value, Batch):
                        batches.timed(len(chunk), value.seconds)
                        clock.record(value.seconds, len(chunk))
                        yield from value.outcomes
                    elif status == "error" and (type(error).__name__ == "KilledWorker" or _held(client, shipped)):
                        # The tasks themselves never raise: this is the cluster's word (a KilledWorker after its
                        # worker died more often than the scheduler's allowed-failures).
                        if len(chunk) > 1 and not alone:
                            batches.split(chunk)  # the combination that killed it is then found alone
                        else:
                            yield chunk[0][0], failed(error if error is not None else RuntimeError(status))
                    elif alone and lost.get(chunk[0][0], 0) < _LOST_ALONE:
                        # Run with nothing else in flight, it lost its worker and the data scattered to it: it
                        # goes again (on the data scattered again), a few times at most.
                        lost[chunk[0][0]] = lost.get(chunk[0][0], 0) + 1
                        batches.again(chunk, alone)
                    elif alone:
                        yield (
                            chunk[0][0],
                            Failed(
                                "KilledWorker",
                                "the worker running this combination died, and the data scattered to it",
                                "",
                            ),
                        )
                    elif reshipped < _RESHIP:
                        # Cancelled, or lost with the market or the job when every worker holding them died:
                        # the batch goes again (on the market scattered again).
                        reshipped += 1
                        batches.again(chunk, alone)
                    else:
                        for position, _ in chunk:
                            yield (
                                position,
                                failed(error)
                                if isinstance(error, BaseException)
                                else Failed("Cancelled", f"the cluster gave no answer (status {status})", ""),
                            )
                submit()
        finally:
            client.cancel([f.future for f in flying.values()] + shipped)

    def _stalled(
        self, flying: dict[str, _Flight], batches: Batches, stalled: set[int], clock: StallClock
    ) -> Generator[tuple[int, Outcome], None, None]:
        """Batches past their limit (a hung worker, or a result that never arrives): cancelled, the workers
        running them restarted, their combinations run again alone (one that stalled alone before fails)."""
        client = self.client
        now = time.monotonic()
        late = [f for f in flying.values() if now - f.since >= clock.limit(len(f.chunk))]
        if not late:
            return
        try:
            processing: dict[str, Any] = client.processing()
        except Exception:
            processing = {}
        keys = {f.future.key for f in late}
        hung = sorted(w for w, ks in processing.items() if keys & set(ks))
        client.cancel([f.future for f in late])
        for flight in late:
            del flying[flight.future.key]
            flight.group.flying -= 1
        said = f"Dask worker {', '.join(hung)}" if hung else "a Dask task that never answered"
        yield from stalled_batches(
            said, [(f.chunk, f.alone, now - f.since) for f in late], stalled, batches, "restarted"
        )
        if hung:
            _released(client, keys)
            _restart(client, hung)

    def _probe(self, source: tuple[str, int], nthreads: dict[str, int], token: str) -> list[str]:
        """The workers that read the market's file (one probe task on each)."""
        from distributed import wait

        client = self.client
        probes = {
            address: client.submit(
                readable,
                *source,
                workers=[address],
                allow_other_workers=False,
                pure=False,
                key=f"korvel-probe-{token}-{i}",
            )
            for i, address in enumerate(nthreads)
        }
        try:
            wait(list(probes.values()), timeout=_PROBE_SECONDS)  # type: ignore[no-untyped-call]
        except TimeoutError:
            pass  # a worker that does not answer gets the market scattered
        readers = [a for a, f in probes.items() if f.status == "finished" and f.result() is True]
        client.cancel(list(probes.values()))
        return readers

    def describe(self) -> str:
        try:
            workers = len(self.client.nthreads())
        except Exception:
            workers = -1
        address = getattr(getattr(self.client, "scheduler", None), "address", "?")
        return f"dask ({address}, {workers} workers)" if workers >= 0 else f"dask ({address})"

    def close(self) -> None:
        if self.owned:
            self.client.close()


def _outcome(future: Any, timeout: float | None) -> tuple[str, Any, BaseException | None]:
    """(status, result, exception) of a finished future; a result lost on its way (its data forgotten
    after it finished, or held by a worker that stopped answering) reads as cancelled."""
    status = future.status
    try:
        if status == "finished":
            return status, future.result(timeout=timeout), None
        if status == "error":
            return status, None, future.exception()
    except Exception:
        pass
    return "cancelled", None, None


def _held(client: Any, shipped: list[Any]) -> bool:
    """The scattered data is still on some worker, as the scheduler knows it now: the futures' own status
    learns of a loss only when the scheduler's message comes, which a loaded client may read late (a task
    that failed for the lost data would then be recorded as failed instead of run again)."""
    if not all(f.status == "finished" for f in shipped):
        return False
    try:
        holders: dict[Any, Any] = client.who_has(shipped)
    except Exception:
        return False
    return all(holders.get(f.key) for f in shipped)


def _released(client: Any, keys: set[str]) -> None:
    """Wait until the scheduler holds none of the cancelled `keys` as processing: a cancel is a message it
    reads in its turn, and a worker killed before would have them run again elsewhere (a hung combination
    then stops another worker)."""
    deadline = time.monotonic() + _RELEASE_SECONDS
    while time.monotonic() < deadline:
        try:
            processing: dict[str, Any] = client.processing()
        except Exception:
            return
        if not any(keys & set(held) for held in processing.values()):
            return
        time.sleep(0.01)


def _restart(client: Any, workers: list[str]) -> None:
    """Restart hung workers: killed at once where they run on this machine (a stopped process takes no
    SIGTERM; the nanny starts a new one), else through their nannies."""
    here = {"127.0.0.1", "localhost", "::1", socket.gethostname()}
    try:
        here.add(socket.gethostbyname(socket.gethostname()))
    except OSError:
        pass
    local = [address for address in workers if _host(address) in here]
    said: dict[str, Any] = {}
    if local:
        try:
            # The scheduler does not know a worker's pid, and a hung worker cannot tell: its nanny does.
            said = client.run(_worker_pid, workers=local, nanny=True, on_error="return")
        except Exception:
            said = {}
    remote = []
    for address in workers:
        pids = said.get(address)
        if isinstance(pids, tuple) and pids[1] is not None and _parent(pids[1]) == pids[0]:
            try:
                os.kill(pids[1], signal.SIGKILL)
                continue
            except (ProcessLookupError, PermissionError):
                pass
        remote.append(address)
    if remote:
        try:
            client.restart_workers(remote, timeout=_RESTART_SECONDS, raise_for_error=False)
        except Exception:
            pass  # the scheduler drops a worker that stays silent; its tasks are cancelled already


def _worker_pid(dask_worker: Any) -> tuple[int, int | None]:
    """On a worker's nanny: its own pid and its worker process's (None when it runs none)."""
    return os.getpid(), dask_worker.pid


def _parent(pid: int) -> int | None:
    """The parent of process `pid` as this machine sees it (the nanny's pid it reports is then one of this
    process's namespace, not of a container's), or None."""
    try:
        import psutil  # type: ignore[import-untyped]  # with distributed, which needs it

        return int(psutil.Process(pid).ppid())
    except Exception:
        return None


def _host(address: str) -> str:
    """The host of a worker's address ("tcp://10.0.0.5:40331" -> "10.0.0.5")."""
    return address.split("://", 1)[-1].rsplit(":", 1)[0].strip("[]")
