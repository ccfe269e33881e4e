"""Saves per second of the SQL store with 1 and 16 keys saved at once, each key by a writer that awaits its save
before the next. The baseline, measured in the same run, is Python's own sqlite3 module doing the same statements
on a file of its own from one thread beside the loop.

Run by hand: python bench/sql.py [seconds]. SQLite always runs; PostgreSQL and MariaDB run when their URLs are set
(eval "$(bash scripts/databases.sh start)" sets VOREL_TEST_POSTGRES and VOREL_TEST_MARIADB).
"""

import asyncio
import concurrent.futures
import os
import sqlite3
import sys
import tempfile
import time
import uuid

from vorel import SQL

STATE = bytes(100)


def version(n: int) -> bytes:
    return n.to_bytes(8, "big")


async def saves(store, writers: int, seconds: float) -> float:
    actor = f"bench-{uuid.uuid4().hex}"
    deadline = time.perf_counter() + seconds
    counts = [0] * writers

    async def writer(i: int):
        n = 0
        while time.perf_counter() < deadline:
            n += 1
            await store.save(actor, f"key-{i}", version(n), STATE)
        counts[i] = n

    start = time.perf_counter()
    await asyncio.gather(*(writer(i) for i in range(writers)))
    return sum(counts) / (time.perf_counter() - start)


async def baseline(path: str, writers: int, seconds: float) -> float:
    # The save's common case and its first time, through the sqlite3 module on one thread.
    db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
    db.execute("PRAGMA journal_mode = WAL")
    db.execute("CREATE TABLE IF NOT EXISTS r (id BLOB PRIMARY KEY, version BLOB NOT NULL, state BLOB) WITHOUT ROWID")

    def save(key: bytes, v: bytes):
        if db.execute("UPDATE r SET version = ?, state = ? WHERE id = ? AND version < ?", (v, STATE, key, v)).rowcount:
            return
        db.execute("INSERT INTO r (id, version, state) VALUES (?, ?, ?)", (key, v, STATE))

    thread = concurrent.futures.ThreadPoolExecutor(1)
    loop = asyncio.get_running_loop()
    deadline = time.perf_counter() + seconds
    counts = [0] * writers

    async def writer(i: int):
        n = 0
        key = uuid.uuid4().bytes * 2
        while time.perf_counter() < deadline:
            n += 1
            await loop.run_in_executor(thread, save, key, version(n))
        counts[i] = n

    start = time.perf_counter()
    await asyncio.gather(*(writer(i) for i in range(writers)))
    rate = sum(counts) / (time.perf_counter() - start)
    thread.shutdown()
    db.close()
    return rate


async def main(seconds: float):
    with tempfile.TemporaryDirectory() as tmp:
        databases = [("SQLite", f"sqlite://{tmp}/records.db?mode=rwc")]
        for name, variable in [("PostgreSQL", "VOREL_TEST_POSTGRES"), ("MariaDB", "VOREL_TEST_MARIADB")]:
            if os.environ.get(variable):
                databases.append((name, os.environ[variable]))
        base = {w: await baseline(f"{tmp}/baseline.db", w, seconds) for w in (1, 16)}
        print(f"baseline, sqlite3 module beside the loop: {base[1]:9.0f} saves/s with 1 key, {base[16]:9.0f} with 16")
        for name, url in databases:
            async with SQL(url) as store:
                one = await saves(store, 1, seconds)
                sixteen = await saves(store, 16, seconds)
            print(
                f"{name:10}  1 key: {one:9.0f} saves/s ({one / base[1]:5.2f} x baseline)   "
                f"16 keys: {sixteen:9.0f} saves/s ({sixteen / base[16]:5.2f} x baseline, {sixteen / one:5.2f} x 1 key)"
            )


if __name__ == "__main__":
    asyncio.run(main(float(sys.argv[1]) if len(sys.argv) > 1 else 3.0))
