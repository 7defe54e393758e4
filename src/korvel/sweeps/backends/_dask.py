"""A Dask cluster through its client: the market and the job scattered once to every worker."""

from __future__ import annotations

import secrets
from collections.abc import Generator, Sequence
from typing import Any

from korvel._market import Market
from korvel.sweeps._task import Done, Failed, Job, Outcome, failed, run_task
from korvel.sweeps.backends._base import Backend, Task

CLUSTER_EXTRA = "pip install 'korvel[cluster]'"


class Dask(Backend):
    """A Dask cluster through its client: the market and the job scattered once to every worker."""

    def __init__(self, client: Any, owned: bool = False) -> None:
        self.client = client
        self.owned = owned  # connected by the sweep from an address: closed after it

    def run(self, job: Job, market: Market, tasks: Sequence[Task]) -> Generator[tuple[int, Outcome], None, None]:
        if not tasks:  # nothing left to run (a finished checkpoint): no worker is started
            return
        from distributed import as_completed

        client = self.client
        market_future = client.scatter(market, broadcast=True, hash=False)
        job_future = client.scatter(job, broadcast=True, hash=False)
        token = secrets.token_hex(6)
        futures: dict[str, tuple[int, Any]] = {}
        for position, params in tasks:
            future = client.submit(
                run_task, job_future, market_future, params, pure=False, key=f"korvel-sweep-{token}-{position}"
            )
            futures[future.key] = (position, future)
        try:
            done = as_completed(
                [f for _, f in futures.values()],
                with_results=True,  # type: ignore[no-untyped-call]
                raise_errors=False,
            )
            for future, value in done:
                position, _ = futures.pop(future.key)
                if future.status == "error":
                    # The task itself never raises: this is the cluster's word (a KilledWorker after its
                    # worker died more often than the scheduler's allowed-failures, a lost dependency).
                    yield position, failed(value[1])
                elif isinstance(value, (Done, Failed)):
                    yield position, value
                else:
                    yield position, Failed(type(value).__name__, f"unexpected answer {value!r}", "")
        finally:
            left = [f for _, f in futures.values()]
            client.cancel(left + [market_future, job_future])

    def describe(self) -> str:
        try:
            workers = len(self.client.scheduler_info().get("workers", {}))
        except Exception:
            workers = -1
        address = getattr(getattr(self.client, "scheduler", None), "address", "?")
        return f"dask ({address}, {workers} workers)" if workers >= 0 else f"dask ({address})"

    def close(self) -> None:
        if self.owned:
            self.client.close()
