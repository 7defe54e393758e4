"""The trading rules of a backtest: checked once, named as a quant names them, mapped onto the engine's.

The layer's defaults are what a first backtest expects (no costs, no stops);
the engine's own defaults stay as they are and are never relied upon: every
rule is passed to it explicitly.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import asdict, dataclass
from typing import Any

__all__ = ["RULES", "Rules", "check_rules"]

#: Every keyword of `korvel.backtest` after `weights` and `market`; a sweep
#: sends grid keys named here to the backtest and the others to the strategy.
RULES = frozenset({
    "trade_at", "rebalance", "fee", "tax", "stop_loss", "take_profit", "trail_stop", "trail_activation",
    "touched_exit", "position_limit", "retain_cost", "stop_trading_next_period", "excursion_window",
    "excursion_step", "benchmark",
})

TRADE_AT = ("open", "close")
INF = math.inf


@dataclass(frozen=True)
class Rules:
    """The engine rules of one run, as checked (None: the rule is off)."""

    trade_at: str = "open"
    fee: float = 0.0
    tax: float = 0.0
    stop_loss: float | None = None
    take_profit: float | None = None
    trail_stop: float | None = None
    trail_activation: float | None = None
    touched_exit: bool = False
    position_limit: float = 1.0
    retain_cost: bool = False
    stop_trading_next_period: bool = True
    excursion_window: int = 0
    excursion_step: int = 1

    @property
    def stops(self) -> bool:
        """Whether any exit rule besides the rebalance can close a holding."""
        return any(v is not None for v in (self.stop_loss, self.take_profit, self.trail_stop))

    def engine_kwargs(self) -> dict[str, Any]:
        """The rule arguments of ``portsim.backtest_``, every one of them explicit."""
        return {
            "fee_ratio": self.fee,
            "tax_ratio": self.tax,
            # Off is infinitely far: the engine's own stop-loss default of 1.0
            # would still stop a short whose price doubles.
            "stop_loss": INF if self.stop_loss is None else self.stop_loss,
            "take_profit": INF if self.take_profit is None else self.take_profit,
            "trail_stop": INF if self.trail_stop is None else self.trail_stop,
            # 0 arms the trailing stop from the entry.
            "trail_stop_activation": 0.0 if self.trail_activation is None else self.trail_activation,
            "touched_exit": self.touched_exit,
            "position_limit": self.position_limit,
            "retain_cost_when_rebalance": self.retain_cost,
            "stop_trading_next_period": self.stop_trading_next_period,
            "excursion_window": self.excursion_window,
            "excursion_window_step": self.excursion_step,
            "periodically_rebalance": True,
        }

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


def check_rules(*, trade_at: str = "open", fee: float = 0.0, tax: float = 0.0, stop_loss: float | None = None,
                take_profit: float | None = None, trail_stop: float | None = None,
                trail_activation: float | None = None, touched_exit: bool = False, position_limit: float = 1.0,
                retain_cost: bool = False, stop_trading_next_period: bool = True, excursion_window: int = 0,
                excursion_step: int = 1) -> Rules:
    """Check every rule; raise TypeError / ValueError naming the rule."""
    if not isinstance(trade_at, str) or trade_at not in TRADE_AT:
        raise ValueError(f"trade_at must be 'open' or 'close', not {trade_at!r}")
    fee_ = _rate(fee, "fee")
    tax_ = _rate(tax, "tax")
    stop_loss_ = _fraction(stop_loss, "stop_loss", "a 10% loss")
    take_profit_ = None if take_profit is None else _positive(take_profit, "take_profit")
    trail_stop_ = _fraction(trail_stop, "trail_stop", "a stop 10% below the best price since the entry")
    trail_activation_ = None
    if trail_activation is not None:
        if trail_stop is None:
            raise ValueError("trail_activation needs a trail_stop")
        trail_activation_ = _number(trail_activation, "trail_activation")
        if trail_activation_ < 0:
            raise ValueError(f"trail_activation must be 0 or more (a gain such as 0.05 for +5%), "
                             f"not {trail_activation!r}")
    limit = _number(position_limit, "position_limit")
    if not 0 < limit <= 1:
        raise ValueError(f"position_limit must be in (0, 1] (a fraction of the portfolio), not {position_limit!r}")
    window = _integer(excursion_window, "excursion_window", 0)
    step = _integer(excursion_step, "excursion_step", 1)
    return Rules(trade_at, fee_, tax_, stop_loss_, take_profit_, trail_stop_, trail_activation_,
                 _flag(touched_exit, "touched_exit"), limit, _flag(retain_cost, "retain_cost"),
                 _flag(stop_trading_next_period, "stop_trading_next_period"), window, step)


def _number(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if math.isnan(number):
        raise ValueError(f"{name} must be a number, not NaN")
    return number


def _rate(value: object, name: str) -> float:
    rate = _number(value, name)
    if not 0 <= rate < 1:
        raise ValueError(f"{name} must be in [0, 1) (a fraction of the traded value: 0.001 is 0.1%), "
                         f"not {value!r}")
    return rate


def _positive(value: object, name: str) -> float:
    number = _number(value, name)
    if not number > 0:
        raise ValueError(f"{name} must be above 0 (None turns it off), not {value!r}")
    return number


def _fraction(value: object, name: str, example: str) -> float | None:
    if value is None:
        return None
    number = _positive(value, name)
    if number > 1:
        hint = f"; did you mean {number / 100:g}?" if number <= 100 else ""
        raise ValueError(f"{name} is a fraction: 0.1 means {example}; {value!r} is more than 100%{hint}")
    return number


def _flag(value: object, name: str) -> bool:
    if not isinstance(value, bool) and type(value).__name__ != "bool_":
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return bool(value)


def _integer(value: object, name: str, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {value!r}")
    number = int(value)
    if number < least or number > 2**31 - 1:
        raise ValueError(f"{name} must be an integer from {least} to 2**31 - 1, not {value!r}")
    return number
