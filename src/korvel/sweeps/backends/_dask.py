"""A Dask cluster through its client: the combinations in batches (`korvel.sweeps.backends._batches`),
the market shipped once to every worker.

A market loaded from a file with ``Market.load(path, mmap=True)`` is shipped
as its path to every worker that can read that file (a probe task on each
worker checks the file's header checksum): the workers of a machine then
map one copy.  The other workers get the market scattered, as a market in
memory is.  The job (strategy, fixed keywords) is scattered to all.
"""

from __future__ import annotations

import secrets
from collections.abc import Generator, Sequence
from dataclasses import dataclass, field
from typing import Any

from korvel._market import Market, source_of
from korvel._market_file import header_of
from korvel.sweeps._task import Batch, Failed, Job, Outcome, failed, run_batch
from korvel.sweeps.backends._base import Backend, Task
from korvel.sweeps.backends._batches import Batches
from korvel.sweeps.backends._stall import StallClock

CLUSTER_EXTRA = "pip install 'korvel[cluster]'"
#: Batches in flight per worker thread: one running, one waiting on the worker or the scheduler.
_IN_FLIGHT = 2
#: How often the market and the job are scattered again after the workers holding them all died.
_RESHIP = 10
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
        from distributed import as_completed

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
            shipped[:] = [client.scatter(job, broadcast=True, hash=False)]
            if scatter_market:
                shipped.append(client.scatter(market, workers=to, broadcast=True, hash=False))

        ship(others or None)
        reshipped = 0
        flying: dict[str, tuple[list[Task], bool, Any, _Group]] = {}
        done = as_completed(with_results=True, raise_errors=False)  # type: ignore[no-untyped-call]

        def submit() -> None:
            if batches and not all(f.status == "finished" for f in shipped):
                # Scattered data lives on the workers only: when all that held it died, it is sent again.
                client.wait_for_workers(1)
                ship(None)  # the workers it went to may be gone: to every worker
            while batches and len(flying) < (1 if batches.isolating else _IN_FLIGHT * threads):
                if batches.isolating and flying:
                    break  # the others finish first
                group = min(groups, key=lambda g: g.flying / g.threads)
                chunk, alone = batches.take()
                key = f"korvel-sweep-{token}-{chunk[0][0]}-{len(chunk)}"
                where = dict(workers=group.workers or None, allow_other_workers=group.loose if group.workers else False)
                if group.mapped and source is not None:
                    future = client.submit(run_mapped, shipped[0], *source, chunk, pure=False, key=key, **where)
                else:
                    future = client.submit(run_batch, shipped[0], shipped[1], chunk, pure=False, key=key, **where)
                group.flying += 1
                flying[future.key] = (chunk, alone, future, group)
                done.add(future)  # type: ignore[no-untyped-call]

        try:
            submit()
            for future, value in done:
                chunk, alone, _, group = flying.pop(future.key)
                group.flying -= 1
                if isinstance(value, Batch):
                    batches.timed(len(chunk), value.seconds)
                    yield from value.outcomes
                elif future.status == "error" and (
                    type(value[1]).__name__ == "KilledWorker" or all(f.status == "finished" for f in shipped)
                ):
                    # The tasks themselves never raise: this is the cluster's word (a KilledWorker after its
                    # worker died more often than the scheduler's allowed-failures).
                    if len(chunk) > 1 and not alone:
                        batches.split(chunk)  # the combination that killed it is then found alone
                    else:
                        yield chunk[0][0], failed(value[1])
                elif alone:
                    # Run with nothing else in flight, it lost its worker and the market with it.
                    yield (
                        chunk[0][0],
                        Failed(
                            "KilledWorker", "the worker running this combination died, and the data scattered to it", ""
                        ),
                    )
                elif reshipped < _RESHIP:
                    # Cancelled, or lost with the market or the job when every worker holding them died:
                    # the batch goes again (on the market scattered again).
                    reshipped += 1
                    batches.again(chunk, alone)
                else:
                    error = value[1] if isinstance(value, tuple) else value
                    for position, _ in chunk:
                        yield (
                            position,
                            failed(error)
                            if isinstance(error, BaseException)
                            else Failed(type(error).__name__, f"unexpected answer {error!r}", ""),
                        )
                submit()
        finally:
            client.cancel([f for _, _, f, _ in flying.values()] + shipped)

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


def _host(address: str) -> str:
    """The host of a worker's address ("tcp://10.0.0.5:40331" -> "10.0.0.5")."""
    return address.split("://", 1)[-1].rsplit(":", 1)[0].strip("[]")
