"""Drives the trade recorder of korvel.core.excursion from Python.

record_date, record_entry and record_exit are called through their capsules
with ctypes. start_analysis takes a std::map by value, which ctypes cannot
build, so the recorder is reset by running the engine's backtest_ over the
given tables with a weight date after every price row: the engine then only
resets the recorder with those tables and never trades.
"""

import ctypes
import math

import numpy as np

from korvel.core import excursion

CAPSULE_NAMES = {
    "entry": b"PyArrayObject *",
    "position": b"PyArrayObject *",
    "start_analysis": b"void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
    "record_date": b"void (int)",
    "record_entry": b"void (int, double, int)",
    "record_exit": b"void (int, int)",
    "end_analysis": b"PyObject *(std::map<int,double>  &)",
    "record_exit_at": b"void (int, int, double)",
}

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype = ctypes.c_char_p
capsule_name.argtypes = [ctypes.py_object]


def capsule_pointer(key):
    return _get_pointer(excursion.__pyx_capi__[key], CAPSULE_NAMES[key])


def _function(key, *argtypes):
    return ctypes.PYFUNCTYPE(None, *argtypes)(capsule_pointer(key))


record_date = _function("record_date", ctypes.c_int)
record_entry = _function("record_entry", ctypes.c_int, ctypes.c_double, ctypes.c_int)
record_exit = _function("record_exit", ctypes.c_int, ctypes.c_int)
record_exit_at = _function("record_exit_at", ctypes.c_int, ctypes.c_int, ctypes.c_double)


def slot_array(key):
    """The array a binder of the variable `key` sees right now."""
    return ctypes.cast(capsule_pointer(key), ctypes.POINTER(ctypes.py_object))[0]


def as_table(values):
    table = np.asarray(values, dtype=np.float64)
    return table.reshape(-1, 1) if table.ndim == 1 else table


def reset_recorder(price, close, *, pos2price=None, n_slots=1, fee_ratio=0.0, tax_ratio=0.0, window=0, window_step=1):
    """Resets the recorder with these tables and settings.

    pos2price maps slots to price columns (default: slot i -> column i for
    the slots the tables have columns for); a slot left out of it has no
    price column of its own.
    """
    from korvel.core import portsim

    price = as_table(price)
    close = as_table(close)
    rows, cols = price.shape
    if pos2price is None:
        pos2price = {sid: sid for sid in range(min(n_slots, cols))}
    price_columns = np.array([f"c{j}" for j in range(cols)], dtype=object)
    pos_columns = np.array(
        [f"c{pos2price[sid]}" if sid in pos2price else f"none{sid}" for sid in range(n_slots)], dtype=object
    )
    index = np.arange(rows, dtype=np.int64)
    portsim.backtest_(
        price,
        close,
        price,
        price,
        price,
        index,
        price_columns,
        np.zeros((1, n_slots)),
        np.array([rows + 10], dtype=np.int64),
        pos_columns,
        np.array([], dtype=np.int64),
        fee_ratio=fee_ratio,
        tax_ratio=tax_ratio,
        excursion_window=window,
        excursion_window_step=window_step,
    )


def trade(entry_row, exit_row, *, weight=1.0, sid=0, entry_transaction=0, exit_transaction=0):
    """Opens a trade on `sid` at entry_row, closes it at exit_row and returns
    its statistics array."""
    record_date(entry_row)
    record_entry(sid, weight, entry_transaction)
    record_date(exit_row)
    record_exit(sid, exit_transaction)
    return excursion.excursion[-1]


def reference_snapshots(
    price,
    close,
    entry_row,
    exit_row,
    *,
    is_long=True,
    col=0,
    window=0,
    window_step=1,
    fee_ratio=0.0,
    tax_ratio=0.0,
    entry_transaction=0,
    exit_transaction=0,
    exit_fill=None,
    still_open=False,
):
    """A straightforward model of the statistics array, for layout checks.

    A record ended without a transaction (a split at a rebalance) is valued
    at the trade price like a real exit, without exit costs; one of a trade
    `still_open` at the end of a run is not. Rows and columns must lie
    inside the tables here."""
    price = as_table(price)
    close = as_table(close)
    end = max(exit_row, entry_row + window)
    end = min(end, price.shape[0] - 1)
    p0, c0 = price[entry_row, col], close[entry_row, col]
    r = c0 / p0 if is_long else 2 - c0 / p0
    if entry_transaction:
        r *= 1 - fee_ratio
    # Every comparison is strict and false for NaN, as in the engine.
    cum, low_at = [r], [0]
    peak = [1.0 if 1.0 > r else r]
    trough = [1.0 if 1.0 < r else r]
    dd = [r - 1 if r - 1 < 0 else 0.0]
    days = [1.0 if r > 1 else 0.0]
    prev = c0
    for row in range(entry_row + 1, end + 1):
        c = close[row, col]
        if not math.isnan(c):
            ratio = c / prev
            if not math.isnan(ratio):
                r = r * ratio if is_long else 2 - (2 - r) * ratio
            prev = c
        peak.append(r if r > peak[-1] else peak[-1])
        if trough[-1] > r:
            low_at.append(len(trough) - 1)
            trough.append(r)
        else:
            low_at.append(low_at[-1])
            trough.append(trough[-1])
        drawdown = r / peak[-1] - 1
        dd.append(drawdown if dd[-1] > drawdown else dd[-1])
        days.append(days[-1] + 1 if (not math.isnan(c) and r > 1) else days[-1])
        cum.append(r)
    k = min(len(cum) - 1, exit_row - entry_row)
    if exit_transaction or not still_open:
        if k:
            xp, xc = price[entry_row + k, col], close[entry_row + k, col]
            xp = xp if exit_fill is None else exit_fill
            if not (math.isnan(xp) or math.isnan(xc)):
                cum[k] = cum[k] * (xp / xc) if is_long else 2 - (xp * (2 - cum[k])) / xc
        if exit_transaction:
            cum[k] *= (1 - fee_ratio) - tax_ratio
    size = 6 * ((window - 1) // window_step) + 12
    out = np.full(size, -1.0)

    def group(t):
        return [trough[t] - 1, peak[t] - 1, peak[low_at[t]] - 1, dd[t], days[t], cum[t] - 1]

    for j, t in enumerate(range(0, min(len(cum), window), window_step)):
        out[6 * j : 6 * j + 6] = group(t)
    out[size - 6 :] = group(k)
    return out
