"""The members a system sees, and the module's `replicas` hook over the hash ring."""

import asyncio
import random
from uuid import UUID, uuid4

import pytest

import vorel
from vorel import ActorSystem, Context, _vorel, actor

pytestmark = pytest.mark.timeout(10)


def run(coroutine, limit=5.0):
    return asyncio.run(asyncio.wait_for(coroutine, limit))


@actor(initial=0)
async def kept(ctx: Context[int, int]):
    async for _ in ctx.inbox:
        pass


def test_a_system_without_a_cluster_lists_itself_alive_with_the_types_it_knows():
    async def main():
        async with ActorSystem() as system:
            first = system.members
            system._learn(kept)
            return system.node, first, system.members

    me, first, later = run(main())
    assert first == (vorel.Member(me, "alive", frozenset()),)
    assert later == (vorel.Member(me, "alive", frozenset({f"{__name__}:kept"})),)
    assert isinstance(later[0].kinds, frozenset)


def test_members_before_entry_and_after_stop():
    system = ActorSystem()
    with pytest.raises(RuntimeError, match="^the system has not started$"):
        system.members

    async def main():
        async with system:
            pass

    run(main())
    with pytest.raises(RuntimeError, match="^the system has stopped$"):
        system.members


NODES = [vorel.NodeId(f"10.0.0.{i}:7000", UUID(int=i * 7919)) for i in range(1, 6)]


def test_replicas_are_distinct_owner_first_and_independent_of_the_order_given():
    for key in ("a", "b", "cart/1", "@h:1/x"):
        every = _vorel.replicas("app:t", key, NODES, 10)
        assert sorted(every, key=str) == sorted(NODES, key=str)
        shuffled = NODES[:]
        random.Random(key).shuffle(shuffled)
        assert _vorel.replicas("app:t", key, shuffled + shuffled[:2], 10) == every
        for count in range(1, 6):
            assert _vorel.replicas("app:t", key, NODES, count) == every[:count]


def test_replicas_spread_owners_over_the_nodes():
    owners = {_vorel.replicas("app:t", str(k), NODES, 1)[0] for k in range(200)}
    assert owners == set(NODES)


@pytest.mark.parametrize("nodes, count", [([], 3), (NODES, 0)])
def test_replicas_of_nothing_is_empty(nodes, count):
    assert _vorel.replicas("app:t", "k", nodes, count) == []


def test_replicas_by_name_and_a_node_without_address():
    alone = vorel.NodeId(None, uuid4())
    assert _vorel.replicas(actor="a", key="k", nodes=iter([alone]), count=1) == [alone]


class Fake:
    def __init__(self, address, raw):
        self.address = address
        self.incarnation = type("Inc", (), {"bytes": raw})()


@pytest.mark.parametrize(
    "args, error, text",
    [
        (("a", "k", [Fake("h:1", bytes(15))], 1), ValueError, "^an incarnation is sixteen bytes$"),
        (("a", "k", [Fake("h:1", list(range(16))), Fake("h:2", bytes(17))], 1), ValueError, "sixteen bytes"),
        (("a", "k", [Fake(5, bytes(16))], 1), TypeError, None),
        (("a", "k", [object()], 1), AttributeError, "incarnation"),
        (("a", "k", 5, 1), TypeError, "not iterable"),
        ((1, "k", NODES, 1), TypeError, None),
        (("a", "k", NODES, "1"), TypeError, None),
        (("a", "k", NODES, -1), OverflowError, None),
        (("a", "k", NODES, 2**64), OverflowError, None),
    ],
)
def test_replicas_refusals(args, error, text):
    with pytest.raises(error, match=text):
        _vorel.replicas(*args)


def test_a_negative_count_is_refused_before_nodes_are_read():
    def nodes():
        raise AssertionError("iterated")
        yield

    with pytest.raises(OverflowError):
        _vorel.replicas("a", "k", nodes(), -1)


def test_the_module_function_order():
    names = [n for n in vars(_vorel) if not n.startswith("__")]
    assert names.index("replicas") == names.index("actor") + 1
    classes = [n for n in names if isinstance(getattr(_vorel, n), type) and not issubclass(getattr(_vorel, n), BaseException)]
    assert classes[classes.index("ActorSystem") : classes.index("ActorSystem") + 3] == ["ActorSystem", "Client", "Writes"]
