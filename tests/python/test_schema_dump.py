"""The value writer: the bytes of every node kind, the reply target of an ask's message, and every refusal."""

import datetime as dt
import decimal
import enum
import pathlib
import uuid
from collections.abc import Mapping
from dataclasses import dataclass, make_dataclass
from typing import Annotated, Literal, Never

import pytest

from test_schema_choice import A, B, SubA, SubStr
from vorel import Opaque
from vorel._vorel import Ref, SchemaError

UTC = dt.timezone.utc
INC = bytes(range(16))


class Color(enum.Enum):
    RED = 1
    BLUE = 2


class Level(enum.IntEnum):
    LOW = 1


@dataclass(frozen=True)
class Point:
    x: int
    y: int


@dataclass(frozen=True)
class Empty:
    pass


@dataclass(frozen=True)
class E:
    pass


class Zone(dt.tzinfo):
    """A zone whose offset depends on the instant, as a named zone's does."""

    def utcoffset(self, when):
        return dt.timedelta(hours=1 if when.month < 6 else 3)

    def dst(self, when):
        return dt.timedelta(0)


MARKER = Opaque(lambda v: v.to_bytes(2, "big"), lambda b: int.from_bytes(b, "big"))
BAD_MARKER = Opaque(lambda v: str(v), lambda b: b)


def h(text):
    return bytes.fromhex(text)


WRITTEN = [
    # The worked encodings.
    (dt.datetime, dt.datetime(2024, 1, 1, 12, 0, tzinfo=dt.timezone(dt.timedelta(hours=2))),
     "92 cf 00 06 0d df 71 e5 88 00 cd 1c 20"),
    (dt.date, dt.date(2024, 1, 1), "cd 4d 0b"),
    (dt.time, dt.time(12, 30, 15, 500, tzinfo=UTC), "92 cf 00 00 00 0a 7b 1a 65 b4 00"),
    (dt.timedelta, dt.timedelta(days=-1, seconds=5), "d3 ff ff ff eb e2 74 eb 40"),
    (decimal.Decimal, decimal.Decimal("1.50"), "a4 31 2e 35 30"),
    (float, 1.5, "cb 3f f8 00 00 00 00 00 00"),
    (Mapping[str, int], {"b": 1, "a": 2}, "92 92 a1 62 01 92 a1 61 02"),
    (Point, Point(x=1, y=-3), "82 a1 78 01 a1 79 fd"),
    (Ref[int], ("ref", ("e", "m:Counter", "k1")), "93 a1 65 a9 6d 3a 43 6f 75 6e 74 65 72 a2 6b 31"),
    (tuple[int, str], (1, "a"), "92 01 a1 61"),
    # Scalars at their edges.
    (int, True, "c3"),
    (float, True, "cb 3f f0 00 00 00 00 00 00"),
    (float, 5, "cb 40 14 00 00 00 00 00 00"),
    (int, -(2**63), "d3 80 00 00 00 00 00 00 00"),
    (int, 2**64 - 1, "cf ff ff ff ff ff ff ff ff"),
    (int, Level.LOW, "01"),
    (None, None, "c0"),
    (bool, False, "c2"),
    (bytes, b"ab", "c4 02 61 62"),
    (str, SubStr("a"), "a1 61"),
    # Dates and times.
    (dt.datetime, dt.datetime(1970, 1, 1, tzinfo=UTC), "92 00 00"),
    (dt.datetime, dt.datetime(1970, 3, 1, tzinfo=Zone()), "92 cf 00 00 04 a2 0a 0f 7c 00 cd 0e 10"),
    (dt.datetime, dt.datetime(1970, 7, 1, tzinfo=Zone()), "92 cf 00 00 0e 36 95 8b f4 00 cd 2a 30"),
    (dt.date, dt.date(1969, 12, 31), "ff"),
    (dt.time, dt.time(0, 0, tzinfo=dt.timezone(-dt.timedelta(hours=1))), "92 00 d1 f1 f0"),
    # Decimals are written as Python prints them.
    (decimal.Decimal, decimal.Decimal("NaN"), "a3 4e 61 4e"),
    (decimal.Decimal, decimal.Decimal("-Infinity"), "a9 2d 49 6e 66 69 6e 69 74 79"),
    (decimal.Decimal, decimal.Decimal("1E+2"), "a4 31 45 2b 32"),
    (uuid.UUID, uuid.UUID(int=1), "c4 10" + " 00" * 15 + " 01"),
    (pathlib.PurePosixPath, pathlib.PurePosixPath("/a"), "a2 2f 61"),
    (Color, Color.BLUE, "a4 42 4c 55 45"),
    (Annotated[int, MARKER], 258, "c4 02 01 02"),
    (Literal["a", 1, True], 1, "01"),
    (Literal["a", 1, True], True, "c3"),
    (Literal["a", 1, True], "a", "a1 61"),
    # Containers.
    (tuple[int, ...], (), "90"),
    (tuple[int, ...], tuple(range(16)), "dc 00 10" + "".join(f" {i:02x}" for i in range(16))),
    (tuple[()], (), "90"),
    (frozenset[int], frozenset({7}), "91 07"),
    (Mapping[int, int], {}, "90"),
    (Empty, Empty(), "80"),
    # Unions write the chosen alternative in its own form.
    (float | int, 5, "cb 40 14 00 00 00 00 00 00"),
    (int | float, 5, "05"),
    (int | Level, Level.LOW, "a3 4c 4f 57"),
    (int | None, True, "c3"),
    (A | B | None, B(2), "92 a1 42 81 a1 79 02"),
    (A | None, None, "c0"),
    (Ref[int] | None, ("ref", None), "c0"),
    (Ref[int], ("ref", ("r", None, INC, 7)), "94 a1 72 c0 c4 10 " + INC.hex(" ") + " 07"),
    (Ref[int], ("ref", ("r", "h:1", INC, -1)), "94 a1 72 a3 68 3a 31 c4 10 " + INC.hex(" ") + " ff"),
]


def resolve(testing, value):
    if isinstance(value, tuple) and len(value) == 2 and value[0] == "ref":
        return testing.ref(value[1])
    return value


@pytest.mark.parametrize("annotation, value, expected", WRITTEN, ids=lambda x: repr(x)[:40])
def test_written_bytes(testing, annotation, value, expected):
    schema = testing.schema(annotation)
    assert testing.encode(schema, resolve(testing, value)) == h(expected)


@pytest.mark.parametrize(
    "annotation, value, expected",
    [
        (Mapping[str, int], {"b": 1, "a": 2}, "92 92 a1 61 02 92 a1 62 01"),
        (frozenset[int], frozenset({300, 2, -1}), "93 02 cd 01 2c ff"),
        # A proper prefix sorts before the longer encoding.
        (frozenset[str], frozenset({"ab", "a", "b"}), "93 a1 61 a1 62 a2 61 62"),
        # More than twenty elements take the other sort; the order is the same.
        (frozenset[int], frozenset(range(40)), "dc 00 28" + "".join(f" {i:02x}" for i in range(40))),
    ],
    ids=["mapping", "frozenset", "prefix", "many"],
)
def test_sorted_schemas_write_in_the_order_of_the_encodings(testing, annotation, value, expected):
    assert testing.encode(testing.schema(annotation, sorted=True), value) == h(expected)


def test_an_unsorted_frozenset_is_written_in_its_iteration_order(testing):
    value = frozenset({"b", "a", "c", "zz"})
    written = testing.encode(testing.schema(frozenset[str]), value)
    assert written == bytes([0x94]) + b"".join(bytes([0xA0 | len(s)]) + s.encode() for s in value)


def test_the_tagged_form_names_the_class(testing):
    assert testing.encode(testing.schema(Point), Point(1, -3), tagged=True) == h("92 a5 50 6f 69 6e 74 82 a1 78 01 a1 79 fd")
    assert testing.encode(testing.schema(E), E(), tagged=True) == h("92 a1 45 80")


def test_every_field_is_written_defaults_included(testing):
    @dataclass(frozen=True)
    class D:
        a: int = 1
        b: str = "x"

    assert testing.encode(testing.schema(D), D()) == h("82 a1 61 01 a1 62 a1 78")


class Liar(tuple):
    def __len__(self):
        return 5


class Huge(tuple):
    def __len__(self):
        return 2**32


class FewerSet(frozenset):
    def __len__(self):
        return 1


@dataclass(frozen=True)
class Line:
    price: int


@dataclass(frozen=True)
class Order:
    lines: Line


@dataclass(frozen=True)
class Outer:
    a: Order


REFUSED = [
    (Never, 1, "no value is expected, got int"),
    (None, 0, "expected none, got int"),
    (bool, 1, "expected bool, got int"),
    (int, "1", "expected int, got str"),
    (int, 1.0, "expected int, got float"),
    (float, "1", "expected float, got str"),
    (float, decimal.Decimal(1), "expected float, got Decimal"),
    (float, 10**400, "expected float, got int"),
    (str, b"a", "expected str, got bytes"),
    (bytes, bytearray(b"a"), "expected bytes, got bytearray"),
    (bytes, memoryview(b"a"), "expected bytes, got memoryview"),
    (Literal["a", "b"], "c", "expected one of ('a', 'b'), got 'c'"),
    (Literal[1], True, "expected one of (1,), got True"),
    (Literal["a"], SubStr("a"), "expected one of ('a',), got 'a'"),
    (dt.datetime, dt.date(2024, 1, 1), "expected datetime, got date"),
    (dt.datetime, dt.datetime(2024, 1, 1), "datetime without time zone: 2024-01-01 00:00:00"),
    (dt.time, dt.time(12), "time without time zone: 12:00:00"),
    (dt.date, dt.datetime(2024, 1, 1), "expected date, got datetime"),
    (dt.timedelta, 5, "expected timedelta, got int"),
    (dt.timedelta, dt.timedelta.max,
     "timedelta does not fit in 64 bits of microseconds: 999999999 days, 23:59:59.999999"),
    (decimal.Decimal, 1.5, "expected Decimal, got float"),
    (uuid.UUID, "x", "expected UUID, got str"),
    (pathlib.PurePosixPath, "/a", "expected PurePosixPath, got str"),
    (Color, 1, "expected Color, got int"),
    (Annotated[int, BAD_MARKER], 1, "the encode of int returned str, not bytes"),
    (tuple[int, ...], [1], "expected tuple, got list"),
    (frozenset[int], {1}, "expected frozenset, got set"),
    (tuple[int, int], (1, 2, 3), "expected tuple of 2, got tuple"),
    (tuple[int, int], [1, 2], "expected tuple of 2, got list"),
    (Mapping[str, int], [("a", 1)], "expected Mapping, got list"),
    (Point, {"x": 1, "y": 2}, "expected Point, got dict"),
    (A | B, SubA(1), "SubA is not an alternative of the union"),
    (int | None, "x", "str is not an alternative of the union"),
    (Ref[int], 1, "int is not a ref created by a system"),
    # Each enclosing field, outermost first.
    (Order, Order(Line("1")), "lines: price: expected int, got str"),
    (Outer, Outer(Order(Line(None))), "a: lines: price: expected int, got NoneType"),
    (tuple[Line, ...], (Line(1), Line("x")), "price: expected int, got str"),
    # A count that a header cannot hold, or that the items do not meet, is refused up front.
    (tuple[int, ...], Liar((1, 2)), "Liar reported 5 items by len() but iterated 2"),
    (frozenset[int], FewerSet({1, 2}), "FewerSet reported 1 items by len() but iterated 2"),
    (tuple[int, ...], Huge(), "Huge of 4294967296 items is longer than msgpack can hold"),
]


@pytest.mark.parametrize("annotation, value, text", REFUSED, ids=lambda x: repr(x)[:40])
def test_refusals(testing, annotation, value, text):
    with pytest.raises(SchemaError) as caught:
        testing.encode(testing.schema(annotation), value)
    assert str(caught.value) == text


@pytest.mark.parametrize(
    "annotation, value, exception",
    [
        (int, 2**64, OverflowError),
        (int, -(2**63) - 1, OverflowError),
        (Annotated[int, Opaque(lambda v: 1 / 0, lambda b: b)], 1, ZeroDivisionError),
    ],
    ids=["too-large", "too-small", "encode-raises"],
)
def test_python_errors_pass_through(testing, annotation, value, exception):
    with pytest.raises(exception) as caught:
        testing.encode(testing.schema(annotation), value)
    assert not isinstance(caught.value, SchemaError)


# A str with no UTF-8 form (lone surrogates, as os.fsdecode makes of a file name that is no UTF-8) is
# refused as a value, by the field that held it.
NO_UTF8 = [
    pytest.param(str, "\ud800", "str has no UTF-8 form: lone surrogate U+D800 at position 0", id="alone"),
    pytest.param(str, "ab\udfffc", "str has no UTF-8 form: lone surrogate U+DFFF at position 2", id="inside"),
    pytest.param(str, "\U0001f600\udc80", "str has no UTF-8 form: lone surrogate U+DC80 at position 1",
                 id="after-a-wide-character"),
    pytest.param(pathlib.PurePosixPath, pathlib.PurePosixPath("/tmp/\udcff"),
                 "str has no UTF-8 form: lone surrogate U+DCFF at position 5", id="path"),
    pytest.param(Mapping[str, int], {"\ud83d": 1}, "str has no UTF-8 form: lone surrogate U+D83D at position 0",
                 id="mapping-key"),
    pytest.param(tuple[str, ...], ("ok", "\ud800"), "str has no UTF-8 form: lone surrogate U+D800 at position 0",
                 id="tuple-item"),
]


@pytest.mark.parametrize("annotation, value, text", NO_UTF8)
def test_a_str_with_no_utf8_form_is_refused_with_the_field(testing, annotation, value, text):
    with pytest.raises(SchemaError) as caught:
        testing.encode(testing.schema(annotation), value)
    assert str(caught.value) == text
    holder = make_dataclass("Holder", [("at", annotation)], frozen=True)
    with pytest.raises(SchemaError) as caught:
        testing.encode(testing.schema(holder), holder(value))
    assert str(caught.value) == "at: " + text
    with pytest.raises(SchemaError) as caught:
        testing.pages(testing.schema(holder), holder(value))
    assert str(caught.value) == "at: " + text


def test_a_missing_attribute_passes_through(testing):
    @dataclass(frozen=True)
    class P:
        x: int

    value = P(1)
    object.__delattr__(value, "x")
    with pytest.raises(AttributeError):
        testing.encode(testing.schema(P), value)


def test_a_value_nested_too_deep_is_refused(testing):
    type J = int | tuple[J, ...]
    value = 1
    for _ in range(1100):
        value = (value,)
    with pytest.raises(SchemaError, match="^a value nests more than 1000 levels deep$"):
        testing.encode(testing.schema(J), value)


@dataclass(frozen=True)
class Inner:
    reply_to: Ref[str]


@dataclass(frozen=True)
class Question:
    text: str
    inner: Inner
    reply_to: Ref[int]


@dataclass(frozen=True)
class MaybeReply:
    reply_to: Ref[int] | None


def test_an_asks_message_carries_its_reply_target(testing):
    schema = testing.schema(Question)
    somewhere = testing.ref(("e", "a:B", "k"))
    value = Question("q", Inner(somewhere), somewhere)
    written, filled, answer = testing.ask(schema, value, ("r", "h:1", INC, 9))
    target = h("94 a1 72 a3 68 3a 31 c4 10") + INC + h("09")
    inner = h("93 a1 65 a3 61 3a 42 a1 6b")
    assert written == (
        h("92 a8") + b"Question" + h("83 a4") + b"text" + h("a1 71 a5") + b"inner" + h("81 a8") + b"reply_to" + inner
        + h("a8") + b"reply_to" + target
    )
    assert filled
    assert testing.compile(Question)["nodes"][answer] == ("Scalar", "int")


def test_a_reply_to_that_is_not_a_ref_is_written_from_its_attribute(testing):
    written, filled, _ = testing.ask(testing.schema(MaybeReply), MaybeReply(None), ("e", "a:B", "k"))
    assert written == h("92 aa") + b"MaybeReply" + h("81 a8") + b"reply_to" + h("c0")
    assert not filled


def test_without_a_reply_target_reply_to_is_written_from_its_attribute(testing):
    schema = testing.schema(Question)
    value = Question("q", Inner(testing.ref()), testing.ref())
    assert testing.encode(schema, value).endswith(h("a8") + b"reply_to" + h("c0"))
