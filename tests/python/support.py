"""Helpers shared by the Python tests."""

import asyncio


def runner(default):
    """A `run` that drives a coroutine on a fresh loop, failing it after `default` seconds unless a
    call names another limit."""

    def run(coroutine, limit=default):
        return asyncio.run(asyncio.wait_for(coroutine, limit))

    return run


run = runner(5.0)
