"""Backtest a momentum strategy on a synthetic market and report it.

    python -m korvel.demo [--instruments 300] [--days 1260] [--rebalance monthly]
                          [--stop-loss 0.1] [--take-profit 0.3] [--trail-stop 0.1]
                          [--touched-exit] [--position-limit 0.1] [--plot equity.png]

Prints a summary of the run (return, risk, trade statistics), the actions for
the next trading day by instrument, and with ``--plot`` writes a PNG with the
equity curve, its drawdown and the adverse / favourable excursion of every
trade.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from dataclasses import dataclass

import numpy as np

from korvel import synthetic

TRADING_DAYS = 252
# Layout of a trade's statistics snapshot (the last six values of its record).
ADVERSE, FAVOURABLE, FAVOURABLE_BEFORE_LOW, DRAWDOWN, PROFIT_DAYS, RETURN = range(6)

ACTION_TEXT = {
    "enter": "open position",
    "exit": "close position",
    "hold": "keep, resize to target",
    "tp": "close: exit signal at the upper bound",
    "sl": "close: exit signal at the lower bound",
    "tp_enter": "close and re-open: exit signal at the upper bound",
    "sl_enter": "close and re-open: exit signal at the lower bound",
    "tp_": "exited since last rebalance (take profit)",
    "sl_": "exited since last rebalance (stop)",
}
ACTION_ORDER = ["enter", "exit", "hold", "tp", "sl", "tp_enter", "sl_enter", "tp_", "sl_"]


@dataclass
class RunResult:
    """What one engine run leaves behind, in plain arrays."""

    equity: np.ndarray  # portfolio value per price row, starting capital 1
    trades: np.ndarray  # int64 (n, 3): instrument column, entry row, exit row (-1: still open)
    positions: np.ndarray  # float64 (n,): position (weight) at entry
    stats: np.ndarray  # float64 (n, 6): statistics at the exit, layout ADVERSE .. RETURN
    operations: dict | None  # the engine's operations record, None when it cannot hand it out
    seconds: float  # wall time of the engine call


def load_engine():
    """The engine module, or None when this build has no backtest_ yet."""
    try:
        from korvel.core import portsim
    except ImportError:
        return None
    return portsim if hasattr(portsim, "backtest_") else None


def exit_snapshots(records) -> np.ndarray:
    """(n, 6) array of the exit snapshot (the last six values) of each trade record."""
    if len(records) == 0:
        return np.empty((0, 6))
    return np.array([np.asarray(r, dtype=np.float64)[-6:] for r in records], dtype=np.float64)


def run_backtest(inputs: dict, **rules) -> RunResult:
    """Run the engine on `inputs` (see ``synthetic.backtest_inputs``) and collect its results."""
    portsim = load_engine()
    if portsim is None:
        raise RuntimeError("korvel.core.portsim has no backtest_ in this build")
    from korvel.core import excursion

    t0 = time.perf_counter()
    equity = portsim.backtest_(**inputs, **rules)
    seconds = time.perf_counter() - t0
    records = list(getattr(excursion, "trades", []))
    trades = np.array([[int(x) for x in r[:3]] for r in records], dtype=np.int64).reshape(-1, 3)
    positions = np.array([float(p) for p in getattr(excursion, "trade_positions", [])], dtype=np.float64)
    stats = exit_snapshots(getattr(excursion, "excursion", []))
    get_ops = getattr(portsim, "get_stock_operations", None)
    operations = get_ops() if callable(get_ops) else None
    return RunResult(np.asarray(equity), trades, positions, stats, operations, seconds)


# --------------------------------------------------------------------------- summary

def summarize(equity: np.ndarray, price_index: np.ndarray, trades: np.ndarray,
              stats: np.ndarray, first_row: int = 0) -> dict:
    """Performance and trade figures of a run.

    `equity` is the engine's curve (starting capital 1), `first_row` the first
    price row the strategy was live on (earlier rows only hold the capital).
    Returns are simple daily returns of the curve; volatility and Sharpe ratio
    are annualised with 252 rows a year and a zero risk-free rate; CAGR uses
    calendar time.  Trade figures come from the trade records: win rate and
    mean excursions from the statistics at each trade's exit, holding periods
    in rows (an open trade counts to the end of the history).
    """
    equity = np.asarray(equity, dtype=np.float64)
    dates = np.asarray(price_index, dtype=np.int64)
    T = equity.shape[0]
    first_row = int(min(max(first_row, 0), max(T - 1, 0)))
    live = equity[first_row:]
    out: dict = {}
    out["start"] = np.datetime64(int(dates[first_row]), "ns").astype("datetime64[D]") if T else None
    out["end"] = np.datetime64(int(dates[-1]), "ns").astype("datetime64[D]") if T else None
    out["rows"] = int(live.shape[0])
    out["final_equity"] = float(live[-1]) if live.size else math.nan
    years = (dates[-1] - dates[first_row]) / (365.25 * 86_400e9) if T else 0.0
    start_value = 1.0
    if years > 0 and live.size and live[-1] > 0:
        out["cagr"] = float((live[-1] / start_value) ** (1.0 / years) - 1.0)
    else:
        out["cagr"] = math.nan
    rets = live[1:] / live[:-1] - 1.0 if live.size > 1 else np.empty(0)
    if rets.size > 1:
        sd = float(np.std(rets, ddof=1))
        out["annual_volatility"] = sd * math.sqrt(TRADING_DAYS)
        out["sharpe"] = float(np.mean(rets)) / sd * math.sqrt(TRADING_DAYS) if sd > 0 else math.nan
    else:
        out["annual_volatility"] = math.nan
        out["sharpe"] = math.nan
    if live.size:
        peak = np.maximum.accumulate(np.maximum(live, start_value))
        out["max_drawdown"] = float(np.min(live / peak - 1.0))
    else:
        out["max_drawdown"] = math.nan

    trades = np.asarray(trades, dtype=np.int64).reshape(-1, 3)
    stats = np.asarray(stats, dtype=np.float64).reshape(-1, 6)
    n = trades.shape[0]
    out["trades"] = int(n)
    out["open_trades"] = int(np.count_nonzero(trades[:, 2] == -1))
    if n:
        exit_row = np.where(trades[:, 2] == -1, T, trades[:, 2])
        out["mean_holding_rows"] = float(np.mean(exit_row - trades[:, 1]))
    else:
        out["mean_holding_rows"] = math.nan
    if stats.shape[0]:
        ret = stats[:, RETURN]
        done = ~np.isnan(ret)
        out["win_rate"] = float(np.mean(ret[done] > 0)) if done.any() else math.nan
        out["mean_trade_return"] = float(np.nanmean(ret)) if done.any() else math.nan
        out["mean_adverse_excursion"] = _nanmean(stats[:, ADVERSE])
        out["mean_favourable_excursion"] = _nanmean(stats[:, FAVOURABLE])
    else:
        for k in ("win_rate", "mean_trade_return", "mean_adverse_excursion", "mean_favourable_excursion"):
            out[k] = math.nan
    return out


def _nanmean(x: np.ndarray) -> float:
    x = x[~np.isnan(x)]
    return float(x.mean()) if x.size else math.nan


def _pct(x: float, digits: int = 2) -> str:
    return "n/a" if x is None or not math.isfinite(x) else f"{100 * x:.{digits}f}%"


def _num(x: float, fmt: str) -> str:
    return "n/a" if x is None or not math.isfinite(x) else format(x, fmt)


def format_summary(s: dict) -> str:
    rows = [
        ("Period", f"{s['start']} .. {s['end']} ({s['rows']} rows)"),
        ("Final equity", _num(s["final_equity"], ".4f") + "  (start 1.0)"),
        ("CAGR", _pct(s["cagr"])),
        ("Annual volatility", _pct(s["annual_volatility"])),
        ("Sharpe ratio", _num(s["sharpe"], ".2f")),
        ("Max drawdown", _pct(s["max_drawdown"])),
        ("Trades", f"{s['trades']} ({s['open_trades']} still open)"),
        ("Win rate", _pct(s["win_rate"], 1)),
        ("Mean trade return", _pct(s["mean_trade_return"])),
        ("Mean holding period", _num(s["mean_holding_rows"], ".1f") + " rows"),
        ("Mean adverse excursion", _pct(s["mean_adverse_excursion"])),
        ("Mean favourable excursion", _pct(s["mean_favourable_excursion"])),
    ]
    width = max(len(k) for k, _ in rows)
    return "\n".join(f"  {k:<{width}}  {v}" for k, v in rows)


# --------------------------------------------------------------------------- actions

def next_actions(operations: dict, pos_columns: np.ndarray) -> list[tuple[str, str, float, float]]:
    """(instrument, action word, current weight, target weight) for every
    instrument with an action, ordered by action then instrument."""
    actions = operations.get("actions", {}) or {}
    weights = operations.get("weights", {}) or {}
    nxt = operations.get("next_weights", {}) or {}
    rank = {w: k for k, w in enumerate(ACTION_ORDER)}
    rows = []
    for sid, word in actions.items():
        sid = int(sid)
        name = str(pos_columns[sid]) if 0 <= sid < len(pos_columns) else f"#{sid}"
        rows.append((name, str(word), float(weights.get(sid, 0.0)), float(nxt.get(sid, 0.0))))
    rows.sort(key=lambda r: (rank.get(r[1], len(rank)), r[0]))
    return rows


def format_actions(rows, limit: int | None = None) -> str:
    if not rows:
        return "  no actions"
    shown = rows if limit is None else rows[:limit]
    width = max(10, max(len(r[0]) for r in shown))
    lines = [f"  {'instrument':<{width}}  {'action':<9} {'weight now':>10} {'target':>8}  meaning"]
    for name, word, w, w_next in shown:
        lines.append(f"  {name:<{width}}  {word:<9} {w:>10.4f} {w_next:>8.4f}  {ACTION_TEXT.get(word, '')}")
    if len(shown) < len(rows):
        lines.append(f"  ... and {len(rows) - len(shown)} more")
    counts = {}
    for r in rows:
        counts[r[1]] = counts.get(r[1], 0) + 1
    lines.append("  totals: " + ", ".join(f"{k} {v}" for k, v in counts.items()))
    return "\n".join(lines)


# --------------------------------------------------------------------------- plot

def plot_run(path: str, price_index: np.ndarray, equity: np.ndarray, stats: np.ndarray,
             first_row: int = 0, title: str = "") -> None:
    """Equity curve, drawdown, and adverse vs favourable excursion per trade."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    dates = np.asarray(price_index, dtype=np.int64)[first_row:].view("datetime64[ns]")
    live = np.asarray(equity, dtype=np.float64)[first_row:]
    drawdown = live / np.maximum.accumulate(np.maximum(live, 1.0)) - 1.0

    fig = plt.figure(figsize=(11, 8), constrained_layout=True)
    grid = fig.add_gridspec(2, 2, width_ratios=[2.2, 1], height_ratios=[2, 1])
    ax_eq = fig.add_subplot(grid[0, 0])
    ax_dd = fig.add_subplot(grid[1, 0], sharex=ax_eq)
    ax_ex = fig.add_subplot(grid[0:2, 1])
    ax_eq.plot(dates, live, color="#1f4e79", lw=1.2)
    ax_eq.axhline(1.0, color="grey", lw=0.6, ls=":")
    ax_eq.set_ylabel("equity (start = 1)")
    ax_eq.set_title(title or "Equity curve")
    ax_eq.grid(alpha=0.3)
    ax_dd.fill_between(dates, 100 * drawdown, 0, color="#b22222", alpha=0.4, lw=0)
    ax_dd.set_ylabel("drawdown %")
    ax_dd.grid(alpha=0.3)

    stats = np.asarray(stats, dtype=np.float64).reshape(-1, 6)
    ok = ~np.isnan(stats[:, RETURN]) & ~np.isnan(stats[:, ADVERSE]) & ~np.isnan(stats[:, FAVOURABLE])
    win = ok & (stats[:, RETURN] > 0)
    lose = ok & ~(stats[:, RETURN] > 0)
    size = 6 if ok.sum() > 2000 else 12
    ax_ex.scatter(100 * -stats[lose, ADVERSE], 100 * stats[lose, FAVOURABLE], s=size, c="#c0392b",
                  alpha=0.5, lw=0, label=f"losers ({lose.sum()})")
    ax_ex.scatter(100 * -stats[win, ADVERSE], 100 * stats[win, FAVOURABLE], s=size, c="#27ae60",
                  alpha=0.5, lw=0, label=f"winners ({win.sum()})")
    ax_ex.set_xlabel("adverse excursion, % against")
    ax_ex.set_ylabel("favourable excursion, % in favour")
    ax_ex.set_title("Excursion per trade")
    ax_ex.grid(alpha=0.3)
    ax_ex.legend(loc="upper right", fontsize=8)
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------------- command line

def parse_args(argv=None) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="python -m korvel.demo", description=__doc__.split("\n\n")[0])
    g = p.add_argument_group("market")
    g.add_argument("--instruments", type=int, default=300, help="number of instruments (300)")
    g.add_argument("--days", type=int, default=1260, help="number of business days (1260, five years)")
    g.add_argument("--seed", type=int, default=7, help="random seed of the market (7)")
    g.add_argument("--trade-at", choices=["open", "close", "typical"], default="open",
                   help="trading price: next open (default), close, or typical price")
    g = p.add_argument_group("strategy: equal-weight momentum")
    g.add_argument("--rebalance", choices=list(synthetic.FREQUENCIES), default="monthly")
    g.add_argument("--long", type=int, default=30, dest="n_long", help="instruments held long (30)")
    g.add_argument("--short", type=int, default=0, dest="n_short", help="instruments held short (0)")
    g.add_argument("--lookback", type=int, default=252, help="momentum lookback in rows (252)")
    g.add_argument("--skip", type=int, default=21, help="most recent rows left out of the momentum (21)")
    g = p.add_argument_group("trading rules")
    g.add_argument("--stop-loss", type=float, default=1.0, help="stop loss as a fraction (off)")
    g.add_argument("--take-profit", type=float, default=math.inf, help="take profit as a fraction (off)")
    g.add_argument("--trail-stop", type=float, default=math.inf, help="trailing-stop distance (off)")
    g.add_argument("--trail-activation", type=float, default=0.0, help="gain that arms the trailing stop (0)")
    g.add_argument("--touched-exit", action="store_true",
                   help="exit intraday when high/low/open touch a bound (default: on the close, next row)")
    g.add_argument("--position-limit", type=float, default=1.0, help="largest position, fraction of equity (1)")
    g.add_argument("--fee", type=float, default=0.001425, help="commission rate (0.001425)")
    g.add_argument("--tax", type=float, default=0.003, help="tax rate on sells (0.003)")
    g.add_argument("--retain-cost", action="store_true",
                   help="keep a holding's entry (and its trade record) through rebalances")
    g.add_argument("--no-stop-next-period", action="store_true",
                   help="allow the next rebalance to buy back instruments that were stopped out")
    g = p.add_argument_group("output")
    g.add_argument("--plot", metavar="PATH", help="write a PNG of equity, drawdown and excursions")
    g.add_argument("--max-actions", type=int, default=80, help="action rows to print (80)")
    return p.parse_args(argv)


def rules_from_args(a: argparse.Namespace) -> dict:
    return dict(
        fee_ratio=a.fee,
        tax_ratio=a.tax,
        stop_loss=a.stop_loss,
        take_profit=a.take_profit,
        trail_stop=a.trail_stop,
        trail_stop_activation=a.trail_activation,
        touched_exit=a.touched_exit,
        position_limit=a.position_limit,
        retain_cost_when_rebalance=a.retain_cost,
        stop_trading_next_period=not a.no_stop_next_period,
    )


def main(argv=None) -> int:
    a = parse_args(argv)
    if load_engine() is None:
        print("korvel.demo: the engine (korvel.core.portsim.backtest_) is not part of this build yet.",
              file=sys.stderr)
        return 2
    t0 = time.perf_counter()
    market = synthetic.generate_market(a.instruments, a.days, a.seed, trade_at=a.trade_at)
    try:
        weights = synthetic.momentum_weights(market, rebalance=a.rebalance, lookback=a.lookback,
                                             skip=a.skip, n_long=a.n_long, n_short=a.n_short)
    except ValueError as exc:
        print(f"korvel.demo: {exc}", file=sys.stderr)
        return 2
    inputs = synthetic.backtest_inputs(market, weights)
    t_data = time.perf_counter() - t0
    result = run_backtest(inputs, **rules_from_args(a))
    first_row = int(np.searchsorted(market.price_index, weights.pos_index[0]))
    summary = summarize(result.equity, market.price_index, result.trades, result.stats, first_row)

    side = f"long {a.n_long}" + (f" / short {a.n_short}" if a.n_short else "")
    print(f"Momentum {side}, {a.rebalance} rebalance, on {a.instruments} synthetic instruments "
          f"x {a.days} days (seed {a.seed}, trading at the {a.trade_at})")
    print(f"market and weights {t_data:.2f}s, backtest {result.seconds:.3f}s\n")
    print(format_summary(summary))

    last = np.datetime64(int(market.price_index[-1]), "ns").astype("datetime64[D]")
    tomorrow = np.busday_offset(last, 1, roll="forward")
    print(f"\nActions for the next trading day ({tomorrow}):")
    if result.operations is None:
        print("  (this build of the engine does not report its operations record yet)")
    else:
        ops = result.operations
        wt, nwt = ops.get("weight_time", -1), ops.get("next_weight_time", -1)
        if isinstance(wt, int) and 0 <= wt < len(weights.pos_index):
            when = weights.pos_index[wt].astype("datetime64[ns]").astype("datetime64[D]")
            print(f"  last applied weights dated {when}", end="")
            if isinstance(nwt, int) and 0 <= nwt < len(weights.pos_index) and nwt != wt:
                nwhen = weights.pos_index[nwt].astype("datetime64[ns]").astype("datetime64[D]")
                print(f"; weights dated {nwhen} are due", end="")
            print()
        print(format_actions(next_actions(ops, weights.pos_columns), a.max_actions))

    if a.plot:
        try:
            plot_run(a.plot, market.price_index, result.equity, result.stats, first_row,
                     title=f"Momentum {side}, {a.rebalance}")
        except ImportError:
            print("\n--plot needs matplotlib: pip install 'korvel[plot]'", file=sys.stderr)
            return 1
        print(f"\nplot written to {a.plot}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:  # output piped into head and the like
        sys.stderr.close()
        sys.exit(0)
