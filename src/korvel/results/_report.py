"""One self-contained HTML file per run: figures, charts, trades, tomorrow's orders and the rules.

Everything is inline (styles, the figure as an embedded PNG), so the file
opens offline and can be mailed as it is.  Without matplotlib the report is
written without its chart and says so.
"""

from __future__ import annotations

import base64
import html
import io
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pandas as pd

from korvel.results._summary import stat_rows

if TYPE_CHECKING:
    from korvel.results._result import Result


#: Trades listed in full up to this many; beyond, the first and last half of it.
MAX_TRADE_ROWS = 1000

STYLE = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; margin: 2em auto; max-width: 1200px;
       color: #222; padding: 0 1em; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; } h2 { font-size: 1.15em; margin-top: 2em; border-bottom: 1px solid #ddd; }
.muted { color: #777; } img { max-width: 100%; }
table { border-collapse: collapse; font-size: 12.5px; }
th, td { padding: 3px 9px; border-bottom: 1px solid #eee; text-align: right; white-space: nowrap; }
th { background: #f6f6f6; } td:first-child, th:first-child { text-align: left; }
.stats { display: grid; grid-template-columns: repeat(auto-fill, minmax(270px, 1fr)); gap: 0 2em; }
.stats div { display: flex; justify-content: space-between; border-bottom: 1px solid #eee; padding: 3px 0; }
.scroll { max-height: 32em; overflow: auto; }
"""


def write_report(result: Result, path: Path, folds: pd.DataFrame | None = None) -> Path:
    path.write_text(report_html(result, folds), encoding="utf-8")
    return path


def report_html(result: Result, folds: pd.DataFrame | None = None) -> str:
    """The page; `folds`, a walk-forward's folds, are listed after the figures."""
    stats = result.stats()
    config = result.config
    title = f"korvel backtest {stats['start'].date()} .. {stats['end'].date()}"
    parts = [
        f"<!DOCTYPE html><html><head><meta charset='utf-8'><title>{html.escape(title)}</title>",
        f"<style>{STYLE}</style></head><body>",
        f"<h1>{html.escape(title)}</h1>",
        f"<p class='muted'>{html.escape(config['market'])}; written {time.strftime('%Y-%m-%d %H:%M')}</p>",
        "<h2>Figures</h2>",
        _stats_grid(stats),
        *(
            ["<h2>Walk-forward folds</h2>", "<div class='scroll'>" + _table(folds) + "</div>"]
            if folds is not None
            else []
        ),
        "<h2>Charts</h2>",
        _chart(result),
        "<h2>Next trading day</h2>",
        _actions(result),
        "<h2>Trades</h2>",
        _trades(result),
        "<h2>Rules as run</h2>",
        _config(config),
        "</body></html>",
    ]
    return "\n".join(parts)


def _stats_grid(stats: pd.Series) -> str:
    cells = "".join(
        f"<div><span>{html.escape(label.strip())}</span><b>{html.escape(text)}</b></div>"
        for label, text in stat_rows(stats)
    )
    return f"<div class='stats'>{cells}</div>"


def _chart(result: Result) -> str:
    try:
        figure = result.plot()
    except ImportError as exc:
        return f"<p class='muted'>{html.escape(str(exc))}</p>"
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=96)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f"<img alt='equity, drawdown, excursions and monthly returns' src='data:image/png;base64,{data}'>"


def _actions(result: Result) -> str:
    table = result.actions
    due = "a rebalance is due" if table.attrs.get("rebalance_due") else "no rebalance is due"
    head = f"<p>As of the close of {table.attrs['as_of'].date()}: {due}.</p>"
    if table.empty:
        return head + "<p class='muted'>No holdings and nothing to do.</p>"
    return head + "<div class='scroll'>" + _table(table) + "</div>"


def _trades(result: Result) -> str:
    trades = result.trades
    n = len(trades)
    note = f"<p>{n:,} trade records.</p>"
    if n > MAX_TRADE_ROWS:
        half = MAX_TRADE_ROWS // 2
        trades = pd.concat([trades.iloc[:half], trades.iloc[-half:]])
        note = (
            f"<p>{n:,} trade records: the first and the last {half:,} are listed "
            "(<code>Result.trades</code> has them all).</p>"
        )
    return note + "<div class='scroll'>" + _table(trades) + "</div>"


def _config(config: dict[str, Any]) -> str:
    rows = [(k, v) for k, v in config.items() if k != "engine"]
    rows += [(f"engine: {k}", v) for k, v in config["engine"].items()]
    body = "".join(f"<tr><td>{html.escape(str(k))}</td><td>{html.escape(_text(v))}</td></tr>" for k, v in rows)
    return f"<table>{body}</table>"


def _text(value: Any) -> str:
    return "off" if value is None else str(value)


def _table(frame: pd.DataFrame) -> str:
    return frame.to_html(float_format=lambda x: f"{x:.4f}", na_rep="", border=0)
