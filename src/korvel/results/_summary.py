"""The figures of a run as a text table (what `Result.summary()` and the demo print)."""

from __future__ import annotations

import math
from typing import Any

import pandas as pd

from korvel.results._stat_table import TABLE, lines

#: The prefix of the counts of exits by reason.
EXITS = next(stat.key for stat in TABLE if stat.family)


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
    """(label, formatted value) of every line whose first figure is present, in the table's order."""
    rows = []
    for label, members, join in lines():
        first = members[0]
        if first.family:
            rows.extend(_exit_rows(label, stats))
        elif first.key in stats.index:
            rows.append((label, join.format(*(format_value(stats[s.key], s.format) for s in members))))
    return rows


def _exit_rows(label: str, stats: pd.Series) -> list[tuple[str, str]]:
    """One line of the closed trades' counts by exit reason (`exits_<reason>`), the reasons as the run names them."""
    keys = [key for key in stats.index if isinstance(key, str) and key.startswith(EXITS)]
    if not keys:
        return []
    counts = (f"{format_value(stats[key], 'd')} {key.removeprefix(EXITS).replace('_', ' ')}" for key in keys)
    return [(label, ", ".join(counts))]


def trades_at(trade_at: str, has_open: bool) -> str:
    """Where the trades were made, in words: the row after the weight date, at its open or close."""
    if trade_at == "open" and not has_open:
        return "trade at the next close (no open prices)"
    return f"trade at the next {trade_at}"


def money_text(config: dict[str, Any]) -> str:
    """The money rules of a run that are not at their defaults, in words (", ..." each; "" for none)."""
    words = []
    if config.get("max_gross", 1.0) != 1.0:
        words.append(f"gross up to {config['max_gross']:g} x the portfolio")
    if config.get("slippage", 0.0):
        words.append(f"slippage {config['slippage']:.4%} of the price")
    for key, text in (("cash_rate", "cash at"), ("margin_rate", "margin at"), ("borrow_fee", "borrow at")):
        value = config.get(key)
        if isinstance(value, (pd.Series, pd.DataFrame)):
            words.append(f"{text} rates by {'date' if key != 'borrow_fee' else 'instrument or date'}")
        elif value:
            words.append(f"{text} {value:.2%} a year")
    if config.get("band", 0.0) or config.get("band_rel", 0.0):
        words.append(f"band {config['band']:.2%} / {config['band_rel']:.0%} of the target")
    return "".join(", " + w for w in words)


def stops_text(config: dict[str, Any]) -> str:
    """The stop rules of a run in words, each level as the engine sets it; "" without stops."""
    words = []
    if config.get("stop_loss") is not None:
        words.append(f"stop loss {config['stop_loss']:.2%} below the entry price")
    if config.get("take_profit") is not None:
        words.append(f"take profit {config['take_profit']:.2%} above it")
    trail = config.get("trail_stop")
    if trail is not None:
        if config.get("trail_from") == "peak":
            words.append(f"trailing stop {trail:.2%} below the peak")
        else:
            words.append(f"trailing stop {100 * trail:.2f} points of the entry price below the best trading price")
        if config.get("trail_activation") is not None:
            words[-1] += f" from a {config['trail_activation']:.2%} gain"
    if not words:
        return ""
    when = "on high / low / open, the same row" if config.get("touched_exit") else "on the close, sold on the next row"
    return f"{', '.join(words)}; {when} (a short's mirrored)"


def summary_text(stats: pd.Series, config: dict[str, Any] | None = None, *, has_open: bool = True) -> str:
    rows = stat_rows(stats)
    if config:
        # The commission and tax of a purchase come out of the holding bought, not out of cash.
        costs = f"fee {config['fee']:.4%}, tax {config['tax']:.4%} (a purchase's paid out of the holding bought)"
        where = trades_at(config["trade_at"], has_open)
        trades = "a record per rebalance" if config.get("split_at_rebalance") else "one trade per holding"
        rows.append(("Rules", f"{where}, rebalance {config['rebalance']}, {costs}{money_text(config)}, {trades}"))
        stops = stops_text(config)
        if stops:
            rows.append(("Stops", stops))
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"  {label:<{width}}  {text}" for label, text in rows)
