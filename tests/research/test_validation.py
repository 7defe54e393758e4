"""korvel.validation against the published check values, hand computations, brute force and stats()."""

import itertools
import math
import sys
from statistics import NormalDist

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import korvel
from korvel import validation
from korvel.results import _stats as stats

PHI = NormalDist().cdf
# [0, 0, 0, .04] by hand: mean .01, sample sd .02 -> SR .5; m2 3e-4, m3 6e-6, m4 21e-8 -> skew 2/sqrt(3), kurt 7/3.
SKEWED = np.array([0.0, 0.0, 0.0, 0.04])
SR, SKEW, KURT = 0.5, 2 / math.sqrt(3), 7 / 3
BRACKET = 1 - SKEW * SR + (KURT - 1) / 4 * SR**2
# Bailey, Borwein, Lopez de Prado & Zhu: the table whose logits are ln4, ln1.5, -ln1.5, -ln4, -ln4, ln4.
CSCV = np.array([[-0.03, 0.02, 0, 0], [0.05, 0.03, 0.04, 0.01], [0.05, 0.05, -0.04, -0.03], [-0.02, 0.01, 0.04, 0]])


def quarterly(values):
    """Returns 91.3125 days apart: (4 - 1) periods over 0.75 years -> 4 periods per year."""
    dates = pd.Timestamp("2020-01-01") + pd.to_timedelta(np.arange(len(values)) * 91.3125, unit="D")
    return pd.Series(values, index=dates)


def test_deflated_sharpe_check_value():
    dsr = validation.deflated_sharpe_from_moments(2.5 / math.sqrt(250), 1250, -3.0, 10.0, 100, 0.5 / 250)
    assert round(dsr, 4) == 0.9004


def test_probabilistic_sharpe_by_hand():
    assert validation.probabilistic_sharpe(SKEWED) == pytest.approx(PHI(SR * math.sqrt(3) / math.sqrt(BRACKET)))
    # An annual benchmark of 1 at 4 periods a year is 0.5 per period: the observed ratio exactly.
    assert validation.probabilistic_sharpe(SKEWED, 1.0, periods_per_year=4) == pytest.approx(0.5)
    assert validation.probabilistic_sharpe(quarterly(SKEWED), 1.0) == pytest.approx(0.5)
    # NaN returns are left out, as stats() leaves them out; NA of a nullable dtype too.
    assert validation.probabilistic_sharpe(np.r_[np.nan, SKEWED, np.inf]) == validation.probabilistic_sharpe(SKEWED)
    nullable = pd.Series([None, *SKEWED], dtype="Float64")
    assert validation.probabilistic_sharpe(nullable) == validation.probabilistic_sharpe(SKEWED)


def test_min_track_record_length_by_hand():
    z = NormalDist().inv_cdf(0.9)
    assert validation.min_track_record_length(SKEWED, confidence=0.9) == pytest.approx(1 + BRACKET * (z / SR) ** 2)
    target = 0.2 * math.sqrt(4)  # 0.2 per period
    expected = 1 + BRACKET * (NormalDist().inv_cdf(0.95) / (SR - 0.2)) ** 2
    assert validation.min_track_record_length(quarterly(SKEWED), target) == pytest.approx(expected)
    assert validation.min_track_record_length(SKEWED, 1.5, periods_per_year=4) == math.inf


def test_deflated_sharpe_from_trials_by_hand():
    rising = np.array([0.01, 0.02, 0.03, 0.04])  # mean .025, sample variance 5e-4 / 3
    trials = pd.DataFrame({"a": SKEWED, "b": rising, "c": -SKEWED})
    variance = np.var([SR, 0.025 / math.sqrt(5e-4 / 3), -SR], ddof=1)
    expected = validation.deflated_sharpe_from_moments(SR, 4, SKEW, KURT, 3, variance)
    assert validation.deflated_sharpe(SKEWED, trials) == pytest.approx(expected)
    assert validation.deflated_sharpe(SKEWED, (3, variance)) == pytest.approx(expected)
    # n_trials overrides the count; one trial means no selection: the PSR against 0.
    assert validation.deflated_sharpe(SKEWED, trials, n_trials=1) == pytest.approx(
        validation.probabilistic_sharpe(SKEWED)
    )
    assert validation.deflated_sharpe(SKEWED, trials, n_trials=50) < expected
    # A flat trial counts in N but has no Sharpe ratio for V (0.7 x 7 leaves rounding errors as deviations).
    table = pd.DataFrame(np.random.default_rng(1).normal(0.001, 0.01, (7, 3)))
    with_flat = table.assign(flat=0.7)
    assert validation.deflated_sharpe(SKEWED, with_flat) == validation.deflated_sharpe(SKEWED, table, n_trials=4)


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda: validation.probabilistic_sharpe([0.01, 0.02]), ValueError, "at least 3 finite"),
        (lambda: validation.probabilistic_sharpe(pd.DataFrame({"a": SKEWED})), TypeError, "not a DataFrame"),
        (lambda: validation.probabilistic_sharpe(SKEWED, 1.0), ValueError, "give periods_per_year"),
        (lambda: validation.probabilistic_sharpe(SKEWED, 1.0, periods_per_year=0), ValueError, "periods_per_year"),
        (lambda: validation.min_track_record_length(SKEWED, confidence=1.0), ValueError, "confidence"),
        (lambda: validation.deflated_sharpe(SKEWED, (0.5, 0.01)), ValueError, "n_trials"),
        (lambda: validation.deflated_sharpe(SKEWED, (10, -0.01)), ValueError, "variance"),
        (lambda: validation.deflated_sharpe(SKEWED, pd.DataFrame({"a": SKEWED})), ValueError, "at least 2 trials"),
        (lambda: validation.deflated_sharpe_from_moments(0.1, 2, 0, 3, 10, 0.01), ValueError, "length"),
        (lambda: validation.deflated_sharpe_from_moments(0.1, 100, 0, 0.5, 10, 0.01), ValueError, "kurtosis"),
    ],
)
def test_bad_arguments(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_undefined_figures_are_nan():
    flat = np.full(7, 0.7)  # its mean is not exactly 0.7: the deviations are rounding errors
    assert math.isnan(validation.probabilistic_sharpe(flat))
    assert math.isnan(validation.min_track_record_length(flat))
    # Skew 10 and kurtosis 1 with a Sharpe ratio of 0.3: 1 - 10 * 0.3 + (1 - 1) / 4 * 0.09 < 0.
    assert math.isnan(validation.deflated_sharpe_from_moments(0.3, 100, 10.0, 1.0, 10, 0.01))


def test_effective_trials():
    a = np.array([-1.0, 1.0, -1.0, 1.0])
    b = np.array([-1.0, -1.0, 1.0, 1.0])  # zero mean, orthogonal to a
    # Correlations [[1, 1, 0], [1, 1, 0], [0, 0, 1]]: eigenvalues 2, 1, 0 -> (sqrt 2 + 1)^2 / 3.
    assert validation.effective_trials(np.c_[a, 0.02 * a + 0.01, b]) == pytest.approx((math.sqrt(2) + 1) ** 2 / 3)
    # A mirror image counts as a duplicate and a flat trial as nothing.
    assert validation.effective_trials(np.c_[a, b, -b, np.full(4, 0.01)]) == pytest.approx((math.sqrt(2) + 1) ** 2 / 3)
    # Two trials with correlation rho: eigenvalues 1 +- rho -> 1 + sqrt(1 - rho^2).
    c = 0.6 * a + 0.8 * b  # unit-variance mix: correlation 0.6 with a
    assert validation.effective_trials(np.c_[a, c]) == pytest.approx(1 + math.sqrt(1 - 0.36))
    noise = np.random.default_rng(3).normal(size=(2000, 60))
    assert 58 < validation.effective_trials(noise) <= 60
    # Three unrelated families of 20 near-duplicates (the 57 tiny eigenvalues add about 0.03).
    families = np.repeat(noise[:, :3], 20, axis=1) + 1e-3 * noise[:, :60]
    assert validation.effective_trials(families) == pytest.approx(3.0, abs=0.05)
    with pytest.raises(ValueError, match="returns vary"):
        validation.effective_trials(np.ones((5, 3)))


def test_pbo_check_values():
    result = validation.pbo(CSCV, blocks=4, metric="mean")
    l4, l15 = math.log(4), math.log(1.5)
    np.testing.assert_allclose(result.logits, [l4, l15, -l15, -l4, -l4, l4])
    assert result.pbo == 0.5 and (result.n_trials, result.blocks) == (4, 4)
    # The chosen trial per split, by hand: in-sample means and out-of-sample means.
    chosen_in = [0.025, 0.035, 0.02, 0.05, 0.04, 0.03]
    chosen_out = [0.03, 0.02, 0.0, -0.025, -0.02, 0.025]
    np.testing.assert_allclose(result.in_sample, chosen_in)
    np.testing.assert_allclose(result.out_of_sample, chosen_out, atol=1e-15)
    assert result.slope == pytest.approx(np.polyfit(chosen_in, chosen_out, 1)[0])
    assert result.prob_oos_loss == pytest.approx(2 / 6)
    by_function = validation.pbo(CSCV, blocks=4, metric=lambda rows: rows.mean(axis=0))
    np.testing.assert_allclose(by_function.logits, result.logits)


def brute_force_logits(table, blocks, metric):
    edges = np.linspace(0, len(table), blocks + 1).round().astype(int)
    parts = [table[edges[i] : edges[i + 1]] for i in range(blocks)]
    logits = []
    for half in itertools.combinations(range(blocks), blocks // 2):
        ins = np.concatenate([parts[b] for b in half])
        oos = np.concatenate([parts[b] for b in range(blocks) if b not in half])
        score_in = [metric(c[~np.isnan(c)]) for c in ins.T]
        score_out = [metric(c[~np.isnan(c)]) for c in oos.T]
        best = int(np.argmax(score_in))
        rank = 1 + sum(s < score_out[best] for s in score_out)
        logits.append(math.log(rank / (table.shape[1] + 1 - rank)))
    return np.array(logits)


@pytest.mark.parametrize(
    "name, metric",
    [
        ("sharpe", lambda x: x.mean() / x.std(ddof=1)),
        ("sortino", lambda x: x.mean() / math.sqrt(np.mean(np.minimum(x, 0) ** 2))),
    ],
)
def test_pbo_against_brute_force(name, metric):
    table = np.random.default_rng(7).normal(0.001, 0.01, size=(63, 5))
    table[[4, 30], [1, 3]] = np.nan  # left out of those trials' metrics
    np.testing.assert_allclose(
        validation.pbo(table, blocks=6, metric=name).logits, brute_force_logits(table, 6, metric)
    )


def test_pbo_noise_and_a_dominant_trial():
    noise = np.random.default_rng(11).normal(0.0, 0.01, size=(1000, 30))
    assert 0.25 <= validation.pbo(noise, blocks=10).pbo <= 0.75
    noise[:, 17] += 0.01
    result = validation.pbo(noise, blocks=10)
    assert result.pbo == 0.0 and result.prob_oos_loss == 0.0


def test_pbo_never_picks_a_flat_trial():
    table = np.random.default_rng(4).normal(0.0, 0.01, size=(200, 4))
    table[:, 2] = 0.0007  # blocks of 50 equal returns: sum of squares - n mean^2 is a rounding error > 0
    result = validation.pbo(table, blocks=4)
    assert np.abs(result.in_sample).max() < 1


def test_pbo_ties_share_the_mean_rank():
    twins = np.tile(np.random.default_rng(2).normal(size=(8, 1)), (1, 3))
    result = validation.pbo(twins, blocks=4)
    np.testing.assert_array_equal(result.logits, 0.0)  # rank (3 + 1) / 2 of 3: w = 1/2
    assert result.pbo == 1.0


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"blocks": 3}, ValueError, "even"),
        ({"blocks": 6}, ValueError, "cannot exceed"),
        ({"blocks": 24, "returns": np.zeros((30, 2))}, ValueError, "2,704,156 splits"),
        ({"metric": "calmar"}, ValueError, "metric"),
        ({"metric": lambda rows: rows[0, :2]}, ValueError, "one value per trial"),
    ],
)
def test_pbo_bad_arguments(kwargs, error, match):
    with pytest.raises(error, match=match):
        validation.pbo(**{"returns": CSCV, "blocks": 4, **kwargs})


def test_pbo_plot(monkeypatch):
    result = validation.pbo(CSCV, blocks=4, metric="mean")
    from matplotlib.figure import Figure

    fig = result.plot()
    assert isinstance(fig, Figure) and len(fig.axes) == 2
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r"pip install 'korvel\[plot\]'"):
        result.plot()


@settings(max_examples=50, deadline=None)
@given(
    arrays(
        np.float64,
        st.tuples(st.integers(1, 4), st.integers(2, 30)),
        elements=st.floats(-1.0, 0.5) | st.sampled_from([0.0, -1.0]),
    )
)
def test_resample_figures_match_stats_performance(rows):
    """Every figure of every resample as performance() computes it, -100 % returns included."""
    t = rows.shape[1]
    dates = np.arange(t + 1, dtype=np.int64) * 86_400 * 10**9 * 3
    years = (dates[-1] - dates[0]) / (stats.NS_PER_DAY * stats.DAYS_PER_YEAR)
    figures = validation._figures(rows, years, t / years)
    for i, row in enumerate(rows):
        equity = np.r_[1.0, np.cumprod(1.0 + row)]
        with np.errstate(invalid="ignore"):
            expected = stats.performance(equity, dates)
        for key, values in figures.items():
            np.testing.assert_array_equal(values[i], expected[key], err_msg=key)


def test_bootstrap_estimate_is_stats_of_the_backtest():
    dates = pd.date_range("2020-01-01", periods=400, freq="D")
    prices = 100 * np.exp(np.cumsum(np.random.default_rng(5).normal(0, 0.01, (400, 2)), axis=0))
    close = pd.DataFrame(prices, index=dates, columns=["a", "b"])
    result = korvel.backtest(pd.DataFrame(0.5, index=dates, columns=["a", "b"]), close, trade_at="close")
    table = validation.bootstrap(result.returns, stats=validation.STATS, n=50, block=5)
    expected = result.stats()[list(validation.STATS)].astype(float)
    np.testing.assert_allclose(table["estimate"], expected, rtol=1e-12)


def test_bootstrap_is_reproducible_and_sized_like_the_sampling_error():
    r = pd.Series(np.random.default_rng(9).normal(0.0004, 0.01, 1000), index=pd.bdate_range("2015-01-01", periods=1000))
    first = validation.bootstrap(r, n=2000, block=1, seed=4)
    pd.testing.assert_frame_equal(first, validation.bootstrap(r, n=2000, block=1, seed=4))
    assert not first.equals(validation.bootstrap(r, n=2000, block=1, seed=5))
    assert first.attrs == {"block": 1.0, "n": 2000, "seed": 4, "confidence": 0.95}
    # IID resamples of IID returns: the Sharpe ratio's standard error sqrt((1 + SR^2 / 2) / T), annualised.
    per_year = 999 / ((r.index[-1] - r.index[0]).days / 365.25)
    sr = r.mean() / r.std()
    assert first.loc["sharpe", "std"] == pytest.approx(math.sqrt((1 + sr**2 / 2) / 1000 * per_year), rel=0.08)
    lower, upper = first.loc["sharpe", ["lower", "upper"]]
    assert upper - lower == pytest.approx(2 * 1.96 * first.loc["sharpe", "std"], rel=0.08)


def test_resamples_are_stationary_blocks():
    bits = np.random.PCG64(1)
    rows = validation._resample_rows(bits, 200, 500, 10.0)
    assert rows.min() >= 0 and rows.max() < 500
    starts = np.diff(rows, axis=1) != 1  # a new block (the wrap from 499 to 0 aside)
    starts &= ~((rows[:, :-1] == 499) & (rows[:, 1:] == 0))
    assert starts.mean() == pytest.approx(0.1, rel=0.05)
    whole = validation._resample_rows(bits, 5, 50, 1e12)  # one block each: a circular shift
    np.testing.assert_array_equal((whole - whole[:, :1]) % 50, np.tile(np.arange(50), (5, 1)))


def ar1(rng, phi, n):
    shocks, x = rng.normal(size=n), np.zeros(n)
    for i in range(1, n):
        x[i] = phi * x[i - 1] + shocks[i]
    return x


# Block-length check values worked out by hand. T = 16: K = max(5, int(log10 16)) = 5, m_max = ceil(4) + 5 = 9,
# the threshold 2 sqrt(log10(16) / 16) = 0.5487, b_max = ceil(min(12, 16 / 3)) = 6. R(k) is the sum of
# x_i x_(i+k) over 16 (each series sums to 0). The flat-top window at k / M: 1 up to 1/2, then 2 (1 - k / M).
BLOCK_CASES = {
    # R(0..5) = 12, 1, -1, 1, 0, 0 (/16): rho_1 .. rho_5 all small, m_hat = 1, M = 2 (lambda = 1, 0):
    # G = 2 R(1) = 2/16, g(0) = R(0) + 2 R(1) = 14/16, b = (G / g(0))^(2/3) 16^(1/3) = (1/7)^(2/3) 16^(1/3),
    # below 1 (not floored).
    "no dependence": ([-1, -1, 0, 1, -1, 1, 1, 1, 1, -1, 0, 1, 0, -1, 0, -1], (1 / 7) ** (2 / 3) * 16 ** (1 / 3)),
    # R(0..6) = 10, -6, 3, -1, -1, 2, -3 (/16): rho_1 = -0.6 significant, rho_2 .. rho_6 small: m_hat = 2,
    # M = 4 (lambda = 1, 1, 1/2, 0): G = 2 (R1 + 2 R2 + 1.5 R3) = -3/16, g(0) = R0 + 2 (R1 + R2 + R3 / 2) = 3/16,
    # b = 1^(2/3) 16^(1/3). (Two lags shorter, m_hat = 1 and M = 2, it would be 6^(2/3) 16^(1/3), capped at 6.)
    "one lag": ([-1, 1, -1, 0, 1, 0, 1, -1, 1, -1, 1, 0, -1, 0, 0, 0], 16 ** (1 / 3)),
    # Alternating: R(k) = (-1)^k (16 - k) / 16, significant up to lag 7 (9/16), no run of five small ones up to
    # m_max: m_hat = 7 (the last significant lag), M = min(14, 9) = 9; with lambda = 1 (k <= 4), 8/9, 6/9, 4/9,
    # 2/9, 0: G = (2/16)(22 - 68/3) = -1/12, g(0) = 1 + (2/16)(-2 - 16/3) = 1/12, b = 16^(1/3).
    "no run": ([1, -1] * 8, 16 ** (1 / 3)),
}


@pytest.mark.parametrize("case", list(BLOCK_CASES))
def test_optimal_block_length_check_values(case):
    x, expected = BLOCK_CASES[case]
    assert validation.optimal_block_length(np.array(x, dtype=float)) == pytest.approx(expected, rel=1e-12)


def test_a_block_length_below_one_bootstraps_single_returns():
    x = np.array(BLOCK_CASES["no dependence"][0], dtype=float) / 100
    assert validation.optimal_block_length(x) < 1.0
    assert validation.bootstrap(x, n=5, periods_per_year=252).attrs["block"] == 1.0


def test_the_block_length_is_capped_at_b_max():
    # Period 4 (1, 1, -1, -1): R(k) x 16 = 16, 1, -14, -1, 12, 1, -10, -1, 8, 1 for k = 0 .. 9; significant up to
    # lag 6, no run of five small ones: m_hat = 6, M = min(12, 9) = 9. G = (2/16)(18 - 40 + 140/9) = -29/36,
    # g(0) = 1 + (2/16)(-2 - 40/9) = 7/36: b = (29/7)^(2/3) 16^(1/3) = 6.50, capped at b_max = 6.
    x = np.array([1.0, 1.0, -1.0, -1.0] * 4)
    assert (29 / 7) ** (2 / 3) * 16 ** (1 / 3) > 6
    assert validation.optimal_block_length(x) == 6.0


def test_optimal_block_length():
    rng = np.random.default_rng(0)
    assert validation.optimal_block_length(rng.normal(size=2000)) < 1.5  # white noise: short blocks
    # AR(1): G / g(0) = 2 phi / (1 - phi^2) and D = 2 g(0)^2, so b = (G / g(0))^(2/3) n^(1/3); the uncorrected
    # circular-bootstrap constant 4/3 would make it 14 % longer.
    phi, n = 0.5, 20_000
    theory = (2 * phi / (1 - phi**2)) ** (2 / 3) * n ** (1 / 3)
    series = [ar1(rng, phi, n) for _ in range(4)]
    mean = np.mean([validation.optimal_block_length(x) for x in series])
    assert mean == pytest.approx(theory, rel=0.07)
    blocks = validation.bootstrap(series[0] / 100, n=10, periods_per_year=252).attrs["block"]
    assert blocks == pytest.approx(validation.optimal_block_length(series[0]), rel=1e-12)


@pytest.mark.parametrize(
    "kwargs, match",
    [
        ({"stats": ("sharpe", "beta")}, "beta"),
        ({"n": 0}, "n must be"),
        ({"block": 0.5}, "block"),
        ({"confidence": 1.5}, "confidence"),
        ({"seed": -1}, "seed"),
        ({"periods_per_year": None}, "give periods_per_year"),
    ],
)
def test_bootstrap_bad_arguments(kwargs, match):
    with pytest.raises(ValueError, match=match):
        validation.bootstrap(SKEWED, **{"periods_per_year": 4, **kwargs})


def test_trial_sharpes_by_blocks_give_the_deflated_sharpe_of_the_whole_table():
    rng = np.random.default_rng(7)
    trials = pd.DataFrame(rng.normal(0.0005, 0.01, (300, 9)))
    trials.iloc[:40, 2] = np.nan  # a later start
    trials.iloc[:, 5] = 0.001  # no variance: no Sharpe ratio, left out of V
    whole = validation.trial_sharpes(trials)
    blocks = np.concatenate([validation.trial_sharpes(trials.iloc[:, j : j + 4]) for j in range(0, 9, 4)])
    np.testing.assert_array_equal(blocks, whole)
    assert np.isnan(whole[5]) and np.isfinite(np.delete(whole, 5)).all()
    best = trials[0]
    pair = (whole.size, float(np.nanvar(whole, ddof=1)))
    assert validation.deflated_sharpe(best, pair) == validation.deflated_sharpe(best, trials)
