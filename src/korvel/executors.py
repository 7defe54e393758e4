"""Executors a sweep can be given besides None, "processes", a Dask client or a concurrent.futures executor.

    from korvel.executors import Processes
    korvel.sweep(strategy, market, grid, executor=Processes(4, multiprocessing.get_context("spawn")))

`Processes(workers, context=None)` is the local pool of `executor="processes"`
with a start method of your choice ("fork", "spawn" or "forkserver").
"""

from korvel.sweeps.backends._processes import Processes

__all__ = ["Processes"]
