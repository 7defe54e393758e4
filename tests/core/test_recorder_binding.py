"""Import-time binding of the recorder's native table by the engine.

An extension module can be imported only once per process, so every failure
case runs in a fresh interpreter with a doctored recorder module in sys.modules.
"""

import subprocess
import sys
import textwrap

import pytest

SIGNATURES = {
    "entry": "PyArrayObject *",
    "position": "PyArrayObject *",
    "start_analysis": "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
    "record_date": "void (int)",
    "record_entry": "void (int, double, int)",
    "record_exit": "void (int, int)",
    "end_analysis": "PyObject *(std::map<int,double>  &)",
    "record_exit_at": "void (int, int, double)",
}

DOCTOR = textwrap.dedent(
    """
    import ctypes, sys, types
    import korvel.core.excursion as real

    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    keep_alive = []

    def capsule_named(name):
        buffer = ctypes.create_string_buffer(name.encode())
        keep_alive.append(buffer)
        return new_capsule(ctypes.addressof(buffer), buffer, None)

    capi = dict(real.__pyx_capi__)
    {change}
    fake = types.ModuleType("korvel.core.excursion")
    fake.__pyx_capi__ = capi
    sys.modules["korvel.core.excursion"] = fake
    try:
        import korvel.core.portsim
    except BaseException as error:
        print(type(error).__name__ + ": " + str(error))
    else:
        print("imported")
    """
)


def import_with(change):
    result = subprocess.run(
        [sys.executable, "-c", DOCTOR.format(change=change)], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_published_table_order_and_names():
    from korvel.core import excursion

    assert list(excursion.__pyx_capi__) == list(SIGNATURES)
    import ctypes

    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    assert {k: get_name(v).decode() for k, v in excursion.__pyx_capi__.items()} == SIGNATURES


def test_untouched_table_binds():
    assert import_with("pass") == "imported"


@pytest.mark.parametrize("key", list(SIGNATURES))
def test_missing_entry_fails_the_import(key):
    kind = "variable" if key in ("entry", "position") else "function"
    assert import_with(f"del capi[{key!r}]") == (
        f"ImportError: korvel.core.excursion does not export expected C {kind} {key}"
    )


@pytest.mark.parametrize("key", list(SIGNATURES))
def test_signature_off_by_one_blank_fails_the_import(key):
    kind = "variable" if key in ("entry", "position") else "function"
    wrong = SIGNATURES[key].replace(" ", "", 1)
    assert import_with(f"capi[{key!r}] = capsule_named({wrong!r})") == (
        f"TypeError: C {kind} korvel.core.excursion.{key} has wrong signature (expected {SIGNATURES[key]}, got {wrong})"
    )


def test_first_failure_in_table_order_wins():
    change = "del capi['record_exit']; capi['entry'] = capsule_named('int')"
    assert import_with(change).startswith("TypeError: C variable korvel.core.excursion.entry")


def test_missing_table_and_non_capsule_values():
    assert import_with("capi = None; del real.__pyx_capi__").startswith("TypeError")
    assert import_with("capi['record_date'] = 42").startswith("ValueError")
