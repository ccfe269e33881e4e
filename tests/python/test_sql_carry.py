"""The SQL store as a joined node reaches it: storage requests handed over from the node's own threads, answered once.

The requests go through what a joined node keeps of its SQL object, on a node handle of the test's own, and the test
reads every answer each got. SQLite always, PostgreSQL and MariaDB when the test script started them.
"""

import asyncio
import functools
import gc
import uuid

import pytest

from test_sql import sqlite_url, url  # noqa: F401 (the fixture of the databases the suite runs against)
from vorel import SQL

pytestmark = pytest.mark.timeout(60)

NOT_OPEN = "the store is not open: use it inside async with"
UNREADABLE = "load answered a record this version of vorel cannot read: "
REQUEST = 7


def run(coroutine, limit=30.0):
    return asyncio.run(asyncio.wait_for(coroutine, limit))


@pytest.fixture
def actor():
    return f"test-{uuid.uuid4().hex}"


def carried(testing, carrier, operation, actor, key, stamp=(0, 0), pages=None, timeout=10.0):
    """The one answer of one request; the hook gives every answer it got, so a second one fails here."""
    answers = testing.sql_carry(carrier, operation, actor, key, timeout, stamp[0], stamp[1], pages)
    assert len(answers) == 1 and answers[0][0] == REQUEST, answers
    return answers[0][1]


def inside(testing, url, body):
    """Runs `await body(store, carry)` inside the store's `async with`, `carry` being `carried` through its carrier."""
    async def main():
        store = SQL(url)
        carrier = testing.sql_carrier(store)
        async with store:
            await body(store, functools.partial(carried, testing, carrier))

    run(main())


def version_bytes(round_, version):
    # Round and version big-endian around the incarnation of the node that opened the round (none here).
    return round_.to_bytes(8, "big") + bytes(16) + version.to_bytes(8, "big")


def test_only_an_sql_object_has_a_carrier(testing, tmp_path):
    assert testing.sql_carrier(object()) is None
    assert testing.sql_carrier("sqlite://x") is None
    assert testing.sql_carrier(SQL(sqlite_url(tmp_path / "a.db"))) is not None


@pytest.mark.parametrize("operation", ["load", "save", "drop"])
def test_a_store_never_entered_answers_not_open(testing, tmp_path, operation):
    carrier = testing.sql_carrier(SQL(sqlite_url(tmp_path / "records.db")))
    assert carried(testing, carrier, operation, "T", "k", (1, 1), {}) == NOT_OPEN


def test_records_saved_loaded_and_dropped_through_the_open_store(testing, url, actor):
    async def body(store, carry):
        assert carry("load", actor, "k") is None
        pages = {"count": b"\x2a", "@schedules": b"\x90", "empty": b""}
        assert carry("save", actor, "k", (2, 5), pages) is None
        assert carry("load", actor, "k") == (pages, (2, 5))
        # The row is the one the Python calls of the store see.
        version, state = await store.load(actor, "k")
        assert version == version_bytes(2, 5)
        assert state is not None

        # A lower version changes nothing.
        assert carry("save", actor, "k", (1, 9), {"count": b"\x01"}) is None
        assert carry("load", actor, "k") == (pages, (2, 5))

        # A deletion is kept without state until a drop reaches its version.
        assert carry("save", actor, "k", (3, 1), None) is None
        assert await store.load(actor, "k") == (version_bytes(3, 1), None)
        assert carry("load", actor, "k") == (None, (3, 1))
        assert carry("drop", actor, "k", (3, 0)) is None
        assert carry("load", actor, "k") == (None, (3, 1))
        assert carry("drop", actor, "k", (3, 1)) is None
        assert carry("load", actor, "k") is None

    inside(testing, url, body)


def test_a_row_the_node_cannot_read_answers_so(testing, url, actor):
    async def body(store, carry):
        await store.save(actor, "k", version_bytes(1, 1), b"\xc1 not a state")
        answer = carry("load", actor, "k")
        assert answer.startswith(UNREADABLE) and len(answer) > len(UNREADABLE)

    inside(testing, url, body)


def test_requests_follow_each_entering_of_the_store(testing, tmp_path, actor):
    async def main():
        store = SQL(sqlite_url(tmp_path / "records.db"))
        carrier = testing.sql_carrier(store)
        async with store:
            assert carried(testing, carrier, "save", actor, "k", (1, 1), {"a": b"1"}) is None
        assert carried(testing, carrier, "load", actor, "k") == NOT_OPEN
        # A new entering has a new pool, which the carrier made before it uses.
        async with store:
            assert carried(testing, carrier, "load", actor, "k") == ({"a": b"1"}, (1, 1))
        assert carried(testing, carrier, "load", actor, "k") == NOT_OPEN

    run(main())


def test_a_carrier_outlives_its_store(testing, tmp_path, actor):
    async def entered():
        store = SQL(sqlite_url(tmp_path / "records.db"))
        await store.__aenter__()
        carrier = testing.sql_carrier(store)
        assert carried(testing, carrier, "load", actor, "k") is None
        return carrier

    async def main():
        # The store goes away while open, which lets go of its open state without a close.
        carrier = await entered()
        # One turn of the loop runs the entering's done callbacks, which hold the store until then.
        await asyncio.sleep(0)
        gc.collect()
        assert carried(testing, carrier, "load", actor, "k") == NOT_OPEN

    run(main())


def test_a_limit_that_has_passed_before_the_work_ends_answers_with_the_limit(testing, tmp_path, actor):
    async def body(store, carry):
        assert carry("load", actor, "k", timeout=0.0) == "it did not answer within 0 s"

    inside(testing, sqlite_url(tmp_path / "records.db"), body)
