"""A key's messages to itself: made, listed, replaced, cancelled, kept across activations."""

import asyncio
import random
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone

import ormsgpack
import pytest
from memory_store import MemoryStore
from support import runner

from vorel import ActorSystem, Context, Ref, Schedule, SchemaError, Unavailable, actor

pytestmark = pytest.mark.timeout(20)

SECOND = timedelta(seconds=1)


run = runner(10.0)


@dataclass(frozen=True)
class Tick:
    n: int


@dataclass(frozen=True)
class Make:
    name: str
    delay: float
    every: float | None
    n: int
    reply_to: Ref[tuple[str, float | None, float]]


@dataclass(frozen=True)
class Cancel:
    name: str
    reply_to: Ref[bool]


@dataclass(frozen=True)
class Ticks:
    reply_to: Ref[tuple[int, ...]]


@dataclass(frozen=True)
class Names:
    reply_to: Ref[tuple[str, ...]]


@dataclass(frozen=True)
class Wipe:
    reply_to: Ref[tuple[str, ...]]


Msg = Tick | Make | Cancel | Ticks | Names | Wipe
TICKS: dict[str, list[int]] = {}
KEPT: dict[str, list] = {}


def seconds(x):
    return None if x is None else timedelta(seconds=x)


async def keeper(ctx: Context[int, Msg]):
    async for m in ctx.inbox:
        if isinstance(m, Tick):
            TICKS.setdefault(ctx.key, []).append(m.n)
        elif isinstance(m, Make):
            try:
                made = await ctx.schedule(m.name, seconds(m.delay), seconds(m.every), Tick(m.n))
            except Unavailable:
                m.reply_to.tell(("failed", None, 0.0))
                continue
            KEPT.setdefault(ctx.key, []).append(made)
            every = None if made.interval is None else made.interval.total_seconds()
            m.reply_to.tell((made.name, every, made.due.timestamp()))
        elif isinstance(m, Cancel):
            live = ctx.schedules
            if m.name in live:
                assert await live[m.name].cancel() is None
            m.reply_to.tell(m.name in live)
        elif isinstance(m, Ticks):
            m.reply_to.tell(tuple(TICKS.get(ctx.key, [])))
        elif isinstance(m, Names):
            m.reply_to.tell(tuple(ctx.schedules))
        else:
            await ctx.state.delete()
            m.reply_to.tell(tuple(ctx.schedules))


scheduler = actor(initial=0)(keeper)
durable_scheduler = actor(initial=0, durable="write", write_timeout=SECOND)(keeper)


async def until(ref, count, limit=3.0):
    for _ in range(int(limit / 0.02)):
        ticks = await ref.ask(Ticks(None))
        if len(ticks) >= count:
            return ticks
        await asyncio.sleep(0.02)
    return await ref.ask(Ticks(None))


def test_a_schedule_goes_off_once_and_is_over():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(scheduler, "once")
            name, every, due = await ref.ask(Make("a", 0.05, None, 1, None))
            assert (name, every) == ("a", None)
            assert abs(due - datetime.now(timezone.utc).timestamp()) < 1
            assert await ref.ask(Names(None)) == ("a",)
            ticks = await until(ref, 1)
            await asyncio.sleep(0.1)
            return ticks, await ref.ask(Names(None)), KEPT["once"][0]

    ticks, names, made = run(main())
    assert ticks == (1,)
    assert names == ()
    assert made.due is None and made.message == Tick(1) and isinstance(made, Schedule)


def test_an_interval_repeats_until_cancelled():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(scheduler, "every")
            name, every, _ = await ref.ask(Make("b", 0, 0.05, 2, None))
            assert every == 0.05
            await until(ref, 3)
            assert await ref.ask(Cancel("b", None)) is True
            after = len(await ref.ask(Ticks(None)))
            await asyncio.sleep(0.2)
            assert len(await ref.ask(Ticks(None))) == after
            assert await ref.ask(Cancel("b", None)) is False
            # An over schedule's cancel resolves at once.
            assert await KEPT["every"][0].cancel() is None

    run(main())


def test_a_schedule_of_the_same_name_takes_the_place_of_the_old_one():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(scheduler, "same")
            await ref.ask(Make("x", 60, None, 1, None))
            await ref.ask(Make("y", 60, None, 2, None))
            await ref.ask(Make("x", 0.05, None, 3, None))
            assert await ref.ask(Names(None)) == ("y", "x")
            ticks = await until(ref, 1)
            first, second = KEPT["same"][0], KEPT["same"][2]
            return ticks, first.due, second.due

    ticks, old_due, new_due = run(main())
    assert ticks == (3,)
    assert old_due is None and new_due is None


def test_schedules_survive_deactivation_and_go_off_when_the_key_opens_again():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(scheduler, "back")
            await ref.ask(Make("later", 0.2, None, 5, None))
            await ref.ask(Make("often", 0.1, 0.1, 6, None))
            assert await system.release(scheduler, "back") is True
            old = KEPT["back"][0]
            with pytest.raises(RuntimeError) as raised:
                old.cancel()
            assert str(raised.value) == f"the activation of {scheduler.name}/back is over, and its schedules with it"
            await asyncio.sleep(0.4)
            # Nothing went off while the key was away; both go off once it is back, the missed
            # repeats not made up.
            assert TICKS.get("back", []) == []
            assert await ref.ask(Names(None)) == ("later", "often")
            ticks = await until(ref, 2)
            return ticks

    ticks = run(main())
    assert sorted(ticks[:2]) == [5, 6]


def test_deleting_the_state_drops_every_schedule():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(scheduler, "wipe")
            await ref.ask(Make("w", 60, 60, 1, None))
            names = await ref.ask(Wipe(None))
            return names, KEPT["wipe"][0].due

    assert run(main()) == ((), None)


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((5, SECOND, None, Tick(1)), TypeError, "name is 5, not a str"),
        (("n", timedelta(seconds=-1), None, Tick(1)), ValueError, "delay is -1 day, 23:59:59, which is negative"),
        (("n", SECOND, timedelta(0), Tick(1)), ValueError, "interval is 0:00:00, which is not positive"),
        (("n", SECOND, -SECOND, Tick(1)), ValueError, "interval is -1 day, 23:59:59, which is negative"),
        (("n", 1.0, None, Tick(1)), TypeError, None),
        (("n", SECOND, None, "not a message"), SchemaError, None),
    ],
)
def test_schedule_refuses_bad_arguments(args, error, text):
    seen = []

    @actor(initial=0)
    async def checker(ctx: Context[int, Names]):
        async for m in ctx.inbox:
            try:
                ctx.schedule(*args)
            except Exception as e:
                seen.append(e)
            m.reply_to.tell(tuple(ctx.schedules))

    async def main():
        async with ActorSystem() as system:
            return await system.ref(checker, "c").ask(Names(None))

    assert run(main()) == ()
    assert len(seen) == 1 and type(seen[0]) is error
    if text is not None:
        assert str(seen[0]) == text


def test_a_replacing_schedule_whose_write_fails_leaves_the_old_one_live():
    store = MemoryStore()

    async def main():
        async with ActorSystem(store=store) as system:
            ref = system.ref(durable_scheduler, "r")
            await ref.ask(Make("r", 0.3, None, 1, None))
            store.fail("save", ConnectionError("refused"), times=1)
            assert (await ref.ask(Make("r", 60, None, 2, None)))[0] == "failed"
            # Memory agrees with what was kept: the old schedule is live and still goes off.
            assert await ref.ask(Names(None)) == ("r",)
            ticks = await until(ref, 1)
            return ticks, KEPT["r"][0].due

    ticks, due = run(main())
    assert ticks == (1,)
    assert due is None


def test_schedule_is_generic_and_made_only_by_a_context():
    assert Schedule[Tick].__origin__ is Schedule
    assert Schedule[Tick].__args__ == (Tick,)
    with pytest.raises(TypeError):
        Schedule()


@dataclass(frozen=True)
class Churn:
    count: int
    reply_to: Ref[tuple[tuple[str, int, float, float | None], ...]]


@dataclass(frozen=True)
class Listed:
    reply_to: Ref[tuple[tuple[str, int, float, float | None], ...]]


def listing(ctx) -> tuple[tuple[str, int, float, float | None], ...]:
    return tuple(
        (name, s.message.n, s.due.timestamp(), s.interval and s.interval.total_seconds())
        for name, s in ctx.schedules.items()
    )


async def churner(ctx: Context[int, Churn | Listed | Ticks | Tick]):
    async for m in ctx.inbox:
        if isinstance(m, Churn):
            hour = timedelta(hours=1)
            for i in range(m.count):
                await ctx.schedule(f"s{i}", hour, None if i % 2 else hour, Tick(i))
                if i % 7 == 3:
                    # The same name again: the old one leaves, the new one is last.
                    await ctx.schedule(f"s{i - 2}", hour, None, Tick(-i))
                if i % 5 == 4:
                    await ctx.schedules[f"s{i - 4}"].cancel()
            made = listing(ctx)
            await ctx.schedule("soon", timedelta(0), None, Tick(10**6))
            m.reply_to.tell(made)
        elif isinstance(m, Listed):
            m.reply_to.tell(listing(ctx))
        elif isinstance(m, Ticks):
            m.reply_to.tell(tuple(TICKS.get(ctx.key, [])))
        else:
            TICKS.setdefault(ctx.key, []).append(m.n)


churning = actor(initial=0)(churner)
durable_churning = actor(initial=0, durable="write")(churner)


def expected_churn(count: int) -> list[tuple[str, int]]:
    """The live schedules after `Churn(count)`, made by the rules of a key's schedules: a name made
    again leaves its place and goes last, a cancelled one is gone."""
    live: dict[str, int] = {}
    for i in range(count):
        live.pop(f"s{i}", None)
        live[f"s{i}"] = i
        if i % 7 == 3:
            live.pop(f"s{i - 2}", None)
            live[f"s{i - 2}"] = -i
        if i % 5 == 4:
            live.pop(f"s{i - 4}", None)
    return list(live.items())


@pytest.mark.parametrize("durable", [False, True], ids=["released", "stored"])
def test_thousands_of_schedules_keep_their_order_and_come_back_whole(durable):
    count = 3000
    store = MemoryStore()
    kind = durable_churning if durable else churning
    key = f"many-{durable}"

    async def main():
        async with ActorSystem(store=store if durable else None) as system:
            ref = system.ref(kind, key)
            made = await ref.ask(Churn(count, None))
            # One more, due at once, goes off among thousands that are not due and leaves them be.
            assert await until(ref, 1) == (10**6,)
            assert await ref.ask(Listed(None)) == made
            if durable:
                return made, None
            assert await system.release(kind, key) is True
            return made, await ref.ask(Listed(None))

    made, back = run(main(), 30.0)
    assert [(name, n) for name, n, _, _ in made] == expected_churn(count)
    assert all(every == (None if n % 2 or n < 0 else 3600.0) for _, n, _, every in made)
    if durable:

        async def again():
            async with ActorSystem(store=store) as system:
                return await system.ref(kind, key).ask(Listed(None))

        back = run(again(), 30.0)
    assert back == made


@dataclass(frozen=True)
class Padded:
    n: int
    pad: bytes


@dataclass(frozen=True)
class Shuffle:
    seed: int
    count: int
    reply_to: Ref[tuple[tuple[str, int], ...]]


@dataclass(frozen=True)
class Held:
    reply_to: Ref[tuple[tuple[str, int], ...]]


class CheckingStore(MemoryStore):
    """Checks every saved "@schedules" page against a fresh encoding of the schedules it holds, and
    keeps only the last one."""

    def __init__(self):
        super().__init__()
        self.saved = 0
        self.last = None

    async def save(self, actor, key, version, state):
        if state is not None:
            pages = dict(ormsgpack.unpackb(state)[1]["pages"])
            page = pages.get("@schedules")
            if page is not None:
                record = ormsgpack.unpackb(page)
                assert ormsgpack.packb(record) == page
                self.last = [(s["name"], s["message"]) for s in record[1]["schedules"]]
                self.saved += 1
        await super().save(actor, key, version, state)
        self.calls.clear()


CHECKING = CheckingStore()


def held(ctx) -> tuple[tuple[str, int], ...]:
    return tuple((name, s.message.n) for name, s in ctx.schedules.items())


@actor(initial=0, durable="write")
async def shuffler(ctx: Context[int, Shuffle | Held | Padded]):
    async for m in ctx.inbox:
        if isinstance(m, Held):
            m.reply_to.tell(held(ctx))
        elif isinstance(m, Shuffle):
            rng = random.Random(m.seed)
            hour = timedelta(hours=1)
            for i in range(m.count):
                names = list(ctx.schedules)
                pick = rng.random()
                message = Padded(i, bytes(rng.randrange(1000)))
                if pick < 0.45 or not names:
                    await ctx.schedule(f"s{i}", hour, None if i % 3 else hour, message)
                elif pick < 0.65:
                    await ctx.schedule(rng.choice(names), hour, None, message)
                elif pick < 0.85:
                    await ctx.schedules[rng.choice(names)].cancel()
                else:
                    # The write of a replacement fails: the replaced one stays where it was.
                    CHECKING.fail("save", ConnectionError("refused"), times=1)
                    with pytest.raises(Unavailable):
                        await ctx.schedule(rng.choice(names), hour, None, message)
            m.reply_to.tell(held(ctx))


def expected_shuffle(seed: int, count: int) -> list[tuple[str, int]]:
    """The live schedules after `Shuffle(seed, count)` by the rules of a key's schedules: a name made
    again leaves its place and goes last, a cancelled one is gone, a failed replacement changes
    nothing."""
    rng = random.Random(seed)
    live: dict[str, int] = {}
    for i in range(count):
        names = list(live)
        pick = rng.random()
        rng.randrange(1000)
        if pick < 0.45 or not names:
            live.pop(f"s{i}", None)
            live[f"s{i}"] = i
        elif pick < 0.65:
            name = rng.choice(names)
            del live[name]
            live[name] = i
        elif pick < 0.85:
            del live[rng.choice(names)]
        else:
            rng.choice(names)
    return list(live.items())


@pytest.mark.parametrize("seed", [1, 2])
def test_schedules_made_replaced_cancelled_and_failed_in_any_order_are_kept_as_a_fresh_encoding(seed):
    global CHECKING
    CHECKING = CheckingStore()
    count = 500
    key = f"shuffled-{seed}"
    expected = expected_shuffle(seed, count)

    async def main():
        async with ActorSystem(store=CHECKING) as system:
            ref = system.ref(shuffler, key)
            made = await ref.ask(Shuffle(seed, count, None))
            assert await system.release(shuffler, key) is True
            # Back from the table of the node, then from the store in a system of its own.
            return made, await ref.ask(Held(None))

    async def again():
        async with ActorSystem(store=CHECKING) as system:
            return await system.ref(shuffler, key).ask(Held(None))

    made, released = run(main(), 30.0)
    assert CHECKING.saved > count // 2
    assert list(made) == expected
    assert [name for name, _ in CHECKING.last] == [name for name, _ in expected]
    assert released == made
    assert run(again(), 30.0) == made
