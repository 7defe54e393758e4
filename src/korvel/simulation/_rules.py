"""The trading rules of a backtest: one table, from which everything about a rule is derived.

Each row of `TABLE` is one keyword of `korvel.backtest` after `weights` and
`market`: its default, its check, the engine keyword it becomes (if any), and
the words that describe it.  `korvel.RULES`, `Rules`, `check_rules`, the
engine's keywords, the command line's options and the README's rule table
all come from it.

The layer's defaults are what a first backtest expects (no costs, no stops);
the engine's own defaults stay as they are and are never relied upon: every
rule is passed to it explicitly.
"""

from __future__ import annotations

import argparse
import math
import numbers
import warnings
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from korvel.simulation._rates import DAY_COUNTS, annual_rate, day_basis

INF = math.inf
TRADE_AT = ("open", "close")
TRAIL_FROM = ("entry", "peak")


# --------------------------------------------------------------------------- checks of one value


def _number(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:
        digits = len(str(abs(int(value)))) if isinstance(value, numbers.Integral) else 0
        raise ValueError(f"{name} is too large for a float ({digits} digits)") from None
    if math.isnan(number):
        raise ValueError(f"{name} must be a number, not NaN")
    return number


def _rate(value: object, name: str) -> float:
    rate = _number(value, name)
    if not 0 <= rate < 1:
        raise ValueError(f"{name} must be in [0, 1) (a fraction of the traded value: 0.001 is 0.1%), not {value!r}")
    return rate


def _positive(value: object, name: str) -> float:
    number = _number(value, name)
    if not number > 0:
        raise ValueError(f"{name} must be above 0 (None turns it off), not {value!r}")
    return number


def _optional_positive(value: object, name: str) -> float | None:
    return None if value is None else _positive(value, name)


def _fraction(example: str) -> Callable[[object, str], float | None]:
    def check(value: object, name: str) -> float | None:
        if value is None:
            return None
        number = _positive(value, name)
        if number > 1:
            hint = f"; did you mean {number / 100:g}?" if number <= 100 else ""
            raise ValueError(f"{name} is a fraction: 0.1 means {example}; {value!r} is more than 100%{hint}")
        return number

    return check


def _activation(value: object, name: str) -> float | None:
    if value is None:
        return None
    number = _number(value, name)
    if number < 0:
        raise ValueError(f"{name} must be 0 or more (a gain such as 0.05 for +5%), not {value!r}")
    return number


def _limit(value: object, name: str) -> float:
    limit = _number(value, name)
    if not 0 < limit <= 1:
        raise ValueError(f"{name} must be in (0, 1] (a fraction of the portfolio), not {value!r}")
    return limit


def _flag(value: object, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return bool(value)


def _integer(least: int) -> Callable[[object, str], int]:
    def check(value: object, name: str) -> int:
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{name} must be an integer, not {value!r}")
        number = int(value)
        if number < least or number > 2**31 - 1:
            raise ValueError(f"{name} must be an integer from {least} to 2**31 - 1, not {value!r}")
        return number

    return check


def _capital(value: object, name: str) -> float | None:
    if value is None:
        return None
    number = _positive(value, name)
    if number == INF:
        raise ValueError(f"{name} must be finite (the portfolio's starting value in the prices' currency), not inf")
    return number


#: The square-root impact model's coefficient taken by ``impact=True`` (the value of bt's SqrtCostModel).
IMPACT_K = 0.6


def _impact(value: object, name: str) -> float | None:
    if value is None or value is False:
        return None
    if value is True:
        return IMPACT_K
    number = _positive(value, name)
    if number == INF:
        raise ValueError(f"{name} must be finite (the coefficient k of the square-root model), not inf")
    return number


def _currency(value: object, name: str) -> float:
    number = _number(value, name)
    if not 0 <= number < INF:
        raise ValueError(f"{name} must be 0 or more and finite (an amount in the prices' currency), not {value!r}")
    return number


def _by_instrument(value: object, name: str, *, tables: bool) -> Any:
    """A positive number, or a Series by instrument (or, with `tables`, a DataFrame of dates x instruments) of
    positive numbers or NaN; checked against the market's instruments when the run starts."""
    import pandas as pd

    if value is None:
        return None
    kinds = (pd.Series, pd.DataFrame) if tables else (pd.Series,)
    if isinstance(value, kinds):
        values = value.to_numpy(dtype=np.float64, na_value=np.nan)
        bad = ~np.isnan(values) & ~((values > 0) & (values < INF))
        if bad.any():
            first = values[bad].ravel()[0]
            raise ValueError(f"{name} must hold positive finite numbers (NaN: none), not {first!r}")
        return value
    return _positive(value, name)


def _lot(value: object, name: str) -> Any:
    return _by_instrument(value, name, tables=False)


def _factor(value: object, name: str) -> Any:
    return _by_instrument(value, name, tables=True)


def _optional_flag(value: object, name: str) -> bool | None:
    return None if value is None else _flag(value, name)


def _trade_at(value: object, name: str) -> str:
    if not isinstance(value, str) or value not in TRADE_AT:
        raise ValueError(f"{name} must be 'open' or 'close', not {value!r}")
    return value


def _trail_from(value: object, name: str) -> str:
    if not isinstance(value, str) or value not in TRAIL_FROM:
        raise ValueError(f"{name} must be 'entry' or 'peak', not {value!r}")
    return value


PARTICIPATION_ON = ("adv", "row")
UNFILLED = ("carry", "drop")


def _one_of(words: tuple[str, ...]) -> Callable[[object, str], str]:
    def check(value: object, name: str) -> str:
        if not isinstance(value, str) or value not in words:
            raise ValueError(f"{name} must be {' or '.join(map(repr, words))}, not {value!r}")
        return value

    return check


def _participation(value: object, name: str) -> float | None:
    if value is None:
        return None
    number = _positive(value, name)
    if number == INF:
        raise ValueError(f"{name} must be finite (a fraction of the volume, 0.1 for 10%), not inf")
    return number


def _max_gross(value: object, name: str) -> float:
    number = _number(value, name)
    if not 0 < number < INF:
        raise ValueError(
            f"{name} must be a positive finite number (the gross exposure as a multiple of the portfolio: 2 for "
            f"100% long and 100% short), not {value!r}"
        )
    return number


def _price_fraction(value: object, name: str) -> float:
    number = _number(value, name)
    if not 0 <= number < 1:
        raise ValueError(f"{name} must be in [0, 1) (a fraction of the price: 0.0005 is 5 basis points), not {value!r}")
    return number


def _band(value: object, name: str) -> float:
    number = _number(value, name)
    if not 0 <= number < 1:
        raise ValueError(f"{name} must be in [0, 1) (a fraction: 0.02 is 2 points of weight), not {value!r}")
    return number


def _annual(value: object, name: str) -> Any:
    """An annual rate: a number (checked now) or a Series of annual rates by date (checked against the run's
    dates, when its rates per row are worked out)."""
    if isinstance(value, pd.Series):
        return value
    return annual_rate(value, name)


def _optional_annual(value: object, name: str) -> Any:
    return None if value is None else _annual(value, name)


def _borrow_fee(value: object, name: str) -> Any:
    """A number, a Series by instrument or a DataFrame dates x instruments (checked against the market)."""
    if isinstance(value, (pd.Series, pd.DataFrame)):
        return value
    return annual_rate(value, name)


def _day_count(value: object, name: str) -> str:
    day_basis(value, name)
    return str(value)


def _same(value: Any) -> Any:
    return value


def _off_is_inf(value: float | None) -> float:
    # Off is infinitely far: the engine's own stop-loss default of 1.0 would
    # still stop a short whose price doubles.
    return INF if value is None else value


def _armed_from_entry(value: float | None) -> float:
    return 0.0 if value is None else value  # 0 arms the trailing stop from the entry


def _negate(value: bool) -> bool:
    return not value


# --------------------------------------------------------------------------- the table


@dataclass(frozen=True)
class Rule:
    """One keyword of `korvel.backtest`."""

    name: str
    default: Any
    #: (value, name) -> the checked value; None for rules checked against the market (rebalance, benchmark).
    check: Callable[[Any, str], Any] | None
    engine: str | None  # the engine keyword, None where the layer acts on the rule itself
    checked: str  # what the check accepts, in words
    meaning: str
    to_engine: Callable[[Any], Any] = _same
    #: The command line: "" for no option, else the option's name ("--" + the name with dashes by default).
    option: str | None = None
    #: A value from which a run warns that it is probably a mistake (None: never).
    warn_from: float | None = None
    #: A deprecated rule: the rule that replaces it (its value, mapped by `to_replacement`, is that rule's).
    replaced_by: str | None = None
    to_replacement: Callable[[Any], Any] = _same
    #: The words the rule takes, for a rule that takes one of a few (the command line offers them).
    choices: tuple[str, ...] | None = None
    #: The engine keyword is the ledger run's own (`backtest_ledger` alone takes it, `backtest_` does not).
    ledger: bool = False

    @property
    def flag(self) -> bool:
        return self.check is _flag


TABLE: tuple[Rule, ...] = (
    Rule(
        "trade_at",
        "open",
        _trade_at,
        None,
        "'open' or 'close'",
        "the price trades are made at, on the row after the weight date (close-only data: the next close); "
        "with 'open' that row's close tests the stops after the trades",
        choices=TRADE_AT,
    ),
    Rule(
        "rebalance",
        None,
        None,
        None,
        "None, an offset alias or dates",
        "None: on every weight date; an alias ('W-FRI', 'ME', 'QE'; or daily, weekly, monthly, quarterly) or "
        "dates: on those dates, with the newest "
        "weights decided on or before them",
    ),
    Rule(
        "fee",
        0.0,
        _rate,
        "fee_ratio",
        "in [0, 1)",
        "commission on every trade, a fraction of the traded value",
        warn_from=0.05,
    ),
    Rule("tax", 0.0, _rate, "tax_ratio", "in [0, 1)", "tax added on trades that reduce a holding", warn_from=0.05),
    Rule(
        "stop_loss",
        None,
        _fraction("a 10% loss"),
        "stop_loss",
        'None (off) or in (0, 1]; 10 is refused: "did you mean 0.1?"',
        "loss since the entry that closes a holding",
        _off_is_inf,
    ),
    Rule(
        "take_profit",
        None,
        _optional_positive,
        "take_profit",
        "None (off) or > 0",
        "gain since the entry that closes a holding",
        _off_is_inf,
    ),
    Rule(
        "trail_stop",
        None,
        _fraction("a stop 10% below the best price since the entry"),
        "trail_stop",
        "None (off) or in (0, 1]",
        "trailing stop: with trail_from='entry' at the best trading price since the entry less trail_stop x the "
        "entry price (0.08: eight points of return below the best return); with 'peak' at (1 - trail_stop) x the "
        "peak (a short's trough x (1 + trail_stop))",
        _off_is_inf,
    ),
    Rule(
        "trail_activation",
        None,
        _activation,
        "trail_stop_activation",
        "None (armed from the entry) or >= 0; needs trail_stop",
        "gain from which the trailing stop applies",
        _armed_from_entry,
    ),
    Rule(
        "trail_from",
        "entry",
        _trail_from,
        "trail_from",
        "'entry' or 'peak'",
        "what trail_stop trails: 'entry', the best trading price (opens with trade_at='open') in points of the "
        "entry price; 'peak', the best close since the entry (its entry row's close included when entered at the "
        "open), or with touched_exit the best high of the rows before (a short: the trough, lows)",
        choices=TRAIL_FROM,
        ledger=True,
    ),
    Rule(
        "touched_exit",
        False,
        _flag,
        "touched_exit",
        "True or False",
        "False: stops decided on the close against the trade's own entry price, executed at the next row's "
        "trading price before its rebalance; True: on high / low / open, the same row",
    ),
    Rule("position_limit", 1.0, _limit, "position_limit", "in (0, 1]", "largest holding, a fraction of the portfolio"),
    Rule(
        "max_gross",
        1.0,
        _max_gross,
        "max_gross",
        "a number > 0",
        "the gross exposure a weight row may reach, a multiple of the portfolio value (rows above it are scaled "
        "down to it before the run); cash below 0 is a margin loan",
        ledger=True,
    ),
    Rule(
        "cash_rate",
        0.0,
        _annual,
        None,
        'an annual rate below 1 in size (5 is refused: "did you mean 0.05?") or a Series of them by date',
        "interest on positive cash (short proceeds included), the rate known on the previous row for the "
        "calendar days since it; also stats()'s risk-free rate",
    ),
    Rule(
        "margin_rate",
        None,
        _optional_annual,
        None,
        "None (the cash rate) or as cash_rate",
        "interest on negative cash (a margin loan)",
    ),
    Rule(
        "day_count",
        "act/365",
        _day_count,
        None,
        "'act/365' or 'act/360'",
        "the day count of cash and margin interest",
        choices=tuple(DAY_COUNTS),
    ),
    Rule(
        "borrow_fee",
        0.0,
        _borrow_fee,
        None,
        "an annual rate, a Series by instrument or a DataFrame dates x instruments",
        "the fee for borrowing a short's shares, on its value at the previous close for the calendar days since",
    ),
    Rule(
        "borrow_fee_default",
        0.0,
        _annual,
        None,
        "an annual rate",
        "the borrow fee of the instruments (and dates) borrow_fee leaves out or gives as NaN",
    ),
    Rule(
        "borrow_day_count",
        "act/360",
        _day_count,
        None,
        "'act/365' or 'act/360'",
        "the day count of the borrow fee",
        choices=tuple(DAY_COUNTS),
    ),
    Rule(
        "slippage",
        0.0,
        _price_fraction,
        "slippage",
        "in [0, 1)",
        "a fraction of the price paid on every fill (buys at price x (1 + s), sells at price x (1 - s)), stops "
        "and delistings included; shown in the fill prices and trade returns, not as a fee",
        warn_from=0.05,
        ledger=True,
    ),
    Rule(
        "band",
        0.0,
        _band,
        "band",
        "in [0, 1)",
        "at a rebalance, a holding within max(band, band_rel x the size of its target) of its target weight is "
        "not traded (a target of 0 always closes, a change of side always trades)",
        ledger=True,
    ),
    Rule(
        "band_rel",
        0.0,
        _band,
        "band_rel",
        "in [0, 1)",
        "the band as a fraction of the target weight",
        ledger=True,
    ),
    Rule(
        "split_at_rebalance",
        False,
        _flag,
        "retain_cost_when_rebalance",
        "True or False",
        "False: one trade per holding, kept across rebalances, its stops measured from its entry; True: a new "
        "trade record at every rebalance that resizes a holding, and its stops measured from that rebalance",
        _negate,
    ),
    Rule(
        "retain_cost",
        None,
        _optional_flag,
        None,
        "None, True or False; deprecated",
        "deprecated: `retain_cost=b` is `split_at_rebalance=not b`",
        option="",
        replaced_by="split_at_rebalance",
        to_replacement=_negate,
    ),
    Rule(
        "stop_trading_next_period",
        True,
        _flag,
        "stop_trading_next_period",
        "True or False",
        "an instrument stopped out is not bought back at the next rebalance",
        option="--no-stop-next-period",
    ),
    Rule(
        "excursion_window",
        0,
        _integer(0),
        "excursion_window",
        "an integer >= 0",
        "statistics of every trade every excursion_step rows over its first excursion_window rows",
    ),
    Rule(
        "excursion_step",
        1,
        _integer(1),
        "excursion_window_step",
        "an integer >= 1",
        "spacing of those statistics, in rows",
    ),
    Rule(
        "capital",
        None,
        _capital,
        None,
        "None or > 0",
        "the portfolio's starting value in the prices' currency; None: a unit capital, and the rules that "
        "need one (impact, participation, lot, min_trade, fee_min) are refused",
    ),
    Rule(
        "impact",
        None,
        _impact,
        None,
        "None (off), True (k = 0.6) or a number k > 0; needs capital and a market volume",
        "market impact per fill, a fraction of the traded value: k x sigma x sqrt(shares / ADV) over the "
        "impact_window rows before the fill",
    ),
    Rule(
        "impact_window",
        20,
        _integer(2),
        None,
        "an integer >= 2",
        "rows before a fill over which the impact model's volatility and mean volume are taken",
    ),
    Rule(
        "participation",
        None,
        _participation,
        None,
        "None (off) or > 0 (above 1 allowed); needs capital and a market volume",
        "the largest fraction of ADV (or of the row's volume) one fill may take, stop exits included (delistings "
        "not); the rest of the order is carried or dropped (`unfilled`); a fill without a volume estimate is "
        "made whole (a KorvelWarning)",
    ),
    Rule(
        "participation_on",
        "adv",
        _one_of(PARTICIPATION_ON),
        None,
        "'adv' or 'row' (with trade_at='close')",
        "what participation is a fraction of: the mean volume over the impact_window rows before the fill, or "
        "the fill row's own volume (trading at its close)",
        choices=PARTICIPATION_ON,
    ),
    Rule(
        "unfilled",
        "carry",
        _one_of(UNFILLED),
        None,
        "'carry' or 'drop'",
        "the rest of a capped order: carried to the following rows at their prices (in shares) until filled or "
        "replaced by the next weight row, or dropped; listed in Result.unfilled. A stop exit is always carried "
        "until its last share is sold (a dropped one would leave a holding taken for closed)",
        choices=UNFILLED,
    ),
    Rule(
        "lot",
        None,
        _lot,
        None,
        "None, a number > 0 or a Series by instrument; needs capital",
        "shares per lot (1: whole shares): targets rounded toward 0 to whole lots, a full exit sells everything; "
        "None: fractional shares",
    ),
    Rule(
        "min_trade",
        0.0,
        _currency,
        None,
        ">= 0, in the prices' currency; needs capital",
        "trades smaller than this are skipped (a close always trades)",
    ),
    Rule(
        "fee_min",
        0.0,
        _currency,
        None,
        ">= 0, in the prices' currency; needs capital",
        "the least commission of a fill: commission = max(fee x value, fee_min)",
    ),
    Rule(
        "factor",
        None,
        _factor,
        None,
        "None, a number > 0, a Series by instrument or a DataFrame of dates x instruments",
        "adjustment factor of adjusted prices (raw = adjusted / factor), for the lots' shares",
        option="",
    ),
    Rule(
        "benchmark",
        None,
        None,
        None,
        "None, a Series of prices or an instrument of the market",
        "prices for the plot and the beta / alpha / correlation figures",
        option="",
    ),
)

BY_NAME: dict[str, Rule] = {rule.name: rule for rule in TABLE}

#: Every keyword of `korvel.backtest` after `weights` and `market`; a sweep
#: sends grid keys named here to the backtest and the others to the strategy.
RULES = frozenset(BY_NAME)

#: The rules whose values are checked alone (`rebalance` and `benchmark` are checked against the market);
#: a deprecated rule is checked, then handed to the rule that replaces it.
CHECKED = tuple(rule.name for rule in TABLE if rule.check is not None and rule.replaced_by is None)
DEPRECATED = tuple(rule.name for rule in TABLE if rule.replaced_by is not None)


def _scalar(value: object) -> bool:
    """Not a pandas table (a rule given by instrument or by date)."""
    return not type(value).__module__.startswith("pandas")


class Rules:
    """The rules of one run, as checked (None: the rule is off); one attribute per checked rule."""

    __slots__ = CHECKED

    if TYPE_CHECKING:

        def __getattr__(self, name: str) -> Any: ...

    def __init__(self, values: Mapping[str, Any]) -> None:
        for name in CHECKED:
            object.__setattr__(self, name, values[name])

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Rules are read-only")

    def __reduce__(self) -> tuple[Any, ...]:
        return (Rules, (self.as_dict(),))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Rules) and self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def _key(self) -> tuple[Any, ...]:
        # Rates by date or by instrument compare by their labels and values.
        return tuple((name, _hashable(value)) for name, value in self.as_dict().items())

    def __repr__(self) -> str:
        return "Rules(" + ", ".join(f"{k}={v!r}" for k, v in self.as_dict().items()) + ")"

    @property
    def stops(self) -> bool:
        """Whether any exit rule besides the rebalance can close a holding."""
        return any(getattr(self, name) is not None for name in ("stop_loss", "take_profit", "trail_stop"))

    def engine_kwargs(self) -> dict[str, Any]:
        """The keywords of `backtest_` of the rules that have one, every one of them explicit."""
        return {r.engine: r.to_engine(getattr(self, r.name)) for r in TABLE if r.engine is not None and not r.ledger}

    def ledger_kwargs(self) -> dict[str, Any]:
        """The ledger run's own keywords: stops that belong to their own trade, in the order of the
        trading day at `trade_at`, and the rules only the ledger run takes."""
        own = {r.engine: r.to_engine(getattr(self, r.name)) for r in TABLE if r.engine is not None and r.ledger}
        return {"own_trade_stops": True, "trade_at": self.trade_at, **own}

    def as_dict(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in CHECKED}


def _hashable(value: Any) -> Any:
    if isinstance(value, pd.Series):
        return ("Series", tuple(value.index), value.to_numpy(dtype=np.float64, na_value=np.nan).tobytes())
    if isinstance(value, pd.DataFrame):
        values = value.to_numpy(dtype=np.float64, na_value=np.nan)
        return ("DataFrame", tuple(value.index), tuple(value.columns), values.tobytes())
    return value


def check_rules(**given: Any) -> Rules:
    """Check every rule given (the others take their defaults); raise TypeError / ValueError naming the rule.

    A deprecated rule given (not None) warns with a DeprecationWarning and sets the rule that replaces it;
    both given with values that disagree is an error.
    """
    unknown = [k for k in given if k not in CHECKED and k not in DEPRECATED]
    if unknown:
        raise TypeError(f"check_rules got an unexpected rule {unknown[0]!r}")
    given = dict(given)
    for name in DEPRECATED:
        _replace(BY_NAME[name], given)
    values: dict[str, Any] = {}
    for name in CHECKED:
        rule = BY_NAME[name]
        if rule.check is not None:
            values[name] = rule.check(given.get(name, rule.default), name)
    if values["trail_activation"] is not None and values["trail_stop"] is None:
        raise ValueError("trail_activation needs a trail_stop")
    for needs in ("lot", "min_trade", "fee_min"):
        value = values[needs]
        if value is not None and not (_scalar(value) and value == 0.0) and values["capital"] is None:
            raise ValueError(
                f"{needs} needs capital (the portfolio's starting value in the prices' currency, e.g. capital=1e6): "
                "shares and amounts in currency mean nothing in a unit capital"
            )
    if values["participation"] is not None and values["capital"] is None:
        raise ValueError(
            "participation needs capital (the portfolio's starting value in the prices' currency, e.g. "
            "capital=1e6): a fill's share of the volume depends on it"
        )
    if values["participation_on"] == "row" and values["trade_at"] != "close":
        raise ValueError(
            "participation_on='row' needs trade_at='close': a fill at the open cannot know its row's volume"
        )
    if values["impact"] is not None and values["capital"] is None:
        raise ValueError(
            "impact needs capital (the portfolio's starting value in the prices' currency, e.g. capital=1e6): "
            "an order's size in shares, and so its impact, depends on it"
        )
    return Rules(values)


def defaults_text() -> str:
    """The rules' defaults in one line (a checkpoint records them: results under other defaults differ)."""
    return ", ".join(f"{rule.name}={rule.default!r}" for rule in TABLE)


def rule_warnings(rules: Rules) -> list[str]:
    """What the rules' values look like mistakes for (the rules' `warn_from` thresholds), one text each."""
    out = []
    for rule in TABLE:
        value = getattr(rules, rule.name, None) if rule.name in CHECKED else None
        if rule.warn_from is not None and value is not None and value >= rule.warn_from:
            out.append(
                f"{rule.name}={value!r} is {value:.0%} ({rule.meaning}); rates are fractions: did you mean "
                f"{value / 100:g} ({value:g}%)? Values from {rule.warn_from:g} on are rarely meant"
            )
    return out


def keywords_given(**keywords: Any) -> dict[str, Any]:
    """The rules of a call of `korvel.backtest`, as given: a rule that a deprecated rule given (not None)
    replaces is left out while at its default, as the default cannot be told from an explicit value there."""
    for name in DEPRECATED:
        new = BY_NAME[name].replaced_by
        if keywords.get(name) is not None and new is not None and keywords.get(new) is BY_NAME[new].default:
            del keywords[new]
    return keywords


def _replace(rule: Rule, given: dict[str, Any]) -> None:
    """Move a deprecated rule's value in `given` onto the rule that replaces it."""
    check, replacement = rule.check, rule.replaced_by
    if check is None or replacement is None:
        raise TypeError(f"{rule.name} is not a deprecated rule with a check")
    value = check(given.pop(rule.name, None), rule.name)
    if value is None:
        return
    new = BY_NAME[replacement]
    new_check = new.check
    if new_check is None:
        raise TypeError(f"{new.name} has no check to take {rule.name}'s value")
    mapped = rule.to_replacement(value)
    warnings.warn(
        f"{rule.name} is deprecated: use {new.name}={mapped!r} ({rule.meaning.removeprefix('deprecated: ')})",
        DeprecationWarning,
        stacklevel=4,
    )
    if new.name in given and new_check(given[new.name], new.name) != mapped:
        raise ValueError(f"{rule.name}={value!r} and {new.name}={given[new.name]!r} disagree: give {new.name} alone")
    given[new.name] = mapped


# --------------------------------------------------------------------------- derived views


def add_rule_options(
    parser: argparse.ArgumentParser, *, defaults: Mapping[str, Any] | None = None, names: tuple[str, ...] | None = None
) -> None:
    """Command-line options for the rules (all with an option, or `names`), with other defaults if given."""
    shown = defaults or {}
    group = parser.add_argument_group("trading rules")
    added: list[str] = []
    for rule in TABLE:
        if rule.option == "" or (names is not None and rule.name not in names):
            continue
        added.append(rule.name)
        option = rule.option or "--" + rule.name.replace("_", "-")
        default = shown.get(rule.name, rule.default)
        if rule.flag:
            action = "store_false" if default else "store_true"
            group.add_argument(option, dest=rule.name, action=action, default=default, help=_flag_help(rule, default))
        elif rule.choices is not None:
            group.add_argument(
                option, dest=rule.name, choices=list(rule.choices), default=default, help=f"{rule.meaning} ({default})"
            )
        else:
            kind: type = int if isinstance(rule.default, int) else (float if rule.check is not None else str)
            group.add_argument(
                option,
                dest=rule.name,
                type=_option_value(kind),
                default=default,
                help=f"{rule.meaning} ({'off' if default is None else default})",
            )
    parser.set_defaults(rule_options=tuple(added))


def _flag_help(rule: Rule, default: bool) -> str:
    """What giving the flag does, then the default it changes (a meaning reads "False: ...; True: ...")."""
    meaning = rule.meaning
    if meaning.startswith("False: ") and "; True: " in meaning:
        off, on = meaning.removeprefix("False: ").split("; True: ", 1)
        return f"{off} (the default is: {on})" if default else f"{on} (the default is: {off})"
    return f"turns off what is on by default: {meaning}" if default else meaning


def _option_value(kind: type) -> Callable[[str], Any]:
    """An option's value as `kind`; a rate written with % gets the fraction it means."""

    def parse(text: str) -> Any:
        if kind is float and text.strip().endswith("%"):
            try:
                fraction = float(text.strip().rstrip("%")) / 100
            except ValueError:
                fraction = None
            hint = f": {text} is {fraction:g}" if fraction is not None else ""
            raise argparse.ArgumentTypeError(f"{text!r}: rates are written as fractions, without %{hint}")
        try:
            return kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not {'an integer' if kind is int else 'a number'}") from None

    parse.__name__ = kind.__name__
    return parse


def rules_from_options(args: argparse.Namespace) -> dict[str, Any]:
    """The rule keywords that `add_rule_options` put on `args`."""
    return {name: getattr(args, name) for name in getattr(args, "rule_options", ())}


def rules_markdown() -> str:
    """The README's rule table."""
    lines = ["| rule | default | checked | meaning | engine keyword |", "|---|---|---|---|---|"]
    for rule in TABLE:
        engine = f"`{rule.engine}`" if rule.engine else "(the layer)"
        if rule.ledger:
            engine += " (`backtest_ledger` alone)"
        if rule.replaced_by is not None:
            engine = f"as `{rule.replaced_by}`"
        lines.append(f"| `{rule.name}` | {rule.default!r} | {rule.checked} | {rule.meaning} | {engine} |")
    return "\n".join(lines)
