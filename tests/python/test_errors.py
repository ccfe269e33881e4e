import os

import pytest

import vorel
from vorel import _vorel

EXPORTED = [
    "SchemaError",
    "NotStarted",
    "UnknownActor",
    "MailboxFull",
    "Unavailable",
    "Refused",
    "MessageTooLarge",
    "ReentrancyError",
    "ActorFailed",
]

BASES = {"SchemaError": TypeError, "MessageTooLarge": ValueError}

DOC_STARTS = {
    "SchemaError": "A state or message type cannot be serialized. The message names the path of the field.",
    "NotStarted": "`ask` to a key that does not exist, of a type without a default `initial`.",
    "MailboxFull": '`ask` to an activation whose bounded mailbox is full, of a type that refuses (`on_full="refuse"`).',
    "Unavailable": "The owner is unreachable, replicas are insufficient, or the owner is changing.\n\n",
    "ActorFailed": "The body raised while processing the message of an `ask`.\n\nThe exception",
}


@pytest.mark.parametrize("name", EXPORTED)
def test_exception_class_shape(name):
    cls = getattr(_vorel, name)
    assert cls.__module__ == "_vorel"
    assert cls.__name__ == name
    assert cls.__bases__ == (BASES.get(name, Exception),)
    assert getattr(vorel, name) is cls
    assert cls.__doc__.startswith(DOC_STARTS.get(name, ""))
    assert cls.__doc__


def test_the_builtin_classes_catch_the_subclasses():
    with pytest.raises(TypeError):
        raise _vorel.SchemaError("x: expected int, got str")
    with pytest.raises(ValueError):
        raise _vorel.MessageTooLarge("too large")


def test_exception_attributes_are_in_set_up_order():
    names = [n for n in vars(_vorel) if isinstance(getattr(_vorel, n), type) and issubclass(getattr(_vorel, n), BaseException)]
    assert names == EXPORTED


def test_internal_classes_are_not_exported():
    for hidden in ["Fencing", "Decorator", "Activation", "Inbox", "Reader", "Taken", "Callback"]:
        assert not hasattr(_vorel, hidden)


def test_module_docstring_and_reimport_keeps_classes():
    import importlib
    import sys

    assert _vorel.__doc__ == (
        "The core of vorel.\n\nEverything a system owns hangs off its node handle, but the classes and exception "
        "classes of the module\nare made once for the whole process: it supports one interpreter per process, and a "
        "subinterpreter that\nchecks its extensions refuses to import it."
    )
    first = _vorel.SchemaError
    del sys.modules["vorel._vorel"]
    again = importlib.import_module("vorel._vorel")
    assert again is not _vorel
    assert again.SchemaError is first
    sys.modules["vorel._vorel"] = _vorel


def in_a_subinterpreter(script):
    """Runs the script in a new subinterpreter that checks its extensions but shares the interpreter
    lock: one that has a lock of its own refuses every module that does not declare support for
    that, whatever the module declares about several interpreters."""
    interpreters = pytest.importorskip("_interpreters", reason="a subinterpreter of this kind needs Python 3.13")
    config = interpreters.new_config("isolated")
    config.gil = "shared"
    assert config.check_multi_interp_extensions
    interpreter = interpreters.create(config)
    try:
        assert interpreters.exec(interpreter, script) is None
    finally:
        interpreters.destroy(interpreter)


def test_a_subinterpreter_refuses_the_module_whose_classes_the_process_shares():
    reading, writing = os.pipe()
    try:
        in_a_subinterpreter(
            "import os\n"
            "try:\n"
            "    import vorel._vorel\n"
            "except ImportError as e:\n"
            f"    os.write({writing}, str(e).encode())\n"
            "else:\n"
            f"    os.write({writing}, b'imported')\n"
        )
        told = os.read(reading, 1000).decode()
    finally:
        os.close(reading)
        os.close(writing)
    assert told == "module vorel._vorel does not support loading in subinterpreters"
