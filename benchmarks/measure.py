"""Timing, memory and machine description helpers for the benchmark scripts."""

from __future__ import annotations

import ctypes
import gc
import os
import platform
import statistics
import time
import tracemalloc
from importlib import metadata


def _status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def rss_bytes() -> int | None:
    kib = _status_kib("VmRSS")
    return None if kib is None else kib * 1024


def peak_rss_bytes() -> int | None:
    kib = _status_kib("VmHWM")
    return None if kib is None else kib * 1024


def reset_peak_rss() -> bool:
    """Reset the process's peak resident set size to its current size (Linux >= 4.0)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def release_memory() -> None:
    """Collect garbage and hand freed heap pages back to the system, so that
    the next peak is measured from what is really live."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def peak_above_baseline(fn):
    """Run fn() once; return (result, peak RSS above the RSS before the call or None)."""
    release_memory()
    ok = reset_peak_rss()
    base = rss_bytes()
    result = fn()
    peak = peak_rss_bytes()
    if not ok or base is None or peak is None:
        return result, None
    return result, max(0, peak - base)


def traced_peak(fn):
    """Run fn() under tracemalloc; return (result, peak bytes of traced allocations).
    Traced are Python objects and NumPy buffers, not native containers."""
    release_memory()
    tracemalloc.start()
    try:
        result = fn()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return result, peak


def time_call(fn):
    t0 = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - t0


def summarize_times(times: list[float]) -> dict:
    return {"times": times, "median": statistics.median(times), "min": min(times), "max": max(times)}


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _mem_total() -> str:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return f"{int(line.split()[1]) / 1024**2:.1f} GiB"
    except OSError:
        pass
    return "unknown"


def _version(dist: str) -> str | None:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def machine() -> dict:
    import numpy

    info = {
        "cpu": _cpu_model(),
        "cores": os.cpu_count(),
        "memory": _mem_total(),
        "os": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "numpy": numpy.__version__,
        "korvel": _version("korvel"),
    }
    for dist in ("vectorbt", "vectorbt-rust", "numba", "bt", "pandas"):
        v = _version(dist)
        if v:
            info[dist] = v
    return info
