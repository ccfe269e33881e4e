"""Actor types: names, the checks that name the type, the body's signature and schemas, native
collections, `configured`, and the classes `Actor` and `DefaultedActor`."""

import types
from dataclasses import dataclass
from datetime import timedelta
from typing import Never

import pytest

import vorel
from vorel import SchemaError
from test_collections import COLLECTIONS, ORDINARY
from vorel.collections import parse
from vorel._vorel import Actor, Context, DefaultedActor, actor


def defined(source, module="app"):
    """Runs `source` as the body of a module named `module` and gives its namespace."""
    namespace = {"__name__": module, "Context": Context, "actor": actor}
    exec(source, namespace)
    return namespace


def test_names_of_module_level_and_method_bodies():
    app = defined(
        "@actor\n"
        "async def counter(ctx: Context[int, str]): pass\n"
        "class Shop:\n"
        "    @actor\n"
        "    async def order(ctx: Context[int, str]): pass\n"
        "    class Desk:\n"
        "        @actor(initial=0)\n"
        "        async def till(ctx: Context[int, str]): pass\n"
    )
    assert app["counter"].name == "app:counter"
    assert app["Shop"].order.name == "app:Shop.order"
    assert app["Shop"].Desk.till.name == "app:Shop.Desk.till"


def test_name_of_a_body_nested_in_a_function():
    def make():
        @actor
        async def inner(ctx: Context[int, str]) -> None:
            pass

        return inner

    assert make().name == f"{__name__}:test_name_of_a_body_nested_in_a_function.<locals>.make.<locals>.inner"


async def body(ctx: Context[int, str]) -> None:
    pass


def test_name_attributes_must_be_str():
    with pytest.raises(TypeError):
        actor(types.SimpleNamespace(__module__="app", __qualname__=5))
    with pytest.raises(TypeError):
        actor(types.SimpleNamespace(__module__=None, __qualname__="f"))
    with pytest.raises(AttributeError):
        actor(5)


CHECKS = [
    ({"replicas": 0}, "replicas is 0, so the state would live nowhere"),
    ({"replicas": 0, "pinned": True}, "replicas is 0, so the state would live nowhere"),
    ({"replicas": 0, "mailbox": 0}, "replicas is 0, so the state would live nowhere"),
    ({"replicas": 2, "pinned": True}, "replicas is 2, and a pinned type keeps its one copy on the node its key names"),
    ({"mailbox": 0}, "mailbox is 0, so every message would be refused"),
    ({"mailbox": 0, "on_full": "wait"}, "mailbox is 0, so every message would be refused"),
    ({"on_full": "wait"}, "on_full is 'wait', and a mailbox without a bound is never full; set mailbox"),
]


@pytest.mark.parametrize(("given", "text"), CHECKS)
def test_checks_that_name_the_type(given, text):
    with pytest.raises(ValueError) as raised:
        actor(body, **given)
    assert str(raised.value) == f"{__name__}:body: {text}"


def test_checks_come_before_the_signature():
    async def unannotated(ctx):
        pass

    with pytest.raises(ValueError, match="replicas is 0"):
        actor(unannotated, replicas=0)


@pytest.mark.parametrize(
    "given", [{"replicas": 1, "pinned": True}, {"mailbox": 1, "on_full": "wait"}, {"replicas": 1}]
)
def test_passing_checks(given):
    assert actor(body, **given).name == f"{__name__}:body"


def test_parameters_that_are_not_one_context(testing):
    app = defined(
        "async def none(): pass\n"
        "async def two(a: Context[int, str], b: Context[int, str]): pass\n"
        "async def bare(ctx): pass\n"
        "async def plain(ctx: Context): pass\n"
        "async def other(ctx: list[int]): pass\n"
        "async def three(ctx: Context[int, str, bytes]): pass\n"
        "async def keyword(*, ctx: Context[int, str]): pass\n"
    )
    for name in ["none", "two", "bare", "plain", "other", "three"]:
        with pytest.raises(TypeError) as raised:
            actor(app[name])
        assert str(raised.value) == f"the parameter of app:{name} must be annotated as Context[S, M]"
    # The kind of the parameter is not looked at.
    assert actor(app["keyword"]).name == "app:keyword"


def test_context_with_one_argument_has_a_message_type_of_never(testing):
    async def reads_nothing(ctx: Context[int]) -> None:
        pass

    assert testing.definition(actor(reads_nothing))["message"] == (["Never"], 0)
    assert Context[int] == Context[int, Never]


@dataclass(frozen=True)
class Tally:
    count: int
    label: str


def test_state_and_message_schemas_are_those_of_the_annotation(testing):
    async def tallies(ctx: Context[Tally, int | str]) -> None:
        pass

    seen = testing.definition(actor(tallies))
    for part, hint in [("state", Tally), ("message", int | str)]:
        compiled = testing.compile(hint)
        assert seen[part] == ([n[0] for n in compiled["nodes"]], compiled["root"])


def test_string_annotations_are_evaluated():
    app = defined("async def later(ctx: 'Context[int, str]'): pass\n")
    assert actor(app["later"]).name == "app:later"


def test_an_annotation_naming_nothing_is_a_schema_error():
    app = defined("async def broken(ctx: 'Context[Nope, str]'): pass\n")
    with pytest.raises(SchemaError) as raised:
        actor(app["broken"])
    assert str(raised.value) == "app:broken: name 'Nope' is not defined"


def test_a_state_the_compiler_refuses_stops_before_the_message():
    async def mutable(ctx: Context[list[int], set[int]]) -> None:
        pass

    with pytest.raises(SchemaError) as raised:
        actor(mutable)
    assert str(raised.value).startswith("state: ")


def test_a_message_the_compiler_refuses():
    async def mutable(ctx: Context[int, set[int]]) -> None:
        pass

    with pytest.raises(SchemaError) as raised:
        actor(mutable)
    assert str(raised.value).startswith("message: ")


def test_a_body_that_is_not_callable():
    with pytest.raises(TypeError, match="callable"):
        actor(types.SimpleNamespace(__module__="app", __qualname__="NotCallable"))


def test_the_body_is_not_called_nor_checked_to_be_a_coroutine_function():
    calls = []

    def sync(ctx: Context[int, str]):
        calls.append(ctx)

    assert actor(sync, initial="not an int").initial == "not an int"
    assert calls == []


# The names the package's own reading is tested with, and a few more; a type is named
# module:qualname, so every name here has a colon.
COLLECTION_NAMES = [
    name
    for name in [n for n, _ in COLLECTIONS]
    + ORDINARY
    + [
        "vorel.collections:table_0_one",
        "vorel.collections:counter_3_one_",
        "vorel.collections:_3_one",
        "vorel.collections:3_one",
        "vorel.collections:counter.actor.actor",
        "vorel.collections.x:counter.actor",
        "vorel.collections:counter_3_one:x",
    ]
    if ":" in name
]


# The debug name of each kind's native collection, which the test hook shows.
DEBUG_NAMES = {
    "counter": "Counter",
    "register": "Register",
    "entry": "Entry",
    "semaphore": "Semaphore",
    "barrier": "Barrier",
    "queue": "Queue",
    "queue_segment": "Segment",
    "table": "Table",
    "table_segment": "Segment",
}


@pytest.mark.parametrize("name", COLLECTION_NAMES)
def test_collection_names_select_their_native_kind(testing, name):
    module, _, qualname = name.partition(":")

    async def collection(ctx: Context[int, str]) -> None:
        pass

    collection.__module__ = module
    collection.__qualname__ = qualname
    named = parse(name)
    assert testing.definition(actor(collection))["native"] == (DEBUG_NAMES[named.kind] if named else None)


def test_collection_examples(testing):
    def native(name):
        module, _, qualname = name.partition(":")

        async def collection(ctx: Context[int, str]) -> None:
            pass

        collection.__module__, collection.__qualname__ = module, qualname
        return testing.definition(actor(collection))["native"]

    assert native("vorel.collections:table_segment.actor") == "Segment"
    assert native("vorel.collections:table.actor") == "Table"
    assert native("vorel.collections:counter_3_majority") == "Counter"
    assert native("vorel.collections:Counter.actor") is None
    assert native("vorel.collections:counter") is None


def test_configured_copies_the_type_under_another_name(testing):
    base = actor(body, initial=[0], write="one", mailbox=4)
    made = base.configured("app:counter_3_all", 3, "all")
    assert type(made) is DefaultedActor
    assert (made.name, made.replicas, made.write) == ("app:counter_3_all", 3, "all")
    assert made.initial is base.initial and made.body is base.body and made.mailbox == 4
    assert testing.definition(made)["state"] == testing.definition(base)["state"]
    assert type(actor(body).configured(name="x:y", replicas=1, write="one")) is Actor


def test_configured_keeps_the_native_collection(testing):
    async def collection(ctx: Context[int, str]) -> None:
        pass

    collection.__module__, collection.__qualname__ = "vorel.collections", "counter.actor"
    made = actor(collection).configured("app:plain", 2, "majority")
    assert testing.definition(made)["native"] == "Counter"


@pytest.mark.parametrize(
    ("arguments", "error", "text"),
    [
        (("app:c", 2, "majority"), ValueError, "app:c: replicas is 2, and a pinned type keeps its one copy on the node its key names"),
        (("app:c", 0, "one"), ValueError, "app:c: replicas is 0, so the state would live nowhere"),
        (("app:c", 1, "Most"), ValueError, "write is \"Most\", not one of 'one', 'majority', 'all'"),
        ((5, 1, "one"), TypeError, None),
        (("app:c", "1", "one"), TypeError, None),
        (("app:c", -1, "one"), OverflowError, None),
        (("app:c", 1, None), TypeError, None),
    ],
)
def test_configured_refusals(arguments, error, text):
    pinned = actor(body, pinned=True)
    with pytest.raises(error) as raised:
        pinned.configured(*arguments)
    if text is not None:
        assert str(raised.value) == text


def test_configured_does_not_check_what_the_type_was_built_with():
    assert actor(body).configured("anything", 7, "one").name == "anything"
    assert actor(body, pinned=True).configured("app:p", 1, "all").pinned


def test_attributes_read_back():
    t = actor(
        body,
        pinned=True,
        mailbox=7,
        on_full="wait",
        idle_after=timedelta(seconds=1.5),
        ask_timeout=timedelta(microseconds=3),
        write_timeout=timedelta(days=1),
        backoff=vorel.Backoff(timedelta(seconds=1), timedelta(seconds=4), 3.0),
        durable=timedelta(minutes=5),
    )
    assert t.body is body
    assert (t.pinned, t.replicas, t.mailbox, t.on_full) == (True, 1, 7, "wait")
    assert (t.idle_after, t.ask_timeout, t.write_timeout) == (
        timedelta(seconds=1.5),
        timedelta(microseconds=3),
        timedelta(days=1),
    )
    assert t.durable == timedelta(minutes=5)
    assert t.backoff == vorel.Backoff(timedelta(seconds=1), timedelta(seconds=4), 3.0)
    # A new object at every read, of the outside package's class.
    assert t.backoff is not t.backoff and type(t.backoff) is vorel.Backoff
    for name in ["name", "body", "pinned", "replicas", "write", "durable", "backoff"]:
        with pytest.raises(AttributeError):
            setattr(t, name, None)


def test_repr():
    app = defined("async def counter(ctx: Context[int, str]): pass\n")
    assert repr(actor(app["counter"])) == "Actor(app:counter)"
    assert repr(actor(app["counter"], initial=0)) == "DefaultedActor(app:counter)"


def test_classes():
    for cls, doc in [
        (Actor, "An actor type whose keys are created only by `start`."),
        (DefaultedActor, "An actor type whose keys are created on demand with `initial`."),
    ]:
        assert cls.__module__ == "vorel._vorel"
        assert cls.__bases__ == (object,)
        assert cls.__doc__ == doc
        with pytest.raises(TypeError):
            cls()
        alias = cls[int]
        assert type(alias) is types.GenericAlias
        assert alias.__origin__ is cls and alias.__args__ == (int,)
        assert cls[int, str].__args__ == (int, str)
        assert cls.configured.__doc__ == (
            "The same type under another name, with the replicas and write level of a configured collection."
        )
        assert cls.configured.__text_signature__ == "($self, name, replicas, write)"
    assert not issubclass(DefaultedActor, Actor) and not issubclass(Actor, DefaultedActor)
    assert not hasattr(Actor, "initial") and hasattr(DefaultedActor, "initial")


def test_context_class():
    assert Context.__module__ == "vorel._vorel"
    assert Context.__doc__ == (
        "The context of one run of the body of an activation: its key, its state, and the messages that reach it."
    )
    assert type(Context[int, str]) is types.GenericAlias
    assert Context[int, str].__args__ == (int, str)
    assert Context[int].__args__ == (int, Never)
    with pytest.raises(TypeError):
        Context()


def test_a_type_that_refers_to_itself_is_collected():
    import gc
    import weakref

    def make():
        @actor
        async def looping(ctx: Context[int, str]) -> None:
            return looping

        return weakref.ref(looping.body)

    gone = make()
    gc.collect()
    assert gone() is None
