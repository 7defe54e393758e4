"""Market.save / Market.load: the market back as it was, mapped read-only; torn and mismatched files refused."""

import numpy as np
import pandas as pd
import pytest
from layer_support import closes, market_and_weights

import korvel


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
    assert ("m.korvel" in open("/proc/self/maps").read()) == mmap


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
