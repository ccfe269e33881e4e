"""Systems of one process joined over 127.0.0.1: what a joined system asks of its node (routing to the
owner of a key, answers, replicated writes, placement, members, `_stored`, statistics, the message limit)."""

import asyncio
import contextlib
from dataclasses import dataclass
from datetime import timedelta

import pytest
from support import runner, until

import vorel
from vorel import ActorSystem, Cluster, Context, Limits, MessageTooLarge, Ref, _vorel, actor

pytestmark = pytest.mark.timeout(60)

run = runner(40.0)


@dataclass(frozen=True)
class Add:
    n: int


@dataclass(frozen=True)
class Get:
    reply_to: Ref[int]


@dataclass(frozen=True)
class Where:
    reply_to: Ref[str]


@dataclass(frozen=True)
class Echo:
    size: int
    reply_to: Ref[bytes]


@dataclass(frozen=True)
class Blob:
    data: bytes


@dataclass(frozen=True)
class Heavy:
    data: bytes
    reply_to: Ref[int]


@actor(initial=0, write="majority", replicas=2)
async def tally(ctx: Context[int, Add | Get | Where | Echo | Blob | Heavy]):
    async for m in ctx.inbox:
        if isinstance(m, Add):
            await ctx.state.set(ctx.state.value + m.n)
        elif isinstance(m, Get):
            m.reply_to.tell(ctx.state.value)
        elif isinstance(m, Where):
            m.reply_to.tell(where(ctx))
        elif isinstance(m, Echo):
            m.reply_to.tell(b"x" * m.size)


def where(ctx) -> str:
    """The address of the system whose node runs the body."""
    for system in LIVE:
        if system._queued(tally, ctx.key) is not None:
            return system.node.address
    return "nowhere"


LIVE: list[ActorSystem] = []
LIMIT = 100_000


def settings(seeds=()):
    return Cluster(
        "127.0.0.1:0",
        seeds=tuple(seeds),
        limits=Limits(message=LIMIT),
        heartbeat=timedelta(milliseconds=100),
        anti_entropy=timedelta(milliseconds=500),
    )


@contextlib.asynccontextmanager
async def joined(count):
    """`count` systems on one runtime, each seeded with the first, once every one lists all as alive."""
    runtime = _vorel.Runtime(threads=2)
    async with contextlib.AsyncExitStack() as stack:
        first = await stack.enter_async_context(ActorSystem(cluster=settings(), runtime=runtime))
        systems = [first]
        for _ in range(count - 1):
            systems.append(
                await stack.enter_async_context(
                    ActorSystem(cluster=settings([first.node.address]), runtime=runtime)
                )
            )
        for s in systems:
            s._learn(tally)
            s._learn(big)
        nodes = {s.node for s in systems}
        names = {f"{__name__}:tally", f"{__name__}:big"}

        def converged():
            return all(
                {m.node for m in s.members if m.status == "alive" and names <= m.kinds} == nodes for s in systems
            )

        await until(converged, timeout=20.0)
        LIVE[:] = systems
        try:
            yield systems
        finally:
            LIVE.clear()


async def eventually(ask, expected, timeout=10.0):
    """Asks again until the answer is `expected`; fails the test after `timeout` seconds."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while (answer := await ask()) != expected:
        assert loop.time() < deadline, f"still {answer!r} after {timeout} s"
        await asyncio.sleep(0.01)


async def owned_by(systems, owner, prefix="k"):
    """A key of `tally` that every system places on `owner`."""
    for i in range(200):
        key = f"{prefix}{i}"
        placed = [await s.placement(tally, key) for s in systems]
        if all(p.owner == owner.node for p in placed):
            return key
    raise AssertionError("no key is placed on the owner")


def test_asks_and_tells_reach_the_owner_on_the_other_system_and_majority_writes_read_back():
    async def main():
        async with joined(2) as (a, b):
            key = await owned_by((a, b), b)
            ref = a.ref(tally, key)
            ref.tell(Add(2))
            assert await ref.ask(Get(None)) == 2
            assert await ref.ask(Where(None)) == b.node.address
            assert a._queued(tally, key) is None

            # Both nodes keep the confirmed state: the owner and its one replica.
            name = f"{__name__}:tally"
            for s in (a, b):
                assert (name, key, False) in await s._stored()

            # A new activation reads what the replicas kept.
            await b.release(tally, key)
            await until(lambda: b._queued(tally, key) is None)
            assert await a.ref(tally, key).ask(Get(None)) == 2
            assert b.stats().writes_confirmed >= 1
            assert a.stats().connections >= 1

    run(main())


def test_placement_names_the_owner_and_both_replicas_and_members_list_both_alive():
    async def main():
        async with joined(2) as (a, b):
            for s in (a, b):
                placed = await s.placement(tally, "p")
                assert placed.owner in (a.node, b.node)
                assert set(placed.nodes) == {a.node, b.node}
                assert {(m.node, m.status) for m in s.members} == {(a.node, "alive"), (b.node, "alive")}
                assert all(f"{__name__}:tally" in m.kinds for m in s.members if m.node == s.node)

    run(main())


def test_three_systems_of_one_process_route_to_each_other():
    async def main():
        async with joined(3) as systems:
            for owner in systems:
                key = await owned_by(systems, owner, prefix=f"t{owner.node.address}-")
                for asker in systems:
                    asker.ref(tally, key).tell(Add(1))
                for asker in systems:
                    await eventually(lambda: asker.ref(tally, key).ask(Get(None)), 3)
                assert await systems[0].ref(tally, key).ask(Where(None)) == owner.node.address

    run(main())


def test_what_does_not_fit_the_message_limit_is_refused_where_the_key_is_and_where_it_is_not():
    async def main():
        async with joined(2) as (a, b):
            key = await owned_by((a, b), b)
            ref = a.ref(tally, key)
            with pytest.raises(MessageTooLarge, match=rf"^the message to {__name__}:tally/{key} takes \d+ bytes "
                               rf"between two nodes, over limits.message of {LIMIT}$"):
                ref.tell(Blob(b"y" * LIMIT))
            with pytest.raises(MessageTooLarge, match=r"^the message to .* over limits.message of"):
                await ref.ask(Heavy(b"y" * LIMIT, None))
            with pytest.raises(MessageTooLarge, match=r"^the initial state of .* over limits.message of"):
                a.ref(big, key, initial=b"z" * LIMIT)
            # An answer too large travels back as a refusal, to an asker on the owner's node too.
            for asker in (a, b):
                with pytest.raises(MessageTooLarge, match=rf"^the answer takes \d+ bytes between two nodes, "
                                   rf"over limits.message of {LIMIT}$"):
                    await asker.ref(tally, key).ask(Echo(LIMIT, None))
            assert await ref.ask(Echo(10, None)) == b"x" * 10

    run(main())


@actor(write="majority")
async def big(ctx: Context[bytes, Blob]):
    async for m in ctx.inbox:
        await ctx.state.set(m.data)


def test_fencing_stays_inside_the_core():
    assert not hasattr(vorel, "Fencing")
    assert not hasattr(vorel._vorel, "Fencing")
