"""The life of systems in a cluster, several in one process on one Runtime over loopback: entering,
members, leaving with a hand-off or at once, and entering given up."""

import asyncio
import socket
import threading
from datetime import timedelta

import pytest

import vorel
from vorel import ActorSystem, _vorel

pytestmark = pytest.mark.timeout(60)

FAST = {
    "heartbeat": timedelta(milliseconds=100),
    "suspect_after": timedelta(milliseconds=500),
    "dead_after": timedelta(seconds=1),
    "anti_entropy": timedelta(milliseconds=500),
}


def free_address():
    """A loopback address whose port nothing listens on once this returns."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"127.0.0.1:{s.getsockname()[1]}"


class Heard:
    """An observer that keeps every event and wakes whoever waits for one that matches."""

    def __init__(self):
        self.events = []
        self._waiting = []

    def __call__(self, event):
        self.events.append(event)
        for match, future in list(self._waiting):
            if match(event) and not future.done():
                future.set_result(event)

    async def first(self, match, timeout=10):
        for event in self.events:
            if match(event):
                return event
        future = asyncio.get_running_loop().create_future()
        self._waiting.append((match, future))
        return await asyncio.wait_for(future, timeout)


def member_is(address, status):
    return lambda e: isinstance(e, vorel.MemberChanged) and e.node.address == address and e.status == status


def system(address, *seeds, runtime, observer=None, **cluster):
    return ActorSystem(
        cluster=vorel.Cluster(address, seeds=seeds, **{**FAST, **cluster}), runtime=runtime, observer=observer
    )


async def until(condition, timeout=10):
    """Waits for a condition of the native side that no event reports, checking it between loop turns."""
    deadline = asyncio.get_running_loop().time() + timeout
    while not condition():
        assert asyncio.get_running_loop().time() < deadline, "the condition did not come true in time"
        await asyncio.sleep(0.02)


@pytest.fixture
def runtime():
    return _vorel.Runtime(threads=2)


async def test_systems_enter_see_each_other_and_hand_over_on_a_normal_exit(runtime):
    a_address, b_address = free_address(), free_address()
    heard = Heard()
    a = system(a_address, runtime=runtime, observer=heard)
    b = system(b_address, a_address, runtime=runtime)
    async with a as entered:
        assert entered is a
        assert a.node.address == a_address
        async with b:
            assert b.node.address == b_address
            await heard.first(member_is(b_address, "alive"))
            await until(lambda: {m.node.address for m in b.members} == {a_address, b_address})
            assert {(m.node.address, m.status) for m in a.members} == {(a_address, "alive"), (b_address, "alive")}
            assert {m.node for m in a.members} == {a.node, b.node}
        await heard.first(member_is(b_address, "leaving"))
        await heard.first(member_is(b_address, "left"))
        with pytest.raises(RuntimeError, match="^the system has stopped$"):
            b.node
        assert a.node.address == a_address
    await until(lambda: runtime._tasks() == 0)


async def test_a_third_system_joins_through_the_second(runtime):
    addresses = [free_address() for _ in range(3)]
    heard = Heard()
    systems = [
        system(addresses[0], runtime=runtime, observer=heard),
        system(addresses[1], addresses[0], runtime=runtime),
        system(addresses[2], addresses[1], runtime=runtime),
    ]
    async with systems[0], systems[1], systems[2]:
        await heard.first(member_is(addresses[2], "alive"))
        for s in systems:
            await until(lambda: {m.node.address for m in s.members if m.status == "alive"} == set(addresses))
    await until(lambda: runtime._tasks() == 0)


async def test_an_exit_by_an_exception_leaves_at_once(runtime):
    a_address, b_address = free_address(), free_address()
    heard = Heard()
    a = system(a_address, runtime=runtime, observer=heard)
    b = system(b_address, a_address, runtime=runtime, dead_after=timedelta(seconds=30))
    async with a:
        with pytest.raises(KeyError):
            async with b:
                await heard.first(member_is(b_address, "alive"))
                raise KeyError("gone")
        # No leave was announced: the others learn of the end only from the silence.
        assert not [e for e in heard.events if member_is(b_address, "leaving")(e)]
        with pytest.raises(RuntimeError, match="^the system has stopped$"):
            b.node
    await until(lambda: runtime._tasks() == 0)


async def test_cancelling_an_entering_whose_seed_never_answers_stops_the_node(runtime):
    silent = free_address()
    b = system(free_address(), silent, runtime=runtime)
    before = threading.active_count()
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(b.__aenter__(), 0.5)
    with pytest.raises(RuntimeError, match="^the system has not started$"):
        b.node
    await until(lambda: runtime._tasks() == 0, timeout=5)
    assert threading.active_count() == before
    # Given up, the entering may be tried again: now the seed answers.
    heard = Heard()
    async with system(silent, runtime=runtime, observer=heard):
        async with b:
            await heard.first(member_is(b.node.address, "alive"))
    await until(lambda: runtime._tasks() == 0)


async def test_cancelling_an_entering_without_a_runtime_lets_its_threads_go():
    before = threading.active_count()
    b = ActorSystem(cluster=vorel.Cluster(free_address(), seeds=(free_address(),), **FAST))
    task = asyncio.ensure_future(b.__aenter__())
    await asyncio.sleep(0.2)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    await until(lambda: threading.active_count() == before, timeout=5)


async def test_entering_twice_is_refused(runtime):
    a = system(free_address(), runtime=runtime)
    async with a:
        with pytest.raises(RuntimeError, match="^the system is running already$"):
            await a.__aenter__()
        assert a.members[0].node == a.node
    with pytest.raises(RuntimeError, match="^the system has stopped$"):
        await a.__aenter__()
    await until(lambda: runtime._tasks() == 0)


async def test_a_start_that_fails_is_refused_with_its_reason_and_may_be_tried_again(runtime):
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen()
    address = f"127.0.0.1:{taken.getsockname()[1]}"
    b = system(address, runtime=runtime)
    with pytest.raises(vorel.Refused, match="ddress already in use"):
        await asyncio.wait_for(b.__aenter__(), 10)
    with pytest.raises(RuntimeError, match="^the system has not started$"):
        b.node
    taken.close()
    async with b:
        assert b.node.address == address
    await until(lambda: runtime._tasks() == 0)


@pytest.mark.parametrize(
    "mapping",
    [
        pytest.param(lambda real: (lambda address: real if address.startswith("nowhere.invalid") else address), id="maps"),
        pytest.param(lambda real: None, id="none"),
    ],
)
async def test_the_address_map_rewrites_what_is_dialed(runtime, mapping):
    a_address = free_address()
    port = a_address.rpartition(":")[2]
    asked = []
    given = mapping(a_address)

    def address_map(address):
        asked.append(address)
        return given(address) if given else a_address

    heard = Heard()
    async with system(a_address, runtime=runtime, observer=heard):
        b = system(free_address(), f"nowhere.invalid:{port}", runtime=runtime, address_map=address_map)
        async with b:
            await heard.first(member_is(b.node.address, "alive"))
    assert f"nowhere.invalid:{port}" in asked
    await until(lambda: runtime._tasks() == 0)


@pytest.mark.parametrize(
    "answer",
    [
        pytest.param(lambda address: 42, id="not a str"),
        pytest.param(lambda address: 1 / 0, id="raises"),
    ],
)
async def test_an_address_map_that_fails_leaves_the_address_as_it_is(runtime, answer):
    a_address = free_address()
    heard = Heard()
    async with system(a_address, runtime=runtime, observer=heard):
        b = system(free_address(), a_address, runtime=runtime, address_map=answer)
        async with b:
            await heard.first(member_is(b.node.address, "alive"))
    await until(lambda: runtime._tasks() == 0)


async def test_the_observer_hears_only_what_it_wants(runtime):
    class Members(Heard):
        def wants(self, cls):
            return cls is vorel.MemberChanged

    a_address, b_address = free_address(), free_address()
    heard = Members()
    async with system(a_address, runtime=runtime, observer=heard):
        async with system(b_address, a_address, runtime=runtime):
            await heard.first(member_is(b_address, "alive"))
        await heard.first(member_is(b_address, "left"))
    assert heard.events and all(isinstance(e, vorel.MemberChanged) for e in heard.events)
    await until(lambda: runtime._tasks() == 0)


@vorel.actor
async def counter(ctx: vorel.Context[int, str]) -> None:
    pass


@vorel.actor
async def tally(ctx: vorel.Context[int, str]) -> None:
    pass


async def test_the_types_a_system_meets_reach_the_other_members(runtime):
    a_address, b_address = free_address(), free_address()
    a = system(a_address, runtime=runtime)
    b = system(b_address, a_address, runtime=runtime)

    def kinds_of(address):
        return {name for m in b.members if m.node.address == address for name in m.kinds}

    # Met while the node is not running yet, a type is told to the node once it has joined.
    a._learn(counter)
    async with a, b:
        await until(lambda: kinds_of(a_address) == {counter.name})
        a._learn(tally)
        await until(lambda: kinds_of(a_address) == {counter.name, tally.name})
    await until(lambda: runtime._tasks() == 0)


async def test_a_client_enters_through_a_seed_and_leaves_at_once(runtime):
    a_address = free_address()
    heard = Heard()
    async with system(a_address, runtime=runtime, observer=heard) as a:
        client = vorel.Client(seeds=[a_address], runtime=runtime)
        async with client as entered:
            assert entered is client
            await until(lambda: [m.node for m in client.members] == [a.node])
        with pytest.raises(RuntimeError, match="^the system has stopped$"):
            client.node
        # A client takes no part in the membership.
        assert {e.node for e in heard.events if isinstance(e, vorel.MemberChanged)} <= {a.node}
    await until(lambda: runtime._tasks() == 0)


async def test_a_system_removed_from_the_membership_joins_again(runtime, testing):
    a_address, b_address = free_address(), free_address()
    heard = Heard()
    a = system(a_address, runtime=runtime, observer=heard)
    b = system(b_address, a_address, runtime=runtime)
    async with a, b:
        first = b.node
        await heard.first(lambda e: isinstance(e, vorel.MemberChanged) and e.node == first and e.status == "alive")
        testing.removed(b)
        # It left at once and came back as a new incarnation of the same address.
        await until(lambda: b.node != first)
        assert b.node.address == b_address
        await heard.first(lambda e: isinstance(e, vorel.MemberChanged) and e.node == b.node and e.status == "alive")
    await until(lambda: runtime._tasks() == 0)


async def test_a_removal_while_the_system_stops_is_ignored(runtime, testing):
    b = system(free_address(), runtime=runtime)
    await b.__aenter__()
    exiting = b.__aexit__(None, None, None)
    testing.removed(b)
    await exiting
    with pytest.raises(RuntimeError, match="^the system has stopped$"):
        b.node
    # A removal acted on would have joined again, and that node would still run.
    await until(lambda: runtime._tasks() == 0)
