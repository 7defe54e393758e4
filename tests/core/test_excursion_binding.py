"""The recorder module as other code sees it: attributes, capsule table,
record lists and slot arrays. None of these needs the engine."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from excursion_support import CAPSULE_NAMES, capsule_name, capsule_pointer, record_entry, record_exit, slot_array

from korvel.core import excursion


def test_module_attributes():
    assert excursion.org_np is np
    for name in ("trades", "trade_positions", "excursion"):
        assert type(getattr(excursion, name)) is list
    public = {name for name in vars(excursion) if not name.startswith("__")}
    assert public == {"trades", "trade_positions", "excursion", "org_np"}
    assert not [name for name, value in vars(excursion).items() if callable(value)]


def test_capsule_table_keys_in_order():
    table = excursion.__pyx_capi__
    assert type(table) is dict
    # The seven entries the engine has always bound, then the later additions.
    assert list(table) == [
        "entry",
        "position",
        "start_analysis",
        "record_date",
        "record_entry",
        "record_exit",
        "end_analysis",
        "record_exit_at",
    ]


@pytest.mark.parametrize("key", list(CAPSULE_NAMES))
def test_capsule_names_are_exact(key):
    capsule = excursion.__pyx_capi__[key]
    assert type(capsule).__name__ == "PyCapsule"
    assert capsule_name(capsule) == CAPSULE_NAMES[key]
    assert capsule_pointer(key)


def test_signature_blanks():
    # Binders compare byte for byte: one blank before the comma after the
    # int map, two before the reference.
    assert b"std::map<int,int> , int" in capsule_name(excursion.__pyx_capi__["start_analysis"])
    assert capsule_name(excursion.__pyx_capi__["end_analysis"]).endswith(b"<int,double>  &)")


@pytest.mark.parametrize("key", ["entry", "position"])
def test_variable_capsules_point_at_distinct_variables(key):
    other = "position" if key == "entry" else "entry"
    assert capsule_pointer(key) != capsule_pointer(other)
    assert isinstance(slot_array(key), np.ndarray)


def test_state_at_import():
    # A fresh interpreter: nothing has reset the recorder yet.
    script = textwrap.dedent(
        f"""
        import ctypes, sys
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        from korvel.core import excursion
        from excursion_support import record_entry, record_exit, slot_array
        entry, position = slot_array("entry"), slot_array("position")
        print(entry.shape, entry.dtype, position.shape, position.dtype)
        print(excursion.trades, excursion.trade_positions, excursion.excursion)
        for call in (lambda: record_entry(0, 1.0, 1), lambda: record_exit(0, 1), lambda: record_entry(-1, 1.0, 1)):
            try:
                call()
            except IndexError as error:
                print("IndexError", error)
        print(excursion.trades)
    """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        "(0,) int64 (0,) float64",
        "[] [] []",
        "IndexError Out of bounds on buffer access (axis 0)",
        "IndexError Out of bounds on buffer access (axis 0)",
        "IndexError Out of bounds on buffer access (axis 0)",
        "[]",
    ]


def test_pending_exception_reaches_ctypes_caller():
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
        record_entry(2**31 - 1, 0.0, 0)
    with pytest.raises(IndexError):
        record_exit(-(2**31), 0)
