"""Where a sweep runs: in this process, on the local pool, on any concurrent.futures executor, or on Dask.

Every backend takes the sweep's job, its market and its tasks (position,
parameters) and yields (position, outcome) as combinations finish, in any
order; the sweep puts them back in grid order.  Closing the iterator (as an
exception such as Ctrl-C does) stops the work: the local pool's processes
are ended, pending futures are cancelled.  Each backend ships the market to
a worker once, and then only parameters travel:

- serial: the market as it is;
- processes: `sharing` (inherited by forked workers, a mapped file otherwise);
- a concurrent.futures executor: a mapped file (threads use the market as it is);
- Dask: the market and the job scattered to every worker once, tasks referring to them.
"""

from __future__ import annotations

import concurrent.futures
import multiprocessing
import re
import secrets
import sys
from collections.abc import Generator, Mapping, Sequence
from multiprocessing.context import BaseContext
from typing import Any

from korvel.market import Market
from korvel.pool import LocalPool, Task, Traffic, default_workers
from korvel.sharing import Handle, attach, published
from korvel.task import Done, Failed, Job, Outcome, failed, run_task

__all__ = ["Backend", "Serial", "Processes", "Futures", "Dask", "backend_for", "run_attached", "CLUSTER_EXTRA"]

CLUSTER_EXTRA = "pip install 'korvel[cluster]'"
_ADDRESS = re.compile(r"^[a-z][a-z0-9+.-]*://")


class Backend:
    """Runs a sweep's tasks; `describe()` says where."""

    def run(self, job: Job, market: Market, tasks: Sequence[Task]) -> Generator[tuple[int, Outcome], None, None]:
        raise NotImplementedError

    def describe(self) -> str:
        raise NotImplementedError

    def close(self) -> None:
        """Release what the backend opened itself (a client it connected)."""


class Serial(Backend):
    def run(self, job: Job, market: Market, tasks: Sequence[Task]) -> Generator[tuple[int, Outcome], None, None]:
        for position, params in tasks:
            yield position, run_task(job, market, params)

    def describe(self) -> str:
        return "serial"


class Processes(Backend):
    """The local pool (`korvel.pool`), `workers` processes of the given start method."""

    def __init__(self, workers: int, context: BaseContext | None = None) -> None:
        self.workers = workers
        self.context: Any = context if context is not None else multiprocessing.get_context()
        self.traffic = Traffic()

    def run(self, job: Job, market: Market, tasks: Sequence[Task]) -> Generator[tuple[int, Outcome], None, None]:
        if not tasks:  # nothing left to run (a finished checkpoint): no worker is started
            return
        # Forked workers inherit what is published; the others map its file.
        with published(market, job, file=self.start_method != "fork") as handle:
            pool = LocalPool(handle, self.workers, self.context)
            self.traffic = pool.traffic
            yield from pool.run(tasks)

    @property
    def start_method(self) -> str:
        method: str = self.context.get_start_method()
        return method

    def describe(self) -> str:
        return f"processes ({self.workers} workers, {self.start_method})"


def run_attached(handle: Handle, params: Mapping[str, Any]) -> Outcome:
    """A task on an executor's worker: the published market and job, attached once per process."""
    market, job = attach(handle)
    return run_task(job, market, params)


class Futures(Backend):
    """Any `concurrent.futures.Executor`: one future per combination."""

    def __init__(self, executor: concurrent.futures.Executor) -> None:
        self.executor = executor

    def run(self, job: Job, market: Market, tasks: Sequence[Task]) -> Generator[tuple[int, Outcome], None, None]:
        if not tasks:  # nothing left to run (a finished checkpoint): no worker is started
            return
        threads = isinstance(self.executor, concurrent.futures.ThreadPoolExecutor)
        with published(market, job, file=not threads) as handle:
            futures = {self.executor.submit(run_attached, handle, params): position for position, params in tasks}
            try:
                for future in concurrent.futures.as_completed(futures):
                    position = futures.pop(future)
                    error = future.exception()
                    # A worker lost by the executor (e.g. BrokenProcessPool) fails its combinations.
                    yield position, failed(error) if error is not None else future.result()
            finally:
                for future in futures:
                    future.cancel()

    def describe(self) -> str:
        return type(self.executor).__name__


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
            future = client.submit(run_task, job_future, market_future, params, pure=False,
                                   key=f"korvel-sweep-{token}-{position}")
            futures[future.key] = (position, future)
        try:
            done = as_completed([f for _, f in futures.values()], with_results=True,  # type: ignore[no-untyped-call]
                                raise_errors=False)
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
        except Exception:  # noqa: BLE001 - only a description
            workers = -1
        address = getattr(getattr(self.client, "scheduler", None), "address", "?")
        return f"dask ({address}, {workers} workers)" if workers >= 0 else f"dask ({address})"

    def close(self) -> None:
        if self.owned:
            self.client.close()


def backend_for(executor: object, workers: object) -> Backend:
    """The backend an `executor` argument names, `workers` checked against it."""
    if isinstance(executor, Backend):  # e.g. Processes(4, multiprocessing.get_context("spawn"))
        if workers is not None:
            raise ValueError("workers is the size of the local pool (executor='processes'); "
                             "the executor given sets its own")
        return executor
    if executor is None:
        if workers is not None:
            raise ValueError("workers is the size of the local pool: use it with executor='processes'")
        return Serial()
    if isinstance(executor, str) and executor == "processes":
        if workers is None:
            return Processes(default_workers())
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError(f"workers must be a whole number of processes (1 or more), not {workers!r}")
        return Processes(workers)
    if workers is not None:
        raise ValueError("workers is the size of the local pool (executor='processes'); "
                         "the executor given sets its own")
    if isinstance(executor, str) and _ADDRESS.match(executor):
        try:
            from distributed import Client
        except ImportError:
            raise ImportError(f"executor={executor!r} connects to a Dask scheduler, which needs dask.distributed: "
                              f"{CLUSTER_EXTRA}") from None
        return Dask(Client(executor), owned=True)  # type: ignore[no-untyped-call]
    distributed = sys.modules.get("distributed")
    if distributed is not None and isinstance(executor, distributed.Client):
        if getattr(executor, "asynchronous", False):
            raise ValueError("executor: an asynchronous Dask client cannot run a sweep; use a synchronous one")
        return Dask(executor)
    if isinstance(executor, concurrent.futures.Executor):
        return Futures(executor)
    raise TypeError("executor must be None (serial), 'processes' (the local pool), a Dask client or scheduler "
                    f"address ('tcp://host:8786'), or a concurrent.futures.Executor; not {executor!r}")
