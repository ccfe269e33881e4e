import subprocess
import sys
from datetime import UTC, datetime
from uuid import UUID, uuid4

import pytest

import vorel

# The names the core reads from the package, each by attribute of the module `vorel`.
READ_BY_THE_CORE = [
    "ActorStats",
    "Stats",
    "Activation",
    "Member",
    "NodeId",
    "Placement",
    "LoggingObserver",
    "Compression",
    "Limits",
    "Backoff",
    "address",
    "MemberChanged",
    "ActivationStarted",
    "ActivationEnded",
    "ActivationFailed",
    "WriteFailed",
    "HandoffStarted",
    "HandoffEnded",
    "ConnectionLost",
    "MessageDropped",
]


@pytest.mark.parametrize("name", READ_BY_THE_CORE)
def test_the_core_finds_each_name_on_the_package(name):
    assert name in vorel.__all__
    assert getattr(vorel, name).__doc__


def test_every_exported_name_exists():
    assert [name for name in vorel.__all__ if not hasattr(vorel, name)] == []


def test_the_python_modules_do_not_import_the_core():
    # The core imports the package at run time; a module of it that imported the core back would tie
    # their import orders together.
    code = (
        "import sys, importlib.util, pathlib\n"
        "root = pathlib.Path(importlib.util.find_spec('vorel').origin).parent\n"
        "sys.modules['vorel'] = type(sys)('vorel'); sys.modules['vorel'].__path__ = [str(root)]\n"
        "import vorel.settings, vorel.records, vorel.events, vorel.store\n"
        "print('vorel._vorel' in sys.modules)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    assert out.strip() == "False"


def test_node_id_positional_order_and_equality():
    incarnation = uuid4()
    node = vorel.NodeId("h:1", incarnation)
    assert (node.address, node.incarnation) == ("h:1", incarnation)
    assert node == vorel.NodeId("h:1", UUID(bytes=incarnation.bytes))
    assert node != vorel.NodeId(None, incarnation)
    assert len({node, vorel.NodeId("h:1", incarnation)}) == 1
    assert str(node) == f"h:1 {incarnation}"
    assert str(vorel.NodeId(None, incarnation)) == f"unaddressed {incarnation}"


def test_member_keeps_its_kinds_as_a_frozenset():
    node = vorel.NodeId("h:1", uuid4())
    member = vorel.Member(node, "alive", ["app:a", "app:b"])
    assert (member.node, member.status, member.kinds) == (node, "alive", frozenset({"app:a", "app:b"}))


@pytest.mark.parametrize("status", ["alive", "leaving", "suspect", "dead", "left"])
def test_member_statuses(status):
    assert vorel.Member(vorel.NodeId(None, uuid4()), status, frozenset()).status == status


def test_member_refuses_an_unknown_status():
    with pytest.raises(ValueError, match="^status is 'gone', not one of alive, leaving, suspect, dead, left$"):
        vorel.Member(vorel.NodeId(None, uuid4()), "gone", frozenset())


def test_placement_positional_order():
    a, b = vorel.NodeId("a:1", uuid4()), vorel.NodeId("b:1", uuid4())
    placement = vorel.Placement(a, [a, b])
    assert (placement.owner, placement.nodes) == (a, (a, b))
    assert vorel.Placement(None, ()).owner is None


def test_activation_and_actor_stats_positional_order():
    started = datetime(2024, 1, 1, tzinfo=UTC)
    activation = vorel.Activation("app:a", "k", started, 3)
    assert (activation.actor, activation.key, activation.started, activation.queued) == ("app:a", "k", started, 3)
    stats = vorel.ActorStats(2, 7, 5)
    assert (stats.count, stats.queued, stats.largest) == (2, 7, 5)


def test_stats_takes_keywords_only_and_keeps_actors_read_only():
    fields = dict(asks_in_flight=1, writes_confirmed=2, writes_failed=3, connections=4, bytes_sent=5, bytes_received=6)
    actors = {"app:a": vorel.ActorStats(1, 0, 0)}
    stats = vorel.Stats(actors=actors, **fields)
    assert stats.actors == actors and stats.asks_in_flight == 1 and stats.bytes_received == 6
    with pytest.raises(TypeError):
        stats.actors["app:b"] = vorel.ActorStats(0, 0, 0)
    actors["app:c"] = vorel.ActorStats(0, 0, 0)  # a copy was kept
    assert list(stats.actors) == ["app:a"]
    assert hash(stats) == hash(vorel.Stats(actors={}, **fields))
    with pytest.raises(TypeError):
        vorel.Stats({}, 1, 2, 3, 4, 5, 6)


def test_store_protocol_recognises_any_object_with_the_three_methods():
    class Memory:
        async def load(self, actor, key): ...
        async def save(self, actor, key, version, state): ...
        async def drop(self, actor, key, version): ...

    class Partial:
        async def load(self, actor, key): ...

    assert isinstance(Memory(), vorel.Store)
    assert not isinstance(Partial(), vorel.Store)
