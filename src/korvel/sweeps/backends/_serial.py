"""The serial backend: one combination after the other, in this process, on the market as it is."""

from __future__ import annotations

from collections.abc import Generator, Sequence

from korvel._market import Market
from korvel.sweeps._task import CACHE, Job, Outcome, run_task
from korvel.sweeps.backends._base import Backend, Task
from korvel.sweeps.backends._stall import StallClock


class Serial(Backend):
    def run(
        self,
        job: Job,
        market: Market,
        tasks: Sequence[Task],
        batch: int | None = None,
        stall: StallClock | None = None,
    ) -> Generator[tuple[int, Outcome], None, None]:
        try:
            for position, params in tasks:
                yield position, run_task(job, market, params)
        finally:
            CACHE.clear()  # the weights are not kept in this process after its sweep

    def describe(self) -> str:
        return "serial"

    @property
    def stoppable(self) -> str | None:
        return "a serial sweep runs each combination in this process, where a call that hangs cannot be stopped"
