"""korvel: portfolio backtesting.

    import korvel
    res = korvel.backtest(weights, closes)     # DataFrames: dates x instruments
    print(res.summary())
    sw = korvel.sweep(strategy, closes, grid={"lookback": [60, 120], "stop_loss": [0.05, 0.1]},
                      executor="processes")

The pandas layer (`Market`, `backtest`, `Result`, `RULES`, `sweep`, `grid`,
`Sweep`) is imported on first use, so that ``import korvel.core`` needs
NumPy alone.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"
__all__ = ["Market", "backtest", "Result", "RULES", "sweep", "grid", "Sweep", "__version__"]

if TYPE_CHECKING:
    from korvel.market import Market
    from korvel.result import Result
    from korvel.rules import RULES
    from korvel.combos import grid
    from korvel.run import backtest
    from korvel.sweeps import Sweep, sweep

# Public name -> the module that defines it.
_LAZY = {"Market": "korvel.market", "backtest": "korvel.run", "Result": "korvel.result", "RULES": "korvel.rules",
         "sweep": "korvel.sweeps", "grid": "korvel.combos", "Sweep": "korvel.sweeps"}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'korvel' has no attribute {name!r}")
    try:
        value = getattr(importlib.import_module(module), name)
    except ImportError as exc:
        if exc.name in ("pandas", "numpy"):
            raise ImportError(f"korvel.{name} needs {exc.name}: pip install korvel (it depends on "
                              f"pandas >= 2.0)") from exc
        raise
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
