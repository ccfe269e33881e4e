"""Clusters as a user meets them: members in processes of their own on loopback (and systems sharing one process),
asked and told across, stopped, paused, killed and joined again."""

import asyncio
import pathlib
import re
import signal
import socket
import subprocess
import sys

import pytest
from cluster_support import Nodes, Pki, cluster, eventually, free_ports, register

import vorel
from vorel import ActorSystem, Refused, Unavailable, _vorel

pytestmark = pytest.mark.timeout(120)

REGISTER = register.name
# Failure detection slow enough that a paused node stays a member for the whole of a test.
PATIENT = {"suspect_after": 30.0, "dead_after": 30.0, "remove_after": None}


@pytest.fixture(scope="module")
def pki():
    made = Pki()
    yield made
    made.close()


@pytest.fixture
async def nodes(request):
    """Starts the nodes of one test, plain or over TLS with client certificates, and ends them all afterwards."""
    tls = request.getfixturevalue("pki").node() if getattr(request, "param", "plain") == "tls" else None
    made = Nodes(tls=tls)
    yield made
    await made.close()


async def pair(nodes, **config):
    """Two members, the second joined through the first, each listing both alive."""
    a = await nodes.process(**config)
    b = await nodes.process(seeds=[a.address], **config)
    both = {a.address: "alive", b.address: "alive"}
    await a.until_members(both)
    await b.until_members(both)
    return a, b


async def trio(nodes, **config):
    """Three members, so that two of them still make a majority when one is gone."""
    a = await nodes.process(**config)
    b = await nodes.process(seeds=[a.address], **config)
    c = await nodes.process(seeds=[a.address], **config)
    every = {n.address: "alive" for n in (a, b, c)}
    for n in (a, b, c):
        await n.until_members(every)
    return a, b, c


async def moved_on_exit(asking, leaving):
    """`asking` writes a key that `leaving` owns; once `leaving` has exited normally, `asking` still answers the key
    with its last state, from a node that is still there."""
    key = await asking.key_of("register", leaving.address)
    assert await asking.ask("register", key, put=7) == [7, leaving.address]
    assert await asking.ask("register", key) == [7, leaving.address]
    assert await leaving.exit() == 0
    # An opening read that began while `leaving` was still a replica fails when it goes: the ask was not
    # processed and answers once asked again.
    value, node = await settled(asking, "register", key)
    assert value == 7
    assert node not in (leaving.address, None)
    return key


# --- the harness itself, on nodes outside any cluster -----------------------------------------------------------


@pytest.mark.parametrize("end, status", [("exit", 0), ("raise", 3), ("kill", -signal.SIGKILL), ("orphan", 5)])
async def test_the_harness_drives_a_node_process_and_ends_it_every_way(nodes, end, status):
    node = await nodes.process(standalone=True)
    assert await node.ask("register", "a", put=5) == [5, None]
    await node.tell("register", "a", put=6)
    assert await node.ask("register", "a") == [6, None]
    [member] = await node.members()
    assert member["status"] == "alive" and REGISTER in member["kinds"]
    assert (await node.placement("register", "a"))["owner"] is None
    with pytest.raises(KeyError):
        await node.placement("nobody", "a")
    assert node.heard(event="ActivationStarted", actor=REGISTER, key="a")

    node.pause()
    with pytest.raises(AssertionError, match="did not answer"):
        await node.call("members", timeout=0.3)
    node.resume()
    assert await node.ask("register", "a") == [6, None]

    if end == "kill":
        assert await node.kill() == status
    elif end == "orphan":
        node.process.stdin.close()
        assert await node.wait() == status
    else:
        assert await node.exit(normal=end == "exit") == status
        assert node.heard(event="exited", how=end)


async def test_a_paused_node_is_ended_by_the_finalizer():
    made = Nodes()
    node = await made.process(standalone=True)
    node.pause()
    await made.close()
    assert node.process.returncode == -signal.SIGKILL


# --- two members -------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("nodes", ["plain", "tls"], indirect=True)
async def test_two_members_route_replicate_and_hand_over_on_a_normal_exit(nodes):
    a, b = await pair(nodes)
    await a.hear(event="MemberChanged", address=b.address, status="alive")
    # The second member took its ranges of the type from the first as it joined; with the hand-off over, both
    # keep every key.
    started = await b.hear(event="HandoffStarted", actor=REGISTER, direction="in")
    ended = await b.hear(event="HandoffEnded", actor=REGISTER, direction="in")
    assert b.events.index(started) < b.events.index(ended)
    placed = await a.placement("register", await a.key_of("register", b.address))
    assert placed["owner"] == b.address and set(placed["nodes"]) == {a.address, b.address}

    await moved_on_exit(a, b)
    assert b.heard(event="exited", how="exit")
    await a.hear(event="MemberChanged", address=b.address, status="left")
    # A normal exit is a departure the others are told of, not a failure they detect.
    assert not a.heard(lambda e: e["status"] in ("suspect", "dead"), event="MemberChanged", address=b.address)
    assert all(m["status"] != "alive" for m in await a.members() if m["address"] == b.address)


async def settled(node, kind, key, put=None):
    """The answer to `key`, asking again while the cluster has not yet settled on its new owner."""
    return await eventually(lambda: node.ask(kind, key, put=put), f"{kind}/{key} answering", retry=(Unavailable,))


@pytest.mark.parametrize("end", ["raise", "kill"])
async def test_a_write_at_majority_outlives_its_owner_leaving_at_once(nodes, end):
    a, b, c = await trio(nodes)
    key = await a.key_of("register", b.address)
    assert await a.ask("register", key, put=11) == [11, b.address]
    if end == "kill":
        assert await b.kill() == -signal.SIGKILL
    else:
        assert await b.exit(normal=False) == 3
        assert b.heard(event="exited", how="raise")
    # A majority of the replicas confirmed the write, so the members left behind answer with it once one of them
    # owns the key.
    value, node = await settled(a, "register", key)
    assert value == 11 and node in (a.address, c.address)
    await a.hear(lambda e: e["status"] in ("suspect", "dead", "left"), event="MemberChanged", address=b.address)


@pytest.mark.parametrize("kind, kept", [("register_one", True), ("register", False), ("register_all", False)])
async def test_what_each_write_level_needs_of_the_replicas(nodes, kind, kept):
    a, b = await pair(nodes, periods=PATIENT, write_timeout=1.0)
    key = await a.key_of(kind, a.address)
    assert await a.ask(kind, key, put=1) == [1, a.address]

    # With the other replica silent, a write at "one" is confirmed by the owner's own copy; "majority" and "all"
    # need the silent one too, and fail once the write timeout has passed.
    b.pause()
    if kept:
        assert await a.ask(kind, key, put=2) == [2, a.address]
    else:
        with pytest.raises(Unavailable):
            await a.ask(kind, key, put=2)
    b.resume()

    assert await settled(a, kind, key, put=3) == [3, a.address]
    assert await b.ask(kind, key) == [3, a.address]


async def test_a_member_removed_after_a_pause_joins_again(nodes):
    # Only a majority of members alive removes one, so it takes three.
    a, b, c = await trio(nodes)
    key = await a.key_of("register", c.address)
    assert await a.ask("register", key, put=5) == [5, c.address]
    first = c.node["incarnation"]

    c.pause()
    await a.hear(event="MemberChanged", address=c.address, status="left")
    value, node = await settled(a, "register", key)
    assert value == 5 and node in (a.address, b.address)
    c.resume()

    # It finds itself removed, leaves at once and joins again as a new incarnation at the same address.
    await a.hear(lambda e: e["node"]["incarnation"] != first, event="MemberChanged", address=c.address,
                 status="alive")
    every = {n.address: "alive" for n in (a, b, c)}
    for n in (a, b, c):
        await n.until_members(every)
    now = (await c.call("node"))["incarnation"]
    assert now != first

    async def listed_as_now():
        return any(m["address"] == c.address and m["incarnation"] == now and m["status"] == "alive"
                   for m in await a.members())

    await eventually(listed_as_now, "the first member listing the new incarnation")
    other = await a.key_of("register", c.address, prefix="again")
    assert await a.ask("register", other, put=6) == [6, c.address]
    value, _ = await settled(a, "register", key)
    assert value == 5


async def test_asks_to_a_stopped_cluster_fail_with_unavailable(nodes):
    a, b = await pair(nodes)
    client = await nodes.client([a.address])
    await client.until_members({a.address: "alive", b.address: "alive"})
    value, node = await client.ask("register", "c", put=4)
    assert value == 4 and node in (a.address, b.address)

    assert await b.exit() == 0
    assert await a.exit() == 0
    with pytest.raises(Unavailable):
        await client.ask("register", "c", timeout=30)

    # An ask still waiting when the client leaves fails the same way, at once.
    pending = asyncio.ensure_future(client.ask("register", "d", timeout=30))
    await asyncio.sleep(0.1)
    await client.exit()
    with pytest.raises(Unavailable):
        await asyncio.wait_for(pending, 5)


# --- systems sharing one process ----------------------------------------------------------------------------------


async def test_three_systems_in_one_process_on_one_runtime_behave_like_three_processes(nodes):
    runtime = _vorel.Runtime(threads=2)
    first = await nodes.local(runtime=runtime)
    second = await nodes.local(seeds=[first.address], runtime=runtime)
    third = await nodes.local(seeds=[first.address], runtime=runtime)
    every = {n.address: "alive" for n in (first, second, third)}
    for n in (first, second, third):
        await n.until_members(every)

    key = await moved_on_exit(first, third)
    # The one that left stopped only its own node: the others still answer, each for the keys it owns.
    value, _ = await second.ask("register", key)
    assert value == 7
    await first.exit()
    await second.exit()
    await eventually(lambda: runtime._tasks() == 0, "the runtime ending its tasks")


# --- who may join --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "who, refusals",
    [
        ("stranger", (Refused, TimeoutError)),
        ("without tls", (Refused, TimeoutError)),
        ("another name", (Refused,)),
    ],
)
async def test_a_node_the_cluster_does_not_trust_never_joins(pki, who, refusals):
    nodes = Nodes(tls=pki.node())
    try:
        a = await nodes.process()
        config = {
            "stranger": {"tls": pki.stranger()},
            "without tls": {"tls": None},
            "another name": {"name": "other"},
        }[who]
        with pytest.raises(refusals):
            await nodes.process(seeds=[a.address], enter_timeout=3.0, **config)
        assert [m["address"] for m in await a.members()] == [a.address]
        assert not a.heard(lambda e: e["address"] != a.address, event="MemberChanged")
    finally:
        await nodes.close()


async def test_cancelling_an_entry_whose_seeds_never_answer_stops_the_node():
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen()
    runtime = _vorel.Runtime(threads=1)
    port = free_ports(1)[0]
    system = ActorSystem(cluster=cluster(f"127.0.0.1:{port}", ["127.0.0.1:%d" % silent.getsockname()[1]]),
                         runtime=runtime)
    try:
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(system.__aenter__(), 1.0)
        with pytest.raises(RuntimeError, match="^the system has not started$"):
            system.node
        await eventually(lambda: runtime._tasks() == 0, "the runtime ending its tasks")
        # Its listener is gone with it.
        with socket.socket() as again:
            again.bind(("127.0.0.1", port))
    finally:
        silent.close()


def test_fencing_stays_inside():
    assert not hasattr(vorel, "Fencing")
    assert "Fencing" not in vars(_vorel)


# --- the example ---------------------------------------------------------------------------------------------------


def test_the_example_starts_a_cluster_of_three_asks_across_it_and_stops():
    example = pathlib.Path(__file__).parents[2] / "examples" / "cluster.py"
    done = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=100)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert sum(line.endswith(" joined") for line in lines) == 3
    assert sum(line.endswith(" left") for line in lines) == 3
    [members] = [line for line in lines if line.startswith("members: ")]
    assert members.count(" alive") == 3
    for name in ("apples", "pears", "plums"):
        [line] = [line for line in lines if line.startswith(f"{name}: ")]
        # The key was counted on the node that placement names as its owner.
        assert re.fullmatch(rf"{name}: 5, counted on (127\.0\.0\.1:\d+) \(placement says \1\)", line), line
