"""The demo, the korvel command, the summary, the figure and the report."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from layer_support import market_and_weights

import korvel
from korvel import _demo as demo
from korvel import cli

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
