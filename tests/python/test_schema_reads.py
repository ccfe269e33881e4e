"""How the writer reads what it writes: the fields of a dataclass value, whatever holds them (its __dict__, a
slot, a property, a lookup of its own), and the standard values it takes apart (UUID, datetime), for the
classes themselves and for subclasses. Every row gives the bytes or the error the lookup by name gives."""

import datetime as dt
import enum
import uuid
import zoneinfo
from dataclasses import dataclass

import pytest

from vorel._vorel import SchemaError

UTC = dt.timezone.utc


@dataclass(frozen=True)
class Address:
    street: str
    city: str


@dataclass(frozen=True)
class Tagged:
    kept: int = 1
    label: str = "x"


@dataclass(frozen=True, slots=True)
class Slotted:
    a: int
    b: str


@dataclass(frozen=True)
class SubAddress(Address):
    floor: int = 5


class PropertyCity(Address):
    """A subclass whose property hides the field the instance stores."""

    @property
    def city(self):
        return "P"


class LookupCity(Address):
    def __getattribute__(self, name):
        return "L" if name == "city" else object.__getattribute__(self, name)


class FallbackCity(Address):
    """Reached only for a name the instance and its class do not have."""

    def __getattr__(self, name):
        return "F"


@dataclass(frozen=True)
class OwnLookup:
    a: int

    def __getattribute__(self, name):
        return 9 if name == "a" else object.__getattribute__(self, name)


class MyUUID(uuid.UUID):
    pass


class MyDateTime(dt.datetime):
    pass


class MyStr(str):
    pass


class MyInt(int):
    pass


def without(value, *names):
    for name in names:
        object.__delattr__(value, name)
    return value


def stored(cls, **fields):
    """An instance whose __dict__ holds the given entries in the given order."""
    value = object.__new__(cls)
    value.__dict__.update(fields)
    return value


def h(text):
    return bytes.fromhex(text)


ADDRESS = "a6 73 74 72 65 65 74 a1 73 a4 63 69 74 79"  # 'street', 's', 'city'

WRITTEN = [
    pytest.param(Address, lambda: Address("s", "c"), f"82 {ADDRESS} a1 63", id="plain"),
    pytest.param(Address, lambda: SubAddress("s", "c"), f"82 {ADDRESS} a1 63", id="dataclass-subclass"),
    pytest.param(Address, lambda: PropertyCity.__new__(PropertyCity), AttributeError, id="subclass-property-unset"),
    pytest.param(Address, lambda: stored(PropertyCity, street="s", city="c"), f"82 {ADDRESS} a1 50",
                 id="subclass-property-wins"),
    pytest.param(Address, lambda: LookupCity("s", "c"), f"82 {ADDRESS} a1 4c", id="subclass-getattribute"),
    pytest.param(Address, lambda: without(FallbackCity("s", "c"), "city"), f"82 {ADDRESS} a1 46",
                 id="subclass-getattr"),
    pytest.param(OwnLookup, lambda: OwnLookup(1), "81 a1 61 09", id="own-getattribute"),
    pytest.param(Address, lambda: without(Address("s", "c"), "city"), AttributeError, id="missing"),
    pytest.param(Tagged, lambda: without(Tagged(2, "y"), "kept"), "82 a4 6b 65 70 74 01 a5 6c 61 62 65 6c a1 79",
                 id="missing-takes-the-class-default"),
    pytest.param(Address, lambda: stored(Address, city="c", street="s"), f"82 {ADDRESS} a1 63", id="stored-out-of-order"),
    pytest.param(Address, lambda: stored(Address, extra=1, street="s", other=2, city="c"), f"82 {ADDRESS} a1 63",
                 id="stored-among-others"),
    pytest.param(Slotted, lambda: Slotted(1, "x"), "82 a1 61 01 a1 62 a1 78", id="slots"),
    pytest.param(Slotted, lambda: without(Slotted(1, "x"), "b"), AttributeError, id="slots-missing"),
    pytest.param(Address, lambda: Address(MyStr("s"), MyStr("c")), f"82 {ADDRESS} a1 63", id="str-subclass"),
    pytest.param(Address, lambda: Address(MyInt(1), "c"), SchemaError, id="int-for-str"),
]


@pytest.mark.parametrize("annotation, make, expected", WRITTEN)
def test_fields_are_read_as_the_lookup_reads_them(testing, annotation, make, expected):
    schema = testing.schema(annotation)
    for _ in range(2):  # a second write reads an instance whose __dict__ the first may have made
        value = make()
        if isinstance(expected, str):
            assert testing.encode(schema, value) == h(expected)
            assert testing.encode(schema, value, tagged=True).endswith(h(expected))
        else:
            with pytest.raises(expected):
                testing.encode(schema, value)


def test_a_property_of_a_field_name_is_read_through_it(testing):
    @dataclass(frozen=True)
    class Base:
        b: int

    @dataclass(frozen=True, init=False)
    class Over(Base):
        @property
        def b(self):
            return 7

    value = Over.__new__(Over)
    assert testing.encode(testing.schema(Base), value) == h("81 a1 62 07")
    assert testing.encode(testing.schema(Over), value) == h("81 a1 62 07")
    value.__dict__["b"] = 1  # a property wins over the __dict__
    assert testing.encode(testing.schema(Over), value) == h("81 a1 62 07")


def test_a_property_raising_passes_through(testing):
    @dataclass(frozen=True)
    class Base:
        b: int

    class Raising(Base):
        @property
        def b(self):
            raise KeyError("inside")

    with pytest.raises(KeyError, match="inside"):
        testing.encode(testing.schema(Base), Raising.__new__(Raising))


def test_a_lookup_given_to_the_class_later_is_honoured(testing):
    @dataclass(frozen=True)
    class Late:
        a: int

    schema = testing.schema(Late)
    assert testing.encode(schema, Late(1)) == h("81 a1 61 01")
    Late.__getattribute__ = lambda self, name: 5 if name == "a" else object.__getattribute__(self, name)
    assert testing.encode(schema, Late(1)) == h("81 a1 61 05")
    del Late.__getattribute__
    Late.__getattr__ = lambda self, name: 6
    assert testing.encode(schema, without(Late(1), "a")) == h("81 a1 61 06")


def test_pages_read_fields_as_the_writer_does(testing):
    schema = testing.schema(Address)
    assert testing.pages(schema, stored(Address, city="c", street="s")) == {"city": h("a1 63"), "street": h("a1 73")}
    assert testing.pages(schema, LookupCity("s", "c"))["city"] == h("a1 4c")
    with pytest.raises(AttributeError):
        testing.pages(schema, without(Address("s", "c"), "street"))


PARIS = zoneinfo.ZoneInfo("Europe/Paris")
NEW_YORK = zoneinfo.ZoneInfo("America/New_York")

STANDARD = [
    (uuid.UUID, uuid.UUID(int=0), "c4 10" + " 00" * 16),
    (uuid.UUID, uuid.UUID(int=2**128 - 1), "c4 10" + " ff" * 16),
    (uuid.UUID, uuid.UUID("12345678-1234-5678-1234-567812345678"), "c4 10 12 34 56 78 12 34 56 78 12 34 56 78 12 34 56 78"),
    (uuid.UUID, uuid.UUID(int=2**64), "c4 10 00 00 00 00 00 00 00 01" + " 00" * 8),
    (uuid.UUID, MyUUID(int=77), "c4 10" + " 00" * 15 + " 4d"),
    (dt.datetime, dt.datetime(2024, 5, 6, 7, 8, 9, 123000, tzinfo=UTC), "92 cf 00 06 17 c3 bb 53 48 b8 00"),
    (dt.datetime, dt.datetime(1, 1, 1, tzinfo=UTC), "92 d3 ff 23 40 01 00 d4 40 00 00"),
    (dt.datetime, dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), "92 cf 03 84 44 0c cc 73 5f ff 00"),
    (dt.datetime, dt.datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), "92 ff 00"),
    (dt.datetime, dt.datetime(2024, 5, 6, tzinfo=dt.timezone(dt.timedelta(hours=-3, minutes=-30))),
     "92 cf 00 06 17 c0 af 27 1e 00 d1 ce c8"),
    (dt.datetime, dt.datetime(2024, 5, 6, tzinfo=dt.timezone(dt.timedelta(0))), "92 cf 00 06 17 bd c0 22 60 00 00"),
    (dt.datetime, dt.datetime(2024, 5, 6, tzinfo=PARIS), "92 cf 00 06 17 bc 12 fb 18 00 cd 1c 20"),
    (dt.datetime, dt.datetime(2024, 11, 3, 1, 30, fold=1, tzinfo=NEW_YORK), "92 cf 00 06 25 fc 4c 28 ea 00 d1 b9 b0"),
    (dt.datetime, MyDateTime(2024, 5, 6, tzinfo=UTC), "92 cf 00 06 17 bd c0 22 60 00 00"),
    (dt.datetime, dt.datetime(2024, 5, 6, 7, 8, 9, 123000, tzinfo=UTC, fold=1), "92 cf 00 06 17 c3 bb 53 48 b8 00"),
    (dt.datetime, dt.datetime(2000, 2, 29, 12, tzinfo=UTC), "92 cf 00 03 61 ae 2a c6 b0 00 00"),
    (str, MyStr("abc"), "a3 61 62 63"),
    (int, MyInt(5), "05"),
    (float, MyInt(3), "cb 40 08 00 00 00 00 00 00"),
]


@pytest.mark.parametrize("annotation, value, expected", STANDARD, ids=lambda x: repr(x)[:50])
def test_standard_values_and_their_subclasses(testing, annotation, value, expected):
    assert testing.encode(testing.schema(annotation), value) == h(expected)


@pytest.mark.parametrize(
    "annotation, value, text",
    [
        (dt.datetime, dt.datetime(2024, 5, 6), "datetime without time zone: 2024-05-06 00:00:00"),
        (dt.datetime, MyDateTime(2024, 5, 6), "datetime without time zone: 2024-05-06 00:00:00"),
        (dt.datetime, dt.date(2024, 5, 6), "expected datetime, got date"),
        (uuid.UUID, "12345678-1234-5678-1234-567812345678", "expected UUID, got str"),
        (uuid.UUID, uuid.UUID(int=1).bytes, "expected UUID, got bytes"),
    ],
    ids=["naive", "naive-subclass", "date", "str", "bytes"],
)
def test_standard_values_refused(testing, annotation, value, text):
    with pytest.raises(SchemaError) as caught:
        testing.encode(testing.schema(annotation), value)
    assert str(caught.value) == text


class IntSub(int):
    pass


# The ints a UUID's 16 bytes are taken from: each side of the 64-bit halves, of 2**128 (which the ints
# just below it round to as floats) and of the multiples of 2**61-1 that an int's hash is taken modulo.
IDENTIFIERS = [0, 1, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**64 + 1, 2**117 + 3, 2**127, 2**128 - 2**74 - 1,
               2**128 - 2**74, 2**128 - 1, (2**61 - 1) << 64, ((2**61 - 1) << 64) - 1, (8 * (2**61 - 1)) << 64,
               ((8 * (2**61 - 1)) << 64) + 2**64 - 1, (2**64 - 1) << 64, 0x12345678123456781234567812345678]


@pytest.mark.parametrize("n", IDENTIFIERS, ids=hex)
@pytest.mark.parametrize("cls", [uuid.UUID, MyUUID])
def test_a_uuid_is_written_as_the_bytes_of_its_int(testing, cls, n):
    value = cls(int=n)
    assert testing.encode(testing.schema(uuid.UUID), value) == b"\xc4\x10" + value.bytes


@pytest.mark.parametrize("held", [2**128, 2**128 + 5, 2**1100, -1, -(2**100), True, IntSub(5), IntSub(2**100), 1.5, None],
                         ids=repr)
def test_a_uuid_holding_no_int_of_128_bits_is_written_as_its_bytes_property_does(testing, held):
    value = uuid.UUID(int=1)
    object.__setattr__(value, "int", held)
    schema = testing.schema(uuid.UUID)
    try:
        expected = value.bytes
    except Exception as e:
        with pytest.raises(type(e)) as caught:
            testing.encode(schema, value)
        assert str(caught.value) == str(e)
    else:
        assert testing.encode(schema, value) == b"\xc4\x10" + expected


def test_a_uuid_class_given_a_getattribute_after_its_schema_is_read_through_it(testing):
    schema = testing.schema(uuid.UUID)
    value, other = uuid.UUID(int=1), uuid.UUID(int=2**100 + 7)

    def looked_up(self, name):
        return object.__getattribute__(other if name == "int" else self, name)

    uuid.UUID.__getattribute__ = looked_up
    try:
        written = testing.encode(schema, value)
    finally:
        del uuid.UUID.__getattribute__
    assert written == b"\xc4\x10" + other.bytes


class Shade(enum.IntEnum):
    DARK = 1


@pytest.mark.parametrize(
    "annotation, expected",
    [
        (str | None, "c0"),
        (None | str, "c0"),
        (int | str | None, "c0"),
        (tuple[int, ...] | None, "c0"),
        (Address | None, "c0"),
        (Shade | None, "c0"),
        (str | int, "expected one of the alternatives"),
    ],
    ids=repr,
)
def test_none_in_a_union(testing, annotation, expected):
    schema = testing.schema(annotation)
    if expected == "c0":
        assert testing.encode(schema, None) == h(expected)
        assert testing.decode(schema, h(expected)) is None
    else:
        with pytest.raises(SchemaError, match="^NoneType is not an alternative of the union$"):
            testing.encode(schema, None)


type Nest = int | tuple[Nest, ...]
type Maybe = str | None | tuple[Maybe, ...]


@pytest.mark.parametrize(
    "annotation, leaf",
    [(Nest, 1), (tuple[Nest, ...], 1), (Maybe, None), (tuple[Maybe, ...], None), (tuple[Maybe, ...], "s")],
    ids=["union-leaf", "scalar-leaf", "union-none", "none-leaf", "str-leaf"],
)
def test_a_value_at_the_deepest_level_is_written_and_one_below_it_refused(testing, annotation, leaf):
    schema = testing.schema(annotation)
    deepest = leaf
    for _ in range(499):
        deepest = (deepest,)
    beyond = (deepest,)
    assert testing.decode(schema, testing.encode(schema, deepest)) == deepest
    with pytest.raises(SchemaError, match="^a value nests more than 1000 levels deep$"):
        testing.encode(schema, beyond)
