"""A cluster of three on one machine: three member processes on loopback and a client that asks and tells across them.

    python examples/cluster.py                               # starts the three members itself, then the client
    python examples/cluster.py member 127.0.0.1:7001         # or one member per terminal: the first ...
    python examples/cluster.py member 127.0.0.1:7002 127.0.0.1:7001   # ... and the others join through it
    python examples/cluster.py client 127.0.0.1:7001         # a client of a cluster started by hand

A member runs until its standard input closes (Ctrl-D) or it gets SIGINT or SIGTERM; then it leaves the cluster
normally, handing its keys to the others. Every process runs this same file, so each names the actor type the same
way ("__main__:counter") and every member can host it.
"""

import asyncio
import contextlib
import signal
import socket
import subprocess
import sys
from dataclasses import dataclass

import vorel
from vorel import ActorSystem, Client, Context, Ref, actor, nobody

ENTER = 30.0  # seconds a process waits for its seeds before it gives up


@dataclass(frozen=True)
class Add:
    amount: int
    reply_to: Ref[str] = None


@dataclass(frozen=True)
class Total:
    reply_to: Ref[tuple[int, str]]


@actor(initial=0)  # three replicas, each write confirmed by a majority of them
async def counter(ctx: Context[int, Add | Total]):
    here = ctx.system.node.address
    async for m in ctx.inbox:
        match m:
            case Add(amount):
                await ctx.state.set(ctx.state.value + amount)
            case Total(reply_to):
                reply_to.tell((ctx.state.value, here))


async def member(bind: str, seeds: list[str]) -> None:
    settings = vorel.Cluster(bind, seeds=tuple(seeds), name="example")
    system = ActorSystem(cluster=settings)
    # Entering waits for the seeds without a limit of its own: bound it.
    await asyncio.wait_for(system.__aenter__(), ENTER)
    try:
        print(f"member {system.node.address} joined", flush=True)
        await stopped()
    except BaseException as e:
        await system.__aexit__(type(e), e, e.__traceback__)
        raise
    await system.__aexit__(None, None, None)
    print(f"member {bind} left", flush=True)


async def stopped() -> None:
    """Returns once standard input closes or the process is asked to end."""
    loop = asyncio.get_running_loop()
    done = asyncio.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, done.set)
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)

    async def drained():
        while await reader.read(4096):
            pass
        done.set()

    reading = asyncio.ensure_future(drained())
    await done.wait()
    reading.cancel()


async def client(seeds: list[str]) -> None:
    async with asyncio.timeout(ENTER):
        entered = Client(seeds=seeds, name="example")
        await entered.__aenter__()
    try:
        print("members:", ", ".join(sorted(f"{m.node.address} {m.status}" for m in entered.members)))
        for name in ("apples", "pears", "plums"):
            ref = entered.ref(counter, name)
            ref.tell(Add(2, nobody()))  # a tell: no answer, no wait
            ref.tell(Add(3, nobody()))
            total, where = await ref.ask(Total(None))  # asks go to the owner of the key, wherever it is
            owner = (await entered.placement(counter, name)).owner
            print(f"{name}: {total}, counted on {where} (placement says {owner.address if owner else None})")
    finally:
        await entered.__aexit__(None, None, None)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def everything() -> None:
    """Starts three members of a cluster as processes of this file, runs the client, and stops the members."""
    binds = [f"127.0.0.1:{free_port()}" for _ in range(3)]
    members = []
    try:
        for i, bind in enumerate(binds):
            seeds = [binds[0]] if i else []
            members.append(subprocess.Popen([sys.executable, __file__, "member", bind, *seeds],
                                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True))
            line = members[-1].stdout.readline()  # "member ... joined", or nothing when it failed
            if "joined" not in line:
                raise SystemExit(f"the member at {bind} did not join")
            print(line, end="")
        asyncio.run(client(binds[:1]))
        for process in reversed(members):
            process.stdin.close()  # a member leaves normally once its input closes
            print(process.stdout.readline(), end="")
            process.wait(timeout=60)
    finally:
        for process in members:
            if process.poll() is None:
                process.kill()
                with contextlib.suppress(subprocess.TimeoutExpired):
                    process.wait(timeout=10)


def main() -> None:
    match sys.argv[1:]:
        case []:
            everything()
        case ["member", bind, *seeds]:
            asyncio.run(member(bind, seeds))
        case ["client", *seeds] if seeds:
            asyncio.run(client(seeds))
        case _:
            raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
