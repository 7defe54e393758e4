"""The report in a real browser: headless chromium loads a copy with a probe script and dumps the page.

The probe waits for the page to load, counts the trade rows, sorts by a
column both ways, filters, checks the charts were drawn and collects script
errors, then writes what it saw as JSON into the page, which chromium's
``--dump-dom`` prints.
"""

from __future__ import annotations

import html
import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest
from layer_support import UNPRICED
from test_report import report_data, synthetic_result

from korvel.results._report import write_report

pytestmark = [pytest.mark.browser, pytest.mark.filterwarnings(UNPRICED)]

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

# Before the report's own scripts: collect every script error.
CATCH = (
    "<script>window.__errors = []; window.addEventListener('error', function (e) { "
    "window.__errors.push(String(e.message)); });</script>"
)

PROBE = """<script>
window.addEventListener("load", function () { setTimeout(probe, 500); });
function probe() {
  var out = {errors: window.__errors};
  try {
    var table = document.querySelector("table.grid.filtered"), heads = table.tHead.rows[0].cells;
    var names = Array.prototype.map.call(heads, function (h) { return h.textContent; });
    var k = names.indexOf("return"), who = names.indexOf("instrument");
    var shown = function () {
      return Array.prototype.filter.call(table.tBodies[0].rows, function (r) { return r.style.display !== "none"; });
    };
    var column = function (j) { return shown().map(function (r) { return r.cells[j].textContent; }); };
    out.columns = names;
    out.rows = shown().length;
    heads[k].click();
    out.ascending = column(k);
    heads[k].click();
    out.descending = column(k);
    var inputs = table.tHead.querySelectorAll("tr.filters input");
    inputs[k].value = ">0";
    inputs[k].dispatchEvent(new Event("input"));
    out.positive = column(k);
    inputs[k].value = "";
    inputs[who].value = "__NEEDLE__";
    inputs[who].dispatchEvent(new Event("input"));
    out.instrument = column(who);
    out.count = document.getElementById("trades-count").textContent;
    out.plotly_svgs = document.querySelectorAll(".js-plotly-plot svg.main-svg").length;
    out.plotly_traces = Array.prototype.map.call(document.querySelectorAll(".js-plotly-plot"), function (p) {
      return p.querySelectorAll(".scatterlayer .trace, .barlayer .trace").length;
    });
    out.image_widths = Array.prototype.map.call(document.querySelectorAll("img.chart"), function (img) {
      return img.complete ? img.naturalWidth : 0;
    });
  } catch (e) {
    out.errors.push("probe: " + e.message);
  }
  var pre = document.createElement("pre");
  pre.id = "probe";
  pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre);
}
</script>"""


def numbers(texts):
    return [float(t.replace(",", "")) for t in texts]


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed (Debian: apt-get install chromium)")
@pytest.mark.skipif(
    bool(os.environ.get("LD_PRELOAD")), reason="LD_PRELOAD is set (sanitizer runtime): chromium must not inherit it"
)
@pytest.mark.parametrize("interactive", [True, False], ids=["plotly", "static"])
def test_report_sorts_filters_and_draws_in_chromium(tmp_path, interactive):
    if interactive:
        pytest.importorskip("plotly")
    result = synthetic_result()
    trades = result.trades
    panels = result._report_panels()  # exposure, turnover, rolling Sharpe, volatility, beta
    data = report_data(result, panels=panels)
    page = write_report(data, tmp_path / "report.html", interactive=interactive).read_text("utf-8")
    probed = tmp_path / "probed.html"
    # The most traded instrument, typed in lower case (the filter ignores case).
    name = str(trades["instrument"].value_counts().index[0])
    probe = PROBE.replace("__NEEDLE__", name.lower())
    probed.write_text(page.replace("<head>", "<head>" + CATCH, 1).replace("</body>", probe + "</body>", 1), "utf-8")
    run = subprocess.run(
        [
            CHROMIUM,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--no-first-run",
            f"--user-data-dir={tmp_path / 'profile'}",
            "--virtual-time-budget=10000",
            "--dump-dom",
            probed.as_uri(),
        ],
        check=False,
        capture_output=True,
        text=True,
        timeout=180,
    )
    found = re.search(r'<pre id="probe">(.*?)</pre>', run.stdout, re.DOTALL)
    assert found, f"no probe output (exit {run.returncode}): {run.stderr[-2000:]}"
    seen = json.loads(html.unescape(found.group(1)))

    assert seen["errors"] == []
    assert seen["columns"] == ["trade", *trades.columns]
    assert seen["rows"] == len(trades) > 100
    ascending = seen["ascending"]
    blanks = ascending.index("") if "" in ascending else len(ascending)
    assert set(ascending[blanks:]) <= {""} and numbers(ascending[:blanks]) == sorted(numbers(ascending[:blanks]))
    assert numbers([t for t in seen["descending"] if t]) == sorted(numbers(ascending[:blanks]), reverse=True)
    returns = trades["return"].to_numpy()
    assert len(seen["positive"]) == int(np.sum(returns > 0)) and min(numbers(seen["positive"])) > 0
    held = int((trades["instrument"] == name).sum())
    assert held > 0 and seen["instrument"] == [name] * held
    assert seen["count"] == f"{held:,} of {len(trades):,} listed rows match the filters."
    assert [p.title for p in panels] == [
        "Exposure",
        "Turnover per month",
        "Rolling Sharpe ratio",
        "Rolling volatility",
        "Rolling beta",
    ]
    if interactive:
        # Equity, benchmark and drawdown; then each panel's curves, every one drawn from the unpacked library.
        assert seen["plotly_traces"] == [3, *(p.frame.shape[1] for p in panels)] == [3, 5, 1, 1, 1, 1]
        assert seen["plotly_svgs"] >= 6
    else:
        assert len(seen["image_widths"]) == 6 and min(seen["image_widths"]) > 0
