"""The schema compiler: every annotation form with its node table, and every refusal with its text."""

import collections.abc
import datetime
import decimal
import enum
import pathlib
import typing
import uuid
from dataclasses import dataclass, field
from typing import Annotated, Literal, Optional, Union

import pytest

from vorel import Opaque, SchemaError
from vorel._vorel import Ref

Mapping = collections.abc.Mapping
RECURSIVE = "a recursive type refers to itself outside of a container or dataclass"

# Kinds masks, one bit per MessagePack family.
NIL, BOOL, INT, FLOAT, STR, BIN, ARRAY, MAP = (1 << b for b in range(8))


def encode(value):
    return b""


def decode(data):
    return None


MARKER = Opaque(encode, decode)


@dataclass(frozen=True)
class Point:
    x: int
    y: int = 0


@dataclass(frozen=True)
class Empty:
    pass


@dataclass(frozen=True)
class Msg:
    text: str


@dataclass(frozen=True)
class Tree:
    children: tuple["Tree", ...]


@dataclass(frozen=True)
class Ping:
    reply_to: Ref["Ping"]


@dataclass(frozen=True)
class Box[T]:
    item: T


@dataclass(frozen=True)
class IntBox(Box[int]):
    pass


@dataclass(frozen=True)
class Wrapped[U](Box[tuple[U, ...]]):
    extra: U


@dataclass(frozen=True)
class Linked[T]:
    value: T
    next: "Linked[T] | None"


@dataclass(frozen=True)
class Defaults:
    a: int
    b: int = 1
    c: tuple[int, ...] = field(default_factory=tuple)


@dataclass(frozen=True)
class WithOpaque:
    p: Annotated[Point, MARKER]


class Outer:
    @dataclass(frozen=True)
    class Point:
        z: float


class Color(enum.Enum):
    RED = 1
    GREEN = 2
    CRIMSON = 1  # an alias of RED


class Level(enum.IntEnum):
    LOW = 1


class Mood(enum.StrEnum):
    HAPPY = "happy"


class Perm(enum.Flag):
    R = 1


class Bits(enum.IntFlag):
    X = 1


class NoMembers(enum.Enum):
    pass


type IntAlias = int
type AliasOfAlias = IntAlias
type Pair[T] = tuple[T, T]
type Nested = tuple[Nested, ...]
type Json = int | tuple[Json, ...]
type IntOrStr = int | str
type PointAlias = Point
type SelfAlias = SelfAlias
type Ping1 = Ping2
type Ping2 = Ping1
type SelfUnion = int | SelfUnion
type LoopA = int | LoopB
type LoopB = str | LoopA
type SelfMember[T] = T | SelfMember[T]
type SelfFirst[T] = SelfFirst[T] | T
type SelfOnly[T] = SelfOnly[T]


@pytest.fixture
def table(testing):
    return testing.compile


def scalar(name):
    return ("Scalar", name)


POINT_FIELDS = (("x", 1, True), ("y", 2, False))

# (annotation, nodes, root, tagged_root); classes are checked where a case has any.
FORMS = [
    pytest.param(None, [scalar("none")], 0, 0, id="None"),
    pytest.param(type(None), [scalar("none")], 0, 0, id="NoneType"),
    pytest.param(bool, [scalar("bool")], 0, 0, id="bool"),
    pytest.param(int, [scalar("int")], 0, 0, id="int"),
    pytest.param(float, [scalar("float")], 0, 0, id="float"),
    pytest.param(str, [scalar("str")], 0, 0, id="str"),
    pytest.param(bytes, [scalar("bytes")], 0, 0, id="bytes"),
    pytest.param(typing.Never, [("Never",)], 0, 0, id="Never"),
    pytest.param(datetime.datetime, [("DateTime",)], 0, 0, id="datetime"),
    pytest.param(datetime.date, [("Date",)], 0, 0, id="date"),
    pytest.param(datetime.time, [("Time",)], 0, 0, id="time"),
    pytest.param(datetime.timedelta, [("TimeDelta",)], 0, 0, id="timedelta"),
    pytest.param(decimal.Decimal, [("Decimal",)], 0, 0, id="Decimal"),
    pytest.param(uuid.UUID, [("UUID",)], 0, 0, id="UUID"),
    pytest.param(pathlib.PurePosixPath, [("Path", 0)], 0, 0, id="PurePosixPath"),
    pytest.param(pathlib.PureWindowsPath, [("Path", 0)], 0, 0, id="PureWindowsPath"),
    pytest.param(pathlib.Path, [("Path", 0)], 0, 0, id="Path"),
    pytest.param(tuple[pathlib.Path, pathlib.Path], [("Path", 0), ("Path", 1), ("Tuple", (0, 1))], 2, 2,
                 id="Path-twice"),
    pytest.param(Literal[1, "a", True], [("Literal", (1, "a", True))], 0, 0, id="Literal"),
    pytest.param(Color, [("Enum", "Color", ("RED", "GREEN", "CRIMSON"), 0)], 0, 0, id="Enum-with-alias"),
    pytest.param(Level, [("Enum", "Level", ("LOW",), 0)], 0, 0, id="IntEnum"),
    pytest.param(Mood, [("Enum", "Mood", ("HAPPY",), 0)], 0, 0, id="StrEnum"),
    pytest.param(tuple[Color, Color], [("Enum", "Color", ("RED", "GREEN", "CRIMSON"), 0), ("Tuple", (0, 0))], 1, 1,
                 id="Enum-shared"),
    pytest.param(int | None, [scalar("int"), scalar("none"), ("Union", (0, 1), ())], 2, 2, id="int|None"),
    pytest.param(Optional[int], [scalar("int"), scalar("none"), ("Union", (0, 1), ())], 2, 2, id="Optional"),
    pytest.param(Union[int, bool], [scalar("int"), scalar("bool"), ("Union", (0, 1), ())], 2, 2, id="Union"),
    pytest.param(int | float, [scalar("int"), scalar("float"), ("Union", (0, 1), ())], 2, 2, id="int|float"),
    pytest.param(str | bytes, [scalar("str"), scalar("bytes"), ("Union", (0, 1), ())], 2, 2, id="str|bytes"),
    pytest.param(tuple[int, ...], [scalar("int"), ("Collection", False, False, 0)], 1, 1, id="tuple-of"),
    pytest.param(typing.Tuple[int, ...], [scalar("int"), ("Collection", False, False, 0)], 1, 1, id="typing.Tuple"),
    pytest.param(tuple[int, str], [scalar("int"), scalar("str"), ("Tuple", (0, 1))], 2, 2, id="tuple-fixed"),
    pytest.param(tuple[int], [scalar("int"), ("Tuple", (0,))], 1, 1, id="tuple-one"),
    pytest.param(tuple[()], [("Tuple", ())], 0, 0, id="tuple-empty"),
    pytest.param(frozenset[str], [scalar("str"), ("Collection", True, False, 0)], 1, 1, id="frozenset"),
    pytest.param(typing.FrozenSet[str], [scalar("str"), ("Collection", True, False, 0)], 1, 1,
                 id="typing.FrozenSet"),
    pytest.param(Mapping[str, int], [scalar("str"), scalar("int"), ("Mapping", False, 0, 1)], 2, 2, id="Mapping"),
    pytest.param(typing.Mapping[str, int], [scalar("str"), scalar("int"), ("Mapping", False, 0, 1)], 2, 2,
                 id="typing.Mapping"),
    pytest.param(Ref[int], [scalar("int"), ("Ref", 0)], 1, 1, id="Ref-int"),
    pytest.param(Ref[Msg], [("Dataclass", "Msg", (("text", 1, True),), 0), scalar("str"),
                            ("Tagged", "Msg", (("text", 1, True),), 0), ("Ref", 2)], 3, 3, id="Ref-dataclass"),
    pytest.param(Annotated[int, "meta"], [scalar("int")], 0, 0, id="Annotated"),
    pytest.param(Annotated[Point, MARKER], [("Opaque", "Point", 0)], 0, 0, id="Opaque"),
    pytest.param(Annotated[list[dict], MARKER], [("Opaque", "list[dict]", 0)], 0, 0, id="Opaque-of-anything"),
    pytest.param(Point, [("Dataclass", "Point", POINT_FIELDS, 0), scalar("int"), scalar("int"),
                         ("Tagged", "Point", POINT_FIELDS, 0)], 0, 3, id="dataclass"),
    pytest.param(Empty, [("Dataclass", "Empty", (), 0), ("Tagged", "Empty", (), 0)], 0, 1, id="dataclass-empty"),
    pytest.param(Outer.Point, [("Dataclass", "Outer.Point", (("z", 1, True),), 0), scalar("float"),
                               ("Tagged", "Outer.Point", (("z", 1, True),), 0)], 0, 2, id="dataclass-nested"),
    pytest.param(Defaults, [("Dataclass", "Defaults", (("a", 1, True), ("b", 2, False), ("c", 4, False)), 0),
                            scalar("int"), scalar("int"), scalar("int"), ("Collection", False, False, 3),
                            ("Tagged", "Defaults", (("a", 1, True), ("b", 2, False), ("c", 4, False)), 0)], 0, 5,
                 id="dataclass-defaults"),
    pytest.param(WithOpaque, [("Dataclass", "WithOpaque", (("p", 1, True),), 0), ("Opaque", "Point", 0),
                              ("Tagged", "WithOpaque", (("p", 1, True),), 0)], 0, 2, id="dataclass-opaque-field"),
    pytest.param(tuple[Point, Point], [("Dataclass", "Point", POINT_FIELDS, 0), scalar("int"), scalar("int"),
                                       ("Tuple", (0, 0))], 3, 3, id="dataclass-shared"),
    pytest.param(Optional[Empty], [("Dataclass", "Empty", (), 0), scalar("none"),
                                   ("Union", (1,), (("Empty", 0),))], 2, 2, id="Optional-dataclass"),
    pytest.param(Point | Empty, [("Dataclass", "Point", POINT_FIELDS, 0), scalar("int"), scalar("int"),
                                 ("Dataclass", "Empty", (), 1), ("Union", (), (("Point", 0), ("Empty", 3)))], 4, 4,
                 id="dataclass-union"),
    pytest.param(IntAlias, [("Alias", 1), scalar("int")], 1, 1, id="alias"),
    pytest.param(AliasOfAlias, [("Alias", 2), ("Alias", 2), scalar("int")], 2, 2, id="alias-of-alias"),
    pytest.param(Pair[int], [scalar("int"), ("Alias", 2), ("Tuple", (0, 0))], 2, 2, id="generic-alias"),
    pytest.param(Nested, [("Alias", 1), ("Collection", False, False, 1)], 1, 1, id="alias-recursive"),
    pytest.param(Json, [("Alias", 3), scalar("int"), ("Collection", False, False, 3), ("Union", (1, 2), ())], 3, 3,
                 id="alias-recursive-union"),
    pytest.param(PointAlias, [("Alias", 1), ("Dataclass", "Point", (("x", 2, True), ("y", 3, False)), 0),
                              scalar("int"), scalar("int"),
                              ("Tagged", "Point", (("x", 2, True), ("y", 3, False)), 0)], 1, 4, id="alias-dataclass"),
    pytest.param(IntOrStr | None, [scalar("int"), scalar("str"), scalar("none"), ("Union", (0, 1, 2), ())], 3, 3,
                 id="union-alias-flattened"),
    pytest.param(Annotated[str | bytes, "meta"] | None,
                 [scalar("str"), scalar("bytes"), scalar("none"), ("Union", (0, 1, 2), ())], 3, 3,
                 id="union-annotated-flattened"),
    pytest.param(Annotated[str | bytes, MARKER] | None,
                 [("Opaque", "str | bytes", 0), scalar("none"), ("Union", (0, 1), ())], 2, 2,
                 id="union-opaque-member"),
    pytest.param(PointAlias | None,
                 [("Alias", 1), ("Dataclass", "Point", (("x", 2, True), ("y", 3, False)), 0), scalar("int"),
                  scalar("int"), scalar("none"), ("Union", (1, 4), ())], 5, 5, id="union-alias-dataclass-is-plain"),
    pytest.param(Tree, [("Dataclass", "Tree", (("children", 1, True),), 0), ("Collection", False, False, 0),
                        ("Tagged", "Tree", (("children", 1, True),), 0)], 0, 2, id="dataclass-recursive"),
    pytest.param(Box[int], [scalar("int"), ("Dataclass", "Box", (("item", 0, True),), 0),
                            ("Tagged", "Box", (("item", 0, True),), 0)], 1, 2, id="generic-dataclass"),
    pytest.param(IntBox, [("Dataclass", "IntBox", (("item", 1, True),), 0), scalar("int"),
                          ("Tagged", "IntBox", (("item", 1, True),), 0)], 0, 2, id="generic-base"),
    pytest.param(Wrapped[str], [scalar("str"), ("Dataclass", "Wrapped", (("item", 2, True), ("extra", 0, True)), 0),
                                ("Collection", False, False, 0),
                                ("Tagged", "Wrapped", (("item", 2, True), ("extra", 0, True)), 0)], 1, 3,
                 id="generic-base-through-subclass-variable"),
    pytest.param(tuple[Box[int], Box[int]], [scalar("int"), ("Dataclass", "Box", (("item", 0, True),), 0),
                                             scalar("int"), ("Dataclass", "Box", (("item", 2, True),), 1),
                                             ("Tuple", (1, 3))], 4, 4, id="generic-twice-two-nodes"),
    pytest.param(Linked[int], [scalar("int"), ("Dataclass", "Linked", (("value", 0, True), ("next", 3, True)), 0),
                               scalar("none"), ("Union", (2,), (("Linked", 1),)),
                               ("Tagged", "Linked", (("value", 0, True), ("next", 3, True)), 0)], 1, 4,
                 id="generic-recursive"),
    pytest.param(Ping, [("Dataclass", "Ping", (("reply_to", 1, True),), 0), ("Ref", 2),
                        ("Tagged", "Ping", (("reply_to", 1, True),), 0)], 0, 2, id="ref-to-own-dataclass"),
    pytest.param(Ref[PointAlias], [("Alias", 1), ("Dataclass", "Point", (("x", 2, True), ("y", 3, False)), 0),
                                   scalar("int"), scalar("int"), ("Ref", 5),
                                   ("Tagged", "Point", (("x", 2, True), ("y", 3, False)), 0)], 4, 4,
                 id="ref-through-alias"),
]


@pytest.mark.parametrize("annotation, nodes, root, tagged_root", FORMS)
def test_forms(table, annotation, nodes, root, tagged_root):
    compiled = table(annotation)
    assert compiled["nodes"] == nodes
    assert (compiled["root"], compiled["tagged_root"]) == (root, tagged_root)
    assert len(compiled["kinds"]) == len(nodes)


CLASSES = [
    pytest.param(pathlib.PurePosixPath, [pathlib.PurePosixPath], id="path"),
    pytest.param(tuple[pathlib.Path, pathlib.Path], [pathlib.Path, pathlib.Path], id="path-twice"),
    pytest.param(tuple[Color, Color], [Color], id="enum-once"),
    pytest.param(Point | Empty, [Point, Empty], id="dataclasses"),
    pytest.param(Tree, [Tree], id="recursive"),
    pytest.param(Annotated[Point, MARKER], [], id="opaque-not-examined"),
]


@pytest.mark.parametrize("annotation, classes", CLASSES)
def test_class_table(table, annotation, classes):
    assert table(annotation)["classes"] == classes


MASKS = [
    pytest.param(Literal[1, "a", True], [BOOL | INT | STR], id="literal"),
    pytest.param(Json, [0, INT, ARRAY, INT | ARRAY], id="recursive-union"),
    pytest.param(Point, [MAP, INT, INT, ARRAY], id="dataclass-and-copy"),
    pytest.param(Optional[Empty], [MAP, NIL, NIL | ARRAY], id="optional-dataclass"),
    pytest.param(tuple[datetime.date, datetime.timedelta, decimal.Decimal, uuid.UUID, datetime.datetime],
                 [INT, INT, STR, BIN, ARRAY, ARRAY], id="leaves"),
    pytest.param(Mapping[Color, Annotated[int, MARKER]], [STR, BIN, ARRAY], id="enum-opaque-mapping"),
]


@pytest.mark.parametrize("annotation, kinds", MASKS)
def test_kinds_masks(table, annotation, kinds):
    assert table(annotation)["kinds"] == kinds


def test_sorted_flag_reaches_frozensets_and_mappings_only(table):
    compiled = table(tuple[frozenset[str], tuple[str, ...], Mapping[str, int]], sorted=True)
    assert compiled["nodes"] == [
        scalar("str"), ("Collection", True, True, 0),
        scalar("str"), ("Collection", False, False, 2),
        scalar("str"), scalar("int"), ("Mapping", True, 4, 5),
        ("Tuple", (1, 3, 6)),
    ]


def test_opaque_codecs_are_one_entry_per_occurrence(table):
    other = Opaque(decode, encode)
    compiled = table(tuple[Annotated[Point, MARKER], Annotated[Point, MARKER], Annotated[int, other]])
    assert compiled["nodes"][:3] == [("Opaque", "Point", 0), ("Opaque", "Point", 1), ("Opaque", "int", 2)]
    assert compiled["codecs"] == [(encode, decode), (encode, decode), (decode, encode)]


def test_values_are_taken_for_the_writer_and_reader(table):
    values = table(int)["values"]
    assert values["datetime"] is datetime.datetime and values["Mapping"] is Mapping
    assert values["timezone"] is datetime.timezone
    assert values["epoch"] == datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)


# ---- refusals --------------------------------------------------------------------------------


class Plain:
    pass


class MyDate(datetime.date):
    pass


class MyInt(int):
    pass


@dataclass
class Order:
    total: int


@dataclass(frozen=True)
class Line:
    price: int


@dataclass(frozen=True)
class Basket:
    lines: list[Line]


@dataclass(frozen=True)
class Broken:
    x: "Undefined"  # noqa: F821


@dataclass(frozen=True)
class Inner:
    bad: dict[str, int]


@dataclass(frozen=True)
class Outer2:
    inner: Inner


class NotDecorated(Point):  # inherits the fields, but was not decorated itself
    pass


@dataclass(frozen=True)
class HoldsSelfUnion:
    u: SelfUnion


def _twin(name):
    @dataclass(frozen=True)
    class Twin:
        a: int

    Twin.__qualname__ = name
    return Twin


TwinA, TwinB = _twin("Twin"), _twin("Twin")

T = typing.TypeVar("T")

REFUSALS = [
    pytest.param(list[int], "list[int] is not supported; use tuple[int, ...]", id="list-of"),
    pytest.param(typing.List[int], "list[int] is not supported; use tuple[int, ...]", id="typing.List"),
    pytest.param(list, "list is not supported; use tuple[T, ...]", id="list"),
    pytest.param(set[str], "set[str] is not supported; use frozenset[str]", id="set-of"),
    pytest.param(set, "set is not supported; use frozenset[T]", id="set"),
    pytest.param(dict[str, int], "dict[str, int] is not supported; use Mapping[str, int]", id="dict-of"),
    pytest.param(dict, "dict is not supported; use Mapping[K, V]", id="dict"),
    pytest.param(dict[str, list[int]], "dict[str, list[int]] is not supported; use Mapping[str, list[int]]",
                 id="dict-nested"),
    pytest.param(Perm, "Perm is not supported; use a frozenset of an Enum", id="Flag"),
    pytest.param(Bits, "Bits is not supported; use a frozenset of an Enum", id="IntFlag"),
    pytest.param(NoMembers, "NoMembers is not supported", id="enum-without-members"),
    pytest.param(typing.Any, "Any is not supported", id="Any"),
    pytest.param(object, "object is not supported", id="object"),
    pytest.param(Plain, "Plain is not supported", id="plain-class"),
    pytest.param(MyDate, "MyDate is not supported", id="date-subclass"),
    pytest.param(MyInt, "MyInt is not supported", id="int-subclass"),
    pytest.param(pathlib.PosixPath, "PosixPath is not supported", id="PosixPath"),
    pytest.param(pathlib.PurePath, "PurePath is not supported", id="PurePath"),
    pytest.param(tuple, "tuple is not supported", id="bare-tuple"),
    pytest.param(frozenset, "frozenset is not supported", id="bare-frozenset"),
    pytest.param(Mapping, "Mapping is not supported", id="bare-Mapping"),
    pytest.param(Ref, "Ref is not supported", id="bare-Ref"),
    pytest.param(frozenset[int, str], "frozenset[int, str] is not supported", id="frozenset-two"),
    pytest.param(Ref[int, str], "Ref[int, str] is not supported", id="Ref-two"),
    pytest.param(Literal[1.5], "typing.Literal[1.5] is not supported; use literals of str, int or bool",
                 id="Literal-float"),
    pytest.param(Literal[None], "typing.Literal[None] is not supported; use literals of str, int or bool",
                 id="Literal-None"),
    pytest.param(Literal[b"x"], "typing.Literal[b'x'] is not supported; use literals of str, int or bool",
                 id="Literal-bytes"),
    pytest.param(T, "T has no value", id="TypeVar"),
    pytest.param(Pair, "T has no value", id="generic-alias-bare"),
    pytest.param(Box, "Box.item: T has no value", id="generic-dataclass-bare"),
    pytest.param(Annotated[int, MARKER, MARKER], "int has more than one Opaque", id="two-Opaque"),
    pytest.param(Order, "Order is not supported; use @dataclass(frozen=True)", id="not-frozen"),
    pytest.param(tuple[Order], "Order is not supported; use @dataclass(frozen=True)", id="not-frozen-inner"),
    pytest.param(Basket, "Basket.lines: list[Line] is not supported; use tuple[Line, ...]", id="field-path"),
    pytest.param(Outer2, "Outer2.inner.bad: dict[str, int] is not supported; use Mapping[str, int]",
                 id="field-path-nested"),
    pytest.param(Broken, "Broken: name 'Undefined' is not defined", id="NameError"),
    pytest.param(str | Color, "str | Color is ambiguous: str and Color have the same structure", id="str|Enum"),
    pytest.param(str | pathlib.Path, "str | Path is ambiguous: str and Path have the same structure", id="str|Path"),
    pytest.param(str | decimal.Decimal, "str | Decimal is ambiguous: str and Decimal have the same structure",
                 id="str|Decimal"),
    pytest.param(bytes | uuid.UUID, "bytes | UUID is ambiguous: bytes and UUID have the same structure",
                 id="bytes|UUID"),
    pytest.param(int | datetime.date, "int | date is ambiguous: int and date have the same structure", id="int|date"),
    pytest.param(datetime.datetime | datetime.time,
                 "datetime | time is ambiguous: datetime and time have the same structure", id="datetime|time"),
    pytest.param(Literal["a"] | str,
                 "typing.Literal['a'] | str is ambiguous: typing.Literal['a'] and str have the same structure",
                 id="Literal|str"),
    pytest.param(tuple[int, ...] | tuple[str],
                 "tuple[int, ...] | tuple[str] is ambiguous: tuple[int, ...] and tuple[str] have the same structure",
                 id="tuple|tuple"),
    pytest.param(tuple[int, ...] | Mapping[str, int],
                 "tuple[int, ...] | Mapping[str, int] is ambiguous: tuple[int, ...] and Mapping[str, int] have the "
                 "same structure", id="tuple|Mapping"),
    pytest.param(int | IntOrStr, "int | IntOrStr is ambiguous: int and int have the same structure",
                 id="flattened-duplicate"),
    pytest.param(Point | tuple[int, ...],
                 "Point | tuple[int, ...] is ambiguous: tuple[int, ...] and the dataclasses have the same structure",
                 id="dataclass|tuple"),
    pytest.param(Point | Mapping[str, int],
                 "Point | Mapping[str, int] is ambiguous: Mapping[str, int] and the dataclasses have the same "
                 "structure", id="dataclass|Mapping"),
    pytest.param(TwinA | TwinB, "Twin | Twin is ambiguous: two dataclasses named Twin", id="same-qualname"),
    pytest.param(Box[int] | Box[str], "Box[int] | Box[str] is ambiguous: two dataclasses named Box",
                 id="two-parametrisations"),
    pytest.param(SelfAlias, RECURSIVE, id="alias-of-itself"),
    pytest.param(Ping1, RECURSIVE, id="aliases-in-a-cycle"),
    pytest.param(SelfUnion, RECURSIVE, id="union-alias-contains-itself"),
    pytest.param(LoopA, RECURSIVE, id="union-aliases-contain-each-other"),
    pytest.param(HoldsSelfUnion, "HoldsSelfUnion.u: " + RECURSIVE, id="union-alias-contains-itself-in-field"),
    pytest.param(SelfMember[int], RECURSIVE, id="generic-union-alias-is-its-own-member"),
    pytest.param(SelfFirst[int], RECURSIVE, id="generic-union-alias-is-its-own-first-member"),
    pytest.param(SelfOnly[int], RECURSIVE, id="generic-alias-of-itself"),
]


@pytest.mark.parametrize("annotation, text", REFUSALS)
def test_refusals(table, annotation, text):
    with pytest.raises(SchemaError) as raised:
        table(annotation)
    assert str(raised.value) == text
    assert isinstance(raised.value, TypeError)


def test_a_subclass_that_was_not_decorated_fails_with_the_lookup(table):
    with pytest.raises(KeyError):
        table(NotDecorated)


@dataclass(frozen=True)
class Grow[T]:
    x: "tuple[Grow[tuple[T, ...]], ...]"


def test_generic_dataclass_growing_without_end_is_refused(table):
    with pytest.raises(SchemaError) as raised:
        table(Grow[int])
    assert str(raised.value).startswith("Grow.x.x.x.")
    assert str(raised.value).endswith(": types nested more than 200 deep are not supported")


def test_annotations_nested_beyond_the_limit_are_refused_not_crashed(table):
    deep = int
    for _ in range(10_000):
        deep = tuple[deep, ...]
    with pytest.raises(SchemaError, match="^types nested more than 200 deep are not supported$"):
        table(deep)
    # A refused annotation too deep to name ends in the interpreter's RecursionError.
    deep = int
    for _ in range(10_000):
        deep = list[deep]
    with pytest.raises(RecursionError):
        table(deep)


def test_nesting_within_the_limit_compiles(table):
    deep = int
    for _ in range(150):
        deep = tuple[deep, ...]
    assert len(table(deep)["nodes"]) == 151


# ---- Python exceptions pass through unchanged --------------------------------------------------


type Unresolved = Missing  # noqa: F821


class Boom(RuntimeError):
    pass


class Unnameable:
    def __repr__(self):
        raise Boom("repr")


class UnreadableMarker(Opaque):
    __slots__ = ()
    __hash__ = object.__hash__

    def __getattribute__(self, name):
        if name == "encode":
            raise Boom("encode")
        return object.__getattribute__(self, name)


PASS_THROUGH = [
    pytest.param(Unresolved, NameError, id="alias-value-NameError"),
    pytest.param(Literal[2**63], OverflowError, id="Literal-too-large"),
    pytest.param(list[Unnameable()], Boom, id="repr-while-naming"),
    pytest.param(Annotated[int, UnreadableMarker(encode, decode)], Boom, id="marker-attribute"),
]


@pytest.mark.parametrize("annotation, error", PASS_THROUGH)
def test_python_exceptions_pass_through(table, annotation, error):
    with pytest.raises(error) as raised:
        table(annotation)
    assert not isinstance(raised.value, SchemaError)


def test_literal_int_range(table):
    assert table(Literal[-(2**63), 2**63 - 1])["nodes"] == [("Literal", (-(2**63), 2**63 - 1))]


# ---- reported faults ---------------------------------------------------------------------------


@pytest.mark.parametrize("annotation", [Literal[1] | bool, bool | Literal[1]])
def test_literal_int_beside_bool_is_told_apart_by_family(table, annotation):
    # Both orders compile, and a bool and an int land on different alternatives when read.
    compiled = table(annotation)
    union = compiled["nodes"][compiled["root"]]
    masks = sorted(compiled["kinds"][i] for i in union[1])
    assert masks == [BOOL, INT]
