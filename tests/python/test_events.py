import dataclasses
import logging
from uuid import uuid4

import pytest

import vorel

NODE = vorel.NodeId("h:1", uuid4())

# The classes in the bit order a system asks `wants` in, with the positional arguments the core builds
# each one with and the field names those arguments land in.
BUILT = [
    ("MemberChanged", (NODE, "dead", "suspect"), ("node", "status", "previous")),
    ("ActivationStarted", ("app:a", "k"), ("actor", "key")),
    ("ActivationEnded", ("app:a", "k"), ("actor", "key")),
    ("ActivationFailed", ("app:a", "k", KeyError("x")), ("actor", "key", "error")),
    ("WriteFailed", ("app:a", "k", "write", "fenced", "lost"), ("actor", "key", "operation", "kind", "reason")),
    ("HandoffStarted", ("app:a", "in"), ("actor", "direction")),
    ("HandoffEnded", ("app:a", "out", ("k1", "k2")), ("actor", "direction", "keys")),
    ("ConnectionLost", (NODE,), ("node",)),
    ("MessageDropped", ("app:a", "k", "the mailbox is full"), ("actor", "key", "reason")),
]


def test_the_nine_classes_in_bit_order():
    assert [cls.__name__ for cls in vorel.EVENTS] == [name for name, _, _ in BUILT]
    assert all(getattr(vorel, cls.__name__) is cls for cls in vorel.EVENTS)


@pytest.mark.parametrize("name, args, names", BUILT)
def test_each_class_takes_the_core_positional_arguments(name, args, names):
    cls = getattr(vorel, name)
    event = cls(*args)
    assert isinstance(event, vorel.Event)
    assert tuple(f.name for f in dataclasses.fields(cls)) == names
    assert tuple(getattr(event, n) for n in names) == args
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(event, names[0], None)


def test_handoff_ended_without_keys():
    event = vorel.HandoffEnded("app:a", "in")
    assert event.keys == ()
    assert str(event) == "app:a: hand-off in ended"


MESSAGES = [
    (vorel.MemberChanged(NODE, "alive", None), logging.INFO, f"member {NODE} is alive"),
    (vorel.MemberChanged(NODE, "dead", "suspect"), logging.WARNING, f"member {NODE} is dead (was suspect)"),
    (vorel.ActivationStarted("app:a", "k"), logging.DEBUG, "app:a/k: activated"),
    (vorel.ActivationEnded("app:a", "k"), logging.DEBUG, "app:a/k: deactivated"),
    (
        vorel.WriteFailed("app:a", "k", "activate", "unavailable", "app:a/k: the store could not be read: boom"),
        logging.WARNING,
        "app:a/k: activate failed (unavailable): app:a/k: the store could not be read: boom",
    ),
    (vorel.HandoffStarted("app:a", "out"), logging.INFO, "app:a: hand-off out started"),
    (vorel.HandoffEnded("app:a", "out"), logging.INFO, "app:a: hand-off out ended"),
    (
        vorel.HandoffEnded("app:a", "out", ("k1", "k2")),
        logging.WARNING,
        "app:a: hand-off out gave up 2 keys: k1, k2",
    ),
    (vorel.ConnectionLost(NODE), logging.WARNING, f"connection to {NODE} lost"),
    (vorel.MessageDropped("app:a", "k", "no such type"), logging.WARNING, "app:a/k: message dropped: no such type"),
]


@pytest.mark.parametrize("event, level, text", MESSAGES)
def test_logging_observer_logs_each_event(caplog, event, level, text):
    caplog.set_level(logging.DEBUG, logger="vorel")
    vorel.LoggingObserver()(event)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [("vorel", level, text)]


def test_logging_observer_logs_a_failed_body_with_its_traceback(caplog):
    try:
        raise KeyError("cart")
    except KeyError as error:
        failed = vorel.ActivationFailed("app:a", "k", error)
    vorel.LoggingObserver()(failed)
    [record] = caplog.records
    assert (record.levelno, record.getMessage()) == (logging.ERROR, "app:a/k: the body raised KeyError: 'cart'")
    assert record.exc_info[1] is failed.error
    assert "raise KeyError" in caplog.text


def test_logging_observer_uses_the_logger_it_is_given(caplog):
    logger = logging.getLogger("app.cluster")
    vorel.LoggingObserver(logger)(vorel.ConnectionLost(NODE))
    assert [r.name for r in caplog.records] == ["app.cluster"]


@pytest.mark.parametrize(
    "level, wanted",
    [
        (logging.DEBUG, {cls.__name__ for cls in vorel.EVENTS}),
        (
            logging.WARNING,
            {"MemberChanged", "ActivationFailed", "WriteFailed", "HandoffEnded", "ConnectionLost", "MessageDropped"},
        ),
        (logging.ERROR, {"ActivationFailed"}),
    ],
)
def test_logging_observer_wants_what_its_logger_would_log(level, wanted):
    logger = logging.getLogger(f"vorel.test.{level}")
    logger.setLevel(level)
    observer = vorel.LoggingObserver(logger)
    assert {cls.__name__ for cls in vorel.EVENTS if observer.wants(cls)} == wanted
