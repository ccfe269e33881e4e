"""The vocabulary of the native collections: their actor type names, their states and their messages.

A native collection is an actor type whose logic runs inside the node. Its type name is
"vorel.collections:<kind>.actor", or "vorel.collections:<kind>_<replicas>_<write>" for the same kind
configured with its own replica count and write level; `type_name` makes one and `parse` reads one back.

Each kind has a namespace class here named after it (`counter`, `register`, `entry`, `semaphore`,
`barrier`, `queue`, `queue_segment`, `table`, `table_segment`). It holds the messages the kind reads, as
frozen dataclasses that travel as [qualified name, {field: value}], so that `counter.Add` is the op "Add"
of a counter; `Messages`, the union of them; and `State` where the kind's state is a record, whose fields
are the parts the node keeps and whose defaults are those of a key that never had a state. Every message
that is answered has a `reply_to` field that an `ask` fills; its type names the answer.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, fields
from typing import NamedTuple

from . import _vorel
from ._forms import INT64_MAX, INT64_MIN, UINT64_MAX, integer, quoted, text

MODULE = "vorel.collections"
"""The module part of every collection type name."""

KINDS: tuple[str, ...] = _vorel._collection_kinds()
"""The collection kinds the node runs, from the node's own table of them."""

LEVELS = ("one", "majority", "all")
"""The write levels a configured collection type name can carry."""

_SUFFIX = ".actor"

type Entries = tuple[tuple[bytes, tuple[bytes, ...]], ...]
"""The contents of a table segment: each key with its values, in the order they were stored."""


class Named(NamedTuple):
    """A collection type name read back: its kind, and its replicas and write level when it carries them."""

    kind: str
    replicas: int | None
    write: str | None


def type_name(kind: str, replicas: int | None = None, write: str | None = None) -> str:
    """The actor type name of a collection kind: "vorel.collections:<kind>.actor" without `replicas` and
    `write`, "vorel.collections:<kind>_<replicas>_<write>" with both.
    """
    if kind not in KINDS:
        shown = quoted(kind) if isinstance(kind, str) else repr(kind)
        raise ValueError(f"kind is {shown}, not one of {', '.join(KINDS)}")
    if replicas is None and write is None:
        return f"{MODULE}:{kind}{_SUFFIX}"
    if replicas is None or write is None:
        raise TypeError("replicas and write go together: give both or neither")
    integer("replicas", replicas, 0, UINT64_MAX)
    if replicas == 0:
        raise ValueError("replicas is 0, so the state would live nowhere")
    if write not in LEVELS:
        shown = quoted(write) if isinstance(write, str) else repr(write)
        raise ValueError(f"write is {shown}, not one of 'one', 'majority', 'all'")
    return f"{MODULE}:{kind}_{replicas}_{write}"


def parse(name: str) -> Named | None:
    """The kind, replicas and write level an actor type name selects, or None when it names no collection.

    The node reads it: the module must be exactly "vorel.collections"; the ending ".actor" is tried
    first, then "_<digits>_<level>" split at the last two "_"; the kind is compared exactly.
    """
    found = _vorel._collection_name(text("name", name))
    return None if found is None else Named(*found)


class _Checked:
    """Refuses an int field that the node could not read as a signed 64-bit integer.

    The node refuses a message with a field of the wrong form, and its asker fails with the node's
    text; a told message has nobody to tell, so checking here names the mistake at the call instead.
    """

    __slots__ = ()

    def __post_init__(self) -> None:
        for f in fields(self):  # type: ignore[arg-type]
            if f.type == "int":
                integer(f"{type(self).__qualname__}.{f.name}", getattr(self, f.name), INT64_MIN, INT64_MAX)


def _finite(owner: object, name: str, value: object, instead: str = "") -> None:
    """Refuses a time or duration that is not a finite number: a wait or a lease that never ends is
    not a time the node keeps, and it refuses the message."""
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError(f"{type(owner).__qualname__}.{name} is {value}, which is not a finite number{instead}")


def _sixteen(owner: object, name: str, value: object) -> None:
    if isinstance(value, bytes) and len(value) != 16:
        raise ValueError(f"{type(owner).__qualname__}.{name} is {len(value)} bytes, not 16")


_record = dataclass(frozen=True, kw_only=True)


# Answers of the semaphore: the only collection answers that are records, hence their names of their own.


@_record
class Acquired:
    """A semaphore granted the lease `lease_id`; `token` is its fencing token, larger than any granted before."""

    lease_id: str
    token: int


@_record
class Denied:
    """A semaphore refused the lease `lease_id`, or its wait ran out first."""

    lease_id: str


@_record
class Status:
    """A semaphore's permits: in all, free now, and the acquirers waiting for some."""

    capacity: int
    available: int
    waiting: int


class counter:
    """The counter: a signed 64-bit count, 0 in a fresh key.

    An Add that would take the count past either end of its range fails with the node's OverflowError,
    named in the asker's `ActorFailed`, and leaves the count as it was.
    """

    @_record
    class Add(_Checked):
        """Add `delta` to the count; answers None."""

        delta: int = 0
        reply_to: _vorel.Ref[None] = None

    @_record
    class Get(_Checked):
        """Answers the count."""

        reply_to: _vorel.Ref[int] = None

    @_record
    class Reset(_Checked):
        """Set the count to 0; answers None."""

        reply_to: _vorel.Ref[None] = None

    Messages = Add | Get | Reset


class register:
    """The register: an optional byte string, empty in a fresh key."""

    @_record
    class State(_Checked):
        """The register's value, None when empty."""

        value: bytes | None = None

    @_record
    class Get(_Checked):
        """Answers the value, or None when empty."""

        reply_to: _vorel.Ref[bytes | None] = None

    @_record
    class Put(_Checked):
        """Set the value (None empties the register); answers None."""

        value: bytes | None = None
        reply_to: _vorel.Ref[None] = None

    @_record
    class GetAndSet(_Checked):
        """Set the value; answers the value it replaced."""

        value: bytes | None = None
        reply_to: _vorel.Ref[bytes | None] = None

    @_record
    class CompareAndSet(_Checked):
        """Set the value only if the register holds `expected` (None: empty); answers whether it did."""

        expected: bytes | None = None
        value: bytes | None = None
        reply_to: _vorel.Ref[bool] = None

    Messages = Get | Put | GetAndSet | CompareAndSet


class entry:
    """The entry: at most one value, with a generation that moves forward only while the entry is empty.

    An empty entry takes a value only from a caller presenting the next generation (`listed` = generation
    + 1), which then becomes its generation; a fresh key's generation is the time it was made, in
    microseconds since the Unix epoch.
    """

    @_record
    class State(_Checked):
        """The entry's value (None: empty) and its generation."""

        value: bytes | None = None
        generation: int = 0

    @_record
    class Get(_Checked):
        """Answers the value, or None when empty."""

        reply_to: _vorel.Ref[bytes | None] = None

    @_record
    class Contains(_Checked):
        """Answers whether the entry holds a value."""

        reply_to: _vorel.Ref[bool] = None

    @_record
    class Put(_Checked):
        """Store `value`: replaces a held value, or fills an empty entry when `listed` is its next generation.

        Answers 0 when stored, else the next generation, the one to present.
        """

        value: bytes
        listed: int
        reply_to: _vorel.Ref[int] = None

    @_record
    class Retire(_Checked):
        """Raise an empty entry's generation to `listed` when that is higher.

        Answers 0 when the entry holds a value, else its generation afterwards.
        """

        listed: int
        reply_to: _vorel.Ref[int] = None

    @_record
    class Remove(_Checked):
        """Empty the entry and delete its state; answers (whether it held a value, its generation)."""

        reply_to: _vorel.Ref[tuple[bool, int]] = None

    Messages = Get | Contains | Put | Retire | Remove


class semaphore:
    """The semaphore: permits handed out as leases that lapse unless renewed, to acquirers served in order.

    Its capacity is part of its state, so a key gets it from the state it is started with, such as
    `semaphore.State(capacity=3)`; a key started from nothing has no permits. Times are seconds: `ttl` and
    `wait` are durations, the `expires` and `until` of the state are times since the Unix epoch.
    """

    @_record
    class Lease(_Checked):
        """A lease in force: its id, its fencing token, its permits and when it lapses."""

        lease_id: str
        token: int
        count: int
        expires: float

    @_record
    class Pending(_Checked):
        """An acquirer waiting: its lease id, where its answer goes, the permits it asked for, the ttl its
        lease will run for, and when its wait ends (None: never).
        """

        lease_id: str
        reply_to: _vorel.Ref[Acquired | Denied]
        count: int
        ttl: float
        until: float | None

    @_record
    class State(_Checked):
        """The semaphore's capacity, the token of its next grant, its leases and its queue."""

        capacity: int = 0
        next_token: int = 1
        held: tuple[semaphore.Lease, ...] = ()
        pending: tuple[semaphore.Pending, ...] = ()

    @_record
    class Acquire(_Checked):
        """Ask for `n` permits held for `ttl` seconds, waiting at most `wait` seconds (None: until served).

        Answers `Acquired` or `Denied`, at once or when served. Without `lease_id` the semaphore makes
        one; acquiring an id already held answers its lease again.
        """

        n: int
        ttl: float
        lease_id: str | None = None
        wait: float | None = None
        reply_to: _vorel.Ref[Acquired | Denied] = None

        def __post_init__(self) -> None:
            super().__post_init__()
            _finite(self, "ttl", self.ttl)
            _finite(self, "wait", self.wait, "; a wait of None has no limit")

    @_record
    class Release(_Checked):
        """Drop the lease `lease_id`, or its place in the queue; nothing is answered, so it is told."""

        lease_id: str

    @_record
    class Renew(_Checked):
        """Make the lease `lease_id` lapse `ttl` seconds from now; answers whether it was held."""

        lease_id: str
        ttl: float
        reply_to: _vorel.Ref[bool] = None

        def __post_init__(self) -> None:
            super().__post_init__()
            _finite(self, "ttl", self.ttl)

    @_record
    class Get(_Checked):
        """Answers the `Status`."""

        reply_to: _vorel.Ref[Status] = None

    Messages = Acquire | Release | Renew | Get


class barrier:
    """The barrier: parties arrive and are answered together once as many as they wait for have arrived.

    Each party has a 16-byte id of its own; an arrival sent again after a released party lost its answer
    is told True. `until` is a time in seconds since the Unix epoch.
    """

    @_record
    class Party(_Checked):
        """A party waiting: its id, where its answer goes, and when its wait ends."""

        id: bytes
        reply_to: _vorel.Ref[bool]
        until: float

        def __post_init__(self) -> None:
            super().__post_init__()
            _sixteen(self, "id", self.id)

    @_record
    class Completed(_Checked):
        """A released party, remembered until `until` so that its arrival sent again is told True."""

        id: bytes
        until: float

        def __post_init__(self) -> None:
            super().__post_init__()
            _sixteen(self, "id", self.id)

    @_record
    class State(_Checked):
        """The number of releases so far, the waiting parties and the remembered ones."""

        generation: int = 0
        pending: tuple[barrier.Party, ...] = ()
        completed: tuple[barrier.Completed, ...] = ()

    @_record
    class Arrive(_Checked):
        """Arrive as the party `id`, for a barrier of `parties` parties, waiting until `until`.

        Answers True when the parties are released, False when `until` passes first.
        """

        id: bytes
        parties: int
        until: float
        reply_to: _vorel.Ref[bool] = None

        def __post_init__(self) -> None:
            super().__post_init__()
            _sixteen(self, "id", self.id)
            _finite(self, "until", self.until)
            if self.parties < 0:
                raise ValueError(f"barrier.Arrive.parties is {self.parties}, which is negative")

    @_record
    class Cancel(_Checked):
        """Withdraw the arrival of the party `id`; answers whether that party was already released."""

        id: bytes
        reply_to: _vorel.Ref[bool] = None

        def __post_init__(self) -> None:
            super().__post_init__()
            _sixteen(self, "id", self.id)

    @_record
    class Waiting(_Checked):
        """Answers how many parties wait."""

        reply_to: _vorel.Ref[int] = None

    Messages = Arrive | Cancel | Waiting


class queue:
    """The directory of a queue: the numbers of its head and tail segments, which only grow.

    A queue's items live in `queue_segment` keys numbered by their callers; the segments below the tail
    that have no state count as drained.
    """

    @_record
    class State(_Checked):
        """The head and tail segment numbers."""

        head: int = 0
        tail: int = 0

    @_record
    class Advance(_Checked):
        """Raise head and tail to at least these (the tail never below the head); answers (head, tail)."""

        head: int = 0
        tail: int = 0
        reply_to: _vorel.Ref[tuple[int, int]] = None

    Messages = Advance


class queue_segment:
    """One segment of a queue: a run of items that seals itself at 1,024 items or 65,536 bytes.

    `at` is the segment's number and `index` its queue's directory, which a segment without state asks
    whether it lies below the tail.
    """

    @_record
    class State(_Checked):
        """The run's items, how many at the front were taken, and whether it accepts more."""

        items: tuple[bytes, ...] = ()
        taken: int = 0
        sealed: bool = False

    @_record
    class Offer(_Checked):
        """Append `value`; answers whether the segment took it."""

        at: int
        index: _vorel.Ref[queue.Messages]
        value: bytes
        reply_to: _vorel.Ref[bool] = None

    @_record
    class Take(_Checked):
        """Take up to `limit` items from the front; answers (the items, whether the segment is sealed)."""

        at: int
        index: _vorel.Ref[queue.Messages]
        limit: int = 1
        reply_to: _vorel.Ref[tuple[tuple[bytes, ...], bool]] = None

    @_record
    class Peek(_Checked):
        """Answers (the next item alone, or nothing; whether the segment is sealed) and takes nothing."""

        at: int
        index: _vorel.Ref[queue.Messages]
        reply_to: _vorel.Ref[tuple[tuple[bytes, ...], bool]] = None

    @_record
    class Size(_Checked):
        """Answers how many items are not taken yet."""

        reply_to: _vorel.Ref[int] = None

    @_record
    class Clear(_Checked):
        """Drop every item; answers None."""

        reply_to: _vorel.Ref[None] = None

    Messages = Offer | Take | Peek | Size | Clear


class table:
    """The directory of a table: how many segments its keys are spread over by linear hashing."""

    @_record
    class State(_Checked):
        """The number of segments."""

        segments: int = 1

    @_record
    class Segments(_Checked):
        """Answers the number of segments."""

        reply_to: _vorel.Ref[int] = None

    @_record
    class Grow(_Checked):
        """Add a segment: `split` hands the keys that no longer belong to it to the new segment `into`.

        `seen` is the count the caller saw; a Grow that saw a stale count only answers the count. Answers
        the count afterwards.
        """

        seen: int
        split: _vorel.Ref[table_segment.Messages]
        into: _vorel.Ref[table_segment.Messages]
        reply_to: _vorel.Ref[int] = None

    Messages = Segments | Grow


class table_segment:
    """One segment of a table: the keys whose hash modulo its modulus is its id, each with a set of values.

    A message about a key that belongs to another segment is answered None, so that the caller can look
    the segment up again. Answers that carry `crowded` say whether the segment holds more than 512 keys,
    the signal to grow the table.
    """

    @_record
    class State(_Checked):
        """The segment's keys with their values, its id and modulus, and the version every change raises."""

        entries: Entries = ()
        id: int = 0
        modulus: int = 1
        version: int = 0

    @_record
    class Add(_Checked):
        """Add `value` to the values of `key`; answers (whether it was new, crowded)."""

        key: bytes
        value: bytes
        reply_to: _vorel.Ref[tuple[bool, bool] | None] = None

    @_record
    class Get(_Checked):
        """Answers the values of `key`, in the order they were added."""

        key: bytes
        reply_to: _vorel.Ref[tuple[bytes, ...] | None] = None

    @_record
    class Remove(_Checked):
        """Remove `value` from `key`, or the whole key when `value` is None; answers how many values went."""

        key: bytes
        value: bytes | None = None
        reply_to: _vorel.Ref[int | None] = None

    @_record
    class List(_Checked):
        """Register `key` with `generation` unless a higher one is registered; answers (whether it was, crowded)."""

        key: bytes
        generation: int
        reply_to: _vorel.Ref[tuple[bool, bool] | None] = None

    @_record
    class Unlist(_Checked):
        """Remove `key` unless it was registered with a generation above `generation`; answers whether it went."""

        key: bytes
        generation: int
        reply_to: _vorel.Ref[bool | None] = None

    @_record
    class Size(_Checked):
        """Answers (the segment's modulus, its number of values)."""

        reply_to: _vorel.Ref[tuple[int, int]] = None

    @_record
    class Scan(_Checked):
        """Answers (modulus, every entry) when `position` modulo the modulus is the segment's id, else None."""

        position: int
        reply_to: _vorel.Ref[tuple[int, Entries] | None] = None

    @_record
    class Clear(_Checked):
        """Remove every key; answers (the segment's modulus, the number of values removed)."""

        reply_to: _vorel.Ref[tuple[int, int]] = None

    Messages = Add | Get | Remove | List | Unlist | Size | Scan | Clear


# Each kind's actor type, `<kind>.actor`: a type whose keys the node steps natively, so its body never
# runs. Its state and messages are the schemas a Python program reaches it with; a key started from
# nothing begins with the kind's own initial parts.


def _native(owner: type, state: object, messages: object, initial: object) -> None:
    async def actor(ctx) -> None:  # pragma: no cover - a native collection's key runs in the node
        raise RuntimeError(f"{MODULE}:{owner.__name__}.actor runs in the node, not in Python")

    actor.__module__ = MODULE
    actor.__qualname__ = f"{owner.__name__}.actor"
    actor.__annotations__ = {"ctx": _vorel.Context[state, messages], "return": None}
    owner.actor = _vorel.actor(actor, initial=initial)


_native(counter, int, counter.Messages, 0)
_native(register, register.State, register.Messages, register.State())
_native(entry, entry.State, entry.Messages, entry.State())
_native(semaphore, semaphore.State, semaphore.Messages, semaphore.State())
_native(barrier, barrier.State, barrier.Messages, barrier.State())
_native(queue, queue.State, queue.Messages, queue.State())
_native(queue_segment, queue_segment.State, queue_segment.Messages, queue_segment.State())
_native(table, table.State, table.Messages, table.State())
_native(table_segment, table_segment.State, table_segment.Messages, table_segment.State())
