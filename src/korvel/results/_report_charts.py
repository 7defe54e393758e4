"""The report's charts: plotly figures as plain JSON descriptions that the page draws with plotly.js.

plotly.js (from the plotly package, the ``report`` extra) travels in the page
compressed (raw DEFLATE, base64): the page unpacks it with the browser's own
DecompressionStream and then draws each chart from its description.  A description names
its dates by key (``"dates": "d0"``) from one table of dates per page, so a
date is written once however many curves use it.  Without plotly, each chart
is a PNG drawn by matplotlib.
"""

from __future__ import annotations

import base64
import functools
import html
import importlib
import io
import json
import math
import zlib
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from korvel.results._axes import log_ticks, tick_text

#: What a panel draws: lines, or bars (one per date).
KINDS = ("line", "bar")
#: Colours of a panel's curves, in order.
COLOURS = ("#1f4e79", "#c0392b", "#27ae60", "#8e44ad", "#d35400", "#7f8c8d")


@dataclass(frozen=True, eq=False)
class Panel:
    """One chart under the equity: curves over time, one per column of `frame`.

    Parameters
    ----------
    title : str
    frame : DataFrame
        A DatetimeIndex and a column of numbers per curve.
    kind : "line" or "bar"
    percent : bool
        The values are fractions shown in percent.
    right : tuple of str
        Columns drawn against a second axis on the right (counts beside fractions).
    note : str
        A sentence under the title.
    """

    title: str
    frame: pd.DataFrame
    kind: str = "line"
    percent: bool = False
    right: tuple[str, ...] = ()
    note: str = ""

    def __post_init__(self) -> None:
        if not isinstance(self.title, str) or not isinstance(self.note, str):
            raise TypeError("Panel: title and note must be str")
        if not isinstance(self.frame, pd.DataFrame) or not isinstance(self.frame.index, pd.DatetimeIndex):
            raise TypeError("Panel: frame must be a DataFrame with a DatetimeIndex")
        if self.kind not in KINDS:
            raise ValueError(f"Panel: kind must be one of {KINDS}, not {self.kind!r}")
        unknown = [c for c in self.right if c not in self.frame.columns]
        if unknown:
            raise ValueError(f"Panel: right names columns the frame lacks: {unknown}")


class Dates:
    """The page's table of dates: each distinct index once, by key."""

    def __init__(self) -> None:
        self._keys: dict[tuple[str, ...], str] = {}

    def key(self, index: pd.Index) -> str:
        dates = pd.DatetimeIndex(index)
        if dates.tz is not None:
            dates = dates.tz_localize(None)
        whole = bool((dates == dates.normalize()).all())
        texts = tuple(dates.strftime("%Y-%m-%d" if whole else "%Y-%m-%d %H:%M:%S"))
        return self._keys.setdefault(texts, f"d{len(self._keys)}")

    def script(self) -> str:
        table = {key: list(texts) for texts, key in self._keys.items()}
        return f"<script type='application/json' id='korvel-dates'>{_json(table)}</script>"


def numbers(values: np.ndarray, scale: float = 1.0) -> list[float | None]:
    """Values for a chart description: six significant digits (what a chart can show), None for a gap."""
    out: list[float | None] = []
    for v in (np.asarray(values, dtype=np.float64) * scale).tolist():
        out.append(float(f"{v:.6g}") if math.isfinite(v) else None)
    return out


def equity_figure(
    dates: Dates, equity: pd.Series, benchmark: pd.Series | None, drawdown: pd.Series, log: bool
) -> dict[str, Any]:
    """Equity (with the benchmark) over the drawdown, one x axis."""
    key = dates.key(equity.index)
    hover = "%{x|%Y-%m-%d}: %{y:.4f}"
    data: list[dict[str, Any]] = [
        _line(key, equity, "strategy", COLOURS[0], 1.4, hover),
    ]
    curves = [equity.to_numpy(dtype=np.float64)]
    if benchmark is not None:
        data.append(_line(key, benchmark, str(benchmark.name or "benchmark"), "#888888", 1.0, hover))
        curves.append(benchmark.to_numpy(dtype=np.float64))
    fall = _line(key, drawdown, "drawdown %", "#b22222", 0.8, "%{x|%Y-%m-%d}: %{y:.2f}%", scale=100.0)
    data.append({**fall, "yaxis": "y2", "fill": "tozeroy"})
    y: dict[str, Any] = {"domain": [0.34, 1.0], "title": {"text": "equity" + (" (log)" if log else "")}}
    if log:
        values = np.concatenate(curves)
        values = values[np.isfinite(values) & (values > 0)]
        ticks = log_ticks(float(values.min()), float(values.max()))
        y.update(type="log", tickvals=ticks, ticktext=[tick_text(t) for t in ticks])
    layout = _layout(560)
    layout.update(
        xaxis={"type": "date", "anchor": "y2"},
        yaxis=y,
        yaxis2={"domain": [0.0, 0.28], "title": {"text": "drawdown %"}},
    )
    return {"data": data, "layout": layout}


def panel_figure(dates: Dates, panel: Panel) -> dict[str, Any]:
    frame = panel.frame
    key = dates.key(frame.index)
    scale = 100.0 if panel.percent else 1.0
    unit = "%" if panel.percent else ""
    data: list[dict[str, Any]] = []
    for k, column in enumerate(frame.columns):
        right = column in panel.right
        colour = COLOURS[k % len(COLOURS)]
        hover = "%{x|%Y-%m-%d}: %{y:" + (".0f" if right else ".2f") + "}" + ("" if right else unit)
        if panel.kind == "bar":
            trace: dict[str, Any] = {
                "type": "bar",
                "dates": key,
                "y": numbers(frame[column].to_numpy(), scale),
                "name": str(column),
                "marker": {"color": colour},
                "hovertemplate": hover,
            }
        else:
            trace = _line(key, frame[column], str(column), colour, 1.1, hover, scale=1.0 if right else scale)
        if right:  # a count beside fractions: grey and dotted, against its own axis
            trace["yaxis"] = "y2"
            trace["line"] = {"color": "#7f7f7f", "width": 1.0, "dash": "dot"}
        data.append(trace)
    layout = _layout(300)
    layout.update(xaxis={"type": "date"}, yaxis={"title": {"text": unit or None}, "zeroline": True})
    if panel.right:
        layout["yaxis2"] = {
            "overlaying": "y",
            "side": "right",
            "title": {"text": ", ".join(panel.right)},
            "tickformat": ",d",
            "rangemode": "tozero",
            "showgrid": False,
        }
    return {"data": data, "layout": layout}


def chart_div(figure: dict[str, Any], name: str) -> str:
    """A chart's place in the page and its description (drawn by `LOADER` once plotly.js is unpacked)."""
    return (
        f"<div class='chart plot' id='{name}'></div>"
        f"<script type='application/json' class='korvel-chart' data-div='{name}'>{_json(figure)}</script>"
    )


def library_script() -> str:
    """plotly.js, compressed, and the script that unpacks it and draws the charts (ImportError without plotly)."""
    importlib.import_module("plotly")  # each time: whether plotly is importable now
    offline = importlib.import_module("plotly.offline")
    return (
        f"<script type='application/octet-stream' id='korvel-plotly'>{_packed_plotly(offline)}</script>"
        f"<script>{LOADER}</script>"
    )


@functools.lru_cache(maxsize=1)
def _packed_plotly(offline: Any) -> str:
    code: str = offline.get_plotlyjs()
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)  # raw DEFLATE, as DecompressionStream("deflate-raw") reads
    packed = packer.compress(code.encode("utf-8")) + packer.flush()
    return base64.b64encode(packed).decode("ascii")


def static_panel(panel: Panel) -> str:
    """A panel as a PNG (matplotlib); ImportError without it."""
    from matplotlib.figure import Figure

    fig = Figure(figsize=(12, 2.8), layout="constrained")
    ax = fig.subplots()
    frame = panel.frame
    dates = pd.DatetimeIndex(frame.index)
    dates = dates.tz_localize(None) if dates.tz is not None else dates
    scale = 100.0 if panel.percent else 1.0
    other = ax.twinx() if panel.right else None
    for k, column in enumerate(frame.columns):
        target = other if other is not None and column in panel.right else ax
        values = frame[column].to_numpy(dtype=np.float64) * (1.0 if target is other else scale)
        colour = COLOURS[k % len(COLOURS)]
        if panel.kind == "bar":
            target.bar(dates, values, width=20, color=colour, label=str(column))
        else:
            target.plot(dates, values, color=colour, lw=1.0, label=str(column))
    ax.set_ylabel("%" if panel.percent else "")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left", fontsize=8)
    if other is not None:
        other.set_ylabel(", ".join(panel.right))
        other.legend(loc="upper right", fontsize=8)
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=80)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f"<img class='chart' alt='{html.escape(panel.title)}' src='data:image/png;base64,{data}'>"


def _line(
    key: str, series: pd.Series, name: str, colour: str, width: float, hover: str, *, scale: float = 1.0
) -> dict[str, Any]:
    return {
        "type": "scatter",
        "mode": "lines",
        "dates": key,
        "y": numbers(series.to_numpy(dtype=np.float64), scale),
        "name": name,
        "line": {"color": colour, "width": width},
        "hovertemplate": hover,
    }


def _layout(height: int) -> dict[str, Any]:
    return {
        "height": height,
        "margin": {"l": 60, "r": 50, "t": 20, "b": 30},
        "hovermode": "x unified",
        "legend": {"orientation": "h", "y": 1.08, "x": 0},
        "paper_bgcolor": "#fff",
        "plot_bgcolor": "#fff",
        "font": {"size": 11},
    }


def _json(value: object) -> str:
    # Inside a script element: "</" would end it early.
    return json.dumps(value, separators=(",", ":"), allow_nan=False).replace("</", "<\\/")


#: Unpacks plotly.js (raw DEFLATE in base64) and draws every chart description of the page.
LOADER = r"""
(function () {
  "use strict";
  var described = document.querySelectorAll("script.korvel-chart");
  var packed = document.getElementById("korvel-plotly");
  if (!described.length || !packed) return;
  function say(text) {
    Array.prototype.forEach.call(described, function (s) {
      var div = document.getElementById(s.getAttribute("data-div"));
      if (div) { div.className += " muted"; div.textContent = text; }
    });
  }
  function draw() {
    var dates = JSON.parse(document.getElementById("korvel-dates").textContent);
    Array.prototype.forEach.call(described, function (s) {
      var fig = JSON.parse(s.textContent);
      fig.data.forEach(function (t) { t.x = dates[t.dates]; delete t.dates; });
      Plotly.newPlot(s.getAttribute("data-div"), fig.data, fig.layout, {displaylogo: false, responsive: true});
    });
  }
  if (typeof DecompressionStream === "undefined") {
    say("The charts need a browser that can unpack them (DecompressionStream: Chrome 80, Firefox 113, Safari 16.4).");
    return;
  }
  var text = atob(packed.textContent), bytes = new Uint8Array(text.length);
  for (var i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
  var stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("deflate-raw"));
  new Response(stream).text().then(function (code) {
    var script = document.createElement("script");
    script.textContent = code;
    document.head.appendChild(script);
    draw();
  }).catch(function (e) { say("The charts could not be drawn: " + e); });
})();
"""


def panels_html(panels: Sequence[Panel], dates: Dates | None) -> list[str]:
    """The panels' headings and charts: plotly charts when `dates` is given, else PNGs (nothing without matplotlib)."""
    if dates is None:
        try:
            charts = [static_panel(panel) for panel in panels]
        except ImportError:
            return []
    else:
        charts = [chart_div(panel_figure(dates, panel), f"panel-{k + 1}") for k, panel in enumerate(panels)]
    parts: list[str] = []
    for panel, chart in zip(panels, charts):
        parts.append(f"<h3>{html.escape(panel.title)}</h3>")
        if panel.note:
            parts.append(f"<p class='muted'>{html.escape(panel.note)}</p>")
        parts.append(chart)
    return parts
