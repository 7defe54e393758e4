"""Trading at a size: the market's volume, the capital, and the square-root impact model (hand-computed)."""

import math
import statistics
import warnings

import numpy as np
import pandas as pd
import pytest
from backtest_helpers import tables
from layer_support import closes

import korvel
from korvel.core import portsim
from korvel.simulation import _impact

CLOSE = [100.0, 102.0, 99.0, 101.0, 103.0, 104.0]
VOLUME = [1000.0, 2000.0, np.nan, 4000.0, 3000.0, 5000.0]
K = 0.6
CAPITAL = 1e6


def one_name(close=CLOSE, volume=VOLUME):
    frame = closes(np.array(close)[:, None])
    return korvel.Market(frame, volume=pd.DataFrame(np.array(volume)[:, None], index=frame.index, columns=["S0"]))


def weights_on(market, rows_and_weights):
    dates = market.dates[[r for r, _ in rows_and_weights]]
    return pd.DataFrame([[w] for _, w in rows_and_weights], index=dates, columns=["S0"])


def expected_impact(row, traded, window, close=CLOSE, volume=VOLUME):
    """k x sigma x sqrt(shares / ADV) x traded, by hand over the `window` rows before `row`."""
    rows = range(max(0, row - window), row)
    returns = [close[s] / close[s - 1] - 1 for s in rows if s >= 1]
    volumes = [volume[s] for s in rows if not math.isnan(volume[s])]
    sigma, adv = statistics.stdev(returns), statistics.fmean(volumes)
    shares = traded * CAPITAL / close[row]
    return K * sigma * math.sqrt(shares / adv) * traded


# --------------------------------------------------------------------------- the volume table


@pytest.mark.parametrize(
    ("cell", "match"),
    [(-1.0, "volume has an invalid value -1.0 for 'S0' on 2024-01-03"), (np.inf, "invalid value inf for 'S0'")],
)
def test_a_negative_or_infinite_volume_is_refused(cell, match):
    volume = list(VOLUME)
    volume[2] = cell
    with pytest.raises(ValueError, match=match):
        one_name(volume=volume)


def test_volume_is_checked_as_the_other_tables():
    frame = closes(np.array(CLOSE)[:, None])
    with pytest.raises(ValueError, match="volume is not on the close dates"):
        korvel.Market(frame, volume=frame.iloc[1:])
    with pytest.raises(ValueError, match="volume does not have the close instruments: 'X' is in volume only"):
        korvel.Market(frame, volume=frame.rename(columns={"S0": "X"}))
    market = one_name()
    assert market.volume is not None and np.isnan(market.volume.iloc[2, 0]) and market.volume.iloc[3, 0] == 4000
    assert korvel.Market(frame).volume is None


@pytest.mark.parametrize("mmap", [True, False])
def test_the_volume_is_saved_digested_and_verified(tmp_path, mmap):
    market = one_name()
    path = tmp_path / "m.korvel"
    market.save(path)
    loaded = korvel.Market.load(path, mmap=mmap)
    np.testing.assert_array_equal(loaded.volume.to_numpy(), market.volume.to_numpy())
    assert "volume" in korvel._market.table_digests(loaded)
    # A damaged volume cell (4000 -> another float) is caught by its digest.
    raw = bytearray(path.read_bytes())
    at = raw.find(np.float64(4000.0).tobytes())
    raw[at : at + 8] = np.float64(4001.0).tobytes()
    path.write_bytes(bytes(raw))
    with pytest.raises(ValueError, match="digest of its volume differs"):
        korvel.Market.load(path, mmap=mmap)


def test_the_synthetic_market_has_a_volume_and_the_same_prices_as_before():
    from korvel import synthetic

    generated = synthetic.generate_market(8, 60, 5)
    market, _ = synthetic.to_layer(generated)
    volume = market.volume.to_numpy()
    priced = ~np.isnan(generated.close_values)
    assert (volume[priced] > 0).all() and np.isnan(volume[~priced]).all()
    # The prices of a seed do not depend on the volume's stream.
    assert synthetic.generate_market(8, 60, 5).close_values.tobytes() == generated.close_values.tobytes()


# --------------------------------------------------------------------------- capital and impact as rules


@pytest.mark.parametrize(
    ("rules", "error", "match"),
    [
        ({"impact": True}, ValueError, "impact needs capital"),
        ({"capital": 0}, ValueError, "capital must be above 0"),
        ({"capital": math.inf}, ValueError, "capital must be finite"),
        ({"capital": "1e6"}, TypeError, "capital must be a number"),
        ({"capital": 1e6, "impact": -0.1}, ValueError, "impact must be above 0"),
        ({"capital": 1e6, "impact": True, "impact_window": 1}, ValueError, "impact_window must be an integer from 2"),
    ],
)
def test_size_rules_are_checked_naming_the_rule(rules, error, match):
    market = one_name()
    with pytest.raises(error, match=match):
        korvel.backtest(weights_on(market, [(3, 1.0)]), market, trade_at="close", **rules)


def test_impact_needs_the_market_volume():
    frame = closes(np.array(CLOSE)[:, None])
    with pytest.raises(ValueError, match="impact needs the market's volume"):
        korvel.backtest(weights_on(one_name(), [(3, 1.0)]), frame, capital=CAPITAL, impact=True)


@pytest.mark.parametrize("rules", [{"capital": CAPITAL}, {"capital": 5.0, "impact_window": 3}])
def test_capital_alone_is_todays_run_bit_for_bit(rules):
    _, _, market, weights = __import__("layer_support").market_and_weights(10, 120, 4)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        plain = korvel.backtest(weights, market, fee=0.001, tax=0.002)
        sized = korvel.backtest(weights, market, fee=0.001, tax=0.002, **rules)
    assert plain.equity.to_numpy().tobytes() == sized.equity.to_numpy().tobytes()
    assert not sized.trades["impact"].any()


# --------------------------------------------------------------------------- the impact of a fill, by hand


@pytest.mark.parametrize("window", [20, 3])
def test_impact_on_one_fill(window):
    market = one_name()
    res = korvel.backtest(
        weights_on(market, [(3, 1.0)]), market, trade_at="close", capital=CAPITAL, impact=K, impact_window=window
    )
    paid = expected_impact(4, 1.0, window)
    assert 0 < paid < 0.1
    assert res.trades["impact"].iloc[0] == pytest.approx(paid, rel=1e-12)
    # The impact comes out of the holding bought: 1 - impact at the fill's own close, then it drifts.
    assert res.equity[market.dates[4]] == pytest.approx(1.0 - paid, rel=1e-12)
    assert res.equity[market.dates[5]] == pytest.approx((1.0 - paid) * 104 / 103, rel=1e-12)


def test_the_impact_of_a_later_fill_depends_on_the_portfolio_then():
    market = one_name()
    res = korvel.backtest(
        weights_on(market, [(3, 1.0), (4, 0.0)]), market, trade_at="close", capital=CAPITAL, impact=True
    )
    entry = expected_impact(4, 1.0, 20)
    held = (1.0 - entry) * 104 / 103  # the holding's value at the exit's price
    exit_ = expected_impact(5, held, 20)
    assert res.trades["impact"].iloc[0] == pytest.approx(entry + exit_, rel=1e-12)
    assert res.equity[market.dates[5]] == pytest.approx(held - exit_, rel=1e-12)


def test_a_fill_without_an_estimate_pays_no_impact_and_is_counted():
    market = one_name()
    # Over the 2 rows before row 4 only one volume is known (the other is NaN): no estimate.
    with pytest.warns(korvel.KorvelWarning, match=r"impact: 1 fill had no estimate .* first on 2024-01-05"):
        res = korvel.backtest(
            weights_on(market, [(3, 1.0)]), market, trade_at="close", capital=CAPITAL, impact=True, impact_window=2
        )
    assert res.trades["impact"].iloc[0] == 0.0 and res.equity[market.dates[4]] == 1.0


def test_the_estimates_never_read_the_trade_rows_own_close_or_volume():
    close = np.array(CLOSE)[:, None]
    volume = np.array(VOLUME)[:, None]
    rows, cols = np.arange(6), np.zeros(6, dtype=np.intp)
    sigma, adv = _impact.sigma_at(close, rows, cols, 3), _impact.adv_at(volume, rows, cols, 3)
    changed_close, changed_volume = close.copy(), volume.copy()
    changed_close[4], changed_volume[4] = 500.0, 1e9
    np.testing.assert_array_equal(sigma[:5], _impact.sigma_at(changed_close, rows, cols, 3)[:5])
    np.testing.assert_array_equal(adv[:5], _impact.adv_at(changed_volume, rows, cols, 3)[:5])
    assert np.isnan(sigma[:3]).all() and np.isnan(adv[:2]).all()  # fewer than 2 returns / volumes before
    assert adv[3] == 1500.0 and adv[4] == 3000.0  # the NaN volume left out
    assert sigma[4] == pytest.approx(statistics.stdev([102 / 100 - 1, 99 / 102 - 1, 101 / 99 - 1]), rel=1e-13)


def test_the_engine_never_reads_the_fill_rows_own_close_or_volume():
    # Trading at the open: the fill row's close and volume come after the fill.
    frame = closes(np.array(CLOSE)[:, None])
    opens = frame * 1.01

    def paid(close_at_fill, volume_at_fill):
        close, volume = frame.copy(), pd.DataFrame(np.array(VOLUME)[:, None], index=frame.index, columns=["S0"])
        close.iloc[4], volume.iloc[4] = close_at_fill, volume_at_fill
        market = korvel.Market(close, open=opens, volume=volume, check_ohlc="off")
        res = korvel.backtest(weights_on(market, [(3, 1.0)]), market, capital=CAPITAL, impact=True)
        return res.trades["impact"].iloc[0]

    assert paid(103.0, 3000.0) > 0 and paid(103.0, 3000.0) == paid(250.0, 1e9)


# --------------------------------------------------------------------------- the engine's volume model


def test_the_engine_refuses_a_volume_of_another_shape_and_size_rules_without_one():
    args = tables([[1.0], [1.0], [1.0]], {0: [1.0]})
    with pytest.raises(ValueError, match=r"volume_values is 2 x 1, not price rows x price columns \(3 x 1\)"):
        portsim.backtest_ledger(*args, volume_values=np.zeros((2, 1)), impact=0.6)
    with pytest.raises(ValueError, match="impact and participation need volume_values"):
        portsim.backtest_ledger(*args, impact=0.6)
    with pytest.raises(ValueError, match="capital must be a positive finite number"):
        portsim.backtest_ledger(*args, capital=0.0)
    with pytest.raises(ValueError, match="impact_window must be >= 2, got 1"):
        portsim.backtest_ledger(*args, impact_window=1)
    with pytest.raises(TypeError):
        portsim.backtest_ledger(*args, volume_values=[[0.0], [0.0], [0.0]])


@pytest.mark.parametrize("fee", [0.0, 0.001425])
def test_a_volume_without_impact_is_the_run_without_it_bit_for_bit(fee):
    args = tables([[10.0, 20.0], [11.0, 19.0], [12.0, 21.0], [11.5, 22.0]], {0: [0.5, -0.5], 1: [0.2, 0.3]})
    plain, ledger, _ = portsim.backtest_ledger(*args, fee_ratio=fee)
    sized, sized_ledger, _ = portsim.backtest_ledger(
        *args, fee_ratio=fee, volume_values=np.full((4, 2), 100.0), capital=1e6, record_fills=True
    )
    assert plain.tobytes() == sized.tobytes()
    assert ledger["taxes"].tobytes() == sized_ledger["taxes"].tobytes()
    assert len(sized_ledger["fill_row"]) == 4 and (sized_ledger["fill_traded"] > 0).all()
    # Each fill's ADV, over the rows before it: none before row 2 (fewer than 2 rows), then 100.
    np.testing.assert_array_equal(sized_ledger["fill_adv"], np.where(sized_ledger["fill_row"] >= 2, 100.0, np.nan))


def test_fills_without_an_estimate_charge_nothing_and_are_counted_per_row():
    args = tables([[10.0], [11.0], [12.0], [12.0], [13.0]], {0: [1.0], 3: [0.5]})
    volume = np.full((5, 1), np.nan)
    volume[1:3] = 1000.0  # known on rows 1 and 2: an ADV from row 3 on
    equity, ledger, _ = portsim.backtest_ledger(
        *args, fee_ratio=0.0, tax_ratio=0.0, volume_values=volume, impact=0.5, capital=1e4
    )
    assert ledger["row_unestimated"].tolist() == [0, 1, 0, 0, 0]
    # Row 4 sells half: value 12 / 11 ... at 13 / 12, down to half the portfolio, at the price 13.
    held = 13.0 / 11.0
    sold = held / 2
    returns = [11 / 10 - 1, 12 / 11 - 1, 12 / 12 - 1]
    c = 0.5 * statistics.stdev(returns) * math.sqrt(1e4 / (13.0 * 1000.0))
    assert ledger["row_impact"][4] == pytest.approx(c * math.sqrt(sold) * sold, rel=1e-12)
    assert ledger["row_costs"][4] == ledger["row_impact"][4]


# --------------------------------------------------------------------------- capacity and the orders in shares


def test_the_capacity_figures_are_those_of_the_ledger_by_hand():
    market = one_name()
    res = korvel.backtest(weights_on(market, [(3, 1.0), (4, 0.0)]), market, trade_at="close", capital=CAPITAL, fee=0.01)
    table = res.capacity()
    assert table["date"].tolist() == list(market.dates[[4, 5]]) and table["instrument"].tolist() == ["S0", "S0"]
    held = (1.0 - 0.01) * 104 / 103  # bought 1.0 less the fee, drifted to the exit's close
    adv = [statistics.fmean([1000, 2000, 4000]), statistics.fmean([1000, 2000, 4000, 3000])]
    shares = [CAPITAL / 103, held * CAPITAL / 104]
    np.testing.assert_allclose(table["value"], [CAPITAL, held * CAPITAL], rtol=1e-12)
    np.testing.assert_allclose(table["adv"], adv, rtol=1e-12)
    participation = [s / a for s, a in zip(shares, adv)]
    np.testing.assert_allclose(table["participation"], participation, rtol=1e-12)
    low, high = sorted(participation)
    p95 = low + 0.95 * (high - low)  # the linear quantile of two fills
    assert table.attrs["p95"] == pytest.approx(p95, rel=1e-12)
    assert res.stats()["participation_p95"] == pytest.approx(p95, rel=1e-12)
    for level, capital in table.attrs["capital_at"].items():
        assert capital == pytest.approx(CAPITAL * level / p95, rel=1e-12)


def test_the_capacity_scales_with_the_capital_without_impact():
    _, _, market, weights = __import__("layer_support").market_and_weights(10, 120, 4)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        small = korvel.backtest(weights, market, capital=1e5).capacity()
        large = korvel.backtest(weights, market, capital=3e7).capacity()
    np.testing.assert_allclose(large["participation"], 300 * small["participation"], rtol=1e-12)
    for level in (0.01, 0.05, 0.10):
        assert small.attrs["capital_at"][level] == pytest.approx(large.attrs["capital_at"][level], rel=1e-12)


@pytest.mark.parametrize(
    ("market", "rules", "match"),
    [("volume", {}, "capacity needs capital"), ("closes", {"capital": 1e6}, "capacity needs the market's volume")],
)
def test_the_capacity_says_what_it_needs(market, rules, match):
    given = one_name() if market == "volume" else korvel.Market(closes(np.array(CLOSE)[:, None]))
    res = korvel.backtest(weights_on(one_name(), [(3, 1.0)]), given, trade_at="close", **rules)
    with pytest.raises(ValueError, match=match):
        res.capacity()
    assert "participation_p95" not in res.stats()


def test_the_orders_in_shares_by_hand():
    market = one_name()
    # Bought on row 4, half of it sold on the order due after the last row.
    res = korvel.backtest(weights_on(market, [(3, 1.0), (5, 0.5)]), market, trade_at="close", capital=CAPITAL)
    orders = res.actions
    value = res.equity.iloc[-1] * CAPITAL
    row = orders.loc["S0"]
    assert row["shares_now"] == pytest.approx(value / 104, rel=1e-12)
    assert row["shares_target"] == pytest.approx(0.5 * value / 104, rel=1e-12)
    assert row["shares_delta"] == pytest.approx(-0.5 * value / 104, rel=1e-12)
    assert row["order_value"] == pytest.approx(-0.5 * value, rel=1e-12)
    assert "shares_now" not in korvel.backtest(weights_on(market, [(3, 1.0)]), market).actions.columns


def test_impact_is_in_the_stats_and_the_cost_drag():
    market = one_name()
    plain = korvel.backtest(weights_on(market, [(3, 1.0)]), market, trade_at="close", capital=CAPITAL, fee=0.001)
    sized = korvel.backtest(
        weights_on(market, [(3, 1.0)]), market, trade_at="close", capital=CAPITAL, fee=0.001, impact=True
    )
    paid = sized.trades["impact"].sum()
    assert plain.stats()["impact_paid"] == 0.0 and sized.stats()["impact_paid"] == pytest.approx(paid, rel=1e-15)
    assert sized.stats()["cost_drag"] > plain.stats()["cost_drag"]


def test_the_report_has_a_capacity_section_with_a_capital():
    from korvel.results._result import report_data

    market = one_name()
    sized = korvel.backtest(weights_on(market, [(3, 1.0)]), market, trade_at="close", capital=CAPITAL)
    plain = korvel.backtest(weights_on(market, [(3, 1.0)]), market, trade_at="close")
    sections = dict(report_data(sized).sections)
    figures = dict(zip(sections["Capacity"]["figure"], sections["Capacity"]["value"]))
    assert figures["capital"] == "1,000,000"
    assert figures["95th percentile"] == f"{sized.capacity().attrs['p95']:.2%}"
    assert "Capacity" not in dict(report_data(plain).sections)


def test_a_sweep_takes_the_capital_as_a_rule():
    market = one_name()

    def hold(market, weight):
        return weights_on(market, [(3, weight)])

    grid = {"capital": [1e5, 1e7], "weight": [1.0]}
    sweep = korvel.sweep(hold, market, grid=grid, impact=True, trade_at="close")
    paid = sweep.stats["impact_paid"].to_numpy()
    assert paid[1] == pytest.approx(paid[0] * 10, rel=1e-9)  # sqrt(100) times the cost fraction
    with pytest.raises(ValueError, match=r"grid \(capital=None\): impact needs capital"):
        korvel.sweep(hold, market, grid={"capital": [None, 1e7], "weight": [1.0]}, impact=True)


def test_the_command_prints_the_orders_in_shares():
    from korvel._demo import format_actions

    market = one_name()
    res = korvel.backtest(weights_on(market, [(3, 1.0), (5, 0.5)]), market, trade_at="close", capital=CAPITAL)
    text = format_actions(res.actions)
    header, row = text.splitlines()[:2]
    assert "shares now" in header and "to trade" in header and "order value" in header
    delta = res.actions.loc["S0", "shares_delta"]
    assert f"{delta:,.2f}" in row and f"{res.actions.loc['S0', 'order_value']:,.2f}" in row
    assert "shares now" not in format_actions(korvel.backtest(weights_on(market, [(3, 1.0)]), market).actions)
