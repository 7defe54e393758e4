"""The interface every backend of a sweep implements."""

from __future__ import annotations

from collections.abc import Generator, Mapping, Sequence
from typing import Any

from korvel._market import Market
from korvel.sweeps._task import Job, Outcome
from korvel.sweeps.backends._stall import StallClock

#: A combination to run: its position in the grid and its parameters.
Task = tuple[int, Mapping[str, Any]]


class Backend:
    """Runs a sweep's tasks; `describe()` says where.

    `run` takes the sweep's job, its market and its tasks and yields
    (position, outcome) as combinations finish, in any order; the sweep puts
    them back in grid order.  `batch` fixes the combinations a worker is given at
    once where the backend sends them in batches (None: sized from the first
    answers).  `stall` times the workers (`_stall`; None: not at all); backends whose calls cannot be
    stopped (`stoppable` false) are not given one.  Closing the iterator (as an exception such as
    Ctrl-C does) stops the work.  Each backend ships the market to a worker
    once, and then only parameters travel.
    """

    def run(
        self,
        job: Job,
        market: Market,
        tasks: Sequence[Task],
        batch: int | None = None,
        stall: StallClock | None = None,
    ) -> Generator[tuple[int, Outcome], None, None]:
        raise NotImplementedError

    def describe(self) -> str:
        raise NotImplementedError

    @property
    def stoppable(self) -> str | None:
        """None where a call that hangs can be stopped; else why it cannot (for the refusal of stall_timeout)."""
        return None

    def close(self) -> None:
        """Release what the backend opened itself (a client it connected)."""
