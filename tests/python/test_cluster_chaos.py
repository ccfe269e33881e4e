"""Three members under a steady load of "majority" writes and reads from a client, while one of them is killed
with SIGKILL and started again every few seconds. Afterwards every write whose ask was answered is still there, and
no two owners of a key ever took writes of it at once.

Each key is a ledger: a write appends the next number of the key's own sequence and is answered with the whole
history and the node that answered. Two owners taking writes of one key at once would confirm two histories
neither of which is a prefix of the other; an owner answering from an old copy would answer a read without a write
confirmed before the read was sent. Every answer is checked against the key's final history.

VOREL_CHAOS_SECONDS sets how long the members are killed and restarted (30 s unless set), VOREL_CHAOS_EVERY the
period between kills (4 s).
"""

import asyncio
import collections
import os
import random
import signal
import time
from dataclasses import dataclass, field

import pytest
from cluster_support import Nodes, answered, eventually, ledger, message

DURATION = float(os.environ.get("VOREL_CHAOS_SECONDS", "30"))
EVERY = float(os.environ.get("VOREL_CHAOS_EVERY", "4"))
KEYS = 12
READERS = 4
ASK_TIMEOUT = 5.0

pytestmark = pytest.mark.timeout(DURATION + 180)


@pytest.fixture
async def nodes():
    made = Nodes()
    yield made
    await made.close()


class Unanswered(Exception):
    """An ask neither answered nor failed well past its own timeout."""


async def asked(client, key: str, put: int | None = None) -> tuple[tuple, str]:
    task = asyncio.ensure_future(client.system.ref(ledger, key).ask(message("ledger", put, None)))
    done, _ = await asyncio.wait({task}, timeout=ASK_TIMEOUT * 4)
    if not done:
        task.cancel()
        raise Unanswered(f"{key}: no answer nor failure within {ASK_TIMEOUT * 4} s")
    history, node = answered(task.result())
    return tuple(history), node


@dataclass
class Figures:
    # key -> [(number, history answered, node)] of the writes whose ask was answered
    confirmed: dict = field(default_factory=lambda: collections.defaultdict(list))
    # (key, numbers confirmed when the read was sent, history answered, node)
    reads: list = field(default_factory=list)
    failed: collections.Counter = field(default_factory=collections.Counter)
    kills: int = 0


async def writer(client, key: str, figures: Figures, stop: asyncio.Event) -> None:
    n = 0
    while not stop.is_set():
        n += 1
        try:
            history, node = await asked(client, key, put=n)
        except Exception as e:  # every failure is counted by its class; the write may or may not have been kept
            figures.failed[f"write {type(e).__name__}"] += 1
            await asyncio.sleep(0.05)
            continue
        figures.confirmed[key].append((n, history, node))


async def reader(client, figures: Figures, stop: asyncio.Event, seed: int) -> None:
    pick = random.Random(seed)
    while not stop.is_set():
        key = f"k{pick.randrange(KEYS)}"
        before = {n for n, _, _ in figures.confirmed[key]}
        try:
            history, node = await asked(client, key)
        except Exception as e:
            figures.failed[f"read {type(e).__name__}"] += 1
            await asyncio.sleep(0.05)
            continue
        figures.reads.append((key, before, history, node))


async def chaos(nodes, victim, seeds: list[str], figures: Figures):
    """Kills the victim and starts it again at its address every EVERY seconds, for DURATION seconds."""
    loop = asyncio.get_running_loop()
    end = loop.time() + DURATION
    address = victim.address
    while loop.time() < end:
        await asyncio.sleep(EVERY)
        assert await victim.kill() == -signal.SIGKILL
        figures.kills += 1
        await asyncio.sleep(EVERY / 4)
        victim = await nodes.process(bind=address, seeds=seeds)
    return victim


def is_prefix(part: tuple, whole: tuple) -> bool:
    return whole[: len(part)] == part


async def test_confirmed_writes_survive_a_member_killed_and_restarted_over_and_over(nodes, capsys):
    a = await nodes.process()
    b = await nodes.process(seeds=[a.address])
    c = await nodes.process(seeds=[a.address, b.address])
    everyone = {n.address: "alive" for n in (a, b, c)}
    for n in (a, b, c):
        await n.until_members(everyone)
    client = await nodes.client([a.address], ask_timeout=ASK_TIMEOUT)
    await client.until_members(everyone)

    figures = Figures()
    stop = asyncio.Event()
    started = time.monotonic()
    load = [asyncio.ensure_future(writer(client, f"k{i}", figures, stop)) for i in range(KEYS)]
    load += [asyncio.ensure_future(reader(client, figures, stop, i)) for i in range(READERS)]
    try:
        c = await chaos(nodes, c, [a.address, b.address], figures)
    finally:
        stop.set()
        await asyncio.wait_for(asyncio.gather(*load), ASK_TIMEOUT * 5)
    loaded = time.monotonic() - started

    for n in (a, b, c):
        await n.until_members(everyone, timeout=30)
    final = {}
    for i in range(KEYS):
        key = f"k{i}"
        final[key], _ = await eventually(lambda key=key: asked(client, key), f"reading {key} at the end",
                                         timeout=60, retry=(Exception,))

    confirmed = sum(len(v) for v in figures.confirmed.values())
    lost = [(key, n) for key, writes in figures.confirmed.items() for n, _, _ in writes if n not in final[key]]
    disordered = [key for key, history in final.items() if list(history) != sorted(set(history))]
    conflicting = [(key, n, node) for key, writes in figures.confirmed.items() for n, history, node in writes
                   if not is_prefix(history, final[key])]
    stale = [(key, node) for key, before, history, node in figures.reads
             if not is_prefix(history, final[key]) or not before <= set(history)]
    owners = collections.Counter(node for writes in figures.confirmed.values() for _, _, node in writes)
    with capsys.disabled():
        print(f"\nchaos: {loaded:.0f} s of load, {figures.kills} kills (SIGKILL) of {c.address}, every {EVERY} s")
        print(f"chaos: writes confirmed {confirmed}, writes lost {len(lost)}, reads answered {len(figures.reads)}")
        print(f"chaos: conflicting histories {len(conflicting)}, stale reads {len(stale)}, "
              f"out of order {len(disordered)}")
        print(f"chaos: asks failed by exception class {dict(sorted(figures.failed.items()))}")
        print(f"chaos: writes confirmed by node {dict(owners)}")

    assert figures.kills >= 1
    assert confirmed > 0
    assert lost == []
    assert disordered == []
    assert conflicting == []
    assert stale == []
    assert figures.failed["write Unanswered"] == figures.failed["read Unanswered"] == 0
