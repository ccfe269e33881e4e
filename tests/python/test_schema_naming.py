"""Types named as a programmer writes them, and the replacement offered for a refused one."""

import collections.abc
import enum
import typing
from dataclasses import dataclass
from typing import Annotated, Literal, Optional

import pytest

from vorel._vorel import Ref


class Outer:
    @dataclass(frozen=True)
    class Point:
        x: int


@dataclass(frozen=True)
class Msg:
    text: str


@dataclass(frozen=True)
class Box[T]:
    item: T


class Perm(enum.Flag):
    R = 1


type Pair[T] = tuple[T, T]
type Alias = int
T = typing.TypeVar("T")


class Boom(RuntimeError):
    pass


class Unnameable:
    def __repr__(self):
        raise Boom("repr")


NAMES = [
    pytest.param(int, "int", id="class"),
    pytest.param(Outer.Point, "Outer.Point", id="nested-class"),
    pytest.param(Optional[int], "int | None", id="Optional"),
    pytest.param(int | None, "int | None", id="union"),
    pytest.param(Optional[int | str], "int | str | None", id="union-flattened-by-interpreter"),
    pytest.param(list[int], "list[int]", id="list"),
    pytest.param(typing.List[int], "list[int]", id="typing.List"),
    pytest.param(dict[str, list[int]], "dict[str, list[int]]", id="dict"),
    pytest.param(tuple[int, ...], "tuple[int, ...]", id="tuple-of"),
    pytest.param(tuple[()], "tuple[]", id="tuple-empty"),
    pytest.param(collections.abc.Mapping[str, int], "Mapping[str, int]", id="Mapping"),
    pytest.param(Annotated[int, "m"], "int", id="Annotated"),
    pytest.param(Pair[int], "Pair[int]", id="generic-alias"),
    pytest.param(Alias, "Alias", id="alias"),
    pytest.param(T, "T", id="TypeVar"),
    pytest.param(Ref[Msg], "Ref[Msg]", id="Ref"),
    pytest.param(Box, "Box", id="bare-generic"),
    pytest.param(Box[int], "Box[int]", id="generic-dataclass"),
    pytest.param(Literal["a", 1], "typing.Literal['a', 1]", id="Literal"),
    pytest.param(Literal["a"] | None, "typing.Literal['a'] | None", id="Literal-in-union"),
    pytest.param(None, "None", id="None"),
    pytest.param(type(None), "None", id="NoneType"),
    pytest.param(..., "...", id="Ellipsis"),
    pytest.param(typing.Never, "typing.Never", id="Never"),
]


@pytest.mark.parametrize("hint, name", NAMES)
def test_names(testing, hint, name):
    assert testing.name(hint) == name


REPLACEMENTS = [
    pytest.param(list, (int,), "tuple[int, ...]", id="list-of"),
    pytest.param(list, (), "tuple[T, ...]", id="list"),
    pytest.param(set, (str,), "frozenset[str]", id="set-of"),
    pytest.param(set, (), "frozenset[T]", id="set"),
    pytest.param(dict, (str, int), "Mapping[str, int]", id="dict-of"),
    pytest.param(dict, (), "Mapping[K, V]", id="dict"),
    pytest.param(dict, (str, list[int]), "Mapping[str, list[int]]", id="dict-nested"),
    pytest.param(Perm, (), "a frozenset of an Enum", id="Flag"),
    pytest.param(Perm, (int,), "a frozenset of an Enum", id="Flag-with-arguments"),
    pytest.param(tuple, (int,), None, id="other-class"),
    pytest.param(typing.Any, (), None, id="not-a-container"),
]


@pytest.mark.parametrize("refused, args, replacement", REPLACEMENTS)
def test_replacements(testing, refused, args, replacement):
    assert testing.replacement(refused, args) == replacement


def test_failures_of_naming_pass_through(testing):
    with pytest.raises(Boom):
        testing.replacement(list, (Unnameable(),))
    with pytest.raises(Boom):
        testing.name(list[Unnameable()])
