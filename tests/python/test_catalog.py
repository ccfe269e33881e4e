"""The catalog of a node: learning types, resolving type names by import, the observer's event
mask and the report of dropped messages."""

import asyncio
import sys
import textwrap
import time
from datetime import timedelta

import pytest

import vorel
from vorel._vorel import Context, actor

EVENT_NAMES = [cls.__name__ for cls in vorel.EVENTS]


def body_named(module, qualname):
    async def body(ctx: Context[int, str]) -> None:
        pass

    body.__module__, body.__qualname__ = module, qualname
    return body


@pytest.fixture
def shop(tmp_path, monkeypatch):
    """A module of its own that defines actor types, importable by its name only."""
    name = f"shop_{tmp_path.name}"
    (tmp_path / f"{name}.py").write_text(
        textwrap.dedent(
            """
            from datetime import timedelta
            from vorel._vorel import Context, actor

            @actor(durable="write", write_timeout=timedelta(seconds=2))
            async def till(ctx: Context[int, str]) -> None:
                pass

            class Shop:
                class Desk:
                    @actor(pinned=True, write="all")
                    async def order(ctx: Context[int, str]) -> None:
                        pass

            alias = till
            plain = 5
            """
        )
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    yield name
    sys.modules.pop(name, None)


def test_a_type_defined_in_another_module_is_resolved_by_import(testing, shop):
    node = testing.node()
    assert shop not in sys.modules
    found = node.resolve(f"{shop}:till")
    module = sys.modules[shop]
    assert found is module.till
    assert node.resolve(f"{shop}:Shop.Desk.order") is module.Shop.Desk.order
    assert sorted(node.kinds()) == [
        (f"{shop}:Shop.Desk.order", None, None, 1, True, "all"),
        (f"{shop}:till", timedelta(seconds=2), "write", 3, False, "majority"),
    ]
    assert node.missing() == []


@pytest.mark.parametrize(
    "qualname",
    ["alias", "plain", "nothing", "Shop.Nothing", "Shop.Desk", "", "till."],
)
def test_names_that_lead_to_no_type_of_that_name_are_missing(testing, shop, qualname):
    node = testing.node()
    name = f"{shop}:{qualname}"
    assert node.resolve(name) is None
    assert node.missing() == [name]
    assert node.kinds() == []


@pytest.mark.parametrize("name", ["no colon", "", ":x", "no_such_module_here:x"])
def test_names_that_do_not_import_are_missing(testing, name):
    node = testing.node()
    assert node.resolve(name) is None
    assert node.missing() == [name]


def test_a_missing_name_is_not_imported_again(testing, tmp_path, monkeypatch):
    runs = tmp_path / "runs"
    name = f"broken_{tmp_path.name}"
    (tmp_path / f"{name}.py").write_text(
        f"with open({str(runs)!r}, 'a') as f:\n    f.write('x')\nraise ImportError('broken on purpose')\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    node = testing.node()
    assert node.resolve(f"{name}:t") is None
    assert node.resolve(f"{name}:t") is None
    assert runs.read_text() == "x"


def test_a_learnt_type_resolves_without_import(testing):
    node = testing.node()
    counter = actor(body_named("not_a_module_anywhere", "counter"))
    node.learn(counter)
    assert node.resolve("not_a_module_anywhere:counter") is counter
    assert node.missing() == []


def test_learning_a_missing_name_makes_it_found(testing):
    node = testing.node()
    counter = actor(body_named("not_a_module_anywhere", "counter"))
    assert node.resolve(counter.name) is None
    assert node.missing() == [counter.name]
    node.learn(counter)
    assert node.missing() == []
    assert node.resolve(counter.name) is counter


def test_the_first_type_learnt_under_a_name_stays(testing):
    node = testing.node()
    first = actor(body_named("app", "counter"))
    second = actor(body_named("app", "counter"), replicas=5)
    node.learn(first)
    node.learn(second)
    assert node.resolve("app:counter") is first
    assert node.kinds() == [("app:counter", None, None, 3, False, "majority")]


def test_kinds_of_an_empty_catalog(testing):
    assert testing.node().kinds() == []


def test_only_actor_types_are_learnt(testing):
    def plain():
        pass

    with pytest.raises(TypeError) as raised:
        testing.node().learn(plain)
    assert str(raised.value) == "function is not an actor type; decorate its body with @actor"


class Asked:
    """An observer whose `wants` answers from a table of class names and records what it was asked."""

    def __init__(self, answers, fail_on=None):
        self.answers = answers
        self.fail_on = fail_on
        self.asked = []

    def __call__(self, event):
        pass

    def wants(self, cls):
        self.asked.append(cls)
        if cls.__name__ == self.fail_on:
            raise RuntimeError("no answer")
        return self.answers.get(cls.__name__, False)


def test_a_new_node_wants_everything(testing):
    assert testing.node().wanted == 0xFFFF


def test_an_observer_without_wants_gets_every_event(testing):
    node = testing.node(observer=lambda event: None)
    node.subscribe()
    assert node.wanted == 0xFFFF


def test_wants_is_asked_once_per_class_in_bit_order(testing):
    observer = Asked({"WriteFailed": True})
    node = testing.node(observer=observer)
    node.subscribe()
    assert node.wanted == 0x0010
    assert observer.asked == [getattr(vorel, name) for name in EVENT_NAMES]


@pytest.mark.parametrize(
    ("answer", "wanted"), [(True, 1), (1, 1), ([0], 1), ("no", 1), (False, 0), (0, 0), (None, 0), ([], 0), ("", 0)]
)
def test_answers_count_by_their_truth(testing, answer, wanted):
    node = testing.node(observer=Asked({"MessageDropped": answer}))
    node.subscribe()
    assert node.wanted == wanted << 8


def test_a_failing_answer_fails_the_subscription_and_keeps_the_mask(testing):
    observer = Asked({name: False for name in EVENT_NAMES}, fail_on="ActivationFailed")
    node = testing.node(observer=observer)
    with pytest.raises(RuntimeError, match="no answer"):
        node.subscribe()
    assert [c.__name__ for c in observer.asked] == EVENT_NAMES[:4]
    assert node.wanted == 0xFFFF


def test_an_answer_without_truth_fails_the_subscription(testing):
    class NoTruth:
        def __bool__(self):
            raise ValueError("undecided")

    node = testing.node(observer=Asked({"MemberChanged": NoTruth()}))
    with pytest.raises(ValueError, match="undecided"):
        node.subscribe()
    assert node.wanted == 0xFFFF


def test_wants_that_cannot_be_read_or_called(testing):
    class Raising:
        @property
        def wants(self):
            raise KeyError("wants")

    class Missing:
        @property
        def wants(self):
            raise AttributeError("not today")

    with pytest.raises(KeyError):
        testing.node(observer=Raising()).subscribe()
    node = testing.node(observer=Missing())
    node.subscribe()
    assert node.wanted == 0xFFFF
    with pytest.raises(TypeError):
        testing.node(observer=type("O", (), {"wants": 5})()).subscribe()


def test_the_mask_is_read_whole_from_other_threads(testing):
    answers = {}
    node = testing.node(observer=Asked(answers))
    masks = [0x0010, 0x0100, 0x01FF, 0x0000, 0x0003]
    node.watch(4)
    for mask in masks:
        answers.clear()
        answers.update({name: True for i, name in enumerate(EVENT_NAMES) if mask & (1 << i)})
        node.subscribe()
        assert node.wanted == mask
        time.sleep(0.002)
    seen = node.watched()
    assert set(seen) <= {0xFFFF, *masks}
    assert masks[-1] in seen


class Recorder:
    def __init__(self, wanted):
        self.wanted = wanted
        self.events = []

    def __call__(self, event):
        self.events.append(event)

    def wants(self, cls):
        return cls.__name__ in self.wanted


@pytest.mark.parametrize(("wanted", "reported"), [({"MessageDropped"}, True), ({"WriteFailed"}, False)])
def test_dropped_messages_reach_the_observer_when_wanted(testing, wanted, reported):
    observer = Recorder(wanted)
    node = testing.node(observer=observer)

    async def run():
        node.subscribe()
        node.dropped("app:a", "k1", "before the loop")
        node.enter(asyncio.get_running_loop(), object())
        node.dropped("app:a", "k2", "the mailbox is full")
        # The loop calls the observer, not the report itself.
        assert observer.events == []
        await asyncio.sleep(0)

    asyncio.run(run())
    assert observer.events == ([vorel.MessageDropped("app:a", "k2", "the mailbox is full")] if reported else [])


def test_only_the_latest_missing_names_are_remembered(testing):
    # Peers name types too: what a node remembers of the names it could not find stays bounded.
    node = testing.node()
    names = [f"no_such_module_{i:05}:t" for i in range(1030)]
    for name in names:
        assert node.resolve(name) is None
    assert node.missing() == names[-1024:]
    assert node.resolve(names[-1]) is None
    assert node.missing() == names[-1024:]
