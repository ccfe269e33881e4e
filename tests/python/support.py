"""Helpers shared by the Python tests."""

import asyncio


def runner(default):
    """A `run` that drives a coroutine on a fresh loop, failing it after `default` seconds unless a
    call names another limit."""

    def run(coroutine, limit=default):
        return asyncio.run(asyncio.wait_for(coroutine, limit))

    return run


run = runner(5.0)


async def until(done, timeout=5.0):
    """Waits on the running loop until `done()` is true, looking again every millisecond; fails the
    test once `timeout` seconds have passed without it."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while not done():
        assert loop.time() < deadline, f"still not done after {timeout} s"
        await asyncio.sleep(0.001)
