"""Strategies for the sweep tests, in a module of their own so that worker processes can import them."""

import os
import signal
import time
from pathlib import Path

import numpy as np
import pandas as pd
import sweep_calls

CALLS = sweep_calls.CALLS  # (parameters) of every call in this process


def momentum(market, lookback, top, fail=False, kill=None, once=None, stop=None, hold=None):
    """The `top` instruments by return over `lookback` rows, equal weights, at each month end.

    fail: raise.  kill: the pid of the sweep's own process; any other process
    running this combination kills itself (once only, when `once` names a
    marker file to leave behind), or, when `hold` names a folder, says so by a
    file "inside-PID" there and waits for the test to kill it (`Killer`).
    stop: the same, but the process stops itself (SIGSTOP), as a hung worker.
    """
    sweep_calls.CALLS.append((lookback, top, fail))
    if os.environ.get("KORVEL_TEST_CALLS"):
        Path(os.environ["KORVEL_TEST_CALLS"], f"{os.getpid()}-{lookback}-{top}-{time.perf_counter_ns()}").touch()
    if os.environ.get("KORVEL_TEST_PIDS"):
        Path(os.environ["KORVEL_TEST_PIDS"], str(os.getpid())).touch()
    time.sleep(float(os.environ.get("KORVEL_TEST_DELAY", "0")))
    if fail:
        raise ValueError(f"no weights for lookback {lookback}")
    if kill is not None and kill != os.getpid() and not (once and os.path.exists(once)):
        if once:
            Path(once).touch()
        if hold:
            Path(hold, f"inside-{os.getpid()}").touch()
            time.sleep(120)  # the test kills this process meanwhile
            raise RuntimeError("the test did not kill the worker holding this combination")
        os.kill(os.getpid(), signal.SIGKILL)
    if stop is not None and stop != os.getpid() and not (once and os.path.exists(once)):
        if once:
            Path(once).touch()
        os.kill(os.getpid(), signal.SIGSTOP)
    close = market.close.to_numpy()
    dates = market.dates
    month_end = np.flatnonzero(np.append(dates[1:].month != dates[:-1].month, True))
    rows = month_end[month_end >= lookback]
    score = close[rows] / close[rows - lookback] - 1.0
    score = np.where(np.isnan(score), -np.inf, score)
    rank = np.argsort(-score, axis=1, kind="stable")[:, :top]
    weights = np.zeros_like(score)
    np.put_along_axis(weights, rank, 1.0 / top, axis=1)
    weights[~np.isfinite(np.take_along_axis(score, rank, axis=1)).all(axis=1)] = 0.0
    return pd.DataFrame(weights, index=dates[rows], columns=market.instruments)


def peeking(market, lookback, top):
    """The `top` instruments by their return over the next 5 rows, every row: it looks ahead."""
    close = market.close.to_numpy()
    dates = market.dates
    rows = np.arange(lookback, len(dates) - 5)
    score = np.nan_to_num(close[rows + 5] / close[rows] - 1.0, nan=-np.inf)
    rank = np.argsort(-score, axis=1, kind="stable")[:, :top]
    weights = np.zeros_like(score)
    np.put_along_axis(weights, rank, 1.0 / top, axis=1)
    return pd.DataFrame(weights, index=dates[rows], columns=market.instruments)


class Killer:
    """A thread that SIGKILLs every process that says, by a file "inside-PID" in `folder`, that it is inside
    a combination (momentum's `hold`): the kill comes when the worker is known to be running that combination."""

    def __init__(self, folder):
        import threading

        self.folder = Path(folder)
        self.folder.mkdir(exist_ok=True)
        self.killed = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            for marker in self.folder.glob("inside-*"):
                pid = int(marker.name.split("-", 1)[1])
                marker.unlink()
                os.kill(pid, signal.SIGKILL)
                self.killed.append(pid)
            self._stop.wait(0.01)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
