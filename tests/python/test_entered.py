"""The questions a joined system asks its node, answered by a node whose event loop has ended: every one
resolves at once, none is left waiting."""

import asyncio
import contextlib

import pytest
from support import run

import vorel
from vorel import ActorSystem, Context, Unavailable, actor

pytestmark = pytest.mark.timeout(10)


@actor(initial=0)
async def kept(ctx: Context[int, int]):
    async for _ in ctx.inbox:
        pass


@contextlib.asynccontextmanager
async def stopped(testing):
    """A running system joined to a node whose loop has ended, and what reaches the loop's handler."""
    reported = []
    asyncio.get_running_loop().set_exception_handler(lambda _, context: reported.append(context))
    async with ActorSystem() as system:
        testing.stopped_node(system)
        yield system, reported


def test_a_stopped_node_answers_placement_stored_and_state_operations_at_once(testing):
    async def main():
        async with stopped(testing) as (system, reported):
            placed = await asyncio.wait_for(system.placement(kept, "k"), 2)
            assert placed.owner is None
            assert placed.nodes == ()
            assert await asyncio.wait_for(system._stored(), 2) == []
            for kind in ("read", "write", "delete"):
                with pytest.raises(Unavailable) as raised:
                    await asyncio.wait_for(testing.persist(system, "t", "k", kind), 2)
                assert str(raised.value) == "t/k: this node has stopped"
            # The statistics read the node's own counters: nothing went through it.
            stats = system.stats()
            assert (stats.connections, stats.writes_confirmed, stats.writes_failed) == (0, 0, 0)
        assert reported == []

    run(main())


def test_an_answer_to_a_cancelled_question_is_dropped(testing):
    async def main():
        async with stopped(testing) as (system, reported):
            future = testing.persist(system, "t", "k", "read")
            future.cancel()
            # The answer arrives through the loop's channel after the cancel, and finds the future done.
            assert await asyncio.wait_for(system._stored(), 2) == []
            assert future.cancelled()
        assert reported == []

    run(main())


def test_an_answer_that_cannot_be_made_wakes_its_awaiter_and_reaches_the_loop(testing, monkeypatch):
    def refused(owner, nodes):
        raise ValueError("no placement today")

    async def main():
        async with stopped(testing) as (system, reported):
            monkeypatch.setattr(vorel, "Placement", refused)
            with pytest.raises(ValueError, match="no placement today"):
                await asyncio.wait_for(system.placement(kept, "k"), 2)
            monkeypatch.undo()
        assert [type(c.get("exception")) for c in reported] == [ValueError]

    run(main())
