"""Calling the engine directly: a long/short momentum book on a synthetic market.

    python examples/momentum_backtest.py

Builds a market and weekly weight rows with korvel.synthetic, runs
korvel.core.portsim.backtest_ with stops, and reads the three results: the
equity curve, the trade records (with their excursion statistics) and the
operations record for the next trading day.
"""

import numpy as np

from korvel import synthetic
from korvel.core import excursion, portsim

market = synthetic.generate_market(n_instruments=200, n_days=1000, seed=1)
weights = synthetic.momentum_weights(market, rebalance="weekly", lookback=126, skip=5, n_long=15, n_short=15)
inputs = synthetic.backtest_inputs(market, weights)

equity = portsim.backtest_(
    **inputs,
    stop_loss=0.08,
    take_profit=0.25,
    touched_exit=True,
    retain_cost_when_rebalance=True,
    excursion_window=10,
    excursion_window_step=5,
)
print(f"final equity {equity[-1]:.4f} after {len(equity)} rows")

# One record per trade: [weight column, entry row, exit row or -1], the position at entry, and the
# statistics: snapshots of six values at offsets 0, 5 (the window) and at the exit (last six).
print(f"{len(excursion.trades)} trades; the first three:")
for (sid, entry, exit_), pos, stats in list(zip(excursion.trades, excursion.trade_positions, excursion.excursion))[:3]:
    adverse, favourable, _, drawdown, profit_days, ret = np.asarray(stats)[-6:]
    print(
        f"  {weights.pos_columns[sid]} rows {entry}..{exit_} position {pos:+.3f}: "
        f"return {ret:+.2%}, adverse {adverse:+.2%}, favourable {favourable:+.2%}"
    )

# The same trades with dates and names.
listed, ops = portsim.get_trade_stocks(weights.pos_columns, market.price_index, True)
name, entry_date = listed[0][0], portsim.ioft(listed[0][1])
print(f"first trade: {name} entered {entry_date:%Y-%m-%d}")

# Tomorrow: the action words by instrument.
actions = portsim.get_stock_operations()["actions"]
for sid, word in sorted(actions.items())[:10]:
    print(f"  {weights.pos_columns[sid]}: {word}")
