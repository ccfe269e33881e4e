"""Asks through a `Client` against three members on loopback, plain and over TLS, each figure against the ask of a
system without a cluster in this same process and run: asks per second one after another and with many in flight,
and the p50 and p99 latency at a fixed rate. Rounds are interleaved; each line gives the median and the spread.

Run by hand, from the repository: python bench/cluster.py [asks] [rounds] [rate] [keys]
"""

import asyncio
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

from cluster_support import Echo, Nodes, Pki, echo  # noqa: E402

from vorel import ActorSystem  # noqa: E402

IN_FLIGHT = 1000
PACED_SECONDS = 2.0


async def sequential(refs, count: int) -> float:
    start = time.perf_counter()
    for n in range(count):
        await refs[n % len(refs)].ask(Echo(n, None))
    return count / (time.perf_counter() - start)


async def pipelined(refs, count: int) -> float:
    start = time.perf_counter()
    for base in range(0, count, IN_FLIGHT):
        await asyncio.gather(*(refs[n % len(refs)].ask(Echo(n, None)) for n in range(base, min(count, base + IN_FLIGHT))))
    return count / (time.perf_counter() - start)


async def paced(refs, rate: float) -> tuple[float, float]:
    """p50 and p99 in milliseconds of asks sent at `rate` per second, each timed from when it was due, so that a
    stall delays the asks behind it in the figures too."""
    loop = asyncio.get_running_loop()

    async def one(n: int, due: float) -> float:
        await refs[n % len(refs)].ask(Echo(n, None))
        return loop.time() - due

    begin = loop.time()
    sent = []
    for n in range(int(rate * PACED_SECONDS)):
        due = begin + n / rate
        if (wait := due - loop.time()) > 0:
            await asyncio.sleep(wait)
        sent.append(asyncio.ensure_future(one(n, due)))
    latencies = sorted(await asyncio.gather(*sent))
    return latencies[len(latencies) // 2] * 1e3, latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] * 1e3


async def cluster(tls: dict | None, keys: int):
    """Three members in processes of their own and a client in this one, every key already active."""
    nodes = Nodes(tls=tls)
    try:
        first = await nodes.process()
        others = [await nodes.process(seeds=[first.address]) for _ in range(2)]
        every = {n.address: "alive" for n in (first, *others)}
        for n in (first, *others):
            await n.until_members(every)
        client = await nodes.client([first.address])
        refs = [client.system.ref(echo, f"e{k}") for k in range(keys)]
        await asyncio.gather(*(r.ask(Echo(0, None)) for r in refs))
        return nodes, refs
    except BaseException:
        await nodes.close()
        raise


async def measure(count: int, rounds: int, rate: float, keys: int) -> None:
    pki = Pki()
    local = ActorSystem()
    await local.__aenter__()
    setups = []
    try:
        setups = [await cluster(None, keys), await cluster(pki.node(), keys)]
        roads = {"local": [local.ref(echo, f"e{k}") for k in range(keys)],
                 "plain": setups[0][1], "tls": setups[1][1]}
        figures = {}
        for _ in range(rounds):
            for road, refs in roads.items():
                p50, p99 = await paced(refs, rate)
                for name, value in (("sequential asks/s", await sequential(refs, count)),
                                    (f"asks/s, {IN_FLIGHT:,} in flight", await pipelined(refs, count)),
                                    (f"p50 ms at {rate:,.0f}/s", p50),
                                    (f"p99 ms at {rate:,.0f}/s", p99)):
                    figures.setdefault(name, {}).setdefault(road, []).append(value)
        report(figures, count, rounds, keys)
    finally:
        await local.__aexit__(None, None, None)
        for nodes, _ in setups:
            await nodes.close()
        pki.close()


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):10,.2f} [{min(values):,.2f}..{max(values):,.2f}]"


def report(figures: dict, count: int, rounds: int, keys: int) -> None:
    print(f"{count:,} asks per run over {keys} keys, {rounds} interleaved rounds; median [min..max]")
    print("a client against three members on loopback, against the ask of a system without a cluster")
    for name, by_road in figures.items():
        print(f"{name}")
        local = by_road["local"]
        print(f"  {'local':6} {spread(local)}")
        for road in ("plain", "tls"):
            ratios = [c / b for c, b in zip(by_road[road], local)]
            print(f"  {road:6} {spread(by_road[road])}   x local {spread(ratios)}")


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    rate = float(sys.argv[3]) if len(sys.argv) > 3 else 1000.0
    keys = int(sys.argv[4]) if len(sys.argv) > 4 else 64
    asyncio.run(measure(count, rounds, rate, keys))


if __name__ == "__main__":
    main()
