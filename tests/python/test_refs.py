"""Refs: identity by target (equality, hash, repr) and subscription."""

import os
import struct
import subprocess
import sys
import types

import pytest

from vorel import _vorel
from vorel._vorel import Ref

INC = bytes(range(16))


@pytest.fixture
def ref(testing):
    return testing.ref


# The module's attributes in the order its set-up adds them.
SET_UP_ORDER = [
    "SchemaError", "NotStarted", "UnknownActor", "MailboxFull", "Unavailable", "Refused", "MessageTooLarge",
    "ReentrancyError", "ActorFailed", "Awaited", "Actor", "DefaultedActor", "ActorSystem", "Client", "Writes",
    "Context", "State", "Schedule", "Ref", "Runtime", "Schema", "SQL", "actor", "replicas", "nobody",
]


def test_module_attributes_are_those_of_the_set_up_in_its_order():
    names = [n for n in vars(_vorel) if not n.startswith("_")]
    assert "Ref" in names
    assert names == [n for n in SET_UP_ORDER if n in names]


def test_ref_class():
    assert Ref.__module__ == "vorel._vorel"
    assert Ref.__qualname__ == "Ref"
    assert Ref.__doc__ == (
        "A ref created by a system, which is the only kind that can be serialized.\n\n"
        "Two refs to the same target are equal: what a ref carries besides it is the way to reach it from here. "
        "The schema\nit holds is the one its messages are written with, and `messages` is the node of that tree "
        "they travel as."
    )


def test_python_code_cannot_make_a_ref():
    with pytest.raises(TypeError):
        Ref()


EQUAL = [
    pytest.param(("e", "app:Counter", "k1"), ("e", "app:Counter", "k1"), id="entity"),
    pytest.param(None, None, id="nobody"),
    pytest.param(("r", None, INC, 7), ("r", None, INC, 7), id="reply-local"),
    pytest.param(("r", "h:1", INC, -1), ("r", "h:1", INC, -1), id="reply"),
]

DIFFERENT = [
    pytest.param(("e", "app:Counter", "k1"), ("e", "app:Counter", "k2"), id="key"),
    pytest.param(("e", "a", "bc"), ("e", "ab", "c"), id="split"),
    pytest.param(None, ("e", "a", "b"), id="nobody-entity"),
    pytest.param(("r", None, INC, 7), ("r", "", INC, 7), id="no-address-empty-address"),
    pytest.param(("r", "h:1", INC, 7), ("r", "h:1", INC, 8), id="ask-id"),
    pytest.param(("r", "h:1", INC, 7), ("r", "h:1", bytes(16), 7), id="incarnation"),
    pytest.param(("e", "r", "x"), ("r", None, INC, 0), id="variant"),
]


@pytest.mark.parametrize("a, b", EQUAL)
def test_equal_targets_make_equal_refs(ref, a, b):
    left, right = ref(a), ref(b)
    assert left == right and not (left != right)
    assert hash(left) == hash(right)
    assert len({left, right}) == 1


@pytest.mark.parametrize("a, b", DIFFERENT)
def test_different_targets_make_different_refs(ref, a, b):
    left, right = ref(a), ref(b)
    assert left != right and not (left == right)
    assert hash(left) != hash(right)


def test_comparisons_with_other_objects_and_orderings_are_not_implemented(ref):
    r = ref(("e", "a", "b"))
    assert r.__eq__(1) is NotImplemented
    assert r.__eq__(("e", "a", "b")) is NotImplemented
    assert r.__lt__(ref(("e", "a", "b"))) is NotImplemented
    assert r != 1
    with pytest.raises(TypeError):
        r < r  # noqa: B015


@pytest.mark.parametrize(
    "target, text",
    [
        (("e", "app:Counter", "k1"), "Ref(app:Counter/k1)"),
        (("r", None, INC, 7), "Ref(reply 7 to local)"),
        (("r", "10.0.0.1:7000", INC, -3), "Ref(reply -3 to 10.0.0.1:7000)"),
        (None, "Ref(nobody)"),
    ],
)
def test_repr(ref, target, text):
    assert repr(ref(target)) == text


def _sip13_of(data: bytes) -> int:
    """SipHash-1-3 with both keys zero: the interpreter's bytes hash when its hash secret is zero."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    out = subprocess.run([sys.executable, "-c", f"print(hash({data!r}))"], env=env, capture_output=True, text=True)
    return int(out.stdout)


def _u64(n):
    return struct.pack("<q", n)


@pytest.mark.skipif(sys.hash_info.algorithm != "siphash13", reason="needs the interpreter's SipHash-1-3")
@pytest.mark.parametrize(
    "target, fed",
    [
        (None, _u64(0)),
        (("e", "app:Counter", "k1"), _u64(1) + _u64(0) + b"app:Counter\xff" + b"k1\xff"),
        (("r", None, INC, 7), _u64(1) + _u64(1) + _u64(0) + INC + _u64(7)),
        (("r", "h:1", INC, -1), _u64(1) + _u64(1) + _u64(1) + b"h:1\xff" + INC + _u64(-1)),
    ],
)
def test_hash_is_sip13_with_zero_keys_of_the_target(ref, target, fed):
    assert hash(ref(target)) == _sip13_of(fed)


def test_subscription_makes_a_generic_alias():
    alias = Ref[int]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is Ref and alias.__args__ == (int,)
    assert Ref[int, str].__args__ == (int, str)
    assert Ref[(int,)].__args__ == (int,)
    assert Ref.__class_getitem__.__text_signature__ == "($cls, item)"


def test_nobody_is_a_ref_to_nothing_bound_to_no_system(testing):
    assert _vorel.nobody.__text_signature__ == "()"
    assert _vorel.nobody.__doc__ == (
        "The ref that reaches nobody, which is the `reply_to` of an `Askable` that no `ask` sent."
    )
    first, second = _vorel.nobody(), _vorel.nobody()
    # Made once: a message that takes it as the default of its reply_to pays nothing for it.
    assert first is second
    assert first == testing.ref(None)
    assert repr(first) == "Ref(nobody)"
    schema, _, bound = testing.ref_parts(first)
    assert isinstance(schema, _vorel.Schema) and not bound
    assert first.tell(1) is None
    assert first.tell(object()) is None
    with pytest.raises(RuntimeError, match="^nobody is asked: this ref reaches nothing$"):
        first.ask(1)
