"""glibc's allocator in a worker started with ``MALLOC_TRIM_THRESHOLD_`` set, put back as a plain process has it.

Dask's nanny starts its workers with ``MALLOC_TRIM_THRESHOLD_=65536``.
Setting any of glibc's thresholds also stops its dynamic mmap threshold,
which a plain process raises to the size of the large blocks it frees: in
such a worker every large temporary of a strategy (a table of the market's
size) is mapped afresh and its pages faulted in again, a quarter of a
backtest's time.  The dynamic threshold cannot be switched back on, but the
place it would settle can be set: the mmap threshold at its largest (32 MiB
on 64-bit systems) and the trim threshold at twice that, as glibc sets them
itself.
"""

from __future__ import annotations

import ctypes
import os
import sys

# mallopt's parameters (malloc.h).
_M_TRIM_THRESHOLD = -1
_M_MMAP_THRESHOLD = -3
#: glibc's largest dynamic mmap threshold on 64-bit systems; the trim threshold follows at twice it.
MMAP_THRESHOLD = 32 << 20
#: The variables that fix glibc's thresholds (and so switch its dynamic threshold off).
FIXING = ("MALLOC_TRIM_THRESHOLD_", "MALLOC_MMAP_THRESHOLD_", "MALLOC_TOP_PAD_", "MALLOC_MMAP_MAX_")

_tuned: list[bool] = []


def allocate_as_a_plain_process() -> bool:
    """Once per process: raise glibc's thresholds where the environment fixed them; True if it was done."""
    if _tuned:
        return _tuned[0]
    _tuned.append(False)
    if not sys.platform.startswith("linux") or not any(name in os.environ for name in FIXING):
        return False
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return False
    mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
    mallopt.restype = ctypes.c_int
    done = bool(mallopt(_M_MMAP_THRESHOLD, MMAP_THRESHOLD)) and bool(mallopt(_M_TRIM_THRESHOLD, 2 * MMAP_THRESHOLD))
    _tuned[0] = done
    return done
