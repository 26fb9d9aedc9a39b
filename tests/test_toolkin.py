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


# ---------------------------------------------------------------- price scans

import numpy as np  # noqa: E402

from orvane import _kernels as kernels  # noqa: E402

TOL, DOWN, UP = 1e-9, 0.3, 4.0
SPECIAL = [np.nan, 0.0, -0.0, -1.0, np.inf, -np.inf, 1e-300, 1e300, 5e-324]


def reference(close, open_, high, low):
    """The verdicts as whole-matrix NumPy arithmetic: positive, bars hold, jumps."""
    with np.errstate(all="ignore"):
        positive = all(not np.any(~np.isnan(m) & ~((m > 0) & (m < np.inf)))
                       for m in (close, open_, high, low) if m is not None)
        body_lo = (close if open_ is None else np.minimum(open_, close)) * (1 + TOL)
        body_hi = (close if open_ is None else np.maximum(open_, close)) * (1 - TOL)
        bad = (low > body_lo) | (high < body_hi)
        move = close[1:] / close[:-1]
        jumps = bool(np.any((move < DOWN) | (move > UP)))
    return positive, not bad.any(), jumps


def market(rng, rows, cols, specials, layout):
    close = 20.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, (rows, cols)), axis=0))
    open_ = close * rng.uniform(0.97, 1.03, close.shape)
    high = np.maximum(open_, close) * rng.uniform(1.0, 1.02, close.shape)
    low = np.minimum(open_, close) * rng.uniform(0.98, 1.0, close.shape)
    fields = [close, open_, high, low]
    for _ in range(specials):
        k, i, j = rng.integers(4), rng.integers(rows), rng.integers(cols)
        # Specials, moves to either side of the thresholds, and bars off by a hair.
        choice = rng.integers(5)
        if choice == 4:
            # No open: the check skips the bar, however low and high lie against the close.
            fields[1][i, j] = np.nan
            fields[2 + rng.integers(2)][i, j] = fields[0][i, j] * rng.choice([0.99, 1.01])
        elif choice == 0:
            fields[k][i, j] = SPECIAL[rng.integers(len(SPECIAL))]
        elif choice == 1 and i:
            fields[0][i, j] = fields[0][i - 1, j] * rng.choice([DOWN, UP, 0.2999999, 4.0000001, 0.31])
        else:
            fields[k][i, j] *= 1 + rng.choice([-2e-9, -0.5e-9, 0.5e-9, 2e-9])
    if layout == "fortran":
        fields = [np.asfortranarray(f) for f in fields]
    elif layout == "strided":
        fields = [np.repeat(np.repeat(f, 2, axis=0), 3, axis=1)[::2, ::3] for f in fields]
    return fields


@pytest.mark.parametrize("layout", ["c", "fortran", "strided"])
@pytest.mark.parametrize("seed", range(40))
def test_price_scans_agree_with_the_array_arithmetic_and_with_one_pass(seed, layout):
    rng = np.random.default_rng(seed)
    rows, cols = int(rng.integers(1, 30)), int(rng.integers(1, 12))
    close, open_, high, low = market(rng, rows, cols, int(rng.integers(0, 4)), layout)
    positive, hold, jumps = reference(close, open_, high, low)
    assert all(kernels.positive_finite(m) for m in (close, open_, high, low)) == positive
    assert kernels.bars_hold(close, open_, high, low, TOL) == hold
    assert kernels.has_jumps(close, DOWN, UP) == jumps
    # Without open, the body is the close alone; without high or low, that side is unchecked.
    assert kernels.bars_hold(close, None, high, low, TOL) == reference(close, None, high, low)[1]
    assert kernels.bars_hold(close, open_, None, low, TOL) == bool(
        not np.any(low > np.minimum(open_, close) * (1 + TOL)))
    # The one-pass scan gives each scan's verdict, with the dates without a close (a few
    # rows NaN in every column, in some markets) and the largest close besides.
    empty = rng.choice(rows, size=int(rng.integers(0, 3)) if rows > 2 else 0, replace=False)
    close[empty] = np.nan
    for given in ((open_, high, low), (None, high, None), (None, None, None), (open_, None, low),
                  (open_, high, None), (None, None, low), (open_, None, None), (None, high, low)):
        got = kernels.scan_prices(close, *given, TOL, DOWN, UP)
        if got is None:
            assert layout == "strided"  # the separate scans read it
            continue
        known = close[~np.isnan(close)]
        assert got == (
            tuple(None if m is None else kernels.positive_finite(m) for m in (*given, close)),
            kernels.bars_hold(close, *given, TOL), int(np.isnan(close).all(axis=1).sum()),
            kernels.has_jumps(close, DOWN, UP), pytest.approx(known.max() if len(known) else np.nan,
                                                              nan_ok=True, rel=0, abs=0))


def test_the_one_pass_scan_reads_only_matrices_lying_alike():
    c = np.ones((4, 3))
    assert kernels.scan_prices(c, np.asfortranarray(c), None, None, TOL, DOWN, UP) is None
    assert kernels.scan_prices(c, None, None, None, TOL, DOWN, UP)[2] == 0
    assert kernels.scan_prices(np.full((4, 3), np.nan), None, None, None, TOL, DOWN, UP)[2:] == (
        4, False, pytest.approx(np.nan, nan_ok=True))


@pytest.mark.parametrize("call, exc, message", [
    (lambda: kernels.scan_prices(np.ones((2, 2)), None, np.ones((3, 2)), None, TOL, DOWN, UP),
     ValueError, "one shape"),
    (lambda: kernels.positive_finite([[1.0]]), TypeError, "expected numpy.ndarray"),
    (lambda: kernels.positive_finite(np.ones(3)), ValueError, "wrong number of dimensions"),
    (lambda: kernels.positive_finite(np.ones((2, 2), dtype=np.float32)), ValueError, "dtype mismatch"),
    (lambda: kernels.bars_hold(np.ones((2, 2)), None, np.ones((2, 3)), None, TOL), ValueError, "one shape"),
    (lambda: kernels.bars_hold(np.ones((2, 2)), None, None, None), TypeError, "takes exactly 5"),
    (lambda: kernels.has_jumps(np.ones((2, 2)), "x", UP), TypeError, "must be real number"),
])
def test_price_scans_refuse_what_they_cannot_read(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


@pytest.mark.parametrize("a, b, same", [
    (b"", b"", True),
    (b"abc", b"abc", True),
    (b"abc", b"abd", False),
    (b"abc", b"abcd", False),
    (np.arange(1000.0), np.arange(1000.0), True),
    # One bit of one value differs: -0.0 against 0.0.
    (np.zeros(1000), np.concatenate([np.zeros(999), [-0.0]]), False),
    (np.full(3, np.nan), np.full(3, np.nan), True),
])
def test_same_bytes_compares_every_byte(a, b, same):
    assert kernels.same_bytes(memoryview(a), memoryview(b)) is same


@pytest.mark.parametrize("at", [0, 1, (96 << 20) // 4 - 1, (96 << 20) // 2, (96 << 20) - 1, None])
def test_same_bytes_of_a_large_buffer_sees_a_byte_in_any_part(at):
    # Large buffers are compared in parts, on several threads: a byte off in any part, its
    # first or last included, is seen.
    a = np.resize(np.arange(251, dtype=np.uint8), 96 << 20)
    b = a.copy()
    if at is not None:
        b[at] ^= 1
    assert kernels.same_bytes(memoryview(a), memoryview(b)) is (at is None)
    assert kernels.same_bytes(memoryview(a)[1:], memoryview(b)[:-1]) is False


def test_same_bytes_refuses_what_it_cannot_read_whole():
    with pytest.raises(BufferError):
        kernels.same_bytes(memoryview(np.arange(4.0))[::2], b"")
    with pytest.raises(TypeError):
        kernels.same_bytes(1, b"")

