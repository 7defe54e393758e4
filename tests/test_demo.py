import math

import numpy as np
import pytest

from korvel import demo

DAY = 86_400 * 10**9


def _dates(n, step_days=1):
    return np.arange(n, dtype=np.int64) * step_days * DAY + 18_000 * DAY


class TestSummary:
    def test_return_and_risk_figures(self):
        # two live years (730.5 days between first and last row), equity 1 -> 1.21
        dates = np.array([0, 100, 200, 300, 400, 500, 730.5], dtype=np.float64)
        dates = (dates * DAY).astype(np.int64) + 18_000 * DAY
        equity = np.array([1.0, 1.0, 1.0, 1.1, 0.99, 1.05, 1.32, 1.21])  # row 0 is before the strategy
        s = demo.summarize(equity, np.r_[dates[0] - DAY, dates], np.empty((0, 3)), np.empty((0, 6)),
                           first_row=1)
        assert s["rows"] == 7 and s["final_equity"] == pytest.approx(1.21)
        assert s["cagr"] == pytest.approx(0.1)
        assert s["max_drawdown"] == pytest.approx(0.99 / 1.1 - 1)
        rets = np.array([0.0, 0.1, 0.99 / 1.1 - 1, 1.05 / 0.99 - 1, 1.32 / 1.05 - 1, 1.21 / 1.32 - 1])
        assert s["annual_volatility"] == pytest.approx(rets.std(ddof=1) * math.sqrt(252))
        assert s["sharpe"] == pytest.approx(rets.mean() / rets.std(ddof=1) * math.sqrt(252))
        assert s["start"] == np.datetime64(int(dates[0]), "ns").astype("datetime64[D]")

    def test_drawdown_counts_from_the_starting_capital(self):
        equity = np.array([1.0, 0.9, 0.8, 0.95])
        s = demo.summarize(equity, _dates(4), np.empty((0, 3)), np.empty((0, 6)))
        assert s["max_drawdown"] == pytest.approx(-0.2)

    def test_trade_figures(self):
        trades = np.array([[0, 2, 5], [1, 3, 9], [2, 4, -1], [0, 6, 8]])
        stats = np.zeros((4, 6))
        stats[:, demo.RETURN] = [0.05, -0.02, 0.01, np.nan]  # an unpriced trade has no return
        stats[:, demo.ADVERSE] = [-0.01, -0.04, -0.03, np.nan]
        stats[:, demo.FAVOURABLE] = [0.07, 0.0, 0.02, np.nan]
        s = demo.summarize(np.ones(10), _dates(10), trades, stats)
        assert s["trades"] == 4 and s["open_trades"] == 1
        assert s["mean_holding_rows"] == pytest.approx((3 + 6 + (10 - 4) + 2) / 4)
        assert s["win_rate"] == pytest.approx(2 / 3)
        assert s["mean_trade_return"] == pytest.approx(0.04 / 3)
        assert s["mean_adverse_excursion"] == pytest.approx(-0.08 / 3)
        assert s["mean_favourable_excursion"] == pytest.approx(0.03)

    def test_flat_run_without_trades_formats(self):
        s = demo.summarize(np.ones(5), _dates(5), np.empty((0, 3)), np.empty((0, 6)))
        assert s["trades"] == 0 and math.isnan(s["win_rate"]) and math.isnan(s["sharpe"])
        assert s["max_drawdown"] == 0.0 and s["cagr"] == pytest.approx(0.0)
        text = demo.format_summary(s)
        assert "Win rate" in text and "n/a" in text

    def test_exit_snapshot_is_the_last_six_values(self):
        with_window = np.r_[np.arange(12.0), [-0.1, 0.2, 0.15, -0.05, 3, 0.07]]
        snaps = demo.exit_snapshots([np.arange(6.0) + 1, with_window])
        assert snaps.shape == (2, 6)
        assert snaps[0].tolist() == [1, 2, 3, 4, 5, 6]
        assert snaps[1].tolist() == [-0.1, 0.2, 0.15, -0.05, 3, 0.07]
        assert demo.exit_snapshots([]).shape == (0, 6)


class TestActions:
    def test_names_order_and_weights(self):
        ops = {"actions": {4: "exit", 1: "enter", 0: "sl", 2: "hold"},
               "weights": {4: 0.25, 2: 0.25, 0: 0.25}, "next_weights": {1: 0.3, 2: 0.3},
               "weight_time": 3, "next_weight_time": 4}
        cols = np.array(["AAA", "BBB", "CCC", "DDD", "EEE"], dtype=object)
        rows = demo.next_actions(ops, cols)
        assert rows == [("BBB", "enter", 0.0, 0.3), ("EEE", "exit", 0.25, 0.0),
                        ("CCC", "hold", 0.25, 0.3), ("AAA", "sl", 0.25, 0.0)]
        text = demo.format_actions(rows, limit=2)
        assert "BBB" in text and "and 2 more" in text and "AAA" not in text.split("totals")[0]

    def test_no_actions(self):
        assert "no actions" in demo.format_actions(demo.next_actions({"actions": {}}, np.array([], object)))


def test_plot_writes_png(tmp_path):
    pytest.importorskip("matplotlib")
    stats = np.array([[-0.05, 0.1, 0.1, -0.08, 3, 0.04], [-0.1, 0.02, 0.0, -0.11, 1, -0.09]])
    path = tmp_path / "run.png"
    demo.plot_run(str(path), _dates(30), np.linspace(1, 1.2, 30), stats)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_main_without_engine_reports_it(monkeypatch, capsys):
    monkeypatch.setattr(demo, "load_engine", lambda: None)
    assert demo.main(["--instruments", "10", "--days", "300"]) == 2
    assert "not part of this build" in capsys.readouterr().err


@pytest.mark.skipif(demo.load_engine() is None, reason="engine backtest_ not built yet")
class TestWithEngine:
    ARGS = ["--instruments", "40", "--days", "400", "--lookback", "60", "--skip", "5", "--long", "6"]

    def test_summary_of_a_real_run(self):
        from korvel import synthetic

        m = synthetic.generate_market(40, 400, seed=4)
        w = synthetic.momentum_weights(m, rebalance="weekly", lookback=60, skip=5, n_long=5, n_short=5)
        r = demo.run_backtest(synthetic.backtest_inputs(m, w), stop_loss=0.08, take_profit=0.15)
        assert r.equity.shape == (400,) and r.trades.shape[0] == r.stats.shape[0] == r.positions.shape[0]
        assert r.trades.shape[0] > 0
        first = int(np.searchsorted(m.price_index, w.pos_index[0]))
        s = demo.summarize(r.equity, m.price_index, r.trades, r.stats, first)
        assert s["final_equity"] == r.equity[-1] and s["trades"] == r.trades.shape[0]
        assert s["mean_adverse_excursion"] <= 0 <= s["mean_favourable_excursion"]
        assert 0 <= s["win_rate"] <= 1 and s["max_drawdown"] <= 0
        assert np.all(r.trades[:, 1] >= first)  # nothing is traded before the first weight row

    def test_command_line(self, capsys, tmp_path):
        args = self.ARGS + ["--stop-loss", "0.1", "--touched-exit"]
        if pytest.importorskip("matplotlib", reason="plot needs matplotlib"):
            args += ["--plot", str(tmp_path / "p.png")]
        assert demo.main(args) == 0
        out = capsys.readouterr().out
        for label in ("Final equity", "Sharpe ratio", "Max drawdown", "Win rate", "Actions for the next"):
            assert label in out
        assert (tmp_path / "p.png").exists()
