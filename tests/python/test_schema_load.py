"""The value reader: round trips over every node kind, what it reads beyond the writer's form, its refusals,
and a short fuzz run over payloads that no writer made."""

import datetime as dt
import decimal
import enum
import math
import pathlib
import random
import uuid
from collections.abc import Mapping
from dataclasses import dataclass, field, make_dataclass
from typing import Annotated, Literal, Never

import pytest

from vorel import Opaque
from vorel._vorel import Ref, SchemaError

UTC = dt.timezone.utc
INC = bytes(range(16))


def h(text):
    return bytes.fromhex(text)


class Color(enum.Enum):
    RED = 1
    GREEN = 2
    CRIMSON = 1  # an alias of RED


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


@dataclass(frozen=True)
class Point:
    x: int
    y: int


@dataclass(frozen=True)
class Line:
    price: int
    note: str = "none"
    tags: frozenset[str] = field(default_factory=frozenset)


@dataclass(frozen=True)
class Order:
    id: uuid.UUID
    lines: tuple[Line, ...]
    placed: dt.datetime
    total: decimal.Decimal
    customer: str | None = None


@dataclass(frozen=True)
class Tree:
    name: str
    children: tuple["Tree", ...] = ()


@dataclass(frozen=True)
class Box[T]:
    item: T
    others: tuple[T, ...] = ()


@dataclass(frozen=True)
class A:
    x: int


@dataclass(frozen=True)
class B:
    y: str


@dataclass(frozen=True)
class Carrier:
    to: Ref[Point]
    back: Ref[int] | None = None


type Json = None | bool | int | float | str | bytes | tuple[Json, ...]


@dataclass(frozen=True)
class Named:
    entries: Mapping[str, Json]
    more: tuple["Named", ...] = ()
type IntOrNone = int | None

MARKER = Opaque(lambda v: v.to_bytes(4, "big", signed=True), lambda b: int.from_bytes(b, "big", signed=True))

ROUND_TRIPS = [
    *[(int, n) for n in (0, 127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1)],
    *[(int, n) for n in (-1, -32, -33, -128, -129, -32768, -32769, -(2**31), -(2**31) - 1, -(2**63))],
    *[(float, x) for x in (0.0, -0.0, 1.5, -2.25e-308, 1e308, math.inf, -math.inf)],
    *[(str, s) for s in ("", "a" * 31, "a" * 32, "a" * 255, "a" * 256, "a" * 65535, "a" * 65536, "é✓\U0001f600")],
    *[(bytes, b) for b in (b"", b"\x00" * 255, b"\x00" * 256, b"\xff" * 65536)],
    (bool, True),
    (bool, False),
    (None, None),
    (int, True),
    (dt.datetime, dt.datetime(2024, 1, 1, 12, 0, 0, 1, tzinfo=dt.timezone(dt.timedelta(hours=2)))),
    (dt.datetime, dt.datetime(1900, 6, 1, 23, 59, tzinfo=dt.timezone(-dt.timedelta(hours=5, minutes=30)))),
    (dt.datetime, dt.datetime(1970, 1, 1, tzinfo=UTC)),
    (dt.datetime, dt.datetime.max.replace(tzinfo=UTC)),
    (dt.datetime, dt.datetime.min.replace(tzinfo=UTC)),
    (dt.date, dt.date(2024, 2, 29)),
    (dt.date, dt.date(1, 1, 1)),
    (dt.date, dt.date(9999, 12, 31)),
    (dt.time, dt.time(23, 59, 59, 999999, tzinfo=dt.timezone(dt.timedelta(hours=-3)))),
    (dt.time, dt.time(0, tzinfo=UTC)),
    (dt.timedelta, dt.timedelta(days=-1, seconds=5)),
    (dt.timedelta, dt.timedelta(days=100000, microseconds=1)),
    (decimal.Decimal, decimal.Decimal("1.50")),
    (decimal.Decimal, decimal.Decimal("-1E+200")),
    (uuid.UUID, uuid.UUID("12345678-1234-5678-1234-567812345678")),
    (pathlib.PurePosixPath, pathlib.PurePosixPath("/a/b")),
    (pathlib.PureWindowsPath, pathlib.PureWindowsPath("C:\\x\\y")),
    (pathlib.Path, pathlib.Path("rel/p")),
    (Color, Color.GREEN),
    (Level, Level.HIGH),
    (Literal["a", 2, True], "a"),
    (Literal["a", 2, True], 2),
    (Literal["a", 2, True], True),
    (Annotated[int, MARKER], -5),
    (tuple[int, ...], tuple(range(20))),
    (tuple[str, int, None], ("x", 1, None)),
    (tuple[()], ()),
    (frozenset[str], frozenset({"a", "b", "c"})),
    (frozenset[int], frozenset()),
    (Mapping[str, int], {"a": 1, "b": 2}),
    (Mapping[int, tuple[str, ...]], {1: ("x",), 2: ()}),
    (Mapping[Point, int], {Point(1, 2): 3}),
    (Point, Point(1, -3)),
    (Line, Line(5, "n", frozenset({"t"}))),
    (Order, Order(uuid.UUID(int=7), (Line(1), Line(2, tags=frozenset({"x"}))),
                  dt.datetime(2024, 5, 6, 7, 8, 9, tzinfo=UTC), decimal.Decimal("3.00"), "c")),
    (Tree, Tree("root", (Tree("a"), Tree("b", (Tree("c"),))))),
    (Box[int], Box(1, (2, 3))),
    (Box[Point], Box(Point(1, 2))),
    (int | None, None),
    (int | None, 5),
    # A bool given for an int is written as a bool; a union of that int reads it back.
    (int | None, True),
    (IntOrNone | str, False),
    (int | str, True),
    (A | B | None, B("y")),
    (A | B | None, A(1)),
    (A | B | None, None),
    (int | Level, Level.LOW),
    (Json, (1, "a", None, (2.5, True, b"b"), ((),))),
    (Named, Named({"k": (False, "x")}, (Named({}),))),
]


@pytest.mark.parametrize("annotation, value", ROUND_TRIPS, ids=lambda x: repr(x)[:40])
def test_round_trip(testing, annotation, value):
    schema = testing.schema(annotation)
    for tagged in (False, True):
        back = testing.decode(schema, testing.encode(schema, value, tagged=tagged), tagged=tagged)
        assert back == value
        assert type(back) is type(value)


def test_round_trip_of_a_nan(testing):
    schema = testing.schema(float)
    assert math.isnan(testing.decode(schema, testing.encode(schema, math.nan)))
    schema = testing.schema(decimal.Decimal)
    assert str(testing.decode(schema, testing.encode(schema, decimal.Decimal("NaN")))) == "NaN"


def test_a_datetime_comes_back_at_the_offset_it_was_written_with(testing):
    schema = testing.schema(dt.datetime)
    zone = dt.timezone(dt.timedelta(hours=5, minutes=45))
    back = testing.decode(schema, testing.encode(schema, dt.datetime(2024, 1, 1, tzinfo=zone)))
    assert back.utcoffset() == dt.timedelta(hours=5, minutes=45)
    assert testing.decode(schema, h("92 00 00")).tzinfo is UTC


def pack_int(n):
    if 0 <= n < 2**64:
        return b"\xcf" + n.to_bytes(8, "big")
    return b"\xd3" + n.to_bytes(8, "big", signed=True)


def test_a_datetime_is_the_instant_seen_at_its_offset(testing):
    # The reader builds a datetime from its fields where it can; it must equal the sum that defines it, and
    # refuse the numbers wherever that sum fails.
    schema = testing.schema(dt.datetime)
    epoch = dt.datetime(1970, 1, 1, tzinfo=UTC)
    rng = random.Random(7)
    edge = (dt.datetime.max.replace(tzinfo=UTC) - epoch) // dt.timedelta(microseconds=1)
    start = (dt.datetime.min.replace(tzinfo=UTC) - epoch) // dt.timedelta(microseconds=1)
    instants = [0, -1, 1, edge, edge + 1, start, start - 1, -(2**63), 2**63 - 1]
    instants += [rng.randint(start - 10**12, edge + 10**12) for _ in range(300)]
    offsets = [0, 1, -1, 3600, -3600, 86399, -86399, 86400, 2**31 - 1, -(2**31)]
    for us in instants:
        for offset in offsets + [rng.randint(-86399, 86399)]:
            try:
                expected = (epoch + dt.timedelta(microseconds=us)).astimezone(dt.timezone(dt.timedelta(seconds=offset)))
            except (OverflowError, ValueError):
                expected = f"datetime out of range: [{us}, {offset}]"
            data = b"\x92" + pack_int(us) + pack_int(offset)
            try:
                back = testing.decode(schema, data)
            except SchemaError as e:
                back = str(e)
            assert back == expected, (us, offset)
            if not isinstance(back, str):
                assert back.utcoffset() == expected.utcoffset()


def test_refs_read_back_keep_the_schema_that_read_them(testing):
    schema = testing.schema(Carrier)
    to = testing.ref(("e", "m:Counter", "k1"))
    back = testing.decode(schema, testing.encode(schema, Carrier(to, testing.ref(("r", None, INC, 3)))))
    assert back == Carrier(to, testing.ref(("r", None, INC, 3)))
    carried, messages, bound = testing.ref_parts(back.to)
    assert carried is schema
    assert not bound
    # Messages to a ref of a dataclass travel tagged.
    assert testing.compile(Carrier)["nodes"][messages][:2] == ("Tagged", "Point")
    nobody = testing.decode(testing.schema(Ref[int]), h("c0"))
    assert nobody == testing.ref()


READ = [
    (int, "c3", True),
    (float, "c3", 1.0),
    (float, "ca 3f c0 00 00", 1.5),
    (float, "05", 5.0),
    (float, "cf ff ff ff ff ff ff ff ff", float(2**64 - 1)),
    (int, "cf ff ff ff ff ff ff ff ff", 2**64 - 1),
    (int, "d0 05", 5),
    (dt.datetime, "92 00 00", dt.datetime(1970, 1, 1, tzinfo=UTC)),
    (dt.datetime, "92 00 cd 1c 20", dt.datetime(1970, 1, 1, 2, tzinfo=dt.timezone(dt.timedelta(hours=2)))),
    # The offset is read from the low 32 bits.
    (dt.datetime, "92 00 cf 00 00 00 01 00 00 00 00", dt.datetime(1970, 1, 1, tzinfo=UTC)),
    (dt.time, "92 00 00", dt.time(0, tzinfo=UTC)),
    (Mapping[int, int], "92 92 01 02 92 01 03", {1: 3}),
    (frozenset[int], "92 01 01", frozenset({1})),
    (Color, "a7 43 52 49 4d 53 4f 4e", Color.RED),
    (decimal.Decimal, "a3 4e 61 4e", "NaN"),
    (decimal.Decimal, "a9 2d 49 6e 66 69 6e 69 74 79", decimal.Decimal("-Infinity")),
    (Point, "83 a1 79 02 a1 7a 05 a1 78 01", Point(1, 2)),
    (Point, "83 a1 78 01 a1 79 02 a1 78 07", Point(7, 2)),
    (Line, "81 a5 70 72 69 63 65 01", Line(1)),
    (A | None, "c0", None),
    (A | None, "92 a1 41 81 a1 78 01", A(1)),
    (Literal[1, "a"], "a1 61", "a"),
]


@pytest.mark.parametrize("annotation, data, expected", READ, ids=lambda x: repr(x)[:40])
def test_read(testing, annotation, data, expected):
    back = testing.decode(testing.schema(annotation), h(data))
    if isinstance(back, decimal.Decimal) and back.is_nan():
        assert str(back) == expected
    else:
        assert back == expected
        assert type(back) is type(expected)


REFUSED = [
    # What the Part's table refuses.
    (Never, "01", "no value is expected, got int"),
    (None, "01", "expected none, got int"),
    (bool, "01", "expected bool, got int"),
    (int, "cb 3f f8 00 00 00 00 00 00", "expected int, got float"),
    (float, "a1 61", "expected float, got str"),
    (str, "c4 00", "expected str, got bytes"),
    (bytes, "a0", "expected bytes, got str"),
    (dt.date, "cf ff ff ff ff ff ff ff ff", "expected date, got int"),
    (dt.date, "c0", "expected date, got NoneType"),
    (dt.timedelta, "cf 80 00 00 00 00 00 00 00", "expected timedelta, got int"),
    (dt.datetime, "93 00 00 00", "expected datetime, got list"),
    (dt.datetime, "92 00 c0", "expected datetime, got list"),
    (dt.datetime, "92 cf 80 00 00 00 00 00 00 00 00", "expected datetime, got list"),
    (dt.datetime, "80", "expected datetime, got dict"),
    (dt.time, "91 00", "expected time, got list"),
    (decimal.Decimal, "a3 61 62 63", "expected Decimal, got str"),
    (decimal.Decimal, "01", "expected Decimal, got int"),
    (uuid.UUID, "c4 0f" + " 00" * 15, "expected UUID, got bytes"),
    (uuid.UUID, "a0", "expected UUID, got str"),
    (pathlib.PurePosixPath, "01", "expected PurePosixPath, got int"),
    (Color, "a4 42 4c 55 45", "Color has no member BLUE"),
    (Color, "01", "expected Color, got int"),
    (Annotated[int, MARKER], "01", "expected int, got int"),
    (Literal["a", "b"], "a1 63", "expected one of ('a', 'b'), got 'c'"),
    (Literal["a", "b"], "90", "expected one of ('a', 'b'), got list"),
    (Literal[1], "c3", "expected one of (1,), got True"),
    (Literal[1], "cf ff ff ff ff ff ff ff ff", "expected one of (1,), got 18446744073709551615"),
    (tuple[int, ...], "80", "expected tuple, got dict"),
    (frozenset[int], "a0", "expected frozenset, got str"),
    (tuple[int, int], "93 01 02 03", "expected tuple of 2, got list"),
    (tuple[int, int], "01", "expected tuple of 2, got int"),
    (Mapping[int, int], "81 01 02", "expected Mapping, got dict"),
    (Mapping[int, int], "91 01", "expected pair, got int"),
    (Mapping[int, int], "91 93 01 02 03", "expected pair, got list"),
    (Point, "90", "expected Point, got list"),
    (Point, "81 a1 78 01", "Point.y is missing"),
    (Point, "82 a1 78 01 a1 79 a1 61", "y: expected int, got str"),
    (Order, "85 a2 69 64 c4 10" + " 00" * 16 + " a5 6c 69 6e 65 73 91 81 a5 70 72 69 63 65 c0",
     "lines: price: expected int, got NoneType"),
    (A | None, "80", "map is not an alternative of the union"),
    (A | None, "92 a5 4f 74 68 65 72 80", "unknown alternative Other"),
    (int | None, "a0", "str is not an alternative of the union"),
    (Ref[int], "01", "expected ref, got int"),
    (Ref[int], "90", "expected ref, got list"),
    (Ref[int], "93 a1 78 a1 61 a1 62", "expected ref, got list"),
    (Ref[int], "94 a1 65 a1 61 a1 62 a1 63", "expected ref, got list"),
    (Ref[int], "94 a1 72 c0 c4 0f" + " 00" * 15 + " 01", "expected ref, got list"),
    (Ref[int], "94 a1 72 01 c4 10" + " 00" * 16 + " 01", "expected ref, got list"),
    (Ref[int], "94 a1 72 c0 c4 10" + " 00" * 16 + " cf ff ff ff ff ff ff ff ff", "expected ref, got list"),
    (Ref[int], "93 01 a1 61 a1 62", "msgpack marker 0x01 is not a value of this library"),
    # The codec's own texts, with no field path.
    (Point, "81 01 02", "msgpack marker 0x01 is not a value of this library"),
    (int, "c1", "msgpack marker 0xc1 is not a value of this library"),
    (int, "d4 00 00", "msgpack marker 0xd4 is not a value of this library"),
    (str, "a2 c3 28", "a string is not UTF-8"),
    (int, "", "the payload ends in the middle of a value"),
    (int, "cd 01", "the payload ends in the middle of a value"),
    (Point, "82 a1 78 01", "the payload ends in the middle of a value"),
    (str, "db ff ff ff ff 61", "the payload ends in the middle of a value"),
    (int, "01 02", "the payload holds more than one value"),
    # A count is never trusted beyond the bytes that are left.
    (tuple[int, ...], "dd ff ff ff ff 00", "the payload ends in the middle of a value"),
    (frozenset[int], "dc ff ff 00", "the payload ends in the middle of a value"),
    (Mapping[int, int], "dd 7f ff ff ff", "the payload ends in the middle of a value"),
    (Point, "df ff ff ff ff", "the payload ends in the middle of a value"),
    (Point, "81 a1 7a dd ff ff ff ff", "the payload ends in the middle of a value"),
]


@pytest.mark.parametrize("annotation, data, text", REFUSED, ids=lambda x: repr(x)[:40])
def test_refusals(testing, annotation, data, text):
    with pytest.raises(SchemaError) as caught:
        testing.decode(testing.schema(annotation), h(data))
    assert str(caught.value) == text


def test_the_tagged_copy_reads_only_its_own_name(testing):
    schema = testing.schema(A)
    for data, text in [("92 a1 61 80", "expected A, got list"), ("81 a1 78 01", "expected A, got dict")]:
        with pytest.raises(SchemaError) as caught:
            testing.decode(schema, h(data), tagged=True)
        assert str(caught.value) == text
    assert testing.decode(schema, h("92 a1 41 81 a1 78 01"), tagged=True) == A(1)


def test_two_values_are_not_one(testing):
    schema = testing.schema(Point)
    data = testing.encode(schema, Point(1, 2))
    with pytest.raises(SchemaError, match="^the payload holds more than one value$"):
        testing.decode(schema, data + data)
    with pytest.raises(SchemaError, match="^the payload holds more than one value$"):
        testing.decode(schema, data + b"\x00")


# Numbers that no date or time holds, as corrupt bytes carry them: refused as values, by the field
# that held them, never as the bare error of the date and time classes.
OUT_OF_RANGE = [
    pytest.param(dt.datetime, "92 00 ce 00 01 51 80", "datetime out of range: [0, 86400]", id="offset-a-day"),
    pytest.param(dt.datetime, "92 00 d2 ff fe ae 80", "datetime out of range: [0, -86400]", id="offset-minus-a-day"),
    pytest.param(dt.datetime, "92 cf 7f ff ff ff ff ff ff ff 00",
                 "datetime out of range: [9223372036854775807, 0]", id="after-year-9999"),
    pytest.param(dt.datetime, "92 d3 80 00 00 00 00 00 00 00 00",
                 "datetime out of range: [-9223372036854775808, 0]", id="before-year-1"),
    pytest.param(dt.datetime, "92 d3 ff 23 40 01 00 c4 fd c0 00", "datetime out of range: [-62135596801000000, 0]",
                 id="a-second-before-year-1"),
    pytest.param(dt.datetime, "92 cf 03 84 44 0c cc 73 5f ff cd 0e 10",
                 "datetime out of range: [253402300799999999, 3600]", id="seen-at-its-offset-after-year-9999"),
    pytest.param(dt.date, "cf 7f ff ff ff ff ff ff ff", "date out of range: 9223372036854775807", id="date-max"),
    pytest.param(dt.date, "d3 80 00 00 00 00 00 00 00", "date out of range: -9223372036854775808", id="date-min"),
    pytest.param(dt.date, "ce 00 2c c0 a1", "date out of range: 2932897", id="date-after-year-9999"),
    pytest.param(dt.time, "92 cf 00 00 00 14 1d d7 60 00 00", "time out of range: [86400000000, 0]", id="hour-24"),
    pytest.param(dt.time, "92 ff 00", "time out of range: [-1, 0]", id="before-midnight"),
    pytest.param(dt.time, "92 00 ce 00 01 51 80", "time out of range: [0, 86400]", id="time-offset-a-day"),
]


@pytest.mark.parametrize("annotation, data, text", OUT_OF_RANGE)
def test_numbers_out_of_range_are_refused_with_the_field(testing, annotation, data, text):
    with pytest.raises(SchemaError) as caught:
        testing.decode(testing.schema(annotation), h(data))
    assert str(caught.value) == text
    holder = make_dataclass("Holder", [("at", annotation)], frozen=True)
    with pytest.raises(SchemaError) as caught:
        testing.decode(testing.schema(tuple[holder, ...]), h("91 81 a2 61 74" + data))
    assert str(caught.value) == "at: " + text


def test_the_edges_of_the_range_are_read(testing):
    for annotation, value in [
        (dt.datetime, dt.datetime.min.replace(tzinfo=UTC)),
        (dt.datetime, dt.datetime.max.replace(tzinfo=UTC)),
        (dt.datetime, dt.datetime(1, 1, 1, 23, 59, tzinfo=dt.timezone(dt.timedelta(hours=23, minutes=59)))),
        (dt.date, dt.date.min),
        (dt.date, dt.date.max),
        (dt.time, dt.time(23, 59, 59, 999_999, tzinfo=dt.timezone(-dt.timedelta(hours=23, minutes=59)))),
        (dt.timedelta, dt.timedelta(microseconds=2**63 - 1)),
        (dt.timedelta, dt.timedelta(days=-106751991)),
    ]:
        schema = testing.schema(annotation)
        assert testing.decode(schema, testing.encode(schema, value)) == value


def test_an_opaque_decode_error_passes_through(testing):
    schema = testing.schema(Annotated[int, Opaque(lambda v: b"", lambda b: 1 / 0)])
    with pytest.raises(ZeroDivisionError):
        testing.decode(schema, h("c4 00"))


def test_a_constructors_error_passes_through(testing):
    @dataclass(frozen=True)
    class Checked:
        x: int

        def __post_init__(self):
            if self.x < 0:
                raise ValueError("negative")

    with pytest.raises(ValueError, match="negative"):
        testing.decode(testing.schema(Checked), h("81 a1 78 ff"))


def test_a_payload_nested_too_deep_is_refused(testing):
    with pytest.raises(SchemaError, match="^a value nests more than 1000 levels deep$"):
        testing.decode(testing.schema(Json), b"\x91" * 100_000 + b"\x00")


# The fuzz run: payloads that no writer made are refused with a text, or read; never anything else.
ALLOWED = (SchemaError,)

FUZZED = [
    (Order, Order(uuid.UUID(int=7), (Line(1, "a", frozenset({"t", "u"})),), dt.datetime(2024, 5, 6, tzinfo=UTC),
                  decimal.Decimal("3.00"))),
    (Json, (1, -200, 3.5, "a", None, True, b"\x00", ("v", ((), 2)))),
    (Named, Named({"k": ("v", 1)}, (Named({"n": ()}),))),
    (tuple[dt.date, dt.time, dt.timedelta, Color, Literal["a", 1]],
     (dt.date(2024, 1, 1), dt.time(1, tzinfo=UTC), dt.timedelta(3), Color.GREEN, 1)),
    (A | B | None, B("text")),
    (Carrier, None),
    (Mapping[str, frozenset[int]], {"a": frozenset({1, 2}), "b": frozenset()}),
    (Box[pathlib.PurePosixPath], Box(pathlib.PurePosixPath("/x"), (pathlib.PurePosixPath("y"),))),
]


def outcome(testing, schema, data, tagged):
    try:
        testing.decode(schema, data, tagged=tagged)
    except ALLOWED:
        pass


@pytest.mark.parametrize("annotation, value", FUZZED, ids=lambda x: repr(x)[:30])
def test_fuzz(testing, annotation, value):
    rng = random.Random(5)
    schema = testing.schema(annotation)
    if value is None:
        value = Carrier(testing.ref(("e", "m:P", "k")), testing.ref(("r", "h:1", INC, 2)))
    for tagged in (False, True):
        data = testing.encode(schema, value, tagged=tagged)
        for end in range(len(data)):
            with pytest.raises(SchemaError):
                testing.decode(schema, data[:end], tagged=tagged)
        for _ in range(1000):
            mutated = bytearray(data)
            for _ in range(rng.randint(1, 4)):
                mutated[rng.randrange(len(mutated))] = rng.randrange(256)
            outcome(testing, schema, bytes(mutated), tagged)
        for _ in range(1000):
            outcome(testing, schema, rng.randbytes(rng.randint(0, 40)), tagged)
