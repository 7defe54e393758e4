"""Seeded synthetic markets and strategy weights for demos, tests and benchmarks.

`generate_market` draws N instruments over T business days: a common market
factor with volatility clustering, per-instrument betas, drifts and
volatilities spread over a realistic range, an overnight gap and an intraday
range, so that every row satisfies low <= open, close <= high.  Prices go
missing in runs (suspensions), some instruments list late and some are
delisted; the delisting row still carries a price and every row after it is
missing.

`momentum_weights` turns a market into weight rows (top / bottom momentum,
equal weight) on daily, weekly or monthly rebalance dates, and
`backtest_inputs` lays both out as the keyword arguments of
``korvel.core.portsim.backtest_``; `to_layer` hands them to the pandas layer
(``korvel.Market`` and a weights DataFrame).

Everything is vectorised NumPy; 10000 days x 4000 instruments take a few
seconds and about 1.6 GB for the five price tables.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from korvel._typing import NS_PER_DAY

if TYPE_CHECKING:
    import pandas as pd

    from korvel._market import Market as LayerMarket

__all__ = [
    "Market",
    "Weights",
    "generate_market",
    "rebalance_dates",
    "momentum_weights",
    "backtest_inputs",
    "business_days",
    "to_layer",
]

TRADING_DAYS = 252
# Rows generated per block: keeps the temporaries small and cache friendly.
_BLOCK_ROWS = 256


@dataclass(frozen=True, eq=False)
class Market:
    """Aligned daily price tables, rows = dates, columns = instruments.

    `price_values` is the trading price (every trade happens at it); it is the
    same array object as `open_values` or `close_values` when the market was
    generated with ``trade_at="open"`` or ``"close"``.
    """

    price_values: np.ndarray
    close_values: np.ndarray
    high_values: np.ndarray
    low_values: np.ndarray
    open_values: np.ndarray
    price_index: np.ndarray  # int64 nanoseconds since the epoch, business days
    price_columns: np.ndarray  # 1-D object array of str
    delisting_bars: np.ndarray  # int64 per column: row of delisting, or -1
    listing_bars: np.ndarray  # int64 per column: first row with a price
    annual_volatility: np.ndarray  # float64 per column, the generating volatility
    seed: int | None = None
    trade_at: str = "open"
    # Shares traded per row (NaN where there is no close), or None.
    volume_values: np.ndarray | None = None

    @property
    def n_days(self) -> int:
        return int(self.price_index.shape[0])

    @property
    def n_instruments(self) -> int:
        return int(self.price_columns.shape[0])

    @property
    def dates(self) -> np.ndarray:
        return self.price_index.view("datetime64[ns]")

    @property
    def nbytes(self) -> int:
        """Bytes held by the distinct price tables."""
        tables = {
            id(t): t
            for t in (self.price_values, self.close_values, self.high_values, self.low_values, self.open_values)
        }
        return sum(t.nbytes for t in tables.values())


@dataclass(frozen=True, eq=False)
class Weights:
    """Weight rows of a strategy, ready for the engine."""

    pos_values: np.ndarray  # float64, R x S
    pos_index: np.ndarray  # int64 date of each weight row
    pos_columns: np.ndarray  # 1-D object array of str
    resample: np.ndarray  # int64 rebalance dates
    rows: np.ndarray = field(default_factory=lambda: np.empty(0, np.int64))  # price row of each weight row


def business_days(start: str, n_days: int) -> np.ndarray:
    """`n_days` consecutive business days (Mon-Fri) from `start`, as int64 nanoseconds."""
    first = np.busday_offset(np.datetime64(start, "D"), 0, roll="forward")
    days = np.busday_offset(first, np.arange(n_days), roll="forward")
    return days.astype("datetime64[ns]").view(np.int64)


def _column_names(n: int) -> np.ndarray:
    width = max(4, len(str(n - 1)))
    names = np.empty(n, dtype=object)
    names[:] = [f"S{i:0{width}d}" for i in range(n)]
    return names


def _volatility_regime(rng: np.random.Generator, n_days: int, persistence: float, shock: float) -> np.ndarray:
    """Common volatility multiplier with clustering; its mean square is about 1."""
    eta = rng.normal(0.0, shock, n_days)
    log_v = np.empty(n_days)
    # AR(1) in log volatility, started from its stationary distribution.
    stationary_var = shock * shock / (1.0 - persistence * persistence)
    level = rng.normal(0.0, np.sqrt(stationary_var))
    for t in range(n_days):  # 1-D and short: a plain loop is fast enough
        level = persistence * level + eta[t]
        log_v[t] = level
    return np.exp(log_v - stationary_var)


def generate_market(
    n_instruments: int = 300,
    n_days: int = 756,
    seed: int | None = 0,
    *,
    start: str = "2015-01-02",
    trade_at: str = "open",
    market_volatility: float = 0.16,
    median_volatility: float = 0.30,
    volatility_dispersion: float = 0.45,
    missing_runs: float = 1.5,
    mean_missing_run: float = 4.0,
    late_listing_fraction: float = 0.15,
    delisting_fraction: float = 0.08,
) -> Market:
    """Draw a synthetic market of `n_instruments` x `n_days` business days.

    Parameters
    ----------
    trade_at : "open", "close" or "typical"
        Which price the trading price is: the open, the close, or the typical
        price (high + low + close) / 3.
    market_volatility : annual volatility of the common factor.
    median_volatility, volatility_dispersion : instrument volatilities are
        log-normal with this median and log standard deviation (clipped to
        6% .. 120%).
    missing_runs : expected number of runs of missing prices per instrument
        over the whole history; run lengths are geometric with mean
        `mean_missing_run` rows.
    late_listing_fraction : share of instruments whose first price comes after
        the first row.
    delisting_fraction : share of instruments delisted before the last row.
    """
    if n_instruments < 1 or n_days < 2:
        raise ValueError("need at least 1 instrument and 2 days")
    if trade_at not in ("open", "close", "typical"):
        raise ValueError(f"trade_at must be 'open', 'close' or 'typical', not {trade_at!r}")
    if mean_missing_run < 1:
        raise ValueError("mean_missing_run must be at least 1")
    rng = np.random.default_rng(seed)
    T, N = n_days, n_instruments

    # Per-instrument parameters.
    vol = np.exp(rng.normal(np.log(median_volatility), volatility_dispersion, N)).clip(0.06, 1.2)
    beta = rng.normal(1.0, 0.35, N).clip(0.1, 2.2)
    # Riskier instruments earn part of their variance back, as they tend to.
    drift = rng.normal(0.04, 0.08, N) + 0.35 * vol**2
    daily_vol = vol / np.sqrt(TRADING_DAYS)
    market_daily = market_volatility / np.sqrt(TRADING_DAYS)
    # The factor explains part of each instrument's variance, never all of it.
    idio = np.sqrt(np.maximum(daily_vol**2 - (beta * market_daily) ** 2, (0.4 * daily_vol) ** 2))
    total_daily_var = idio**2 + (beta * market_daily) ** 2
    mu = drift / TRADING_DAYS - 0.5 * total_daily_var  # log drift
    start_price = np.exp(rng.normal(np.log(40.0), 0.8, N))

    # Common factor with volatility clustering.
    regime = _volatility_regime(rng, T, persistence=0.985, shock=0.09)
    market = regime * market_daily * rng.standard_normal(T)

    close = np.empty((T, N))
    open_ = np.empty((T, N))
    high = np.empty((T, N))
    low = np.empty((T, N))
    log_prev = np.log(start_price)
    for r0 in range(0, T, _BLOCK_ROWS):
        r1 = min(T, r0 + _BLOCK_ROWS)
        n = r1 - r0
        scale = regime[r0:r1, None] * idio  # (n, N): today's idiosyncratic volatility
        ret = rng.standard_normal((n, N))
        ret *= scale
        ret += mu
        ret += np.multiply.outer(market[r0:r1], beta)
        # Part of each day's move happens overnight; the rest during the day.
        gap = rng.standard_normal((n, N), dtype=np.float32).astype(np.float64)
        gap *= scale
        gap *= 0.35
        gap += 0.35 * ret
        log_close = np.cumsum(ret, axis=0)
        log_close += log_prev
        log_open = log_close - ret  # yesterday's close ...
        log_open += gap  # ... plus the overnight gap
        log_prev = log_close[-1].copy()
        np.exp(log_close, out=close[r0:r1])
        np.exp(log_open, out=open_[r0:r1])
        # The range reaches beyond open and close by an exponential amount.
        up = rng.standard_exponential((n, N), dtype=np.float32)
        down = rng.standard_exponential((n, N), dtype=np.float32)
        reach = (0.3 * scale).astype(np.float32)
        up *= reach
        down *= reach
        np.maximum(log_close, log_open, out=ret)
        ret += up
        np.exp(ret, out=high[r0:r1])
        np.minimum(log_close, log_open, out=ret)
        ret -= down
        np.exp(ret, out=low[r0:r1])

    # Listings, delistings and missing runs.
    listing = np.zeros(N, dtype=np.int64)
    late = rng.random(N) < late_listing_fraction
    listing[late] = rng.integers(1, max(2, int(0.8 * T)), late.sum())
    delisting = np.full(N, -1, dtype=np.int64)
    gone = rng.random(N) < delisting_fraction
    # A delisted instrument trades at least a few weeks after its listing.
    lo = np.minimum(listing + 20, T - 2)
    cand = lo + (rng.random(N) * (T - 1 - lo)).astype(np.int64)
    delisting[gone] = np.minimum(cand[gone], T - 2)
    last_row = np.where(delisting >= 0, delisting, T - 1)

    tables = [close, open_, high, low]
    nan = np.nan
    n_runs = rng.poisson(missing_runs, N)
    run_col = np.repeat(np.arange(N), n_runs)
    run_len = rng.geometric(1.0 / mean_missing_run, run_col.size)
    # Runs lie strictly between the listing row and the last row, so both keep a price.
    span = np.maximum(last_row[run_col] - listing[run_col] - 1, 0)
    run_start = listing[run_col] + 1 + (rng.random(run_col.size) * span).astype(np.int64)
    run_end = np.minimum(run_start + run_len, last_row[run_col])
    for j, a, b in zip(run_col.tolist(), run_start.tolist(), run_end.tolist()):
        if a < b:
            for tbl in tables:
                tbl[a:b, j] = nan
    for j in np.flatnonzero(listing > 0).tolist():
        for tbl in tables:
            tbl[: listing[j], j] = nan
    for j in np.flatnonzero(delisting >= 0).tolist():
        for tbl in tables:
            tbl[delisting[j] + 1 :, j] = nan

    if trade_at == "open":
        price = open_
    elif trade_at == "close":
        price = close
    else:
        price = high + low
        price += close
        price /= 3.0

    return Market(
        volume_values=_volume(seed, close, vol),
        price_values=price,
        close_values=close,
        high_values=high,
        low_values=low,
        open_values=open_,
        price_index=business_days(start, T),
        price_columns=_column_names(N),
        delisting_bars=delisting,
        listing_bars=listing,
        annual_volatility=vol,
        seed=seed,
        trade_at=trade_at,
    )


def _volume(seed: int | None, close: np.ndarray, vol: np.ndarray) -> np.ndarray:
    """Shares traded per row: a traded value per instrument (log-normal, median 5 million, the riskier
    names trading less) with a daily log-normal noise, over the close.

    Drawn from a stream of its own, so that the prices of a seed are those they were before the
    market had a volume.
    """
    rng = np.random.default_rng(None if seed is None else [seed, 24])
    T, N = close.shape
    traded_value = np.exp(rng.normal(np.log(5e6), 1.2, N) - 0.8 * (vol - np.median(vol)))
    noise = np.exp(rng.normal(0.0, 0.45, (T, N)))
    shares: np.ndarray = np.round(noise * traded_value / close)
    return shares


# --------------------------------------------------------------------------- rebalancing

FREQUENCIES = ("daily", "weekly", "monthly", "quarterly")


def rebalance_rows(price_index: np.ndarray, freq: str) -> np.ndarray:
    """Price rows that close each period: every row, the last row of each week
    (Monday to Sunday), of each calendar month or of each calendar quarter.  The last row is
    always included, as the end of the period in progress."""
    idx = np.asarray(price_index, dtype=np.int64)
    T = idx.shape[0]
    if T == 0:
        return np.empty(0, dtype=np.int64)
    if freq == "daily":
        return np.arange(T, dtype=np.int64)
    days = idx // NS_PER_DAY  # days since 1970-01-01, a Thursday
    if freq == "weekly":
        period = (days + 3) // 7  # weeks starting on Monday
    elif freq in ("monthly", "quarterly"):
        period = days.astype("datetime64[D]").astype("datetime64[M]").astype(np.int64)
        if freq == "quarterly":
            period = period // 3  # months since 1970-01, whose quarter starts a quarter
    else:
        raise ValueError(f"rebalance frequency must be one of {FREQUENCIES}, not {freq!r}")
    last = np.flatnonzero(period[1:] != period[:-1])
    return np.append(last, T - 1).astype(np.int64)


def rebalance_dates(price_index: np.ndarray, freq: str) -> np.ndarray:
    """Dates of `rebalance_rows`, as int64."""
    dates: np.ndarray = np.asarray(price_index, dtype=np.int64)[rebalance_rows(price_index, freq)]
    return dates


def _last_valid_row(values: np.ndarray) -> np.ndarray:
    """For every cell, the latest row at or before it with a non-NaN value, -1 if none."""
    T = values.shape[0]
    rows = np.where(np.isnan(values), np.int32(-1), np.arange(T, dtype=np.int32)[:, None])
    np.maximum.accumulate(rows, axis=0, out=rows)
    return rows


def momentum_weights(
    market: Market,
    *,
    rebalance: str = "monthly",
    lookback: int = 252,
    skip: int = 21,
    n_long: int = 30,
    n_short: int = 0,
    gross: float = 1.0,
    start_row: int | None = None,
) -> Weights:
    """Equal-weight momentum: long the `n_long` instruments with the highest
    return over `lookback` rows (ending `skip` rows ago), short the `n_short`
    with the lowest, on every rebalance row from `start_row` (default:
    `lookback`) on.

    A weight row is dated on its rebalance row and only uses closes up to that
    row; the engine applies it on the next row.  Candidates must have a price
    on the rebalance row, a close at least `lookback` rows back and no
    delisting announced for the next row.  Each selected instrument gets
    ``gross / (longs + shorts)``, so the gross exposure is `gross`.
    """
    if lookback <= skip or skip < 0:
        raise ValueError("need 0 <= skip < lookback")
    if n_long < 0 or n_short < 0 or n_long + n_short == 0:
        raise ValueError("need a non-negative number of longs and shorts, not both 0")
    T, N = market.close_values.shape
    first = lookback if start_row is None else max(int(start_row), lookback)
    rows = rebalance_rows(market.price_index, rebalance)
    rows = rows[rows >= first]
    if rows.size == 0:
        raise ValueError("history too short for the lookback: no rebalance row left")

    close = market.close_values
    valid_row = _last_valid_row(close)
    cols = np.arange(N)
    recent = valid_row[rows - skip]
    past = valid_row[rows - lookback]
    ok = (recent >= 0) & (past >= 0)
    recent_px = close[np.where(ok, recent, 0), cols]
    past_px = close[np.where(ok, past, 0), cols]
    score = np.where(ok, recent_px / past_px, np.nan)
    # Tradable now and not being delisted before the weights can be applied.
    score[np.isnan(market.price_values[rows])] = np.nan
    delist = market.delisting_bars
    announced = (delist[None, :] >= 0) & (delist[None, :] <= rows[:, None] + 1)
    score[announced] = np.nan

    weights = np.zeros((rows.size, N))
    n_valid = np.count_nonzero(~np.isnan(score), axis=1)
    # NaNs sort last in ascending order: the top is the tail of the valid part.
    order = np.argsort(score, axis=1, kind="stable")
    for k in range(rows.size):
        v = int(n_valid[k])
        if v == 0:
            continue
        n_l, n_s = n_long, n_short
        if n_l + n_s > v:  # not enough candidates: shrink both sides proportionally
            n_l = (v * n_long) // (n_long + n_short)
            n_s = min(n_short, v - n_l)
        if n_l + n_s == 0:
            continue
        w = gross / (n_l + n_s)
        if n_l:
            weights[k, order[k, v - n_l : v]] = w
        if n_s:
            weights[k, order[k, :n_s]] = -w

    dates = market.price_index[rows]
    return Weights(
        pos_values=weights,
        pos_index=dates.copy(),
        pos_columns=market.price_columns.copy(),
        resample=dates.copy(),
        rows=rows,
    )


def backtest_inputs(market: Market, weights: Weights) -> dict[str, np.ndarray]:
    """The array arguments of ``backtest_`` (the eleven required ones plus
    `delisting_bars`, aligned to the weight columns) as a dict of keywords."""
    col_of = {name: j for j, name in enumerate(market.price_columns.tolist())}
    price_col = np.array([col_of.get(name, -1) for name in weights.pos_columns.tolist()], dtype=np.int64)
    delisting = np.where(price_col >= 0, market.delisting_bars[np.maximum(price_col, 0)], -1)
    from korvel._engine import engine_arrays

    arrays = engine_arrays(
        trading=market.price_values,
        close=market.close_values,
        high=market.high_values,
        low=market.low_values,
        open=market.open_values,
        dates=market.price_index,
        labels=market.price_columns,
        weights=weights.pos_values,
        weight_dates=weights.pos_index,
        weight_labels=weights.pos_columns,
        rebalance_dates=weights.resample,
        delisting=delisting.astype(np.int64),
    )
    # The engine skips a schedule without delistings; callers of this function get it all the same.
    arrays["delisting_bars"] = delisting.astype(np.int64)
    return arrays


def to_layer(market: Market, weights: Weights | None = None) -> tuple[LayerMarket, pd.DataFrame | None]:
    """The market as ``korvel.Market`` (close, open, high and low, the volume and the
    delistings) and the weight rows, if given, as a DataFrame (dates x
    instruments).  Needs pandas, like the layer."""
    import pandas as pd

    from korvel._market import Market as LayerMarket

    dates = pd.DatetimeIndex(market.dates)
    columns = pd.Index(market.price_columns.tolist())
    gone = market.delisting_bars >= 0
    delisted = pd.Series(dates[market.delisting_bars[gone]], index=columns[gone])

    def frame(values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(values, index=dates, columns=columns, copy=False)

    layer_market = LayerMarket(
        frame(market.close_values),
        open=frame(market.open_values),
        high=frame(market.high_values),
        low=frame(market.low_values),
        delisted=delisted,
        volume=None if market.volume_values is None else frame(market.volume_values),
    )
    if weights is None:
        return layer_market, None
    weight_frame = pd.DataFrame(
        weights.pos_values,
        index=pd.DatetimeIndex(weights.pos_index.view("datetime64[ns]")),
        columns=pd.Index(weights.pos_columns.tolist()),
    )
    return layer_market, weight_frame
