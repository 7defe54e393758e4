import pytest

from korvel.core import strutil


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", b""),
        ("AZ", bytes([65, 90])),
        ("\u00e9", bytes([0xE9])),
        ("\u20ac", bytes([0xAC])),
        ("\U0001f600", bytes([0x00])),
        ("a\u0100\u01ff\x00", bytes([0x61, 0x00, 0xFF, 0x00])),
    ],
)
def test_low_byte_of_each_code_point(text, expected):
    result = strutil.str_to_bytearray(text)
    assert type(result) is bytearray
    assert result == bytearray(expected)


def test_keyword_argument_and_fresh_object():
    first = strutil.str_to_bytearray(text="xy")
    second = strutil.str_to_bytearray(text="xy")
    assert first == bytearray(b"xy") and first is not second


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    "value, got",
    [(b"abc", "bytes"), (42, "int"), (StrSubclass("a"), "StrSubclass"), (["a"], "list")],
)
def test_rejects_anything_but_exact_str(value, got):
    with pytest.raises(TypeError) as info:
        strutil.str_to_bytearray(value)
    assert str(info.value) == f"Argument 'text' has incorrect type (expected str, got {got})"


def test_none_is_not_iterable():
    with pytest.raises(TypeError, match=r"^'NoneType' is not iterable$"):
        strutil.str_to_bytearray(None)


@pytest.mark.parametrize("args, kwargs", [((), {}), (("a", "b"), {}), ((), {"txt": "a"}), (("a",), {"text": "a"})])
def test_call_errors(args, kwargs):
    with pytest.raises(TypeError):
        strutil.str_to_bytearray(*args, **kwargs)
