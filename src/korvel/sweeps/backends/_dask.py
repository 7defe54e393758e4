"""A Dask cluster through its client: the market and the job scattered once to every worker, the
combinations sent in batches (`korvel.sweeps.backends._batches`)."""

from __future__ import annotations

import secrets
from collections.abc import Generator, Sequence
from typing import Any

from korvel._market import Market
from korvel.sweeps._task import Batch, Failed, Job, Outcome, failed, run_batch
from korvel.sweeps.backends._base import Backend, Task
from korvel.sweeps.backends._batches import Batches

CLUSTER_EXTRA = "pip install 'korvel[cluster]'"
#: Batches in flight per worker thread: one running, one waiting on the worker or the scheduler.
_IN_FLIGHT = 2
#: How often the market and the job are scattered again after the workers holding them all died.
_RESHIP = 10


class Dask(Backend):
    """A Dask cluster through its client: the market and the job scattered once to every worker."""

    def __init__(self, client: Any, owned: bool = False) -> None:
        self.client = client
        self.owned = owned  # connected by the sweep from an address: closed after it

    def run(
        self, job: Job, market: Market, tasks: Sequence[Task], batch: int | None = None
    ) -> Generator[tuple[int, Outcome], None, None]:
        if not tasks:  # nothing left to run (a finished checkpoint): no worker is started
            return
        from distributed import as_completed

        client = self.client
        threads = max(1, sum(client.nthreads().values()))
        batches = Batches(tasks, threads, batch)
        shipped: list[Any] = [client.scatter(x, broadcast=True, hash=False) for x in (market, job)]
        reshipped = 0
        token = secrets.token_hex(6)
        flying: dict[str, tuple[list[Task], bool, Any]] = {}
        done = as_completed(with_results=True, raise_errors=False)  # type: ignore[no-untyped-call]

        def submit() -> None:
            if batches and not all(f.status == "finished" for f in shipped):
                # Scattered data lives on the workers only: when all that held it died, it is sent again.
                client.cancel(shipped)
                client.wait_for_workers(1)
                shipped[:] = [client.scatter(x, broadcast=True, hash=False) for x in (market, job)]
            market_future, job_future = shipped
            while batches and len(flying) < (1 if batches.isolating else _IN_FLIGHT * threads):
                if batches.isolating and flying:
                    break  # the others finish first
                chunk, alone = batches.take()
                key = f"korvel-sweep-{token}-{chunk[0][0]}-{len(chunk)}"
                future = client.submit(run_batch, job_future, market_future, chunk, pure=False, key=key)
                flying[future.key] = (chunk, alone, future)
                done.add(future)  # type: ignore[no-untyped-call]

        try:
            submit()
            for future, value in done:
                chunk, alone, _ = flying.pop(future.key)
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
            client.cancel([f for _, _, f in flying.values()] + shipped)

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
