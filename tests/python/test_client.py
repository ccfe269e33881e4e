"""Client construction: its arguments, checked in order, with their texts."""

import asyncio
import socket
from datetime import timedelta

import pytest

import vorel
from vorel import Client

pytestmark = pytest.mark.timeout(10)


def test_a_client_of_one_seed_builds():
    client = Client(seeds=["h:1"], name=None, sync_every=None, ask_timeout=None)
    assert isinstance(client, Client)
    assert Client.__doc__.startswith("Sends messages to the actors of a cluster, without hosting keys")
    assert Client[int] == Client[int]


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({}, TypeError, "seeds"),
        ({"seeds": "h:1"}, TypeError, "^seeds must be a sequence of str, not str$"),
        ({"seeds": 5}, TypeError, "seeds"),
        ({"seeds": ["h:1", 2]}, TypeError, "seeds"),
        ({"seeds": ["h:1"], "name": 3}, TypeError, "name"),
        ({"seeds": ["h:1"], "runtime": object()}, TypeError, "runtime"),
        ({"seeds": [], "runtime": 3}, TypeError, "runtime"),
        ({"seeds": []}, ValueError, "^seeds is empty, and a client reaches a cluster only through a seed$"),
        ({"seeds": ["nohost"]}, ValueError, "seeds is \"nohost\", which is not the host:port"),
        ({"seeds": ["h:1", 5j]}, TypeError, "seeds"),
        (
            {"seeds": ["h:1"], "sync_every": timedelta(0)},
            ValueError,
            "^sync_every is 0:00:00, and a period of zero would never wait between two rounds$",
        ),
        ({"seeds": ["h:1"], "sync_every": timedelta(seconds=-1)}, ValueError, "^sync_every is -1 day, 23:59:59, which is negative$"),
        ({"seeds": ["h:1"], "sync_every": 5}, TypeError, None),
        ({"seeds": ["h:1"], "tls": object()}, AttributeError, "cert"),
        ({"seeds": ["h:1"], "compression": object()}, AttributeError, "codecs"),
        ({"seeds": ["h:1"], "limits": object()}, AttributeError, "frame"),
        ({"seeds": ["h:1"], "ask_timeout": timedelta(seconds=-1)}, ValueError, "ask_timeout is -1 day"),
        ({"seeds": ["h:1"], "observer": 3}, TypeError, "^observer is 3, which cannot be called with an event$"),
        ({"seeds": ["h:1"], "bogus": 1}, TypeError, "bogus"),
    ],
)
def test_refusals_in_order(kwargs, error, text):
    with pytest.raises(error, match=text):
        Client(**kwargs)


class Shape:
    def __init__(self, **fields):
        self.__dict__.update(fields)


async def _async_map(address):
    return address


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"compression": Shape(codecs=["gzip"], min_bytes=1)}, ValueError, 'compression codec "gzip" is not one of zstd, lz4, zlib'),
        ({"compression": Shape(codecs="zstd", min_bytes=1)}, TypeError, "codecs"),
        ({"compression": Shape(codecs=None, min_bytes=-1)}, OverflowError, None),
        ({"compression": Shape(codecs=None, min_bytes="1")}, TypeError, None),
        ({"limits": Shape(frame=1, message=2, window=-3)}, OverflowError, None),
        ({"limits": Shape(frame=1, message=2, window=2**32)}, ValueError, "^limits.window of 4294967296 is not between 1 and 4294967295$"),
        ({"limits": Shape(frame=0, message=2, window=1)}, ValueError, "^limits.frame of 0 is not between 1 and 4294967295$"),
        ({"limits": Shape(frame=1, message=2**32 - 256, window=1)}, ValueError, "^limits.message of 4294967040 is not below 4294967040$"),
        ({"address_map": _async_map}, TypeError, "is an async function, and the address map is called as the node dials"),
        ({"tls": Shape(cert="c", key="k", ca=None, require_client_cert=1)}, TypeError, "require_client_cert"),
        ({"tls": Shape(cert="c", key=3, ca=None, require_client_cert=True)}, TypeError, None),
    ],
)
def test_objects_read_by_attribute_are_checked(kwargs, error, text):
    with pytest.raises(error, match=text):
        Client(seeds=["h:1"], **kwargs)


def test_objects_read_by_attribute_accept_any_shape():
    Client(
        seeds=("h:1", "h:2"),
        compression=Shape(codecs=("lz4", "zstd", "lz4"), min_bytes=0),
        limits=Shape(frame=1, message=0, window=2**32 - 1),
        tls=Shape(cert="c", key="k", ca="a", require_client_cert=False),
        address_map=lambda a: a,
        sync_every=timedelta(microseconds=1),
        ask_timeout=timedelta(0),
        observer=print,
        runtime=vorel._vorel.Runtime(threads=1),
    )


def test_positional_arguments_are_ignored():
    Client(1, 2, seeds=["h:1"])


def test_a_client_has_not_started_until_it_enters_and_again_after_its_entering_is_given_up():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        silent = f"127.0.0.1:{s.getsockname()[1]}"
    client = Client(seeds=[silent], runtime=vorel._vorel.Runtime(threads=1))
    for call in (client.stats, lambda: client.members, lambda: client.node, lambda: client.ref(None, "k")):
        with pytest.raises(RuntimeError, match="^the system has not started$"):
            call()

    async def main():
        # A seed that never answers keeps the entering waiting until the caller gives up.
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(client.__aenter__(), 0.3)
        with pytest.raises(RuntimeError, match="^the system has not started$"):
            client.node

    asyncio.run(asyncio.wait_for(main(), 5))
