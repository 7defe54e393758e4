"""korvel: portfolio backtesting.

    import korvel
    res = korvel.backtest(weights, closes)     # DataFrames: dates x instruments
    print(res.summary())
    sw = korvel.sweep(strategy, closes, grid={"lookback": [60, 120], "stop_loss": [0.05, 0.1]},
                      executor="processes")

The public names are imported on first use, so that ``import korvel.core``
needs NumPy alone.  Besides them, the documented public modules are
`korvel.core` (the native engine), `korvel.synthetic` (seeded markets),
`korvel.validation` (overfitting statistics) and `korvel.executors`.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from korvel._version import __version__ as __version__

#: The public surface: each name and the module that defines it.
PUBLIC = {
    "Market": "korvel._market",
    "backtest": "korvel.simulation._backtest",
    "Result": "korvel.results._result",
    "RULES": "korvel.simulation._rules",
    "sweep": "korvel.sweeps._sweep",
    "grid": "korvel.sweeps._grid",
    "Sweep": "korvel.sweeps._sweep",
    "walk_forward": "korvel.research._walk_forward",
    "WalkForward": "korvel.research._walk_forward",
    "check_lookahead": "korvel.research._lookahead",
    "KorvelWarning": "korvel._warnings",
}

__all__ = [*PUBLIC, "__version__"]

if TYPE_CHECKING:  # the same names for type checkers (a test keeps them in step with PUBLIC)
    from korvel._market import Market as Market
    from korvel._warnings import KorvelWarning as KorvelWarning
    from korvel.research._lookahead import check_lookahead as check_lookahead
    from korvel.research._walk_forward import WalkForward as WalkForward
    from korvel.research._walk_forward import walk_forward as walk_forward
    from korvel.results._result import Result as Result
    from korvel.simulation._backtest import backtest as backtest
    from korvel.simulation._rules import RULES as RULES
    from korvel.sweeps._grid import grid as grid
    from korvel.sweeps._sweep import Sweep as Sweep
    from korvel.sweeps._sweep import sweep as sweep


def __getattr__(name: str) -> Any:
    module = PUBLIC.get(name)
    if module is None:
        raise AttributeError(f"module 'korvel' has no attribute {name!r}")
    try:
        value = getattr(importlib.import_module(module), name)
    except ImportError as exc:
        if exc.name in ("pandas", "numpy"):
            raise ImportError(
                f"korvel.{name} needs {exc.name}: pip install korvel (it depends on pandas >= 2.0)"
            ) from None
        raise
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(PUBLIC))
