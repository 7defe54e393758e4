"""The progress bar of a sweep: backtests done, with rate and ETA, on a terminal only."""

from __future__ import annotations

import sys
from typing import Any

from tqdm import tqdm  # type: ignore[import-untyped]


class _Bar(tqdm):  # type: ignore[misc]
    # No monitor thread: a forked worker must not inherit a thread's locks.
    monitor_interval = 0


class Progress:
    """Counts finished backtests; draws a bar when asked to and stderr is a terminal."""

    def __init__(self, total: int, done: int, enabled: bool) -> None:
        self._failed = 0
        self._bar: Any = None
        stream = sys.stderr
        if enabled and stream is not None and _is_terminal(stream):
            self._bar = _Bar(
                total=total,
                initial=done,
                unit="backtest",
                desc="sweep",
                file=stream,
                dynamic_ncols=True,
                smoothing=0.05,
            )

    def advance(self, ok: bool) -> None:
        if self._bar is None:
            return
        if not ok:
            self._failed += 1
            self._bar.set_postfix(failed=self._failed, refresh=False)
        self._bar.update(1)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False
