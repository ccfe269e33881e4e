"""The loop's callbacks and the loop channel through which other threads hand calls to the loop."""

import asyncio
import sys
import threading
import weakref

import pytest
from support import until

from vorel import _vorel

MESSAGE = "Exception in a call the transport of vorel handed to the loop"


class Watched(asyncio.SelectorEventLoop):
    """A loop that records the reader registrations."""

    def __init__(self):
        super().__init__()
        self.added = []
        self.removed = []

    def add_reader(self, fd, callback, *args):
        self.added.append((fd, callback))
        return super().add_reader(fd, callback, *args)

    def remove_reader(self, fd):
        self.removed.append(fd)
        return super().remove_reader(fd)


class NoReaders(asyncio.SelectorEventLoop):
    """A loop without readers, as some loops are: the channel reads with `sock_recv` instead."""

    def __init__(self):
        super().__init__()
        self.received = []

    def add_reader(self, fd, callback, *args):
        raise NotImplementedError

    def sock_recv(self, sock, n):
        self.received.append(sock)
        return super().sock_recv(sock, n)


def reading_end(loop):
    return loop.added[0][0] if isinstance(loop, Watched) else loop.received[0]


@pytest.fixture(params=[Watched, NoReaders], ids=["add_reader", "sock_recv"])
def run(request):
    """Runs a coroutine function on a loop of each kind; hands it the loop."""

    def run(main):
        with asyncio.Runner(loop_factory=request.param) as runner:
            return runner.run(main(runner.get_loop()))

    return run


# Callbacks


def test_callback_class(testing):
    cls = type(testing.callback(lambda: None))
    assert (cls.__module__, cls.__qualname__) == ("vorel._vorel", "Callback")
    assert cls.__doc__ == "A closure the loop calls, with the arguments it passes."
    assert not hasattr(_vorel, "Callback")
    with pytest.raises(TypeError):
        cls()


def test_callback_runs_once_and_lets_go_of_its_closure(testing):
    ran = []

    class Captured:
        def __call__(self):
            ran.append("ran")

    captured = Captured()
    gone = weakref.ref(captured)
    cb = testing.callback(captured)
    del captured
    with pytest.raises(TypeError, match="keyword"):
        cb(x=1)
    assert ran == [] and gone() is not None  # a refused call leaves the callback armed
    assert cb(1, 2) is None  # the loop's arguments are ignored
    assert ran == ["ran"]
    assert gone() is None  # released when the call returned, though the Callback lives on
    assert cb() is None
    assert ran == ["ran"]


async def test_callback_exception_reaches_the_loop(testing):
    loop = asyncio.get_running_loop()
    contexts = []
    loop.set_exception_handler(lambda loop, context: contexts.append(context))
    error = ValueError("step failed")

    def fail():
        raise error

    cb = testing.callback(fail)
    loop.call_soon(cb)
    loop.call_soon(cb)  # spent: runs nothing the second time
    await until(lambda: contexts)
    await asyncio.sleep(0)
    assert [c["exception"] for c in contexts] == [error]
    with pytest.raises(ValueError):
        testing.callback(fail)()


async def test_when_done(testing):
    loop = asyncio.get_running_loop()
    fut = loop.create_future()
    got = []
    testing.when_done(fut, got.append)
    fut.set_result(5)
    await until(lambda: got)
    assert got == [fut]

    with pytest.raises(AttributeError):
        testing.when_done(object(), got.append)


# The loop channel


def test_reader_class(testing):
    async def main(loop):
        channel = testing.channel()
        return channel, loop.added[0][1]

    with asyncio.Runner(loop_factory=Watched) as runner:
        channel, reader = runner.run(main(runner.get_loop()))
        cls = type(reader)
        assert (cls.__module__, cls.__qualname__) == ("vorel._vorel", "Reader")
        assert cls.__doc__ == "The end of an inbox on the loop, which runs the queue each time the socket wakes it."
        assert not hasattr(_vorel, "Reader")
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            reader(1)


def test_burst_sends_one_byte_and_runs_in_one_pass(testing, run):
    async def main(loop):
        channel = testing.channel()
        out = []

        def call(thread, i):
            if i == 0:
                loop.call_soon(out.append, "next pass")
            out.append(i)

        channel.spray(call, count=3)  # the loop cannot wake until the thread is done
        assert channel.wakes == 1
        assert out == []
        await until(lambda: "next pass" in out)
        assert out == [0, 1, 2, "next pass"]
        assert channel.wakes == 1

    run(main)


def test_call_pushed_by_a_call_runs_in_the_next_pass(testing, run):
    async def main(loop):
        channel = testing.channel()
        out = []

        def call(thread, i):
            out.append(i)
            if i == 0:
                channel.ring(out.append, "pushed")
                loop.call_soon(out.append, "between")

        channel.spray(call, count=2)
        await until(lambda: "pushed" in out)
        assert out == [0, 1, "between", "pushed"]
        assert channel.wakes == 2

    run(main)


def test_failed_call_goes_to_the_exception_handler(testing, run):
    async def main(loop):
        contexts = []
        loop.set_exception_handler(lambda loop, context: contexts.append(context))
        channel = testing.channel()
        out = []
        error = ValueError("call failed")

        def call(thread, i):
            out.append(i)
            if i == 1:
                raise error

        channel.spray(call, count=3)
        await until(lambda: len(out) == 3 and contexts)
        assert out == [0, 1, 2]
        assert [c["message"] for c in contexts] == [MESSAGE]
        assert contexts[0]["exception"] is error

    run(main)


def test_failing_exception_handler_is_unraisable(testing, run, monkeypatch):
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)

    async def main(loop):
        def handler(context):
            raise RuntimeError("handler failed")

        loop.call_exception_handler = handler
        try:
            channel = testing.channel()
            out = []

            def call(thread, i):
                out.append(i)
                if i < 2:
                    raise ValueError(i)

            channel.spray(call, count=3)
            await until(lambda: len(out) == 3)
        finally:
            del loop.call_exception_handler
        assert out == [0, 1, 2]
        assert [(type(h.exc_value), str(h.exc_value), h.object) for h in hooked] == [
            (RuntimeError, "handler failed", None)
        ] * 2

    run(main)


def test_letting_every_holder_go_ends_the_channel(testing, run):
    async def main(loop):
        channel = testing.channel()
        out = []
        channel.spray(lambda thread, i: out.append(i), threads=1, count=3, let_go=True)
        sock = reading_end(loop)
        await until(lambda: sock.fileno() == -1)
        assert out == [0, 1, 2]
        if isinstance(loop, Watched):
            assert loop.removed == [sock]
        else:
            assert all(s is sock for s in loop.received)
        with pytest.raises(RuntimeError, match="ended"):
            channel.wakes

    run(main)


def test_many_threads_every_call_once_in_order(testing, run):
    threads, count = 8, 2500

    async def main(loop):
        channel = testing.channel()
        out = []
        channel.spray(lambda thread, i: out.append((thread, i)), threads=threads, count=count, wait=False)
        await until(lambda: len(out) >= threads * count, timeout=30.0)
        channel.join()
        # Runs after everything queued before it: a call run twice would be in `out` by then.
        channel.ring(out.append, "last")
        await until(lambda: out[-1] == "last")
        out.pop()
        assert len(out) == threads * count
        for t in range(threads):
            assert [i for thread, i in out if thread == t] == list(range(count))
        assert 1 <= channel.wakes <= threads * count + 1

    run(main)


class Probe:
    """Records the calls it gets and the thread it is let go on."""

    def __init__(self, ran, released):
        self.ran = ran
        self.released = released

    def __call__(self, *args):
        self.ran.append(args)

    def __del__(self):
        self.released.append(threading.get_ident())


def test_calls_of_a_gone_loop_are_released_never_run(testing):
    """Calls carry Python references, and may go where the interpreter lock is not held."""
    loop = asyncio.SelectorEventLoop()

    async def opened():
        return testing.channel()

    channel = loop.run_until_complete(opened())
    ran, released = [], []

    # Queued before the loop goes: released with the Reader when the loop drops it.
    channel.spray(Probe(ran, released), threads=2, count=50)
    assert released == []
    loop.close()
    assert released == [threading.get_ident()]

    # Rung after: refused by the Bell on the ringing threads, the last of which lets go of the last
    # handle on the channel; the references go there, without the loop's lock.
    channel.spray(Probe(ran, released), threads=2, count=50, wait=False, let_go=True, deferred=True)
    assert len(released) == 1
    channel.join()
    assert len(released) == 2 and released[1] != threading.get_ident()
    assert ran == []


class RefusesReaders(Watched):
    def add_reader(self, fd, callback, *args):
        self.added.append((fd, callback))
        raise RuntimeError("refused")


class RefusesReads(NoReaders):
    def sock_recv(self, sock, n):
        self.received.append(sock)
        raise RuntimeError("refused")


@pytest.mark.parametrize("loop_class", [RefusesReaders, RefusesReads])
def test_open_failure_is_raised_and_closes_the_socket(testing, loop_class):
    async def main(loop):
        with pytest.raises(RuntimeError, match="refused"):
            testing.channel()
        assert reading_end(loop).fileno() == -1

    with asyncio.Runner(loop_factory=loop_class) as runner:
        runner.run(main(runner.get_loop()))
