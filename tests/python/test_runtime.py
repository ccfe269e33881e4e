import gc
import inspect
import os
import subprocess
import sys

import pytest

from vorel import _vorel

Runtime = _vorel.Runtime

DOC = (
    "Threads for the transport of the systems and clients given it.\n\n"
    "Without one, each `ActorSystem` in a cluster and each `Client` starts a thread per core of its own. Given the same\n"
    "`Runtime`, they share its threads, and a system that ends stops only its node, its listener and its connections;\n"
    "the threads go when nothing holds the runtime any more.\n\n"
    "Parameters\n----------\nthreads\n    How many threads carry the transport. Zero raises `ValueError`."
)


def test_class_shape():
    assert Runtime.__module__ == "vorel._vorel"
    assert Runtime.__name__ == "Runtime"
    assert Runtime.__doc__ == DOC
    assert str(inspect.signature(Runtime)) == "(*, threads)"
    assert Runtime._tasks.__doc__ == (
        "How many tasks are alive on these threads, for a test that looks at what a system left behind."
    )
    assert Runtime._tasks.__text_signature__ == "($self)"


def test_runtime_comes_after_the_exception_classes():
    names = list(vars(_vorel))
    assert names.index("Runtime") > names.index("ActorFailed")


@pytest.mark.parametrize("count", [1, 3])
def test_a_fresh_runtime_has_no_tasks(count):
    runtime = Runtime(threads=count)
    assert runtime._tasks() == 0
    del runtime
    gc.collect()


def test_zero_threads_is_refused():
    with pytest.raises(ValueError) as raised:
        Runtime(threads=0)
    assert str(raised.value) == "threads is 0, and the transport needs at least one"


@pytest.mark.parametrize(
    "args, kwargs, cls, text",
    [
        ((), {}, TypeError, "Runtime() missing 1 required keyword-only argument: 'threads'"),
        ((2,), {}, TypeError, "Runtime() takes 0 positional arguments but 1 was given"),
        ((), {"threads": 1, "extra": 2}, TypeError, "Runtime() got an unexpected keyword argument 'extra'"),
        ((), {"threads": "2"}, TypeError, "argument 'threads': 'str' object cannot be interpreted as an integer"),
        ((), {"threads": 1.5}, TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
        ((), {"threads": -1}, OverflowError, "argument 'threads': can't convert negative int to unsigned"),
        ((), {"threads": 2**64}, OverflowError, "argument 'threads': int too big to convert"),
    ],
)
def test_bad_arguments(args, kwargs, cls, text):
    with pytest.raises(cls) as raised:
        Runtime(*args, **kwargs)
    assert type(raised.value) is cls
    assert str(raised.value) == text


def test_a_subclass_holds_threads_too():
    class Mine(Runtime):
        pass

    runtime = Mine(threads=2)
    assert isinstance(runtime, Runtime)
    assert runtime._tasks() == 0
    runtime.note = "subclasses keep attributes of their own"
    del runtime
    gc.collect()


def test_many_runtimes_come_and_go():
    for _ in range(50):
        Runtime(threads=2)


# Run in a process of its own: without the fix it deadlocks with the interpreter lock held, where
# no timeout inside the process can end it.
CONTENDED = """
import sys
sys.path.insert(0, {tests!r})
from conftest import _load_testing
from vorel import Client
from vorel._vorel import Runtime

testing = _load_testing()
runtime = Runtime(threads=1)
holders = [Client(seeds=["h:1"], runtime=runtime)]
del runtime
print(testing.contend(holders), len(holders))
"""


def test_the_last_holder_of_shared_threads_lets_them_go_without_the_interpreter_lock():
    # A client given a runtime holds its threads; once the runtime object is gone, the client's node
    # is their last holder, and a worker waits for the lock while the node lets them go.
    tests = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run(
        [sys.executable, "-c", CONTENDED.format(tests=tests)], capture_output=True, text=True, timeout=60
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "True 0\n", "")
