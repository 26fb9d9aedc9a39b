import pytest
from conftest import tb_names
from hypothesis import given, settings
from hypothesis import strategies as st

from orvane.core.toolkin import str_to_bytearray

QUAL = "orvane.core.toolkin.str_to_bytearray"


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", b""),
        ("abc", b"\x61\x62\x63"),
        ("\u00e9", b"\xe9"),
        ("\u00ff\u0000", b"\xff\x00"),
        ("\u0100", b"\x00"),
        ("\u20ac", b"\xac"),
        ("\U0001F600", b"\x00"),
        # one string per internal storage width, each mixing low and high characters
        ("a\u00e9\u0141", b"a\xe9\x41"),
        ("a\u20ac\U0001F601", b"a\xac\x01"),
    ],
)
def test_low_byte_of_each_code_point(text, expected):
    out = str_to_bytearray(text)
    assert type(out) is bytearray
    assert out == bytearray(expected)


def test_keyword_and_fresh_result():
    a = str_to_bytearray(text="xy")
    b = str_to_bytearray(text="xy")
    assert a == bytearray(b"xy") and a is not b


@settings(max_examples=200, deadline=None)
@given(st.text())
def test_matches_code_point_modulo_256(text):
    assert str_to_bytearray(text) == bytearray(ord(ch) % 256 for ch in text)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((b"abc",), {}, "Argument 'text' has incorrect type (expected str, got bytes)"),
        ((MyStr("abc"),), {}, "Argument 'text' has incorrect type (expected str, got MyStr)"),
        ((5,), {}, "Argument 'text' has incorrect type (expected str, got int)"),
        ((None,), {}, "'NoneType' is not iterable"),
        ((), {"text": None}, "'NoneType' is not iterable"),
        ((), {}, "str_to_bytearray() takes exactly 1 positional argument (0 given)"),
        (("a", "b"), {}, "str_to_bytearray() takes exactly 1 positional argument (2 given)"),
        (("a",), {"foo": 1}, "str_to_bytearray() got an unexpected keyword argument 'foo'"),
        ((), {"text": "a", "foo": 1}, "str_to_bytearray() got an unexpected keyword argument 'foo'"),
        (("a",), {"text": "b"}, "str_to_bytearray() got multiple values for keyword argument 'text'"),
    ],
)
def test_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        str_to_bytearray(*args, **kwargs)
    assert str(info.value) == message
    assert QUAL in tb_names(info.value)
