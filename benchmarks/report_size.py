"""The HTML report's size and render time: a ten-year daily run of 20 instruments.

    python benchmarks/report_size.py            # size, write time and (with chromium) render time
    python benchmarks/report_size.py --keep r.html

The report of a monthly momentum run (20 synthetic instruments x 2,520 business
days, against their mean) is written and measured: its size in bytes, the time
`Result.report` takes (median of 5), and, where headless chromium is installed,
the time from the page's navigation start to every chart drawn, as the page
itself measures it (median of 5 loads; chromium runs with a virtual time budget,
so that the dump waits for the charts, which the page draws once it has
unpacked plotly.js).
"""

from __future__ import annotations

import argparse
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import korvel
from korvel import synthetic

# Appended to the page: polls until every chart has its SVG, then writes the elapsed time into the page.
PROBE = """<script>
(function () {
  function done() {
    var plots = document.querySelectorAll('.js-plotly-plot');
    var drawn = Array.prototype.filter.call(plots, function (p) { return p.querySelector('svg.main-svg'); });
    var charts = document.querySelectorAll('script.korvel-chart').length || 1;
    if (plots.length >= charts && drawn.length === plots.length) {
      var pre = document.createElement('pre'); pre.id = 'rendered';
      pre.textContent = performance.now().toFixed(0) + ' ' + plots.length;
      document.body.appendChild(pre);
    } else { setTimeout(done, 10); }
  }
  setTimeout(done, 0);
})();
</script>"""


def result() -> korvel.Result:
    generated = synthetic.generate_market(20, 2520, 11)
    rows = synthetic.momentum_weights(generated, rebalance="monthly", lookback=120, skip=5, n_long=5, n_short=0)
    market, weights = synthetic.to_layer(generated, rows)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvel.KorvelWarning)  # late listings: weights without a price
        return korvel.backtest(weights, market, fee=0.001, benchmark=market.close.mean(axis=1).rename("mean"))


def render_ms(page: Path, chromium: str, folder: Path) -> tuple[float, int]:
    probed = folder / "probed.html"
    probed.write_text(page.read_text("utf-8").replace("</body>", PROBE + "</body>", 1), "utf-8")
    times, charts = [], 0
    for _ in range(5):
        run = subprocess.run(
            [
                chromium,
                "--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--no-first-run",
                f"--user-data-dir={folder / 'profile'}",
                "--virtual-time-budget=20000",
                "--dump-dom",
                probed.as_uri(),
            ],
            capture_output=True,
            text=True,
            timeout=120,
            check=False,
        )
        found = re.search(r'<pre id="rendered">(\d+) (\d+)</pre>', run.stdout)
        if found is None:
            raise RuntimeError(f"the charts were not drawn: {run.stderr[-500:]}")
        times.append(float(found.group(1)))
        charts = int(found.group(2))
    return statistics.median(times), charts


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--keep", metavar="PATH", help="keep the report there")
    a = p.parse_args()
    res = result()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        page = folder / "report.html"
        writes = []
        for _ in range(5):
            start = time.perf_counter()
            res.report(page)
            writes.append(time.perf_counter() - start)
        print(f"report: {page.stat().st_size / 1e6:.2f} MB, written in {statistics.median(writes):.2f} s (median of 5)")
        chromium = shutil.which("chromium") or shutil.which("chromium-browser")
        if chromium is None:
            print("render time: chromium is not installed")
        else:
            ms, charts = render_ms(page, chromium, folder)
            print(f"render time: {ms:.0f} ms to {charts} charts drawn (median of 5 loads in headless chromium)")
        if a.keep:
            shutil.copy(page, a.keep)
    return 0


if __name__ == "__main__":
    sys.exit(main())
