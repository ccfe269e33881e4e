"""Statistics and the activations listing of a running system."""

import asyncio
from dataclasses import dataclass
from datetime import datetime, timezone

import pytest
from support import run, until

import vorel
from vorel import ActorSystem, Context, Ref, actor

pytestmark = pytest.mark.timeout(10)


@dataclass(frozen=True)
class Hold:
    reply_to: Ref[int]


@dataclass(frozen=True)
class Put:
    n: int


gates: dict[str, asyncio.Event] = {}


@actor(initial=0)
async def held(ctx: Context[int, Hold | Put]):
    async for m in ctx.inbox:
        if isinstance(m, Hold):
            await gates[ctx.key].wait()
            m.reply_to.tell(ctx.state.value)
        else:
            await ctx.state.set(m.n)


@actor(initial=0)
async def other(ctx: Context[int, Put]):
    async for _ in ctx.inbox:
        pass


def name(body):
    return {held: f"{__name__}:held", other: f"{__name__}:other"}[body]


async def blocked(system, key, waiting):
    """The key busy with one ask and `waiting` tells queued behind it."""
    gates[key] = asyncio.Event()
    ref = system.ref(held, key)
    pending = asyncio.ensure_future(ref.ask(Hold(None)))
    await until(lambda: system._queued(held, key) == 0)
    for n in range(waiting):
        ref.tell(Put(n))
    return pending


def test_an_idle_system_counts_nothing():
    async def main():
        async with ActorSystem() as system:
            return system.stats()

    stats = run(main())
    assert stats == vorel.Stats(
        actors={}, asks_in_flight=0, writes_confirmed=0, writes_failed=0, connections=0, bytes_sent=0, bytes_received=0
    )


def test_tallies_by_type_queued_largest_and_asks_in_flight():
    async def main():
        async with ActorSystem() as system:
            system.ref(other, "never")  # learned; its start is queued, not yet run
            await system.release(other, "never")
            asks = [await blocked(system, "two", 2), await blocked(system, "five", 5)]
            stats = system.stats()
            for gate in gates.values():
                gate.set()
            await asyncio.gather(*asks)
            return stats, system.stats()

    busy, after = run(main())
    assert list(busy.actors) == sorted([name(held), name(other)])
    assert busy.actors[name(held)] == vorel.ActorStats(2, 7, 5)
    assert busy.actors[name(other)] == vorel.ActorStats(0, 0, 0)
    assert busy.asks_in_flight == 2
    assert after.asks_in_flight == 0


def test_writes_confirmed_counts_writes_and_deletions():
    @dataclass(frozen=True)
    class Step:
        delete: bool
        reply_to: Ref[bool]

    @actor(initial=0)
    async def writer(ctx: Context[int, Step]):
        async for m in ctx.inbox:
            if m.delete:
                await ctx.state.delete()
            else:
                await ctx.state.set(ctx.state.value + 1)
            m.reply_to.tell(True)

    async def main():
        async with ActorSystem() as system:
            ref = system.ref(writer, "w")
            await ref.ask(Step(False, None))
            before = system.stats().writes_confirmed
            await ref.ask(Step(False, None))
            await ref.ask(Step(True, None))
            return system.stats().writes_confirmed - before

    assert run(main()) == 2


def test_activations_are_sorted_by_type_then_key_bytewise_with_their_queues():
    async def main():
        async with ActorSystem() as system:
            before = datetime.now(timezone.utc)
            pending = [await blocked(system, key, 0) for key in ("z", "ab", "a", "B")]
            pending.append(await blocked(system, "q", 3))
            system.ref(other, "a")  # listed from the start, before it opens
            listing = system.activations()
            for gate in gates.values():
                gate.set()
            await asyncio.gather(*pending)
            return before, listing

    before, listing = run(main())
    assert [(a.actor, a.key) for a in listing] == [
        (name(held), "B"),
        (name(held), "a"),
        (name(held), "ab"),
        (name(held), "q"),
        (name(held), "z"),
        (name(other), "a"),
    ]
    assert isinstance(listing, tuple)
    queued = {a.key: a.queued for a in listing if a.actor == name(held)}
    assert queued == {"B": 0, "a": 0, "ab": 0, "q": 3, "z": 0}
    for a in listing:
        assert a.started.tzinfo is timezone.utc
        assert before.timestamp() - 1 <= a.started.timestamp() <= datetime.now(timezone.utc).timestamp()


@pytest.mark.parametrize("method", ["stats", "activations"])
def test_before_entry_and_after_stop(method):
    system = ActorSystem()
    with pytest.raises(RuntimeError, match="^the system has not started$"):
        getattr(system, method)()

    async def main():
        async with system:
            getattr(system, method)()

    run(main())
    with pytest.raises(RuntimeError, match="^the system has stopped$"):
        getattr(system, method)()
