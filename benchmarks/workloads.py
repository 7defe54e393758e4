"""Benchmark workloads: synthetic markets, weight rows and trading rules.

Timed workloads (korvel only, full rules):
  W1  wide monthly  5000 rows x 2000 instruments, monthly into 50 longs, stop loss 0.1,
                    take profit 0.3, trailing stop 0.1 armed at +5%, excursion window 20 step 5,
                    default fees
  W2  daily l/s     2500 x 500, a new weight row every row, 100 long / 100 short, engine defaults
  W3  touched       W1 with touched_exit
  W4  scale         10000 x 4000, monthly into 200 longs, W1's rules
  W2R               W2 with retain_cost_when_rebalance: holdings are not split into a new trade
                    record at every rebalance

Peer workloads (what the peers can express: target weights, no stops):
  P1 / P2   W1 / W2 market and weight rows; commission only, no tax, no stops
  X1 / X2   exact: W1 / W2 shapes on a clean market (no gaps, listings or delistings), trading
            at the close, no fees, no stops -> equity curves must agree
  XB        reduced W1 for bt: 2500 x 1000, monthly into 50, exact settings

The markets trade at the next open (signals on the close, orders at the open)
unless the workload says otherwise.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

from korvel import synthetic

FEE = 0.001425
TAX = 0.003

W1_RULES = dict(
    stop_loss=0.1,
    take_profit=0.3,
    trail_stop=0.1,
    trail_stop_activation=0.05,
    excursion_window=20,
    excursion_window_step=5,
)
# No exit rule can fire: the engine's default stop_loss of 1.0 still closes a short whose
# price doubles, so the stop is switched off explicitly.
NO_STOPS = dict(stop_loss=math.inf, take_profit=math.inf, trail_stop=math.inf)
EXACT_RULES = dict(NO_STOPS, fee_ratio=0.0, tax_ratio=0.0)
CLEAN = dict(missing_runs=0.0, late_listing_fraction=0.0, delisting_fraction=0.0)


@dataclass(frozen=True)
class Workload:
    key: str
    title: str
    rows: int
    instruments: int
    rebalance: str
    n_long: int
    n_short: int = 0
    rules: dict = field(default_factory=dict)
    lookback: int = 252
    skip: int = 21
    market: dict = field(default_factory=dict)  # extra generate_market arguments
    repeat: int = 7
    seed: int = 2024
    gross: float = 1.0

    @property
    def holdings(self) -> int:
        return self.n_long + self.n_short

    def describe(self) -> str:
        side = f"{self.n_long} long" + (f" / {self.n_short} short" if self.n_short else "")
        text = f"{self.rows} rows x {self.instruments} instruments, {self.rebalance}, {side}"
        rules = ", ".join(f"{k}={v}" for k, v in self.rules.items())
        market = ", ".join(f"{k}={v}" for k, v in self.market.items())
        return text + (f"; {rules}" if rules else "; engine defaults") + (f"; market {market}" if market else "")

    def build(self):
        """(market, weights, backtest_ keyword arguments including the rules)."""
        m = synthetic.generate_market(self.instruments, self.rows, self.seed, **self.market)
        w = synthetic.momentum_weights(
            m,
            rebalance=self.rebalance,
            lookback=self.lookback,
            skip=self.skip,
            n_long=self.n_long,
            n_short=self.n_short,
            gross=self.gross,
        )
        args = synthetic.backtest_inputs(m, w)
        args.update(self.rules)
        return m, w, args

    def scaled(self, factor: float) -> Workload:
        """Smaller copy for smoke runs of the benchmark scripts."""
        rows = max(400, int(self.rows * factor))
        inst = max(60, int(self.instruments * factor))
        lb = min(self.lookback, rows // 4)
        return Workload(
            self.key,
            self.title + " (scaled)",
            rows,
            inst,
            self.rebalance,
            max(2, int(self.n_long * factor)),
            int(self.n_short * factor) if self.n_short else 0,
            self.rules,
            lb,
            min(self.skip, lb // 4),
            self.market,
            min(self.repeat, 2),
            self.seed,
            self.gross,
        )


W1 = Workload("W1", "wide monthly", 5000, 2000, "monthly", 50, rules=W1_RULES)
W2 = Workload("W2", "daily long/short", 2500, 500, "daily", 100, 100, lookback=21, skip=1)
W3 = Workload("W3", "touched", 5000, 2000, "monthly", 50, rules=dict(W1_RULES, touched_exit=True))
W4 = Workload("W4", "scale", 10000, 4000, "monthly", 200, rules=W1_RULES, repeat=5)

# W2 with holdings kept through rebalances: without it every held position is closed and
# re-opened as a new trade record at each (here daily) rebalance.
W2R = Workload(
    "W2R",
    "daily l/s, holdings kept",
    2500,
    500,
    "daily",
    100,
    100,
    lookback=21,
    skip=1,
    rules=dict(retain_cost_when_rebalance=True),
)

P1 = Workload(
    "P1",
    "W1 as peers run it",
    5000,
    2000,
    "monthly",
    50,
    rules=dict(NO_STOPS, fee_ratio=FEE, tax_ratio=0.0, excursion_window=20, excursion_window_step=5),
)
P2 = Workload(
    "P2",
    "W2 as peers run it",
    2500,
    500,
    "daily",
    100,
    100,
    lookback=21,
    skip=1,
    rules=dict(NO_STOPS, fee_ratio=FEE, tax_ratio=0.0),
)
X1 = Workload("X1", "W1 exact", 5000, 2000, "monthly", 50, rules=EXACT_RULES, market=dict(CLEAN, trade_at="close"))
X2 = Workload(
    "X2",
    "W2 exact",
    2500,
    500,
    "daily",
    100,
    100,
    lookback=21,
    skip=1,
    rules=EXACT_RULES,
    market=dict(CLEAN, trade_at="close"),
)
XB = Workload(
    "XB",
    "reduced W1 exact (bt)",
    2500,
    1000,
    "monthly",
    50,
    rules=EXACT_RULES,
    market=dict(CLEAN, trade_at="close"),
    repeat=3,
)

ALL = {w.key: w for w in (W1, W2, W2R, W3, W4, P1, P2, X1, X2, XB)}
KORVEL_ONLY = ("W1", "W2", "W2R", "W3", "W4")
