"""One backtest: pandas in, a complete `Result` out.

Data flows one way: the market and the weights are checked and converted,
the engine runs on the arrays, its records are copied out under the lock,
and the result builds frames and figures from its own copies.  `simulate`
is the run itself, on weights prepared for the market and checked rules: a
sweep calls it with the weights of a parameter set prepared once.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from typing import Any

import pandas as pd

from korvel import _engine
from korvel._checks import looks_like_prices, looks_like_weights
from korvel._market import Market, MarketView, as_market, check_mapped
from korvel._typing import Float64Array, Int64Array
from korvel._warnings import warn
from korvel.results._result import Result
from korvel.simulation import _alerts, _lots, _money
from korvel.simulation._inputs import Weights
from korvel.simulation._prepared import Prepared
from korvel.simulation._rules import Rules, check_rules, keywords_given, rule_warnings
from korvel.simulation._run import Run


def backtest(
    weights: pd.DataFrame,
    market: Market | pd.DataFrame,
    *,
    trade_at: str = "open",
    rebalance: str | Sequence[Any] | pd.DatetimeIndex | None = None,
    fee: float = 0.0,
    tax: float = 0.0,
    stop_loss: float | None = None,
    take_profit: float | None = None,
    trail_stop: float | None = None,
    trail_activation: float | None = None,
    trail_from: str = "entry",
    touched_exit: bool = False,
    position_limit: float = 1.0,
    max_gross: float = 1.0,
    cash_rate: float | pd.Series = 0.0,
    margin_rate: float | pd.Series | None = None,
    day_count: str = "act/365",
    borrow_fee: float | pd.Series | pd.DataFrame = 0.0,
    borrow_fee_default: float = 0.0,
    borrow_day_count: str = "act/360",
    slippage: float = 0.0,
    band: float = 0.0,
    band_rel: float = 0.0,
    split_at_rebalance: bool = False,
    retain_cost: bool | None = None,
    stop_trading_next_period: bool = True,
    excursion_window: int = 0,
    excursion_step: int = 1,
    capital: float | None = None,
    impact: bool | float | None = None,
    impact_window: int = 20,
    participation: float | None = None,
    participation_on: str = "adv",
    unfilled: str = "carry",
    lot: float | pd.Series | None = None,
    min_trade: float = 0.0,
    fee_min: float = 0.0,
    factor: float | pd.Series | pd.DataFrame | None = None,
    benchmark: pd.Series | Hashable | None = None,
) -> Result:
    """Backtest target weights on a market.

    Parameters
    ----------
    weights : DataFrame
        Index: the dates the weights were decided on (at that date's close);
        columns: instruments of the market; values: target weights as
        fractions of the portfolio (negative = short, NaN = 0).  Rows whose
        absolute sum exceeds `max_gross` (1 by default) are scaled down to it.
    market : Market or DataFrame
        The prices; a DataFrame is taken as the closes (``korvel.Market(df)``).
        Build the Market once to reuse it over many backtests.
    trade_at : "open" or "close"
        The price the trades are made at, on the row after the weight date.
    rebalance : None, offset alias or dates
        None: on every weight date.  An offset alias ("W-FRI", "ME", "QE") or
        a list of dates: on those dates, with the newest weights decided on
        or before them.
    fee, tax : float
        Commission on every trade and tax added on trades that reduce a
        holding, as fractions of the traded value (0.001 = 0.1 %).
    stop_loss, take_profit, trail_stop : float or None
        Exits on a holding's price move since its entry (0.1 = 10 %): a
        long's stop loss at ``close <= entry_price x (1 - stop_loss)``, its
        take profit at ``close >= entry_price x (1 + take_profit)``, a short's
        mirrored.  The trailing stop (see `trail_from`) sits, by default, at
        ``best - trail_stop x entry_price``, `best` the best trading price
        since the entry: eight points of return below the best return for
        0.08, which after a +50 % run is 5.3 % below the best price.  None: off.
    trail_activation : float or None
        Gain from the entry from which the trailing stop applies; None: from
        the entry.
    trail_from : "entry" or "peak"
        "entry" (the default): as above.  "peak": at ``(1 - trail_stop) x``
        the peak, the best close since the entry (the entry row's close
        included when the trade was entered at that row's open), or with
        ``touched_exit=True`` the best high of the rows before the current
        one; a short's at ``(1 + trail_stop) x`` its trough.
    touched_exit : bool
        False: stops are decided on the close, each against its own trade's
        entry price (a close exactly at the level included), and executed at
        the next row's trading price, before that row's rebalance; a signal
        whose trade a rebalance ends first (a flip, a split) dies with it.
        True: decided on high / low / open and executed the same row at the
        stop level (or the open, when it gaps through).
    position_limit : float
        Largest holding, as a fraction of the portfolio, in (0, 1].
    max_gross : float
        The gross exposure (sum of |weight|) a weight row may reach, as a
        multiple of the portfolio value: 2 runs a book of 100 % long and
        100 % short as given.  Rows above it are scaled down to it before the
        run (with a warning); cash may go negative (a margin loan).
    cash_rate : float or Series
        Annual interest on positive cash (short proceeds included): a number
        or annual rates by date (forward-filled).  Each row accrues the rate
        known on the previous row on the previous close's cash, simple over
        the calendar days since (a Friday-to-Monday step accrues three days),
        from the row after the first weight date on.  Also the risk-free rate
        of ``stats()``.  A rate of 1 or more is refused (0.05 is 5 %).
    margin_rate : float, Series or None
        Annual interest on negative cash; None: the cash rate.
    day_count : "act/365" or "act/360"
        The day count of cash and margin interest.
    borrow_fee : float, Series or DataFrame
        Annual fee for borrowing a short's shares: a number, a Series by
        instrument or a DataFrame dates x instruments (the rate known on the
        previous row applies), charged on each row on every short's value at
        the previous close for the calendar days since.
    borrow_fee_default : float
        The fee where `borrow_fee` names no rate (an instrument it leaves
        out, a NaN).
    borrow_day_count : "act/365" or "act/360"
        The day count of the borrow fee (act/360 by default).
    slippage : float
        A fraction of the price paid on every fill: buys fill at
        price x (1 + s), sells at price x (1 - s), stops (from their level)
        and delistings included.  A buy of value V spends V and gets
        V / (price x (1 + s)) shares.  It shows in the fill prices and the
        trade returns (`Result.trades`' `slippage` is what it cost), not as a
        fee.
    band, band_rel : float
        At a rebalance, a holding whose weight (its value at that row's
        trading price over the portfolio value) lies within
        max(band, band_rel x |target|) of its target is not traded; a target
        of 0 always closes and a change of side always trades; a new holding
        trades when its target exceeds the band.  0 and 0: off.
    split_at_rebalance : bool
        False (the default): one trade per holding, from its entry to its
        exit, kept whole when a rebalance resizes it, and its stops measured
        from its entry price.  True: every rebalance that resizes a holding
        ends its trade record and opens a new one, and the holding's stops
        are measured from that rebalance's price (so on a daily book a
        trailing stop rarely fires).  A holding that flips side is a new
        trade either way.
    retain_cost : bool or None
        Deprecated (DeprecationWarning): ``retain_cost=b`` is
        ``split_at_rebalance=not b``.  Given with ``split_at_rebalance=True``
        and disagreeing, a ValueError (an explicit ``split_at_rebalance=False``
        cannot be told from the default: then `retain_cost` decides).
    stop_trading_next_period : bool
        An instrument stopped out is not bought again before the next
        rebalance after the stop.
    excursion_window, excursion_step : int
        Also record every trade's statistics every `excursion_step` rows over
        its first `excursion_window` rows (`Result.trade_profile`).
    capital : float or None
        The portfolio's starting value in the prices' currency.  None (the
        default): a capital of 1.0 with no currency, and the rules that need
        a size in shares (`impact`) are refused.
    impact : None, True or float
        The square-root market-impact model: every fill pays
        ``k x sigma x sqrt(|shares| / ADV)`` of its traded value, sigma the
        standard deviation of the close-to-close returns and ADV the mean
        volume over the `impact_window` rows before the fill (the market
        needs a volume table).  True takes k = 0.6; a number is k.  None:
        off.
    impact_window : int
        Rows before a fill the impact model's estimates are taken over (2
        or more; with fewer rows before a fill, those there are).
    participation : float or None
        The largest fraction of the average daily volume (the mean over
        the `impact_window` rows before the fill) one fill may take (above 1
        allowed).  The rest of the order is carried to the following rows
        at their prices, in shares, until filled or replaced by the next
        weight row (``unfilled="carry"``), or dropped (``"drop"``); the cash
        of an unfilled buy stays cash.  Orders not done are listed in
        `Result.unfilled`.  Stop exits are capped too, and always carried
        until their last share is sold (a new weight row leaves the holding
        to its exit); delisting exits are not capped.  A fill whose cell has
        no volume estimate is made whole (a `KorvelWarning` names them).
        Needs `capital` and a market volume.
    participation_on : "adv" or "row"
        What `participation` is a fraction of; "row" (the fill row's own
        volume) needs ``trade_at="close"``.
    unfilled : "carry" or "drop"
        What becomes of the rest of a capped order (a stop exit's is always
        carried).
    lot : None, float or Series
        Shares per lot (1: whole shares; a Series by instrument, NaN or
        missing: fractional): every target is rounded toward 0 to whole
        lots at the trade row's price (a full exit sells everything), and a
        buy pays its costs from cash so that holdings stay whole.  An
        allocation too small for one lot is a `KorvelWarning`.  Needs
        `capital`.  Lots need unadjusted prices to mean anything: give
        adjusted prices with their `factor`.
    min_trade : float
        Trades smaller than this (in the prices' currency) are skipped,
        closes excepted; with `band`, a trade is skipped when either says so.
    fee_min : float
        The least commission of a fill, in the prices' currency:
        commission = max(fee x value, fee_min).
    factor : None, float, Series or DataFrame
        The adjustment factor of adjusted prices (raw = adjusted / factor),
        by instrument or by date and instrument (missing: 1): the lots are
        counted in raw shares.  With `lot`, `min_trade` or `fee_min` the
        trades of a row that reduce a holding run before those that add to
        one.
    benchmark : Series or instrument label, optional
        Prices of a benchmark (or an instrument of the market) for the plot
        and the beta / alpha / correlation figures.

    Timing: a weight row dated d trades on the first market row after d, at
    that row's `trade_at` price.  No shift is needed::

        weights dated   market rows            traded on
        Mon (close)     Mon  Tue  Wed          Tue, at the open (or close)
        Fri (close)     Fri  Mon               Mon
        Sat             Fri  Mon               Mon

    Returns a `Result`.  Inputs are checked first: every error names the
    argument and the first offending date or instrument.  A run that
    completes but probably not as meant says so with a `KorvelWarning`, each
    kind once: weights scaled down to a gross sum of `max_gross`, a ruin, no trade at all,
    weights on an instrument without a trading price on the trade date
    (such trades are flagged in `Result.trades`), a fee or tax of 5 % or more.
    """
    rules = check_rules(
        **keywords_given(
            trade_at=trade_at,
            fee=fee,
            tax=tax,
            stop_loss=stop_loss,
            take_profit=take_profit,
            trail_stop=trail_stop,
            trail_activation=trail_activation,
            trail_from=trail_from,
            touched_exit=touched_exit,
            position_limit=position_limit,
            max_gross=max_gross,
            cash_rate=cash_rate,
            margin_rate=margin_rate,
            day_count=day_count,
            borrow_fee=borrow_fee,
            borrow_fee_default=borrow_fee_default,
            borrow_day_count=borrow_day_count,
            slippage=slippage,
            band=band,
            band_rel=band_rel,
            split_at_rebalance=split_at_rebalance,
            retain_cost=retain_cost,
            stop_trading_next_period=stop_trading_next_period,
            excursion_window=excursion_window,
            excursion_step=excursion_step,
            capital=capital,
            impact=impact,
            impact_window=impact_window,
            participation=participation,
            participation_on=participation_on,
            unfilled=unfilled,
            lot=lot,
            min_trade=min_trade,
            fee_min=fee_min,
            factor=factor,
        )
    )
    if isinstance(market, pd.DataFrame) and isinstance(weights, pd.DataFrame) and _swapped(market, weights):
        raise ValueError(
            "backtest: the market holds weights and the weights hold prices: the weights come first "
            "(korvel.backtest(weights, market))"
        )
    market_ = as_market(market)
    return Result(simulate(Prepared(weights, market_), CheckedRules.of(rules), rebalance, benchmark, stacklevel=2))


@dataclass(frozen=True, eq=False)
class CheckedRules:
    """The rules of a run as checked, with what the engine takes of them and what they look like mistakes for."""

    rules: Rules
    keywords: dict[str, Any]  # the engine's keywords of the rules, the ledger run's own included
    cost_text: str  # the warning on rates that look like percents ("" for none)

    @classmethod
    def of(cls, rules: Rules) -> CheckedRules:
        return cls(rules, {**rules.engine_kwargs(), **rules.ledger_kwargs()}, "; ".join(rule_warnings(rules)))


def simulate(
    prepared: Prepared,
    checked: CheckedRules,
    rebalance: object,
    benchmark: object,
    stacklevel: int = 1,
    extremes_only: bool = False,
) -> Run:
    """Run the engine on the prepared weights with the checked rules; warn (at `stacklevel`, counted from the
    caller) each surprise of the run once.

    `extremes_only`: the trades' statistics keep only what the run's figures read (each trade's trough, peak
    and return; the others NaN), for a run whose trades table is never built."""
    market, view, rules = prepared.market, prepared.view, checked.rules
    check_mapped(market)
    _check_window(rules.excursion_window, len(view.dates))
    weights, gross_text = prepared.scaled(rules.max_gross)
    schedule = prepared.schedule(rebalance, weights)
    bench = prepared.benchmark(benchmark)
    first_row = prepared.first_row
    keywords = {**checked.keywords, **_money.money_keywords(rules, view, weights.instruments, first_row)}
    if not view.has("open"):
        keywords["trade_at"] = "close"  # close-only data trades at the next close
    size = _size_keywords(rules, view, weights.market_columns)
    done = _engine.run(
        _arrays(view, weights, schedule.resample, rules),
        {**keywords, **size, "extremes_only": extremes_only},
        rules.excursion_window,
        rules.excursion_step,
    )
    run = Run(
        market,
        view,
        weights,
        rules,
        schedule.text,
        schedule.resample,
        {**keywords, **_engine.ENGINE_ONLY},
        done.equity,
        done.records,
        done.operations,
        schedule.applied,
        schedule.due,
        bench,
        done.seconds,
        done.fills,
        done.unfilled,
        size,
    )
    _warn_about(run, prepared, checked, gross_text, rebalance, benchmark, stacklevel + 1)
    return run


def _size_keywords(rules: Any, view: Any, columns: Any) -> dict[str, Any]:
    """The ledger run's keywords for a capital in currency: the fills it records (for the capacity), the
    market's volume and the size rules that read it, and the lots."""
    if rules.capital is None:
        return {}
    out: dict[str, Any] = {"record_fills": True, "capital": rules.capital}
    if rules.lot is not None:
        out["lot_values"] = _lots.lot_values(view, rules, columns)
    if rules.min_trade:
        out["min_trade"] = rules.min_trade / rules.capital
    if rules.fee_min:
        out["fee_min"] = rules.fee_min / rules.capital
    if rules.lot is not None or rules.min_trade or rules.fee_min or rules.participation is not None:
        out["sells_first"] = True
    for name in ("impact", "participation"):
        if getattr(rules, name) is not None and view.volume is None:
            raise ValueError(
                f"{name} needs the market's volume: korvel.Market(close, ..., volume=shares traded per row)"
            )
    if view.volume is not None:  # read by the size rules, and each fill's ADV kept for the capacity
        out.update(volume_values=view.volume, impact_window=rules.impact_window)
    if rules.impact is not None:
        out["impact"] = rules.impact
    if rules.participation is not None:
        out.update(
            participation=rules.participation,
            participation_on_row=rules.participation_on == "row",
            carry_unfilled=rules.unfilled == "carry",
        )
    return out


def _swapped(market: pd.DataFrame, weights: pd.DataFrame) -> bool:
    """Closes given as the weights and weights as the market (as the command line also checks)."""
    return looks_like_weights(market) and looks_like_prices(weights)


def _arrays(view: MarketView, weights: Weights, resample: Int64Array, rules: Rules) -> dict[str, Any]:
    return _engine.engine_arrays(
        trading=view.trading(rules.trade_at),
        close=view.close,
        high=view.high,
        low=view.low,
        open=view.open,
        dates=view.dates,
        labels=view.labels,
        weights=weights.values,
        weight_dates=weights.engine_dates,
        weight_labels=weights.engine_labels,
        rebalance_dates=resample,
        delisting=view.delisting_rows[weights.market_columns],
    )


def closing_positions(run: Run) -> Float64Array:
    """Each holding's value over the portfolio value at every close (market rows x weight columns): the
    run once more, its ledger keeping them (the engine is deterministic: the same run)."""
    keywords = {**run.engine_keywords, **run.size_keywords, "record_positions": True}
    for name in _engine.ENGINE_ONLY:
        keywords.pop(name, None)
    done = _engine.run(
        _arrays(run.view, run.weights, run.resample, run.rules),
        keywords,
        run.rules.excursion_window,
        run.rules.excursion_step,
    )
    if done.positions is None:
        raise RuntimeError("the ledger run kept no positions")
    return done.positions


def _check_window(window: int, rows: int) -> None:
    """Refuse an excursion window longer than the market: no trade can have more rows, and each
    trade's statistics would be sized by the window (48 bytes per offset per trade)."""
    if window > rows:
        raise ValueError(
            f"excursion_window={window} is longer than the market ({rows} rows): no trade can have more rows; "
            f"give at most {rows}"
        )


def _warn_about(
    run: Run,
    prepared: Prepared,
    checked: CheckedRules,
    gross_text: str | None,
    rebalance: object,
    benchmark: object,
    stacklevel: int,
) -> None:
    """Each surprise of the run once, as a KorvelWarning (`stacklevel` counted from the caller)."""
    rules = run.rules
    said = {
        "cost": checked.cost_text,
        "timezone": prepared.timezone_text,
        "gross": gross_text,
        "limit": prepared.capped_text(rules.max_gross, rules.position_limit),
        "ruin": _alerts.ruined(run.view, run.equity),
        "no_price": prepared.unpriced_text(rules.max_gross, rebalance, rules.trade_at),
        "benchmark": prepared.benchmark_text(benchmark),
        "impact": _alerts.unestimated_impact(run.records, run.view, rules),
        "lot": _lots.below_one_lot(run),
        "participation": _alerts.uncapped_fills(run),
    }
    for kind, text in said.items():
        if text:
            warn(kind, text, stacklevel=stacklevel + 1)
    if len(run.records) == 0:
        warn(
            "no_trade",
            _alerts.no_trade(run.weights, run.view, run.applied, run.first_row),
            stacklevel=stacklevel + 1,
        )
