import dataclasses
import typing

import pytest

from vorel import _vorel
from vorel import collections as c

COLLECTIONS = [
    ("vorel.collections:counter.actor", ("counter", None, None)),
    ("vorel.collections:counter_3_majority", ("counter", 3, "majority")),
    ("vorel.collections:queue_segment_12_all", ("queue_segment", 12, "all")),
    ("vorel.collections:entry.actor", ("entry", None, None)),
    ("vorel.collections:entry_1_one", ("entry", 1, "one")),
    ("vorel.collections:semaphore_12_all", ("semaphore", 12, "all")),
    ("vorel.collections:table_segment.actor", ("table_segment", None, None)),
    ("vorel.collections:table.actor", ("table", None, None)),
    ("vorel.collections:table_segment_3_majority", ("table_segment", 3, "majority")),
    ("vorel.collections:queue_segment_2_majority", ("queue_segment", 2, "majority")),
    ("vorel.collections:register_007_one", ("register", 7, "one")),
]

ORDINARY = [
    "vorel.collections:counter",
    "vorel.collections:counter__one",
    "vorel.collections:counter_3_two",
    "vorel.collections:counter_3_quorum",
    "other.module:counter.actor",
    "vorel.collections:entry_x_one",
    "vorel.collections:entry__one",
    "vorel.collections:Entry.actor",
    "vorel.collections:Counter.actor",
    "vorel.collections:entry_1_quorum",
    "vorel.collection:entry.actor",
    "vorel.collections:.actor",
    "vorel.collections:actor",
    "vorel.collections:counter_\u0663_one",  # a digit to str.isdigit, not an ASCII one
    "vorel.collections:counter_3_one.actor",
    "vorel.collectionsx:counter.actor",
    "counter.actor",
    "",
]


@pytest.mark.parametrize("name, named", COLLECTIONS)
def test_parse_selects_a_collection(name, named):
    assert c.parse(name) == c.Named(*named)


@pytest.mark.parametrize("name", ORDINARY)
def test_parse_leaves_ordinary_types_alone(name):
    assert c.parse(name) is None


@pytest.mark.parametrize("kind", c.KINDS)
@pytest.mark.parametrize("replicas, write", [(None, None), (1, "one"), (3, "majority"), (12, "all")])
def test_type_name_reads_back(kind, replicas, write):
    assert c.parse(c.type_name(kind, replicas, write)) == (kind, replicas, write)


def test_type_name_forms():
    assert c.type_name("counter") == "vorel.collections:counter.actor"
    assert c.type_name("table_segment", 3, "majority") == "vorel.collections:table_segment_3_majority"


@pytest.mark.parametrize(
    "args, error, text",
    [
        (("Counter",), ValueError, 'kind is "Counter", not one of ' + ", ".join(c.KINDS)),
        (("counter", 3), TypeError, "replicas and write go together: give both or neither"),
        (("counter", None, "all"), TypeError, "replicas and write go together: give both or neither"),
        (("counter", 0, "all"), ValueError, "replicas is 0, so the state would live nowhere"),
        (("counter", -1, "all"), ValueError, "replicas is -1, which is not between 0 and 18446744073709551615"),
        (("counter", 3, "quorum"), ValueError, "write is \"quorum\", not one of 'one', 'majority', 'all'"),
        (("counter", 3, "Majority"), ValueError, "write is \"Majority\", not one of 'one', 'majority', 'all'"),
    ],
)
def test_type_name_refusals(args, error, text):
    with pytest.raises(error) as raised:
        c.type_name(*args)
    assert str(raised.value) == text


# Every message class by its kind, with the ops the node reads for that kind.
OPS = {
    "counter": {"Add", "Get", "Reset"},
    "register": {"Get", "Put", "GetAndSet", "CompareAndSet"},
    "entry": {"Get", "Contains", "Put", "Retire", "Remove"},
    "semaphore": {"Acquire", "Release", "Renew", "Get"},
    "barrier": {"Arrive", "Cancel", "Waiting"},
    "queue": {"Advance"},
    "queue_segment": {"Offer", "Take", "Peek", "Size", "Clear"},
    "table": {"Segments", "Grow"},
    "table_segment": {"Add", "Get", "Remove", "List", "Unlist", "Size", "Scan", "Clear"},
}


def messages(kind):
    return typing.get_args(getattr(c, kind).Messages) or (getattr(c, kind).Messages,)


@pytest.mark.parametrize("kind", c.KINDS)
def test_each_kind_offers_a_message_per_op_named_after_it(kind):
    classes = messages(kind)
    assert {cls.__name__ for cls in classes} == OPS[kind]
    for cls in classes:
        # A message travels tagged with its qualified name; the node takes the op after the last ".".
        assert cls.__qualname__ == f"{kind}.{cls.__name__}"
        assert cls.__module__ == "vorel.collections"
        assert dataclasses.is_dataclass(cls)


ASKED = [cls for kind in c.KINDS for cls in messages(kind) if cls is not c.semaphore.Release]


@pytest.mark.parametrize("cls", ASKED, ids=lambda cls: cls.__qualname__)
def test_every_answered_message_has_a_reply_to_that_defaults_to_none(cls):
    reply_to = {f.name: f for f in dataclasses.fields(cls)}["reply_to"]
    assert reply_to.default is None
    assert reply_to.type.startswith("_vorel.Ref[")


def test_release_is_told_and_has_no_reply_to():
    assert "reply_to" not in {f.name for f in dataclasses.fields(c.semaphore.Release)}


@pytest.fixture
def ref_class(monkeypatch):
    """The core's `Ref`, or a generic stand-in while the core has none, so that the hints can be read."""
    if hasattr(_vorel, "Ref"):
        return _vorel.Ref
    M = typing.TypeVar("M")

    class Ref(typing.Generic[M]):
        pass

    monkeypatch.setattr(_vorel, "Ref", Ref, raising=False)
    return Ref


ALL_RECORDS = (
    [cls for kind in c.KINDS for cls in messages(kind)]
    + [getattr(c, kind).State for kind in c.KINDS if hasattr(getattr(c, kind), "State")]
    + [c.semaphore.Lease, c.semaphore.Pending, c.barrier.Party, c.barrier.Completed, c.Acquired, c.Denied, c.Status]
)


@pytest.mark.parametrize("cls", ALL_RECORDS, ids=lambda cls: cls.__qualname__)
def test_hints_resolve_and_reply_to_is_a_bare_ref(ref_class, cls):
    # An ask fills `reply_to` only when its type is exactly Ref[A]; Ref[A] | None would be sent as it is.
    hints = typing.get_type_hints(cls, include_extras=True)
    if "reply_to" in hints:
        assert typing.get_origin(hints["reply_to"]) is ref_class


ANSWERS = {
    c.counter.Get: int,
    c.counter.Add: None,
    c.register.CompareAndSet: bool,
    c.entry.Remove: tuple[bool, int],
    c.semaphore.Acquire: c.Acquired | c.Denied,
    c.semaphore.Get: c.Status,
    c.queue.Advance: tuple[int, int],
    c.queue_segment.Take: tuple[tuple[bytes, ...], bool],
    c.table_segment.Scan: tuple[int, c.Entries] | None,
}


@pytest.mark.parametrize("cls, answer", ANSWERS.items(), ids=lambda x: getattr(x, "__qualname__", ""))
def test_reply_to_names_the_answer(ref_class, cls, answer):
    assert typing.get_type_hints(cls)["reply_to"] == ref_class[answer]


# The states' fields are the parts the node keeps, and their defaults those of a fresh key.
STATES = [
    (c.register.State, {"value": None}),
    (c.entry.State, {"value": None, "generation": 0}),
    (c.semaphore.State, {"capacity": 0, "next_token": 1, "held": (), "pending": ()}),
    (c.barrier.State, {"generation": 0, "pending": (), "completed": ()}),
    (c.queue.State, {"head": 0, "tail": 0}),
    (c.queue_segment.State, {"items": (), "taken": 0, "sealed": False}),
    (c.table.State, {"segments": 1}),
    (c.table_segment.State, {"entries": (), "id": 0, "modulus": 1, "version": 0}),
]


@pytest.mark.parametrize("cls, parts", STATES, ids=lambda x: getattr(x, "__qualname__", ""))
def test_state_fields_are_the_parts_with_fresh_defaults(cls, parts):
    assert dataclasses.asdict(cls()) == parts


def test_record_field_order_follows_the_stored_maps():
    assert [f.name for f in dataclasses.fields(c.semaphore.Lease)] == ["lease_id", "token", "count", "expires"]
    assert [f.name for f in dataclasses.fields(c.semaphore.Pending)] == ["lease_id", "reply_to", "count", "ttl", "until"]
    assert [f.name for f in dataclasses.fields(c.barrier.Party)] == ["id", "reply_to", "until"]
    assert [f.name for f in dataclasses.fields(c.barrier.Completed)] == ["id", "until"]
    assert [f.name for f in dataclasses.fields(c.Acquired)] == ["lease_id", "token"]
    assert [f.name for f in dataclasses.fields(c.Status)] == ["capacity", "available", "waiting"]


def test_a_semaphore_starts_with_its_capacity():
    assert c.semaphore.State(capacity=3).capacity == 3


def test_messages_are_frozen_and_keyword_only():
    add = c.counter.Add(delta=5)
    assert (add.delta, add.reply_to) == (5, None)
    with pytest.raises(dataclasses.FrozenInstanceError):
        add.delta = 6
    with pytest.raises(TypeError):
        c.counter.Add(5)
    assert c.queue_segment.Take(at=0, index=None).limit == 1


INT64 = 2**63


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda: c.counter.Add(delta=INT64), f"counter.Add.delta is {INT64}, which is not between {-INT64} and {INT64 - 1}"),
        (lambda: c.counter.Add(delta=-INT64 - 1), f"counter.Add.delta is {-INT64 - 1}, which is not between"),
        (lambda: c.counter.Add(delta=True), "counter.Add.delta is True, not an int"),
        (lambda: c.entry.Put(value=b"v", listed=1.0), "entry.Put.listed is 1.0, not an int"),
        (lambda: c.semaphore.Acquire(n=INT64, ttl=1.0), "semaphore.Acquire.n is"),
        (lambda: c.semaphore.State(capacity="3"), "semaphore.State.capacity is '3', not an int"),
        (lambda: c.table_segment.Scan(position=INT64), "table_segment.Scan.position is"),
        (lambda: c.barrier.Arrive(id=bytes(15), parties=2, until=1.0), "barrier.Arrive.id is 15 bytes, not 16"),
        (lambda: c.barrier.Cancel(id=bytes(17)), "barrier.Cancel.id is 17 bytes, not 16"),
        (lambda: c.barrier.Arrive(id=bytes(16), parties=-1, until=1.0), "barrier.Arrive.parties is -1, which is negative"),
        (lambda: c.barrier.Completed(id=b"", until=1.0), "barrier.Completed.id is 0 bytes, not 16"),
        # Reported fault: these were sent, and the node dropped them without an answer.
        (
            lambda: c.semaphore.Acquire(n=1, ttl=1.0, wait=float("inf")),
            "semaphore.Acquire.wait is inf, which is not a finite number; a wait of None has no limit",
        ),
        (lambda: c.semaphore.Acquire(n=1, ttl=float("inf")), "semaphore.Acquire.ttl is inf, which is not a finite number"),
        (lambda: c.semaphore.Acquire(n=1, ttl=float("nan")), "semaphore.Acquire.ttl is nan, which is not a finite number"),
        (lambda: c.semaphore.Renew(lease_id="l", ttl=-float("inf")), "semaphore.Renew.ttl is -inf, which is not a"),
        (
            lambda: c.barrier.Arrive(id=bytes(16), parties=2, until=float("inf")),
            "barrier.Arrive.until is inf, which is not a finite number",
        ),
    ],
)
def test_messages_refuse_what_the_node_would_refuse(make, text):
    with pytest.raises((TypeError, ValueError)) as raised:
        make()
    assert str(raised.value).startswith(text)


def test_durations_and_times_take_finite_numbers_and_ints():
    assert c.semaphore.Acquire(n=1, ttl=5, wait=0.0).ttl == 5
    assert c.semaphore.Acquire(n=1, ttl=1e300, wait=None).wait is None
    assert c.barrier.Arrive(id=bytes(16), parties=1, until=-1.5).until == -1.5


def test_integer_fields_take_the_whole_signed_range():
    assert c.counter.Add(delta=INT64 - 1).delta == INT64 - 1
    assert c.counter.Add(delta=-INT64).delta == -INT64
    assert c.barrier.Arrive(id=bytes(16), parties=0, until=0.0).parties == 0
