"""The report's own script and styles, inlined into every report (no network, no libraries).

The script makes every ``table.grid`` sortable (click a header: ascending,
again: descending; numbers as numbers, blanks last) and gives a
``table.grid.filtered`` an input row under its headers: a substring (any
case), or ``>x``, ``>=x``, ``<x``, ``<=x``, ``=x`` (numbers compared as
numbers, dates and text as text).  Headers say what they hold in
``data-kind`` ("num" or "text").
"""

from __future__ import annotations

STYLE = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; margin: 2em auto; max-width: 1500px;
       color: #222; padding: 0 1em; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; }
h2 { font-size: 1.15em; margin-top: 2em; border-bottom: 1px solid #ddd; }
.muted { color: #777; } img { max-width: 100%; }
table { border-collapse: collapse; font-size: 12.5px; }
th, td { padding: 3px 8px; border-bottom: 1px solid #eee; text-align: right; white-space: nowrap; }
th { background: #f6f6f6; position: sticky; top: 0; z-index: 1; }
td.t, th.t { text-align: left; }
.stats { display: grid; grid-template-columns: repeat(auto-fill, minmax(300px, 1fr)); gap: 0 2em; }
.stats div { display: flex; justify-content: space-between; gap: 1em; border-bottom: 1px solid #eee; padding: 3px 0; }
.stats b { white-space: nowrap; text-align: right; } .stats b.wrap { white-space: normal; }
h3 { font-size: 1em; margin: 1.4em 0 0.2em; }
details summary { cursor: pointer; color: #555; margin-top: 0.8em; }
@media print { .scroll { max-height: none; overflow: visible; border: 0; } th { position: static; }
  tr.filters { display: none; } h2 { break-after: avoid; } .chart, table.months { break-inside: avoid; } }
.scroll { max-height: 36em; overflow: auto; border: 1px solid #eee; }
.wide { overflow-x: auto; }
table.pairs td { white-space: normal; overflow-wrap: anywhere; text-align: left; vertical-align: top; }
table.pairs td:first-child { white-space: nowrap; }
table.grid thead tr:first-child th { cursor: pointer; user-select: none; }
table.grid th[data-sort="asc"]::after { content: " \\25B2"; font-size: 0.8em; }
table.grid th[data-sort="desc"]::after { content: " \\25BC"; font-size: 0.8em; }
table.grid tr.filters th { top: 1.9em; background: #fbfbfb; padding: 2px 4px; }
table.grid tr.filters input { width: 100%; min-width: 3.5em; box-sizing: border-box; font: inherit; font-size: 11.5px; }
table.months td { text-align: right; min-width: 3.2em; } table.months td.y { font-weight: 600; }
"""

# Kept small and dependency-free; it runs once the page has loaded.
SCRIPT = r"""
(function () {
  "use strict";
  function cellText(row, k) {
    var c = row.cells[k];
    return c ? c.textContent.trim() : "";
  }
  function asNumber(text) {
    if (text === "") return NaN;
    var v = Number(text.replace(/,/g, "").replace(/%$/, ""));
    return isNaN(v) ? NaN : v;
  }
  function compare(kind) {
    return function (a, b) {
      if (a.key === "" && b.key === "") return a.pos - b.pos;
      if (a.key === "") return 1;
      if (b.key === "") return -1;
      var d = kind === "num" ? a.num - b.num : (a.key < b.key ? -1 : a.key > b.key ? 1 : 0);
      return d !== 0 ? d * a.dir : a.pos - b.pos;
    };
  }
  function sortBy(table, th) {
    var heads = table.tHead.rows[0].cells, k = th.cellIndex, kind = th.getAttribute("data-kind");
    var dir = th.getAttribute("data-sort") === "asc" ? -1 : 1;
    for (var i = 0; i < heads.length; i++) heads[i].removeAttribute("data-sort");
    th.setAttribute("data-sort", dir === 1 ? "asc" : "desc");
    var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows), items = [];
    for (var r = 0; r < rows.length; r++) {
      var t = cellText(rows[r], k);
      items.push({row: rows[r], key: t, num: asNumber(t), pos: r, dir: dir});
    }
    if (kind === "num") {
      for (var j = 0; j < items.length; j++) if (isNaN(items[j].num)) items[j].key = "";
    }
    items.sort(compare(kind));
    var frag = document.createDocumentFragment();
    for (var m = 0; m < items.length; m++) frag.appendChild(items[m].row);
    body.appendChild(frag);
  }
  function test(query, kind) {
    query = query.trim();
    if (query === "") return null;
    var m = /^(>=|<=|>|<|=)\s*(.+)$/.exec(query);
    if (m) {
      var op = m[1], raw = m[2].trim(), num = asNumber(raw), numeric = kind === "num" && !isNaN(num);
      return function (text) {
        if (text === "") return false;
        var a = numeric ? asNumber(text) : text, b = numeric ? num : raw;
        if (numeric && isNaN(a)) return false;
        if (op === ">") return a > b;
        if (op === ">=") return a >= b;
        if (op === "<") return a < b;
        if (op === "<=") return a <= b;
        return numeric ? a === b : text.toLowerCase() === raw.toLowerCase();
      };
    }
    var needle = query.toLowerCase();
    return function (text) { return text.toLowerCase().indexOf(needle) >= 0; };
  }
  function applyFilters(table) {
    var inputs = table.tHead.querySelectorAll("tr.filters input"), heads = table.tHead.rows[0].cells, tests = [];
    for (var i = 0; i < inputs.length; i++) {
      var f = test(inputs[i].value, heads[i].getAttribute("data-kind"));
      if (f) tests.push([i, f]);
    }
    var rows = table.tBodies[0].rows, shown = 0;
    for (var r = 0; r < rows.length; r++) {
      var ok = true;
      for (var t = 0; t < tests.length && ok; t++) ok = tests[t][1](cellText(rows[r], tests[t][0]));
      rows[r].style.display = ok ? "" : "none";
      if (ok) shown++;
    }
    var count = document.getElementById(table.getAttribute("data-count"));
    if (count) count.textContent = shown === rows.length ? "" : shown.toLocaleString("en") + " of " +
      rows.length.toLocaleString("en") + " listed rows match the filters.";
  }
  function setUp(table) {
    var heads = table.tHead.rows[0].cells;
    for (var i = 0; i < heads.length; i++) {
      heads[i].title = "click to sort";
      heads[i].addEventListener("click", function (e) { sortBy(table, e.currentTarget); });
    }
    if (!table.classList.contains("filtered")) return;
    var row = table.tHead.insertRow(-1);
    row.className = "filters";
    for (var k = 0; k < heads.length; k++) {
      var th = document.createElement("th"), input = document.createElement("input");
      input.type = "search";
      input.placeholder = heads[k].getAttribute("data-kind") === "num" ? ">x <x =x" : "contains";
      input.setAttribute("aria-label", "filter " + heads[k].textContent);
      input.addEventListener("input", function () { applyFilters(table); });
      th.appendChild(input);
      row.appendChild(th);
    }
  }
  function start() {
    var tables = document.querySelectorAll("table.grid");
    for (var i = 0; i < tables.length; i++) setUp(tables[i]);
  }
  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
"""
