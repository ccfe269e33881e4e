"""What the value reader builds: every dataclass and standard value reads back as the class would have made
it, whether the reader calls the class or not, and whatever the class adds to its construction runs and
raises as a call of the class does."""

import dataclasses
import datetime as dt
import itertools
import random
import uuid
from dataclasses import InitVar, dataclass, field

import pytest

from vorel import nobody
from vorel._vorel import Ref

CALLS = []


@dataclass(frozen=True)
class Point:
    x: int
    y: int = 7


@dataclass(frozen=True)
class SubPoint(Point):
    pass


@dataclass(frozen=True)
class Point3(Point):
    z: int = 0


@dataclass(frozen=True)
class Checked:
    x: int

    def __post_init__(self):
        CALLS.append(("post_init", self.x))
        if self.x < 0:
            raise ValueError(f"negative: {self.x}")


@dataclass(frozen=True)
class Seeded:
    x: int
    seed: InitVar[int] = 0

    def __post_init__(self, seed):
        CALLS.append(("seed", seed))


@dataclass(frozen=True, init=False)
class OwnInit:
    x: int

    def __init__(self, x):
        CALLS.append(("init", x))
        if x < 0:
            raise ValueError(f"refused: {x}")
        object.__setattr__(self, "x", x * 2)


@dataclass(frozen=True)
class OwnInitInBody:
    x: int

    # The decorator keeps an __init__ that the class defines itself.
    def __init__(self, x):
        CALLS.append(("init-in-body", x))
        object.__setattr__(self, "x", x + 1)


@dataclass(frozen=True)
class SubOwnInit(Point):
    def __init__(self, x, y):
        CALLS.append(("sub-init", x))
        super().__init__(x, y)


@dataclass(frozen=True)
class OwnNew:
    x: int

    def __new__(cls, *args, **kwargs):
        CALLS.append(("new", args, kwargs))
        return super().__new__(cls)


class Counting(type):
    def __call__(cls, *args, **kwargs):
        CALLS.append(("meta", args, kwargs))
        return super().__call__(*args, **kwargs)


@dataclass(frozen=True)
class Made(metaclass=Counting):
    x: int


COUNTER = itertools.count()


@dataclass(frozen=True)
class Counted:
    x: int
    y: int = field(default_factory=lambda: next(COUNTER))


@dataclass(frozen=True, slots=True)
class Slotted:
    x: int
    y: str


@dataclass(frozen=True, kw_only=True)
class Keyed:
    b: int
    a: int = 1


@dataclass(frozen=True)
class Mixed:
    a: int
    b: int = field(kw_only=True)
    c: int = 3


@dataclass(frozen=True)
class Selfish:
    self: int
    other: int


@dataclass(frozen=True)
class Outer:
    inner: Point
    others: tuple[SubPoint, ...]
    reply_to: Ref[int] = field(default_factory=nobody)


class MyUUID(uuid.UUID):
    pass


@pytest.fixture(autouse=True)
def no_calls():
    CALLS.clear()
    yield
    CALLS.clear()


# A value, and whether its class runs code of its own when it is made: reading its bytes back builds a
# value of the very same class, equal to what the class makes of the values read, running the same code
# with the same arguments in the same order.
BUILT = [
    pytest.param(Point(1, 2), False, id="frozen"),
    pytest.param(SubPoint(1, 2), False, id="subclass"),
    pytest.param(Point3(1, 2, 3), False, id="subclass-decorated"),
    pytest.param(Checked(5), True, id="post-init"),
    pytest.param(Seeded(5), True, id="init-var"),
    pytest.param(OwnInit(3), True, id="own-init"),
    pytest.param(OwnInitInBody(3), True, id="own-init-in-body"),
    pytest.param(SubOwnInit(3, 4), True, id="subclass-own-init"),
    pytest.param(OwnNew(3), True, id="own-new"),
    pytest.param(Made(3), True, id="metaclass-call"),
    pytest.param(Counted(3, 4), False, id="default-factory"),
    pytest.param(Slotted(3, "s"), False, id="slots"),
    pytest.param(Keyed(b=2, a=5), False, id="kw-only"),
    pytest.param(Mixed(1, b=2, c=4), False, id="kw-only-field"),
    pytest.param(Selfish(1, 2), False, id="field-named-self"),
    pytest.param(Outer(Point(1), (SubPoint(2, 3),)), False, id="nested"),
]


@pytest.mark.parametrize("value, runs_code", BUILT)
def test_a_value_reads_back_as_its_class_makes_it(testing, value, runs_code):
    cls = type(value)
    schema = testing.schema(cls)
    data = testing.encode(schema, value)
    CALLS.clear()
    # What the class itself makes of the values written: a class that changes a value on the way in
    # (OwnInit doubles it) is compared with what it makes, not with what was written.
    expected = cls(**{f.name: getattr(value, f.name) for f in dataclasses.fields(cls)})
    made_calls = list(CALLS)
    assert bool(made_calls) == runs_code
    CALLS.clear()
    read = testing.decode(schema, data)
    assert type(read) is cls
    assert read == expected
    assert CALLS == made_calls
    if hasattr(expected, "__dict__"):
        assert vars(read) == vars(expected)


@pytest.mark.parametrize(
    "cls, data, error",
    [
        pytest.param(Checked, "81 a1 78 ff", "negative: -1", id="post-init"),
        pytest.param(OwnInit, "81 a1 78 fe", "refused: -2", id="own-init"),
    ],
)
def test_an_error_of_the_construction_passes_through(testing, cls, data, error):
    with pytest.raises(ValueError) as caught:
        testing.decode(testing.schema(cls), bytes.fromhex(data))
    assert str(caught.value) == error
    # Inside a container, too, the error is the class's own.
    with pytest.raises(ValueError) as caught:
        testing.decode(testing.schema(tuple[cls, ...]), bytes.fromhex("91" + data))
    assert str(caught.value) == error


def test_a_frozen_value_read_back_stays_frozen(testing):
    schema = testing.schema(Point)
    read = testing.decode(schema, testing.encode(schema, Point(1, 2)))
    with pytest.raises(dataclasses.FrozenInstanceError):
        read.x = 3
    assert hash(read) == hash(Point(1, 2))
    assert repr(read) == "Point(x=1, y=2)"


def test_a_field_left_out_takes_its_default(testing):
    schema = testing.schema(Counted)
    first = testing.decode(schema, bytes.fromhex("81 a1 78 01"))
    second = testing.decode(schema, bytes.fromhex("81 a1 78 02"))
    # Each read calls the factory once, as a call of the class does.
    assert (first.x, second.x) == (1, 2) and second.y == first.y + 1
    assert testing.decode(testing.schema(Point), bytes.fromhex("81 a1 78 01")) == Point(1, 7)
    inner_and_others = "82 a5 69 6e 6e 65 72 81 a1 78 01 a6 6f 74 68 65 72 73 90"
    assert testing.decode(testing.schema(Outer), bytes.fromhex(inner_and_others)) == Outer(Point(1), (), nobody())


def test_a_uuid_reads_back_equal_to_what_was_written(testing):
    schema = testing.schema(uuid.UUID)
    for value in [uuid.UUID(int=0), uuid.UUID(int=2**128 - 1), uuid.UUID(int=2**64), uuid.UUID(int=2**64 - 1),
                  uuid.uuid4(), MyUUID(int=12345)]:
        read = testing.decode(schema, testing.encode(schema, value))
        made = uuid.UUID(bytes=value.bytes)
        assert type(read) is uuid.UUID
        assert read == value and read.int == made.int and hash(read) == hash(made)
        assert read.is_safe is made.is_safe and str(read) == str(made)
        with pytest.raises(TypeError):
            read.x = 1


def test_datetimes_read_back_as_the_class_makes_them(testing):
    schema = testing.schema(dt.datetime)
    for value in [dt.datetime(2024, 5, 6, 7, 8, 9, 123, tzinfo=dt.timezone.utc),
                  dt.datetime(2024, 5, 6, tzinfo=dt.timezone(dt.timedelta(hours=-3)))]:
        read = testing.decode(schema, testing.encode(schema, value))
        assert type(read) is dt.datetime and read == value and read.utcoffset() == value.utcoffset()


class ShownUUID(uuid.UUID):
    @property
    def bytes(self):
        return b"\x00" * 16


def test_a_uuid_is_written_as_its_bytes(testing):
    schema = testing.schema(uuid.UUID)
    for value in [uuid.UUID(int=0), uuid.UUID(int=2**128 - 1), uuid.UUID(int=2**64), uuid.UUID(int=2**64 - 1),
                  uuid.uuid4(), MyUUID(int=12345)]:
        assert testing.encode(schema, value) == b"\xc4\x10" + value.bytes
    # A subclass's own `bytes` is what it is written as.
    assert testing.encode(schema, ShownUUID(int=5)) == b"\xc4\x10" + b"\x00" * 16


def test_a_datetime_at_utc_is_written_as_at_any_zone_of_offset_zero(testing):
    schema = testing.schema(dt.datetime)
    zero = dt.timezone(dt.timedelta(0), "Z")
    rng = random.Random(3)
    values = [dt.datetime.min, dt.datetime.max, dt.datetime(1970, 1, 1), dt.datetime(1969, 12, 31, 23, 59, 59, 999_999),
              dt.datetime(2000, 2, 29, 12), dt.datetime(2024, 5, 6, 7, 8, 9, 123_456, fold=1)]
    values += [dt.datetime.min + dt.timedelta(microseconds=rng.randrange(2**58)) for _ in range(200)]
    for value in values:
        at_utc = value.replace(tzinfo=dt.UTC)
        assert testing.encode(schema, at_utc) == testing.encode(schema, value.replace(tzinfo=zero)), value
        assert testing.decode(schema, testing.encode(schema, at_utc)) == at_utc
