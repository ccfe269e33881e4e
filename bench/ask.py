"""Ask round trips of an echo actor against a plain asyncio queue and future, keys activated per
second, and resident memory per idle activation. Run by hand: python bench/ask.py [asks] [keys]."""

import asyncio
import resource
import sys
import time
from dataclasses import dataclass

from vorel import ActorSystem, Context, Ref, actor


@dataclass(frozen=True)
class Echo:
    n: int
    reply_to: Ref[int]


@actor(initial=0)
async def echo(ctx: Context[int, Echo]):
    async for m in ctx.inbox:
        m.reply_to.tell(m.n)


@dataclass(frozen=True)
class Touch:
    pass


@actor(initial=0)
async def idle(ctx: Context[int, Touch]):
    async for _ in ctx.inbox:
        pass


async def baseline(count: int) -> float:
    queue: asyncio.Queue = asyncio.Queue()

    async def server():
        while True:
            n, future = await queue.get()
            future.set_result(n)

    task = asyncio.ensure_future(server())
    loop = asyncio.get_running_loop()
    start = time.perf_counter()
    for n in range(count):
        future = loop.create_future()
        queue.put_nowait((n, future))
        await future
    elapsed = time.perf_counter() - start
    task.cancel()
    return elapsed


async def asks(count: int) -> float:
    async with ActorSystem() as system:
        ref = system.ref(echo, "e")
        await ref.ask(Echo(0, None))
        start = time.perf_counter()
        for n in range(count):
            await ref.ask(Echo(n, None))
        return time.perf_counter() - start


def resident_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


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


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    keys = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    base = asyncio.run(baseline(count))
    ours = asyncio.run(asks(count))
    print(f"baseline queue+future: {count / base:12,.0f} round trips/s, {base / count * 1e6:8.2f} us each")
    print(f"vorel ask:             {count / ours:12,.0f} asks/s,        {ours / count * 1e6:8.2f} us each")
    print(f"ratio (ask / baseline round trip): {ours / base:.2f}x")
    rate, per_key = asyncio.run(activations(keys))
    print(f"keys activated: {rate:,.0f}/s; resident memory per live idle activation: {per_key:,.0f} bytes ({keys:,} keys)")


if __name__ == "__main__":
    main()
