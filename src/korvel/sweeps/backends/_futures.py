"""Any `concurrent.futures.Executor`: the combinations in batches (`korvel.sweeps.backends._batches`), the
market in a mapped file (threads use it as it is)."""

from __future__ import annotations

import concurrent.futures
from collections.abc import Generator, Sequence

from korvel._market import Market
from korvel.sweeps._task import Batch, Job, Outcome, failed, run_batch
from korvel.sweeps.backends._base import Backend, Task
from korvel.sweeps.backends._batches import Batches
from korvel.sweeps.backends._pool import default_workers
from korvel.sweeps.backends._sharing import Handle, attach, published

#: Batches in flight per worker: one running, one waiting.
_IN_FLIGHT = 2


def run_attached(handle: Handle, tasks: Sequence[Task]) -> Batch:
    """A batch on an executor's worker: the published market and job, attached once per process."""
    market, job = attach(handle)
    return run_batch(job, market, tasks)


class Futures(Backend):
    """Any `concurrent.futures.Executor`: one future per batch of combinations."""

    def __init__(self, executor: concurrent.futures.Executor) -> None:
        self.executor = executor

    def run(
        self, job: Job, market: Market, tasks: Sequence[Task], batch: int | None = None
    ) -> Generator[tuple[int, Outcome], None, None]:
        if not tasks:  # nothing left to run (a finished checkpoint): no worker is started
            return
        threads = isinstance(self.executor, concurrent.futures.ThreadPoolExecutor)
        workers = default_workers()
        batches = Batches(tasks, workers, batch)
        flying: dict[concurrent.futures.Future[Batch], tuple[list[Task], bool]] = {}
        with published(market, job, file=not threads) as handle:
            try:
                while batches or flying:
                    while batches and len(flying) < (1 if batches.isolating else _IN_FLIGHT * workers):
                        if batches.isolating and flying:
                            break  # the others finish first
                        chunk, alone = batches.take()
                        try:
                            flying[self.executor.submit(run_attached, handle, chunk)] = (chunk, alone)
                        except Exception as exc:  # e.g. a process pool broken by a dead worker
                            for position, _ in chunk:
                                yield position, failed(exc)
                    if not flying:
                        continue
                    finished, _ = concurrent.futures.wait(flying, return_when=concurrent.futures.FIRST_COMPLETED)
                    for future in finished:
                        chunk, alone = flying.pop(future)
                        error = future.exception()
                        if error is None:
                            answer = future.result()
                            batches.timed(len(chunk), answer.seconds)
                            yield from answer.outcomes
                        elif len(chunk) > 1 and not alone:
                            batches.split(chunk)  # a worker lost by the executor: the combinations go alone
                        else:
                            yield chunk[0][0], failed(error)
            finally:
                for future in flying:
                    future.cancel()

    def describe(self) -> str:
        return type(self.executor).__name__
