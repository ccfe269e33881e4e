"""The cost of one schedule operation on a key that already holds many: for each size, a fresh key
is filled to that many schedules, then `batch` more are made and cancelled again, timed inside the
body. Each figure is the time per operation against the smallest size measured in the same round,
rounds interleaved, median and spread. Run by hand: python bench/schedule.py [batch] [rounds] [sizes...]."""

import asyncio
import statistics
import sys
import time
from dataclasses import dataclass
from datetime import timedelta

from vorel import ActorSystem, Context, Ref, actor

LATER = timedelta(hours=1)


@dataclass(frozen=True)
class Fill:
    count: int
    reply_to: Ref[int]


@dataclass(frozen=True)
class Time:
    count: int
    reply_to: Ref[tuple[float, float]]


@dataclass(frozen=True)
class Tick:
    n: int


@actor(initial=0)
async def holder(ctx: Context[int, Fill | Time | Tick]):
    async for m in ctx.inbox:
        if isinstance(m, Fill):
            for n in range(m.count):
                await ctx.schedule(f"fill-{n}", LATER, None, Tick(n))
            m.reply_to.tell(len(ctx.schedules))
        elif isinstance(m, Time):
            made = []
            start = time.perf_counter()
            for n in range(m.count):
                made.append(await ctx.schedule(f"timed-{n}", LATER, None, Tick(n)))
            middle = time.perf_counter()
            for one in made:
                await one.cancel()
            end = time.perf_counter()
            m.reply_to.tell(((middle - start) / m.count, (end - middle) / m.count))


async def measure(size: int, batch: int) -> tuple[float, float]:
    async with ActorSystem(ask_timeout=timedelta(minutes=10)) as system:
        ref = system.ref(holder, f"k{size}")
        assert await ref.ask(Fill(size, None)) == size
        return await ref.ask(Time(batch, None))


def spread(values: list[float]) -> str:
    return f"{min(values):.2f}..{max(values):.2f}"


def main() -> None:
    batch = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    sizes = [int(a) for a in sys.argv[3:]] or [100, 1000, 10000]
    print(f"{batch} schedules made and cancelled per size, {rounds} interleaved rounds; median [min..max]")
    made: dict[int, list[float]] = {s: [] for s in sizes}
    cancelled: dict[int, list[float]] = {s: [] for s in sizes}
    each: dict[int, list[tuple[float, float]]] = {s: [] for s in sizes}
    for _ in range(rounds):
        times = {s: asyncio.run(measure(s, batch)) for s in sizes}
        base = times[sizes[0]]
        for s in sizes:
            made[s].append(times[s][0] / base[0])
            cancelled[s].append(times[s][1] / base[1])
            each[s].append(times[s])
    for s in sizes:
        us_made = statistics.median(t[0] for t in each[s]) * 1e6
        us_cancelled = statistics.median(t[1] for t in each[s]) * 1e6
        print(
            f"{s:>7,} schedules: make {statistics.median(made[s]):6.2f}x [{spread(made[s])}] ({us_made:.1f} us each)"
            f"   cancel {statistics.median(cancelled[s]):6.2f}x [{spread(cancelled[s])}] ({us_cancelled:.1f} us each)"
        )


if __name__ == "__main__":
    main()
