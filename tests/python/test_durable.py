"""Durable types on a system without a cluster: the table first, the store object after."""

import asyncio
from dataclasses import dataclass
from datetime import timedelta

import pytest
from memory_store import MemoryStore
from support import runner, until

from vorel import ActivationFailed, ActorSystem, Backoff, Context, Ref, Unavailable, WriteFailed, actor

pytestmark = pytest.mark.timeout(20)


run = runner(10.0)


@dataclass(frozen=True)
class Add:
    n: int


@dataclass(frozen=True)
class Get:
    reply_to: Ref[int]


@dataclass(frozen=True)
class Drop:
    reply_to: Ref[int]


async def body(ctx: Context[int, Add | Get | Drop]):
    async for m in ctx.inbox:
        if isinstance(m, Add):
            await ctx.state.set(ctx.state.value + m.n)
        elif isinstance(m, Drop):
            await ctx.state.delete()
            m.reply_to.tell(0)
        else:
            m.reply_to.tell(ctx.state.value)


def typed(name, durable, **options):
    # One body, a type of its own for each way of keeping the state.
    async def kept(ctx: Context[int, Add | Get | Drop]):
        await body(ctx)

    kept.__name__ = kept.__qualname__ = name
    t = globals()[name] = actor(initial=0, durable=durable, **options)(kept)
    return t, t.name


class Events:
    def __init__(self):
        self.seen = []

    def __call__(self, event):
        self.seen.append(event)

    def failed(self):
        return [e for e in self.seen if isinstance(e, WriteFailed)]


saver, SAVER = typed("saver", "write", write_timeout=timedelta(seconds=0.3))
batcher, BATCHER = typed("batcher", timedelta(seconds=0.2))
slow_batcher, SLOW_BATCHER = typed("slow_batcher", timedelta(minutes=5), write_timeout=timedelta(seconds=0.3))


def states(store, method="save"):
    return [c[4] for c in store.of(method)]


def test_a_write_type_saves_every_write_and_a_new_system_loads_it():
    store = MemoryStore()

    async def main():
        async with ActorSystem(store=store) as system:
            ref = system.ref(saver, "k")
            ref.tell(Add(2))
            ref.tell(Add(3))
            assert await ref.ask(Get(None)) == 5
        saved = len(store.of("save"))
        async with ActorSystem(store=store) as system:
            value = await system.ref(saver, "k").ask(Get(None))
        return saved, value

    saved, value = run(main())
    assert saved == 2
    assert value == 5
    assert store.of("load") == [("load", SAVER, "k"), ("load", SAVER, "k")]
    versions = [c[3] for c in store.of("save")]
    assert all(len(v) == 32 for v in versions) and versions == sorted(versions)


def test_an_after_type_saves_once_per_period_the_pages_of_then():
    store = MemoryStore()

    async def main():
        async with ActorSystem(store=store) as system:
            ref = system.ref(batcher, "k")
            for n in range(10):
                ref.tell(Add(1))
            assert await ref.ask(Get(None)) == 10
            assert store.of("save") == []
            await until(lambda: store.of("save"))
            return list(store.of("save"))

    saves = run(main())
    assert len(saves) == 1
    assert store.records[(BATCHER, "k")][1] == saves[0][4]


def test_a_graceful_stop_waits_for_the_saves_under_way():
    store = MemoryStore()
    store.delay("save", 0.15)

    async def main():
        async with ActorSystem(store=store, leave_timeout=timedelta(seconds=5)) as system:
            ref = system.ref(slow_batcher, "k")
            ref.tell(Add(7))
            assert await ref.ask(Get(None)) == 7
        # The save planned for minutes later went out at the stop and finished before the exit.
        kept = store.records.get((SLOW_BATCHER, "k"))
        async with ActorSystem(store=store) as system:
            return kept, await system.ref(slow_batcher, "k").ask(Get(None))

    kept, value = run(main())
    assert kept is not None and value == 7


def test_a_store_call_that_hangs_at_the_stop_is_reported_within_the_leave_timeout():
    store = MemoryStore()
    events = Events()

    async def main():
        async with ActorSystem(store=store, observer=events, leave_timeout=timedelta(seconds=2)) as system:
            ref = system.ref(slow_batcher, "k")
            ref.tell(Add(1))
            assert await ref.ask(Get(None)) == 1
            store.delay("save", 60)
            began = asyncio.get_running_loop().time()
        return asyncio.get_running_loop().time() - began

    took = run(main())
    assert took < 2
    reasons = [e.reason for e in events.failed()]
    assert reasons == [f"{SLOW_BATCHER}/k: the store did not keep a write: it did not answer within 0.3 s"]


@pytest.mark.parametrize(
    "failure, text",
    [
        (ConnectionError("refused"), "ConnectionError: refused"),
        (asyncio.CancelledError(), "CancelledError: "),
    ],
)
def test_a_failed_save_of_a_write_type_reaches_the_writer_and_the_observer(failure, text):
    store = MemoryStore()
    events = Events()

    async def main():
        async with ActorSystem(store=store, observer=events) as system:
            ref = system.ref(saver, "k")
            assert await ref.ask(Get(None)) == 0
            store.fail("save", failure, times=1)
            ref.tell(Add(1))
            # The failed write fails the body's await, and the body restarts from the table.
            await until(lambda: any(isinstance(e, ActivationFailed) for e in events.seen))
            return await ref.ask(Get(None))

    run(main())
    reason = f"{SAVER}/k: the store did not keep the write: {text}"
    # The writer's await failed with the same text, which ended its run.
    raised = [e.error for e in events.seen if isinstance(e, ActivationFailed)]
    assert [(type(e), str(e)) for e in raised] == [(Unavailable, reason)]
    failed = events.failed()
    assert [(e.actor, e.key, e.operation, e.kind, e.reason) for e in failed] == [
        (SAVER, "k", "write", "unavailable", reason)
    ]


LOAD_ANSWERS = [
    (lambda: ConnectionError("down"), "ConnectionError: down"),
    (lambda: [bytes(32), None], None),
    (lambda: (bytes(31), None), "load answered a record this version of vorel cannot read: "
                                "the payload ends in the middle of a value"),
    (lambda: (bytes(32), 5), None),
]


@pytest.mark.parametrize("answer, text", LOAD_ANSWERS)
def test_a_load_that_fails_or_answers_badly_refuses_the_key(answer, text):
    events = Events()
    made = answer()

    class Bad(MemoryStore):
        async def load(self, actor, key):
            if isinstance(made, Exception):
                raise made
            return made

    async def main():
        async with ActorSystem(store=Bad(), observer=events) as system:
            with pytest.raises(Unavailable) as raised:
                await system.ref(saver, "k").ask(Get(None))
            return str(raised.value)

    run(main())
    expected = text or (
        f"load answered {made}, which is neither None nor a (version: bytes, state: bytes | None) pair"
    )
    reason = f"{SAVER}/k: the store could not be read: {expected}"
    assert [(e.operation, e.reason) for e in events.failed()] == [("activate", reason)]


def test_a_load_that_does_not_answer_in_time_and_a_method_that_is_not_async():
    events = Events()

    class Odd(MemoryStore):
        def load(self, actor, key):
            return None

    class Slow(MemoryStore):
        async def load(self, actor, key):
            await asyncio.sleep(60)

    async def main():
        for store in (Odd(), Slow()):
            async with ActorSystem(store=store, observer=events) as system:
                with pytest.raises(Unavailable):
                    await system.ref(saver, "k").ask(Get(None))

    run(main())
    reasons = [e.reason for e in events.failed()]
    assert len(reasons) == 2
    assert reasons[0].startswith(f"{SAVER}/k: the store could not be read: TypeError: ")
    assert reasons[1] == f"{SAVER}/k: the store could not be read: it did not answer within 0.3 s"


def test_a_durable_type_without_a_store_says_so():
    events = Events()

    async def main():
        async with ActorSystem(observer=events) as system:
            with pytest.raises(Unavailable):
                await system.ref(saver, "k").ask(Get(None))

    run(main())
    assert [e.reason for e in events.failed()] == [
        f"{SAVER}/k: the store could not be read: this system has no store, which a durable type needs: "
        "pass store= to its ActorSystem"
    ]


def test_a_deletion_is_saved_at_once_and_dropped_after_the_leave_timeout():
    store = MemoryStore()

    async def main():
        async with ActorSystem(store=store, leave_timeout=timedelta(seconds=0.2)) as system:
            ref = system.ref(saver, "k")
            ref.tell(Add(4))
            await ref.ask(Drop(None))
            saved = store.of("save")[-1]
            assert saved[4] is None
            assert (SAVER, "k") in store.records
            await until(lambda: store.of("drop"))
            return saved

    saved = run(main())
    assert store.of("drop") == [("drop", SAVER, "k", saved[3])]
    assert (SAVER, "k") not in store.records


def test_a_failed_drop_is_retried_with_the_backoff_and_reported():
    store = MemoryStore()
    store.fail("drop", ConnectionError("refused"), times=3)
    events = Events()
    backoff = Backoff(timedelta(seconds=0.1), timedelta(seconds=1), 2.0)

    async def main():
        async with ActorSystem(
            store=store, observer=events, leave_timeout=timedelta(0), backoff=backoff
        ) as system:
            ref = system.ref(saver, "k")
            ref.tell(Add(4))
            await ref.ask(Drop(None))
            await asyncio.sleep(0.25)
            early = len(store.of("drop"))
            await until(lambda: len(store.of("drop")) == 4)
            return early

    early = run(main())
    # Drops at 0, 0.1, 0.3 and 0.7 s: not a tight loop, and on until one succeeds.
    assert early <= 3
    assert len(store.of("drop")) == 4
    assert (SAVER, "k") not in store.records
    reasons = [e.reason for e in events.failed()]
    assert reasons == [f"{SAVER}/k: the store did not forget the deletion: ConnectionError: refused"] * 3


KEPT = {}


@actor(initial=0, durable="write")
async def keeper(ctx: Context[int, Add | Get | Drop]):
    KEPT.setdefault(ctx.key, []).append(ctx)
    await body(ctx)


def _done(value):
    future = asyncio.get_running_loop().create_future()
    future.set_result(value)
    return future


STALE = {
    "set": lambda ctx: ctx.state.set(9),
    "update": lambda ctx: ctx.state.update(lambda v: v + 9),
    "delete": lambda ctx: ctx.state.delete(),
    "schedule": lambda ctx: ctx.schedule("s", timedelta(0), None, Add(9)),
    "to_self": lambda ctx: ctx.to_self(_done(Add(9))),
    "ask": lambda ctx: ctx.ask(ctx.self, Get(None), Add),
    "become": lambda ctx: ctx.become(saver, 9),
}


@pytest.mark.parametrize("name", STALE)
def test_a_context_kept_past_its_run_refuses_to_act_and_writes_nothing(name):
    async def main():
        store = MemoryStore()
        async with ActorSystem(store=store) as system:
            ref = system.ref(keeper, name)
            ref.tell(Add(1))
            assert await ref.ask(Get(None)) == 1
            assert await system.release(keeper, name) is True
            assert await ref.ask(Get(None)) == 1  # a later run holds the key now
            stale = KEPT[name][0]
            saves = len(store.of("save"))
            with pytest.raises(RuntimeError, match=f"keeper/{name}: this context belongs to a run of the body that has ended"):
                STALE[name](stale)
            assert await ref.ask(Get(None)) == 1
            assert len(store.of("save")) == saves
            assert len(KEPT[name]) == 2

    run(main())


@pytest.mark.parametrize("kind", [SAVER, BATCHER])
def test_a_durable_key_let_go_after_its_save_lives_in_the_store_alone(kind):
    t = globals()[kind.rpartition(":")[2]]

    async def main():
        store = MemoryStore()
        async with ActorSystem(store=store) as system:
            ref = system.ref(t, "gone")
            ref.tell(Add(4))
            assert await ref.ask(Get(None)) == 4
            assert await system.release(t, "gone") is True
            await until(lambda: (kind, "gone") in store.records and len(store.of("save")) >= 1)
            # The node kept no copy: the next activation loads the key from the store again.
            assert await ref.ask(Get(None)) == 4
            return [c for c in store.of("load") if c[1:] == (kind, "gone")]

    assert len(run(main())) == 2
