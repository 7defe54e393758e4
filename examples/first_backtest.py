"""A first backtest on the pandas layer: monthly momentum computed from a DataFrame of closes.

    python examples/first_backtest.py

The strategy is plain pandas on `market.close`; korvel.backtest does the
rest: trades at the next open after each month's last close, stops, costs,
and a report.
"""

import korvel
from korvel import synthetic

# Any DataFrames of prices (dates x instruments) will do; here a synthetic market.
market, _ = synthetic.to_layer(synthetic.generate_market(n_instruments=200, n_days=1000, seed=1))
closes = market.close

# At each month's last row: the 20 instruments with the best 6-month return, equal weight.
momentum = closes.pct_change(126, fill_method=None)
month_ends = closes.groupby(closes.index.to_period("M")).tail(1).index
top = momentum.loc[month_ends].rank(axis=1, ascending=False) <= 20
weights = top.div(top.sum(axis=1), axis=0).dropna()

res = korvel.backtest(weights, market, fee=0.001, tax=0.001, stop_loss=0.15)
print(res.summary())
print(res.trades.groupby("exit_reason", observed=True)["return"].describe()[["count", "mean"]])
print(res.actions.head(10))
res.report("first_backtest.html")
print("report written to first_backtest.html")
