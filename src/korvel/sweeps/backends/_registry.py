"""The registry of backends: `backend_for` turns a sweep's `executor` argument into the backend that runs it."""

from __future__ import annotations

import concurrent.futures
import re
import sys

from korvel.sweeps.backends._base import Backend
from korvel.sweeps.backends._dask import CLUSTER_EXTRA, Dask
from korvel.sweeps.backends._futures import Futures
from korvel.sweeps.backends._pool import default_workers
from korvel.sweeps.backends._processes import Processes
from korvel.sweeps.backends._serial import Serial

_ADDRESS = re.compile(r"^[a-z][a-z0-9+.-]*://")


def backend_for(executor: object, workers: object) -> Backend:
    """The backend an `executor` argument names, `workers` checked against it."""
    if isinstance(executor, Backend):  # e.g. Processes(4, multiprocessing.get_context("spawn"))
        if workers is not None:
            raise ValueError(
                "workers is the size of the local pool (executor='processes'); the executor given sets its own"
            )
        return executor
    if executor is None:
        if workers is not None:
            raise ValueError("workers is the size of the local pool: use it with executor='processes'")
        return Serial()
    if isinstance(executor, str) and executor == "processes":
        if workers is None:
            return Processes(default_workers())
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError(f"workers must be a whole number of processes (1 or more), not {workers!r}")
        return Processes(workers)
    if workers is not None:
        raise ValueError(
            "workers is the size of the local pool (executor='processes'); the executor given sets its own"
        )
    if isinstance(executor, str) and _ADDRESS.match(executor):
        try:
            from distributed import Client
        except ImportError:
            raise ImportError(
                f"executor={executor!r} connects to a Dask scheduler, which needs dask.distributed: {CLUSTER_EXTRA}"
            ) from None
        return Dask(Client(executor), owned=True)  # type: ignore[no-untyped-call]
    distributed = sys.modules.get("distributed")
    if distributed is not None and isinstance(executor, distributed.Client):
        if getattr(executor, "asynchronous", False):
            raise ValueError("executor: an asynchronous Dask client cannot run a sweep; use a synchronous one")
        return Dask(executor)
    if isinstance(executor, concurrent.futures.Executor):
        return Futures(executor)
    raise TypeError(
        "executor must be None (serial), 'processes' (the local pool), a Dask client or scheduler "
        f"address ('tcp://host:8786'), or a concurrent.futures.Executor; not {executor!r}"
    )
