"""The ask road's edges: answers meant for another node, asks that could not be sent, state after a delete."""

import asyncio
import contextlib
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import timedelta

import pytest
from support import run, until

from vorel import ActorSystem, Context, Ref, actor
from vorel import nobody

pytestmark = pytest.mark.timeout(10)


REMEMBERED: list = []
OPENED: set[str] = set()


@dataclass(frozen=True)
class Remember:
    """Answered at once; its reply_to is kept for a later system."""

    reply_to: Ref[int]


@dataclass(frozen=True)
class Keep:
    """Left unanswered until a Release."""

    reply_to: Ref[int]


@dataclass(frozen=True)
class Answer:
    target: Ref[int]
    value: int


@dataclass(frozen=True)
class Release:
    value: int


@actor(initial=0)
async def keeper(ctx: Context[int, Remember | Keep | Answer | Release]):
    OPENED.add(ctx.key)
    kept = []
    async for m in ctx.inbox:
        if isinstance(m, Remember):
            REMEMBERED.append(m.reply_to)
            m.reply_to.tell(0)
        elif isinstance(m, Keep):
            kept.append(m.reply_to)
        elif isinstance(m, Answer):
            m.target.tell(m.value)
        else:
            for r in kept:
                r.tell(m.value)
            kept.clear()


async def of_an_earlier_system(testing, system):
    async with ActorSystem() as earlier:
        await earlier.ref(keeper, "k").ask(Remember(None))
    return REMEMBERED[-1]


async def of_another_address(testing, system):
    return testing.ref(("r", "10.0.0.1:7000", system.node.incarnation.bytes, 0))


async def of_another_incarnation(testing, system):
    return testing.ref(("r", None, bytes(16), 0))


@pytest.mark.parametrize("foreign", [of_an_earlier_system, of_another_address, of_another_incarnation])
def test_an_answer_to_a_reply_target_of_another_node_settles_nothing(testing, foreign):
    async def main():
        async with ActorSystem() as system:
            target = await foreign(testing, system)
            ref = system.ref(keeper, "k")
            # The first ask of this system has the id the foreign reply target names.
            waiting = asyncio.ensure_future(ref.ask(Keep(None)))
            assert repr(target).startswith("Ref(reply 0 to ")
            ref.tell(Answer(target, 7))
            # Answered after the Answer, whose tell to the foreign target has gone by then.
            assert await ref.ask(Remember(None)) == 0
            assert not waiting.done()
            assert testing.pending(ref) == 1
            ref.tell(Release(9))
            assert await waiting == 9
            assert testing.pending(ref) == 0

    run(main())


@contextlib.contextmanager
def refusing(method):
    """Makes a method of the running loop raise while it is given one of vorel's callbacks."""
    loop = asyncio.get_running_loop()
    original = getattr(loop, method)

    def refused(*args, **kwargs):
        if any(type(a).__module__ == "vorel._vorel" for a in args):
            raise RuntimeError(f"{method} refused")
        return original(*args, **kwargs)

    setattr(loop, method, refused)
    try:
        yield
    finally:
        delattr(loop, method)


@pytest.mark.parametrize(
    "method",
    [
        pytest.param("call_later", id="arming the timeout"),
        pytest.param("call_soon", id="handing to a key that cannot open"),
    ],
)
def test_an_ask_that_could_not_be_sent_leaves_no_pending_ask(testing, method):
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(keeper, "k")
            # A key that is open already, for the timer; one that has to open again, for the hand-over.
            name = "open" if method == "call_later" else "reopened"
            OPENED.discard(name)
            target = system.ref(keeper, name)
            await until(lambda: name in OPENED)
            if method == "call_soon":
                assert await system.release(keeper, "reopened") is True
            with refusing(method), pytest.raises(RuntimeError, match=f"^{method} refused$"):
                target.ask(Remember(None))
            assert testing.pending(ref) == 0
            # A key that could not open is not left behind for the exit to drain.
            assert await system.release(keeper, "reopened") is False
            assert await ref.ask(Remember(None)) == 0
            assert testing.pending(ref) == 0

    run(main())


# A Mapping state is read back as a dict, which a body can change in place.
INITIAL: dict[str, int] = {}


@dataclass(frozen=True)
class Spoil:
    reply_to: Ref[Mapping[str, int]]


@actor(initial=INITIAL)
async def spoiling(ctx: Context[Mapping[str, int], Spoil]):
    async for m in ctx.inbox:
        await ctx.state.delete()
        ctx.state.value[ctx.key] = len(ctx.state.value)
        m.reply_to.tell(ctx.state.value)


def test_after_a_delete_each_key_mutates_a_value_of_its_own():
    async def main():
        async with ActorSystem() as system:
            for key in ["a", "b", "a", "c"]:
                assert await system.ref(spoiling, key).ask(Spoil(None)) == {key: 0}
        assert INITIAL == {}

    run(main())


def test_a_message_that_carries_nobody_is_answered_to_no_one():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(keeper, "k")
            ref.tell(Remember(nobody()))
            # An ask writes a reply target of its own over the nobody it was given.
            assert await ref.ask(Remember(nobody())) == 0
            assert REMEMBERED[-2] == nobody()
            assert REMEMBERED[-1] != nobody()

    run(main())


@actor(initial=0)
async def silent(ctx: Context[int, Keep]):
    async for _ in ctx.inbox:
        pass


@actor(initial=0, ask_timeout=timedelta(milliseconds=100))
async def hasty(ctx: Context[int, Keep]):
    async for _ in ctx.inbox:
        pass


def test_asks_time_out_by_their_own_deadlines_in_any_order():
    async def main():
        loop = asyncio.get_running_loop()
        async with ActorSystem(ask_timeout=timedelta(milliseconds=300)) as system:
            started = loop.time()
            ended = {}

            async def timed(name, awaited):
                with pytest.raises(TimeoutError, match="^the answer did not arrive in time$"):
                    await awaited
                ended[name] = loop.time() - started

            late = asyncio.ensure_future(timed("late", system.ref(silent, "k").ask(Keep(None))))
            early = asyncio.ensure_future(timed("early", system.ref(hasty, "k").ask(Keep(None))))
            abandoned = asyncio.ensure_future(system.ref(hasty, "other").ask(Keep(None)))
            assert await system.ref(keeper, "k").ask(Remember(None)) == 0
            abandoned.cancel()
            await asyncio.gather(late, early)
            assert 0.09 <= ended["early"] < 0.25
            assert 0.29 <= ended["late"] < 0.45
            assert abandoned.cancelled()

    run(main())


# A batch queued while the body is busy: asks and tells interleaved, each read in the order sent, and
# each ask answered with its own value; an ask given up while it waits in the inbox is never read;
# a body that returns in the middle of the batch leaves the rest to its next run, in order.
SEEN: list = []
GATE: dict = {}


@dataclass(frozen=True)
class Hold:
    """Holds the body until the test sets the gate of the key."""

    reply_to: Ref[int]


@dataclass(frozen=True)
class Item:
    n: int
    reply_to: Ref[int] = field(default_factory=nobody)


@dataclass(frozen=True)
class Stop:
    n: int


@actor(initial=0)
async def batcher(ctx: Context[int, Hold | Item | Stop]):
    async for m in ctx.inbox:
        if isinstance(m, Hold):
            await GATE[ctx.key].wait()
            m.reply_to.tell(-1)
        elif isinstance(m, Stop):
            SEEN.append(("stop", m.n))
            return
        else:
            SEEN.append(m.n)
            m.reply_to.tell(m.n * 10)


async def held(system, key):
    """A ref to the key whose body is busy on a Hold, with that Hold's ask."""
    GATE[key] = asyncio.Event()
    SEEN.clear()
    ref = system.ref(batcher, key)
    holding = asyncio.ensure_future(ref.ask(Hold(None)))
    await until(lambda: system._queued(batcher, key) == 0 and not holding.done())
    return ref, holding


def test_a_batch_of_asks_and_tells_is_read_in_order_and_each_ask_gets_its_own_answer():
    async def main():
        async with ActorSystem() as system:
            ref, holding = await held(system, "k")
            asks = {}
            for n in range(200):
                if n % 3 == 0:
                    ref.tell(Item(n))
                else:
                    asks[n] = asyncio.ensure_future(ref.ask(Item(n, None)))
            await asyncio.sleep(0)
            assert system._queued(batcher, "k") == 200
            GATE["k"].set()
            assert await holding == -1
            return {n: await a for n, a in asks.items()}

    answers = run(main())
    assert SEEN == list(range(200))
    assert answers == {n: n * 10 for n in range(200) if n % 3 != 0}


def test_an_ask_given_up_while_its_message_waits_in_the_inbox_is_never_read():
    async def main():
        async with ActorSystem() as system:
            ref, holding = await held(system, "k")
            first = asyncio.ensure_future(ref.ask(Item(1, None)))
            given_up = asyncio.ensure_future(ref.ask(Item(2, None)))
            last = asyncio.ensure_future(ref.ask(Item(3, None)))
            await asyncio.sleep(0)
            assert system._queued(batcher, "k") == 3
            given_up.cancel()
            with pytest.raises(asyncio.CancelledError):
                await given_up
            assert system._queued(batcher, "k") == 2
            GATE["k"].set()
            return await holding, await first, await last

    holding, first, last = run(main())
    assert (holding, first, last) == (-1, 10, 30)
    assert SEEN == [1, 3]


def test_a_body_that_returns_in_the_middle_of_a_batch_leaves_the_rest_to_its_next_run_in_order():
    async def main():
        async with ActorSystem() as system:
            ref, holding = await held(system, "k")
            ref.tell(Item(1))
            answered = asyncio.ensure_future(ref.ask(Item(2, None)))
            ref.tell(Stop(3))
            after = [asyncio.ensure_future(ref.ask(Item(n, None))) for n in (4, 5)]
            ref.tell(Item(6))
            await asyncio.sleep(0)
            GATE["k"].set()
            results = [await holding, await answered] + [await a for a in after]
            await until(lambda: SEEN[-1:] == [6])
            return results

    assert run(main()) == [-1, 20, 40, 50]
    assert SEEN == [1, 2, ("stop", 3), 4, 5, 6]
