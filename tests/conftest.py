import os
import sys
from pathlib import Path

import pytest

# The tests' helpers live in tests/support: importable here and in every
# process a test starts (subprocesses, spawned sweep workers, Dask workers).
SUPPORT = str(Path(__file__).resolve().parent / "support")
if SUPPORT not in sys.path:
    sys.path.insert(0, SUPPORT)
os.environ["PYTHONPATH"] = os.pathsep.join(p for p in (SUPPORT, os.environ.get("PYTHONPATH")) if p)

from backtest_helpers import engine_modules, run_engine, run_reference  # noqa: E402


@pytest.fixture(params=["reference", "engine"])
def backtest(request):
    """Runs one backtest through the reference or through the native engine."""
    if request.param == "engine":
        if engine_modules() is None:
            pytest.skip("native engine not built yet")
        return run_engine
    return run_reference


@pytest.fixture(scope="session")
def cluster():
    """A scheduler and two worker processes of one thread each, on this machine, for the whole session."""
    distributed = pytest.importorskip("distributed")
    import dask

    # One retry of a task whose worker died (then KilledWorker), so that a worker killer is found quickly; the
    # workers allocate as plain processes do (see korvel.sweeps._allocator).
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    # The scheduler's HTTP server on a port of its own: another cluster on the machine may hold 8787.
    with (
        dask.config.set({"distributed.scheduler.allowed-failures": 1, "distributed.nanny.pre-spawn-environ": environ}),
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", host="127.0.0.1"
        ) as local,
        distributed.Client(local) as client,
    ):
        yield client
