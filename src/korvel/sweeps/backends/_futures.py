"""Any `concurrent.futures.Executor`: the combinations in batches (`korvel.sweeps.backends._batches`), the
market in a mapped file (threads use it as it is).

A `ProcessPoolExecutor` broken by a worker that died (every later future
fails with BrokenProcessPool) is replaced by a new one with the same
`max_workers` and `mp_context`, and the batches it lost run again (one
combination at a time, so that the one that kills its worker fails alone).
A batch that stalls (`korvel.sweeps.backends._stall`) has the pool's
workers killed, and the pool is replaced the same way.
"""

from __future__ import annotations

import concurrent.futures
import math
import os
import signal
import time
import warnings
from collections.abc import Generator, Sequence
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Any

from korvel._market import Market
from korvel.sweeps._task import Batch, Job, Outcome, failed, run_batch
from korvel.sweeps.backends._base import Backend, Task
from korvel.sweeps.backends._batches import Batches
from korvel.sweeps.backends._pool import default_workers
from korvel.sweeps.backends._sharing import Handle, attach, published
from korvel.sweeps.backends._stall import StallClock, stalled_batches

#: Batches in flight per worker: one running, one waiting.
_IN_FLIGHT = 2
#: How often futures not yet running are looked at (their stall clock starts when they run).
_POLL_SECONDS = 0.2


def run_attached(handle: Handle, tasks: Sequence[Task]) -> Batch:
    """A batch on an executor's worker: the published market and job, attached once per process."""
    market, job = attach(handle)
    return run_batch(job, market, tasks)


@dataclass
class _Flight:
    chunk: list[Task]
    alone: bool
    executor: concurrent.futures.Executor
    since: float | None = None  # when it was first seen running


class Futures(Backend):
    """Any `concurrent.futures.Executor`: one future per batch of combinations."""

    def __init__(self, executor: concurrent.futures.Executor) -> None:
        self.executor = executor
        self._replacements: list[concurrent.futures.Executor] = []  # the pools this backend started

    @property
    def stoppable(self) -> str | None:
        if isinstance(self.executor, concurrent.futures.ProcessPoolExecutor):
            return None
        if isinstance(self.executor, concurrent.futures.ThreadPoolExecutor):
            return "a thread of a ThreadPoolExecutor cannot be stopped while it runs a combination"
        return f"the workers of a {type(self.executor).__name__} cannot be stopped by the sweep"

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
        threads = isinstance(self.executor, concurrent.futures.ThreadPoolExecutor)
        clock = stall if stall is not None and self.stoppable is None else StallClock(None)
        workers = getattr(self.executor, "_max_workers", None) or default_workers()
        batches = Batches(tasks, workers, batch)
        flying: dict[concurrent.futures.Future[Batch], _Flight] = {}
        stalled: set[int] = set()  # positions that stalled once
        with published(market, job, file=not threads) as handle:
            try:
                while batches or flying:
                    while batches and len(flying) < (1 if batches.isolating else _IN_FLIGHT * workers):
                        if batches.isolating and flying:
                            break  # the others finish first
                        chunk, alone = batches.take()
                        try:
                            future = self.executor.submit(run_attached, handle, chunk)
                        except BrokenProcessPool:
                            self._replace()
                            future = self.executor.submit(run_attached, handle, chunk)
                        except Exception as exc:  # an executor that takes no more work
                            for position, _ in chunk:
                                yield position, failed(exc)
                            continue
                        flying[future] = _Flight(chunk, alone, self.executor)
                    if not flying:
                        continue
                    now = time.monotonic()
                    for future, flight in flying.items():
                        if flight.since is None and (future.running() or future.done()):
                            flight.since = now
                    timeout = None
                    if clock.enabled:
                        started = [f.since + clock.limit(len(f.chunk)) - now for f in flying.values() if f.since]
                        timeout = min(started, default=math.inf)
                        if any(f.since is None for f in flying.values()):
                            timeout = min(timeout, _POLL_SECONDS)
                        timeout = max(0.0, timeout) if math.isfinite(timeout) else None
                    finished, _ = concurrent.futures.wait(
                        flying, timeout=timeout, return_when=concurrent.futures.FIRST_COMPLETED
                    )
                    if not finished:
                        yield from self._stalled(flying, batches, stalled, clock)
                        continue
                    for future in finished:
                        flight = flying.pop(future)
                        chunk, alone = flight.chunk, flight.alone
                        error = future.exception()
                        if error is None:
                            answer = future.result()
                            batches.timed(len(chunk), answer.seconds)
                            clock.record(answer.seconds, len(chunk))
                            yield from answer.outcomes
                            continue
                        if isinstance(error, BrokenProcessPool) and flight.executor is self.executor:
                            self._replace()
                        if len(chunk) > 1 and not alone:
                            batches.split(chunk)  # a worker lost by the executor: the combinations go alone
                        elif isinstance(error, BrokenProcessPool) and not alone:
                            batches.split(chunk)  # lost with the pool, maybe through no fault of its own
                        else:
                            yield chunk[0][0], failed(error)
            finally:
                for future in flying:
                    future.cancel()

    def _stalled(
        self,
        flying: dict[concurrent.futures.Future[Batch], _Flight],
        batches: Batches,
        stalled: set[int],
        clock: StallClock,
    ) -> Generator[tuple[int, Outcome], None, None]:
        """Batches past their limit: the pool's workers are killed and the pool replaced; the stalled batches'
        combinations run again alone (one that stalled alone before fails), the others again as they were."""
        now = time.monotonic()
        late = [f for f in flying.values() if f.since is not None and now - f.since >= clock.limit(len(f.chunk))]
        if not late:
            return
        _kill_workers(self.executor)
        worker = type(self.executor).__name__ + "'s worker"
        yield from stalled_batches(
            worker, [(f.chunk, f.alone, now - (f.since or now)) for f in late], stalled, batches, "stopped"
        )
        for flight in flying.values():
            if flight not in late:
                batches.again(flight.chunk, flight.alone)  # lost with the pool through no fault of their own
        flying.clear()
        self._replace(stalled=True)

    def _replace(self, stalled: bool = False) -> None:
        """A new process pool with the broken one's size and start method, in its place."""
        old = self.executor
        if not isinstance(old, concurrent.futures.ProcessPoolExecutor):
            return
        workers = getattr(old, "_max_workers", None)
        context = getattr(old, "_mp_context", None)
        new = concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context)
        self._replacements.append(new)
        self.executor = new
        method = context.get_start_method() if context is not None else "default"
        why = "had its workers stopped for a stall" if stalled else "was broken by a worker that died"
        warnings.warn(
            f"sweep: the ProcessPoolExecutor {why}; the sweep goes on with a new one "
            f"(max_workers={workers}, start method {method})",
            RuntimeWarning,
            stacklevel=4,
        )

    def describe(self) -> str:
        return type(self.executor).__name__

    def close(self) -> None:
        for executor in self._replacements:
            executor.shutdown(wait=False, cancel_futures=True)


def _kill_workers(executor: concurrent.futures.Executor) -> None:
    """SIGKILL every worker process of a process pool (a stopped process takes no SIGTERM)."""
    processes: dict[int, Any] = dict(getattr(executor, "_processes", None) or {})
    for pid in processes:
        try:
            os.kill(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
