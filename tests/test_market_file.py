"""Market.save / Market.load: the market back as it was, mapped read-only; torn and mismatched files refused."""

import dataclasses
import json
import os
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from layer_support import UNPRICED, closes, market_and_weights

import korvel
from korvel import _market_file as mf
from korvel._market import mapped_from, table_digests

# The synthetic markets' late listings warn on purpose (see layer_support).
pytestmark = [pytest.mark.filterwarnings(UNPRICED)]


def _markets():
    full = market_and_weights(n=8, days=120)[2]  # open/high/low/close, delistings, text labels
    values = np.linspace(10.0, 20.0, 30).reshape(10, 3)
    aware = korvel.Market(closes(values, tz="America/New_York", columns=[3, 1, 2]))  # number labels, a timezone
    seconds = closes(values)
    seconds.index = seconds.index.as_unit("s")
    return {"tables and delistings": full, "timezone, number labels": aware, "seconds": korvel.Market(seconds)}


MARKETS = _markets()


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("name", list(MARKETS))
def test_a_saved_market_loads_as_it_was(tmp_path, name, mmap):
    market = MARKETS[name]
    path = tmp_path / "m.korvel"
    market.save(path)
    loaded = korvel.Market.load(path, mmap=mmap)
    assert loaded.tables == market.tables and loaded.shape == market.shape
    pd.testing.assert_index_equal(loaded.dates, market.dates, exact=True)
    pd.testing.assert_index_equal(loaded.instruments, market.instruments, exact=True)
    for table in ("close", "open", "high", "low"):
        pd.testing.assert_frame_equal(getattr(loaded, table), getattr(market, table), check_exact=True)
    pd.testing.assert_series_equal(loaded.delisted, market.delisted)
    assert not loaded.close.to_numpy().flags.writeable
    assert ("m.korvel" in Path("/proc/self/maps").read_text()) == mmap


def test_labels_that_are_not_text_or_numbers_are_refused(tmp_path):
    market = korvel.Market(closes(np.ones((3, 2)), columns=[("a", 1), ("b", 2)]))
    with pytest.raises(TypeError, match="labels are written as text or numbers"):
        market.save(tmp_path / "m")
    assert list(tmp_path.iterdir()) == []


def _torn(data):
    return data[: len(data) - 100]


def _relabelled(data):
    return data.replace(b'"S1"', b'"S7"')


def _redated(data):
    return data.replace(np.int64(MARKETS["seconds"].dates.as_unit("ns").asi8[0]).tobytes(), np.int64(0).tobytes(), 1)


def _not_a_market(data):
    return b"PK\x03\x04" + data[4:]


@pytest.mark.parametrize(
    "damage, match",
    [
        (_torn, "is torn"),
        (_relabelled, "does not match its header: the checksum"),
        (_redated, "does not match its header: the checksum"),
        (_not_a_market, "is not a market file"),
        (lambda data: data[:20], "is not a market file"),
    ],
)
def test_a_torn_or_mismatched_file_is_refused_naming_it(tmp_path, damage, match):
    path = tmp_path / "market.korvel"
    MARKETS["seconds"].save(path)
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(ValueError, match=match) as info:
        korvel.Market.load(path)
    assert str(path) in str(info.value)


def test_load_names_a_missing_file(tmp_path):
    with pytest.raises(OSError, match="cannot read the market file .*nothing"):
        korvel.Market.load(tmp_path / "nothing")


# --------------------------------------------------------------------------- files that lie


def _rewrite(path, edit):
    """Rewrite a market file's description with `edit(meta)`, its header's checksum made to agree."""
    data = bytearray(path.read_bytes())
    magic, version, _, meta_at, meta_len, extra_at, extra_len = mf._HEADER.unpack_from(data, 0)
    meta = json.loads(bytes(data[meta_at : meta_at + meta_len]))
    dates = np.frombuffer(bytes(data), dtype="<i8", count=meta["shape"][0], offset=meta["arrays"]["dates"]["offset"])
    edit(meta)
    text = json.dumps(meta).encode()
    end = meta_at + len(text)
    header = mf._HEADER.pack(magic, version, mf._checksum(text, dates), meta_at, len(text), end, 0)
    path.write_bytes(header + bytes(data[len(header) : meta_at]) + text)


def _view_with(market, **fields):
    view = market._view
    return mf.from_view(dataclasses.replace(view, **fields))


def test_flipped_price_bytes_are_refused_and_verify_false_skips_them(tmp_path):
    market = MARKETS["tables and delistings"]
    path = tmp_path / "m.korvel"
    market.save(path)
    data = bytearray(path.read_bytes())
    offset = json.loads(bytes(data[mf._HEADER.unpack_from(data, 0)[3] :]).split(b"\0")[0])["arrays"]["high"]["offset"]
    data[offset + 8 * 37 + 3] ^= 0x10  # one bit of one high price
    path.write_bytes(bytes(data))
    for mmap in (True, False):
        with pytest.raises(ValueError, match=f"{path}.*digest of its high differs"):
            korvel.Market.load(path, mmap=mmap)
    trusted = korvel.Market.load(path, verify=False)  # a trusted file: the tables are not read at once
    assert trusted.high.to_numpy().ravel()[37] != market.high.to_numpy().ravel()[37]


def test_a_loaded_market_carries_the_digests_its_file_records(tmp_path):
    market = MARKETS["tables and delistings"]
    path = tmp_path / "m.korvel"
    market.save(path)
    for verify in (True, False):
        loaded = korvel.Market.load(path, verify=verify)
        assert loaded._cache["digests"] == table_digests(market)  # there before anything asks for them
        tables = {"dates", "labels", "close", "open", "high", "low", "delisting_rows", "volume"}
        assert set(table_digests(loaded)) == tables


def _dup_dates(market):
    dates = market._view.dates.copy()
    dates[3] = dates[2]
    return _view_with(market, dates=dates)


def _delisting_outside(market):
    rows = market._view.delisting_rows.copy()
    rows[1] = market.shape[0] + 5
    return _view_with(market, delisting_rows=rows)


def _bad_price(market):
    close = market._view.close.copy()
    close[4, 2] = -1.0
    return _view_with(market, close=close)


@pytest.mark.parametrize(
    "spoil, match",
    [
        (_dup_dates, r"a duplicate date at 2015-01-06 \(position 3\)"),
        (_delisting_outside, "a delisting row 125 for 'S0001', outside 0..119"),
        (_bad_price, "close has an invalid price -1.0 for 'S0002'"),
    ],
)
def test_a_consistent_file_that_the_market_checks_refuse_is_refused(tmp_path, spoil, match):
    path = tmp_path / "m.korvel"
    mf.write(spoil(MARKETS["tables and delistings"]), path)  # checksums and digests that agree with it
    with pytest.raises(ValueError, match=f"{path} holds a market its checks refuse: {match}"):
        korvel.Market.load(path)
    if spoil is _bad_price:  # a price is a table's value: a trusted read leaves it to the run
        korvel.Market.load(path, verify=False)


def test_a_consistent_high_below_low_warns_as_the_market_does(tmp_path):
    market = MARKETS["tables and delistings"]
    high = market._view.high.copy()
    high[5, 1] = market._view.low[5, 1] / 2
    path = tmp_path / "m.korvel"
    mf.write(_view_with(market, high=high), path)
    with pytest.warns(korvel.KorvelWarning, match="high below low"):
        korvel.Market.load(path)


@pytest.mark.parametrize(
    "edit, match",
    [
        (lambda m: m.update(instruments=[1, 2, 3]), "does not match its header"),
        (lambda m: m["instruments"].update(dtype="string[pyarrow]"), "instrument labels of dtype"),
        (lambda m: m["instruments"].update(dtype="|S3"), "instrument labels of dtype"),
        (lambda m: m["instruments"].update(values={"a": 1}), "not a list"),
        (lambda m: m.update(tz="Europe/" + "x" * 300), "timezone"),
        (lambda m: m.update(tz="Nowhere/Atlantis"), "unknown timezone"),
        (lambda m: m.update(arrays=[1]), "does not match its header"),
        (lambda m: m.update(digests=["x"]), "digests do not name its arrays"),
        (lambda m: m["digests"].update(close="0" * 32), "digest of its close differs"),
    ],
)
def test_a_hostile_description_is_refused_naming_the_file(tmp_path, edit, match):
    path = tmp_path / "m.korvel"
    MARKETS["seconds"].save(path)
    _rewrite(path, edit)
    with pytest.raises(mf.MarketFileError, match=match) as info:
        korvel.Market.load(path)
    assert str(path) in str(info.value)


def test_a_file_of_the_older_version_is_refused_with_what_to_do(tmp_path):
    path = tmp_path / "m.korvel"
    MARKETS["seconds"].save(path)
    data = bytearray(path.read_bytes())
    struct.pack_into("<I", data, 16, 1)
    path.write_bytes(bytes(data))
    with pytest.raises(ValueError, match=f"{path} is a market file of version 1.*save it again"):
        korvel.Market.load(path)


@pytest.mark.parametrize("link", [False, True])
def test_a_pipe_is_refused_at_once(tmp_path, link):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    target = fifo
    if link:
        target = tmp_path / "link.korvel"
        target.symlink_to(fifo)
    code = f"import korvel\ntry:\n    korvel.Market.load({str(target)!r})\nexcept ValueError as e:\n    print(e)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60).stdout
    assert f"{target} is a pipe" in out


def test_a_mapped_file_changed_in_place_is_refused_before_a_run(tmp_path):
    _, _, market, weights = market_and_weights(n=8, days=120)
    path = tmp_path / "m.korvel"
    market.save(path)
    loaded = korvel.Market.load(path)
    expected = korvel.backtest(weights, loaded).equity
    market.save(tmp_path / "other.korvel")
    os.replace(tmp_path / "other.korvel", path)  # replaced: the mapping keeps the old file, still whole
    pd.testing.assert_series_equal(korvel.backtest(weights, loaded).equity, expected)
    again = korvel.Market.load(path)
    with open(path, "r+b") as f:  # rewritten in place, one byte longer
        f.seek(0, 2)
        f.write(b"\0")
    with pytest.raises(ValueError, match=f"the market file {path} changed in place since it was loaded"):
        korvel.backtest(weights, again)


def test_a_market_read_by_a_sweeps_worker_is_checked_as_a_loaded_one(tmp_path):
    # A sweep's worker reads the file itself and records it as mapped (korvel.sweeps.backends._sharing).
    _, _, market, weights = market_and_weights(n=8, days=120)
    path = tmp_path / "m.korvel"
    market.save(path)
    read, header, _ = mf.read(path)
    mapped_from(read, path, header.checksum)
    korvel.backtest(weights, read)
    with open(path, "r+b") as f:  # shortened in place: reading its last pages would end the process
        f.truncate(header.meta_at)
    with pytest.raises(ValueError, match="changed in place since it was loaded"):
        korvel.backtest(weights, read)
