"""The one family of scalar checks: real numbers with bounds, fractions, whole numbers,
flags, choices and text.  One grammar for every message: "`name` must be <what>, got
<value>", with the unit or an example where a slip is likely (a fraction typed as a
percentage, a count typed as a float).  Bounds are data (``Bounds``), so a docstring's
"(0, 1]" and the check that enforces it come from one value.
"""

from __future__ import annotations

import math
import os
import unicodedata
from dataclasses import dataclass
from typing import Any, Literal, Optional, Sequence, overload

import numpy as np

__all__ = ["Bounds", "FRACTION", "check_choice", "check_flag", "check_fraction", "check_path",
           "check_real", "check_text", "check_whole", "shown"]


@dataclass(frozen=True)
class Bounds:
    """An interval of allowed values: None for an open end at infinity."""

    low: Optional[float] = None
    high: Optional[float] = None
    low_open: bool = False
    high_open: bool = False

    def contains(self, value: float) -> bool:
        if self.low is not None and (value <= self.low if self.low_open else value < self.low):
            return False
        if self.high is not None and (value >= self.high if self.high_open
                                      else value > self.high):
            return False
        return True

    def __str__(self) -> str:
        """"(0, 1]" with both ends; "at least 1", "above 0", "at most 10" with one."""
        if self.low is not None and self.high is not None:
            return (f"{'(' if self.low_open else '['}{self.low:g}, {self.high:g}"
                    f"{')' if self.high_open else ']'}")
        if self.low is not None:
            return f"{'above' if self.low_open else 'at least'} {self.low:g}"
        if self.high is not None:
            return f"{'below' if self.high_open else 'at most'} {self.high:g}"
        return "any value"

    def words(self) -> str:
        """The bound as it follows "must be a number": "in (0, 1]" or "at least 1"."""
        both = self.low is not None and self.high is not None
        return f"in {self}" if both else str(self)


FRACTION = Bounds(0.0, 1.0, low_open=True)
_INT32 = Bounds(-2.0**31, 2.0**31, high_open=True)


def shown(value: Any, limit: int = 80) -> str:
    """A value as a message shows it: its type where that is the slip, an integer too long
    to print by its digits, and never more than ``limit`` characters."""
    if isinstance(value, int) and not isinstance(value, bool) and abs(value) > 10**30:
        return f"an integer of {len(str(abs(value)))} digits"
    text = repr(value)
    if not isinstance(value, (int, float, np.integer, np.floating, str, type(None))):
        text = f"{type(value).__name__} {text}"
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _is_bool(value: Any) -> bool:
    return isinstance(value, (bool, np.bool_))


def _typed(value: Any) -> str:
    text = shown(value)
    return text if text.startswith(type(value).__name__) else f"{type(value).__name__} {text}"


def check_real(value: Any, name: str, bounds: Optional[Bounds] = None, *,
               what: str = "a real number", hint: str = "", infinite: bool = False) -> float:
    """A real number (not a bool, not NaN) a float can hold, within ``bounds``; infinite
    only when ``infinite``."""
    if _is_bool(value) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be {what}, got {_typed(value)}")
    try:
        number = float(value)
    except OverflowError:  # an integer beyond any float
        raise ValueError(f"{name} must be {what}, got {shown(value)} (beyond any "
                         "float)") from None
    limits = "" if bounds is None else f" {bounds.words()}"
    if math.isnan(number) or (math.isinf(number) and not infinite):
        raise ValueError(f"{name} must be {'a finite ' + what[2:] if what.startswith('a ') else what}"
                         f"{limits}, got {number}")
    if bounds is not None and not bounds.contains(number):
        raise ValueError(f"{name} must be {what}{limits}, got {shown(value)}{hint}")
    return number


@overload
def check_fraction(value: Any, name: str, bounds: Bounds = ..., *, example: float = ...,
                   default: float) -> float: ...


@overload
def check_fraction(value: Any, name: str, bounds: Bounds = ..., *, example: float = ...,
                   default: None = ...) -> Optional[float]: ...


def check_fraction(value: Any, name: str, bounds: Bounds = FRACTION, *, example: float = 0.1,
                   default: Optional[float] = None) -> Optional[float]:
    """A fraction within ``bounds``; None gives ``default``.  Values out of range are
    almost always percentages, so the message says how a fraction reads."""
    if value is None:
        return default
    shown_example = f"{example:.2f}" if example >= 0.01 else f"{example:g}"
    return check_real(value, name, bounds, what="a fraction",
                      hint=f": {shown_example} means {example * 100:g} %")


@overload
def check_whole(value: Any, name: str, bounds: Optional[Bounds] = ..., *, unit: str = ...,
                note: str = ..., none: Literal[""] = ..., even: bool = ...,
                int32: bool = ...) -> int: ...


@overload
def check_whole(value: Any, name: str, bounds: Optional[Bounds] = ..., *, unit: str = ...,
                note: str = ..., none: str, even: bool = ...,
                int32: bool = ...) -> Optional[int]: ...


def check_whole(value: Any, name: str, bounds: Optional[Bounds] = None, *, unit: str = "",
                note: str = "", none: str = "", even: bool = False,
                int32: bool = False) -> Optional[int]:
    """A whole number (int or NumPy integer, not a bool) within ``bounds``: "window must be
    a whole number of bars, at least 2, got 1.5".  ``none`` says what None means when None
    is allowed; ``int32`` keeps it within the engine's 32-bit counters."""
    what = f"{'an even' if even else 'a'} whole number{f' of {unit}' if unit else ''}"
    limits = "" if bounds is None else f", {bounds.words()}"
    alternative = f", or None {none}" if none else ""
    full = f"{what}{limits}{alternative}{f' ({note})' if note else ''}"
    if value is None and none:
        return None
    if _is_bool(value) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be {full}, got {_typed(value)}")
    number = int(value)
    if (bounds is not None and not bounds.contains(number)) or (even and number % 2):
        raise ValueError(f"{name} must be {full}, got {shown(number)}")
    if int32 and not _INT32.contains(number):
        raise ValueError(f"{name} must be {what} that fits a 32-bit integer, got "
                         f"{shown(number)}")
    return number


@overload
def check_flag(value: Any, name: str, *, none: Literal[""] = ..., note: str = ...) -> bool: ...


@overload
def check_flag(value: Any, name: str, *, none: str, note: str = ...) -> Optional[bool]: ...


def check_flag(value: Any, name: str, *, none: str = "", note: str = "") -> Optional[bool]:
    """A switch: bool, NumPy bool or the integers 0 and 1; None only when ``none`` says
    what it means."""
    if value is None and none:
        return None
    if _is_bool(value):
        return bool(value)
    if isinstance(value, (int, np.integer)) and value in (0, 1):
        return bool(value)
    either = "None, True or False" if none else "True or False"
    raise TypeError(f"{name} must be {either}{f' {note}' if note else ''}, got "
                    f"{shown(value)}")


def check_choice(value: Any, name: str, choices: Sequence[str]) -> str:
    """One of a few words: "errors must be 'store' or 'raise', got 'ignore'"."""
    if not isinstance(value, str) or value not in choices:
        words = [repr(c) for c in choices]
        either = words[0] if len(words) == 1 else ", ".join(words[:-1]) + " or " + words[-1]
        raise ValueError(f"{name} must be {either}, got {shown(value)}")
    return value


def check_path(value: Any, name: str, *, empty: str, what: str = "a path") -> str:
    """A path as given (str or os.PathLike), never empty (pathlib reads "" as the working
    folder: never what a caller meant) and without a NUL byte (no file can be named so;
    the OS would cut the name there).  ``empty`` says what to pass instead of ""."""
    text = os.fspath(value) if isinstance(value, os.PathLike) else value
    if isinstance(text, bytes):
        raise TypeError(f"{name} must be {what} (str or os.PathLike), got bytes {text!r}; "
                        "decode it with os.fsdecode")
    if not isinstance(text, str):
        raise TypeError(f"{name} must be {what} (str or os.PathLike), got "
                        f"{type(value).__name__} {value!r}"[:300])
    if not text:
        raise ValueError(f"{name} must not be empty, got ''; {empty}")
    if "\0" in text:
        raise ValueError(f"{name} must not contain a NUL byte, got {text!r}")
    return text


@overload
def check_text(value: Any, name: str) -> str: ...


@overload
def check_text(value: Any, name: str, *, optional: bool) -> Optional[str]: ...


def check_text(value: Any, name: str, *, optional: bool = False) -> Optional[str]:
    """Text shown as given (a title): a str that UTF-8 can encode, as reports are written
    and fonts drawn; None only when ``optional``."""
    if value is None and optional:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str{' or None' if optional else ''}, got "
                        f"{type(value).__name__} {value!r}"[:300])
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as exc:
        raise ValueError(f"{name} must be text that UTF-8 can encode, got a lone surrogate "
                         f"{value[exc.start]!r} at position {exc.start} (half of a character "
                         "split apart, or bytes decoded with errors='surrogateescape'); decode "
                         "the text properly") from None
    for position, char in enumerate(value):
        # Control characters, unassigned and private code points have no glyph to draw.
        if char not in "\n\t" and unicodedata.category(char) in ("Cc", "Cn", "Co"):
            raise ValueError(f"{name} must be printable text, got {char!r} at position "
                             f"{position}, which no font draws")
    return value
