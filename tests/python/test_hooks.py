"""The underscore test hooks of ActorSystem and Client, and the Writes watcher."""

import asyncio
from collections.abc import Mapping
from dataclasses import dataclass

import pytest
from support import run, until

from vorel import ActorSystem, Client, Context, Ref, Schema, SchemaError, actor
from vorel._vorel import Writes

pytestmark = pytest.mark.timeout(10)


def entered(body):
    async def main():
        async with ActorSystem() as system:
            return await body(system)

    return run(main())


def test_encode_decode_round_trip_and_trailing_bytes():
    async def body(system):
        schema = system._schema(Mapping[str, tuple[int, ...]])
        assert isinstance(schema, Schema)
        value = {"b": (1, 2), "a": ()}
        data = system._encode(schema, value)
        assert system._decode(schema, data) == value
        with pytest.raises(SchemaError, match="the payload holds more than one value"):
            system._decode(schema, data + b"\x00")

    entered(body)


def test_a_frozenset_encodes_the_same_whatever_its_iteration_order():
    async def body(system):
        schema = system._schema(frozenset[int])
        values = [frozenset(range(40)), frozenset(reversed(range(40))), frozenset(range(39, -1, -1))]
        return {system._encode(schema, v) for v in values}

    assert len(entered(body)) == 1


@dataclass(frozen=True)
class Hold:
    reply_to: Ref[tuple[str, ...]]


@dataclass(frozen=True)
class Via:
    other: Ref[Hold]
    reply_to: Ref[tuple[str, ...]]


systems: list = []


@actor(initial=0)
async def chained(ctx: Context[int, Hold | Via]):
    async for m in ctx.inbox:
        if isinstance(m, Via):
            m.reply_to.tell(await m.other.ask(Hold(None)))
        else:
            m.reply_to.tell(tuple(systems[-1]._chain()))


def test_chain_is_empty_outside_a_body_and_names_the_askers_inside():
    async def body(system):
        systems.append(system)
        assert system._chain() == []
        inner = system.ref(chained, "inner")
        return await system.ref(chained, "outer").ask(Via(inner, None))

    assert entered(body) == (f"{__name__}:chained/outer", f"{__name__}:chained/inner")


gate = None


@actor(initial=0)
async def slow(ctx: Context[int, Hold]):
    async for m in ctx.inbox:
        await gate.wait()
        m.reply_to.tell(())


def test_queued_and_cancel(testing):
    async def body(system):
        global gate
        gate = asyncio.Event()
        assert system._queued(slow, "q") is None
        ref = system.ref(slow, "q")
        assert system._queued(slow, key="q") == 0
        first = asyncio.ensure_future(ref.ask(Hold(None)))
        # The ask is queued at once; the body takes it and waits at the gate.
        await until(lambda: system._queued(slow, "q") == 0)
        second = asyncio.ensure_future(ref.ask(Hold(None)))
        assert system._queued(slow, "q") == 1
        system._cancel(slow, "q", testing.ref())  # a ref to nobody cancels nothing
        assert system._queued(slow, "q") == 1
        # The second ask of this system is answered at request id 1 on its node.
        waiting = testing.ref(("r", None, system.node.incarnation.bytes, 1))
        system._cancel(actor=slow, key="q", reply_to=waiting)
        assert system._queued(slow, "q") == 0
        gate.set()
        answer = await first
        second.cancel()
        return answer

    assert entered(body) == ()


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda s: s._learn(42), "int is not an actor type; decorate its body with @actor"),
        (lambda s: s._queued(object(), "k"), "object is not an actor type; decorate its body with @actor"),
        (lambda s: s._queued(slow, 1), "argument 'key' must be str"),
        (lambda s: s._resolve(3), "argument 'name' must be str"),
        (lambda s: s._encode(3, 1), "argument 'schema' must be Schema"),
        (lambda s: s._decode(s._schema(int), "x"), "argument 'data' must be bytes"),
        (lambda s: s._cancel(slow, "k", "not a ref"), "argument 'reply_to' must be Ref"),
    ],
)
def test_arguments_of_the_wrong_kind(call, text):
    async def body(system):
        with pytest.raises(TypeError, match=text):
            call(system)

    entered(body)


def test_resolve_and_learn():
    async def body(system):
        assert system._resolve(f"{__name__}:slow") is slow
        assert system._resolve("no_such_module_here:thing") is None
        assert system._resolve("no_such_module_here:thing") is None
        system._learn(chained)
        return system.members[0].kinds

    assert f"{__name__}:chained" in entered(body)


@dataclass(frozen=True)
class Store:
    value: bytes
    reply_to: Ref[bool]


@dataclass(frozen=True)
class Drop:
    reply_to: Ref[bool]


@actor(initial=b"")
async def raw(ctx: Context[bytes, Store | Drop]):
    async for m in ctx.inbox:
        try:
            if isinstance(m, Drop):
                await ctx.state.delete()
            else:
                await ctx.state.set(m.value)
            m.reply_to.tell(True)
        except ValueError as e:
            assert str(e) == "value save failed"
            m.reply_to.tell(False)


def test_writes_watches_pages_and_fails_once_on_fail_on():
    async def body(system):
        ref = system.ref(raw, "w")
        watcher = system._writes()
        assert isinstance(watcher, Writes)
        payloads = watcher.payloads
        assert payloads is watcher.payloads and payloads == []
        assert await ref.ask(Store(b"one", None))
        assert payloads == [b"\xc4\x03one"]
        watcher.fail_on = b"two"
        assert watcher.fail_on == b"two"
        assert await ref.ask(Store(b"two", None)) is False
        assert payloads == [b"\xc4\x03one"]
        assert watcher.fail_on is None
        assert await ref.ask(Store(b"two", None))
        assert payloads == [b"\xc4\x03one", b"\xc4\x03two"]
        watcher.fail_on = [116, 119, 111]
        watcher.fail_on = None
        assert await ref.ask(Store(b"two", None))
        with pytest.raises(TypeError):
            watcher.fail_on = "two"
        second = system._writes()
        assert await ref.ask(Store(b"three", None))
        assert len(payloads) == 3 and second.payloads == [b"\xc4\x05three"]

    entered(body)


def test_stored_lists_kept_keys_and_tombstones():
    async def body(system):
        ref = system.ref(raw, "s")
        assert await ref.ask(Store(b"x", None))
        kept = await system._stored()
        assert (f"{__name__}:raw", "s", False) in kept
        assert await ref.ask(Drop(None))
        return await system._stored()

    # Without a store to forget it, the deletion's tombstone may already be gone.
    after = [k for k in entered(body) if k[:2] == (f"{__name__}:raw", "s")]
    assert after in ([], [(f"{__name__}:raw", "s", True)])


def test_stored_before_entry():
    with pytest.raises(RuntimeError, match="^the system has not started$"):
        ActorSystem()._stored()


def test_writes_cannot_be_made_directly():
    with pytest.raises(TypeError):
        Writes()


def test_a_client_has_the_four_shared_hooks_only():
    client = Client(seeds=["h:1"])
    schema = client._schema(int)
    assert client._decode(schema, client._encode(schema, 5)) == 5
    assert client._resolve(f"{__name__}:slow") is slow
    for hosting in ("_chain", "_learn", "_cancel", "_queued", "_stored", "_writes", "activations", "release"):
        assert not hasattr(client, hosting)
