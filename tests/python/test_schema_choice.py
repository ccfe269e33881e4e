"""Which alternative of a union a value is written by."""

import datetime
import enum
from dataclasses import dataclass
from typing import Annotated, Literal

import pytest

from vorel import Opaque
from vorel._vorel import Ref


class Color(enum.IntEnum):
    RED = 1


@dataclass(frozen=True)
class A:
    x: int


@dataclass(frozen=True)
class B:
    y: int


@dataclass(frozen=True)
class SubA(A):
    pass


class SubStr(str):
    pass


MARKER = Opaque(lambda v: b"", lambda b: None)

CHOICES = [
    # A literal takes only the values it writes, so the order of a union does not change what it accepts.
    pytest.param(Literal[1] | bool, True, ("plain", 1), id="Literal[1]|bool-True"),
    pytest.param(bool | Literal[1], True, ("plain", 0), id="bool|Literal[1]-True"),
    pytest.param(Literal[1] | bool, 1, ("plain", 0), id="Literal[1]|bool-1"),
    pytest.param(Literal[1] | float, 2, ("plain", 1), id="Literal[1]|float-2"),
    pytest.param(float | Literal[1], 2, ("plain", 0), id="float|Literal[1]-2"),
    pytest.param(Literal["a", "b"] | int, "c", None, id="Literal-str-unmatched"),
    pytest.param(Literal["a"] | int, SubStr("a"), None, id="Literal-str-subclass"),
    pytest.param(Literal["a"] | int, "\ud800", None, id="Literal-str-without-utf8"),
    pytest.param(Literal[1] | str, 2**70, None, id="Literal-int-beyond-64-bits"),
    pytest.param(Literal[True] | int, True, ("plain", 0), id="Literal[True]|int-True"),
    pytest.param(Literal[True] | int, False, ("plain", 1), id="Literal[True]|int-False"),
    # The choices the writer's table fixes.
    pytest.param(float | int, 5, ("plain", 0), id="float-first-takes-ints"),
    pytest.param(int | float, 5, ("plain", 0), id="int-first"),
    pytest.param(int | Color, Color.RED, ("plain", 1), id="enum-before-int"),
    pytest.param(A | B | None, B(1), ("tagged", 1), id="dataclass-by-name"),
    pytest.param(A | B | None, None, ("plain", 0), id="none"),
    pytest.param(A | B, SubA(1), None, id="dataclass-subclass-takes-no-entry"),
    pytest.param(datetime.datetime | datetime.date, datetime.date(2024, 1, 1), ("plain", 1), id="date"),
    pytest.param(datetime.datetime | datetime.date, datetime.datetime(2024, 1, 1), ("plain", 0), id="datetime"),
    pytest.param(frozenset[int] | None, frozenset({1}), ("plain", 0), id="frozenset"),
    pytest.param(frozenset[int] | None, {1}, None, id="set-is-no-frozenset"),
    pytest.param(Annotated[int, MARKER] | None, 5, None, id="opaque-is-never-chosen"),
    pytest.param(bytes | None, bytearray(b"x"), None, id="bytearray-is-no-bytes"),
]


@pytest.mark.parametrize("annotation, value, choice", CHOICES)
def test_chosen_alternative(testing, annotation, value, choice):
    assert testing.chosen(annotation, value) == choice


def test_refs_are_chosen_by_class(testing):
    assert testing.chosen(Ref[int] | None, testing.ref(("e", "a", "b"))) == ("plain", 0)
    assert testing.chosen(Ref[int] | None, testing.ref()) == ("plain", 0)
    assert testing.chosen(Ref[int] | int, 3) == ("plain", 1)
