import numpy as np
import pandas as pd
import pytest

from korvel import synthetic
from korvel.simulation._schedule import applied_weight_rows, marked_rows
from korvel.synthetic import Market, backtest_inputs, generate_market, momentum_weights, rebalance_rows


@pytest.fixture(scope="module")
def market():
    return generate_market(120, 900, seed=11, missing_runs=3.0, late_listing_fraction=0.25, delisting_fraction=0.2)


def _tables(m):
    return [m.price_values, m.close_values, m.high_values, m.low_values, m.open_values]


class TestShapesAndTypes:
    def test_tables_dates_and_columns(self, market):
        T, N = 900, 120
        for t in _tables(market):
            assert t.shape == (T, N) and t.dtype == np.float64
        assert market.price_index.dtype == np.int64 and market.price_index.shape == (T,)
        assert np.all(np.diff(market.price_index) > 0)
        days = market.price_index.astype("datetime64[ns]").astype("datetime64[D]")
        assert np.all(np.is_busday(days))
        # consecutive business days: no weekday is skipped
        assert np.all(np.busday_count(days[:-1], days[1:]) == 1)
        assert market.price_columns.dtype == object and market.price_columns.shape == (N,)
        names = market.price_columns.tolist()
        assert all(isinstance(n, str) for n in names) and len(set(names)) == N
        assert market.delisting_bars.dtype == np.int64 and market.delisting_bars.shape == (N,)

    def test_backtest_inputs_are_the_engine_arguments(self, market):
        w = momentum_weights(market, lookback=60, skip=5, n_long=10)
        args = backtest_inputs(market, w)
        assert list(args) == [
            "price_values",
            "close_values",
            "high_values",
            "low_values",
            "open_values",
            "price_index",
            "price_columns",
            "pos_values",
            "pos_index",
            "pos_columns",
            "resample",
            "delisting_bars",
        ]
        assert args["pos_values"].dtype == np.float64 and args["pos_values"].ndim == 2
        assert args["pos_values"].shape == (w.pos_index.size, args["pos_columns"].size)
        for k in ("pos_index", "resample", "delisting_bars"):
            assert args[k].dtype == np.int64 and args[k].ndim == 1
        assert args["pos_columns"].dtype == object

    def test_delisting_bars_follow_the_weight_columns(self, market):
        w = momentum_weights(market, lookback=60, skip=5, n_long=10)
        perm = np.random.default_rng(0).permutation(market.n_instruments)
        shuffled = synthetic.Weights(w.pos_values[:, perm], w.pos_index, w.pos_columns[perm], w.resample)
        args = backtest_inputs(market, shuffled)
        assert np.array_equal(args["delisting_bars"], market.delisting_bars[perm])

    def test_generation_of_a_wide_long_history_is_fast(self):
        import time

        t0 = time.perf_counter()
        m = generate_market(1000, 2500, seed=3)
        assert time.perf_counter() - t0 < 3.0  # 10000 x 4000 scales to a few seconds
        assert m.close_values.shape == (2500, 1000)

    def test_bad_arguments(self):
        with pytest.raises(ValueError):
            generate_market(10, 100, trade_at="vwap")
        with pytest.raises(ValueError):
            generate_market(0, 100)


class TestPrices:
    def test_ohlc_consistent_positive_and_finite(self, market):
        ok = ~np.isnan(market.close_values)
        c, o, h, l, p = (
            t[ok]
            for t in (
                market.close_values,
                market.open_values,
                market.high_values,
                market.low_values,
                market.price_values,
            )
        )
        for t in (c, o, h, l, p):
            assert np.all(np.isfinite(t)) and np.all(t > 0)
        assert np.all(l <= o) and np.all(l <= c) and np.all(o <= h) and np.all(c <= h)
        assert np.all(l <= p) and np.all(p <= h)
        assert np.mean(h > np.maximum(o, c)) > 0.9  # the range usually reaches beyond open and close

    def test_missing_prices_are_missing_in_every_table(self, market):
        missing = np.isnan(market.close_values)
        for t in _tables(market):
            assert np.array_equal(np.isnan(t), missing)

    @pytest.mark.parametrize("trade_at", ["open", "close", "typical"])
    def test_trading_price_choice(self, trade_at):
        m = generate_market(20, 60, seed=1, trade_at=trade_at)
        if trade_at == "open":
            assert m.price_values is m.open_values
        elif trade_at == "close":
            assert m.price_values is m.close_values
        else:
            expect = (m.high_values + m.low_values + m.close_values) / 3
            np.testing.assert_allclose(m.price_values, expect, rtol=1e-12)

    def test_volatility_dispersion_is_realised(self):
        m = generate_market(400, 1500, seed=5, missing_runs=0, late_listing_fraction=0, delisting_fraction=0)
        realised = np.std(np.diff(np.log(m.close_values), axis=0), axis=0) * np.sqrt(252)
        assert np.corrcoef(realised, m.annual_volatility)[0, 1] > 0.9
        lo, hi = np.percentile(realised, [10, 90])
        assert hi / lo > 2.0
        assert 0.1 < np.median(realised) < 0.6
        # instruments move together through the common factor
        r = np.diff(np.log(m.close_values), axis=0)
        corr = np.corrcoef(r[:, :50].T)
        assert np.mean(corr[np.triu_indices(50, 1)]) > 0.05

    def test_clean_market_has_no_gaps(self):
        m = generate_market(30, 200, seed=2, missing_runs=0, late_listing_fraction=0, delisting_fraction=0)
        assert not np.isnan(m.close_values).any()
        assert np.all(m.delisting_bars == -1) and np.all(m.listing_bars == 0)


class TestGapsListingsDelistings:
    def test_interior_missing_runs(self, market):
        missing = np.isnan(market.close_values)
        runs = []
        for j in range(market.n_instruments):
            first = market.listing_bars[j]
            last = market.delisting_bars[j] if market.delisting_bars[j] >= 0 else market.n_days - 1
            col = missing[first : last + 1, j]
            assert not col[0] and not col[-1]  # listing and last row keep their price
            edges = np.flatnonzero(np.diff(np.r_[0, col.astype(np.int8), 0]))
            runs += list(edges[1::2] - edges[::2])
        assert len(runs) > market.n_instruments  # about 3 runs per instrument were asked for
        assert 2.0 < np.mean(runs) < 8.0  # mean length 4 (runs may merge)

    def test_late_listings(self, market):
        missing = np.isnan(market.close_values)
        late = np.flatnonzero(market.listing_bars > 0)
        assert 0.1 < late.size / market.n_instruments < 0.45
        for j in range(market.n_instruments):
            first_valid = np.argmax(~missing[:, j])
            assert first_valid == market.listing_bars[j]

    def test_delistings(self, market):
        missing = np.isnan(market.close_values)
        gone = np.flatnonzero(market.delisting_bars >= 0)
        assert 0.08 < gone.size / market.n_instruments < 0.35
        for j in gone:
            d = market.delisting_bars[j]
            assert market.listing_bars[j] < d < market.n_days - 1
            assert not missing[d, j] and missing[d + 1 :, j].all()
        alive = np.flatnonzero(market.delisting_bars < 0)
        assert np.all(market.delisting_bars[alive] == -1)
        assert not missing[-1, alive].any()


class TestDeterminism:
    def test_same_seed_same_market(self):
        a = generate_market(50, 300, seed=42)
        b = generate_market(50, 300, seed=42)
        for x, y in zip(_tables(a), _tables(b)):
            np.testing.assert_array_equal(x, y)
        np.testing.assert_array_equal(a.delisting_bars, b.delisting_bars)
        np.testing.assert_array_equal(a.listing_bars, b.listing_bars)

    def test_other_seed_other_market(self):
        a = generate_market(50, 300, seed=42)
        b = generate_market(50, 300, seed=43)
        assert not np.allclose(a.close_values, b.close_values, equal_nan=True)

    def test_weights_are_deterministic(self, market):
        a = momentum_weights(market, rebalance="weekly", lookback=60, skip=5, n_long=8, n_short=8)
        b = momentum_weights(market, rebalance="weekly", lookback=60, skip=5, n_long=8, n_short=8)
        np.testing.assert_array_equal(a.pos_values, b.pos_values)


def _trend_market(T=300, N=12, rates=None):
    """Noiseless market: instrument j compounds at rates[j] a day."""
    rates = np.linspace(-0.002, 0.002, N) if rates is None else np.asarray(rates)
    close = 10.0 * np.exp(np.outer(np.arange(T), rates))
    return Market(
        price_values=close,
        close_values=close,
        high_values=close * 1.01,
        low_values=close * 0.99,
        open_values=close,
        price_index=synthetic.business_days("2020-01-01", T),
        price_columns=np.array([f"I{j}" for j in range(N)], dtype=object),
        delisting_bars=np.full(N, -1, np.int64),
        listing_bars=np.zeros(N, np.int64),
        annual_volatility=np.zeros(N),
        trade_at="close",
    )


class TestRebalanceDates:
    def test_weekly_weeks_start_on_monday(self):
        idx = synthetic.business_days("2024-01-01", 10)  # Monday
        assert rebalance_rows(idx, "weekly").tolist() == [4, 9]

    def test_monthly_last_row_of_each_month_and_the_last_row(self, market):
        rows = rebalance_rows(market.price_index, "monthly")
        months = market.price_index.astype("datetime64[ns]").astype("datetime64[M]")
        assert rows[-1] == market.n_days - 1
        assert np.all(months[rows[:-1]] != months[rows[:-1] + 1])
        assert rows.size == np.unique(months).size

    def test_daily_and_unknown(self, market):
        assert np.array_equal(rebalance_rows(market.price_index, "daily"), np.arange(market.n_days))
        with pytest.raises(ValueError):
            rebalance_rows(market.price_index, "yearly")

    def test_quarterly_is_the_last_row_of_each_calendar_quarter(self, market):
        dates = pd.DatetimeIndex(market.price_index)
        rows = rebalance_rows(market.price_index, "quarterly")
        quarters = dates.year * 4 + dates.quarter
        expected = np.append(np.flatnonzero(quarters[1:] != quarters[:-1]), len(dates) - 1)
        assert np.array_equal(rows, expected) and len(rows) < len(rebalance_rows(market.price_index, "monthly"))


class TestMomentumWeights:
    def test_picks_strongest_long_and_weakest_short(self):
        m = _trend_market()
        w = momentum_weights(m, rebalance="monthly", lookback=60, skip=5, n_long=3, n_short=2)
        for row in w.pos_values:
            assert np.flatnonzero(row > 0).tolist() == [9, 10, 11]
            assert np.flatnonzero(row < 0).tolist() == [0, 1]
            np.testing.assert_allclose(row[row != 0], [-0.2, -0.2, 0.2, 0.2, 0.2])

    def test_equal_weight_gross_one_and_dates(self, market):
        w = momentum_weights(market, rebalance="monthly", lookback=120, skip=10, n_long=15, n_short=5)
        np.testing.assert_allclose(np.abs(w.pos_values).sum(axis=1), 1.0)
        assert np.all((w.pos_values > 0).sum(axis=1) == 15) and np.all((w.pos_values < 0).sum(axis=1) == 5)
        assert np.array_equal(w.pos_index, market.price_index[w.rows])
        assert np.array_equal(w.resample, w.pos_index)
        assert w.rows[0] >= 120

    def test_no_look_ahead(self, market):
        w = momentum_weights(market, rebalance="monthly", lookback=60, skip=5, n_long=10, n_short=10)
        k = w.rows.size // 2
        cut = w.rows[k]
        future = Market(**{**market.__dict__})
        for name in ("close_values", "price_values", "open_values"):
            arr = getattr(market, name).copy()
            arr[cut + 1 :] = arr[cut + 1 :][::-1]
            object.__setattr__(future, name, arr)
        w2 = momentum_weights(future, rebalance="monthly", lookback=60, skip=5, n_long=10, n_short=10)
        np.testing.assert_array_equal(w.pos_values[: k + 1], w2.pos_values[: k + 1])

    def test_only_tradable_instruments(self, market):
        w = momentum_weights(market, rebalance="weekly", lookback=60, skip=5, n_long=20, n_short=20)
        held = w.pos_values != 0
        assert not np.isnan(market.price_values[w.rows])[held].any()
        d = market.delisting_bars
        ending = (d[None, :] >= 0) & (d[None, :] <= w.rows[:, None] + 1)
        assert not (held & ending).any()

    def test_too_few_candidates_shrinks_both_sides(self):
        m = _trend_market(N=6)
        w = momentum_weights(m, lookback=20, skip=0, n_long=6, n_short=6)
        assert np.all((w.pos_values > 0).sum(axis=1) == 3) and np.all((w.pos_values < 0).sum(axis=1) == 3)

    def test_history_too_short(self):
        with pytest.raises(ValueError):
            momentum_weights(_trend_market(T=50), lookback=60, skip=5)


class TestSchedule:
    def test_rebalance_dates_mark_last_row_on_or_before(self):
        assert marked_rows(np.array([10, 20, 30]), np.array([5, 20, 25, 40])).tolist() == [True] * 3
        assert marked_rows(np.array([10, 20, 30]), np.array([], np.int64)).tolist() == [False] * 3
        assert marked_rows(np.array([10, 20, 30, 40]), np.array([25])).tolist() == [False, True, False, False]

    def test_weight_row_applied_on_the_row_after_its_rebalance_row(self):
        idx = np.arange(10, 110, 10)  # rows 0..9
        applied, due_row, due = applied_weight_rows(idx, np.array([20, 50]), np.array([20, 50]))
        assert applied.tolist() == [-1, -1, 0, -1, -1, 1, -1, -1, -1, -1]
        assert due_row == 1 and not due

    def test_newest_weight_row_wins_and_waits_for_a_mark(self):
        idx = np.arange(10, 110, 10)
        # weight rows on rows 1, 2, 3; only row 4 is a rebalance row
        applied, _, _ = applied_weight_rows(idx, np.array([20, 30, 40]), np.array([50]))
        assert applied.tolist() == [-1] * 5 + [2] + [-1] * 4

    def test_weight_dated_on_next_price_date_is_not_yet_due(self):
        idx = np.arange(10, 110, 10)
        applied, _, _ = applied_weight_rows(idx, np.array([20, 40]), np.array([30, 40, 50]))
        # on row 2 (date 30) the weight dated 40 is not before the next date 40: row 0 is traded on
        # row 3, and the weight dated 40 one row later
        assert applied.tolist() == [-1, -1, -1, 0, 1, -1, -1, -1, -1, -1]

    def test_rows_before_first_weight_date_are_not_processed(self):
        idx = np.arange(10, 110, 10)
        applied, _, _ = applied_weight_rows(idx, np.array([55]), np.array([10, 20, 60, 70]))
        # rows dated before 55 are skipped although rows 0 and 1 are marked; row 5 is the first
        # processed row and is marked, so the weight row is traded on row 6
        assert applied.tolist() == [-1] * 6 + [0, -1, -1, -1]

    def test_last_row_makes_the_newest_row_due(self):
        idx = np.arange(10, 60, 10)
        applied, due_row, due = applied_weight_rows(idx, np.array([20, 50]), np.array([20, 50]))
        assert applied.tolist() == [-1, -1, 0, -1, -1]
        assert due_row == 1 and due

    @pytest.mark.parametrize("seed", range(3))
    def test_the_schedule_is_the_rule_replayed_row_by_row(self, seed):
        rng = np.random.default_rng(seed)
        for _ in range(300):
            idx = np.cumsum(rng.integers(1, 4, int(rng.integers(1, 30))))
            pos = np.sort(rng.integers(idx[0] - 3, idx[-1] + 3, int(rng.integers(1, 12))))  # repeats too
            resample = np.sort(rng.integers(idx[0] - 3, idx[-1] + 3, int(rng.integers(0, 8))))
            applied, due_row, due = applied_weight_rows(idx, pos, resample)
            assert (applied.tolist(), due_row, due) == _replayed(idx, pos, resample), (idx, pos, resample)


def _replayed(idx, pos, resample):
    """The schedule as the engine makes it, one price row at a time (see `korvel.simulation._schedule`)."""
    marked = [False] * len(idx)
    for date in resample:  # the last row on or before each date; row 0 for a date before the first
        marked[max(int(np.searchsorted(idx, date, side="right")) - 1, 0)] = True
    applied, last, due, processed = [-1] * len(idx), -1, False, False
    for i in range(len(idx)):
        if idx[i] < pos[0]:
            continue  # before the first weight date: not processed
        processed = True
        newest = int((pos < idx[i + 1]).sum()) - 1 if i + 1 < len(idx) else len(pos) - 1
        if marked[i] and newest != last:
            last = newest
            if i + 1 < len(idx):
                applied[i + 1] = newest
            else:
                due = True  # on the next trading day
    return applied, (len(pos) - 1 if processed else 0), due


def _engine():
    try:
        from korvel.core import portsim
    except ImportError:
        return None
    return portsim if hasattr(portsim, "backtest_") else None


@pytest.mark.skipif(_engine() is None, reason="engine backtest_ not built yet")
@pytest.mark.parametrize("freq, n_short", [("monthly", 0), ("weekly", 6), ("daily", 4)])
def test_engine_trades_the_weight_rows_the_schedule_names(freq, n_short):
    """Frictionless replay (no fees, no stops, clean prices) of the schedule
    against the engine: equal equity curves mean both apply the same weight
    row on the same price row."""
    m = generate_market(40, 300, seed=9, trade_at="open", missing_runs=0, late_listing_fraction=0, delisting_fraction=0)
    w = momentum_weights(m, rebalance=freq, lookback=40, skip=3, n_long=6, n_short=n_short)
    args = backtest_inputs(m, w)
    equity = _engine().backtest_(**args, fee_ratio=0.0, tax_ratio=0.0)
    applied, _, _ = applied_weight_rows(m.price_index, w.pos_index, w.resample)
    shares = np.zeros(m.n_instruments)
    cash = 1.0
    expect = np.ones(m.n_days)
    first = np.searchsorted(m.price_index, w.pos_index[0])
    for i in range(first, m.n_days):
        if applied[i] >= 0:
            total = cash + shares @ m.price_values[i]
            target = w.pos_values[applied[i]] * total / max(1.0, np.abs(w.pos_values[applied[i]]).sum())
            shares = target / m.price_values[i]
            cash = total - target.sum()
        expect[i] = cash + shares @ m.close_values[i]
    np.testing.assert_allclose(equity, expect, rtol=1e-9, atol=1e-12)
    assert (applied >= 0).sum() == w.pos_index.size - 1  # every row but the last one is traded
