"""The SQL store from Python: entering and leaving, versioned records, failures, and databases that go away.

The suite runs against SQLite (a temporary file) and, when the test script started them, PostgreSQL and MariaDB.
"""

import asyncio
import dataclasses
import inspect
import os
import socket
import sqlite3
import subprocess
import sys
import threading
import uuid

import pytest

import vorel
from vorel import SQL, Unavailable

pytestmark = pytest.mark.timeout(60)

NOT_OPEN = "the store is not open: use it inside async with"
OTHER_LOOP = "the store answers on the event loop it was entered on, and this is another one"
COULD_NOT_OPEN = "the store could not open its database: "

SERVERS = {"postgres": "VOREL_TEST_POSTGRES", "mariadb": "VOREL_TEST_MARIADB"}


def run(coroutine, limit=15.0):
    return asyncio.run(asyncio.wait_for(coroutine, limit))


def v(n):
    """A version of the length the store keeps, whose bytewise order is the order of n."""
    return n.to_bytes(32, "big")


def sqlite_url(path):
    return f"sqlite://{path}?mode=rwc"


@pytest.fixture(params=["sqlite", "postgres", "mariadb"])
def url(request, tmp_path):
    if request.param == "sqlite":
        return sqlite_url(tmp_path / "records.db")
    found = os.environ.get(SERVERS[request.param])
    if not found:
        pytest.skip(f"no {request.param} server: {SERVERS[request.param]} is not set (bash scripts/test.sh sets it)")
    return found


@pytest.fixture
def actor():
    # The servers are shared by every test: each test keeps its rows apart under an actor of its own.
    return f"test-{uuid.uuid4().hex}"


@pytest.fixture
def store(tmp_path):
    return SQL(sqlite_url(tmp_path / "records.db"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# --- the class


def test_class_shape():
    assert SQL.__module__ == "vorel._vorel"
    assert vorel.SQL is SQL
    assert str(inspect.signature(SQL)) == "(url, /)"
    paragraphs = SQL.__doc__.split("\n\n")
    assert len(paragraphs) == 5
    assert paragraphs[0] == (
        "`vorel.Store` over a SQL database: PostgreSQL, MySQL, MariaDB, SQLite, and the databases that speak the "
        "protocol of\none of them."
    )
    assert paragraphs[3].startswith("Entering raises `ValueError` for a URL that names no database the store knows")
    assert paragraphs[4].startswith("Parameters\n----------\nurl\n    ")
    assert "for a file made when it does not exist" in paragraphs[4]
    assert paragraphs[4].rstrip(".").endswith("each connection of the store would open a database of its own")
    shapes = {
        "__aenter__": ("($self)", None),
        "__aexit__": ("($self, *_exc)", None),
        "load": (
            "($self, actor, key, /)",
            "The record of `(actor, key)` as `(version, state)`, or `None` when there is none.",
        ),
        "save": (
            "($self, actor, key, version, state, /)",
            "Keep `(version, state)` as the record of `(actor, key)`, unless its record has a greater version.",
        ),
        "drop": (
            "($self, actor, key, version, /)",
            "Forget the record of `(actor, key)` if its version is not greater than `version`.",
        ),
    }
    for name, (signature, doc) in shapes.items():
        method = getattr(SQL, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ == doc, name


@pytest.mark.parametrize(
    "args, text",
    [
        ((), "SQL expected 1 argument, got 0"),
        ((b"sqlite://x",), "SQL() argument 'url' must be str, not bytes"),
        (("a", "b"), "SQL expected 1 argument, got 2"),
    ],
)
def test_a_bad_url_argument_is_refused_at_once(args, text):
    with pytest.raises(TypeError) as raised:
        SQL(*args)
    assert str(raised.value) == text


def test_making_an_sql_object_checks_nothing_else():
    # Not looked at before entering.
    SQL("no scheme at all")


BAD_ARGUMENTS = [
    ("load", (1, "k"), "load() argument 'actor' must be str, not int"),
    ("load", ("a", b"k"), "load() argument 'key' must be str, not bytes"),
    ("load", ("a",), "load expected 2 arguments, got 1"),
    ("save", ("a", "k", bytearray(b"\x01"), None), "save() argument 'version' must be bytes, not bytearray"),
    ("save", ("a", "k", memoryview(b"\x01"), None), "save() argument 'version' must be bytes, not memoryview"),
    ("save", ("a", "k", v(1), "state"), "save() argument 'state' must be bytes or None, not str"),
    ("save", ("a", "k", b"\x01"), "save expected 4 arguments, got 3"),
    ("drop", ("a", None, b"\x01"), "drop() argument 'key' must be str, not NoneType"),
    ("drop", ("a", "k", "01"), "drop() argument 'version' must be bytes, not str"),
]


@pytest.mark.parametrize("length", [0, 1, 31, 33, 64])
def test_a_save_refuses_a_version_that_is_not_32_bytes_long(store, length):
    # The system reads back only its own 32-byte versions: a record with another would stop its key from loading.
    text = f"save() argument 'version' must be 32 bytes long, not {length}"

    async def main():
        async with store:
            with pytest.raises(ValueError) as raised:
                store.save("a", "k", bytes(length), None)
            assert str(raised.value) == text
            assert await store.load("a", "k") is None

    with pytest.raises(ValueError) as raised:
        store.save("a", "k", bytes(length), b"state")
    assert str(raised.value) == text
    run(main())


@pytest.mark.parametrize("method, args, text", BAD_ARGUMENTS)
def test_a_wrong_argument_is_refused_before_anything_else(store, method, args, text):
    # Even on a store that is not open, and on an open one.
    with pytest.raises(TypeError) as raised:
        getattr(store, method)(*args)
    assert str(raised.value) == text

    async def main():
        async with store:
            with pytest.raises(TypeError) as raised:
                getattr(store, method)(*args)
            assert str(raised.value) == text

    run(main())


def test_a_bytes_subclass_passes(store, actor):
    class Version(bytes):
        pass

    async def main():
        async with store:
            await store.save(actor, "k", Version(v(2)), Version(b"s"))
            assert await store.load(actor, "k") == (v(2), b"s")

    run(main())


@pytest.mark.parametrize(
    "call", [lambda s: s.load("a", "k"), lambda s: s.save("a", "k", v(1), None), lambda s: s.drop("a", "k", v(1))]
)
def test_calls_outside_async_with_are_refused(store, call):
    async def main():
        with pytest.raises(RuntimeError) as before:
            call(store)
        async with store:
            await call(store)
        with pytest.raises(RuntimeError) as after:
            call(store)
        return before.value, after.value

    before, after = run(main())
    assert str(before) == NOT_OPEN
    assert str(after) == NOT_OPEN


def test_a_call_of_an_open_store_without_a_running_loop_raises_asyncios_error(store):
    async def main():
        await store.__aenter__()

    run(main())
    with pytest.raises(RuntimeError) as raised:
        store.load("a", "k")
    assert str(raised.value) == "no running event loop"


# --- records, on every database


def test_entering_binds_the_store_and_a_new_key_has_no_record(url, actor):
    async def main():
        store = SQL(url)
        async with store as entered:
            assert entered is store
            assert await store.load(actor, "never saved") is None
            assert await store.save(actor, "k", v(1), None) is None
            assert await store.load(actor, "k") == (v(1), None)
            assert await store.save(actor, "k", v(2), b"state") is None
            assert await store.load(actor, "k") == (v(2), b"state")

    run(main())


# (kept version, kept state), (saved version, saved state) -> the record after the save
VERSIONS = [
    ((v(5), b"old"), (v(4), b"new"), (v(5), b"old")),  # lower: kept as it was
    ((v(5), b"old"), (v(5), b"new"), (v(5), b"old")),  # equal: the kept state stays
    ((v(5), b"old"), (v(6), None), (v(6), None)),  # greater: replaced, also by no state
    ((v(2 << 248), b"old"), (v((2 << 248) - 1), b"new"), (v(2 << 248), b"old")),  # bytewise: the first byte decides
    ((v(0), b"old"), (v(1), b"new"), (v(1), b"new")),  # all zeros is the lowest
]


def test_versioned_saves_never_go_backwards(url, actor):
    async def main():
        async with SQL(url) as store:
            for i, (kept, saved, after) in enumerate(VERSIONS):
                key = f"k{i}"
                await store.save(actor, key, *kept)
                await store.save(actor, key, *saved)
                assert await store.load(actor, key) == after, (kept, saved)

    run(main())


def test_racing_saves_end_with_the_higher_version_whichever_lands_first(url, actor):
    async def main():
        async with SQL(url) as store:
            # New keys and kept ones, each raced by saves in both orders.
            for round in range(12):
                key = f"race-{round}"
                if round % 3 == 2:
                    await store.save(actor, key, v(0), b"kept")
                first, second = (v(1), v(2)) if round % 2 else (v(2), v(1))
                results = await asyncio.gather(
                    store.save(actor, key, first, b"state " + first),
                    store.save(actor, key, second, b"state " + second),
                )
                assert results == [None, None]
                assert await store.load(actor, key) == (v(2), b"state " + v(2)), round

    run(main())


def test_many_saves_of_one_key_at_once_keep_the_greatest(url, actor):
    async def main():
        async with SQL(url) as store:
            versions = [v(n) for n in range(1, 33)]
            order = versions[::2] + versions[1::2][::-1]
            await asyncio.gather(*(store.save(actor, "hot", n, n * 3) for n in order))
            assert await store.load(actor, "hot") == (v(32), v(32) * 3)

    run(main())


def test_drops_respect_the_version(url, actor):
    async def main():
        async with SQL(url) as store:
            await store.save(actor, "k", v(5), b"s")
            assert await store.drop(actor, "k", v(4)) is None
            assert await store.load(actor, "k") == (v(5), b"s")
            await store.drop(actor, "k", v(5))
            assert await store.load(actor, "k") is None
            await store.save(actor, "k", v(5), b"s")
            await store.drop(actor, "k", v(6))
            assert await store.load(actor, "k") is None
            # A key without a record drops without complaint, and a drop does not stop a later save.
            await store.drop(actor, "never saved", v(1))
            await store.save(actor, "k", v(1), None)
            assert await store.load(actor, "k") == (v(1), None)

    run(main())


def test_keys_are_told_apart_exactly(url, actor):
    keys = ["Key", "key", "key ", "caf\u00e9", "cafe\u0301", "", "x" * (1 << 20)]

    async def main():
        async with SQL(url) as store:
            for i, key in enumerate(keys):
                await store.save(actor, key, v(i + 1), key[:10].encode())
            for i, key in enumerate(keys):
                assert await store.load(actor, key) == (v(i + 1), key[:10].encode())
            # The actor's length is part of the row: ("a", "bc") and ("ab", "c") are two rows.
            await store.save(actor + "a", "bc", v(1), b"one")
            await store.save(actor + "ab", "c", v(1), b"two")
            assert await store.load(actor + "a", "bc") == (v(1), b"one")

    run(main())


def test_a_new_process_finds_the_records_again(url, actor):
    script = (
        "import asyncio, sys\n"
        "from vorel import SQL\n"
        "async def main():\n"
        "    async with SQL(sys.argv[1]) as store:\n"
        "        await store.save(sys.argv[2], 'kept', (7).to_bytes(32, 'big'), b'from another process')\n"
        "asyncio.run(main())\n"
    )
    subprocess.run([sys.executable, "-c", script, url, actor], check=True, timeout=30)

    async def main():
        async with SQL(url) as store:
            return await store.load(actor, "kept")

    assert run(main()) == (v(7), b"from another process")


def test_entering_again_after_leaving_on_another_loop_finds_the_records(url, actor):
    store = SQL(url)

    async def first():
        async with store:
            await store.save(actor, "k", v(1), b"first")

    async def second():
        async with store:
            return await store.load(actor, "k")

    run(first())
    assert run(second()) == (v(1), b"first")


# --- entering, leaving, loops


def test_entering_an_open_store_or_one_being_opened_is_refused(store):
    async def main():
        first = store.__aenter__()
        # Opening still: a second entering would start a second pool and leak the first.
        with pytest.raises(RuntimeError) as opening:
            store.__aenter__()
        assert await first is store
        with pytest.raises(RuntimeError) as open_:
            store.__aenter__()
        await store.save("a", "k", v(1), None)
        await store.__aexit__(None, None, None)
        return str(opening.value), str(open_.value)

    opening, open_ = run(main())
    assert opening == "the store is already being opened: await the entering under way"
    assert open_ == "the store is already open"


def test_leaving_twice_and_leaving_a_store_never_entered_resolve_none(store):
    async def main():
        assert await store.__aexit__() is None
        await store.__aenter__()
        assert await store.__aexit__(None, None, None) is None
        assert await store.__aexit__(None, None, None) is None

    run(main())


def test_exceptions_of_the_block_are_not_suppressed(store):
    async def main():
        async with store:
            raise KeyError("inside")

    with pytest.raises(KeyError):
        run(main())


def in_another_loop(coroutine_function):
    """Runs a coroutine on a loop of a thread of its own; what it raises or returns comes back."""
    outcome = {}

    def target():
        try:
            outcome["value"] = asyncio.run(coroutine_function())
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            outcome["raised"] = e

    thread = threading.Thread(target=target)
    thread.start()
    thread.join(10)
    assert not thread.is_alive()
    return outcome


def test_a_call_or_a_leaving_from_another_loop_is_refused_and_the_store_stays_open(store, actor):
    async def main():
        async with store:
            await store.save(actor, "k", v(1), b"s")
            methods = {
                "load": lambda: store.load(actor, "k"),
                "save": lambda: store.save(actor, "k", v(2), None),
                "drop": lambda: store.drop(actor, "k", v(9)),
                "__aexit__": lambda: store.__aexit__(None, None, None),
            }
            for name, call in methods.items():

                async def elsewhere():
                    call()

                outcome = await asyncio.to_thread(in_another_loop, elsewhere)
                raised = outcome.get("raised")
                assert type(raised) is RuntimeError, name
                assert str(raised) == OTHER_LOOP, name
            # Nothing of the refused calls happened, and the first loop's calls still work.
            assert await store.load(actor, "k") == (v(1), b"s")

    run(main())


def test_calls_made_at_once_all_answer(store, actor):
    async def main():
        async with store:
            await asyncio.gather(*(store.save(actor, f"k{i}", v(1), bytes([i])) for i in range(200)))
            loaded = await asyncio.gather(*(store.load(actor, f"k{i}") for i in range(200)))
            assert loaded == [(v(1), bytes([i])) for i in range(200)]

    run(main())


REFUSED = "the trigger refused the row"
REFUSED_STATEMENT = f"the database refused the statement: {REFUSED}"


def refuse_key(path, key):
    """A trigger on the SQLite file that refuses to insert the row of `key`."""
    with sqlite3.connect(path) as db:
        db.execute(
            f"CREATE TRIGGER refuse BEFORE INSERT ON vorel_records WHEN NEW.actor_key = '{key}' "
            f"BEGIN SELECT RAISE(ABORT, '{REFUSED}'); END"
        )


def test_saves_made_at_once_commit_together_and_a_refused_one_fails_alone(tmp_path, actor):
    path = tmp_path / "records.db"

    async def main():
        async with SQL(sqlite_url(path)) as store:
            refuse_key(path, "poison")
            # Another connection holds the write lock, so the saves gather behind the first.
            lock = sqlite3.connect(path, isolation_level=None)
            lock.execute("BEGIN IMMEDIATE")
            keys = [f"k{i}" for i in range(32)] + ["poison"] + [f"j{i}" for i in range(32)]
            saves = [asyncio.ensure_future(store.save(actor, key, v(1), key.encode())) for key in keys]
            # Nothing is answered before it is committed.
            done, _ = await asyncio.wait(saves, timeout=0.2)
            assert not done
            lock.execute("COMMIT")
            lock.close()
            outcomes = await asyncio.gather(*saves, return_exceptions=True)
            for key, outcome in zip(keys, outcomes):
                if key == "poison":
                    assert type(outcome) is Unavailable
                    assert REFUSED in str(outcome), str(outcome)
                    assert await store.load(actor, key) is None
                else:
                    assert outcome is None, (key, outcome)
                    assert await store.load(actor, key) == (v(1), key.encode())

    run(main())


def test_a_durable_write_refused_inside_a_group_fails_only_its_own_ask(tmp_path):
    path = tmp_path / "records.db"
    keys = [f"k{i}" for i in range(16)] + ["poison"]

    seen = []

    async def main():
        async with SQL(sqlite_url(path)) as store:
            refuse_key(path, "poison")
            async with vorel.ActorSystem(store=store, observer=seen.append) as system:
                refs = [system.ref(sql_adder, key) for key in keys]
                return await asyncio.gather(*(ref.ask(Add(None)) for ref in refs), return_exceptions=True)

    outcomes = run(main())
    for key, outcome in zip(keys, outcomes):
        if key == "poison":
            assert isinstance(outcome, Exception), outcome
        else:
            assert outcome == 1, (key, outcome)
    failed = [(e.key, e.reason) for e in seen if isinstance(e, vorel.WriteFailed)]
    assert len(failed) == 1, failed
    assert failed[0][0] == "poison"
    assert failed[0][1].endswith(f"the store did not keep the write: Unavailable: {REFUSED_STATEMENT}"), failed


def test_a_cancelled_save_still_reaches_the_database(store, actor):
    async def main():
        async with store:
            task = asyncio.ensure_future(store.save(actor, "k", v(1), b"kept"))
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            for _ in range(200):
                if await store.load(actor, "k") is not None:
                    break
                await asyncio.sleep(0.01)
            assert await store.load(actor, "k") == (v(1), b"kept")

    run(main())


def test_a_cancelled_entering_leaves_the_store_closed_and_free_to_enter(store, actor):
    async def main():
        task = asyncio.ensure_future(store.__aenter__())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # The cancelled entering is no longer under way: the next one starts at once.
        async with store:
            await store.save(actor, "k", v(1), None)
        # And the completion of the given-up entering, whenever it came, opened nothing.
        await asyncio.sleep(0.2)
        with pytest.raises(RuntimeError) as raised:
            store.load(actor, "k")
        assert str(raised.value) == NOT_OPEN

    run(main())


def test_an_entering_given_up_when_its_loop_ended_does_not_block_the_next(store, actor):
    async def give_up():
        task = asyncio.ensure_future(store.__aenter__())
        await asyncio.sleep(0)
        task.cancel()

    # The loop ends before the open can answer it.
    asyncio.run(give_up())

    async def again():
        async with store:
            await store.save(actor, "k", v(1), b"s")
            return await store.load(actor, "k")

    assert run(again()) == (v(1), b"s")


def test_leaving_while_saves_are_under_way_keeps_every_save_it_answered(tmp_path, actor):
    url = sqlite_url(tmp_path / "records.db")

    async def main():
        store = SQL(url)
        await store.__aenter__()
        saves = [asyncio.ensure_future(store.save(actor, f"k{i}", v(1), bytes([i]))) for i in range(64)]
        await asyncio.sleep(0)
        await store.__aexit__(None, None, None)
        # Leaving waited for the statements under way: every save has its answer by now or gets it from
        # completions already queued.
        outcomes = await asyncio.gather(*saves, return_exceptions=True)
        kept = []
        for i, outcome in enumerate(outcomes):
            if outcome is None:
                kept.append(i)
            else:
                assert type(outcome) is Unavailable, outcome
                assert str(outcome) == "the pool of connections is closed"
        async with SQL(url) as again:
            for i in kept:
                assert await again.load(actor, f"k{i}") == (v(1), bytes([i]))

    run(main())


# --- failures


IN_MEMORY = (
    "the store keeps no records in an in-memory SQLite database, where each connection of its pool would have a "
    "database of its own: name a file"
)


@pytest.mark.parametrize(
    "bad, text",
    [
        ("no scheme at all", "the URL does not begin with a scheme such as postgres://, mysql://, mariadb:// or sqlite:"),
        ("ftp://host/db", "no driver for the scheme ftp: the store knows postgres, postgresql, mysql, mariadb and sqlite"),
        ("mysql://user@host:99999/db", "the port of the URL is not a number from 1 to 65535"),
        ("sqlite://x.db?mode=rwx", "the sqlite URL option mode is rwx, not one of ro, rw and rwc"),
        ("sqlite://", "the sqlite URL names no database file"),
        # In memory, each pooled connection would open an empty database of its own.
        ("sqlite::memory:", IN_MEMORY),
        ("sqlite://:memory:", IN_MEMORY),
        ("sqlite://records.db?mode=memory", IN_MEMORY),
        ("sqlite::memory:?mode=rwc", IN_MEMORY),
        (
            "sqlite:file::memory:",
            "the sqlite URL's path begins with file:, which SQLite would read as a URI of its own: give the file's path",
        ),
        # A NUL would cut the file's name short, and the records would go to another file.
        ("sqlite:///tmp/records.db\0.other?mode=rwc", "the URL holds a NUL byte"),
        ("sqlite:///tmp/records.db%00.other?mode=rwc", "the path of the URL has a %-escape of a NUL byte"),
        ("postgres://user@host/db\0other", "the URL holds a NUL byte"),
        ("mysql://user@host/db%00other", "the path of the URL has a %-escape of a NUL byte"),
        (
            "mysql://user@host/db?ssl-mode=preferred",
            "the mysql URL option ssl-mode is preferred, not one of DISABLED, REQUIRED and VERIFY_IDENTITY",
        ),
        (
            "mysql://user@host/db?ssl-ca=/ca.pem",
            "the mysql URL options ssl-ca, ssl-cert and ssl-key need ssl-mode REQUIRED or VERIFY_IDENTITY",
        ),
    ],
)
def test_a_url_the_store_cannot_use_raises_value_error(bad, text):
    async def main():
        async with SQL(bad):
            pass

    with pytest.raises(ValueError) as raised:
        run(main())
    assert type(raised.value) is ValueError
    assert str(raised.value) == "error with configuration: " + text


@pytest.mark.parametrize("scheme", ["postgres", "mysql"])
def test_an_unreachable_server_raises_connection_error(scheme):
    async def main():
        async with SQL(f"{scheme}://nobody@127.0.0.1:{free_port()}/db"):
            pass

    with pytest.raises(ConnectionError) as raised:
        run(main())
    assert type(raised.value) is ConnectionError
    assert str(raised.value).startswith(COULD_NOT_OPEN), str(raised.value)
    assert len(str(raised.value)) > len(COULD_NOT_OPEN)


def test_an_unopenable_sqlite_file_raises_connection_error(tmp_path):
    async def main():
        async with SQL(sqlite_url(tmp_path / "no such directory" / "x.db")):
            pass

    with pytest.raises(ConnectionError) as raised:
        run(main())
    assert str(raised.value).startswith(COULD_NOT_OPEN + "could not connect to the database: ")


def test_a_failed_entering_leaves_the_store_free_to_enter(tmp_path, actor):
    missing = tmp_path / "later"
    store = SQL(sqlite_url(missing / "x.db"))

    async def main():
        with pytest.raises(ConnectionError):
            await store.__aenter__()
        with pytest.raises(RuntimeError) as raised:
            store.load(actor, "k")
        assert str(raised.value) == NOT_OPEN
        missing.mkdir()
        async with store:
            await store.save(actor, "k", v(1), None)

    run(main())


def test_a_refused_table_raises_connection_error(tmp_path):
    # A database that may only be read and has no table: CREATE TABLE is refused, and so is the probe.
    path = tmp_path / "read-only.db"
    path.write_bytes(b"")

    async def main():
        async with SQL(f"sqlite://{path}?mode=ro"):
            pass

    with pytest.raises(ConnectionError) as raised:
        run(main())
    assert str(raised.value).startswith(COULD_NOT_OPEN + "the database refused the statement: "), str(raised.value)


def test_a_table_postgresql_refuses_to_create_raises_connection_error():
    empty = os.environ.get("VOREL_TEST_POSTGRES_READER_EMPTY")
    if not empty:
        pytest.skip("no PostgreSQL server with a reader role (bash scripts/test.sh starts one)")

    async def main():
        async with SQL(empty):
            pass

    with pytest.raises(ConnectionError) as raised:
        run(main())
    text = str(raised.value)
    assert text.startswith(COULD_NOT_OPEN + "the database refused the statement: "), text
    assert "permission denied" in text


@pytest.mark.parametrize("server", ["postgres", "mariadb"])
def test_a_server_killed_mid_run_gives_unavailable_and_recovers_when_back(server, actor):
    url = os.environ.get(SERVERS[server])
    script = os.environ.get("VOREL_TEST_DATABASES")
    if not url or not script:
        pytest.skip("the servers are not the test script's (bash scripts/test.sh starts them)")

    # A sanitizer's runtime preloaded into this process is not for the servers: under it they hang.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}

    async def databases(command):
        await asyncio.to_thread(subprocess.run, ["bash", script, command, server], check=True, timeout=60, env=env)

    async def main():
        async with SQL(url) as store:
            await store.save(actor, "k", v(1), b"before")
            await databases("kill")
            try:
                with pytest.raises(Unavailable) as raised:
                    await store.load(actor, "k")
                assert str(raised.value)
                # The store stays open through the failure.
                with pytest.raises(Unavailable):
                    await store.save(actor, "k", v(2), b"while down")
            finally:
                await databases("revive")
            assert await store.load(actor, "k") == (v(1), b"before")
            await store.save(actor, "k", v(2), b"after")
            assert await store.load(actor, "k") == (v(2), b"after")

    run(main(), limit=50)


# --- a durable actor type over the store


@dataclasses.dataclass(frozen=True)
class Total:
    reply_to: vorel.Ref[int]


@vorel.actor(initial=0, durable="write")
async def sql_counter(ctx: vorel.Context[int, int | Total]):
    async for m in ctx.inbox:
        if isinstance(m, int):
            await ctx.state.set(ctx.state.value + m)
        else:
            m.reply_to.tell(ctx.state.value)


@dataclasses.dataclass(frozen=True)
class Add:
    reply_to: vorel.Ref[int]


@vorel.actor(initial=0, durable="write")
async def sql_adder(ctx: vorel.Context[int, Add]):
    async for m in ctx.inbox:
        await ctx.state.set(ctx.state.value + 1)
        m.reply_to.tell(ctx.state.value)


def test_a_durable_type_keeps_its_state_across_a_restart_of_the_system(url):
    key = f"k-{uuid.uuid4().hex}"

    async def life(add):
        async with SQL(url) as store:
            async with vorel.ActorSystem(store=store) as system:
                ref = system.ref(sql_counter, key)
                ref.tell(add)
                return await ref.ask(Total(None))

    assert run(life(2)) == 2
    # A new system over a new store object: the key's state comes back from the table.
    assert run(life(3)) == 5


@pytest.mark.parametrize("entered, text", [(False, NOT_OPEN), (True, OTHER_LOOP)])
def test_a_system_whose_store_is_not_open_on_its_loop_fails_its_store_calls(store, entered, text):
    if entered:
        async def enter():
            # Open, on a loop that is not the system's.
            await store.__aenter__()

        run(enter())
    events = []

    async def main():
        async with vorel.ActorSystem(store=store, observer=events.append) as system:
            with pytest.raises(Unavailable):
                await system.ref(sql_counter, "k").ask(Total(None))

    run(main())
    assert any(f"RuntimeError: {text}" in str(e) for e in events), [str(e) for e in events]
