"""The saves of a type with durable="write" against store objects that answer at once, after a wait,
through a future, or not at all: what the writer sees, and what the store sees."""

import asyncio
import contextvars
import gc
import weakref
from dataclasses import dataclass
from datetime import timedelta

import pytest
from support import runner, until

from vorel import ActorSystem, Context, Ref, Unavailable, actor, nobody

pytestmark = pytest.mark.timeout(20)

run = runner(10.0)


@dataclass(frozen=True)
class Put:
    n: int
    reply_to: Ref[str]


@dataclass(frozen=True)
class Burst:
    values: tuple[int, ...]
    reply_to: Ref[str]


@dataclass(frozen=True)
class Look:
    reply_to: Ref[str]


@dataclass(frozen=True)
class Var:
    reply_to: Ref[str]


@actor(initial=0, durable="write", write_timeout=timedelta(seconds=0.5))
async def kept(ctx: Context[int, Put | Burst | Look | Var]):
    async for m in ctx.inbox:
        if isinstance(m, Put):
            written = ctx.state.set(m.n)
            # Read between the write and its confirmation: still the confirmed value.
            before = ctx.state.value
            try:
                await written
            except Unavailable as e:
                m.reply_to.tell(f"failed {before} {ctx.state.value}: {e}")
                continue
            m.reply_to.tell(f"kept {before} {ctx.state.value}")
        elif isinstance(m, Burst):
            # Every write handed over before any is awaited: nothing orders them but the road.
            writes = [ctx.state.set(n) for n in m.values]
            outcomes = await asyncio.gather(*writes, return_exceptions=True)
            m.reply_to.tell(" ".join("failed" if isinstance(o, Exception) else "kept" for o in outcomes))
        elif isinstance(m, Var):
            m.reply_to.tell(VAR.get())
        else:
            m.reply_to.tell(str(ctx.state.value))


NAME = kept.name
VAR = contextvars.ContextVar("saves", default="body")


class Store:
    """Keeps records as a store must and logs every save; `how` says how a save answers: at once,
    after a loop turn, through a future it resolves later, or from a plain method. The saves
    numbered in `fail_on` fail; those numbered in `held` wait for `gate` first."""

    def __init__(self, how="at once", fail_on=(), held=()):
        self.how = how
        self.fail_on = set(fail_on)
        self.held = set(held)
        self.records = {}
        self.saves = []
        self.gate = asyncio.Event()
        self.tasks = []
        self.cancelled = 0

    async def load(self, actor, key):
        return self.records.get((actor, key))

    async def drop(self, actor, key, version):
        return None

    def keep(self, actor, key, version, state):
        self.saves.append((version, state))
        if len(self.saves) in self.fail_on:
            raise ConnectionError(f"save {len(self.saves)} refused")
        kept = self.records.get((actor, key))
        if kept is None or kept[0] <= version:
            self.records[(actor, key)] = (version, state)

    def save(self, actor, key, version, state):
        if self.how == "before its awaitable":
            self.keep(actor, key, version, state)
            return _done(None)
        if self.how == "through a future":
            future = asyncio.get_running_loop().create_future()

            def answer():
                try:
                    self.keep(actor, key, version, state)
                except Exception as e:
                    future.set_exception(e)
                else:
                    future.set_result(None)

            asyncio.get_running_loop().call_soon(answer)
            return future
        return self.saving(actor, key, version, state)

    async def saving(self, actor, key, version, state):
        self.tasks.append((asyncio.current_task(), VAR.get()))
        VAR.set("store")
        if len(self.tasks) in self.held:
            try:
                await self.gate.wait()
            except asyncio.CancelledError:
                self.cancelled += 1
                raise
        if self.how == "after a wait":
            await asyncio.sleep(0)
        self.keep(actor, key, version, state)


def _done(value):
    future = asyncio.get_running_loop().create_future()
    future.set_result(value)
    return future


HOWS = ["at once", "after a wait", "through a future", "before its awaitable"]


def asked(store, *messages):
    """The answers to `messages`, asked one after the other of one key, and its state after them."""

    async def main():
        async with ActorSystem(store=store) as system:
            ref = system.ref(kept, "k")
            answers = [await ref.ask(m) for m in messages]
            return answers, await ref.ask(Look(None))

    return run(main())


def assert_saved_in_order(store, count):
    """Every write reached the store once, in the order of its versions, and the last one is kept."""
    versions = [v for v, _ in store.saves]
    assert len(versions) == count and versions == sorted(set(versions))
    assert len({s for _, s in store.saves}) == count
    assert store.records[(NAME, "k")] == store.saves[-1]


@pytest.mark.parametrize("how", HOWS)
def test_a_failing_save_fails_only_its_own_write(how):
    # The key opens on its initial state without a save: save n is the write of the n-th Put.
    store = Store(how, fail_on={2})
    answers, value = asked(store, Put(1, None), Put(2, None), Put(3, None))
    assert answers == [
        "kept 0 1",
        f"failed 1 1: {NAME}/k: the store did not keep the write: ConnectionError: save 2 refused",
        "kept 1 3",
    ]
    assert value == "3"
    assert_saved_in_order(store, 3)


@pytest.mark.parametrize("how", HOWS)
def test_saves_of_one_key_reach_the_store_in_order(how):
    store = Store(how, fail_on={3})
    [outcome], value = asked(store, Burst(tuple(range(1, 7)), None))
    # Only the third write fails, and the last confirmation to arrive is the last write.
    assert outcome == "kept kept failed kept kept kept"
    assert value == "6"
    assert_saved_in_order(store, 6)


def test_a_write_is_not_confirmed_before_the_store_returns():
    store = Store("at once", held={1})

    async def main():
        async with ActorSystem(store=store) as system:
            ref = system.ref(kept, "k")
            asked = asyncio.ensure_future(ref.ask(Put(5, None)))
            await until(lambda: store.saves == [] and len(store.tasks) == 1)
            # The save is under way and does not return: the writer waits, whatever the loop does.
            for _ in range(20):
                await asyncio.sleep(0)
            assert not asked.done()
            store.gate.set()
            answer = await asked
            return answer, await ref.ask(Look(None))

    assert run(main()) == ("kept 0 5", "5")
    assert len(store.saves) == 1


@pytest.mark.parametrize("factory", [False, True])
def test_a_save_runs_in_a_task_and_a_context_of_its_own(factory):
    store = Store("at once")
    made = []

    async def main():
        loop = asyncio.get_running_loop()
        if factory:

            def task_factory(loop, coro, **kwargs):
                made.append(asyncio.Task(coro, loop=loop, **kwargs))
                return made[-1]

            loop.set_task_factory(task_factory)
        async with ActorSystem(store=store) as system:
            ref = system.ref(kept, "k")
            answer = await ref.ask(Put(1, None))
            return answer, await ref.ask(Var(None)), asyncio.current_task()

    answer, var, asker = run(main())
    assert answer == "kept 0 1"
    # What the store set in its context stayed there: the body's context does not see it.
    assert var == "body"
    assert len(store.tasks) == 1
    task, seen = store.tasks[0]
    assert seen == "body" and task is not None and task is not asker and task.done()
    if factory:
        # The loop's own way of making tasks made the store's.
        assert task in made


@pytest.mark.parametrize("where", ["class", "instance"])
def test_a_loop_that_brings_its_own_get_task_factory_is_asked_for_it(where):
    store = Store("at once")
    asked_for = []

    class Loop(asyncio.SelectorEventLoop):
        if where == "class":

            def get_task_factory(self):
                asked_for.append(where)
                return super().get_task_factory()

    async def main():
        loop = asyncio.get_running_loop()
        if where == "instance":
            plain = loop.get_task_factory

            def get_task_factory():
                asked_for.append(where)
                return plain()

            loop.get_task_factory = get_task_factory
        async with ActorSystem(store=store) as system:
            return await system.ref(kept, "k").ask(Put(1, None))

    with asyncio.Runner(loop_factory=Loop) as runner_:
        assert runner_.run(asyncio.wait_for(main(), 10)) == "kept 0 1"
    assert where in asked_for
    assert len(store.saves) == 1


def test_a_save_that_never_answers_fails_its_write_at_the_timeout_and_the_next_one_goes_on():
    store = Store("at once", held={1})
    answers, value = asked(store, Put(1, None), Put(2, None))
    assert answers == [
        f"failed 0 0: {NAME}/k: the store did not keep the write: it did not answer within 0.5 s",
        "kept 0 2",
    ]
    assert value == "2"
    # The call that did not answer was cancelled, as a time limit does.
    assert store.cancelled == 1


def test_a_save_under_way_when_its_loop_closes_is_let_go():
    store = Store("at once", held={1})
    loop = asyncio.new_event_loop()

    async def main():
        system = ActorSystem(store=store)
        await system.__aenter__()
        system.ref(kept, "k").tell(Put(1, nobody()))
        await until(lambda: len(store.tasks) == 1)
        return system

    system = loop.run_until_complete(asyncio.wait_for(main(), 5))
    task = weakref.ref(store.tasks[0][0])
    store.tasks.clear()
    store.gate = None
    # The loop goes with the save still waiting, and the system with it: nothing keeps the task.
    loop.close()
    del system
    gc.collect()
    assert task() is None


@dataclass(frozen=True)
class Note:
    text: str


@actor(initial="")
async def noted(ctx: Context[str, Note | Look]):
    async for m in ctx.inbox:
        if isinstance(m, Note):
            await ctx.state.set(m.text)
        else:
            m.reply_to.tell(ctx.state.value)


class Meddler(Store):
    """A store whose save, before it first waits, calls back into the system that is saving: the
    first step of its call runs while the writer's `state.set` is still under way."""

    def __init__(self, how):
        super().__init__("at once")
        self.meddle = how
        self.system = None
        self.seen = []

    async def saving(self, actor, key, version, state):
        system = self.system
        if self.meddle == "stats":
            self.seen.append(system.stats().writes_confirmed)
        elif self.meddle == "activations":
            self.seen.append(list(system.activations()))
        elif self.meddle == "tell":
            system.ref(noted, "n").tell(Note(f"saving {len(self.saves) + 1}"))
        elif self.meddle == "write another key":
            system.ref(kept, "other").tell(Put(len(self.saves) + 100, nobody()))
        elif self.meddle == "release":
            self.seen.append(asyncio.ensure_future(system.release(kept, key)))
        self.keep(actor, key, version, state)


@pytest.mark.parametrize("how", ["stats", "activations", "tell", "write another key", "release"])
def test_a_store_that_calls_back_into_the_system_while_saving(how):
    store = Meddler(how)

    async def main():
        async with ActorSystem(store=store) as system:
            store.system = system
            ref = system.ref(kept, "k")
            answers = [await ref.ask(Put(n, None)) for n in (1, 2)]
            await until(lambda: all(f.done() for f in store.seen if isinstance(f, asyncio.Future)))
            noted_value = await system.ref(noted, "n").ask(Look(None))
            return answers, await ref.ask(Look(None)), noted_value

    answers, value, noted_value = run(main())
    assert answers[0] == "kept 0 1"
    assert value == "2"
    if how == "tell":
        assert noted_value.startswith("saving ")
    if how in ("stats", "activations", "release"):
        assert len(store.seen) >= 2
