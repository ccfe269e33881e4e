"""The checks that the settings and messages of the package share, with the texts they refuse with."""

from __future__ import annotations

from datetime import timedelta

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
UINT32_MAX = 2**32 - 1
UINT64_MAX = 2**64 - 1

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def quoted(text: str) -> str:
    """The debug form of a text, the one the core writes refused texts in.

    Double quotes around it, a backslash before a quote or a backslash, \\t \\r \\n \\0, and \\u{hex} for any
    other character that does not print.
    """
    out = ['"']
    for ch in text:
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif ch.isprintable():
            out.append(ch)
        else:
            out.append(f"\\u{{{ord(ch):x}}}")
    out.append('"')
    return "".join(out)


def period(name: str, value: object) -> timedelta:
    """A duration of zero or more, as the core reads one."""
    if not isinstance(value, timedelta):
        raise TypeError(f"{name} is {value!r}, not a timedelta")
    if value < timedelta(0):
        raise ValueError(f"{name} is {value}, which is negative")
    return value


def every(name: str, value: object) -> timedelta:
    """The period of a round: a duration above zero, since a zero period would spin."""
    if period(name, value) == timedelta(0):
        raise ValueError(f"{name} is {value}, and a period of zero would never wait between two rounds")
    return value  # type: ignore[return-value]


def integer(name: str, value: object, low: int, high: int) -> int:
    """An int from `low` to `high`; a bool is refused, since it is never meant as a number here."""
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} is {value!r}, not an int")
    if not low <= value <= high:
        raise ValueError(f"{name} is {value}, which is not between {low} and {high}")
    return value


def text(name: str, value: object) -> str:
    """A str, as the core reads one."""
    if not isinstance(value, str):
        raise TypeError(f"{name} is {value!r}, not a str")
    return value


def texts(name: str, value: object) -> tuple[str, ...]:
    """A sequence of str kept as a tuple; one str alone is refused, since it is a sequence of characters."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} is {value!r}, a single text; give a sequence of texts")
    try:
        items = tuple(value)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{name} is {value!r}, not a sequence of texts") from None
    for item in items:
        text(name, item)
    return items
