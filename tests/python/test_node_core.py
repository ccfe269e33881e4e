"""The per-system node: its identity, settings and flags, the slots that entering fills, the loop's
time and futures, the cluster side, and the registration of pending asks."""

import asyncio
import weakref
from datetime import timedelta

import pytest

NOT_STARTED = "the system has not started"


def test_a_new_node(testing):
    node = testing.node()
    address, incarnation = node.id()
    assert address is None and len(incarnation) == 16
    assert node.config() == {
        "idle_after": timedelta(seconds=60),
        "ask_timeout": timedelta(seconds=10),
        "write_timeout": timedelta(seconds=5),
        "leave_timeout": timedelta(seconds=30),
        "backoff": (timedelta(milliseconds=100), timedelta(seconds=10), 2.0),
    }
    flags = node.flags()
    assert (flags["writes_confirmed"], flags["leaving"], flags["stopped"], flags["pending"]) == (0, False, False, 0)
    assert node.wanted == 0xFFFF
    assert node.cluster() is False


def test_nodes_start_their_counters_and_identities_apart(testing):
    a, b = testing.node(), testing.node()
    assert a.flags()["next_run"] != b.flags()["next_run"]
    assert a.id() != b.id()


@pytest.mark.parametrize("operation", ["running", "system", "now", "future"])
def test_before_entry_the_loop_operations_refuse(testing, operation):
    with pytest.raises(RuntimeError) as raised:
        getattr(testing.node(), operation)()
    assert str(raised.value) == NOT_STARTED


def test_the_wall_clock_needs_no_loop(testing):
    import time

    before = time.time()
    assert before <= testing.node().clock() <= time.time()


def test_entered_node_gives_the_loop_its_time_and_futures(testing):
    node = testing.node()
    system = object()

    async def run():
        loop = asyncio.get_running_loop()
        node.enter(loop, system)
        assert node.running() is loop
        assert node.system() is system
        before = loop.time()
        assert before <= node.now() <= loop.time()
        future = node.future()
        assert isinstance(future, asyncio.Future) and future.get_loop() is loop and not future.done()

    asyncio.run(run())
    node.enter(None, None)
    with pytest.raises(RuntimeError, match=NOT_STARTED):
        node.now()


class Loop:
    """A loop whose clock answers what it is given."""

    def __init__(self, time):
        self._time = time

    def time(self):
        if isinstance(self._time, Exception):
            raise self._time
        return self._time


@pytest.mark.parametrize(("answer", "expected"), [(5, 5.0), (2.5, 2.5)])
def test_now_converts_the_loops_time(testing, answer, expected):
    node = testing.node()
    node.enter(Loop(answer), object())
    assert node.now() == expected


@pytest.mark.parametrize(("answer", "error"), [("soon", TypeError), (OSError("no clock"), OSError)])
def test_now_passes_the_loops_failures(testing, answer, error):
    node = testing.node()
    node.enter(Loop(answer), object())
    with pytest.raises(error):
        node.now()


class Marked(asyncio.Future):
    pass


class OwnLoop(asyncio.SelectorEventLoop):
    """A loop whose class brings its own clock and futures."""

    def time(self):
        return 42.0

    def create_future(self):
        return Marked(loop=self)


@pytest.mark.parametrize("where", ["class", "instance"])
def test_a_loop_that_brings_its_own_clock_and_futures_is_called_for_them(testing, where):
    node = testing.node()
    loop = OwnLoop() if where == "class" else asyncio.new_event_loop()
    try:
        node.enter(loop, object())
        if where == "instance":
            # First met with the base class's own methods, then replaced on the instance.
            assert type(node.future()) is asyncio.Future and node.now() != 42.0
            loop.time = lambda: 42.0
            loop.create_future = lambda: Marked(loop=loop)
        assert node.now() == 42.0
        future = node.future()
        assert type(future) is Marked and future.get_loop() is loop
        if where == "instance":
            del loop.time, loop.create_future
            assert type(node.future()) is asyncio.Future and node.now() != 42.0
    finally:
        node.enter(None, None)
        loop.close()


def test_a_future_belongs_to_the_nodes_loop_whichever_loop_runs(testing):
    node = testing.node()
    loop, other = asyncio.new_event_loop(), asyncio.new_event_loop()

    async def made():
        return node.future()

    try:
        node.enter(loop, object())
        cases = {
            "no loop runs": node.future(),
            "its loop runs": loop.run_until_complete(made()),
            "another loop runs": other.run_until_complete(made()),
        }
        for case, future in cases.items():
            assert type(future) is asyncio.Future and future.get_loop() is loop, case
    finally:
        node.enter(None, None)
        loop.close()
        other.close()


def test_a_cluster_side_that_is_still_starting_is_no_cluster(testing):
    node = testing.node()
    node.join_pending()
    assert node.cluster() is False


def test_a_key_that_is_not_live_has_no_activation(testing):
    node = testing.node()
    assert node.activation("app:counter", "k1") is None
    assert node.activation("app:counter", "k1") is None


def test_ask_ids_count_from_zero(testing):
    node = testing.node()
    assert [node.take_id() for _ in range(3)] == [0, 1, 2]
    assert testing.node().take_id() == 0


def test_pending_asks_are_registered_and_forgotten(testing):
    node = testing.node()
    loop = asyncio.new_event_loop()
    try:
        first, second = loop.create_future(), loop.create_future()
        node.waited(0, first)
        node.waited(1, second)
        assert node.flags()["pending"] == 2
        assert node.forget(0) is first
        assert node.forget(0) is None
        assert node.forget(7) is None
        assert node.flags()["pending"] == 1
    finally:
        loop.close()


def test_a_pending_ask_under_a_taken_id_is_replaced_and_let_go(testing):
    node = testing.node()
    loop = asyncio.new_event_loop()
    try:
        old = loop.create_future()
        gone = weakref.ref(old)
        node.waited(3, old)
        del old
        new = loop.create_future()
        node.waited(3, new)
        assert gone() is None
        assert node.flags()["pending"] == 1
        assert node.forget(3) is new
    finally:
        loop.close()
