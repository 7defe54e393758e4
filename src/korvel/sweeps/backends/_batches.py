"""How a sweep's tasks are cut into batches for executors whose round trip costs a share of a backtest.

A batch is a list of combinations that one worker runs one after the
other and answers for at once.  Its size comes from the time the first
answers took: as many combinations as take about `TARGET_SECONDS`, but no
more than a share of what is left, so that every worker has work to the
end.  The first batch given each worker holds one combination, to measure.
A batch lost with its worker is split: its combinations are run one at a
time with nothing else in flight (a cluster blames every task its dying
worker held), so that a combination that kills its worker is the only one
reported.
"""

from __future__ import annotations

import math
from collections import deque
from collections.abc import Iterable, Sequence

from korvel.sweeps.backends._base import Task

#: The time a batch should take, in seconds: its round trip is then a small share of it.
TARGET_SECONDS = 0.3
#: The largest batch, whatever the measure says (a lost batch is rerun combination by combination).
MAX_BATCH = 512


class Queue:
    """Tasks waiting, taken from the front: those put back first, then the sweep's tasks in order, each
    made when it is taken (a sequence such as `korvel.sweeps._sweep.Tasks` holds no object per task)."""

    def __init__(self, tasks: Iterable[Task]) -> None:
        self._tasks: Sequence[Task] = tasks if isinstance(tasks, Sequence) else list(tasks)
        self._next = 0
        self._back: deque[Task] = deque()  # put back, before the others

    def __len__(self) -> int:
        return len(self._back) + len(self._tasks) - self._next

    def __bool__(self) -> bool:
        return len(self) > 0

    def popleft(self) -> Task:
        if self._back:
            return self._back.popleft()
        if self._next >= len(self._tasks):
            raise IndexError("no task left")
        self._next += 1
        return self._tasks[self._next - 1]

    def appendleft(self, task: Task) -> None:
        self._back.appendleft(task)

    def extendleft(self, tasks: Iterable[Task]) -> None:
        self._back.extendleft(tasks)


class Batches:
    """The tasks not yet handed out, in batches sized from the times measured (or of a `fixed` size)."""

    def __init__(self, tasks: Sequence[Task], workers: int, fixed: int | None = None) -> None:
        self._pending = Queue(tasks)
        self._alone: deque[Task] = deque()  # from a lost batch: run one by one
        self._workers = max(1, workers)
        self._fixed = fixed
        self._count = 0
        self._seconds = 0.0

    def __bool__(self) -> bool:
        return bool(self._pending or self._alone)

    @property
    def isolating(self) -> bool:
        """Combinations of a lost batch are waiting: they go one at a time, with nothing else in flight."""
        return bool(self._alone)

    def take(self) -> tuple[list[Task], bool]:
        """The next batch, and whether it is a combination of a lost batch (whose loss is then its own)."""
        if self._alone:
            return [self._alone.popleft()], True
        size = min(self.size(), len(self._pending))
        return [self._pending.popleft() for _ in range(size)], False

    def size(self) -> int:
        if self._fixed is not None:
            return self._fixed
        if self._count == 0:
            return 1
        per_task = self._seconds / self._count
        size = MAX_BATCH if per_task <= 0 else int(TARGET_SECONDS / per_task)
        share = math.ceil(len(self._pending) / (2 * self._workers))
        return max(1, min(size, share, MAX_BATCH))

    def timed(self, count: int, seconds: float) -> None:
        """A batch of `count` combinations took `seconds` on its worker."""
        self._count += count
        self._seconds += seconds

    def again(self, batch: Sequence[Task], alone: bool) -> None:
        """A batch cancelled through no fault of its own: it goes again, first."""
        (self._alone if alone else self._pending).extendleft(reversed(batch))

    def split(self, batch: Sequence[Task]) -> None:
        """A batch whose worker was lost: its combinations go again, one by one, before the others."""
        self._alone.extend(batch)
