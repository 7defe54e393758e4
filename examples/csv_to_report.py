"""From a CSV of closing prices to an HTML report.

    python examples/csv_to_report.py

Writes a small CSV of made-up closes (closes.csv: a date column, then one
column per instrument), reads it back as a user with their own file would,
and backtests a monthly momentum strategy on it: the five lines after the
CSV is written are all a backtest needs.
"""

import numpy as np
import pandas as pd

import korvel

# A CSV as a data vendor or a spreadsheet writes it: dates in the first column, one column per instrument.
rng = np.random.default_rng(1)
dates = pd.bdate_range("2020-01-01", periods=750)
prices = 100 * np.exp(np.cumsum(rng.normal(0.0003, 0.015, (len(dates), 12)), axis=0))
pd.DataFrame(prices, index=pd.Index(dates, name="date"), columns=[f"STOCK{k}" for k in range(12)]).round(2).to_csv(
    "closes.csv"
)

# The five lines: read the closes, decide the weights, backtest, write the report.
closes = pd.read_csv("closes.csv", index_col=0, parse_dates=True)
top = closes.pct_change(60, fill_method=None).rank(axis=1, ascending=False) <= 3  # best 3 over 60 rows
weights = top.div(top.sum(axis=1), axis=0).dropna()  # equal weights, decided at each close
res = korvel.backtest(weights, closes, rebalance="ME", fee=0.001)  # traded after each month's last close
res.report("run.html")

print(res.summary())
print("report written to run.html")
