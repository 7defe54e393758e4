"""Fuzzing of str_to_bytearray: any text gives one byte per character (the low
8 bits of its code point); anything that is not exactly a str is a TypeError;
running out of memory is a MemoryError.

KORVEL_FUZZ_EXAMPLES raises the number of examples (default 300)."""

import subprocess
import sys
import textwrap

import pytest
from fuzz_support import env_int, sanitizers_active
from hypothesis import given, settings
from hypothesis import strategies as st

from korvel.core import strutil

pytestmark = pytest.mark.slow

FUZZ = settings(max_examples=env_int("KORVEL_FUZZ_EXAMPLES", 300), deadline=None)

# Surrogates included: a str may hold lone surrogates, which no codec encodes.
ANY_TEXT = st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF, blacklist_categories=()))


@FUZZ
@given(text=ANY_TEXT)
def test_one_byte_per_character(text):
    before = text[:]
    result = strutil.str_to_bytearray(text)
    assert type(result) is bytearray
    assert result == bytearray(ord(c) & 0xFF for c in text)
    assert text == before


@FUZZ
@given(text=st.text(st.characters(max_codepoint=0xFF)))
def test_latin1_text_is_its_latin1_encoding(text):
    assert bytes(strutil.str_to_bytearray(text)) == text.encode("latin-1")


class Text(str):
    pass


@FUZZ
@given(
    value=st.one_of(
        st.binary(),
        st.binary().map(bytearray),
        st.binary().map(memoryview),
        st.integers(),
        st.floats(),
        st.none(),
        st.lists(st.integers(0, 255)),
        st.text().map(Text),
        st.text().map(lambda t: [t]),
    )
)
def test_anything_but_an_exact_str_is_a_type_error(value):
    with pytest.raises(TypeError):
        strutil.str_to_bytearray(value)


@pytest.mark.parametrize(
    "value, message",
    [
        (None, "'NoneType' is not iterable"),
        (b"ab", "Argument 'text' has incorrect type (expected str, got bytes)"),
        (Text("ab"), "Argument 'text' has incorrect type (expected str, got Text)"),
    ],
)
def test_type_error_messages(value, message):
    with pytest.raises(TypeError) as info:
        strutil.str_to_bytearray(value)
    assert str(info.value) == message


def test_text_larger_than_the_memory_left_is_a_memory_error():
    if sanitizers_active():
        pytest.skip("the sanitizer reserves address space beyond any limit")
    # A 200 MiB text with room left for only half of its copy.
    script = textwrap.dedent("""
        import os, resource
        from korvel.core import strutil
        text = "a" * (200 << 20)
        used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + (100 << 20), resource.RLIM_INFINITY))
        try:
            strutil.str_to_bytearray(text)
            print("returned")
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(strutil.str_to_bytearray("ok\\u0141") == bytearray(b"ok\\x41"))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError", "True"]
    assert done.stderr == ""
