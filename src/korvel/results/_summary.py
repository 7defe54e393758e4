"""The figures of a run as a text table (what `Result.summary()` and the demo print)."""

from __future__ import annotations

import math
from typing import Any

import pandas as pd

# (label, stats keys, format): "%" percent, "x" plain number, "d" integer, "t" date, "days".
LINES: tuple[tuple[str, str, str], ...] = (
    ("Total return", "total_return", "%"),
    ("CAGR", "cagr", "%"),
    ("Annual volatility", "annual_volatility", "%"),
    ("Sharpe ratio", "sharpe", "x"),
    ("Sortino ratio", "sortino", "x"),
    ("Calmar ratio", "calmar", "x"),
    ("Max drawdown", "max_drawdown", "%"),
    ("Drawdown peak / trough", "max_drawdown_peak,max_drawdown_trough", "t"),
    ("Drawdown recovered", "max_drawdown_recovery", "t"),
    ("Longest drawdown", "longest_drawdown_days", "days"),
    ("Exposure", "exposure", "%"),
    ("Trades (still open)", "trades,open_trades", "d"),
    ("Win rate", "win_rate", "%"),
    ("Profit factor", "profit_factor", "x"),
    ("Average win / loss", "avg_win,avg_loss", "%"),
    ("Average trade return", "avg_trade_return", "%"),
    ("Average holding", "avg_holding_days", "rows"),
    ("Mean MAE / MFE", "mean_mae,mean_mfe", "%"),
    ("Turnover (one-sided, a year)", "turnover", "x"),
    ("Fees / taxes paid", "fees_paid,taxes_paid", "%"),
    ("Cost drag (a year)", "cost_drag", "%"),
    ("Benchmark total return", "benchmark_total_return", "%"),
    ("Benchmark CAGR / volatility", "benchmark_cagr,benchmark_volatility", "%"),
    ("Benchmark Sharpe ratio", "benchmark_sharpe", "x"),
    ("Benchmark max drawdown", "benchmark_max_drawdown", "%"),
    ("Beta / alpha", "beta,alpha", "x%"),
    ("Correlation", "correlation", "x"),
    ("Tracking error", "tracking_error", "%"),
    ("Information ratio", "information_ratio", "x"),
    ("Up / down capture", "up_capture,down_capture", "x"),
)


#: The prefix of the counts of exits by reason.
EXITS = "exits_"


def format_value(value: Any, kind: str) -> str:
    if value is None or value is pd.NaT or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    if kind == "%":
        return f"{100 * value:.2f}%"
    if kind == "x":
        return f"{value:.2f}"
    if kind == "d":
        return f"{int(value):,}"
    if kind == "t":
        return str(value.date()) if hasattr(value, "date") else str(value)
    if kind == "days":
        return f"{value:.0f} days"
    if kind == "rows":
        return f"{value:.1f} rows"
    return str(value)


def stat_rows(stats: pd.Series) -> list[tuple[str, str]]:
    """(label, formatted value) of every figure present, the period first."""
    rows = [("Period", f"{stats['start'].date()} .. {stats['end'].date()}")]
    for label, keys, kind in LINES:
        names = keys.split(",")
        if names[0] not in stats.index:
            continue
        kinds = list(kind) if len(kind) == len(names) else [kind] * len(names)
        text = " / ".join(format_value(stats[n], k) for n, k in zip(names, kinds))
        if names[0] == "trades":
            text = f"{format_value(stats['trades'], 'd')} ({format_value(stats['open_trades'], 'd')})"
        rows.append((label, text))
        if names[0] == "cost_drag":
            rows.extend(_exit_rows(stats))
    return rows


def _exit_rows(stats: pd.Series) -> list[tuple[str, str]]:
    """One line of the closed trades' counts by exit reason (`exits_<reason>`), the reasons as the run names them."""
    keys = [key for key in stats.index if isinstance(key, str) and key.startswith(EXITS)]
    if not keys:
        return []
    counts = (f"{format_value(stats[key], 'd')} {key.removeprefix(EXITS).replace('_', ' ')}" for key in keys)
    return [("Exits by reason", ", ".join(counts))]


def trades_at(trade_at: str, has_open: bool) -> str:
    """Where the trades were made, in words: the row after the weight date, at its open or close."""
    if trade_at == "open" and not has_open:
        return "trade at the next close (no open prices)"
    return f"trade at the next {trade_at}"


def summary_text(stats: pd.Series, config: dict[str, Any] | None = None, *, has_open: bool = True) -> str:
    rows = stat_rows(stats)
    if config:
        costs = f"fee {config['fee']:.4%}, tax {config['tax']:.4%}"
        where = trades_at(config["trade_at"], has_open)
        trades = "a record per rebalance" if config.get("split_at_rebalance") else "one trade per holding"
        rows.append(("Rules", f"{where}, rebalance {config['rebalance']}, {costs}, {trades}"))
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"  {label:<{width}}  {text}" for label, text in rows)
