"""Any `concurrent.futures.Executor`: one future per combination, the market in a mapped file
(threads use it as it is)."""

from __future__ import annotations

import concurrent.futures
from collections.abc import Generator, Mapping, Sequence
from typing import Any

from korvel._market import Market
from korvel.sweeps._task import Job, Outcome, failed, run_task
from korvel.sweeps.backends._base import Backend, Task
from korvel.sweeps.backends._sharing import Handle, attach, published


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
