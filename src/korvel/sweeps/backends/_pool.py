"""The local process pool of ``korvel.sweep(..., executor="processes")``.

Each worker is a process of its own with a pipe to this one and holds one
combination at a time, so this process always knows which combination a
worker is running:

- a worker that dies (a crash, the out-of-memory killer, a kill) is
  replaced, and its combination is reported as failed (`WORKER_DIED`), not
  retried: what killed one worker would most likely kill the next;
- the market reaches the workers once, through a `sharing.Handle`: forked
  workers inherit it, spawned ones map its file;
- a task is the combination's position and parameters; the answer is what
  the sweep keeps (`task.Outcome`);
- a worker that does not answer within the stall clock's limit
  (`korvel.sweeps.backends._stall`) is killed and replaced, and its
  combination run again; one that stalls again is reported as `STALLED`;
- a worker whose memory passes `memory_limit` is replaced after its answer;
- workers ignore SIGINT: Ctrl-C in a terminal reaches the whole process
  group, and it is this process that stops them (terminate, then kill).

Workers are started with the `multiprocessing` start method in force
("fork", "spawn" or "forkserver"), or the context given.
"""

from __future__ import annotations

import gc
import math
import multiprocessing
import multiprocessing.connection
import os
import pickle
import signal
import time
from collections.abc import Generator, Iterable
from dataclasses import dataclass, field
from multiprocessing.context import BaseContext
from multiprocessing.process import BaseProcess
from typing import Any

from korvel.sweeps._task import Failed, Outcome, run_task
from korvel.sweeps.backends._base import Task
from korvel.sweeps.backends._batches import Queue
from korvel.sweeps.backends._sharing import Handle, attach
from korvel.sweeps.backends._stall import STALLED, StallClock, say_stalled

WORKER_DIED = "WorkerDied"
_READY = "ready"
_JOIN_SECONDS = 5.0


def default_workers() -> int:
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


@dataclass
class _Worker:
    process: BaseProcess
    conn: multiprocessing.connection.Connection
    task: Task | None = None
    ready: bool = False
    since: float = 0.0  # when it was given its task (time.monotonic)


@dataclass
class Traffic:
    """Bytes through the pipes, counted as pickled."""

    tasks: int = 0
    sent: int = 0  # to the workers, tasks only (the handle goes once, with the process)
    received: int = 0  # from the workers, answers only
    per_answer: list[int] = field(default_factory=list)


class LocalPool:
    """Runs tasks on `workers` processes; `run` yields (position, outcome) as they finish."""

    def __init__(
        self, handle: Handle, workers: int, context: BaseContext | None = None, stall: StallClock | None = None
    ) -> None:
        self._handle = handle
        self._workers = workers
        self._context: Any = context if context is not None else multiprocessing.get_context()
        self._stall = stall if stall is not None else StallClock(None)
        self.traffic = Traffic()
        self.recycled = 0  # workers stopped for their memory

    def run(self, tasks: Iterable[Task]) -> Generator[tuple[int, Outcome], None, None]:
        pending = Queue(tasks)
        live: dict[multiprocessing.connection.Connection, _Worker] = {}
        stalled: set[int] = set()  # the positions that stalled once
        try:
            for _ in range(min(self._workers, len(pending))):
                worker = self._start()
                live[worker.conn] = worker
                self._give(worker, pending)
            while live:
                # A worker is watched through its pipe (answers) and its sentinel (death), and by the clock.
                watched: dict[Any, _Worker] = {w.process.sentinel: w for w in live.values()}
                watched.update(live)
                now = time.monotonic()
                limit = self._stall.limit()
                busy = [w for w in live.values() if w.task is not None]
                wait = min((w.since + limit - now for w in busy), default=math.inf)
                ready_ones = multiprocessing.connection.wait(
                    list(watched), None if math.isinf(wait) else max(0.0, wait)
                )
                if not ready_ones:
                    now = time.monotonic()
                    for worker in [w for w in busy if now - w.since >= limit]:
                        del live[worker.conn]
                        task = worker.task
                        assert task is not None
                        again = task[0] in stalled
                        say_stalled(f"worker process {worker.process.pid}", now - worker.since, [task[1]], again)
                        worker.process.kill()  # a stopped process takes no SIGTERM
                        worker.process.join(_JOIN_SECONDS)
                        worker.conn.close()
                        if again:
                            yield (
                                task[0],
                                Failed(
                                    STALLED,
                                    f"the worker process running this combination did not answer for {limit:.1f} s, "
                                    "twice; it was stopped",
                                    "",
                                ),
                            )
                        else:
                            stalled.add(task[0])
                            pending.appendleft(task)
                        if pending:
                            worker = self._start()
                            live[worker.conn] = worker
                            self._give(worker, pending)
                    continue
                for ready in ready_ones:
                    worker = watched[ready]
                    if worker.conn not in live:
                        continue  # already handled through its other handle
                    answer = self._receive(worker)
                    if answer is None:  # the process died (possibly after its last answer)
                        del live[worker.conn]
                        lost = self._bury(worker)
                        if lost is not None:
                            yield lost
                        if pending:
                            worker = self._start()
                            live[worker.conn] = worker
                            self._give(worker, pending)
                        continue
                    if answer == _READY:
                        continue
                    self._stall.record(time.monotonic() - worker.since)
                    yield answer
                    if pending and _resident(worker.process.pid) > memory_limit(self._workers):
                        # Recycled: a strategy that leaks would otherwise grow the worker without bound.
                        self._stop(worker)
                        del live[worker.conn]
                        self.recycled += 1
                        worker = self._start()
                        live[worker.conn] = worker
                        self._give(worker, pending)
                    elif pending:
                        self._give(worker, pending)
                    else:
                        self._stop(worker)
                        del live[worker.conn]
        finally:
            for worker in live.values():
                self._kill(worker)

    # ------------------------------------------------------------------ one worker

    def _start(self) -> _Worker:
        ours, theirs = self._context.Pipe(duplex=True)
        # The worker closes its copy of our end: when this process is gone (or drops the worker before
        # knowing it, as an interrupt during its start does), the worker reads the end of the pipe and exits.
        process = self._context.Process(
            target=_serve, args=(theirs, self._handle, ours), daemon=True, name="korvel-sweep-worker"
        )
        process.start()
        theirs.close()  # so that the worker's death reads as the end of the pipe
        return _Worker(process, ours)

    def _give(self, worker: _Worker, pending: Queue) -> None:
        task = pending.popleft()
        data = pickle.dumps(task, protocol=pickle.HIGHEST_PROTOCOL)
        worker.task = task
        worker.since = time.monotonic()
        self.traffic.tasks += 1
        self.traffic.sent += len(data)
        try:
            worker.conn.send_bytes(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # it died: its sentinel tells, and the task is reported

    def _receive(self, worker: _Worker) -> Any:
        """The worker's next message, or None when it is gone."""
        try:
            data = worker.conn.recv_bytes()
        except (EOFError, ConnectionResetError, OSError):
            return None
        message = pickle.loads(data)
        if isinstance(message, tuple) and message and message[0] == "error":
            raise RuntimeError(f"a sweep worker process could not start: {message[1]}")
        if message == _READY:
            worker.ready = True
            return _READY
        self.traffic.received += len(data)
        self.traffic.per_answer.append(len(data))
        worker.task = None
        return message

    def _bury(self, worker: _Worker) -> tuple[int, Outcome] | None:
        worker.process.join(_JOIN_SECONDS)
        worker.conn.close()
        code = worker.process.exitcode
        if not worker.ready:
            raise RuntimeError(f"a sweep worker process died while starting ({_exit_text(code)})")
        if worker.task is None:
            return None
        position = worker.task[0]
        return position, Failed(
            WORKER_DIED, f"the worker process died while running this combination ({_exit_text(code)})", ""
        )

    def _stop(self, worker: _Worker) -> None:
        try:
            worker.conn.send_bytes(pickle.dumps(None))
        except OSError:
            pass
        worker.process.join(_JOIN_SECONDS)
        self._kill(worker)

    @staticmethod
    def _kill(worker: _Worker) -> None:
        process = worker.process
        if process.is_alive():
            process.terminate()
            process.join(_JOIN_SECONDS)
        if process.is_alive():
            process.kill()
            process.join()
        worker.conn.close()


#: A worker whose resident memory passes this share of the machine's memory divided among the workers is
#: replaced after its answer (None: the share is taken from the machine).
MEMORY_LIMIT: int | None = None
MEMORY_SHARE = 0.8


def memory_limit(workers: int) -> float:
    if MEMORY_LIMIT is not None:
        return MEMORY_LIMIT
    try:
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return math.inf
    return MEMORY_SHARE * total / max(1, workers)


def _resident(pid: int | None) -> int:
    """A process's resident memory in bytes (0 where it cannot be read)."""
    try:
        with open(f"/proc/{pid}/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return 0


def _exit_text(code: int | None) -> str:
    if code is None:
        return "still running"
    if code < 0:
        try:
            return f"killed by signal {-code}, {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit code {code}"


def _serve(
    conn: multiprocessing.connection.Connection,
    handle: Handle,
    parent_end: multiprocessing.connection.Connection | None = None,
) -> None:
    """A worker's loop: attach the market once, then run tasks until told to stop."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if parent_end is not None:
        parent_end.close()
    # What a forked worker inherited stays out of its garbage collector: a full collection would write
    # to every inherited object's header and so copy the parent's pages into this process.
    gc.freeze()
    try:
        market, job = attach(handle)
    except Exception as exc:
        conn.send_bytes(pickle.dumps(("error", f"{type(exc).__name__}: {exc}")))
        return
    conn.send_bytes(pickle.dumps(_READY))
    while True:
        try:
            data = conn.recv_bytes()
        except EOFError:
            return  # the sweep is gone
        task = pickle.loads(data)
        if task is None:
            return
        position, params = task
        outcome = run_task(job, market, params)
        try:
            answer = pickle.dumps((position, outcome), protocol=pickle.HIGHEST_PROTOCOL)
        except Exception as exc:
            answer = pickle.dumps(
                (position, Failed(type(exc).__name__, f"the result could not be sent back: {exc}", "")),
                protocol=pickle.HIGHEST_PROTOCOL,
            )
        conn.send_bytes(answer)
