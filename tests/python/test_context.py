"""What a body is given: the members of Context, State and Inbox, and an inbox merged with a source."""

import asyncio
import types
from dataclasses import dataclass
from datetime import timedelta

import pytest
from support import run, until

from vorel import ActorSystem, Context, Ref, State, actor
from vorel import _vorel

pytestmark = pytest.mark.timeout(10)


MEMBERS = [
    (Context, "__class_getitem__", "($cls, item)", "`Context[S]` is `Context[S, Never]`: a body that takes no message at all."),
    (Context, "key", None, None),
    (Context, "state", None, "The state of the key: what was saved last, and the way to save another."),
    (Context, "inbox", None, "Messages in arrival order. Ends after `idle_after` without messages: the type's, or the system's."),
    (Context, "self", None, "Reference to this entity, to hand to other actors."),
    (Context, "system", None, "The system of the node where this activation runs."),
    (
        Context,
        "become",
        "($self, behavior, state=None, /)",
        "Hand the key to another actor type, which runs it from the next read of `inbox` or `merge` on.",
    ),
    (Context, "merge", "($self, source)", "Messages and items of `source` in arrival order, until `source` ends."),
    (State, "__class_getitem__", "($cls, item)", None),
    (State, "value", None, "The last saved state."),
    (State, "set", "($self, state)", "Store `state` on the replicas and return once the type's write level confirms it."),
    (
        State,
        "update",
        "($self, change)",
        "Store what `change` makes of the last saved state, and answer it once it is confirmed.",
    ),
    (
        State,
        "delete",
        "($self)",
        "Delete the state from the replicas and return once the type's write level confirms it.",
    ),
    (ActorSystem, "__class_getitem__", "($cls, item)", None),
]


@pytest.mark.parametrize("cls, name, signature, doc", MEMBERS, ids=[f"{c.__name__}.{n}" for c, n, _, _ in MEMBERS])
def test_member_signatures_and_docstrings(cls, name, signature, doc):
    member = getattr(cls, name)
    assert getattr(member, "__text_signature__", None) == signature
    assert (member.__doc__ or None) == doc


@pytest.mark.parametrize("cls", [State, ActorSystem])
def test_subscription_passes_the_arguments_as_they_are(cls):
    for item, arguments in [(int, (int,)), ((int, str), (int, str)), ((), ())]:
        alias = cls[item]
        assert type(alias) is types.GenericAlias
        assert alias.__origin__ is cls and alias.__args__ == arguments


def test_state_class():
    assert State.__module__ == "vorel._vorel"
    assert State.__doc__ == "The state of one activation, as the body reads and writes it."
    with pytest.raises(TypeError):
        State()


# Sources a body merges, each fed by hand through a queue where None ends it.
class Feed:
    def __init__(self, queue):
        self.queue = queue

    def __aiter__(self):
        return self

    async def __anext__(self):
        item = await self.queue.get()
        FED.append(item)
        if item is None:
            raise StopAsyncIteration
        return item


class Bare:
    """Only __anext__: merge takes it as its own iterator."""

    def __init__(self, queue):
        self.queue = queue

    async def __anext__(self):
        return await Feed.__anext__(self)


async def generated(queue):
    while (item := await queue.get()) is not None:
        yield item


SOURCES = {"iterable": Feed, "bare": Bare, "generator": generated}
FEEDS: dict[str, object] = {}
SEEN: dict[str, list[str]] = {}
# What a Feed handed on, and the Slow messages a body began to handle.
FED: list = []
BUSY: list[str] = []


@dataclass(frozen=True)
class Note:
    text: str


@dataclass(frozen=True)
class Slow:
    text: str


@dataclass(frozen=True)
class Seen:
    reply_to: Ref[tuple[str, ...]]


async def handle(m, seen):
    if isinstance(m, Seen):
        m.reply_to.tell(tuple(seen))
    elif isinstance(m, Slow):
        BUSY.append(m.text)
        await asyncio.sleep(0.1)
        seen.append(m.text)
    elif isinstance(m, Note):
        seen.append(m.text)
    else:
        seen.append(f"item {m}")


# idle_after is short: a merged read must outlive it, and the plain inbox after the merge must not.
@actor(initial=0, idle_after=timedelta(milliseconds=50))
async def merger(ctx: Context[int, Note | Slow | Seen]):
    seen = SEEN.setdefault(ctx.key, [])
    async for m in ctx.merge(FEEDS[ctx.key]):
        await handle(m, seen)
    seen.append("end")
    async for m in ctx.inbox:
        await handle(m, seen)


async def merging(kind):
    queue = asyncio.Queue()
    FEEDS[kind] = SOURCES[kind](queue)
    SEEN.pop(kind, None)
    FED.clear()
    BUSY.clear()
    return queue


async def handled(kind, *texts):
    # A body appends what it handled and reads again in the same step: it waits at its next read.
    await until(lambda: SEEN.get(kind) == list(texts))


@pytest.mark.parametrize("kind", SOURCES)
def test_messages_and_source_items_arrive_in_order_and_a_merged_read_never_idles_out(kind):
    async def main():
        queue = await merging(kind)
        async with ActorSystem() as system:
            ref = system.ref(merger, kind)
            ref.tell(Note("a"))
            await handled(kind, "a")
            queue.put_nowait("x")
            await handled(kind, "a", "item x")
            ref.tell(Note("b"))
            # Four times the idle period: a read merged with a source waits on all the same.
            await asyncio.sleep(0.2)
            assert await ref.ask(Seen(None)) == ("a", "item x", "b")
            queue.put_nowait(None)
            await handled(kind, "a", "item x", "b", "end")
            ref.tell(Note("c"))
            await handled(kind, "a", "item x", "b", "end", "c")

    run(main())


@pytest.mark.parametrize(
    "before, item, after, seen",
    [
        pytest.param(["before"], "x", ["after"], ("slow", "before", "item x", "after"), id="an item"),
        pytest.param([], None, ["queued"], ("slow", "end", "queued"), id="the end of the source"),
    ],
)
def test_what_the_source_gives_while_the_body_is_busy_takes_its_place_among_the_messages(before, item, after, seen):
    async def main():
        queue = await merging("iterable")
        async with ActorSystem() as system:
            ref = system.ref(merger, "iterable")
            await handled("iterable")
            ref.tell(Slow("slow"))
            await until(lambda: BUSY == ["slow"])
            for text in before:
                ref.tell(Note(text))
            queue.put_nowait(item)
            await until(lambda: FED == [item])
            # The source's task is done; its done callback, which places the item, runs next.
            await asyncio.sleep(0)
            for text in after:
                ref.tell(Note(text))
            assert await ref.ask(Seen(None)) == seen

    run(main())


@dataclass(frozen=True)
class Kinds:
    reply_to: Ref[tuple[str, ...]]


@actor(initial=0)
async def inspecting(ctx: Context[int, Kinds]):
    async for m in ctx.inbox:
        merged = ctx.merge(42)
        m.reply_to.tell((type(ctx.inbox).__name__, type(merged).__name__, type(merged).__module__))


def test_merge_never_raises_and_makes_an_inbox():
    async def main():
        async with ActorSystem() as system:
            assert await system.ref(inspecting, "k").ask(Kinds(None)) == ("Inbox", "Inbox", "vorel._vorel")
        assert not hasattr(_vorel, "Inbox")

    run(main())


IDLED: dict[str, list[float]] = {}


@actor(initial=0, idle_after=timedelta(milliseconds=200))
async def idler(ctx: Context[int, Note]):
    times = IDLED.setdefault(ctx.key, [])
    loop = asyncio.get_running_loop()
    async for _ in ctx.inbox:
        times.append(loop.time())
    times.append(loop.time())


def test_each_waiting_read_idles_out_a_full_period_after_it():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(idler, "k")
            for _ in range(3):
                await asyncio.sleep(0.15)
                ref.tell(Note("n"))
            await until(lambda: len(IDLED.get("k", ())) == 4)
            *reads, ended = IDLED["k"]
            assert len(reads) == 3
            assert 0.19 <= ended - reads[-1] < 0.3

    run(main())


# Bodies that read the inbox in the ways a body may: `async for`, and `__anext__` handed to
# asyncio, which must take what a read gives when the next message is already queued.
@actor(initial=0)
async def looped(ctx: Context[int, Note | Seen]):
    seen = []
    async for m in ctx.inbox:
        await handle(m, seen)


@actor(initial=0)
async def waited_for(ctx: Context[int, Note | Seen]):
    seen = []
    inbox = aiter(ctx.inbox)
    while True:
        await handle(await asyncio.wait_for(anext(inbox), 5), seen)


@actor(initial=0)
async def tasked(ctx: Context[int, Note | Seen]):
    seen = []
    inbox = aiter(ctx.inbox)
    while True:
        await handle(await asyncio.ensure_future(inbox.__anext__()), seen)


@pytest.mark.parametrize("body", [looped, waited_for, tasked], ids=lambda b: b.name)
def test_a_burst_queued_ahead_of_the_reads_arrives_whole_and_in_order(body):
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(body, "k")
            # The first read waits for its message; the burst behind it is queued before the body
            # runs again, so each later read finds its message already there.
            assert await ref.ask(Seen(None)) == ()
            for n in range(300):
                ref.tell(Note(str(n)))
            first = await ref.ask(Seen(None))
            ref.tell(Note("after"))
            return first, await ref.ask(Seen(None))

    first, second = run(main())
    assert first == tuple(str(n) for n in range(300))
    assert second == first + ("after",)



PAIRS: list = []


@actor(initial=0)
async def pairs(ctx: Context[int, tuple[int, int]]):
    async for m in ctx.inbox:
        PAIRS.append(m)


def test_a_queued_message_that_is_a_tuple_reaches_the_body_whole():
    # A value handed over without a future ends its await as a StopIteration carrying it: a tuple
    # must not be taken for the exception's arguments.
    async def main():
        PAIRS.clear()
        async with ActorSystem() as system:
            ref = system.ref(pairs, "k")
            ref.tell((0, 0))
            await until(lambda: PAIRS == [(0, 0)])
            for n in range(1, 4):
                ref.tell((n, -n))
            await until(lambda: len(PAIRS) == 4)

    run(main())
    assert PAIRS == [(0, 0), (1, -1), (2, -2), (3, -3)]
