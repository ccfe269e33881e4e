"""The native collections in one process: each kind reached through its actor type, and the driver that
steps their keys, with writes that the store holds back or fails."""

import asyncio
import os
import time
from dataclasses import dataclass
from datetime import timedelta

import pytest
from support import runner, until

import vorel
from vorel import ActorFailed, ActorSystem, Context, Ref, actor
from vorel import collections as c

pytestmark = pytest.mark.timeout(30)


run = runner(15.0)


class Gate:
    """Holds every write of a live key until opened, or fails each with `failure`; records what passed."""

    def __init__(self):
        self.held = []
        self.failure = None

    def __call__(self, actor, key):
        future = asyncio.get_running_loop().create_future()
        if self.failure is not None:
            future.set_exception(self.failure)
        else:
            self.held.append(future)
        return future

    def open(self):
        for future in self.held:
            if not future.done():
                future.set_result(None)
        self.held.clear()


def test_a_counter_shared_by_a_hundred_askers_ends_at_their_total():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(c.counter.actor, "shared")
            answers = await asyncio.gather(*(ref.ask(c.counter.Add(delta=n)) for n in range(1, 101)))
            assert answers == [None] * 100
            return await ref.ask(c.counter.Get())

    assert run(main()) == 5050


def test_messages_of_each_simple_kind_are_answered():
    async def main():
        async with ActorSystem() as system:
            r = system.ref(c.register.actor, "r")
            assert await r.ask(c.register.Get()) is None
            assert await r.ask(c.register.GetAndSet(value=b"a")) is None
            assert await r.ask(c.register.CompareAndSet(expected=b"b", value=b"c")) is False
            assert await r.ask(c.register.CompareAndSet(expected=b"a", value=b"c")) is True
            assert await r.ask(c.register.Get()) == b"c"
            e = system.ref(c.entry.actor, "e")
            assert await e.ask(c.entry.Contains()) is False
            first = await e.ask(c.entry.Retire(listed=0))
            assert await e.ask(c.entry.Put(value=b"v", listed=first + 1)) == 0
            assert await e.ask(c.entry.Get()) == b"v"
            held, generation = await e.ask(c.entry.Remove())
            assert held is True and generation == first + 1
            # The generation of a removed entry never goes back.
            assert await e.ask(c.entry.Retire(listed=0)) >= generation

    run(main())


def test_a_semaphore_of_two_never_has_three_holders():
    holders, most, served = 0, 0, []

    async def worker(ref, n):
        nonlocal holders, most
        granted = await ref.ask(c.semaphore.Acquire(n=1, ttl=10.0))
        assert isinstance(granted, c.Acquired)
        holders += 1
        most = max(most, holders)
        await asyncio.sleep(0.02)
        holders -= 1
        served.append((n, granted.token))
        # Release is told: nothing is answered.
        ref.tell(c.semaphore.Release(lease_id=granted.lease_id))

    async def main():
        async with ActorSystem() as system:
            ref = system.ref(c.semaphore.actor, "s", initial=c.semaphore.State(capacity=2))
            await asyncio.gather(*(worker(ref, n) for n in range(8)))
            return await ref.ask(c.semaphore.Get())

    status = run(main())
    assert most == 2
    assert len(served) == 8
    assert sorted(token for _, token in served) == list(range(1, 9))
    assert status == c.Status(capacity=2, available=2, waiting=0)


def test_a_lapsed_lease_frees_its_permit_for_a_waiter():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(c.semaphore.actor, "lapse", initial=c.semaphore.State(capacity=1))
            first = await ref.ask(c.semaphore.Acquire(n=1, ttl=0.1))
            started = time.monotonic()
            second = await ref.ask(c.semaphore.Acquire(n=1, ttl=5.0))
            return first, second, time.monotonic() - started

    first, second, waited = run(main())
    assert isinstance(first, c.Acquired) and isinstance(second, c.Acquired)
    assert second.token > first.token
    assert 0.05 < waited < 2.0


def test_a_barrier_of_five_releases_all_five():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(c.barrier.actor, "b")
            until = time.time() + 10
            arrivals = [ref.ask(c.barrier.Arrive(id=os.urandom(16), parties=5, until=until)) for _ in range(4)]
            tasks = [asyncio.ensure_future(a) for a in arrivals]
            # Answered after the four arrivals, which would have been answered before it.
            assert await ref.ask(c.barrier.Waiting()) == 4
            assert not any(t.done() for t in tasks)
            last = await ref.ask(c.barrier.Arrive(id=os.urandom(16), parties=5, until=until))
            return [last, *await asyncio.gather(*tasks)], await ref.ask(c.barrier.Waiting())

    released, waiting = run(main())
    assert released == [True] * 5
    assert waiting == 0


def test_a_barrier_wait_that_runs_out_answers_false():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(c.barrier.actor, "late")
            return await ref.ask(c.barrier.Arrive(id=os.urandom(16), parties=2, until=time.time() + 0.1))

    assert run(main()) is False


def test_a_queue_keeps_its_order_across_segments():
    count = 2500  # a segment seals at 1,024 items

    async def main():
        async with ActorSystem() as system:
            index = system.ref(c.queue.actor, "q")

            def segment(n):
                return system.ref(c.queue_segment.actor, f"q/{n}")

            _, tail = await index.ask(c.queue.Advance())
            for n in range(count):
                value = n.to_bytes(4, "big")
                while not await segment(tail).ask(c.queue_segment.Offer(at=tail, index=index, value=value)):
                    _, tail = await index.ask(c.queue.Advance(tail=tail + 1))
            taken = []
            head, tail = await index.ask(c.queue.Advance())
            while True:
                items, sealed = await segment(head).ask(c.queue_segment.Take(at=head, index=index, limit=300))
                taken.extend(items)
                if items:
                    continue
                if not sealed:
                    break
                head, tail = await index.ask(c.queue.Advance(head=head + 1))
            return taken, tail

    taken, tail = run(main(), limit=25.0)
    assert tail >= 2
    assert [int.from_bytes(item, "big") for item in taken] == list(range(count))


def test_a_table_grows_past_one_segment_and_still_finds_every_key():
    keys = [f"key-{n}".encode() for n in range(600)]

    async def main():
        async with ActorSystem() as system:
            directory = system.ref(c.table.actor, "t")

            def segment(n):
                return system.ref(c.table_segment.actor, f"t/{n}")

            crowded = False
            for key in keys:
                new, crowded = await segment(0).ask(c.table_segment.Add(key=key, value=key + b"!"))
                assert new
            assert crowded
            grown = await directory.ask(c.table.Grow(seen=1, split=segment(0), into=segment(1)))
            found = {}
            for key in keys:
                answers = [await segment(n).ask(c.table_segment.Get(key=key)) for n in range(grown)]
                found[key] = [(n, a) for n, a in enumerate(answers) if a is not None]
            sizes = [await segment(n).ask(c.table_segment.Size()) for n in range(grown)]
            return grown, found, sizes

    grown, found, sizes = run(main(), limit=25.0)
    assert grown == 2
    assert all(len(owners) == 1 and owners[0][1] == (key + b"!",) for key, owners in found.items())
    # Both segments hold some of the keys, and every value lives in exactly one of them.
    assert {owners[0][0] for owners in found.values()} == {0, 1}
    assert sum(values for _, values in sizes) == len(keys)


def test_no_reply_leaves_before_its_write_is_confirmed(testing):
    gate = Gate()

    async def main():
        async with ActorSystem() as system:
            testing.gate(system, gate)
            ref = system.ref(c.counter.actor, "held")
            added = asyncio.ensure_future(ref.ask(c.counter.Add(delta=3)))
            read = asyncio.ensure_future(ref.ask(c.counter.Get()))
            await until(lambda: gate.held)
            # The write is held: neither its own answer nor the next message's has left.
            assert len(gate.held) == 1
            assert not added.done() and not read.done()
            gate.open()
            assert await added is None
            assert await read == 3
            testing.gate(system, None)

    run(main())


def test_a_failed_write_answers_nothing_wrong(testing):
    gate = Gate()
    events = []

    async def main():
        async with ActorSystem(observer=events.append) as system:
            ref = system.ref(c.counter.actor, "failing")
            assert await ref.ask(c.counter.Add(delta=2)) is None
            testing.gate(system, gate)
            gate.failure = OSError("the disk is gone")
            with pytest.raises(ActorFailed) as failed:
                await ref.ask(c.counter.Add(delta=5))
            assert failed.value.error == "OSError"
            # A told Release whose write fails is reported, and the lease stays held.
            sem = system.ref(c.semaphore.actor, "failing", initial=c.semaphore.State(capacity=1))
            testing.gate(system, None)
            lease = await sem.ask(c.semaphore.Acquire(n=1, ttl=10.0))
            testing.gate(system, gate)
            sem.tell(c.semaphore.Release(lease_id=lease.lease_id))
            await until(lambda: len([e for e in events if isinstance(e, vorel.ActivationFailed)]) == 2)
            testing.gate(system, None)
            return await ref.ask(c.counter.Get()), await sem.ask(c.semaphore.Get())

    assert run(main()) == (2, c.Status(capacity=1, available=0, waiting=0))
    assert len([e for e in events if isinstance(e, vorel.ActivationFailed)]) == 2


def test_a_deadline_that_passes_during_a_write_waits_for_it(testing):
    gate = Gate()

    async def main():
        async with ActorSystem() as system:
            ref = system.ref(c.semaphore.actor, "tick", initial=c.semaphore.State(capacity=1))
            first = await ref.ask(c.semaphore.Acquire(n=1, ttl=0.1))
            testing.gate(system, gate)
            # The waiter's write is held past the first lease's lapse, so the tick comes mid-write.
            second = asyncio.ensure_future(ref.ask(c.semaphore.Acquire(n=1, ttl=5.0)))
            await asyncio.sleep(0.3)
            assert not second.done()
            testing.gate(system, None)
            gate.open()
            granted = await second
            return first, granted, await ref.ask(c.semaphore.Get())

    first, granted, status = run(main())
    assert isinstance(granted, c.Acquired) and granted.token == first.token + 1
    assert status == c.Status(capacity=1, available=0, waiting=0)


def test_a_counter_keeps_its_count_across_deactivation():
    events = []

    async def main():
        async with ActorSystem(idle_after=timedelta(milliseconds=50), observer=events.append) as system:
            ref = system.ref(c.counter.actor, "idle")
            await ref.ask(c.counter.Add(delta=9))
            await until(lambda: any(isinstance(e, vorel.ActivationEnded) for e in events))
            ended = len([e for e in events if isinstance(e, vorel.ActivationEnded)])
            return ended, await ref.ask(c.counter.Get())

    assert run(main()) == (1, 9)


# Messages of the wrong form, as a peer or another version might send them: each kind is reached
# through a type that the node runs as that kind but whose messages the schema writes as given here.


_message = dataclass(frozen=True, kw_only=True)


class wrong:
    @_message
    class Add:
        delta: str = "1"
        reply_to: Ref[None] = None

    @_message
    class Put:
        value: str | bytes = "v"
        reply_to: Ref[None] = None

    @_message
    class Acquire:
        n: int = 1
        ttl: float = 1.0
        wait: float | None = None
        reply_to: Ref[None] = None

    @_message
    class Arrive:
        id: bytes = b"short"
        parties: int = 1
        until: float = 0.0
        reply_to: Ref[None] = None

    @_message
    class Advance:
        head: float = 1.0
        reply_to: Ref[None] = None

    @_message
    class Offer:
        value: str = "v"
        reply_to: Ref[None] = None

    @_message
    class Grow:
        seen: int = 1
        reply_to: Ref[None] = None

    @_message
    class Pop:
        reply_to: Ref[None] = None


class told:
    @_message
    class Add:
        delta: str = "1"


def lookalike(kind, message):
    """An actor type that the node runs as a collection of `kind`, with `message` as its messages."""

    async def body(ctx) -> None:  # pragma: no cover - the node steps the key, the body never runs
        raise AssertionError("a collection's body never runs")

    body.__module__ = "vorel.collections"
    body.__qualname__ = f"{kind}_1_one"
    body.__annotations__ = {"ctx": Context[int, message], "return": None}
    # Only that the type has an initial state counts: a fresh key starts from its kind's own.
    return actor(body, initial=0)


INF = float("inf")

REFUSED = [
    ("counter", wrong.Add(), 'wrong.Add: field "delta" is a str, not an integer in the signed 64-bit range'),
    ("register", wrong.Put(), 'wrong.Put: field "value" is a str, not bytes or nil'),
    ("entry", wrong.Put(value=b"v"), 'wrong.Put: field "listed" is missing'),
    ("semaphore", wrong.Acquire(ttl=INF), 'wrong.Acquire: field "ttl" is inf, not a finite float'),
    ("semaphore", wrong.Acquire(wait=INF), 'wrong.Acquire: field "wait" is inf, not a finite float or nil'),
    ("semaphore", wrong.Acquire(wait=float("nan")), 'wrong.Acquire: field "wait" is nan, not a finite float or nil'),
    ("barrier", wrong.Arrive(), 'wrong.Arrive: field "id" is 5 bytes, not 16 bytes'),
    ("queue", wrong.Advance(), 'wrong.Advance: field "head" is 1, not an integer in the signed 64-bit range'),
    ("queue_segment", wrong.Offer(), 'wrong.Offer: field "value" is a str, not bytes'),
    ("table", wrong.Grow(), 'wrong.Grow: field "split" is missing'),
    ("table_segment", wrong.Put(value=b"v"), 'a table segment has no op "Put"'),
    ("counter", wrong.Pop(), 'a counter has no op "Pop"'),
]


# Reported fault: a message with a field of the wrong form was dropped without an answer, and its
# asker waited for its ask timeout. Each is refused at once with a text that names the field.
@pytest.mark.parametrize("kind, message, text", REFUSED, ids=[f"{k}-{t[:24]}" for k, _, t in REFUSED])
def test_a_malformed_ask_fails_at_once_naming_the_field(kind, message, text):
    async def main():
        async with ActorSystem(ask_timeout=timedelta(seconds=10)) as system:
            ref = system.ref(lookalike(kind, type(message)), "k")
            started = time.monotonic()
            with pytest.raises(ActorFailed) as failed:
                await ref.ask(message)
            return failed.value, time.monotonic() - started

    failed, took = run(main())
    assert (failed.error, failed.message) == ("ValueError", text)
    assert took < 5.0


def test_a_malformed_tell_is_reported_dropped_and_the_key_goes_on():
    events = []

    async def main():
        async with ActorSystem(observer=events.append) as system:
            lookalike_type = lookalike("counter", told.Add | wrong.Add)
            ref = system.ref(lookalike_type, "told")
            ref.tell(told.Add())
            # The key reads its next message: the ask behind the tell is answered.
            with pytest.raises(ActorFailed):
                await ref.ask(wrong.Add())

    run(main())
    dropped = [e for e in events if isinstance(e, vorel.MessageDropped)]
    assert [(e.key, e.reason) for e in dropped] == [
        ("told", 'told.Add: field "delta" is a str, not an integer in the signed 64-bit range')
    ]


# Reported fault: the count wrapped silently from the largest to the smallest value.
@pytest.mark.parametrize("start, delta", [(2**63 - 1, 1), (-(2**63), -1), (5, 2**63 - 1)])
def test_an_add_past_either_end_of_the_count_fails_and_keeps_it(start, delta):
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(c.counter.actor, "edge")
            await ref.ask(c.counter.Add(delta=start))
            with pytest.raises(ActorFailed) as failed:
                await ref.ask(c.counter.Add(delta=delta))
            return failed.value, await ref.ask(c.counter.Get())

    failed, count = run(main())
    assert failed.error == "OverflowError"
    assert failed.message == f"adding {delta} to the count {start} leaves the signed 64-bit range"
    assert count == start


@_message
class Hand:
    reply_to: Ref[None] = None


KEPT: list = []


@actor(initial=0)
async def keeper(ctx: Context[int, Hand]):
    async for m in ctx.inbox:
        KEPT.append(m.reply_to)
        m.reply_to.tell(None)


# Reported fault: a collection asked the target it was given as a key, and a ref to the answer of an
# ask made it ask a reply target, which aborted the whole process. Such a ref is refused by name.
@pytest.mark.parametrize(
    "to, message, text",
    [
        ("queue_segment", lambda r: c.queue_segment.Take(at=0, index=r), 'queue_segment.Take: field "index"'),
        ("table", lambda r: c.table.Grow(seen=1, split=r, into=r), 'table.Grow: field "split"'),
    ],
)
def test_a_ref_to_a_reply_where_a_key_is_asked_is_refused(to, message, text):
    async def main():
        async with ActorSystem() as system:
            await system.ref(keeper, "k").ask(Hand())
            ref = system.ref(getattr(c, to).actor, "asked")
            with pytest.raises(ActorFailed) as failed:
                await ref.ask(message(KEPT[-1]))
            return failed.value

    failed = run(main())
    assert (failed.error, failed.message) == ("ValueError", f"{text} is a ref to a reply, not a ref to a key")
