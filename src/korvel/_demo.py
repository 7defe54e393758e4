"""Backtest a momentum strategy on a synthetic market and report it.

    python -m korvel demo [--instruments 300] [--days 1260] [--rebalance monthly]
                          [--stop-loss 0.1] [--take-profit 0.3] [--trail-stop 0.1]
                          [--touched-exit] [--position-limit 0.1] [--plot run.png] [--report run.html]

Prints the run's figures (return, risk, trade statistics) and the orders for
the next trading day; ``--plot`` writes the chart as PNG, ``--report`` the
HTML report.  Everything goes through the pandas layer: ``korvel.Market``
once, then ``korvel.backtest``.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any

import pandas as pd

import korvel
from korvel import synthetic
from korvel.simulation._inputs import period_alias
from korvel.simulation._rules import TABLE, add_rule_options, rules_from_options


def add_arguments(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("market")
    g.add_argument("--instruments", type=int, default=300, help="number of instruments (300)")
    g.add_argument("--days", type=int, default=1260, help="number of business days (1260, five years)")
    g.add_argument("--seed", type=int, default=7, help="random seed of the market (7)")
    g = p.add_argument_group("strategy: equal-weight momentum")
    g.add_argument(
        "--rebalance",
        type=demo_frequency,
        default="monthly",
        metavar="ALIAS",
        help="the strategy's rebalance: B, W-FRI, ME or QE (or daily, weekly, monthly, quarterly); monthly",
    )
    g.add_argument("--long", type=int, default=30, dest="n_long", help="instruments held long (30)")
    g.add_argument("--short", type=int, default=0, dest="n_short", help="instruments held short (0)")
    g.add_argument("--lookback", type=int, default=252, help="momentum lookback in rows (252)")
    g.add_argument("--skip", type=int, default=21, help="most recent rows left out of the momentum (21)")
    add_rule_options(p, defaults=DEMO_COSTS, names=DEMO_RULES)
    g = p.add_argument_group("output")
    g.add_argument("--plot", metavar="PATH", help="write the chart (PNG)")
    g.add_argument("--report", metavar="PATH", help="write the HTML report")
    g.add_argument("--max-actions", type=int, default=40, help="order rows to print (40)")


#: The demo's periods by the offset aliases the run command takes.
_DEMO_PERIODS = {"B": "daily", "D": "daily", "W": "weekly", "ME": "monthly", "QE": "quarterly"}


def demo_frequency(text: str) -> str:
    """The demo strategy's period for an offset alias or a period word."""
    try:
        alias = period_alias(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    period = _DEMO_PERIODS.get(alias) or ("weekly" if alias.startswith("W-") else None)
    if period is None:
        raise argparse.ArgumentTypeError(
            f"the demo rebalances at B, W-FRI, ME or QE (or daily, weekly, monthly, quarterly), not {text!r}"
        )
    return period


# The demo trades with costs; its rebalance is a frequency of the strategy, not the rule.
DEMO_COSTS = {"fee": 0.001425, "tax": 0.003}
DEMO_RULES = tuple(
    rule.name for rule in TABLE if rule.name not in ("rebalance", "benchmark", "excursion_window", "excursion_step")
)


def format_actions(table: pd.DataFrame, limit: int | None = None) -> str:
    """The orders table as text, at most `limit` rows, with the counts per action."""
    if table.empty:
        return "  no holdings and nothing to do"
    shown = table if limit is None else table.iloc[:limit]
    width = max(10, max(len(str(i)) for i in shown.index))
    shares = "shares_delta" in table.columns
    extra = f" {'shares now':>12} {'to trade':>12} {'order value':>14}" if shares else ""
    lines = [f"  {'instrument':<{width}}  {'weight':>8} {'target':>8}{extra}  action"]
    for name, row in shown.iterrows():
        orders = (
            f" {row['shares_now']:>12,.2f} {row['shares_delta']:>12,.2f} {row['order_value']:>14,.2f}" if shares else ""
        )
        lines.append(f"  {str(name):<{width}}  {row['weight']:>8.4f} {row['target']:>8.4f}{orders}  {row['action']}")
    if len(shown) < len(table):
        lines.append(f"  ... and {len(table) - len(shown)} more")
    counts = table["action"].value_counts(sort=False)
    lines.append("  totals: " + ", ".join(f"{k} {v}" for k, v in counts.items()))
    return "\n".join(lines)


def equal_weight_index(market: korvel.Market) -> pd.Series:
    """The market's equal-weight index (the mean daily return of the instruments with a price), from 1.0."""
    daily: pd.Series = market.close.pct_change(fill_method=None).mean(axis=1).fillna(0.0)
    index: pd.Series = (1.0 + daily).cumprod().rename("equal-weight market")
    return index


def write_outputs(result: Any, plot: str | None, report: str | None) -> int:
    """Write the chart and the report when asked; 1 when the chart cannot be drawn."""
    if plot:
        try:
            result.plot().savefig(plot, dpi=110)
        except ImportError as exc:
            print(f"\n{exc}", file=sys.stderr)
            return 1
        print(f"\nchart written to {plot}")
    if report:
        result.report(report)
        print(f"report written to {report}")
    return 0


def main(a: argparse.Namespace) -> int:
    t0 = time.perf_counter()
    generated = synthetic.generate_market(a.instruments, a.days, a.seed)
    try:
        rows = synthetic.momentum_weights(
            generated, rebalance=a.rebalance, lookback=a.lookback, skip=a.skip, n_long=a.n_long, n_short=a.n_short
        )
    except ValueError as exc:
        print(f"korvel demo: {exc}", file=sys.stderr)
        return 2
    market, weights = synthetic.to_layer(generated, rows)
    if weights is None:  # to_layer was given weight rows
        raise RuntimeError("the demo's strategy gave no weights")
    t_data = time.perf_counter() - t0
    t0 = time.perf_counter()
    result = korvel.backtest(weights, market, benchmark=equal_weight_index(market), **rules_from_options(a))
    t_run = time.perf_counter() - t0

    side = f"long {a.n_long}" + (f" / short {a.n_short}" if a.n_short else "")
    print(
        f"Momentum {side}, {a.rebalance} rebalance, on {a.instruments} synthetic instruments "
        f"x {a.days} days (seed {a.seed}), trading at the next {a.trade_at}"
    )
    costs = ", ".join(f"{name} {getattr(a, name):g}" for name in DEMO_COSTS)
    own = all(getattr(a, name) == value for name, value in DEMO_COSTS.items())
    print(f"costs: {costs}" + (" (the demo's own; --fee and --tax change them)" if own else ""))
    print(f"market and weights {t_data:.2f}s, backtest {t_run:.3f}s (engine {result.engine_seconds:.3f}s)\n")
    print(result.summary())
    print_orders(result, a.max_actions)
    return write_outputs(result, a.plot, a.report)


def print_orders(result: Any, limit: int | None) -> None:
    """Tomorrow's orders, as the demo and `korvel run` print them."""
    actions = result.actions
    as_of = actions.attrs["as_of"].date()
    due = "a rebalance is due" if actions.attrs["rebalance_due"] else "no rebalance is due"
    print(f"\nOrders for the next trading day after {as_of} ({due}):")
    print(format_actions(actions, limit))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(prog="python -m korvel._demo", description=__doc__.split("\n\n")[0])
    add_arguments(parser)
    sys.exit(main(parser.parse_args()))
