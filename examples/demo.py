"""vorel in one process: two actor types with state, tells and asks, a failure and its restart.

The accounts are durable: their balances are kept in an SQLite file (the first argument, or
vorel-demo.sqlite3 here), so a second run continues where the first stopped.
"""

import asyncio
import sys
from dataclasses import dataclass
from datetime import timedelta
from pathlib import Path

import vorel
from vorel import SQL, ActorFailed, ActorSystem, Context, Ref, actor


@dataclass(frozen=True)
class Deposit:
    amount: int


@dataclass(frozen=True)
class Withdraw:
    amount: int
    reply_to: Ref[int]


@dataclass(frozen=True)
class Balance:
    reply_to: Ref[int]


@actor(initial=0, durable="write")
async def account(ctx: Context[int, Deposit | Withdraw | Balance]):
    print(f"  [account/{ctx.key}] activated with balance {ctx.state.value}")
    async for m in ctx.inbox:
        match m:
            case Deposit(amount):
                await ctx.state.set(ctx.state.value + amount)
            case Withdraw(amount, reply_to):
                if amount > ctx.state.value:
                    raise ValueError(f"cannot take {amount} from {ctx.state.value}")
                reply_to.tell(await ctx.state.update(lambda balance: balance - amount))
            case Balance(reply_to):
                reply_to.tell(ctx.state.value)


@dataclass(frozen=True)
class Transfer:
    source: Ref[Deposit | Withdraw | Balance]
    target: Ref[Deposit | Withdraw | Balance]
    amount: int
    reply_to: Ref[str]


@actor(initial=0)
async def bank(ctx: Context[int, Transfer]):
    async for m in ctx.inbox:
        try:
            await m.source.ask(Withdraw(m.amount, None))
        except ActorFailed as e:
            m.reply_to.tell(f"refused: {e.message}")
            continue
        m.target.tell(Deposit(m.amount))
        await ctx.state.update(lambda done: done + 1)
        m.reply_to.tell(f"moved {m.amount}, transfer number {ctx.state.value}")


def observe(event: vorel.Event) -> None:
    if isinstance(event, vorel.ActivationFailed):
        print(f"  [observer] {event.actor}/{event.key} failed: {event.error!r}; it restarts after its backoff")


async def main(database: Path) -> None:
    print(f"balances are kept in {database}")
    backoff = vorel.Backoff(first=timedelta(milliseconds=100))
    async with SQL(f"sqlite://{database}?mode=rwc") as store, ActorSystem(
        observer=observe, backoff=backoff, store=store
    ) as system:
        alice = system.ref(account, "alice")
        bob = system.ref(account, "bob", initial=10)
        desk = system.ref(bank, "desk")
        alice.tell(Deposit(50))
        print("alice's balance:", await alice.ask(Balance(None)))
        print("bob's balance:", await bob.ask(Balance(None)))
        print(await desk.ask(Transfer(alice, bob, 30, None)))
        print(await desk.ask(Transfer(alice, bob, 100, None)))
        print("after the failure alice still has", await alice.ask(Balance(None)))
        print("and bob has", await bob.ask(Balance(None)))
        print("letting alice go:", await system.release(account, "alice"))
        print("alice, activated again:", await alice.ask(Balance(None)))
    print("the system drained and stopped")


if __name__ == "__main__":
    asyncio.run(main(Path(sys.argv[1] if len(sys.argv) > 1 else "vorel-demo.sqlite3").resolve()))
