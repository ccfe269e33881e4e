"""Work a body hands beside itself: its outcome comes back to the key as a message."""

import asyncio
from dataclasses import dataclass
from datetime import timedelta

import pytest

from vorel import ActorSystem, Context, MessageDropped, Ref, actor

pytestmark = pytest.mark.timeout(20)


def run(coroutine, limit=10.0):
    return asyncio.run(asyncio.wait_for(coroutine, limit))


class Events:
    def __init__(self):
        self.seen = []

    def __call__(self, event):
        self.seen.append(event)

    def dropped(self):
        return [e.reason for e in self.seen if isinstance(e, MessageDropped)]


@dataclass(frozen=True)
class Echo:
    n: int
    reply_to: Ref[int]


@dataclass(frozen=True)
class Silent:
    reply_to: Ref[int]


@actor(initial=0, ask_timeout=timedelta(seconds=0.2))
async def echo(ctx: Context[int, Echo | Silent]):
    async for m in ctx.inbox:
        if isinstance(m, Echo):
            m.reply_to.tell(m.n * 10)


@dataclass(frozen=True)
class Go:
    how: str


@dataclass(frozen=True)
class Seen:
    reply_to: Ref[tuple[str, ...]]


GOT: dict[str, list[str]] = {}


class Quiet(Exception):
    def __str__(self):
        return ""


async def value(x):
    await asyncio.sleep(0.01)
    return x


async def raising(e):
    await asyncio.sleep(0.01)
    raise e


async def forever():
    await asyncio.sleep(60)


@actor(initial=0, ask_timeout=timedelta(seconds=0.2))
async def hander(ctx: Context[int, Go | str | int | Seen]):
    async for m in ctx.inbox:
        if isinstance(m, Seen):
            m.reply_to.tell(tuple(GOT.get(ctx.key, [])))
            continue
        if not isinstance(m, Go):
            GOT.setdefault(ctx.key, []).append(repr(m))
            continue
        peer = ctx.system.ref(echo, "peer")
        how = m.how
        if how == "ask":
            assert ctx.ask(peer, Echo(4, None), lambda a: f"answer {a}") is None
        elif how == "ask-timeout-failed":
            ctx.ask(peer, Silent(None), str, failed=lambda e: type(e).__name__)
        elif how == "ask-timeout":
            ctx.ask(peer, Silent(None), str)
        elif how == "ask-none-mapper":
            ctx.ask(peer, Echo(1, None), None)
        elif how == "to-self":
            ctx.to_self(value(5))
        elif how == "to-self-mapped":
            ctx.to_self(value(5), lambda v: f"mapped {v}")
        elif how == "to-self-unfit":
            ctx.to_self(value(2.5))
        elif how == "raises":
            ctx.to_self(raising(KeyError("k")))
        elif how == "raises-quiet":
            ctx.to_self(raising(Quiet()))
        elif how == "raises-failed":
            ctx.to_self(raising(KeyError("k")), failed=lambda e: f"failed {type(e).__name__}")
        elif how == "mapper-raises":
            ctx.to_self(value(1), lambda v: 1 / 0)
        elif how == "forever":
            ctx.to_self(forever())
        elif how == "bad":
            for call in (lambda: ctx.to_self(5), lambda: ctx.ask("peer", Echo(1, None), str)):
                try:
                    call()
                except TypeError as e:
                    GOT.setdefault(ctx.key, []).append(f"TypeError {e}")


CASES = [
    ("ask", ["'answer 40'"], []),
    ("ask-timeout-failed", ["'TimeoutError'"], []),
    ("to-self", ["5"], []),
    ("to-self-mapped", ["'mapped 5'"], []),
    ("raises-failed", ["'failed KeyError'"], []),
    ("raises", [], ["the work handed to to_self raised KeyError: 'k'"]),
    ("raises-quiet", [], ["the work handed to to_self raised Quiet"]),
    ("mapper-raises", [], ["division by zero"]),
]


@pytest.mark.parametrize("how, got, dropped", CASES)
def test_the_outcome_comes_back_as_a_message(how, got, dropped):
    events = Events()

    async def main():
        async with ActorSystem(observer=events) as system:
            ref = system.ref(hander, how)
            ref.tell(Go(how))
            for _ in range(100):
                if await ref.ask(Seen(None)) or events.dropped():
                    break
                await asyncio.sleep(0.02)
            return list(await ref.ask(Seen(None)))

    assert run(main()) == got
    assert events.dropped() == dropped


def test_reports_of_asks_that_time_out_or_map_with_none():
    events = Events()

    async def main():
        async with ActorSystem(observer=events) as system:
            ref = system.ref(hander, "reports")
            ref.tell(Go("ask-timeout"))
            ref.tell(Go("ask-none-mapper"))
            ref.tell(Go("to-self-unfit"))
            for _ in range(100):
                if len(events.dropped()) == 3:
                    break
                await asyncio.sleep(0.02)
            peer = system.ref(echo, "peer")
            return repr(peer)

    shown = run(main())
    dropped = sorted(events.dropped())
    assert f"the ask to {shown} raised TimeoutError: the answer did not arrive in time" in dropped
    assert "'NoneType' object is not callable" in dropped
    assert len(dropped) == 3


def test_bad_arguments_are_refused_at_the_call():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(hander, "bad")
            ref.tell(Go("bad"))
            for _ in range(50):
                if len(await ref.ask(Seen(None))) == 2:
                    break
                await asyncio.sleep(0.02)
            return await ref.ask(Seen(None))

    first, second = run(main())
    assert first.startswith("TypeError ")
    assert second == "TypeError target is 'peer', not a Ref"


def test_stopping_the_system_cancels_work_under_way_without_a_word():
    events = Events()

    async def main():
        async with ActorSystem(observer=events) as system:
            ref = system.ref(hander, "forever")
            ref.tell(Go("forever"))
            await ref.ask(Seen(None))

    run(main())
    assert events.dropped() == []


@dataclass(frozen=True)
class Start:
    pass


@dataclass(frozen=True)
class Ping:
    reply_to: Ref[str]


@dataclass(frozen=True)
class Poke:
    reply_to: Ref[str]


ROUND: list[str] = []


@actor(initial=0, ask_timeout=timedelta(seconds=1))
async def first(ctx: Context[int, Start | Ping | str]):
    async for m in ctx.inbox:
        if isinstance(m, Start):
            ctx.ask(ctx.system.ref(second, "b"), Poke(None), lambda a: a)
            # Not reading the inbox: the ask handed beside no longer counts as this body waiting.
            await asyncio.sleep(0.2)
        elif isinstance(m, Ping):
            m.reply_to.tell("pong")
        else:
            ROUND.append(m)


@actor(initial=0, ask_timeout=timedelta(seconds=1))
async def second(ctx: Context[int, Poke]):
    async for m in ctx.inbox:
        m.reply_to.tell(await ctx.system.ref(first, "a").ask(Ping(None)))


def test_an_ask_handed_beside_is_no_cycle():
    async def main():
        async with ActorSystem() as system:
            system.ref(first, "a").tell(Start())
            for _ in range(100):
                if ROUND:
                    break
                await asyncio.sleep(0.02)

    run(main())
    assert ROUND == ["pong"]
