"""An in-memory store object for the durable tests: it keeps records as a store must, logs every
call, and delays or fails a method on command."""

import asyncio


class MemoryStore:
    def __init__(self):
        self.records = {}
        self.calls = []
        self.delays = {}
        # method -> [exception, times left (None: every call)]
        self.failures = {}

    def fail(self, method, exception, times=None):
        self.failures[method] = [exception, times]

    def delay(self, method, seconds):
        self.delays[method] = seconds

    def of(self, method):
        return [c for c in self.calls if c[0] == method]

    async def _step(self, method, *args):
        self.calls.append((method, *args))
        if method in self.delays:
            await asyncio.sleep(self.delays[method])
        failure = self.failures.get(method)
        if failure is not None:
            exception, times = failure
            if times is not None:
                failure[1] -= 1
                if failure[1] <= 0:
                    del self.failures[method]
            raise exception

    async def load(self, actor, key):
        await self._step("load", actor, key)
        return self.records.get((actor, key))

    async def save(self, actor, key, version, state):
        await self._step("save", actor, key, version, state)
        kept = self.records.get((actor, key))
        if kept is None or kept[0] <= version:
            self.records[(actor, key)] = (version, state)

    async def drop(self, actor, key, version):
        await self._step("drop", actor, key, version)
        kept = self.records.get((actor, key))
        if kept is not None and kept[0] <= version:
            del self.records[(actor, key)]
