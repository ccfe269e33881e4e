"""The `actor` decorator: every option parsed, defaulted and refused, with the decorator form."""

import inspect
from datetime import timedelta
from types import SimpleNamespace

import pytest

import vorel
from vorel._forms import quoted
from vorel._vorel import Actor, Context, DefaultedActor, actor


async def counter(ctx: Context[int, str]) -> None:
    pass


DEFAULTS = {
    "pinned": False,
    "replicas": 3,
    "write": "majority",
    "mailbox": None,
    "on_full": "refuse",
    "idle_after": None,
    "ask_timeout": None,
    "write_timeout": None,
    "backoff": None,
    "durable": None,
}


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class Factor:
    def __float__(self):
        return 1.25


def options(t):
    return {name: getattr(t, name) for name in DEFAULTS}


ACCEPTED = [
    ({}, {}),
    ({"pinned": True}, {"pinned": True, "replicas": 1}),
    ({"pinned": True, "replicas": 1}, {"pinned": True, "replicas": 1}),
    ({"pinned": False, "replicas": 5}, {"replicas": 5}),
    ({"replicas": 2**64 - 1}, {"replicas": 2**64 - 1}),
    ({"replicas": Index(7)}, {"replicas": 7}),
    ({"replicas": None, "mailbox": None}, {}),
    ({"write": "one"}, {"write": "one"}),
    ({"write": "all"}, {"write": "all"}),
    ({"mailbox": 10, "on_full": "wait"}, {"mailbox": 10, "on_full": "wait"}),
    ({"mailbox": Index(1), "on_full": "refuse"}, {"mailbox": 1}),
    ({"idle_after": timedelta(0)}, {"idle_after": timedelta(0)}),
    ({"ask_timeout": timedelta(microseconds=1500)}, {"ask_timeout": timedelta(microseconds=1500)}),
    ({"write_timeout": timedelta(days=2, seconds=3)}, {"write_timeout": timedelta(days=2, seconds=3)}),
    ({"idle_after": timedelta(days=999999999)}, {"idle_after": timedelta(days=999999999)}),
    ({"durable": "write"}, {"durable": "write"}),
    ({"durable": timedelta(minutes=5)}, {"durable": timedelta(minutes=5)}),
    ({"durable": timedelta(0)}, {"durable": timedelta(0)}),
    (
        {"backoff": vorel.Backoff(timedelta(seconds=0.5), timedelta(seconds=3), 1.5)},
        {"backoff": vorel.Backoff(timedelta(seconds=0.5), timedelta(seconds=3), 1.5)},
    ),
    # Any object with the three attributes; the factor converts as float() does, and the values are
    # not checked against each other.
    (
        {"backoff": SimpleNamespace(first=timedelta(seconds=9), limit=timedelta(0), factor=Index(3))},
        {"backoff": vorel.Backoff(timedelta(seconds=9), timedelta(0), 3.0)},
    ),
    (
        {"backoff": SimpleNamespace(first=timedelta(0), limit=timedelta(0), factor=Factor())},
        {"backoff": vorel.Backoff(timedelta(0), timedelta(0), 1.25)},
    ),
]


@pytest.mark.parametrize(("given", "changed"), ACCEPTED)
def test_options_accepted_with_their_defaults(given, changed):
    t = actor(counter, **given)
    assert type(t) is Actor
    assert options(t) == {**DEFAULTS, **changed}


NEGATIVE = timedelta(seconds=-1)
REFUSED = [
    ({"pinned": 1}, TypeError, "pinned"),
    ({"pinned": None}, TypeError, "pinned"),
    ({"replicas": "3"}, TypeError, "replicas"),
    ({"replicas": 3.0}, TypeError, "replicas"),
    ({"replicas": -1}, OverflowError, None),
    ({"replicas": 2**64}, OverflowError, None),
    ({"write": None}, TypeError, "write"),
    ({"write": b"one"}, TypeError, "write"),
    ({"mailbox": "10"}, TypeError, "mailbox"),
    ({"mailbox": -1}, OverflowError, None),
    ({"on_full": None}, TypeError, "on_full"),
    ({"write": "Majority"}, ValueError, "write is \"Majority\", not one of 'one', 'majority', 'all'"),
    ({"write": " one"}, ValueError, "write is \" one\", not one of 'one', 'majority', 'all'"),
    ({"on_full": "Wait"}, ValueError, "on_full is \"Wait\", not one of 'refuse', 'wait'"),
    ({"idle_after": NEGATIVE}, ValueError, "idle_after is -1 day, 23:59:59, which is negative"),
    ({"ask_timeout": timedelta(microseconds=-1)}, ValueError, "ask_timeout is -1 day, 23:59:59.999999, which is negative"),
    ({"write_timeout": NEGATIVE}, ValueError, "write_timeout is -1 day, 23:59:59, which is negative"),
    ({"idle_after": 5}, TypeError, "timedelta"),
    ({"write_timeout": 5.0}, TypeError, "timedelta"),
    (
        {"backoff": SimpleNamespace(first=NEGATIVE, limit=timedelta(1), factor=2.0)},
        ValueError,
        "backoff.first is -1 day, 23:59:59, which is negative",
    ),
    (
        {"backoff": SimpleNamespace(first=timedelta(1), limit=NEGATIVE, factor=2.0)},
        ValueError,
        "backoff.limit is -1 day, 23:59:59, which is negative",
    ),
    ({"backoff": SimpleNamespace(first=timedelta(1), limit=timedelta(1), factor="2")}, TypeError, None),
    ({"backoff": SimpleNamespace(limit=timedelta(1), factor=2.0)}, AttributeError, "first"),
    ({"backoff": 5}, AttributeError, "first"),
    ({"durable": "weekly"}, ValueError, "durable is \"weekly\", not 'write', a timedelta or None"),
    ({"durable": "Write"}, ValueError, "durable is \"Write\", not 'write', a timedelta or None"),
    ({"durable": 5}, TypeError, "durable is 5, not 'write', a timedelta or None"),
    ({"durable": timedelta(days=-1)}, ValueError, "durable is -1 day, 0:00:00, which is negative"),
    # The first refusal in the order of the checks is the one reported: the types of the arguments in
    # signature order, then write, on_full, the durations, backoff and durable.
    ({"write": "x", "on_full": "y"}, ValueError, 'write is "x"'),
    ({"pinned": 1, "write": None}, TypeError, "pinned"),
    ({"replicas": -1, "write": None}, OverflowError, None),
    ({"write": "bad", "on_full": None}, TypeError, "on_full"),
    ({"mailbox": "x", "on_full": None}, TypeError, "mailbox"),
    ({"on_full": "bad", "idle_after": NEGATIVE}, ValueError, "on_full"),
    ({"durable": "weekly", "backoff": 5}, AttributeError, "first"),
    ({"write_timeout": NEGATIVE, "ask_timeout": 5}, TypeError, "timedelta"),
]


@pytest.mark.parametrize(("given", "error", "text"), REFUSED)
@pytest.mark.parametrize("form", ["body", "decorator"])
def test_options_refused_before_anything_is_built(form, given, error, text):
    with pytest.raises(error) as raised:
        if form == "body":
            actor(counter, **given)
        else:
            actor(**given)
    if text is not None:
        assert text in str(raised.value)


@pytest.mark.parametrize(
    ("given", "text"),
    [
        ({"write": "Majority"}, "write is \"Majority\", not one of 'one', 'majority', 'all'"),
        ({"on_full": "Wait"}, "on_full is \"Wait\", not one of 'refuse', 'wait'"),
        ({"durable": "weekly"}, "durable is \"weekly\", not 'write', a timedelta or None"),
        ({"idle_after": NEGATIVE}, "idle_after is -1 day, 23:59:59, which is negative"),
    ],
)
def test_value_refusals_are_exact(given, text):
    with pytest.raises(ValueError) as raised:
        actor(**given)
    assert str(raised.value) == text


def test_a_backoff_without_factor_is_refused_after_both_durations_were_read():
    read = []

    class Partial:
        @property
        def first(self):
            read.append("first")
            return timedelta(seconds=1)

        @property
        def limit(self):
            read.append("limit")
            return timedelta(seconds=2)

    with pytest.raises(AttributeError, match="factor"):
        actor(backoff=Partial())
    assert read == ["first", "limit"]


TEXTS = [
    "a\"b",
    "a\\b",
    "\t\r\n\0",
    "\x07\x1b\x7f",
    "é ü ß",
    "\xa0",
    "\u200b",
    "\ud800",
    "😀",
    "\U000e0001",
    "",
]


@pytest.mark.parametrize("value", TEXTS)
def test_refused_texts_show_in_their_debug_form(value):
    with pytest.raises(ValueError) as raised:
        actor(write=value)
    assert str(raised.value) == f"write is {quoted(value)}, not one of 'one', 'majority', 'all'"


@pytest.mark.parametrize(
    ("value", "shown"),
    [("a\"b", '"a\\"b"'), ("\t\0", '"\\t\\0"'), ("\x07", '"\\u{7}"'), ("\u200b", '"\\u{200b}"'), ("é", '"é"')],
)
def test_debug_form_examples(value, shown):
    with pytest.raises(ValueError) as raised:
        actor(on_full=value)
    assert str(raised.value) == f"on_full is {shown}, not one of 'refuse', 'wait'"


SAME_OPTIONS = [
    {},
    {"initial": None},
    {"initial": 5, "pinned": True, "write": "all"},
    {"mailbox": 3, "on_full": "wait", "idle_after": timedelta(seconds=1), "durable": "write"},
    {"backoff": vorel.Backoff(), "ask_timeout": timedelta(0), "write_timeout": timedelta(hours=1)},
]


@pytest.mark.parametrize("given", SAME_OPTIONS)
def test_the_decorator_gives_the_type_the_body_would(testing, given):
    direct = actor(counter, **given)
    decorator = actor(**given)
    later = decorator(counter)
    by_keyword = decorator(body=counter)
    for t in (later, by_keyword):
        assert type(t) is type(direct)
        assert options(t) == options(direct)
        assert t.name == direct.name and t.body is direct.body
        assert testing.definition(t) == testing.definition(direct)
    if "initial" in given:
        assert later.initial is given["initial"]


def test_bare_decorator_is_actor_with_the_body_alone():
    @actor
    async def counted(ctx: Context[int, str]) -> None:
        pass

    assert type(counted) is Actor
    assert options(counted) == DEFAULTS
    assert options(actor(counted.body)) == DEFAULTS


def test_a_decorator_builds_a_new_type_at_every_call():
    decorator = actor(initial=[1])
    first = decorator(counter)
    second = decorator(counter)
    assert first is not second
    assert first.initial is second.initial


def test_initial_none_differs_from_no_initial():
    assert type(actor(counter, initial=None)) is DefaultedActor
    assert actor(counter, initial=None).initial is None
    assert type(actor(initial=None)(counter)) is DefaultedActor
    assert type(actor(counter)) is Actor
    assert not hasattr(actor(counter), "initial")


def test_none_body_is_no_body():
    assert type(actor(None)).__name__ == "Decorator"
    assert type(actor()) is type(actor(None))


def test_decorator_class_is_hidden_and_documented():
    decorator = type(actor())
    assert decorator.__module__ == "vorel._vorel"
    assert decorator.__doc__ == "`@actor(...)` before it meets the body it decorates."
    with pytest.raises(TypeError):
        decorator()


def test_name_checks_wait_for_the_body():
    decorator = actor(pinned=True, replicas=3)
    with pytest.raises(ValueError) as raised:
        decorator(counter)
    assert str(raised.value) == (
        f"{__name__}:counter: replicas is 3, and a pinned type keeps its one copy on the node its key names"
    )
    waiting = actor(on_full="wait")
    with pytest.raises(ValueError, match="set mailbox$"):
        waiting(counter)
    with pytest.raises(ValueError, match="so the state would live nowhere$"):
        actor(replicas=0)(counter)


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: actor(counter, counter), TypeError),
        (lambda: actor(body=counter), TypeError),
        (lambda: actor(counter, replica=3), TypeError),
        (lambda: actor()(), TypeError),
        (lambda: actor()(counter, counter), TypeError),
    ],
)
def test_argument_shapes_are_refused(call, error):
    with pytest.raises(error):
        call()


def test_signature_and_doc():
    assert inspect.signature(actor) == inspect.Signature(
        [
            inspect.Parameter("body", inspect.Parameter.POSITIONAL_ONLY, default=None),
            *(
                inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=default)
                for name, default in [
                    ("initial", ...),
                    ("pinned", False),
                    ("replicas", None),
                    ("write", "majority"),
                    ("mailbox", None),
                    ("on_full", "refuse"),
                    ("idle_after", None),
                    ("ask_timeout", None),
                    ("write_timeout", None),
                    ("backoff", None),
                    ("durable", None),
                ]
            ),
        ]
    )
    assert actor.__doc__ == (
        "Define an actor type from its body.\n\nThe type is named after where its body lives, `module:qualname`. "
        "That is what nodes tell each other, and how a\nnode that never used the type finds it: every member of a "
        "cluster runs the same code."
    )
