"""One process end to end: refs, tells and asks, activations, state, failures, and the stop."""

import asyncio
import contextlib
import gc
import os
import weakref
from dataclasses import dataclass
from datetime import timedelta

import pytest
from support import run, until

import vorel
from vorel import (
    ActorFailed,
    ActorSystem,
    Context,
    MailboxFull,
    NotStarted,
    ReentrancyError,
    Ref,
    Unavailable,
    actor,
)

pytestmark = pytest.mark.timeout(10)


@dataclass(frozen=True)
class Add:
    n: int


@dataclass(frozen=True)
class Get:
    reply_to: Ref[int]


@dataclass(frozen=True)
class Fail:
    text: str
    reply_to: Ref[int]


@actor(initial=0)
async def counter(ctx: Context[int, Add | Get | Fail]):
    async for m in ctx.inbox:
        if isinstance(m, Add):
            await ctx.state.set(ctx.state.value + m.n)
        elif isinstance(m, Get):
            m.reply_to.tell(ctx.state.value)
        else:
            raise ValueError(m.text)


class Events:
    def __init__(self):
        self.seen = []

    def __call__(self, event):
        self.seen.append(event)

    def of(self, cls):
        return [e for e in self.seen if isinstance(e, cls)]


def test_tells_and_an_ask_reach_the_key_in_order():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(counter, "a")
            for n in range(1, 5):
                ref.tell(Add(n))
            return await ref.ask(Get(None))

    assert run(main()) == 10


def test_entering_yields_the_system_and_a_second_entry_is_refused():
    async def main():
        system = ActorSystem()
        async with system as entered:
            assert entered is system
            with pytest.raises(RuntimeError):
                await system.__aenter__()
        with pytest.raises(RuntimeError, match="the system has stopped"):
            system.ref(counter, "a")
        with pytest.raises(RuntimeError, match="the system has stopped"):
            await system.__aenter__()

    run(main())


def test_before_entry_the_system_has_not_started():
    with pytest.raises(RuntimeError, match="the system has not started"):
        ActorSystem().ref(counter, "a")


def test_state_survives_deactivation_after_idle_after():
    events = Events()

    async def main():
        async with ActorSystem(idle_after=timedelta(milliseconds=50), observer=events) as system:
            ref = system.ref(counter, "k")
            ref.tell(Add(7))
            assert await ref.ask(Get(None)) == 7
            await until(lambda: events.of(vorel.ActivationEnded))
            assert len(events.of(vorel.ActivationEnded)) == 1
            assert await ref.ask(Get(None)) == 7
            assert len(events.of(vorel.ActivationStarted)) == 2

    run(main())


def test_a_failure_reaches_the_asker_and_the_body_restarts():
    events = Events()

    async def main():
        async with ActorSystem(observer=events) as system:
            ref = system.ref(counter, "f")
            ref.tell(Add(1))
            with pytest.raises(ActorFailed) as failed:
                await ref.ask(Fail("boom", None))
            e = failed.value
            assert (e.actor, e.key, e.error, e.message) == (counter_name(), "f", "ValueError", "boom")
            assert str(e) == f"{counter_name()}/f raised ValueError: boom"
            assert await ref.ask(Get(None)) == 1
            assert [type(x.error) for x in events.of(vorel.ActivationFailed)] == [ValueError]

    run(main())


def counter_name():
    return f"{__name__}:counter"


def test_an_ask_times_out_with_timeout_error():
    @dataclass(frozen=True)
    class Ping:
        reply_to: Ref[int]

    @actor(initial=0)
    async def silent(ctx: Context[int, Ping]):
        async for _ in ctx.inbox:
            pass

    async def main():
        async with ActorSystem(ask_timeout=timedelta(milliseconds=50)) as system:
            with pytest.raises(TimeoutError, match="the answer did not arrive in time"):
                await system.ref(silent, "s").ask(Ping(None))

    run(main())


@dataclass(frozen=True)
class Via:
    other: Ref["Via"]
    reply_to: Ref[int]


@actor(initial=0)
async def relay(ctx: Context[int, Via]):
    async for m in ctx.inbox:
        m.reply_to.tell(await m.other.ask(Via(ctx.self, None)))


def test_an_ask_cycle_is_refused():
    async def main():
        async with ActorSystem() as system:
            a = system.ref(relay, "a")
            b = system.ref(relay, "b")
            with pytest.raises(ActorFailed) as failed:
                await a.ask(Via(b, None))
            # b's own ask back to a is refused, and b's failure travels on to the first asker.
            assert failed.value.error == "ActorFailed"
            assert "raised ReentrancyError: ask cycle" in failed.value.message
            assert f"{__name__}:relay/a -> {__name__}:relay/b -> {__name__}:relay/a" in failed.value.message

    run(main())


def test_a_self_ask_is_refused_as_a_cycle():
    @dataclass(frozen=True)
    class Me:
        reply_to: Ref[int]

    @actor(initial=0)
    async def selfish(ctx: Context[int, Me]):
        async for m in ctx.inbox:
            try:
                m.reply_to.tell(await ctx.self.ask(Me(None)))
            except ReentrancyError as e:
                assert "would never read it" in str(e)
                m.reply_to.tell(-1)

    async def main():
        async with ActorSystem() as system:
            assert await system.ref(selfish, "x").ask(Me(None)) == -1

    run(main())


@dataclass(frozen=True)
class Slow:
    reply_to: Ref[int]


@actor(initial=0, mailbox=1)
async def refusing(ctx: Context[int, Slow]):
    async for m in ctx.inbox:
        await asyncio.sleep(0.05)
        m.reply_to.tell(1)


@actor(initial=0, mailbox=1, on_full="wait")
async def waiting(ctx: Context[int, Slow]):
    async for m in ctx.inbox:
        await asyncio.sleep(0.02)
        m.reply_to.tell(1)


def test_a_full_mailbox_refuses():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(refusing, "r")
            asks = [asyncio.ensure_future(ref.ask(Slow(None))) for _ in range(4)]
            results = await asyncio.gather(*asks, return_exceptions=True)
            assert any(isinstance(r, MailboxFull) for r in results)
            assert any(r == 1 for r in results)
            full = next(r for r in results if isinstance(r, MailboxFull))
            assert str(full) == f"the mailbox of {__name__}:refusing/r is full"

    run(main())


def test_a_full_mailbox_with_wait_parks_the_askers():
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(waiting, "w")
            results = await asyncio.gather(*[ref.ask(Slow(None)) for _ in range(5)])
            assert results == [1] * 5

    run(main())


def test_a_key_never_started_is_not_started():
    @actor
    async def plain(ctx: Context[int, Get]):
        async for m in ctx.inbox:
            m.reply_to.tell(ctx.state.value)

    async def main():
        async with ActorSystem() as system:
            ref = system.ref(plain, "p", initial=5)
            assert await ref.ask(Get(None)) == 5
            with pytest.raises(TypeError, match="has no default initial state"):
                system.ref(plain, "q")

    run(main())


def test_become_hands_the_key_to_another_type():
    @dataclass(frozen=True)
    class Who:
        reply_to: Ref[str]

    @actor(initial=0)
    async def second(ctx: Context[int, Who]):
        async for m in ctx.inbox:
            m.reply_to.tell(f"second {ctx.state.value}")

    @actor(initial=0)
    async def first(ctx: Context[int, Who]):
        async for m in ctx.inbox:
            m.reply_to.tell(f"first {ctx.state.value}")
            await ctx.state.set(3)
            await ctx.become(second)

    async def main():
        async with ActorSystem() as system:
            ref = system.ref(first, "b")
            assert await ref.ask(Who(None)) == "first 0"
            assert await ref.ask(Who(None)) == "second 3"

    run(main())


def test_state_update_delete_and_own_defaults():
    @dataclass(frozen=True)
    class Step:
        kind: str
        reply_to: Ref[tuple[int, ...]]

    @actor(initial=())
    async def listing(ctx: Context[tuple[int, ...], Step]):
        async for m in ctx.inbox:
            if m.kind == "grow":
                value = await ctx.state.update(lambda s: (*s, len(s)))
                m.reply_to.tell(value)
            elif m.kind == "delete":
                await ctx.state.delete()
                m.reply_to.tell(ctx.state.value)
            else:
                m.reply_to.tell(ctx.state.value)

    async def main():
        async with ActorSystem() as system:
            a = system.ref(listing, "a")
            assert await a.ask(Step("grow", None)) == (0,)
            assert await a.ask(Step("grow", None)) == (0, 1)
            assert await a.ask(Step("delete", None)) == ()
            assert await a.ask(Step("grow", None)) == (0,)

    run(main())


def test_a_normal_exit_drains_and_an_exception_abandons():
    events = Events()
    busy, done = [], []

    @actor(initial=0)
    async def worker(ctx: Context[int, Add]):
        async for m in ctx.inbox:
            busy.append(m.n)
            await asyncio.sleep(0.01)
            done.append(m.n)

    async def drained():
        async with ActorSystem(observer=events) as system:
            ref = system.ref(worker, "w")
            ref.tell(Add(1))
            await until(lambda: busy == [1])  # the body is busy with the message when the block ends

    run(drained())
    assert done == [1]

    async def aborted():
        with pytest.raises(KeyError):
            async with ActorSystem() as system:
                ref = system.ref(worker, "w")
                ref.tell(Add(2))
                await until(lambda: busy == [1, 2])
                raise KeyError("stop")

    run(aborted())
    assert done == [1]


@dataclass(frozen=True)
class Hang:
    reply_to: Ref[int]


# Set by a body once it holds an ask, by key.
HANGING: dict[str, asyncio.Event] = {}


@actor(initial=0)
async def hang(ctx: Context[int, Hang]):
    async for _ in ctx.inbox:
        HANGING[ctx.key].set()
        await asyncio.sleep(10)


async def hung(system, key, futures=None):
    """An ask that the key's body has begun to handle and holds; its future made under `futures`."""
    HANGING[key] = asyncio.Event()
    with futures or contextlib.nullcontext():
        pending = asyncio.ensure_future(system.ref(hang, key).ask(Hang(None)))
    await HANGING[key].wait()
    return pending


def test_pending_asks_of_a_stopped_system_fail_with_unavailable():
    async def main():
        system = ActorSystem(leave_timeout=timedelta(milliseconds=20))
        await system.__aenter__()
        pending = await hung(system, "h")
        await system.__aexit__(None, None, None)
        with pytest.raises(Unavailable):
            await pending

    run(main())


def test_release_lets_a_key_go_and_answers_whether_it_was_there():
    async def main():
        async with ActorSystem() as system:
            assert await system.release(counter, "none") is False
            ref = system.ref(counter, "r")
            ref.tell(Add(4))
            assert await ref.ask(Get(None)) == 4
            assert await system.release(counter, "r") is True
            assert await ref.ask(Get(None)) == 4

    run(main())


def test_an_unknown_type_and_a_body_that_cannot_open_end_cleanly():
    @actor(initial=0)
    def not_async(ctx: Context[int, Get]):  # calling it gives no coroutine
        return 1

    async def main():
        async with ActorSystem(leave_timeout=timedelta(seconds=3)) as system:
            ref = system.ref(not_async, "n")
            with pytest.raises(Unavailable):
                await ref.ask(Get(None))

    run(main())


def test_placement_of_a_system_without_a_cluster_is_this_node():
    async def main():
        async with ActorSystem() as system:
            placed = await system.placement(counter, "k")
            assert placed.owner == system.node
            assert placed.nodes == (system.node,)
            with pytest.raises(ValueError, match="has the form @host:port/name"):
                system.ref(counter, "@a:1/b")

    run(main())


@actor(initial=0, pinned=True)
async def pinned_counter(ctx: Context[int, Add | Get]):
    async for m in ctx.inbox:
        if isinstance(m, Add):
            await ctx.state.set(ctx.state.value + m.n)
        else:
            m.reply_to.tell(ctx.state.value)


def test_a_pinned_key_is_placed_under_the_address_at_names_and_runs_without_a_cluster():
    async def main():
        async with ActorSystem() as system:
            node = vorel.NodeId("h:80", system.node.incarnation)
            for at in ["h:80", node, vorel.Member(node, "alive", frozenset())]:
                ref = system.ref(pinned_counter, "k", at=at)
                assert repr(ref) == f"Ref({__name__}:pinned_counter/@h:80/k)"
                ref.tell(Add(1))
            assert await system.ref(pinned_counter, "k", at="h:80").ask(Get(None)) == 3
            placed = await system.placement(pinned_counter, "k", at="::1:80")
            assert placed.owner == system.node

    run(main())


@pytest.mark.parametrize(
    ("at", "error", "text"),
    [
        (None, TypeError, "is pinned, so its ref names the node it runs on: pass at="),
        (3, TypeError, "at is 3, which is not a Member, a NodeId or a host:port"),
        ("h:80/x", ValueError, 'at is "h:80/x", which is not the host:port a node advertises'),
        ("h:", ValueError, 'at is "h:", which is not the host:port a node advertises'),
        (":80", ValueError, 'at is ":80", which is not the host:port a node advertises'),
        ("h:8a", ValueError, 'at is "h:8a", which is not the host:port a node advertises'),
        ("nohost", ValueError, 'at is "nohost", which is not the host:port a node advertises'),
        ("no-address", ValueError, "which has no address: only a node of a cluster runs keys"),
    ],
)
def test_a_pinned_type_refuses_what_names_no_node(at, error, text):
    async def main():
        async with ActorSystem() as system:
            if at == "no-address":
                given = system.node
            else:
                given = at
            for call in (system.ref, system.placement):
                with pytest.raises(error) as raised:
                    call(pinned_counter, "k", at=given)
                assert text in str(raised.value)
            if at == "no-address":
                assert str(raised.value) == f"at is {system.node}, which has no address: only a node of a cluster runs keys"

    run(main())


def test_a_ring_type_refuses_at():
    async def main():
        async with ActorSystem() as system:
            with pytest.raises(TypeError, match="is placed by the ring, and only a type declared with pinned=True takes at="):
                system.ref(counter, "k", at="h:80")

    run(main())


@dataclass(frozen=True)
class Box:
    n: int


DEFAULT = Box(0)


@dataclass(frozen=True)
class Poke:
    reply_to: Ref[bool]


@actor(initial=DEFAULT)
async def boxed(ctx: Context[Box, Poke]):
    async for m in ctx.inbox:
        await ctx.state.set(Box(5))
        await ctx.state.delete()
        m.reply_to.tell(ctx.state.value == DEFAULT and ctx.state.value is not DEFAULT)


def test_after_a_delete_each_key_has_a_default_of_its_own():
    async def main():
        async with ActorSystem() as system:
            assert await system.ref(boxed, "a").ask(Poke(None)) is True

    run(main())


# The module's Unavailable from a body, its subclass too, passes on as Unavailable; a class of the
# user's that has its name is a failure of the body like any other.


class Gone(Unavailable):
    pass


def users_unavailable():
    class Unavailable(Exception):
        pass

    return Unavailable


RAISED = {"module": Unavailable, "subclass": Gone, "user": users_unavailable()}


@actor(initial=0)
async def raiser(ctx: Context[int, Fail]):
    async for m in ctx.inbox:
        raise RAISED[m.text](m.text)


@pytest.mark.parametrize("name, expected", [("module", Unavailable), ("subclass", Unavailable), ("user", ActorFailed)])
def test_an_unavailable_raised_by_a_body_is_recognised_by_its_class(name, expected):
    async def main():
        async with ActorSystem() as system:
            with pytest.raises(expected) as raised:
                await system.ref(raiser, name).ask(Fail(name, None))
            return raised.value

    e = run(main())
    assert type(e) is expected
    if expected is ActorFailed:
        assert (e.error, e.message) == ("Unavailable", "user")
    else:
        assert str(e) == f"{__name__}:raiser/{name} did not process the message"


# Failures that no caller can be given: each reaches the loop's exception handler, and every asker
# wakes, with its answer or cancelled.

STOPPING = "Exception while a vorel system stopped, in a step that went on past it"
REFUSING = "Exception while vorel refused what waited for an activation that ended"


def refused_by(method):
    """A future class whose `method` raises."""

    class Refusing(asyncio.Future):
        pass

    def refused(self, *args):
        raise RuntimeError(f"{method} refused")

    setattr(Refusing, method, refused)
    return Refusing


@contextlib.contextmanager
def futures_of(cls):
    """The running loop makes its futures of `cls` meanwhile."""
    loop = asyncio.get_running_loop()
    loop.create_future = lambda: cls(loop=loop)
    try:
        yield
    finally:
        del loop.create_future


def reported(contexts):
    """Keeps what reaches the running loop's exception handler."""
    asyncio.get_running_loop().set_exception_handler(lambda loop, context: contexts.append(context))


def shown(contexts):
    return [(c["message"], type(c["exception"]), str(c["exception"])) for c in contexts]


@pytest.mark.parametrize("method, cancelled", [("set_exception", True), ("done", False)])
def test_a_stop_settles_an_ask_whose_future_fails_and_reports_the_failure(method, cancelled):
    contexts = []

    async def main():
        reported(contexts)
        with pytest.raises(KeyError):
            async with ActorSystem() as system:
                pending = await hung(system, "h", futures_of(refused_by(method)))
                raise KeyError("stop")
        await asyncio.wait([pending])
        return pending

    pending = run(main())
    assert shown(contexts) == [(STOPPING, RuntimeError, f"{method} refused")]
    assert pending.cancelled() is cancelled
    if not cancelled:
        assert type(pending.exception()) is Unavailable
        assert str(pending.exception()) == f"the system stopped before {hang.name}/h answered"


def test_a_stop_whose_exit_future_refuses_its_result_ends_all_the_same():
    contexts = []

    async def main():
        reported(contexts)
        system = ActorSystem()
        await system.__aenter__()
        with futures_of(refused_by("set_result")):
            exiting = system.__aexit__(KeyError, KeyError("stop"), None)
        with pytest.raises(asyncio.CancelledError):
            await exiting
        with pytest.raises(RuntimeError, match="^the system has stopped$"):
            system.ref(counter, "a")

    run(main())
    assert shown(contexts) == [(STOPPING, RuntimeError, "set_result refused")]


def test_a_stop_whose_saves_cannot_be_awaited_ends_all_the_same():
    contexts = []

    def refused():
        raise RuntimeError("create_future refused")

    async def main():
        reported(contexts)
        system = ActorSystem()
        await system.__aenter__()
        exiting = system.__aexit__(None, None, None)
        # Refused from the step after the drain on, which waits for the saves under way.
        loop = asyncio.get_running_loop()
        loop.create_future = refused
        try:
            assert await exiting is None
        finally:
            del loop.create_future

    run(main())
    assert [(type(c["exception"]), str(c["exception"])) for c in contexts] == [(RuntimeError, "create_future refused")]


def test_an_asker_of_a_key_that_cannot_open_wakes_though_its_future_refuses_the_refusal():
    contexts = []

    @actor(initial=0)
    def not_async(ctx: Context[int, Get]):  # calling it gives no coroutine
        return 1

    async def main():
        reported(contexts)
        async with ActorSystem() as system:
            with futures_of(refused_by("set_exception")):
                pending = asyncio.ensure_future(system.ref(not_async, "n").ask(Get(None)))
            await asyncio.wait([pending])
        return pending

    pending = run(main())
    assert pending.cancelled()
    # The refusal is reported on its own; the failure to open reaches the handler after it.
    refused, opening = contexts
    assert shown([refused]) == [(REFUSING, RuntimeError, "set_exception refused")]
    assert type(opening["exception"]) is TypeError


# What a system leaves behind once it ended: nothing of its node, its activations, their contexts
# and their bodies.


@dataclass(frozen=True)
class Do:
    what: str
    reply_to: Ref[int]


@dataclass(frozen=True)
class Later:
    pass


LIVED: list = []


@actor(initial=0)
async def lived(ctx: Context[int, Do | Later]):
    task = asyncio.current_task()
    LIVED.extend([weakref.ref(task), weakref.ref(task.get_coro())])
    async for m in ctx.inbox:
        if m.what == "fail":
            raise ValueError("failed")
        if m.what == "hang":
            HANGING[ctx.key].set()
            await asyncio.sleep(10)
        if m.what == "beside":
            ctx.to_self(asyncio.sleep(10))
            await ctx.schedule("later", timedelta(minutes=1), None, Later())
        await ctx.state.set(ctx.state.value + 1)
        m.reply_to.tell(ctx.state.value)


@pytest.mark.parametrize("abort", [False, True], ids=["drained", "abandoned"])
def test_a_system_that_ended_leaves_nothing_of_its_keys_behind(testing, abort):
    LIVED.clear()
    HANGING.clear()

    async def main():
        HANGING["hang"] = asyncio.Event()
        # An observer that keeps nothing: a failure's traceback would hold the body's frame.
        system = ActorSystem(leave_timeout=timedelta(milliseconds=50), observer=lambda event: None)
        asks = []
        try:
            async with system:
                assert await system.ref(lived, "idle").ask(Do("add", None)) == 1
                assert await system.ref(lived, "beside").ask(Do("beside", None)) == 1
                with pytest.raises(ActorFailed):
                    await system.ref(lived, "fail").ask(Do("fail", None))
                asks.append(asyncio.ensure_future(system.ref(lived, "hang").ask(Do("hang", None))))
                asks.append(asyncio.ensure_future(system.ref(lived, "hang").ask(Do("queued", None))))
                await HANGING["hang"].wait()
                if abort:
                    raise KeyError("stop")
        except KeyError:
            pass
        outcomes = await asyncio.gather(*asks, return_exceptions=True)
        assert [type(o) for o in outcomes] == [Unavailable, Unavailable]
        return testing.weak_node(system)

    weak = run(main())
    gc.collect()
    assert testing.node_alive(weak) == 0
    assert len(LIVED) >= 8
    assert [r() for r in LIVED if r() is not None] == []


LET_GO = {}


async def _catches_in_a_loop(key):
    while not LET_GO[key]:
        try:
            await asyncio.sleep(3600)
        except asyncio.CancelledError:
            pass


async def _awaits_again_when_cancelled(key):
    try:
        await asyncio.sleep(3600)
    except BaseException:
        while not LET_GO[key]:
            with contextlib.suppress(asyncio.CancelledError):
                await asyncio.sleep(3600)


@pytest.mark.parametrize("stubborn", [_catches_in_a_loop, _awaits_again_when_cancelled])
def test_a_body_that_does_not_stop_is_let_go_at_the_leave_timeout_and_named(stubborn):
    @actor(initial=0)
    async def holds_on(ctx: Context[int, Add]):
        await stubborn(ctx.key)

    async def main():
        loop = asyncio.get_running_loop()
        reported = []
        loop.set_exception_handler(lambda _, context: reported.append(context))
        LET_GO["s"] = False
        began = loop.time()
        async with ActorSystem(leave_timeout=timedelta(milliseconds=100)) as system:
            system.ref(holds_on, "s")
            await asyncio.sleep(0.05)
        assert loop.time() - began < 2
        LET_GO["s"] = True  # the loop's own end cancels it once more, and now it stops
        assert [str(c.get("exception")).rpartition(".")[2] for c in reported] == [
            "holds_on/s: the body did not stop when it was cancelled at the leave timeout, and the system stopped "
            "without it"
        ]

    run(main())


@pytest.mark.parametrize("call", ["tell", "ask"])
def test_a_ref_used_from_another_thread_is_refused_with_the_way_to_hand_it_to_the_loop(call):
    async def main():
        async with ActorSystem() as system:
            ref = system.ref(counter, "t")
            message = Add(1) if call == "tell" else Get(None)
            with pytest.raises(RuntimeError, match=r"thread other than the one running the system's event loop"):
                await asyncio.to_thread(getattr(ref, call), message)
            # Handed to the loop as the refusal says, it arrives.
            loop = asyncio.get_running_loop()
            await asyncio.to_thread(loop.call_soon_threadsafe, ref.tell, Add(2))
            assert await ref.ask(Get(None)) == 2

    run(main())


async def _raises_before_reading(ctx):
    raise ValueError("no start")


async def _cancels_itself_before_reading(ctx):
    raise asyncio.CancelledError("gave up")


async def _cancels_itself_while_handling(ctx):
    async for m in ctx.inbox:
        raise asyncio.CancelledError("gave up")


@pytest.mark.parametrize(
    "fails, error, message",
    [
        (_raises_before_reading, "ValueError", "no start"),
        (_cancels_itself_before_reading, "CancelledError", "gave up"),
        (_cancels_itself_while_handling, "CancelledError", "gave up"),
    ],
)
def test_an_ask_a_failing_body_never_reads_fails_with_its_error_at_once(fails, error, message):
    @actor(initial=0)
    async def failing(ctx: Context[int, Get]):
        await fails(ctx)

    async def main():
        async with ActorSystem(ask_timeout=timedelta(seconds=60), leave_timeout=timedelta(milliseconds=50)) as system:
            with pytest.raises(ActorFailed) as failed:
                await system.ref(failing, "x").ask(Get(None))
            assert (failed.value.error, failed.value.message) == (error, message)

    run(main())


@dataclass(frozen=True)
class Blob:
    data: bytes
    reply_to: Ref[bytes]


@actor(initial=b"")
async def echo(ctx: Context[bytes, Blob]):
    async for m in ctx.inbox:
        await ctx.state.set(m.data)
        m.reply_to.tell(m.data)


def test_without_a_cluster_nothing_crosses_between_nodes_so_the_message_limit_does_not_apply():
    large = bytes(vorel.Limits().message + 1)

    async def main():
        async with ActorSystem() as system:
            ref = system.ref(echo, "big", initial=large)
            assert await ref.ask(Blob(large, None)) == large

    run(main())


def _rss():
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
def test_a_system_entered_and_left_leaves_no_timer_and_no_native_memory():
    async def cycles(n):
        loop = asyncio.get_running_loop()
        timers = lambda: {h for h in loop._scheduled if not h.cancelled()}  # noqa: E731
        others = timers()
        for _ in range(n):
            async with ActorSystem() as system:
                assert await system.ref(counter, "k").ask(Get(None)) == 0
            # The leave timeout's timer goes with the drain: nothing keeps the node on the loop.
            assert timers() == others

    async def main():
        await cycles(500)
        before = _rss()
        await cycles(3000)
        return (_rss() - before) / 3000

    # A leak of the size once seen (2 KB or more a system) is far above this loose bound.
    assert run(main(), 60) < 512


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
def test_a_key_let_go_in_its_default_initial_state_keeps_no_native_memory():
    async def touch(system, keys):
        for key in keys:
            ref = system.ref(counter, key)
            assert await ref.ask(Get(None)) == 0
            assert await system.release(counter, key) is True

    async def main():
        async with ActorSystem() as system:
            await touch(system, [f"warm{i}" for i in range(1000)])
            before = _rss()
            await touch(system, [f"key{i}" for i in range(10000)])
            grown = (_rss() - before) / 10000
            # A key that wrote a state keeps it, and opens with it again.
            ref = system.ref(counter, "key7")
            ref.tell(Add(2))
            assert await ref.ask(Get(None)) == 2
            assert await system.release(counter, "key7") is True
            assert await ref.ask(Get(None)) == 2
            return grown

    # About 300 bytes a key were kept once; the bound leaves room for a shared machine's noise.
    assert run(main(), 60) < 100


@actor(initial=0)
async def eager(ctx: Context[int, Get]):
    await ctx.state.set(ctx.state.value + 1)  # called before the body first suspends
    async for m in ctx.inbox:
        m.reply_to.tell(ctx.state.value)


def test_a_context_acts_from_the_first_step_of_an_eager_task():
    async def main():
        asyncio.get_running_loop().set_task_factory(asyncio.eager_task_factory)
        async with ActorSystem() as system:
            return await system.ref(eager, "e").ask(Get(None))

    assert run(main()) == 1
