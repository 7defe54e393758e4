import pytest

from backtest_helpers import engine_modules, run_engine, run_reference


@pytest.fixture(params=["reference", "engine"])
def backtest(request):
    """Runs one backtest through the reference or through the native engine."""
    if request.param == "engine":
        if engine_modules() is None:
            pytest.skip("native engine not built yet")
        return run_engine
    return run_reference

