"""The local pool of worker processes (`korvel.sweeps.backends._pool`), the market shared with them once.

Forked workers inherit what is published; the others map its file
(`korvel.sweeps.backends._sharing`).
"""

from __future__ import annotations

import multiprocessing
from collections.abc import Generator, Sequence
from multiprocessing.context import BaseContext
from typing import Any

from korvel._market import Market
from korvel.sweeps._task import Job, Outcome
from korvel.sweeps.backends._base import Backend, Task
from korvel.sweeps.backends._pool import LocalPool, Traffic
from korvel.sweeps.backends._sharing import published
from korvel.sweeps.backends._stall import StallClock


class Processes(Backend):
    """The local pool (`korvel.pool`), `workers` processes of the given start method."""

    def __init__(self, workers: int, context: BaseContext | None = None) -> None:
        self.workers = workers
        self.context: Any = context if context is not None else multiprocessing.get_context()
        self.traffic = Traffic()
        self.recycled = 0  # workers of the last sweep replaced for their memory

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
        # Forked workers inherit what is published; the others map its file.
        with published(market, job, file=self.start_method != "fork") as handle:
            pool = LocalPool(handle, self.workers, self.context, stall)
            self.traffic = pool.traffic
            try:
                yield from pool.run(tasks)
            finally:
                self.recycled = pool.recycled

    @property
    def start_method(self) -> str:
        method: str = self.context.get_start_method()
        return method

    def describe(self) -> str:
        return f"processes ({self.workers} workers, {self.start_method})"
