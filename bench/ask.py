"""The one-process hot path against plain asyncio, each figure against its baseline measured in the
same run, rounds interleaved, median and spread of the ratios; then keys activated per second and
resident memory per idle activation. Run by hand: python bench/ask.py [asks] [rounds] [keys]."""

import asyncio
import resource
import statistics
import sys
import time
from dataclasses import dataclass, field

from vorel import ActorSystem, Context, Ref, actor, nobody


@dataclass(frozen=True)
class Echo:
    n: int
    reply_to: Ref[int]


@dataclass(frozen=True)
class Nobody:
    n: int
    reply_to: Ref[int] = field(default_factory=nobody)


@dataclass(frozen=True)
class Bare:
    n: int
    reply_to: Ref[int] = None


@actor(initial=0)
async def echo(ctx: Context[int, Echo]):
    async for m in ctx.inbox:
        m.reply_to.tell(m.n)


@actor(initial=0)
async def counter(ctx: Context[int, Echo]):
    count = 0
    async for m in ctx.inbox:
        count += 1
        if m.n < 0:
            m.reply_to.tell(count)


@actor(initial=0)
async def idiom(ctx: Context[int, Nobody | Bare]):
    async for m in ctx.inbox:
        m.reply_to.tell(m.n)


@dataclass(frozen=True)
class Set:
    n: int
    reply_to: Ref[int]


async def setting(ctx: Context[int, Set]):
    async for m in ctx.inbox:
        await ctx.state.set(m.n)
        m.reply_to.tell(m.n)


@actor(initial=0)
async def volatile(ctx: Context[int, Set]):
    await setting(ctx)


@actor(initial=0, durable="write")
async def kept(ctx: Context[int, Set]):
    await setting(ctx)


class NoStore:
    """A store that keeps nothing: what is left is the binding's own plumbing per write."""

    async def load(self, actor, key):
        return None

    async def save(self, actor, key, version, state):
        return None

    async def drop(self, actor, key, version):
        return None


async def floor_server(queue: asyncio.Queue):
    while True:
        n, future = await queue.get()
        future.set_result(n)


async def floor_sequential(count: int) -> float:
    queue: asyncio.Queue = asyncio.Queue()
    task = asyncio.ensure_future(floor_server(queue))
    loop = asyncio.get_running_loop()
    start = time.perf_counter()
    for n in range(count):
        future = loop.create_future()
        queue.put_nowait((n, future))
        await future
    elapsed = time.perf_counter() - start
    task.cancel()
    return elapsed


async def floor_in_flight(count: int) -> float:
    queue: asyncio.Queue = asyncio.Queue()

    async def one(n):
        future = loop.create_future()
        queue.put_nowait((n, future))
        return await future

    task = asyncio.ensure_future(floor_server(queue))
    loop = asyncio.get_running_loop()
    start = time.perf_counter()
    for base in range(0, count, 1000):
        await asyncio.gather(*(one(n) for n in range(base, base + 1000)))
    elapsed = time.perf_counter() - start
    task.cancel()
    return elapsed


async def floor_tells(count: int) -> float:
    queue: asyncio.Queue = asyncio.Queue()
    loop = asyncio.get_running_loop()
    done = loop.create_future()

    async def server():
        seen = 0
        while True:
            m = await queue.get()
            seen += 1
            if m.n < 0:
                done.set_result(seen)

    task = asyncio.ensure_future(server())
    none = nobody()
    start = time.perf_counter()
    # The same messages as the tells: what is compared is the road, not the building of a message.
    for n in range(count):
        queue.put_nowait(Echo(n, none))
    queue.put_nowait(Echo(-1, none))
    await done
    elapsed = time.perf_counter() - start
    task.cancel()
    return elapsed


async def sequential(count: int) -> float:
    async with ActorSystem() as system:
        ref = system.ref(echo, "e")
        await ref.ask(Echo(0, None))
        start = time.perf_counter()
        for n in range(count):
            await ref.ask(Echo(n, None))
        return time.perf_counter() - start


async def in_flight(count: int) -> float:
    async with ActorSystem() as system:
        ref = system.ref(echo, "e")
        await ref.ask(Echo(0, None))
        start = time.perf_counter()
        for base in range(0, count, 1000):
            await asyncio.gather(*(ref.ask(Echo(n, None)) for n in range(base, base + 1000)))
        return time.perf_counter() - start


async def tells(count: int) -> float:
    async with ActorSystem() as system:
        ref = system.ref(counter, "c")
        await ref.ask(Echo(-1, None))
        none = nobody()
        start = time.perf_counter()
        for n in range(count):
            ref.tell(Echo(n, none))
        await ref.ask(Echo(-1, None))
        return time.perf_counter() - start


def idiom_of(cls):
    async def run(count: int) -> float:
        async with ActorSystem() as system:
            ref = system.ref(idiom, "i")
            await ref.ask(cls(0))
            start = time.perf_counter()
            for n in range(count):
                await ref.ask(cls(n))
            return time.perf_counter() - start

    return run


def writes_of(kind, store):
    async def run(count: int) -> float:
        async with ActorSystem(store=store()) as system:
            ref = system.ref(kind, "w")
            await ref.ask(Set(0, None))
            start = time.perf_counter()
            for n in range(count):
                await ref.ask(Set(n, None))
            return time.perf_counter() - start

    return run


# (figure, measured, baseline, how the two compare): "x" prints the ratio, "+us" the difference per item.
ROWS = [
    ("sequential ask / floor", sequential, floor_sequential, "x"),
    ("1,000 asks in flight / floor", in_flight, floor_in_flight, "x"),
    ("tells to one key / put_nowait of them", tells, floor_tells, "x"),
    ("reply_to=nobody() / reply_to=None", idiom_of(Nobody), idiom_of(Bare), "x"),
    ("durable plumbing per write", writes_of(kept, NoStore), writes_of(volatile, lambda: None), "+us"),
]


def resident_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


@actor(initial=0)
async def idle(ctx: Context[int, Echo]):
    async for _ in ctx.inbox:
        pass


async def activations(keys: int) -> tuple[float, float]:
    async with ActorSystem() as system:
        before = resident_kib()
        start = time.perf_counter()
        for k in range(keys):
            system.ref(idle, str(k))
        # Every key opens on a loop turn of its own; yield until the last has started its body.
        for _ in range(50):
            await asyncio.sleep(0)
        await asyncio.sleep(0.05)
        elapsed = time.perf_counter() - start
        after = resident_kib()
        return keys / elapsed, (after - before) * 1024 / keys


def spread(values: list[float]) -> str:
    return f"{min(values):.2f}..{max(values):.2f}"


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    keys = int(sys.argv[3]) if len(sys.argv) > 3 else 100000
    print(f"{count:,} items per run, {rounds} interleaved rounds; median [min..max]")
    for name, ours, base, how in ROWS:
        figures, each, shares = [], [], []
        for _ in range(rounds):
            b = asyncio.run(base(count))
            o = asyncio.run(ours(count))
            figures.append(o / b if how == "x" else (o - b) / count * 1e6)
            each.append(o / count * 1e6)
            if how == "+us":
                # The same difference in plain asks of this round: a figure that does not depend on
                # how fast the machine is, to hold against a target given in microseconds elsewhere.
                shares.append((o - b) / asyncio.run(sequential(count)))
        unit = "x" if how == "x" else " us"
        share = f"; {statistics.median(shares):.2f} [{spread(shares)}] of a plain ask" if shares else ""
        print(
            f"{name:36} {statistics.median(figures):6.2f}{unit} [{spread(figures)}]"
            f"   ({statistics.median(each):.2f} us each{share})"
        )
    rate, per_key = asyncio.run(activations(keys))
    print(f"keys activated: {rate:,.0f}/s; resident memory per live idle activation: {per_key:,.0f} bytes ({keys:,} keys)")


if __name__ == "__main__":
    main()
