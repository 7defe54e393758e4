"""Small markets and weights for the pandas layer's tests, with the engine arguments they stand for."""

import numpy as np
import pandas as pd

from korvel import synthetic


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
