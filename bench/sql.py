"""Saves per second of the SQL store with 1, 16 and 256 keys saved at once, each key by a writer that awaits its
save before the next, against Python's own sqlite3 module measured in the same run at the same durability (WAL,
synchronous FULL: one fsync per commit).

The baselines run the same statements on a file of their own, from one thread beside the loop that takes every write
waiting when it comes free:
- "a transaction per write" commits each write on its own (the baseline of 1 key);
- "group commit" commits every waiting write in one transaction (the baseline of 16 and 256 keys).
Both answer their writers after their commits, one loop wake-up per batch.

Rounds interleave the store and its baseline, alternating which goes first; each row gives the median ratio and its
spread (lowest and highest round). A row "durable" saves through an ActorSystem whose actor type has durable="write".

Run by hand: python bench/sql.py [seconds per measurement] [rounds]. SQLite always runs; PostgreSQL and MariaDB run
when their URLs are set (eval "$(bash scripts/databases.sh start)" sets VOREL_TEST_POSTGRES and VOREL_TEST_MARIADB);
they have no baseline here and print their rates and the ratio to their own 1 key.
"""

import asyncio
import dataclasses
import os
import sqlite3
import statistics
import sys
import tempfile
import threading
import time
import uuid

import vorel
from vorel import SQL

STATE = bytes(100)
KEYS = (1, 16, 256)


def version(n: int) -> bytes:
    return n.to_bytes(32, "big")


async def run_writers(save, writers: int, seconds: float) -> float:
    """Saves per second of `writers` keys, each saved again as soon as its last save is answered."""
    deadline = time.perf_counter() + seconds
    counts = [0] * writers

    async def writer(i: int):
        key = f"key-{i}"
        n = 0
        while time.perf_counter() < deadline:
            n += 1
            await save(key, version(n))
        counts[i] = n

    start = time.perf_counter()
    await asyncio.gather(*(writer(i) for i in range(writers)))
    return sum(counts) / (time.perf_counter() - start)


class Sqlite3:
    """Python's sqlite3 on one thread beside the loop, taking every write waiting when it comes free."""

    def __init__(self, path: str, grouped: bool):
        self.grouped = grouped
        self.db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self.db.execute("PRAGMA journal_mode = WAL")
        self.db.execute("PRAGMA synchronous = FULL")
        self.db.execute(
            "CREATE TABLE IF NOT EXISTS r (id BLOB PRIMARY KEY, version BLOB NOT NULL, state BLOB) WITHOUT ROWID"
        )
        self.loop = asyncio.get_running_loop()
        self.ready = threading.Condition()
        self.waiting = []
        self.stopping = False
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def save(self, key: str, v: bytes):
        future = self.loop.create_future()
        with self.ready:
            self.waiting.append((key.encode(), v, future))
            self.ready.notify()
        return future

    def write(self, key: bytes, v: bytes):
        # The store's common case and its first time.
        if self.db.execute("UPDATE r SET version = ?, state = ? WHERE id = ? AND version < ?", (v, STATE, key, v)).rowcount:
            return
        self.db.execute("INSERT INTO r (id, version, state) VALUES (?, ?, ?)", (key, v, STATE))

    def serve(self):
        while True:
            with self.ready:
                self.ready.wait_for(lambda: self.waiting or self.stopping)
                if not self.waiting:
                    return
                batch, self.waiting = self.waiting, []
            if self.grouped:
                self.db.execute("BEGIN IMMEDIATE")
                for key, v, _ in batch:
                    self.write(key, v)
                self.db.execute("COMMIT")
            else:
                for key, v, _ in batch:
                    self.write(key, v)
            self.loop.call_soon_threadsafe(answer, [future for _, _, future in batch])

    def close(self):
        with self.ready:
            self.stopping = True
            self.ready.notify()
        self.thread.join()
        self.db.close()


def answer(futures):
    for future in futures:
        if not future.done():
            future.set_result(None)


async def baseline(path: str, grouped: bool, writers: int, seconds: float) -> float:
    db = Sqlite3(path, grouped)
    try:
        prefix = uuid.uuid4().hex
        return await run_writers(lambda key, v: db.save(prefix + key, v), writers, seconds)
    finally:
        db.close()


async def store_rate(url: str, writers: int, seconds: float) -> float:
    actor = f"bench-{uuid.uuid4().hex}"
    async with SQL(url) as store:
        return await run_writers(lambda key, v: store.save(actor, key, v, STATE), writers, seconds)


@dataclasses.dataclass(frozen=True)
class Add:
    reply_to: vorel.Ref[None]


@vorel.actor(initial=0, durable="write")
async def durable_counter(ctx: vorel.Context[int, Add]):
    async for m in ctx.inbox:
        await ctx.state.set(ctx.state.value + 1)
        m.reply_to.tell(None)


async def durable_rate(url: str, writers: int, seconds: float) -> float:
    """State writes per second of `writers` keys of a type with durable="write", each asked again once answered."""
    async with SQL(url) as store:
        async with vorel.ActorSystem(store=store) as system:
            prefix = uuid.uuid4().hex
            refs = {f"key-{i}": system.ref(durable_counter, f"{prefix}-{i}") for i in range(writers)}
            return await run_writers(lambda key, v: refs[key].ask(Add(None)), writers, seconds)


def spread(values):
    return f"{statistics.median(values):6.2f} ({min(values):.2f}-{max(values):.2f})"


async def main(seconds: float, rounds: int):
    with tempfile.TemporaryDirectory(dir=os.environ.get("VOREL_BENCH_DIR")) as tmp:
        url = f"sqlite://{tmp}/records.db?mode=rwc"
        # (label, vorel's measurement, the baseline's measurement)
        rows = []
        for keys in KEYS:
            grouped = keys > 1
            rows.append(
                (
                    f"SQLite {keys:3} key{'s' if keys > 1 else ' '} vs sqlite3 "
                    + ("group commit" if grouped else "a transaction per write"),
                    lambda keys=keys: store_rate(url, keys, seconds),
                    lambda keys=keys, grouped=grouped: baseline(f"{tmp}/baseline.db", grouped, keys, seconds),
                )
            )
        for keys in KEYS[1:]:
            rows.append(
                (
                    f"durable {keys:3} keys on SQLite vs sqlite3 group commit",
                    lambda keys=keys: durable_rate(url, keys, seconds),
                    lambda keys=keys: baseline(f"{tmp}/baseline.db", True, keys, seconds),
                )
            )
        for keys in KEYS[1:]:
            rows.append(
                (
                    f"sqlite3 {keys:3} keys, group commit vs a transaction per write",
                    lambda keys=keys: baseline(f"{tmp}/baseline.db", True, keys, seconds),
                    lambda keys=keys: baseline(f"{tmp}/grouped.db", False, keys, seconds),
                )
            )
        ratios = {label: [] for label, _, _ in rows}
        rates = {label: [] for label, _, _ in rows}
        for r in range(rounds):
            for label, ours, theirs in rows:
                if r % 2:
                    base = await theirs()
                    mine = await ours()
                else:
                    mine = await ours()
                    base = await theirs()
                ratios[label].append(mine / base)
                rates[label].append((mine, base))
        print(f"median ratio (lowest-highest) of {rounds} interleaved rounds of {seconds} s each")
        for label, _, _ in rows:
            mine = statistics.median(m for m, _ in rates[label])
            base = statistics.median(b for _, b in rates[label])
            print(f"{label:58} {spread(ratios[label])}   {mine:9.0f} vs {base:9.0f} /s")

        for name, variable in [("PostgreSQL", "VOREL_TEST_POSTGRES"), ("MariaDB", "VOREL_TEST_MARIADB")]:
            server = os.environ.get(variable)
            if not server:
                continue
            measured = {keys: [] for keys in KEYS}
            for _ in range(rounds):
                for keys in KEYS:
                    measured[keys].append(await store_rate(server, keys, seconds))
            one = measured[1]
            for keys in KEYS:
                relative = [m / o for m, o in zip(measured[keys], one)]
                print(
                    f"{name:10} {keys:3} keys: {statistics.median(measured[keys]):9.0f} saves/s, "
                    f"{spread(relative)} x its 1 key"
                )


if __name__ == "__main__":
    asyncio.run(
        main(
            float(sys.argv[1]) if len(sys.argv) > 1 else 1.0,
            int(sys.argv[2]) if len(sys.argv) > 2 else 5,
        )
    )
