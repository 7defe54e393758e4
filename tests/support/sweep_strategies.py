"""Strategies for the sweep tests, in a module of their own so that worker processes can import them."""

import os
import signal
import time
from pathlib import Path

import numpy as np
import pandas as pd
import sweep_calls

from korvel.sweeps.backends._stall import StallClock

CALLS = sweep_calls.CALLS  # (parameters) of every call in this process


def momentum(market, lookback, top, fail=False, kill=None, once=None, stop=None, hold=None):
    """The `top` instruments by return over `lookback` rows, equal weights, at each month end.

    fail: raise.  kill: the pid of the sweep's own process; any other process
    running this combination kills itself (once only, when `once` names a
    marker file to leave behind), or, when `hold` names a folder, says so by a
    file "inside-PID" there and waits for the test to kill it (`Killer`).
    stop: the same, but the process stops itself (SIGSTOP), as a hung worker; when `hold` names a folder, it
    says so first by a file "stopping-PID" there, holding the process's start time (`Stopped`).
    """
    sweep_calls.CALLS.append((lookback, top, fail))
    if os.environ.get("KORVEL_TEST_CALLS"):
        Path(os.environ["KORVEL_TEST_CALLS"], f"{os.getpid()}-{lookback}-{top}-{time.perf_counter_ns()}").touch()
    if os.environ.get("KORVEL_TEST_PIDS"):
        Path(os.environ["KORVEL_TEST_PIDS"], str(os.getpid())).touch()
    time.sleep(float(os.environ.get("KORVEL_TEST_DELAY", "0")))
    gate = os.environ.get("KORVEL_TEST_GATE")
    if gate:  # the first two calls pass; the others wait 20 s at the gate (the test interrupts them first)
        Path(gate, f"{os.getpid()}-{time.perf_counter_ns()}").touch()
        if len(list(Path(gate).iterdir())) > 2:
            time.sleep(20.0)
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
        if hold:
            Path(hold, f"stopping-{os.getpid()}").write_text(_started(os.getpid()) or "")
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


def _stat(pid):
    """The fields of /proc/PID/stat after the command's name (the state first), or None for no such process."""
    try:
        text = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return text[text.rindex(")") + 2 :].split()


def _started(pid):
    """The start time of a process (in clock ticks since boot): with its pid, it names the process, not a reuse."""
    fields = _stat(pid)
    return fields[19] if fields else None


class Stopped(StallClock):
    """A stall clock for a sweep one of whose combinations stops its worker (momentum's `stop` and `hold`),
    under which no combination that runs is ever taken for stalled twice, however loaded the machine.

    The backends give every flight in flight one limit: the `short` one only while a worker that said it
    stops ("stopping-PID" in `folder`) is stopped (/proc's state "T"), and one that no flight reaches
    otherwise.  Then:

    - On Dask and executors (batches of two), a flight taken for stalled beside the stopped one is a batch
      (waiting behind it, or on a worker slowed down): it is split, and its combinations run again alone,
      one at a time with nothing else in flight, once the stopped worker is gone, so never under the short
      limit.  These backends ask for a flight's limit again when their wait ends: the long limit is the time
      since the clock last gave the short one (or was made), before which no flight in flight began, and
      `poll`: nothing is late, and the wait ends within that.
    - The local pool hands out single combinations and goes on with the others beside a combination that
      stalled once: the short limit waits until the `others` have all answered (counted by `record`), the
      long one is `generous`, and as the pool's wait and verdict take one limit, `limit` itself waits while
      a stop is due (the others answered, fewer than `stops` said) or a worker said it stops and has not yet.
    """

    def __init__(self, folder, short, *, others=None, stops=None, poll=0.05, generous=120.0, patience=60.0):
        super().__init__(short)
        self.folder = Path(folder)
        self.short, self.others, self.stops = short, others, stops
        self.poll, self.generous, self.patience = poll, generous, patience
        self.answered = 0
        self._since = self._moved = time.monotonic()

    def record(self, seconds, count=1):
        super().record(seconds, count)
        self.answered += count
        self._moved = time.monotonic()

    def limit(self, count=1):
        pool = self.others is not None
        while True:
            said = list(self.folder.glob("stopping-*"))
            states = []
            for marker in said:
                fields = _stat(marker.name.split("-", 1)[1])
                same = fields is not None and fields[19] == marker.read_text()
                states.append(fields[0] if same else None)  # None: gone (a pid used again is another process)
            now = time.monotonic()
            if "T" in states and (not pool or self.answered >= self.others):
                self._since = self._moved = now  # the flights after this began after it
                return self.short * max(1, count)
            if now - self._moved > self.patience:
                raise AssertionError(f"the sweep did not move for {self.patience} s (said: {said}, {states})")
            if not pool:
                return now - self._since + self.poll
            stopping = any(state not in (None, "Z", "X", "T") for state in states)
            due = len(said) < self.stops and self.answered >= self.others
            if not stopping and not due:
                return self.generous * max(1, count)
            time.sleep(0.005)
