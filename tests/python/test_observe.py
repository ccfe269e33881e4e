"""Observer events: the observer a system keeps, the classes it wants, and the events made on the loop."""

import asyncio
import logging
from dataclasses import dataclass
from uuid import UUID

import pytest
from support import run, until

import vorel
from vorel import ActorSystem, Context, Ref, actor

pytestmark = pytest.mark.timeout(10)


@dataclass(frozen=True)
class Boom:
    reply_to: Ref[int]


@dataclass(frozen=True)
class Tap:
    pass


@actor(initial=0, mailbox=1)
async def fragile(ctx: Context[int, Boom | Tap]):
    async for m in ctx.inbox:
        if isinstance(m, Tap):
            await asyncio.sleep(0.02)
        else:
            raise KeyError("boom")


class Seen:
    def __init__(self, wanted=None):
        self.events = []
        self.asked = []
        if wanted is not None:
            self.wanted = wanted

            def wants(cls):
                self.asked.append(cls)
                return cls in self.wanted

            self.wants = wants

    def __call__(self, event):
        self.events.append(event)

    def kinds(self):
        return {type(e) for e in self.events}


async def exercise(system):
    ref = system.ref(fragile, "k")
    with pytest.raises(vorel.ActorFailed):
        await ref.ask(Boom(None))
    await system.release(fragile, "k")
    await asyncio.sleep(0)


def test_an_observer_without_wants_receives_every_class_on_the_loop():
    seen = Seen()
    loop_of_call = []

    def observer(event):
        loop_of_call.append(asyncio.get_running_loop())
        seen(event)

    async def main():
        async with ActorSystem(observer=observer) as system:
            await exercise(system)
            return asyncio.get_running_loop()

    loop = run(main())
    assert {vorel.ActivationStarted, vorel.ActivationFailed, vorel.ActivationEnded} <= seen.kinds()
    assert all(lp is loop for lp in loop_of_call)
    started = next(e for e in seen.events if isinstance(e, vorel.ActivationStarted))
    assert (started.actor, started.key) == (f"{__name__}:fragile", "k")
    failed = next(e for e in seen.events if isinstance(e, vorel.ActivationFailed))
    assert isinstance(failed.error, KeyError)


def test_wants_is_asked_once_per_class_in_bit_order_and_only_wanted_classes_arrive():
    seen = Seen(wanted={vorel.MessageDropped})

    async def main():
        async with ActorSystem(observer=seen) as system:
            await exercise(system)
            ref = system.ref(fragile, "full")
            # A tell beyond the bound of one is dropped while the body is busy with the first.
            for _ in range(3):
                ref.tell(Tap())
            await until(lambda: vorel.MessageDropped in seen.kinds())

    run(main())
    assert seen.asked == list(vorel.EVENTS)
    assert seen.kinds() == {vorel.MessageDropped}
    assert any(e.reason == "the mailbox is full" for e in seen.events)


def test_a_wants_that_raises_makes_entry_raise():
    class Picky:
        def wants(self, cls):
            raise LookupError("no")

        def __call__(self, event):
            pass

    async def main():
        with pytest.raises(LookupError, match="no"):
            await ActorSystem(observer=Picky()).__aenter__()

    run(main())


@pytest.mark.parametrize("observer", [None, "absent"])
def test_no_observer_gives_a_logging_observer(observer, caplog):
    kwargs = {} if observer == "absent" else {"observer": observer}

    async def main():
        async with ActorSystem(**kwargs) as system:
            await exercise(system)

    with caplog.at_level(logging.DEBUG, logger="vorel"):
        run(main())
    texts = [r.getMessage() for r in caplog.records if r.name == "vorel"]
    assert f"{__name__}:fragile/k: activated" in texts
    assert any("the body raised KeyError" in t for t in texts)


@pytest.mark.parametrize("bad", [1, "text", object()])
def test_an_observer_that_cannot_be_called_is_refused(bad):
    with pytest.raises(TypeError) as refused:
        ActorSystem(observer=bad)
    assert str(refused.value) == f"observer is {bad!r}, which cannot be called with an event"


def test_an_observer_that_raises_reaches_the_loop_exception_handler_and_the_system_goes_on():
    caught = []

    def observer(event):
        raise RuntimeError("observer broke")

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: caught.append(context["exception"]))
        async with ActorSystem(observer=observer) as system:
            await exercise(system)
            await exercise(system)

    run(main())
    assert caught and all(str(e) == "observer broke" for e in caught)


NODE = ("h:7", bytes(range(16)))
ID = vorel.NodeId("h:7", UUID(bytes=bytes(range(16))))

RUNTIME_EVENTS = [
    (0, (*NODE, 2, 0), vorel.MemberChanged(ID, "suspect", "alive")),
    (0, (None, NODE[1], 4, None), vorel.MemberChanged(vorel.NodeId(None, ID.incarnation), "left", None)),
    (1, (0, "why", "a:t", "k", True), vorel.WriteFailed("a:t", "k", "write", "unavailable", "why")),
    (1, (1, "why", "a:t", "k", False), vorel.WriteFailed("a:t", "k", "activate", "fenced", "why")),
    (1, (2, "why", "a:t", "k", True), vorel.WriteFailed("a:t", "k", "write", "too_large", "why")),
    (2, ("a:t", True), vorel.HandoffStarted("a:t", "out")),
    (3, ("a:t", False), vorel.HandoffEnded("a:t", "in")),
    (4, ("a:t", ["k2", "k1"]), vorel.HandoffEnded("a:t", "out", ("k2", "k1"))),
    (5, NODE, vorel.ConnectionLost(ID)),
    (6, ("a:t", "k", "no owner"), vorel.MessageDropped("a:t", "k", "no owner")),
]


@pytest.mark.parametrize("variant, fields, expected", RUNTIME_EVENTS)
def test_events_of_the_node_runtime_become_the_package_classes(testing, variant, fields, expected):
    seen = Seen()

    async def main():
        bit = testing.observed(asyncio.get_running_loop(), seen, variant, fields)
        assert not seen.events  # called later on the loop, never inside the core
        await asyncio.sleep(0)
        return bit

    bit = run(main())
    assert seen.events == [expected]
    assert vorel.EVENTS[bit] is type(expected)


def test_an_event_that_cannot_be_built_is_lost_quietly(testing, monkeypatch):
    seen = Seen()
    monkeypatch.delattr(vorel, "ConnectionLost")

    async def main():
        testing.observed(asyncio.get_running_loop(), seen, 5, NODE)
        await asyncio.sleep(0)

    run(main())
    assert seen.events == []
