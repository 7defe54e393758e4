"""Overfitting statistics: how much of a backtest's Sharpe ratio survives the search that found it.

Conventions shared by every function here:

- `returns` is a pandas Series (or a 1-D array) of simple per-period returns,
  as `Result.returns` gives them; values that are not finite are left out, as
  `Result.stats()` leaves them out.  `trials` is a DataFrame (or 2-D array),
  one column of returns per trial (one parameter combination of a sweep, say),
  one row per period.
- Inside the formulas the Sharpe ratio is per period and not annualised:
  mean / standard deviation (``ddof=1``, as `stats()` computes it).  Skewness
  and kurtosis are the population moments the papers use (``m3 / m2**1.5``,
  ``m4 / m2**2``); kurtosis is raw, 3 for normal returns.
- Periods per year: taken as given by ``periods_per_year``, or, for a Series
  on a DatetimeIndex, from its dates as `stats()` does: the n returns cover n
  periods of which their dates span n - 1, so the returns cover
  ``years = span * n / (n - 1)`` and ``periods_per_year = finite count / years``.
  A plain array has no dates and needs ``periods_per_year`` wherever a figure
  is annualised (a benchmark Sharpe ratio other than 0, the bootstrap).
- Degenerate input: fewer than 3 finite returns, an empty or malformed table
  and arguments out of range raise ValueError (TypeError for a wrong type); a
  figure that the data leave undefined (returns without variance, a negative
  variance estimate of the Sharpe ratio) is NaN.

References
----------
.. [1] Bailey, D. H. and Lopez de Prado, M. (2012). The Sharpe ratio efficient
   frontier. Journal of Risk, 15(2), 3-44.
.. [2] Bailey, D. H. and Lopez de Prado, M. (2014). The deflated Sharpe ratio:
   correcting for selection bias, backtest overfitting and non-normality.
   Journal of Portfolio Management, 40(5), 94-107.
.. [3] Bailey, D. H., Borwein, J., Lopez de Prado, M. and Zhu, Q. J. (2017). The
   probability of backtest overfitting. Journal of Computational Finance,
   20(4), 39-69.
.. [4] Galwey, N. W. (2009). A new measure of the effective number of tests,
   a practical tool for comparing families of non-independent significance
   tests. Genetic Epidemiology, 33(7), 559-568.
.. [5] Politis, D. N. and Romano, J. P. (1994). The stationary bootstrap.
   Journal of the American Statistical Association, 89(428), 1303-1313.
.. [6] Politis, D. N. and White, H. (2004). Automatic block-length selection for
   the dependent bootstrap. Econometric Reviews, 23(1), 53-70; Patton, A.,
   Politis, D. N. and White, H. (2009). Correction. Econometric Reviews,
   28(4), 372-375.
"""

from __future__ import annotations

import itertools
import math
import numbers
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from statistics import NormalDist
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvel.results import _stat_table, _stats

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = [
    "PBO",
    "bootstrap",
    "deflated_sharpe",
    "deflated_sharpe_from_moments",
    "effective_trials",
    "min_track_record_length",
    "optimal_block_length",
    "pbo",
    "probabilistic_sharpe",
    "trial_sharpes",
]

Float = npt.NDArray[np.float64]
Returns = pd.Series | Sequence[float] | npt.NDArray[Any]
Trials = pd.DataFrame | npt.NDArray[Any]
Metric = str | Callable[[Float], Any]

#: The Euler-Mascheroni constant, in the expected maximum of N Sharpe ratios.
EULER_GAMMA = 0.5772156649
NS_PER_YEAR = 86_400 * 10**9 * 365.25
_NORMAL = NormalDist()
MIN_RETURNS = 3
# A standard deviation below this fraction of the mean is rounding error (of a sum of squares less n mean^2,
# whose relative error grows like the square root of the machine epsilon): the returns are all equal.
FLAT = 1e-6
# C(22, 11) = 705,432 splits of the blocks at most.
MAX_SPLITS = 1_000_000
# Elements per temporary array in the vectorised loops (chunks of resamples, of combinations).
CHUNK = 1 << 20


# --------------------------------------------------------------------------- input


def _returns(returns: object, name: str = "returns") -> tuple[Float, int, pd.DatetimeIndex | None]:
    """(finite returns, count including the non-finite ones, the dates if a Series on a DatetimeIndex)."""
    if isinstance(returns, pd.DataFrame):
        raise TypeError(f"{name} must be a Series or a 1-D array of returns, not a DataFrame")
    dates = returns.index if isinstance(returns, pd.Series) and isinstance(returns.index, pd.DatetimeIndex) else None
    values = _floats(returns, name)
    if values.ndim != 1:
        raise ValueError(f"{name} must be 1-D, got {values.ndim} dimensions")
    finite = values[np.isfinite(values)]
    if finite.size < MIN_RETURNS:
        raise ValueError(f"{name} needs at least {MIN_RETURNS} finite values, got {finite.size}")
    return finite, int(values.shape[0]), dates


def _trials(trials: object, name: str) -> Float:
    """A T x N table of trial returns as float64 (non-finite values become NaN)."""
    out = _floats(trials, name)
    if out.ndim != 2:
        raise ValueError(f"{name} must be a DataFrame (periods x trials), got {out.ndim} dimensions")
    out[~np.isfinite(out)] = np.nan
    return out


def _floats(data: object, name: str) -> Float:
    """A float64 copy of numbers (pandas' nullable dtypes included, NA as NaN)."""
    if isinstance(data, (pd.Series, pd.DataFrame)):
        dtypes = [data.dtype] if isinstance(data, pd.Series) else list(data.dtypes)
        bad = [d for d in dtypes if not pd.api.types.is_numeric_dtype(d) or pd.api.types.is_bool_dtype(d)]
        if bad:
            raise TypeError(f"{name} must hold numbers, not {bad[0]}")
        out: Float = data.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
        return out
    values = np.asarray(data)
    if values.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold numbers, not {values.dtype}")
    out = values.astype(np.float64)
    return out


def _risk_free(rf: object, returns: object) -> Float:
    """The risk-free return of each period of `returns` (all of them, the non-finite ones included)."""
    if isinstance(rf, numbers.Real):
        raise TypeError(
            "rf must be the risk-free return of each period (a Series such as Result.risk_free, or an array "
            f"as long as the returns), not a number ({rf!r})"
        )
    if isinstance(rf, pd.Series) and isinstance(returns, (pd.Series, pd.DataFrame)):
        aligned = rf.reindex(returns.index)
        gap = ~returns.index.isin(rf.index)
        if gap.any():
            raise ValueError(f"rf has no value for the period {returns.index[int(np.argmax(gap))]!r} of the returns")
        values = _floats(aligned, "rf")
    else:
        values = _floats(rf, "rf")
        length = len(returns) if isinstance(returns, (pd.Series, pd.DataFrame)) else np.asarray(returns).shape[0]
        if values.ndim != 1 or values.shape[0] != length:
            raise ValueError(f"rf must hold one value per period of the returns ({length}), got shape {values.shape}")
    if not np.isfinite(values).all():
        raise ValueError("rf must be finite (the risk-free return of each period)")
    return values


def _excess(returns: object, rf: object, name: str = "returns") -> object:
    """`returns` (a Series, an array or a table of trials) less the risk-free return of each period."""
    if rf is None:
        return returns
    values = _floats(returns, name)
    less = _risk_free(rf, returns)
    excess = values - (less[:, None] if values.ndim == 2 else less)
    if isinstance(returns, pd.DataFrame):
        return pd.DataFrame(excess, index=returns.index, columns=returns.columns)
    if isinstance(returns, pd.Series):
        return pd.Series(excess, index=returns.index, name=returns.name)
    return excess


def _number(
    value: object,
    name: str,
    low: float = -math.inf,
    *,
    low_open: bool = False,
    high: float = math.inf,
    high_open: bool = False,
) -> float:
    """A finite real number within the bounds (open or closed at either end)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    x = float(value)
    if not (math.isfinite(x) and (x > low if low_open else x >= low) and (x < high if high_open else x <= high)):
        bounds = f"{'(' if low_open else '['}{low:g}, {high:g}{')' if high_open else ']'}"
        raise ValueError(f"{name} must be a finite number in {bounds}, got {value!r}")
    return x


def _count(value: object, name: str, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if int(value) < low:
        raise ValueError(f"{name} must be at least {low}, got {value!r}")
    return int(value)


def _years(count: int, dates: pd.DatetimeIndex | None, periods_per_year: float | None) -> float:
    """Years covered by `count` returns (the non-finite ones included)."""
    if periods_per_year is not None:
        return count / _number(periods_per_year, "periods_per_year", 0.0, low_open=True)
    if dates is None:
        raise ValueError("returns has no dates (a Series on a DatetimeIndex): give periods_per_year")
    if not dates.is_monotonic_increasing:
        raise ValueError("returns: the dates must be ascending")
    ns = dates.as_unit("ns").asi8
    span = float(ns[-1] - ns[0]) / NS_PER_YEAR
    if span <= 0:
        raise ValueError("returns: the dates span no time; give periods_per_year")
    return span * count / (count - 1)


def _per_year(returns: object, periods_per_year: float | None) -> tuple[Float, float]:
    """(finite returns, periods per year)."""
    r, count, dates = _returns(returns)
    return r, r.size / _years(count, dates, periods_per_year)


# --------------------------------------------------------------------------- Sharpe ratios


def _moments(r: Float) -> tuple[float, float, float]:
    """Per-period Sharpe ratio (ddof=1), skewness and raw kurtosis (population moments); NaN without variance."""
    if r.max() == r.min():
        return math.nan, math.nan, math.nan
    d = r - r.mean()
    m2 = float(np.mean(d * d))
    sd = math.sqrt(float(np.sum(d * d)) / (r.size - 1))
    return float(r.mean()) / sd, float(np.mean(d**3)) / m2**1.5, float(np.mean(d**4)) / m2**2


def _sharpe_variance(sharpe: float, skew: float, kurtosis: float) -> float:
    """The bracket of the Sharpe ratio's asymptotic variance: 1 - g3 SR + (g4 - 1) / 4 SR^2."""
    return 1.0 - skew * sharpe + (kurtosis - 1.0) / 4.0 * sharpe * sharpe


def _psr(sharpe: float, target: float, length: int, skew: float, kurtosis: float) -> float:
    var = _sharpe_variance(sharpe, skew, kurtosis)
    if not (math.isfinite(var) and var > 0 and math.isfinite(target)):
        return math.nan
    return _NORMAL.cdf((sharpe - target) * math.sqrt(length - 1) / math.sqrt(var))


def _benchmark(benchmark: object, returns: object, periods_per_year: float | None) -> tuple[Float, float]:
    """(finite returns, the benchmark Sharpe ratio per period)."""
    bench = _number(benchmark, "benchmark")
    if bench == 0.0:  # no need for the frequency
        return _returns(returns)[0], 0.0
    r, per_year = _per_year(returns, periods_per_year)
    return r, bench / math.sqrt(per_year)


def probabilistic_sharpe(
    returns: Returns, benchmark: float = 0.0, *, periods_per_year: float | None = None, rf: Returns | None = None
) -> float:
    """Probability that the true Sharpe ratio of `returns` exceeds `benchmark` (the PSR).

    ``PSR = Phi((SR - SR*) sqrt(T - 1) / sqrt(1 - g3 SR + (g4 - 1) / 4 SR^2))``
    with SR the per-period Sharpe ratio of the T finite returns, g3 their
    skewness, g4 their raw kurtosis and SR* the benchmark per period.

    Parameters
    ----------
    returns : Series or 1-D array
        Simple per-period returns (non-finite values are left out).
    benchmark : float
        The Sharpe ratio to beat, annualised as `Result.stats()` reports it;
        divided by ``sqrt(periods_per_year)`` inside.
    periods_per_year : float, optional
        Default: from the dates of `returns` (see the module notes); needed for
        a plain array unless `benchmark` is 0.
    rf : Series or 1-D array, optional
        The risk-free return of each period (``Result.risk_free``): the
        Sharpe ratio is that of the returns in excess of it, as `stats()`
        takes it.  A Series is aligned on the returns' index.

    Returns
    -------
    float
        In [0, 1]; NaN when the returns have no variance or the variance
        estimate of the Sharpe ratio is not positive.

    Raises
    ------
    ValueError
        Fewer than 3 finite returns; no way to tell the periods per year.

    References
    ----------
    .. [1] Bailey, D. H. and Lopez de Prado, M. (2012). The Sharpe ratio
       efficient frontier. Journal of Risk, 15(2), 3-44.
    """
    r, target = _benchmark(benchmark, _excess(returns, rf), periods_per_year)
    sharpe, skew, kurtosis = _moments(r)
    return _psr(sharpe, target, r.size, skew, kurtosis)


def min_track_record_length(
    returns: Returns,
    benchmark: float = 0.0,
    confidence: float = 0.95,
    *,
    periods_per_year: float | None = None,
    rf: Returns | None = None,
) -> float:
    """Periods of track record needed to trust, at `confidence`, that the Sharpe ratio exceeds `benchmark`.

    ``MinTRL = 1 + (1 - g3 SR + (g4 - 1) / 4 SR^2) (Phi^-1(confidence) / (SR - SR*))^2``
    with the per-period figures of `probabilistic_sharpe`.

    Parameters
    ----------
    returns : Series or 1-D array
        Simple per-period returns (non-finite values are left out).
    benchmark : float
        The Sharpe ratio to beat, annualised (see `probabilistic_sharpe`).
    confidence : float
        In (0, 1).
    periods_per_year : float, optional
        As in `probabilistic_sharpe`.
    rf : Series or 1-D array, optional
        As in `probabilistic_sharpe`.

    Returns
    -------
    float
        A number of periods (not rounded); ``inf`` when the observed Sharpe
        ratio does not exceed the benchmark (no track record is long enough);
        NaN when the returns have no variance or the variance estimate of the
        Sharpe ratio is not positive.

    References
    ----------
    .. [1] Bailey, D. H. and Lopez de Prado, M. (2012). The Sharpe ratio
       efficient frontier. Journal of Risk, 15(2), 3-44.
    """
    level = _number(confidence, "confidence", 0.0, low_open=True, high=1.0, high_open=True)
    r, target = _benchmark(benchmark, _excess(returns, rf), periods_per_year)
    sharpe, skew, kurtosis = _moments(r)
    var = _sharpe_variance(sharpe, skew, kurtosis)
    if not (math.isfinite(var) and var > 0):
        return math.nan
    if sharpe <= target:
        return math.inf
    return 1.0 + var * (_NORMAL.inv_cdf(level) / (sharpe - target)) ** 2


def _expected_max_sharpe(n_trials: float, variance: float) -> float:
    """SR0: the expected largest of `n_trials` per-period Sharpe ratios whose true value is 0."""
    if n_trials == 1.0:  # nothing to choose from
        return 0.0
    return math.sqrt(variance) * (
        (1.0 - EULER_GAMMA) * _NORMAL.inv_cdf(1.0 - 1.0 / n_trials)
        + EULER_GAMMA * _NORMAL.inv_cdf(1.0 - 1.0 / (n_trials * math.e))
    )


def deflated_sharpe_from_moments(
    sharpe: float, length: int, skew: float, kurtosis: float, n_trials: float, variance: float
) -> float:
    """The deflated Sharpe ratio from figures: the PSR against the best Sharpe ratio luck alone would give.

    ``DSR = PSR(SR0)`` with
    ``SR0 = sqrt(V) ((1 - gamma) Phi^-1(1 - 1/N) + gamma Phi^-1(1 - 1/(N e)))``,
    gamma the Euler-Mascheroni constant.

    Parameters
    ----------
    sharpe : float
        The selected trial's Sharpe ratio per period (not annualised).
    length : int
        Its number of returns T (at least 3).
    skew, kurtosis : float
        Skewness and raw kurtosis of its returns (3 for normal returns; at
        least 1).
    n_trials : float
        N, the number of independent trials (at least 1; may be an effective,
        non-integer count, see `effective_trials`).  SR0 is 0 for one trial.
    variance : float
        The variance of the trials' per-period Sharpe ratios (at least 0).

    Returns
    -------
    float
        In [0, 1]; NaN when the variance estimate of the Sharpe ratio is not
        positive or the figures are not finite.

    Examples
    --------
    >>> round(deflated_sharpe_from_moments(2.5 / 250**0.5, 1250, -3.0, 10.0, 100, 0.5 / 250), 4)
    0.9004

    References
    ----------
    .. [1] Bailey, D. H. and Lopez de Prado, M. (2014). The deflated Sharpe
       ratio: correcting for selection bias, backtest overfitting and
       non-normality. Journal of Portfolio Management, 40(5), 94-107.
    """
    t = _count(length, "length", MIN_RETURNS)
    sr = _number(sharpe, "sharpe")
    g3 = _number(skew, "skew")
    g4 = _number(kurtosis, "kurtosis", 1.0)
    n = _number(n_trials, "n_trials", 1.0)
    v = _number(variance, "variance", 0.0)
    return _psr(sr, _expected_max_sharpe(n, v), t, g3, g4)


def _trial_sharpes(values: Float) -> Float:
    """Per-period Sharpe ratio of every column over its finite values (NaN: fewer than 2 or no variance)."""
    finite = ~np.isnan(values)
    count = finite.sum(axis=0)
    x = np.where(finite, values, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = x.sum(axis=0) / count
        d = np.where(finite, values - mean, 0.0)
        sd = np.sqrt((d * d).sum(axis=0) / (count - 1))
        out: Float = np.where((count > 1) & (sd > FLAT * np.abs(mean)) & (sd > 0), mean / sd, np.nan)
    return out


def trial_sharpes(trials: Trials) -> Float:
    """Every trial's Sharpe ratio per period (not annualised), as `deflated_sharpe` takes them for V.

    Parameters
    ----------
    trials : DataFrame or 2-D array
        The trials' returns, one column each (non-finite values left out).

    Returns
    -------
    ndarray
        One figure per column, over its finite returns (``ddof=1``); NaN for a
        trial with fewer than 2 returns or no variance.  The variance of the
        finite ones is the V of ``deflated_sharpe(returns, (N, V))``: trials
        too many to hold at once can be taken a block of columns at a time.
    """
    return _trial_sharpes(_trials(trials, "trials"))


def deflated_sharpe(
    returns: Returns,
    trials: Trials | tuple[float, float],
    *,
    n_trials: float | None = None,
    rf: Returns | None = None,
) -> float:
    """Probability that the Sharpe ratio of `returns`, the best of many trials, is more than luck (the DSR).

    The PSR of `returns` against SR0, the Sharpe ratio the best of N trials
    would show by chance when every true Sharpe ratio is 0 (see
    `deflated_sharpe_from_moments`).

    Parameters
    ----------
    returns : Series or 1-D array
        The selected trial's simple per-period returns (non-finite values
        left out).
    trials : DataFrame or (float, float)
        Every trial's returns, one column each (the selected one among
        them): N is the number of columns and V the sample variance
        (``ddof=1``) of their per-period Sharpe ratios (over the columns that
        have one: trials without variance are left out of V).  Or the pair
        (N, V) with V the variance of per-period Sharpe ratios.
    n_trials : float, optional
        N to use instead of the count of trials, e.g. ``effective_trials(trials)``
        when the trials are correlated.
    rf : Series or 1-D array, optional
        The risk-free return of each period (``Result.risk_free``), taken
        from `returns` and from every trial (a Series is aligned on their
        index; an array must be as long as each).

    Returns
    -------
    float
        In [0, 1]; NaN when `returns` has no variance or the variance
        estimate of its Sharpe ratio is not positive.

    Raises
    ------
    ValueError
        Fewer than 3 finite returns; fewer than 2 trials with a Sharpe ratio;
        N below 1 or V negative.

    References
    ----------
    .. [1] Bailey, D. H. and Lopez de Prado, M. (2014). The deflated Sharpe
       ratio: correcting for selection bias, backtest overfitting and
       non-normality. Journal of Portfolio Management, 40(5), 94-107.
    """
    r = _returns(_excess(returns, rf))[0]
    if isinstance(trials, tuple):
        if len(trials) != 2:
            raise ValueError(f"trials as a pair must be (N, variance), got {len(trials)} items")
        n, variance = trials
    else:
        sharpes = _trial_sharpes(_trials(_excess(trials, rf, "trials"), "trials"))
        known = sharpes[np.isfinite(sharpes)]
        if known.size < 2:
            raise ValueError(f"trials needs at least 2 trials with a Sharpe ratio, got {known.size}")
        n, variance = sharpes.size, float(known.var(ddof=1))
    if n_trials is not None:
        n = n_trials
    sharpe, skew, kurtosis = _moments(r)
    n = _number(n, "n_trials", 1.0)
    v = _number(variance, "variance", 0.0)
    return _psr(sharpe, _expected_max_sharpe(n, v), r.size, skew, kurtosis)


def effective_trials(trials: Trials) -> float:
    """The number of independent trials that correlated trials are worth.

    Trials of one parameter grid are far from independent: neighbouring
    combinations trade almost alike.  The count here is the eigenvalue
    measure of Galwey (2009): with ``lambda_i`` the eigenvalues of the trials'
    return correlation matrix (negative ones as 0),
    ``N_eff = (sum_i sqrt(lambda_i))^2 / sum_i lambda_i``.

    Why this one: a grid's trials come in families, and k unrelated families
    of duplicates are k trials by this measure (N uncorrelated trials are N),
    whereas a count from the mean pairwise correlation (``rho + (1 - rho) N``)
    only sees the average and counts two unrelated families of 50 duplicates
    as about 51.  It needs no clustering step and no tuning parameter, and it
    moves smoothly with the correlations, unlike the eigenvalue count of Li
    and Ji (2005), whose integer parts make a family of near-duplicates count
    twice.

    Parameters
    ----------
    trials : DataFrame or 2-D array
        One column of returns per trial.  Only the rows where every trial has
        a finite return are used; trials without variance on them count for
        nothing (they cannot be selected on a Sharpe ratio).

    Returns
    -------
    float
        Between 1 and the number of trials with variance; not an integer in
        general.

    Raises
    ------
    ValueError
        Fewer than 3 complete rows, or no trial with variance.

    Notes
    -----
    Pass the result as ``deflated_sharpe(..., n_trials=...)``.  The cost is
    an eigen-decomposition of a ``min(T, N)`` square matrix.  Sampling noise
    in the correlations spreads the eigenvalues and lowers the count when
    there are few rows per trial: 1,000 independent trials over 2,500 rows
    count as about 900.

    References
    ----------
    .. [1] Galwey, N. W. (2009). A new measure of the effective number of
       tests, a practical tool for comparing families of non-independent
       significance tests. Genetic Epidemiology, 33(7), 559-568.
    .. [2] Li, J. and Ji, L. (2005). Adjusting multiple testing in multilocus
       analyses using the eigenvalues of a correlation matrix. Heredity, 95,
       221-227.
    .. [3] Bailey, D. H. and Lopez de Prado, M. (2014). The deflated Sharpe
       ratio. Journal of Portfolio Management, 40(5), 94-107 (N is the number
       of independent trials).
    """
    values = _trials(trials, "trials")
    values = values[~np.isnan(values).any(axis=1)]
    if values.shape[0] < MIN_RETURNS:
        raise ValueError(
            f"trials needs at least {MIN_RETURNS} rows where every trial has a finite return, got {values.shape[0]}"
        )
    centred = values - values.mean(axis=0)
    norm = np.sqrt((centred * centred).sum(axis=0))
    varying = norm > 1e-12 * np.abs(values).max(axis=0) * math.sqrt(values.shape[0])
    if not varying.any():
        raise ValueError("trials has no trial whose returns vary")
    z = centred[:, varying] / norm[varying]  # unit columns: z.T @ z is the correlation matrix
    gram = z.T @ z if z.shape[1] <= z.shape[0] else z @ z.T  # same non-zero eigenvalues
    eig = np.clip(np.linalg.eigvalsh(gram), 0.0, None)
    n_eff = float(np.sqrt(eig).sum()) ** 2 / float(eig.sum())
    return min(max(n_eff, 1.0), float(z.shape[1]))


# --------------------------------------------------------------------------- PBO


@dataclass(frozen=True, eq=False)
class PBO:
    """The probability of backtest overfitting and the figures behind it (see `pbo`).

    Attributes
    ----------
    pbo : float
        Share of the splits whose in-sample best trial ranks in the lower half
        out of sample (logit <= 0).
    logits : ndarray
        ``ln(w / (1 - w))`` per split, in `itertools.combinations` order of
        the in-sample blocks; w the out-of-sample relative rank of the
        in-sample best trial.
    slope : float
        Least-squares slope of the chosen trial's out-of-sample metric on its
        in-sample metric over the splits (below 1: performance degrades out
        of sample; NaN if the in-sample metric does not vary).
    prob_oos_loss : float
        Share of splits where the chosen trial's out-of-sample metric is
        negative.
    n_trials, blocks : int
        N and S.
    in_sample, out_of_sample : ndarray
        The chosen trial's metric in and out of sample, per split.
    """

    pbo: float
    logits: Float
    slope: float
    prob_oos_loss: float
    n_trials: int
    blocks: int
    in_sample: Float
    out_of_sample: Float

    def plot(self) -> Figure:
        """The histogram of the logits and the out-of-sample vs in-sample scatter, on a bare Figure."""
        try:
            from matplotlib.figure import Figure
        except ImportError:
            raise ImportError("plots need matplotlib: pip install 'korvel[plot]'") from None
        fig = Figure(figsize=(11, 4.5), layout="constrained")
        ax_logit, ax_scatter = fig.subplots(1, 2)
        finite = self.logits[np.isfinite(self.logits)]
        ax_logit.hist(finite, bins=max(10, min(50, int(math.sqrt(max(finite.size, 1))))), color="tab:blue", alpha=0.8)
        ax_logit.axvline(0.0, color="tab:red", lw=1)
        ax_logit.set_title(f"PBO = {self.pbo:.1%} ({self.logits.size} splits, {self.n_trials} trials)")
        ax_logit.set_xlabel("logit of the out-of-sample rank of the in-sample best")
        ax_logit.set_ylabel("splits")
        ax_scatter.scatter(self.in_sample, self.out_of_sample, s=6, alpha=0.5)
        ok = np.isfinite(self.in_sample) & np.isfinite(self.out_of_sample)
        if math.isfinite(self.slope) and ok.any():
            xs = np.array([self.in_sample[ok].min(), self.in_sample[ok].max()])
            intercept = self.out_of_sample[ok].mean() - self.slope * self.in_sample[ok].mean()
            ax_scatter.plot(xs, intercept + self.slope * xs, color="tab:red", lw=1, label=f"slope {self.slope:.2f}")
            ax_scatter.legend(loc="best")
        ax_scatter.axhline(0.0, color="grey", lw=0.5)
        ax_scatter.set_title(f"P(out-of-sample loss) = {self.prob_oos_loss:.1%}")
        ax_scatter.set_xlabel("in-sample metric")
        ax_scatter.set_ylabel("out-of-sample metric")
        return fig


def _block_sums(values: Float, bounds: list[tuple[int, int]]) -> tuple[Float, ...]:
    """Per block and trial: count of finite returns, their sum, sum of squares, sum of squared losses."""
    shape = (len(bounds), values.shape[1])
    count, total, squares, losses = (np.zeros(shape) for _ in range(4))
    for i, (lo, hi) in enumerate(bounds):
        block = values[lo:hi]
        finite = ~np.isnan(block)
        x = np.where(finite, block, 0.0)
        count[i], total[i], squares[i] = finite.sum(axis=0), x.sum(axis=0), (x * x).sum(axis=0)
        down = np.minimum(x, 0.0)
        losses[i] = (down * down).sum(axis=0)
    return count, total, squares, losses


def _metric_from_sums(metric: str, n: Float, s: Float, ss: Float, dd: Float) -> Float:
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = s / n
        if metric == "mean":
            return mean
        if metric == "sharpe":
            sd = np.sqrt(np.maximum(ss - n * mean * mean, 0.0) / (n - 1))
            out: Float = np.where((n > 1) & (sd > FLAT * np.abs(mean)) & (sd > 0), mean / sd, np.nan)
            return out
        downside = np.sqrt(dd / n)
        out = np.where(downside > 0, mean / downside, np.nan)
        return out


def _callable_metric(
    metric: Callable[[Float], Any], values: Float, rows: npt.NDArray[np.int64], n_trials: int
) -> Float:
    out = np.asarray(metric(values[rows]), dtype=np.float64)
    if out.shape != (n_trials,):
        raise ValueError(f"metric must return one value per trial ({n_trials}), got shape {out.shape}")
    return out


def _rank_logits(in_sample: Float, out_of_sample: Float) -> tuple[Float, Float, Float]:
    """(logit, chosen in-sample metric, its out-of-sample metric) per split (rows)."""
    n = in_sample.shape[1]
    ins = np.where(np.isnan(in_sample), -np.inf, in_sample)
    oos = np.where(np.isnan(out_of_sample), -np.inf, out_of_sample)
    rows = np.arange(ins.shape[0])
    best = np.argmax(ins, axis=1)  # the first of tied bests
    chosen = oos[rows, best][:, None]
    rank = (oos < chosen).sum(axis=1) + ((oos == chosen).sum(axis=1) + 1) / 2.0  # ties: the mean rank
    w = rank / (n + 1.0)
    return np.log(w / (1.0 - w)), in_sample[rows, best], out_of_sample[rows, best]


def pbo(returns: Trials, blocks: int = 16, metric: Metric = "sharpe") -> PBO:
    """Probability of backtest overfitting by combinatorially symmetric cross-validation (CSCV).

    The T x N table of trial returns is cut into `blocks` row blocks of
    (nearly) equal size.  Each of the C(S, S/2) ways to pick half of the
    blocks makes a split: the picked blocks (in row order) are in sample,
    the others out of sample.  The trial with the best in-sample metric is
    ranked among all trials out of sample (rank 1 the worst, N the best),
    ``w = rank / (N + 1)`` and its logit is ``ln(w / (1 - w))``.  PBO is the
    share of splits with a logit <= 0: how often the in-sample winner does no
    better than the median trial out of sample.

    Parameters
    ----------
    returns : DataFrame or 2-D array
        T x N: one column of simple per-period returns per trial.  Non-finite
        values are left out of each trial's metric.
    blocks : int
        S: even, at least 2, at most T and at most 22 (C(22, 11) = 705,432
        splits).  Blocks differ in size by at most one row when S does not
        divide T.
    metric : {"sharpe", "mean", "sortino"} or callable
        The per-period Sharpe ratio (``ddof=1``), the mean, or the Sortino
        ratio (mean / root mean square of the losses, as `stats()` has it);
        or a function of a 2-D array of rows (NaN included) that returns one
        value per trial (called twice per split).

    Returns
    -------
    PBO
        With `pbo`, `logits`, `slope`, `prob_oos_loss` and `plot()`.

    Notes
    -----
    Ties: the in-sample best is the first (leftmost) of the trials that tie;
    trials that tie out of sample share their mean rank.  A trial whose
    metric is NaN (no variance, say) ranks below every other.

    References
    ----------
    .. [1] Bailey, D. H., Borwein, J., Lopez de Prado, M. and Zhu, Q. J.
       (2017). The probability of backtest overfitting. Journal of
       Computational Finance, 20(4), 39-69.

    Examples
    --------
    >>> table = np.array([[-.03, .02, 0, 0], [.05, .03, .04, .01], [.05, .05, -.04, -.03], [-.02, .01, .04, 0]])
    >>> pbo(table, blocks=4, metric="mean").pbo
    0.5
    """
    values = _trials(returns, "returns")
    t, n = values.shape
    if n < 2:
        raise ValueError(f"returns needs at least 2 trials (columns), got {n}")
    s = _count(blocks, "blocks", 2)
    if s % 2:
        raise ValueError(f"blocks must be even, got {s}")
    if s > t:
        raise ValueError(f"blocks ({s}) cannot exceed the rows of returns ({t})")
    if math.comb(s, s // 2) > MAX_SPLITS:
        raise ValueError(f"blocks={s} makes {math.comb(s, s // 2):,} splits; at most {MAX_SPLITS:,} (blocks <= 22)")
    if isinstance(metric, str):
        if metric not in ("sharpe", "mean", "sortino"):
            raise ValueError(f"metric must be 'sharpe', 'mean', 'sortino' or a function, got {metric!r}")
    elif not callable(metric):
        raise TypeError(f"metric must be a name or a function, not {type(metric).__name__}")
    edges = np.linspace(0, t, s + 1).round().astype(np.int64)
    bounds = [(int(edges[i]), int(edges[i + 1])) for i in range(s)]
    picked = np.array(list(itertools.combinations(range(s), s // 2)), dtype=np.int64)
    mask = np.zeros((picked.shape[0], s), dtype=bool)
    mask[np.arange(picked.shape[0])[:, None], picked] = True
    rest = np.nonzero(~mask)[1].reshape(picked.shape[0], s // 2)
    parts: list[tuple[Float, Float, Float]] = []
    if isinstance(metric, str):
        sums = _block_sums(values, bounds)
        step = max(1, CHUNK // n)
        for lo in range(0, picked.shape[0], step):
            halves = []
            for blocks_of in (picked[lo : lo + step], rest[lo : lo + step]):
                # Block by block in a fixed order, no BLAS product: the same figures on every machine.
                acc = [np.zeros((blocks_of.shape[0], n)) for _ in sums]
                for k in range(blocks_of.shape[1]):
                    for a, part in zip(acc, sums):
                        a += part[blocks_of[:, k]]
                halves.append(_metric_from_sums(metric, *acc))
            parts.append(_rank_logits(*halves))
    else:
        row_sets = [np.arange(lo, hi) for lo, hi in bounds]
        for combo_in, combo_out in zip(picked, rest):
            ins = _callable_metric(metric, values, np.concatenate([row_sets[b] for b in combo_in]), n)
            oos = _callable_metric(metric, values, np.concatenate([row_sets[b] for b in combo_out]), n)
            parts.append(_rank_logits(ins[None, :], oos[None, :]))
    logits, ins_best, oos_best = (np.concatenate(p) for p in zip(*parts))
    ok = np.isfinite(ins_best) & np.isfinite(oos_best)
    slope = math.nan
    if ok.sum() > 1:
        dx = ins_best[ok] - ins_best[ok].mean()
        dy = oos_best[ok] - oos_best[ok].mean()
        sxx = float((dx * dx).sum())
        slope = float((dx * dy).sum()) / sxx if sxx > 0 else math.nan
    loss = float(np.mean(oos_best[ok] < 0)) if ok.any() else math.nan
    for a in (logits, ins_best, oos_best):
        a.flags.writeable = False
    return PBO(
        pbo=float(np.mean(logits <= 0)),
        logits=logits,
        slope=slope,
        prob_oos_loss=loss,
        n_trials=n,
        blocks=s,
        in_sample=ins_best,
        out_of_sample=oos_best,
    )


# --------------------------------------------------------------------------- bootstrap

#: The figures a resample has: those of `stats()` that the return series alone defines.
STATS = _stat_table.SELECTABLE


def optimal_block_length(returns: Returns) -> float:
    """Mean block length for the stationary bootstrap of `returns`, by Politis and White (2004).

    With the corrected constant of Patton, Politis and White (2009), and the
    lag rule of the published reference code (arch's `optimal_block_length`,
    R's ``np::b.star``), for T returns:

    - ``rho_k``: the autocorrelations of the demeaned returns (autocovariances
      over T);
    - ``K_T = max(5, int(log10 T))``, ``m_max = ceil(sqrt(T)) + K_T``;
    - ``m_hat``: the first lag ``j >= 1`` from which ``K_T`` autocorrelations
      in a row, ``rho_j .. rho_(j + K_T - 1)``, are all below
      ``c sqrt(log10(T) / T)`` in absolute value, with ``c = 2`` (without
      such a run: the last significant lag up to ``m_max``);
    - ``M = min(2 m_hat, m_max)``, and with the flat-top window
      ``lambda(u) = 1`` for ``u <= 1/2``, ``2 (1 - u)`` up to 1:
      ``G = sum_(|k| <= M) lambda(k / M) |k| R(k)``,
      ``g(0) = sum_(|k| <= M) lambda(k / M) R(k)``, ``D = 2 g(0)^2``;
    - ``b = (2 G^2 / D)^(1/3) T^(1/3)``, capped at
      ``b_max = ceil(min(3 sqrt(T), T / 3))``.

    The result is not floored at 1: it is below 1 when the returns show
    (almost) no autocorrelation, and `bootstrap` then uses blocks of 1 (an
    i.i.d. resampling). A series without variance gives 1.0.

    Parameters
    ----------
    returns : Series or 1-D array
        Simple per-period returns (non-finite values are left out; at least
        3).

    Returns
    -------
    float
        The mean block length of the stationary bootstrap in periods (not an
        integer in general).

    References
    ----------
    .. [1] Politis, D. N. and White, H. (2004). Automatic block-length
       selection for the dependent bootstrap. Econometric Reviews, 23(1),
       53-70.
    .. [2] Patton, A., Politis, D. N. and White, H. (2009). Correction to
       "Automatic block-length selection for the dependent bootstrap".
       Econometric Reviews, 28(4), 372-375.
    """
    return _block_length(_returns(returns)[0])


def _block_length(x: Float) -> float:
    t = x.size
    d = x - x.mean()
    k_n = max(5, int(math.log10(t)))
    m_max = min(math.ceil(math.sqrt(t)) + k_n, t - 1)  # no lag beyond the data
    b_max = math.ceil(min(3.0 * math.sqrt(t), t / 3.0))
    acov = np.array([float(np.dot(d[: t - k], d[k:])) / t for k in range(m_max + 1)])
    if not acov[0] > 0:
        return 1.0
    rho = acov[1:] / acov[0]  # rho[j - 1] is lag j, j = 1 .. m_max
    small = np.abs(rho) < 2.0 * math.sqrt(math.log10(t) / t)
    m_hat = 0
    for j in range(1, m_max - k_n + 2):
        if small[j - 1 : j - 1 + k_n].all():  # lags j .. j + K - 1
            m_hat = j
            break
    if m_hat == 0:  # no run of small ones: the last significant lag
        significant = np.flatnonzero(~small)
        m_hat = int(significant[-1]) + 1 if significant.size else 1
    big_m = min(2 * m_hat, m_max)
    k = np.arange(1, big_m + 1)
    u = k / big_m
    window = np.where(u <= 0.5, 1.0, 2.0 * (1.0 - u))
    g = 2.0 * float(np.sum(window * k * acov[1 : big_m + 1]))
    g0 = acov[0] + 2.0 * float(np.sum(window * acov[1 : big_m + 1]))
    if g0 == 0:
        return float(b_max) if g != 0 else 1.0
    b = (2.0 * g * g / (2.0 * g0 * g0)) ** (1.0 / 3.0) * t ** (1.0 / 3.0)
    return float(min(b, b_max))


def _uniforms(bits: np.random.PCG64, shape: tuple[int, int]) -> Float:
    """Uniform [0, 1) doubles from the raw 64-bit stream (53 bits each): the same on every NumPy version."""
    raw = bits.random_raw(shape[0] * shape[1]).reshape(shape)
    out: Float = (raw >> np.uint64(11)).astype(np.float64) * 2.0**-53
    return out


def _resample_rows(bits: np.random.PCG64, count: int, length: int, block: float) -> npt.NDArray[np.int64]:
    """`count` stationary-bootstrap index rows of `length` into 0..length-1 (mean block `block`, circular)."""
    starts = np.minimum((_uniforms(bits, (count, length)) * length).astype(np.int64), length - 1)
    fresh = _uniforms(bits, (count, length)) < 1.0 / block
    fresh[:, 0] = True
    pos = np.broadcast_to(np.arange(length, dtype=np.int64), (count, length))
    began = np.maximum.accumulate(np.where(fresh, pos, 0), axis=1)  # where the current block began
    out: npt.NDArray[np.int64] = (np.take_along_axis(starts, began, axis=1) + pos - began) % length
    return out


def _figures(returns: Float, years: float, per_year: float, rf: Float | None = None) -> dict[str, Float]:
    """`stats()`'s figures of every row of `returns` (finite), computed as `korvel.stats.performance` does.

    Equity starts at 1 and compounds the row; the returns it is measured on
    are taken back from the equity, as `performance` takes them, and the
    Sharpe and Sortino ratios take them less `rf` (the risk-free return of
    each, the same shape).  Rows whose equity reaches 0 (a -100 % return)
    are handed to `performance` itself.
    """
    m, t = returns.shape
    equity = np.empty((m, t + 1))
    equity[:, 0] = 1.0
    np.cumprod(1.0 + returns, axis=1, out=equity[:, 1:])
    final = equity[:, -1]
    out: dict[str, Float] = {"total_return": final - 1.0}
    with np.errstate(invalid="ignore", divide="ignore"):
        r = equity[:, 1:] / equity[:, :-1] - 1.0
        # Python's float power, as performance() takes it (NumPy's may differ in the last bit).
        out["cagr"] = np.array([_stats.annualised(f, years) for f in final.tolist()])
        sd = r.std(axis=1, ddof=1)
        root = math.sqrt(per_year)
        out["annual_volatility"] = sd * root
        excess = r if rf is None else r - rf
        if rf is not None:
            sd = excess.std(axis=1, ddof=1)
        mean = excess.mean(axis=1)
        downside = np.sqrt(np.mean(np.minimum(excess, 0.0) ** 2, axis=1))
        out["sharpe"] = np.where(sd > 0, mean / sd * root, np.nan)
        out["sortino"] = np.where(downside > 0, mean / downside * root, np.nan)
        peak = np.maximum.accumulate(np.maximum(equity, 1.0), axis=1)
        worst = (equity / peak - 1.0).min(axis=1)
        out["max_drawdown"] = worst
        out["calmar"] = np.where(worst < 0, out["cagr"] / -worst, np.nan)
    bad = np.flatnonzero(~np.isfinite(r).all(axis=1))
    if bad.size:
        span = round(years * NS_PER_YEAR)
        dates = np.linspace(0, span, t + 1).astype(np.int64)
        for i in bad:
            rows = None if rf is None else np.concatenate(([0.0], rf[i]))
            with np.errstate(invalid="ignore", divide="ignore"):
                perf = _stats.performance(equity[i], dates, rows)
            for key, column in out.items():
                column[i] = perf[key]
    return out


def bootstrap(
    returns: Returns,
    stats: Sequence[str] = ("sharpe", "cagr", "max_drawdown"),
    n: int = 2000,
    block: float | None = None,
    seed: int = 0,
    confidence: float = 0.95,
    *,
    periods_per_year: float | None = None,
    rf: Returns | None = None,
) -> pd.DataFrame:
    """Confidence intervals of `stats()` figures by the stationary block bootstrap.

    Each resample joins blocks of consecutive returns (circularly) whose
    lengths are geometric with mean `block` (Politis and Romano, 1994); its
    figures are those `Result.stats()` reports for the equity that compounds
    the resampled returns over the original period (same years, same periods
    per year: the Sharpe ratio is annualised as `stats()` annualises it).
    The intervals are percentile intervals.

    Parameters
    ----------
    returns : Series or 1-D array
        Simple per-period returns; non-finite values are left out.
    stats : sequence of str
        Among "total_return", "cagr", "annual_volatility", "sharpe",
        "sortino", "calmar", "max_drawdown".
    n : int
        Resamples (at least 1).
    block : float, optional
        Mean block length in periods (at least 1; 1 resamples single
        returns).  Default: `optimal_block_length` of the returns, at least 1.
    seed : int
        Seed of a ``numpy.random.Generator(PCG64(seed))``; resamples are drawn
        from its raw stream in fixed chunks, so a seed gives the same
        resamples on every machine.
    confidence : float
        In (0, 1): the intervals run between the ``(1 - confidence) / 2`` and
        ``(1 + confidence) / 2`` quantiles of the resampled figures.
    periods_per_year : float, optional
        Default: from the dates of `returns` (see the module notes).
    rf : Series or 1-D array, optional
        The risk-free return of each period (``Result.risk_free``),
        resampled with the returns: the Sharpe and Sortino ratios take the
        returns in excess of it, as `stats()` does; the other figures the
        returns themselves.

    Returns
    -------
    DataFrame
        Index: the stats; columns: estimate (on the returns themselves),
        lower, upper, std (over the resamples).  ``attrs`` holds block, n,
        seed and confidence.  A resample whose figure is NaN (no variance,
        say) is left out of that figure's interval.

    References
    ----------
    .. [1] Politis, D. N. and Romano, J. P. (1994). The stationary bootstrap.
       Journal of the American Statistical Association, 89(428), 1303-1313.
    .. [2] Politis, D. N. and White, H. (2004), with the correction of Patton,
       Politis and White (2009): see `optimal_block_length`.
    """
    if isinstance(stats, str):
        stats = (stats,)
    names = list(stats)
    unknown = [s for s in names if s not in STATS]
    if unknown or not names:
        raise ValueError(f"stats: {unknown[0] if unknown else 'nothing'!r} is not one of {', '.join(STATS)}")
    count = _count(n, "n", 1)
    level = _number(confidence, "confidence", 0.0, low_open=True, high=1.0, high_open=True)
    if isinstance(seed, bool) or not isinstance(seed, numbers.Integral) or int(seed) < 0:
        raise ValueError(f"seed must be a non-negative integer, got {seed!r}")
    r, total, dates = _returns(returns)
    less = None if rf is None else _risk_free(rf, returns)[np.isfinite(_floats(returns, "returns"))]
    years = _years(total, dates, periods_per_year)
    per_year = r.size / years
    # The estimate can fall below one period: blocks of one are single returns.
    length = max(1.0, _block_length(r)) if block is None else _number(block, "block", 1.0)
    estimate = _figures(r[None, :], years, per_year, None if less is None else less[None, :])
    bits = cast(np.random.PCG64, np.random.Generator(np.random.PCG64(int(seed))).bit_generator)
    draws = {s: np.empty(count) for s in names}
    step = max(1, CHUNK // (2 * r.size))  # fixed by the data alone: the same chunks everywhere
    for lo in range(0, count, step):
        rows = _resample_rows(bits, min(step, count - lo), r.size, length)
        figures = _figures(r[rows], years, per_year, None if less is None else less[rows])
        for s in names:
            draws[s][lo : lo + rows.shape[0]] = figures[s]
    tail = (1.0 - level) / 2.0
    table = []
    for s in names:
        d = draws[s][np.isfinite(draws[s])]
        lower, upper = np.quantile(d, [tail, 1.0 - tail]) if d.size else (math.nan, math.nan)
        table.append(
            (float(estimate[s][0]), float(lower), float(upper), float(d.std(ddof=1)) if d.size > 1 else math.nan)
        )
    out = pd.DataFrame(table, index=pd.Index(names, name="stat"), columns=["estimate", "lower", "upper", "std"])
    out.attrs.update(block=length, n=count, seed=int(seed), confidence=level)
    return out
