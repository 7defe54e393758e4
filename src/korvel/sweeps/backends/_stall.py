"""The stall detector of a sweep's workers: how long a worker may go without answering.

``korvel.sweep(..., stall_timeout=...)`` takes a number of seconds per
combination in flight, None (no detector), or "auto" (the default): the
larger of `MIN_SECONDS` and `FACTOR` times the 95th percentile of the
times per combination seen so far, `EARLY_SECONDS` until `EARLY_COUNT`
answers have come.  A worker given a batch of k combinations may take k
times that.  A worker that stalls is stopped (or its pool replaced), its
combinations run again one at a time, and a combination that stalls again
is recorded as failed with the error `STALLED`.
"""

from __future__ import annotations

import math
import warnings
from collections import deque
from collections.abc import Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from korvel.sweeps._task import Failed, Outcome

if TYPE_CHECKING:
    from korvel.sweeps.backends._batches import Batches

STALLED = "Stalled"
AUTO = "auto"
MIN_SECONDS = 60.0
FACTOR = 20.0
EARLY_SECONDS = 600.0
EARLY_COUNT = 20
#: The times per combination the percentile is taken over (the latest ones).
KEPT = 4096


def check_stall_timeout(value: object) -> float | str | None:
    """The argument as given, checked: "auto", None or a positive number of seconds."""
    if value is None or value == AUTO:
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value <= 0:
        raise ValueError(f"stall_timeout must be a positive number of seconds, 'auto' or None, not {value!r}")
    return float(value)


class StallClock:
    """The time a worker may take for `count` combinations before it counts as stalled."""

    def __init__(self, timeout: float | str | None) -> None:
        self.timeout = timeout
        self._times: deque[float] = deque(maxlen=KEPT)
        self._answers = 0

    @property
    def enabled(self) -> bool:
        return self.timeout is not None

    def record(self, seconds: float, count: int = 1) -> None:
        """A worker answered for `count` combinations after `seconds`."""
        if count > 0:
            self._times.append(seconds / count)
            self._answers += 1

    def limit(self, count: int = 1) -> float:
        """Seconds allowed for `count` combinations (infinite when the detector is off)."""
        if self.timeout is None:
            return math.inf
        if isinstance(self.timeout, float):
            return self.timeout * max(1, count)
        if self._answers < EARLY_COUNT:
            return EARLY_SECONDS * max(1, count)
        times = sorted(self._times)
        p95 = times[min(len(times) - 1, int(0.95 * len(times)))]
        return max(MIN_SECONDS, FACTOR * p95) * max(1, count)


def say_stalled(worker: str, seconds: float, positions: list[Any], again: bool) -> None:
    """The sweep's word about a stalled worker: which one, for how long, the combinations in flight."""
    shown = ", ".join(str(p) for p in positions[:5]) + (", ..." if len(positions) > 5 else "")
    then = "recorded as failed (Stalled)" if again else "run again one at a time"
    warnings.warn(
        f"sweep: {worker} did not answer for {seconds:.1f} s with combinations {shown} in flight; "
        f"it was stopped and they are {then}",
        RuntimeWarning,
        stacklevel=4,
    )


def stalled_batches(
    worker: str,
    late: Sequence[tuple[Sequence[tuple[int, Mapping[str, Any]]], bool, float]],
    stalled: set[int],
    batches: Batches,
    stopped: str,
) -> Iterator[tuple[int, Outcome]]:
    """What becomes of the batches (chunk, alone, seconds without an answer) of a stopped `worker`: said, then
    a batch's combinations run again one at a time, and one that stalled alone before is failed (`STALLED`).
    `stalled` holds the positions that stalled once; `stopped` says what was done to the worker."""
    for chunk, alone, seconds in late:
        say_stalled(worker, seconds, [position for position, _ in chunk], alone and chunk[0][0] in stalled)
    for chunk, alone, seconds in late:
        if len(chunk) > 1 and not alone:
            batches.split(chunk)
        elif chunk[0][0] in stalled:
            message = f"the worker running this combination did not answer for {seconds:.1f} s, twice; it was {stopped}"
            yield chunk[0][0], Failed(STALLED, message, "")
        else:
            stalled.add(chunk[0][0])
            batches.split(chunk)
