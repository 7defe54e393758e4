"""Small markets and weights for the pandas layer's tests, with the engine arguments they stand for."""

import numpy as np
import pandas as pd

from korvel import synthetic

# Filters for the warnings that the synthetic markets give on purpose: their instruments list late and
# have gaps, so momentum weights fall on instruments without a price (and sweeps over them say so).
# (A filter's fields are separated by colons: "." stands for the colon of a message.)
UNPRICED = "ignore:weights. .* a weight on a trade date without a trading price:korvel.KorvelWarning"
SWEEP_SAID = "ignore:.* combinations left warnings:korvel.KorvelWarning"
LATE_BENCHMARK = "ignore:benchmark .*no price on:korvel.KorvelWarning"


def market_and_weights(n=12, days=160, seed=3, *, rebalance="weekly", n_long=3, n_short=2, **market):
    """(synthetic market, its weight rows, korvel.Market, weights DataFrame)."""
    generated = synthetic.generate_market(n, days, seed, **market)
    rows = synthetic.momentum_weights(
        generated, rebalance=rebalance, lookback=20, skip=2, n_long=n_long, n_short=n_short
    )
    layer_market, weights = synthetic.to_layer(generated, rows)
    return generated, rows, layer_market, weights


def closes(values, start="2024-01-01", freq="B", columns=None, tz=None):
    values = np.asarray(values, dtype=float)
    index = pd.date_range(start, periods=values.shape[0], freq=freq, tz=tz)
    columns = columns or [f"S{k}" for k in range(values.shape[1])]
    return pd.DataFrame(values, index=index, columns=columns)
