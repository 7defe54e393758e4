"""korvel.backtest against direct engine calls, the record lists, the reference engine and plain formulas."""

import inspect
import sys
import threading

import numpy as np
import pandas as pd
import pytest
import reference_engine as ref
from hypothesis import given, settings
from hypothesis import strategies as st
from layer_support import UNPRICED, closes, market_and_weights

import korvel
from korvel import synthetic
from korvel._market import view_of
from korvel.core import excursion, portsim

# The synthetic markets' late listings warn on purpose (see layer_support).
pytestmark = [pytest.mark.filterwarnings(UNPRICED)]


INF = float("inf")


def direct_equity(generated, rows, **engine_rules):
    """The engine on the synthetic arrays themselves, with every rule explicit."""
    args = synthetic.backtest_inputs(generated, rows)
    return portsim.backtest_(**args, **engine_rules)


OFF = dict(stop_loss=INF, take_profit=INF, trail_stop=INF, trail_stop_activation=0.0)


def specified_keywords(keywords):
    """The keywords of `backtest_` among the engine keywords of a run (the ledger run's own left out)."""
    return {k: v for k, v in keywords.items() if k in inspect.signature(portsim.backtest_).parameters}


# Stops decided on the close belong to their own trade in the layer (the ledger
# run's own_trade_stops), not in `backtest_`: the two agree without stops and
# with touched exits, so those are the runs compared here.
@pytest.mark.parametrize(
    "layer_rules, engine_rules",
    [
        ({}, dict(OFF, fee_ratio=0.0, tax_ratio=0.0, retain_cost_when_rebalance=True)),
        (
            dict(
                fee=0.001,
                tax=0.003,
                stop_loss=0.05,
                take_profit=0.2,
                trail_stop=0.08,
                trail_activation=0.02,
                touched_exit=True,
            ),
            dict(
                fee_ratio=0.001,
                tax_ratio=0.003,
                stop_loss=0.05,
                take_profit=0.2,
                trail_stop=0.08,
                trail_stop_activation=0.02,
                touched_exit=True,
                retain_cost_when_rebalance=True,
            ),
        ),
        (
            dict(
                stop_loss=0.04,
                touched_exit=True,
                stop_trading_next_period=False,
                position_limit=0.2,
                excursion_window=10,
                excursion_step=3,
            ),
            dict(
                OFF,
                fee_ratio=0.0,
                tax_ratio=0.0,
                stop_loss=0.04,
                touched_exit=True,
                retain_cost_when_rebalance=True,
                stop_trading_next_period=False,
                position_limit=0.2,
                excursion_window=10,
                excursion_window_step=3,
            ),
        ),
        (
            dict(split_at_rebalance=True, fee=0.002, trail_stop=0.05, touched_exit=True),
            dict(OFF, fee_ratio=0.002, tax_ratio=0.0, trail_stop=0.05, touched_exit=True),
        ),
    ],
)
def test_equity_and_records_are_the_engines(layer_rules, engine_rules):
    generated, rows, market, weights = market_and_weights(delisting_fraction=0.3)
    res = korvel.backtest(weights, market, **layer_rules)
    assert excursion.trades == [] and excursion.trade_positions == []  # the ledger's run leaves no record lists
    # The engine called as specified: its records must be the ledger's trades, field by field.
    equity = direct_equity(generated, rows, **engine_rules)
    first = int(np.searchsorted(generated.price_index, rows.pos_index[0]))
    np.testing.assert_array_equal(res.equity.to_numpy(), equity[first:])
    assert res.equity.iloc[0] == 1.0
    # The trades table is the record lists of that run, in their order.
    trades = res.trades
    assert len(trades) == len(excursion.trades)
    sid, entry, exit_ = (np.array([int(r[k]) for r in excursion.trades]) for k in range(3))
    names = list(rows.pos_columns)
    assert trades["instrument"].tolist() == [names[s] for s in sid]
    dates = pd.DatetimeIndex(generated.price_index.view("M8[ns]"))
    assert (trades["entry_date"] == dates[entry]).all()
    closed = exit_ >= 0
    assert (trades["exit_date"][closed] == dates[exit_[closed]]).all() and trades["exit_date"][~closed].isna().all()
    np.testing.assert_array_equal(trades["weight"], np.array(excursion.trade_positions, dtype=float))
    snapshots = np.array([a[-6:] for a in excursion.excursion])
    cols = ["mae", "mfe", "mfe_before_mae", "max_drawdown", "profit_days", "return"]
    np.testing.assert_array_equal(trades[cols].to_numpy(), snapshots)
    assert (trades["side"] == np.where(trades["weight"] > 0, "long", "short")).all()
    assert (trades["status"] == np.where(closed, "closed", "open")).all()
    # ... and what get_trade_stocks lists for it.
    listed, _ = portsim.get_trade_stocks(
        np.array(names, dtype=object), generated.price_index, layer_rules.get("touched_exit", False)
    )
    assert trades["holding_days"].tolist() == [int(row[6]) for row in listed]
    assert trades["instrument"].tolist() == [row[0] for row in listed]
    assert (trades["entry_date"].to_numpy().astype(np.int64) == [int(row[1]) for row in listed]).all()


def test_trade_profile_is_the_window_snapshots():
    generated, rows, market, weights = market_and_weights()
    res = korvel.backtest(weights, market, excursion_window=7, excursion_step=3)
    profile = res.trade_profile
    direct_equity(generated, rows, **specified_keywords(res.config["engine"]))  # the same run, into the record lists
    stats = [np.asarray(a) for a in excursion.excursion]
    assert set(profile["offset"]) <= {0, 3, 6}
    for trade in (0, len(stats) // 2, len(stats) - 1):
        rows = profile[profile["trade"] == trade]
        groups = stats[trade][:-6].reshape(-1, 6)
        used = groups[groups[:, 4] >= 0]
        np.testing.assert_array_equal(rows.iloc[:, 2:].to_numpy(), used)
        assert rows["offset"].tolist() == [3 * k for k in range(len(used))]
    assert korvel.backtest(weights, market).trade_profile.empty


def test_timing_a_weight_row_trades_on_the_next_market_row():
    # Mon 1 .. Fri 5, Mon 8 .. Wed 10 January 2024: weights on Friday and on the Saturday after.
    prices = np.column_stack([np.arange(10.0, 18.0), np.full(8, 50.0)])
    close = closes(prices, start="2024-01-01")
    opens = close * 0.99
    market = korvel.Market(close, open=opens)
    weights = pd.DataFrame({"S0": [1.0, 0.0], "S1": [0.0, 1.0]}, index=pd.DatetimeIndex(["2024-01-02", "2024-01-06"]))
    res = korvel.backtest(weights, market)
    trades = res.trades
    assert trades["entry_date"].dt.strftime("%a %d").tolist() == ["Wed 03", "Mon 08"]
    assert trades["signal_date"].dt.strftime("%a %d").tolist() == ["Tue 02", "Sat 06"]
    # Held from Wednesday's open to Monday's open.
    assert trades["return"].iloc[0] == pytest.approx(close.iloc[5, 0] * 0.99 / (close.iloc[2, 0] * 0.99) - 1)
    assert res.equity.index[0] == pd.Timestamp("2024-01-02")
    at_close = korvel.backtest(weights, market, trade_at="close").trades
    assert at_close["return"].iloc[0] == pytest.approx(close.iloc[5, 0] / close.iloc[2, 0] - 1)


def test_rebalance_dates_take_the_newest_weights():
    days = pd.bdate_range("2024-01-01", "2024-03-29")
    close = pd.DataFrame({"A": np.linspace(10, 20, len(days)), "B": np.linspace(20, 10, len(days))}, index=days)
    weights = pd.DataFrame({"A": np.tile([1.0, 0.0], len(days))[: len(days)]}, index=days)
    weights["B"] = 1.0 - weights["A"]
    monthly = korvel.backtest(weights, close, rebalance="ME")
    entries = monthly.trades["entry_date"]
    # The last business day of each month decides; it trades on the next month's first.
    assert entries.dt.strftime("%m-%d").tolist() == ["02-01", "03-01"]
    newest = weights.loc[monthly.trades["signal_date"]]
    assert (newest.idxmax(axis=1).to_numpy() == monthly.trades["instrument"].astype(str).to_numpy()).all()
    listed = korvel.backtest(weights, close, rebalance=["2024-01-31", "2024-02-29"])
    pd.testing.assert_series_equal(listed.equity, monthly.equity)
    # The data end on a month's last business day: that month's rebalance is tomorrow's.
    assert monthly.actions.attrs["rebalance_due"]


# --------------------------------------------------------------------------- exit reasons


class TaggingRecorder(ref.TradeRecorder):
    """The reference recorder, telling which phase of a row closed each record."""

    source = inspect.getsource(ref.run_backtest).splitlines()
    delisting_line = ref.run_backtest.__code__.co_firstlineno + next(
        k for k, line in enumerate(source) if "# -- delisting --" in line
    )
    last = None

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.reasons = []
        TaggingRecorder.last = self

    def record_exit(self, sid, exit_transaction, *fill, **reason):  # (a touched exit may pass its fill)
        frame, names = sys._getframe(1), []
        while frame.f_code.co_name != "run_backtest":
            names.append(frame.f_code.co_name)
            frame = frame.f_back
        phase = "rebalance" if "rebalance" in names else "delisting" if frame.f_lineno > self.delisting_line else "stop"
        self.reasons.append(phase)
        super().record_exit(sid, exit_transaction, *fill, **reason)

    def end_analysis(self, book):
        before = len(self.trades)
        super().end_analysis(book)
        self.reasons += ["open"] * (len(self.trades) - before)


#: The phase of a row that closes a trade for each of the engine's reasons.
PHASE = {"stop_loss": "stop", "take_profit": "stop", "trailing_stop": "stop", "rebalance": "rebalance"}


@pytest.mark.parametrize("seed", range(6))
def test_exit_reasons_are_the_phase_that_closed_the_trade(seed, monkeypatch):
    rng = np.random.default_rng(seed)
    generated, rows, market, weights = market_and_weights(
        10, 140, int(rng.integers(1000)), rebalance=str(rng.choice(["daily", "weekly"])), delisting_fraction=0.4
    )
    rules = dict(
        stop_loss=float(rng.choice([0.02, 0.05])),
        take_profit=0.08,
        trail_stop=0.04 if seed % 2 else None,
        touched_exit=True,  # the reference is backtest_'s order; close-based stops follow their own trade
        split_at_rebalance=seed % 3 == 0,
        stop_trading_next_period=seed % 4 != 1,
    )
    res = korvel.backtest(weights, market, **rules)
    monkeypatch.setattr(ref, "TradeRecorder", TaggingRecorder)
    run, view = res._run, view_of(market)
    ref.run_backtest(
        view.open,
        view.close,
        view.high,
        view.low,
        view.open,
        view.dates,
        view.labels,
        run.weights.values,
        run.weights.engine_dates,
        run.weights.engine_labels,
        run.resample,
        delisting_bars=run.delisting,
        **specified_keywords(run.engine_keywords),
    )
    truth = TaggingRecorder.last.reasons
    told = res.trades["exit_reason"].astype(str)
    assert told.map(lambda r: PHASE.get(r, r)).tolist() == truth
    assert "rebalance" in set(told) and {"stop_loss", "take_profit", "trailing_stop"} & set(told)
    assert ((told == "open") == (res.trades["status"] == "open")).all()


def test_without_stops_every_reason_is_told():
    close = closes(np.tile([10.0, 20.0, 30.0], (10, 1)) * np.linspace(1, 1.2, 10)[:, None])
    weights = pd.DataFrame({"S0": [0.4, 0.0], "S1": [0.4, 0.0], "S2": [0.0, 0.5]}, index=close.index[[0, 5]])
    market = korvel.Market(close, delisted=pd.Series({"S1": close.index[3]}))
    trades = korvel.backtest(weights, market).trades
    assert trades["exit_reason"].astype(str).tolist() == ["delisting", "rebalance", "open"]
    assert trades["instrument"].astype(str).tolist() == ["S1", "S0", "S2"]
    assert trades["exit_date"].iloc[0] == close.index[3]


# --------------------------------------------------------------------------- statistics


def test_statistics_agree_with_plain_formulas():
    from korvel.results import _stats as stats

    days = np.array([0, 1, 2, 3, 4, 5, 366], dtype=np.int64) * 86_400 * 10**9
    equity = np.array([1.0, 1.1, 0.99, 1.05, 1.2, 0.9, 1.21])
    got = stats.performance(equity, days)
    r = equity[1:] / equity[:-1] - 1
    years = 366 / 365.25
    per_year = 6 / years
    assert got["total_return"] == pytest.approx(0.21)
    assert got["cagr"] == pytest.approx(1.21 ** (1 / years) - 1)
    assert got["annual_volatility"] == pytest.approx(r.std(ddof=1) * np.sqrt(per_year))
    assert got["sharpe"] == pytest.approx(r.mean() / r.std(ddof=1) * np.sqrt(per_year))
    assert got["sortino"] == pytest.approx(r.mean() / np.sqrt(np.mean(np.minimum(r, 0) ** 2)) * np.sqrt(per_year))
    assert got["max_drawdown"] == pytest.approx(0.9 / 1.2 - 1)
    assert (got["max_drawdown_peak"], got["max_drawdown_trough"], got["max_drawdown_recovery"]) == (4, 5, 6)
    assert got["calmar"] == pytest.approx(got["cagr"] / (1 - 0.9 / 1.2))
    assert got["longest_drawdown_days"] == 362.0  # from the peak on day 4 to the recovery on day 366

    rets = np.array([0.1, -0.05, np.nan, 0.02, 0.3])
    w = np.array([0.5, -0.25, 0.1, 0.2, 0.4])
    mae = np.array([-0.01, -0.08, np.nan, 0.0, -0.2])
    trades = stats.trade_statistics(rets, w, mae, -mae, np.array([0, 2, 3, 5, 6]), np.array([4, 6, 9, 8, -1]))
    assert trades["trades"] == 5 and trades["open_trades"] == 1
    assert trades["win_rate"] == pytest.approx(2 / 3)  # the unpriced trade has no return
    assert trades["profit_factor"] == pytest.approx((0.05 + 0.004) / 0.0125)
    assert trades["avg_win"] == pytest.approx(0.06) and trades["avg_loss"] == pytest.approx(-0.05)
    assert trades["avg_holding_days"] == pytest.approx((4 + 4 + 6 + 3) / 4)
    assert trades["mean_mae"] == pytest.approx(-0.03)


def test_bootstrap_estimates_are_the_stats_and_the_intervals_depend_on_the_seed_only():
    _, _, market, weights = market_and_weights(n=12, days=400)
    res = korvel.backtest(weights, market, fee=0.001)
    names = ["sharpe", "cagr", "max_drawdown", "annual_volatility"]
    first = res.bootstrap(names, n=300, seed=7)
    pd.testing.assert_frame_equal(res.bootstrap(names, n=300, seed=7), first, check_exact=True)
    assert not first.equals(res.bootstrap(names, n=300, seed=8))
    stats = res.stats()
    for name in names:  # annualised as stats() annualises
        assert first.loc[name, "estimate"] == pytest.approx(stats[name], rel=1e-9)
        assert first.loc[name, "lower"] < first.loc[name, "upper"]


def test_result_statistics_come_from_its_own_tables():
    _, _, market, weights = market_and_weights(n_short=0)
    with pytest.warns(korvel.KorvelWarning, match="benchmark 'S0003': no price on 1 of the run's"):
        res = korvel.backtest(weights, market, stop_loss=0.05, benchmark="S0003")
    s, trades, equity = res.stats(), res.trades, res.equity
    closed = trades[trades["status"] == "closed"]
    assert s["total_return"] == pytest.approx(equity.iloc[-1] - 1)
    assert s["start"] == equity.index[0] and s["end"] == equity.index[-1]
    assert s["trades"] == len(trades) and s["open_trades"] == (trades["status"] == "open").sum()
    assert s["win_rate"] == pytest.approx((closed["return"] > 0).mean())
    assert s["avg_holding_days"] == pytest.approx(closed["holding_days"].mean())
    assert s["max_drawdown"] == pytest.approx(res.drawdown.min())
    assert s["max_drawdown_trough"] == res.drawdown.idxmin()
    bench = res.benchmark
    # The benchmark instrument has a day without a price: returns from one priced date to the next.
    priced = market.close["S0003"].reindex(equity.index).notna().to_numpy()
    level, eq = bench.to_numpy()[priced], equity.to_numpy()[priced]
    b, r = level[1:] / level[:-1] - 1, eq[1:] / eq[:-1] - 1
    assert s["beta"] == pytest.approx(np.cov(r, b)[0, 1] / b.var(ddof=1))
    assert s["correlation"] == pytest.approx(np.corrcoef(r, b)[0, 1])
    # alpha a year, arithmetic (the mean excess x periods a year) and compounded over the periods of a year;
    # the periods are the spans between the benchmark's priced dates.
    beta = np.cov(r, b)[0, 1] / b.var(ddof=1)
    spanned = equity.index[priced]
    per_year = len(b) / ((spanned[-1] - spanned[0]).days / 365.25)
    excess = np.mean(r - beta * b)
    assert s["alpha"] == pytest.approx(excess * per_year, rel=1e-6)
    assert s["alpha_compounded"] == pytest.approx((1 + excess) ** per_year - 1, rel=1e-6)
    assert s["alpha_compounded"] != pytest.approx(s["alpha"], rel=1e-6)
    assert s["benchmark_total_return"] == pytest.approx(bench.iloc[-1] - 1)
    months = res.monthly_returns
    month_end = equity.groupby([equity.index.year, equity.index.month]).last()
    assert np.nanprod(months.to_numpy() + 1) == pytest.approx(equity.iloc[-1])
    assert months.loc[month_end.index[1][0], month_end.index[1][1]] == pytest.approx(
        month_end.iloc[1] / month_end.iloc[0] - 1
    )


def test_benchmark_of_itself_has_beta_one():
    _, _, market, weights = market_and_weights()
    first = korvel.backtest(weights, market)
    again = korvel.backtest(weights, market, benchmark=first.equity).stats()
    assert again["beta"] == pytest.approx(1.0) and again["correlation"] == pytest.approx(1.0)
    assert again["alpha"] == pytest.approx(0.0, abs=1e-12)
    # Its own figures are the run's, over the same risk-free rate.
    rerun = korvel.backtest(weights, market, benchmark=first.equity)
    for rf in (None, 0.05):
        s = rerun.stats(rf=rf)
        assert s["benchmark_sharpe"] == pytest.approx(s["sharpe"], rel=1e-9)
        assert s["benchmark_volatility"] == pytest.approx(s["annual_volatility"], rel=1e-9)
        assert s["benchmark_cagr"] == pytest.approx(s["cagr"], rel=1e-9)
        assert s["benchmark_max_drawdown"] == pytest.approx(s["max_drawdown"], rel=1e-9)
        assert s["tracking_error"] == pytest.approx(0.0, abs=1e-12)


def test_actions_are_the_operations_record():
    _, rows, market, weights = market_and_weights(rebalance="daily")
    res = korvel.backtest(weights, market, stop_loss=0.03)
    ops = portsim.get_stock_operations()
    actions = res.actions
    names = list(rows.pos_columns)
    assert {names[k]: w for k, w in ops["actions"].items()} == actions.loc[actions["code"] != "", "code"].to_dict()
    for sid, weight in ops["next_weights"].items():
        assert actions.loc[names[sid], "target"] == pytest.approx(weight)
    assert (actions["target_date"] == weights.index[ops["next_weight_time"]]).all()


# --------------------------------------------------------------------------- the result object


def test_result_does_not_change_when_its_tables_do():
    _, _, market, weights = market_and_weights()
    res = korvel.backtest(weights, market)
    trades, equity, stats, actions = res.trades, res.equity, res.stats(), res.actions
    trades["return"] = 0.0
    del trades["weight"]
    equity.iloc[:] = 0.0
    stats["sharpe"] = 99
    for record in portsim.get_stock_operations().values():  # the engine's own record of the run
        if isinstance(record, dict):
            record.clear()
    pd.testing.assert_frame_equal(res.actions, actions)
    korvel.backtest(weights.iloc[::-1].sort_index(), market, stop_loss=0.01)  # another run in between
    assert "weight" in res.trades and res.trades["return"].abs().sum() > 0
    assert res.equity.iloc[0] == 1.0 and res.stats()["sharpe"] != 99
    pd.testing.assert_frame_equal(res.actions, actions)


def test_threads_run_one_at_a_time_and_keep_their_results():
    _, _, market, weights = market_and_weights()
    settings = [dict(stop_loss=s) for s in (0.02, 0.04, 0.06, None)]
    serial = [korvel.backtest(weights, market, **r).trades for r in settings]
    out = [None] * len(settings)

    def work(k):
        for _ in range(3):
            out[k] = korvel.backtest(weights, market, **settings[k]).trades

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(settings))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, expected in zip(out, serial):
        pd.testing.assert_frame_equal(got, expected)


def test_a_dataframe_of_closes_is_a_market():
    close = closes(np.linspace(10, 12, 30)[:, None] * [1.0, 1.5])
    weights = pd.DataFrame({"S0": [0.5], "S1": [0.5]}, index=close.index[:1])
    res = korvel.backtest(weights, close)
    assert res.stats()["total_return"] == pytest.approx(
        0.5 * (12 / close.iloc[1, 0]) + 0.5 * (18 / close.iloc[1, 1]) - 1
    )
    close.iloc[3, 1] = 0.0
    with pytest.raises(ValueError, match="market has an invalid price 0.0 for 'S1' on 2024-01-04"):
        korvel.backtest(weights, close)


def test_quantstats_returns_are_naive_daily_returns():
    close = closes(np.linspace(10, 12, 30)[:, None], tz="Europe/Paris")
    weights = pd.DataFrame({"S0": [1.0]}, index=close.index[:1])
    qs = korvel.backtest(weights, close).to_quantstats()
    assert qs.index.tz is None and qs.dtype == np.float64 and len(qs) == 29


_, _, PROPERTY_MARKET, PROPERTY_WEIGHTS = market_and_weights(8, 90, seed=11, rebalance="weekly")


@settings(max_examples=15, deadline=None)
@given(st.permutations(range(8)), st.permutations(range(8)), st.booleans())
def test_the_order_of_the_columns_does_not_matter(market_order, weight_order, drop_zero_columns):
    """Instruments are matched by label: any column order, and weight columns that are all 0
    dropped or kept, give the same run (up to the order of the rebalance's additions)."""
    expected = korvel.backtest(PROPERTY_WEIGHTS, PROPERTY_MARKET, stop_loss=0.05)
    tables = {name: getattr(PROPERTY_MARKET, name).iloc[:, list(market_order)] for name in ("open", "high", "low")}
    market = korvel.Market(PROPERTY_MARKET.close.iloc[:, list(market_order)], **tables)
    weights = PROPERTY_WEIGHTS.iloc[:, list(weight_order)]
    if drop_zero_columns:
        weights = weights.loc[:, (weights != 0).any()]
    got = korvel.backtest(weights, market, stop_loss=0.05)
    np.testing.assert_allclose(got.equity.to_numpy(), expected.equity.to_numpy(), rtol=1e-12)
    key = ["entry_date", "instrument"]
    a = got.trades.astype({"instrument": str}).sort_values(key).reset_index(drop=True)
    b = expected.trades.astype({"instrument": str}).sort_values(key).reset_index(drop=True)
    pd.testing.assert_frame_equal(a[key + ["exit_date", "exit_reason"]], b[key + ["exit_date", "exit_reason"]])


def test_a_hold_without_a_new_weight_reads_hold():
    index = pd.bdate_range("2024-01-01", periods=6)
    close = pd.DataFrame({"A": [10, 11, 12, 13, 12, 11.0], "B": [20, 21, 22, 21, 22, 23.0]}, index=index)
    weights = pd.DataFrame({"A": [0.2] * 6, "B": [0.3] * 5 + [0.1]}, index=index)
    actions = korvel.backtest(weights, close).actions
    assert actions["code"].tolist() == ["hold", "hold"]
    assert actions["action"].to_dict() == {"A": "hold", "B": "hold, resize to target"}


@pytest.mark.parametrize(
    "tables, trade_at, words",
    [
        ((), "open", "trade at the next close (no open prices)"),
        (("open",), "open", "trade at the next open"),
        (("open",), "close", "trade at the next close,"),
    ],
)
def test_the_summary_says_where_the_trades_were_made(tables, trade_at, words):
    index = pd.bdate_range("2024-01-01", periods=4)
    close = pd.DataFrame({"A": [10, 11, 12, 13.0]}, index=index)
    market = korvel.Market(close, **dict.fromkeys(tables, close * 1.0))
    res = korvel.backtest(pd.DataFrame({"A": [0.5]}, index=index[:1]), market, trade_at=trade_at)
    assert words in res.summary()


@pytest.mark.parametrize("seed", range(4))
def test_exposure_counts_rows_with_a_priced_holding(seed):
    from korvel._market import spans_of
    from korvel.results import _stats as stats

    rng = np.random.default_rng(seed)
    for _ in range(200):
        rows, width = int(rng.integers(2, 30)), int(rng.integers(1, 5))
        close = rng.random((rows, width))
        close[rng.random((rows, width)) < rng.random()] = np.nan
        entry, exit_, column = [], [], []
        for c in range(width):  # one holding of an instrument at a time, some still open
            r = int(rng.integers(0, rows))
            while r < rows:
                end = int(rng.integers(r + 1, rows + 2))
                entry.append(r), column.append(c), exit_.append(-1 if end >= rows else end)
                r = end + int(rng.integers(0, 3))
        entry, exit_, column = (np.array(a, dtype=np.int64) for a in (entry, exit_, column))
        first = int(rng.integers(0, rows))
        end = np.where(exit_ < 0, rows, exit_)
        truth = np.mean([any(e <= r < x and not np.isnan(close[r, c]) for e, x, c in zip(entry, end, column))
                         for r in range(first, rows)])  # fmt: skip
        missing_columns, missing_rows = np.nonzero(np.isnan(close).T)
        keys = missing_columns.astype(np.int64) * (rows + 1) + missing_rows
        spans = spans_of(keys, rows, width)
        missing = np.isnan(close)
        assert spans[0].tolist() == [int(np.argmax(m)) if m.any() else rows for m in missing.T]
        assert spans[1].tolist() == [rows - 1 - int(np.argmax(m[::-1])) if m.any() else -1 for m in missing.T]
        assert stats.exposure(entry, exit_, rows, first, column, keys) == pytest.approx(truth)
        assert stats.exposure(entry, exit_, rows, first, column, keys, spans) == pytest.approx(truth)


@pytest.mark.parametrize(
    "rules, words",
    [
        ({}, None),
        (dict(stop_loss=0.1, take_profit=0.2), "stop loss 10.00% below the entry price, take profit 20.00% above it;"),
        (
            dict(trail_stop=0.08, trail_activation=0.05),
            "trailing stop 8.00 points of the entry price below the best trading price from a 5.00% gain",
        ),
        (dict(trail_stop=0.08, trail_from="peak", touched_exit=True), "trailing stop 8.00% below the peak; on high"),
    ],
)
def test_the_summary_says_the_stop_rules_and_where_costs_come_from(rules, words):
    index = pd.bdate_range("2024-01-01", periods=4)
    close = pd.DataFrame({"A": [10, 11, 12, 13.0]}, index=index)
    text = korvel.backtest(pd.DataFrame({"A": [0.5]}, index=index[:1]), close, fee=0.001, **rules).summary()
    assert "(a purchase's paid out of the holding bought)" in text
    if words is None:
        assert "Stops" not in text
    else:
        assert words in text
