"""The demo, the korvel command, the summary, the figure and the report."""

import argparse
import gzip
import importlib.util
import os
import re
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from layer_support import LATE_BENCHMARK, UNPRICED, market_and_weights

import korvel
from korvel import _demo as demo
from korvel import cli

# The synthetic markets' late listings warn on purpose (see layer_support).
pytestmark = [pytest.mark.filterwarnings(UNPRICED), pytest.mark.filterwarnings(LATE_BENCHMARK)]


SMALL = ["--instruments", "40", "--days", "400", "--lookback", "60", "--skip", "5", "--long", "6"]


@pytest.fixture(scope="module")
def result():
    _, _, market, weights = market_and_weights(20, 300, seed=5)
    return korvel.backtest(weights, market, stop_loss=0.05, excursion_window=10, excursion_step=5, benchmark="S0001")


def test_summary_lists_every_figure(result):
    text = result.summary()
    for label in (
        "Period",
        "Total return",
        "CAGR",
        "Sharpe ratio",
        "Max drawdown",
        "Win rate",
        "Profit factor",
        "Mean MAE / MFE",
        "Beta / alpha",
        "Rules",
    ):
        assert label in text
    stats = result.stats()
    assert f"{100 * stats['total_return']:.2f}%" in text and f"{stats['trades']:,}" in text


def test_a_run_without_trades_still_reports():
    close = pd.DataFrame({"A": np.linspace(10, 11, 20)}, index=pd.bdate_range("2024-01-01", periods=20))
    with pytest.warns(korvel.KorvelWarning, match="no trade at all"):
        res = korvel.backtest(pd.DataFrame({"A": [0.0]}, index=close.index[:1]), close)
    stats = res.stats()
    assert stats["trades"] == 0 and np.isnan(stats["win_rate"]) and stats["total_return"] == 0.0
    assert "n/a" in res.summary() and res.trades.empty and res.actions.empty


def test_actions_text(result):
    text = demo.format_actions(result.actions, limit=2)
    assert "totals:" in text and "more" in text
    assert demo.format_actions(result.actions.iloc[:0]) == "  no holdings and nothing to do"


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="needs the plot extra")
def test_figure_and_report(result, tmp_path):
    fig = result.plot()
    assert len(fig.axes) == 5  # equity, drawdown, excursions, monthly returns and its colour bar
    assert fig.axes[0].get_legend() is not None  # the benchmark is drawn
    path = result.report(tmp_path / "run.html", interactive=False)
    page = path.read_text()
    assert page.startswith("<!DOCTYPE html>") and "data:image/png;base64," in page
    # Works offline: nothing is loaded from elsewhere.
    assert not re.search(r"<(script|link|img)[^>]*(src|href)=[\"']?(https?:)?//", page)
    for part in ("Next trading day", "Trades", "Rules as run", "stop_loss", "S0001"):
        assert part in page


def test_plot_without_matplotlib_names_the_extra(result, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"korvel\[plot\]"):
        result.plot()
    from korvel.results._report import report_html

    # The report says why it has no chart.
    assert "korvel[plot]" in report_html(result._report_data(), interactive=False)


def test_report_lists_long_trade_tables_in_part(result, monkeypatch, tmp_path):
    import dataclasses

    from korvel.results import _report as report

    monkeypatch.setitem(sys.modules, "matplotlib", None)
    data = dataclasses.replace(result._report_data(), max_trade_rows=10)
    page = report.report_html(data, interactive=False)
    assert "the report lists at most 10: the first 5 and the last" in page


def test_demo_command(capsys, tmp_path):
    args = [
        "demo",
        *SMALL,
        "--short",
        "3",
        "--stop-loss",
        "0.1",
        "--touched-exit",
        "--report",
        str(tmp_path / "r.html"),
    ]
    if importlib.util.find_spec("matplotlib"):
        args += ["--plot", str(tmp_path / "p.png")]
    assert cli.main(args) == 0
    out = capsys.readouterr().out
    for label in (
        "Momentum long 6 / short 3",
        "Total return",
        "Sharpe ratio",
        "Max drawdown",
        "Win rate",
        "Orders for the next trading day",
        "costs: fee 0.001425, tax 0.003 (the demo's own; --fee and --tax change them)",
    ):
        assert label in out
    assert (tmp_path / "r.html").exists()
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_reports_a_history_too_short(capsys):
    assert cli.main(["demo", "--days", "100", "--instruments", "10"]) == 2
    assert "lookback" in capsys.readouterr().err


def _write_inputs(tmp_path, parquet=False):
    generated, rows, market, weights = market_and_weights(10, 120, seed=2)
    suffix = ".parquet" if parquet else ".csv"
    files = {}
    for name, table in (("prices", market.close), ("open", market.open), ("weights", weights)):
        path = tmp_path / f"{name}{suffix}"
        table.to_parquet(path) if parquet else table.to_csv(path)
        files[name] = str(path)
    return market, weights, files


@pytest.mark.parametrize(
    "parquet",
    [
        False,
        pytest.param(
            True, marks=pytest.mark.skipif(importlib.util.find_spec("pyarrow") is None, reason="Parquet needs pyarrow")
        ),
    ],
)
def test_run_command_reads_files(tmp_path, capsys, parquet):
    market, weights, files = _write_inputs(tmp_path, parquet)
    trades = tmp_path / "trades.csv"
    code = cli.main(
        [
            "run",
            files["prices"],
            files["weights"],
            "--open",
            files["open"],
            "--stop-loss",
            "0.05",
            "--trades",
            str(trades),
            "--report",
            str(tmp_path / "out.html"),
        ]
    )
    assert code == 0
    assert "Total return" in capsys.readouterr().out
    expected = korvel.backtest(weights, market, stop_loss=0.05).trades
    got = pd.read_csv(trades)
    assert len(got) == len(expected) and (got["instrument"] == expected["instrument"].astype(str)).all()
    np.testing.assert_allclose(got["return"], expected["return"], rtol=1e-12)


@pytest.mark.filterwarnings("ignore:impact. .* had no estimate:korvel.KorvelWarning")  # the first rows have no history
def test_run_command_trades_at_a_size_with_a_volume_file(tmp_path, capsys):
    market, weights, files = _write_inputs(tmp_path)
    market.volume.to_csv(tmp_path / "volume.csv")
    size = ["--capital", "1e8", "--participation", "0.02", "--impact", "0.6"]
    trades = tmp_path / "trades.csv"
    run = ["run", files["prices"], files["weights"], "--open", files["open"], *size, "--trades", str(trades)]
    assert cli.main([*run, "--volume", str(tmp_path / "volume.csv")]) == 0
    assert "shares" in capsys.readouterr().out  # the orders in shares
    given = korvel.Market(market.close, open=market.open, volume=market.volume)  # what the command was given
    expected = korvel.backtest(weights, given, capital=1e8, participation=0.02, impact=0.6).trades
    got = pd.read_csv(trades)
    assert expected["fill_rows"].max() > 1  # the cap spread some entries
    np.testing.assert_array_equal(got["fill_rows"], expected["fill_rows"])
    np.testing.assert_allclose(got["impact"], expected["impact"], rtol=1e-9)  # through a CSV
    np.testing.assert_allclose(got["return"], expected["return"], rtol=1e-12)
    assert cli.main(run) == 2  # without the volume
    assert "impact needs the market's volume" in _one_line(capsys)


def test_run_command_reports_bad_input(tmp_path, capsys):
    _, _, files = _write_inputs(tmp_path)
    frame = pd.read_csv(files["weights"], index_col=0)
    frame["XYZ"] = 0.1
    frame.to_csv(files["weights"])
    assert cli.main(["run", files["prices"], files["weights"]]) == 2
    assert "'XYZ'" in capsys.readouterr().err
    assert cli.main(["run", str(tmp_path / "nothing.csv"), files["weights"]]) == 2
    assert "does not exist" in capsys.readouterr().err


def _one_line(capsys):
    err = capsys.readouterr().err
    lines = [line for line in err.splitlines() if not line.startswith("korvel: warning:")]
    assert len(lines) == 1 and lines[0].startswith("korvel: ") and "Traceback" not in err, err
    return lines[0]


@pytest.mark.parametrize(
    "spoil, which, words",
    [
        (lambda path: path.write_text(""), "prices", ["prices.csv", "is empty"]),
        (lambda path: path.write_text("date\n"), "prices", ["prices.csv", "no data"]),
        (
            lambda path: path.write_text(path.read_text().replace(",", ";")),
            "weights",
            ["weights.csv", "';'", "',' separated"],
        ),
        (
            lambda path: path.write_text('date,S0000\n2015-01-02,"12,5"\n'),
            "prices",
            ["prices.csv", "decimal mark", "'12,5'", "'S0000'"],
        ),
        (lambda path: path.write_text("date,S0000\nyesterday,12.5\n"), "prices", ["prices.csv", "must hold dates"]),
    ],
)
def test_run_command_names_the_file_and_its_problem(tmp_path, capsys, spoil, which, words):
    _, _, files = _write_inputs(tmp_path)
    spoil(Path(files[which]))
    assert cli.main(["run", files["prices"], files["weights"]]) == 2
    line = _one_line(capsys)
    for word in words:
        assert word in line


def test_run_command_refuses_swapped_files_and_a_missing_folder(tmp_path, capsys):
    _, _, files = _write_inputs(tmp_path)
    assert cli.main(["run", files["weights"], files["prices"]]) == 2
    assert "the prices come first" in _one_line(capsys)
    long_only = pd.read_csv(files["weights"], index_col=0).abs().replace(0.0, 0.25)  # also valid as prices
    long_only.to_csv(files["weights"])
    assert cli.main(["run", files["weights"], files["prices"]]) == 2
    assert f"prices file {files['weights']} holds weights" in _one_line(capsys)
    missing = tmp_path / "no such folder" / "out.html"
    assert cli.main(["run", files["prices"], files["weights"], "--report", str(missing)]) == 2
    assert "no such folder" in _one_line(capsys) and not missing.parent.exists()


def test_run_command_reads_yyyymmdd_dates_and_prints_the_orders(tmp_path, capsys):
    market, weights, files = _write_inputs(tmp_path)
    for name, table in (("prices", market.close), ("weights", weights)):
        table.set_axis(table.index.strftime("%Y%m%d").astype(int), axis=0).to_csv(files[name])
    assert cli.main(["run", files["prices"], files["weights"]]) == 0
    out = capsys.readouterr().out
    expected = korvel.backtest(weights, market.close).stats()
    assert f"{100 * expected['total_return']:.2f}%" in out
    assert f"{weights.index[0].date()} .. {market.dates[-1].date()}" in out  # dates, not nanoseconds
    assert f"Orders for the next trading day after {market.dates[-1].date()}" in out


def test_help_keeps_its_paragraphs(capsys):
    with pytest.raises(SystemExit):
        cli.main(["run", "--help"])
    out = capsys.readouterr().out
    assert "\n\nTables are CSV" in out and "\n    korvel demo [--plot run.png]" in out


def test_python_m_korvel_info():
    out = subprocess.run([sys.executable, "-m", "korvel", "info"], capture_output=True, text=True, check=True).stdout
    assert "korvel.core.portsim" in out and "pandas" in out


def test_core_imports_with_numpy_alone():
    """korvel/__init__ runs first on `import korvel.core`: it must not need pandas."""
    code = (
        "import sys; sys.modules['pandas'] = None\n"
        "import korvel.core.portsim, korvel.core.excursion, korvel.simulation._schedule, korvel.synthetic\n"
        "import korvel\n"
        "try:\n"
        "    korvel.Market\n"
        "except ImportError as exc:\n"
        "    print('refused:', exc)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "refused:" in out and "pandas" in out


def test_the_readme_examples_run_as_written(tmp_path, monkeypatch):
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    from_csv, intro = (block.split("```", 1)[0] for block in readme.split("```python\n")[1:3])
    _, _, market, weights = market_and_weights(10, 120, seed=1)
    monkeypatch.chdir(tmp_path)
    market.close.to_csv("closes.csv")
    exec(from_csv, {})
    assert "korvel backtest" in (tmp_path / "run.html").read_text()
    (tmp_path / "run.html").unlink()
    exec(intro, {"weights": weights, "closes": market.close})
    assert "korvel backtest" in (tmp_path / "run.html").read_text()


@pytest.mark.parametrize(
    "script, output", [("first_backtest.py", "first_backtest.html"), ("csv_to_report.py", "run.html")]
)
def test_the_examples_run(tmp_path, script, output):
    path = Path(__file__).resolve().parents[1] / "examples" / script
    out = subprocess.run([sys.executable, str(path)], cwd=tmp_path, capture_output=True, text=True, check=True)
    assert "Total return" in out.stdout and (tmp_path / output).exists()


def test_the_engine_internals_moved_to_docs():
    root = Path(__file__).resolve().parents[1]
    readme, engine = (root / "README.md").read_text(), (root / "docs" / "engine.md").read_text()
    assert "(docs/engine.md)" in readme
    for section in (
        "## Guarantees",
        "### The errors a caller can see",
        "### Process-wide state",
        "### Where the engine",
    ):
        assert section in engine and section not in readme


# --------------------------------------------------------------------------- hostile and careless inputs


def test_run_command_with_a_foreign_warning_ends(tmp_path):
    # A transposed closes file: pandas warns while parsing its first column (not a KorvelWarning).
    (tmp_path / "t.csv").write_text("name,2020-01-01,2020-01-02\nA,1,2\nB,3,4\n")
    (tmp_path / "w.csv").write_text("date,A\n2020-01-01,0.5\n")
    done = subprocess.run(
        [sys.executable, "-m", "korvel", "run", "t.csv", "w.csv"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 2
    lines = done.stderr.splitlines()
    assert len(lines) <= 3 and lines[-1].startswith("korvel: the first column of prices file t.csv"), done.stderr


def _gzip_bomb(path):
    with gzip.open(path, "wb", compresslevel=9) as f:
        f.write(b"date,S0000\n")
        f.write(b"2020-01-01,1.0\n" * 200_000)  # 3 MB of text from a few kB


def _big_csv(path):
    path.write_text("date,S0000\n" + "2020-01-01,1.0\n" * 100_000)


def _big_parquet(path):
    frame = pd.DataFrame({"S0000": np.arange(200_000, dtype=float) + 1}, index=pd.date_range("1900", periods=200_000))
    frame.to_parquet(path)


@pytest.mark.parametrize(
    "make, name", [(_gzip_bomb, "prices.csv.gz"), (_big_csv, "prices.csv"), (_big_parquet, "prices.parquet")]
)
def test_run_command_bounds_what_it_reads(tmp_path, capsys, make, name):
    _, _, files = _write_inputs(tmp_path)
    make(tmp_path / name)
    assert cli.main(["run", str(tmp_path / name), files["weights"], "--max-read", "1"]) == 2
    line = _one_line(capsys)
    assert f"prices file {tmp_path / name} holds more than 1 MB" in line and "--max-read" in line


def test_run_command_reads_gzip_within_the_bound(tmp_path, capsys):
    market, weights, files = _write_inputs(tmp_path)
    with gzip.open(tmp_path / "prices.csv.gz", "wt") as f:
        market.close.to_csv(f)
    assert cli.main(["run", str(tmp_path / "prices.csv.gz"), files["weights"]]) == 0
    assert f"{100 * korvel.backtest(weights, market.close).stats()['total_return']:.2f}%" in capsys.readouterr().out


def test_run_command_refuses_a_pipe(tmp_path):
    os.mkfifo(tmp_path / "pipe.csv")
    (tmp_path / "w.csv").write_text("date,A\n2020-01-01,0.5\n")
    done = subprocess.run(
        [sys.executable, "-m", "korvel", "run", "pipe.csv", "w.csv"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 2 and "prices file pipe.csv is not a regular file" in done.stderr


def _truncated(data):
    return data[: len(data) // 2]


def _bad_footer(data):
    return data[:-8] + b"\x00\x00\x00\x00PAR1"


def _flipped(data):
    spoilt = bytearray(data)
    for k in range(40, len(data) - 300, 97):
        spoilt[k] ^= 0xFF
    return bytes(spoilt)


def _hostile_metadata(frame):
    import pyarrow as pa

    table = pa.Table.from_pandas(frame)
    return table.replace_schema_metadata({b"pandas": b'{"index_columns": [{"kind": "range"}], "columns": 7}'})


def _deep_json(frame):
    import pyarrow as pa

    table = pa.Table.from_pandas(frame)
    return table.replace_schema_metadata({b"pandas": b"[" * 100_000 + b"]" * 100_000})


@pytest.mark.parametrize("damage", [_truncated, _bad_footer, _flipped, _hostile_metadata, _deep_json, lambda d: b""])
def test_run_command_names_a_damaged_parquet_file(tmp_path, capsys, damage):
    pq = pytest.importorskip("pyarrow.parquet")
    market, _, files = _write_inputs(tmp_path)
    path = tmp_path / "prices.parquet"
    if damage in (_hostile_metadata, _deep_json):
        pq.write_table(damage(market.close), path)
    else:
        market.close.to_parquet(path)
        path.write_bytes(damage(path.read_bytes()))
    code = cli.main(["run", str(path), files["weights"]])
    line = _one_line(capsys)
    assert code == 2 and str(path) in line


@pytest.mark.parametrize(
    "text, words",
    [
        ("date;S0000\n2020-01-01;1,5\n2020-01-02;1,6\n", ["separates its columns with ';'", "',' as the decimal mark"]),
        ("date,S0000\n12/01/2020,1.5\n13/01/2020,1.6\n", ["writes its dates day first ('13/01/2020')", "year first"]),
    ],
)
def test_run_command_names_locale_csv(tmp_path, capsys, text, words):
    _, _, files = _write_inputs(tmp_path)
    Path(files["prices"]).write_text(text)
    assert cli.main(["run", files["prices"], files["weights"]]) == 2
    line = _one_line(capsys)
    assert all(word in line for word in words), line


@pytest.mark.parametrize(
    "option, words",
    [
        (["--fee", "0.1%"], ["'0.1%'", "fractions", "0.1% is 0.001"]),
        (["--stop-loss", "ten"], ["'ten' is not a number"]),
        (["--rebalance", "M"], ["did you mean 'ME'?"]),
        (["--rebalance", "Q-DEC"], ["did you mean 'QE-DEC'?"]),
    ],
)
def test_run_command_says_a_bad_option_in_one_line(tmp_path, capsys, option, words):
    _, _, files = _write_inputs(tmp_path)
    with pytest.raises(SystemExit) as exit_:
        code = cli.main(["run", files["prices"], files["weights"], *option])
        raise SystemExit(code)
    err = capsys.readouterr().err
    lines = [line for line in err.splitlines() if not line.startswith("korvel: warning:")]
    assert exit_.value.code == 2 and len(lines) == 1 and all(word in lines[0] for word in words), err


@pytest.mark.parametrize("word, alias", [("monthly", "ME"), ("weekly", "W-FRI"), ("quarterly", "QE"), ("daily", "B")])
def test_period_words_are_the_aliases_they_stand_for(word, alias):
    _, _, market, weights = market_and_weights(6, 200, seed=4)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvel.KorvelWarning)
        by_word = korvel.backtest(weights, market, rebalance=word)
        by_alias = korvel.backtest(weights, market, rebalance=alias)
    pd.testing.assert_series_equal(by_word.equity, by_alias.equity)
    assert demo.demo_frequency(word) == demo.demo_frequency(alias) == word


def test_demo_takes_the_run_commands_aliases_and_refuses_others():
    assert demo.demo_frequency("W-MON") == "weekly"
    with pytest.raises(argparse.ArgumentTypeError, match="did you mean 'ME'"):
        demo.demo_frequency("M")
    with pytest.raises(argparse.ArgumentTypeError, match="the demo rebalances at"):
        demo.demo_frequency("YE")


def test_trades_csv_escapes_formula_like_labels():
    table = pd.DataFrame({"instrument": ["=cmd|' /C calc'!A0", "+1", "-2", "@SUM(A1)", "AAPL"], "return": [-0.5] * 5})
    safe = cli.spreadsheet_safe(table)
    assert safe["instrument"].tolist() == ["'=cmd|' /C calc'!A0", "'+1", "'-2", "'@SUM(A1)", "AAPL"]
    assert (safe["return"] == -0.5).all() and table["instrument"][1] == "+1"  # numbers and the input untouched


def test_help_reads_as_plain_words(capsys):
    with pytest.raises(SystemExit):
        cli.main(["run", "--help"])
    out = " ".join(capsys.readouterr().out.split())
    assert "``" not in out
    assert "--no-stop-next-period turns off what is on by default: an instrument stopped out" in out
    assert "--touched-exit on high / low / open, the same row (the default is: stops decided on the close" in out
    assert "False:" not in out and "True:" not in out


@pytest.mark.parametrize(
    "text, code, words",
    [
        ("instrument,last_date\nS0001,2015-04-01\n", 0, []),
        ("instrument,last_date\n7,2015-04-01\n", 2, ["delisted: 1 instrument not in the market: 7"]),
        ("instrument,last_date\nS0001,01/13/2015x\n", 2, ["the second column of delisted file"]),
        ("instrument,last_date,x\nS0001,2015-04-01,1\n", 2, ["3 columns; two are expected: instrument, last"]),
    ],
)
def test_run_command_reads_the_delistings_as_instrument_and_date(tmp_path, capsys, text, code, words):
    market, weights, files = _write_inputs(tmp_path)
    (tmp_path / "delisted.csv").write_text(text)
    args = ["run", files["prices"], files["weights"], "--delisted", str(tmp_path / "delisted.csv")]
    args += ["--trades", str(tmp_path / "trades.csv")]
    assert cli.main(args) == code
    if code:
        line = _one_line(capsys)
        assert all(word in line for word in words) and "np.float64" not in line, line
    else:
        delisted = pd.Series([pd.Timestamp("2015-04-01")], index=["S0001"])
        expected = korvel.backtest(weights, korvel.Market(market.close, delisted=delisted)).trades
        got = pd.read_csv(tmp_path / "trades.csv")
        assert (got["exit_reason"] == "delisting").sum() == (expected["exit_reason"] == "delisting").sum() > 0


@pytest.mark.parametrize(
    "write, code, words",
    [
        (lambda p, text: p.write_bytes(b"\xef\xbb\xbf" + text.encode()), 0, []),  # a BOM, as spreadsheets write
        (
            lambda p, text: p.write_bytes(gzip.compress(b"\x00" * 10)[:-6]),
            2,
            ["prices file", "cannot be opened as gzip"],
        ),
    ],
)
def test_run_command_reads_a_bom_and_names_a_broken_gzip(tmp_path, capsys, write, code, words):
    market, weights, files = _write_inputs(tmp_path)
    target = tmp_path / ("prices.csv" if code == 0 else "prices.csv.gz")
    write(target, market.close.to_csv())
    assert cli.main(["run", str(target), files["weights"]]) == code
    if code:
        line = _one_line(capsys)
        assert all(word in line for word in words), line
