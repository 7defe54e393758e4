"""Every check of the layer's inputs names the argument and the first offending date or label."""

import pickle

import numpy as np
import pandas as pd
import pytest
from layer_support import closes

import korvel
from korvel._market import view_of

PRICES = np.array([[10.0, 20.0, 30.0], [11.0, 21.0, 29.0], [12.0, 19.0, 31.0], [13.0, 22.0, 30.0]])


def close_frame(**kw):
    return closes(PRICES, **kw)


def weights_frame(values=((0.5, -0.5, 0.0),), dates=("2024-01-01",), columns=("S0", "S1", "S2")):
    return pd.DataFrame(np.array(values, dtype=float), index=pd.DatetimeIndex(dates), columns=list(columns))


def shuffled_dates(df):
    return df.iloc[[0, 2, 1, 3]]


def with_duplicate_date(df):
    out = df.copy()
    out.index = out.index[[0, 1, 1, 3]]
    return out


def cell(df, row, col, value):
    out = df.copy()
    out.iloc[row, col] = value
    return out


@pytest.mark.parametrize(
    "close, error, words",
    [
        (PRICES, TypeError, ["close", "DataFrame", "ndarray"]),
        (pd.DataFrame(PRICES), TypeError, ["close", "DatetimeIndex"]),
        (close_frame().to_period("D"), TypeError, ["close", "to_timestamp"]),
        (shuffled_dates(close_frame()), ValueError, ["close", "out of order", "2024-01-02"]),
        (with_duplicate_date(close_frame()), ValueError, ["close", "duplicate date", "2024-01-02"]),
        (close_frame().set_axis(["A", "B", "A"], axis=1), ValueError, ["close", "duplicate instrument", "'A'"]),
        (close_frame().set_axis([1, "1", "B"], axis=1), ValueError, ["close", "as text", "'1'"]),
        (close_frame().astype({"S1": str}), TypeError, ["close", "'S1'", "numbers"]),
        (close_frame().astype({"S2": bool}), TypeError, ["close", "'S2'"]),
        (cell(close_frame(), 2, 1, 0.0), ValueError, ["close", "0.0", "'S1'", "2024-01-03"]),
        (cell(close_frame(), 1, 2, -3.0), ValueError, ["close", "-3.0", "'S2'", "2024-01-02"]),
        (cell(close_frame(), 3, 0, np.inf), ValueError, ["close", "inf", "'S0'", "2024-01-04"]),
        (close_frame().iloc[:0], ValueError, ["close", "empty"]),
        (close_frame().astype({"S1": complex}), TypeError, ["close", "'S1'", "complex", "real numbers"]),
        (close_frame().set_axis(["S0", None, "S2"], axis=1), ValueError, ["close", "missing instrument label"]),
        (close_frame().set_axis(["S0", "S1", np.nan], axis=1), ValueError, ["close", "missing", "column 2"]),
    ],
)
def test_market_refuses_bad_closes(close, error, words):
    with pytest.raises(error) as info:
        korvel.Market(close)
    for word in words:
        assert word in str(info.value)


@pytest.mark.parametrize(
    "name, table, words",
    [
        ("open", close_frame().iloc[1:], ["open", "2024-01-01", "close only"]),
        ("high", close_frame(start="2024-01-02"), ["high", "2024-01-01"]),
        ("low", close_frame().drop(columns="S1"), ["low", "'S1'", "close only"]),
        ("open", close_frame().rename(columns={"S2": "X"}), ["open", "'X'", "open only"]),
        ("open", close_frame(tz="UTC"), ["open", "timezone"]),
    ],
)
def test_other_tables_must_match_the_closes(name, table, words):
    with pytest.raises(ValueError) as info:
        korvel.Market(close_frame(), **{name: table})
    for word in words:
        assert word in str(info.value)


def test_other_tables_are_aligned_by_label_and_missing_ones_read_as_the_close():
    opens = close_frame() * 1.01
    market = korvel.Market(close_frame(), open=opens[["S2", "S0", "S1"]])
    pd.testing.assert_frame_equal(market.open, opens, check_freq=False)
    pd.testing.assert_frame_equal(market.high, close_frame(), check_freq=False)
    assert market.tables == ("close", "open")


@pytest.mark.parametrize(
    "delisted, error, words",
    [
        ({"S0": "2024-01-02"}, TypeError, ["delisted", "Series"]),
        (pd.Series({"ZZ": pd.Timestamp("2024-01-02")}), ValueError, ["delisted", "'ZZ'", "not in the market"]),
        (pd.Series({"S1": pd.Timestamp("2023-12-01")}), ValueError, ["delisted", "'S1'", "before the first"]),
        (pd.Series({"S1": "soon"}), TypeError, ["delisted", "dates"]),
    ],
)
def test_delisted_is_checked(delisted, error, words):
    with pytest.raises(error) as info:
        korvel.Market(close_frame(), delisted=delisted)
    for word in words:
        assert word in str(info.value)


def test_delisting_rows():
    last = pd.Series(
        {"S0": pd.Timestamp("2024-01-02"), "S1": pd.Timestamp("2024-01-03 18:00"), "S2": pd.Timestamp("2024-01-06")}
    )  # the Saturday after the last row
    market = korvel.Market(close_frame(), delisted=last)
    # The last market row on or before the date; after the data: not delisted within it.
    assert view_of(market).delisting_rows.tolist() == [1, 2, -1]
    assert market.delisted.index.tolist() == ["S0", "S1"]


@pytest.mark.parametrize(
    "weights, error, words",
    [
        (PRICES, TypeError, ["weights", "DataFrame"]),
        (weights_frame(columns=("S0", "S1", "XX")), ValueError, ["weights", "'XX'", "not in the market"]),
        (weights_frame(dates=("2023-12-29",)), ValueError, ["weights", "2023-12-29", "before the first market date"]),
        (weights_frame(values=((0.5, np.inf, 0.0),)), ValueError, ["weights", "infinite", "'S1'"]),
        (
            weights_frame(values=((0.5, 0.1, 0.0), (0.2, 0.2, 0.2)), dates=("2024-01-02", "2024-01-01")),
            ValueError,
            ["weights", "out of order", "2024-01-01"],
        ),
        (weights_frame().tz_localize("UTC"), ValueError, ["weights", "timezone", "naive"]),
        (weights_frame().astype(object), TypeError, ["weights", "numbers"]),
        (weights_frame().iloc[:0], ValueError, ["weights", "empty"]),
        (weights_frame().astype({"S2": complex}), TypeError, ["weights", "'S2'", "complex"]),
        (weights_frame(columns=("S0", None, "S2")), ValueError, ["weights", "missing instrument label"]),
    ],
)
def test_weights_are_checked(weights, error, words):
    with pytest.raises(error) as info:
        korvel.backtest(weights, close_frame())
    for word in words:
        assert word in str(info.value)


@pytest.mark.parametrize(
    "rules, error, words",
    [
        (dict(fee=1.0), ValueError, ["fee", "[0, 1)"]),
        (dict(tax=-0.01), ValueError, ["tax"]),
        (dict(fee="0.1"), TypeError, ["fee", "number"]),
        (dict(stop_loss=10), ValueError, ["stop_loss", "fraction", "did you mean 0.1"]),
        (dict(stop_loss=0), ValueError, ["stop_loss", "above 0"]),
        (dict(take_profit=-0.2), ValueError, ["take_profit"]),
        (dict(trail_stop=5), ValueError, ["trail_stop", "did you mean 0.05"]),
        (dict(trail_activation=0.05), ValueError, ["trail_activation", "trail_stop"]),
        (dict(trail_stop=0.1, trail_activation=-1), ValueError, ["trail_activation"]),
        (dict(position_limit=0), ValueError, ["position_limit", "(0, 1]"]),
        (dict(position_limit=1.5), ValueError, ["position_limit"]),
        (dict(trade_at="mid"), ValueError, ["trade_at", "'mid'"]),
        (dict(excursion_window=-1), ValueError, ["excursion_window"]),
        (dict(excursion_step=0), ValueError, ["excursion_step"]),
        (dict(excursion_window=2.5), TypeError, ["excursion_window", "integer"]),
        (dict(touched_exit="yes"), TypeError, ["touched_exit", "True or False"]),
        (dict(stop_loss=float("nan")), ValueError, ["stop_loss", "NaN"]),
        (dict(fee=10**400), ValueError, ["fee", "too large", "401 digits"]),
        (dict(take_profit=10**400), ValueError, ["take_profit", "too large"]),
        (dict(rebalance="fortnightly"), ValueError, ["rebalance", "offset alias"]),
        (dict(rebalance=3), TypeError, ["rebalance"]),
        (dict(rebalance=["2024-01-02", None]), ValueError, ["rebalance", "NaT"]),
        (dict(benchmark=[1, 2, 3]), TypeError, ["benchmark"]),
        (
            dict(benchmark=pd.Series([1.0, -1.0], index=pd.date_range("2024-01-01", periods=2))),
            ValueError,
            ["benchmark", "-1.0"],
        ),
    ],
)
def test_rules_are_checked(rules, error, words):
    with pytest.raises(error) as info:
        korvel.backtest(weights_frame(), close_frame(), **rules)
    for word in words:
        assert word in str(info.value)


@pytest.mark.parametrize("flag", [np.True_, np.False_])
def test_numpy_booleans_are_flags(flag):
    res = korvel.backtest(weights_frame(), close_frame(), touched_exit=flag, split_at_rebalance=flag)
    assert res.config["touched_exit"] is bool(flag) and res.config["split_at_rebalance"] is bool(flag)


def test_rule_names_are_exported_for_sweeps():
    import inspect

    keywords = set(inspect.signature(korvel.backtest).parameters) - {"weights", "market"}
    assert korvel.RULES == keywords


@pytest.mark.parametrize("unit", ["s", "ms", "us"])
def test_any_date_unit_gives_the_nanosecond_result(unit):
    """pandas may hold dates in seconds or microseconds: the engine must still see one unit."""
    close = close_frame()
    weights = weights_frame(values=((0.5, -0.5, 0.0), (0.0, 0.5, 0.5)), dates=("2024-01-01", "2024-01-02"))
    expected = korvel.backtest(weights, close).equity
    as_unit = lambda df: df.set_axis(df.index.as_unit(unit))  # noqa: E731
    got = korvel.backtest(as_unit(weights), korvel.Market(as_unit(close))).equity
    np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())


def test_timezones_convert_to_the_same_instants():
    close = close_frame(tz="America/New_York")
    weights = weights_frame().tz_localize("America/New_York").tz_convert("Asia/Tokyo")
    with pytest.warns(korvel.KorvelWarning, match="timezone Asia/Tokyo and the market's in America/New_York"):
        res = korvel.backtest(weights, close)
    assert str(res.equity.index.tz) == "America/New_York"
    naive = korvel.backtest(weights_frame(), close_frame())
    np.testing.assert_array_equal(res.equity.to_numpy(), naive.equity.to_numpy())


@pytest.mark.parametrize("tz, unit", [(None, "ns"), (None, "s"), ("America/New_York", "ms")])
def test_a_market_row_s_timestamp_is_its_date_made_once(tz, unit):
    from korvel._market import timestamp_at

    close = close_frame(tz=tz)
    market = korvel.Market(close.set_axis(close.index.as_unit(unit)))
    for row in (0, 2, -1):
        stamp, date = timestamp_at(market, row), market.dates[row]
        assert stamp == date and stamp.unit == date.unit and str(stamp.tz) == str(date.tz)
        assert timestamp_at(market, row) is stamp


@pytest.mark.parametrize(
    "stamp, text",
    [
        (pd.Timestamp("2024-03-10"), "2024-03-10"),
        (pd.Timestamp("1969-12-31"), "1969-12-31"),  # before the epoch
        (pd.Timestamp("2024-03-10").as_unit("s"), "2024-03-10"),
        (pd.Timestamp("2024-03-10 00:00:00.000000001"), "2024-03-10 00:00:00.000000001"),
        (pd.Timestamp("1969-12-31 23:59:59"), "1969-12-31 23:59:59"),
        (pd.Timestamp("2024-03-10", tz="America/New_York"), "2024-03-10 (America/New_York)"),
        (pd.Timestamp("2024-03-10 12:00", tz="UTC"), "2024-03-10 12:00:00+00:00"),
    ],
)
def test_a_message_shows_a_date_at_midnight_as_its_day(stamp, text):
    from korvel._checks import when

    assert when(stamp) == text


def test_nullable_and_integer_columns_convert():
    close = close_frame().astype({"S0": "Float64", "S1": "int64"})
    close.iloc[1, 0] = pd.NA
    market = korvel.Market(close)
    assert np.isnan(market.close.iloc[1, 0]) and market.close["S1"].dtype == np.float64


def test_market_pickles_as_arrays_and_is_read_only():
    market = korvel.Market(close_frame(), open=close_frame() * 1.01)
    market.close  # fills the cache of pandas views
    blob = pickle.dumps(market)
    back = pickle.loads(blob)
    assert back._cache == {} and back.shape == market.shape
    pd.testing.assert_frame_equal(back.open, market.open)
    with pytest.raises(ValueError):
        view_of(back).close[0, 0] = 1.0
    # Changing a table handed out leaves the market as it was.
    view = market.close
    view["extra"] = 1.0
    try:
        view.iloc[0, 0] = 99.0
    except ValueError:
        pass  # read-only without copy-on-write
    assert market.close.iloc[0, 0] == 10.0 and "extra" not in market.close


def test_table_digests_follow_every_table_and_are_cached():
    from korvel._market import table_digests

    dates = pd.date_range("2020-01-01", periods=4)
    close = pd.DataFrame([[1.0, 2.0], [1.5, 2.5], [1.2, 2.2], [1.3, 2.1]], index=dates, columns=["A", "B"])
    plain = table_digests(korvel.Market(close))
    assert set(plain) == {"dates", "labels", "close", "delisting_rows"}
    assert plain == table_digests(korvel.Market(close.copy()))
    moved = close.copy()
    moved.iloc[2, 1] = np.nextafter(2.2, 3.0)  # one ulp in one cell
    assert table_digests(korvel.Market(moved))["close"] != plain["close"]
    assert table_digests(korvel.Market(moved))["dates"] == plain["dates"]
    renamed = table_digests(korvel.Market(close.rename(columns={"B": "C"})))
    assert renamed["labels"] != plain["labels"] and renamed["close"] == plain["close"]
    with_open = table_digests(korvel.Market(close, open=close * 1.01))
    assert with_open["close"] == plain["close"] and "open" in with_open


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda: korvel.backtest(close_frame(), weights_frame()), ValueError, ["the weights come first"]),
        (
            lambda: korvel.backtest(weights_frame(), close_frame(), benchmark=close_frame()),
            TypeError,
            ["not a DataFrame (4 rows x 3 columns)", "frame[column]"],
        ),
        (lambda: korvel.backtest(weights_frame(), close_frame(), benchmark="SPY"), ValueError, ["'SPY' is not an"]),
        (lambda: korvel.backtest(weights_frame(), close_frame(), rebalance="M"), ValueError, ["did you mean 'ME'?"]),
        (lambda: korvel.backtest(weights_frame(), close_frame(), rebalance="monthy"), ValueError, ["monthly"]),
        (
            lambda: korvel.Market(closes(PRICES, columns=[1.0, 2.0, 3.0]), delisted=pd.Series(["2020"], index=[2.0])),
            ValueError,
            ["delisted: 2.0 has its last date"],
        ),
    ],
)
def test_a_careless_call_is_named_plainly(call, error, words):
    with pytest.raises(error) as info:
        call()
    text = str(info.value)
    assert all(word in text for word in words) and "np.float64" not in text and "\n" not in text, text


def test_save_to_a_missing_folder_names_the_path_given(tmp_path):
    target = tmp_path / "no such folder" / "m.korvel"
    with pytest.raises(FileNotFoundError, match=f"cannot write the market file {target}: ") as info:
        korvel.Market(close_frame()).save(target)
    assert ".partial" not in str(info.value)


@pytest.mark.parametrize("name, ok", [("r.png", False), ("r.HTML", True), ("r.htm", True), ("r", False)])
def test_the_report_is_written_to_html_files_only(tmp_path, name, ok):
    res = korvel.backtest(weights_frame(), close_frame())
    if ok:
        assert res.report(tmp_path / name).read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    else:
        with pytest.raises(ValueError, match="does not end in .html or .htm"):
            res.report(tmp_path / name)
        assert not (tmp_path / name).exists()
