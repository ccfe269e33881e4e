"""What a system reads of its cluster configuration object when it enters, and what it refuses there,
before any thread starts. Any object with the attributes serves, so the checks of the package's own
classes are no help here."""

import asyncio
import threading
from datetime import timedelta

import pytest

from vorel import ActorSystem, _vorel

pytestmark = pytest.mark.timeout(20)

ZERO = timedelta(0)


class Shape:
    def __init__(self, **fields):
        self.__dict__.update(fields)


def shape(**changes):
    """A configuration that enters; dotted names change the nested objects."""
    fields = {
        "bind": "127.0.0.1:0",
        "advertise": None,
        "seeds": (),
        "name": "vorel",
        "heartbeat": timedelta(milliseconds=100),
        "suspect_after": timedelta(seconds=1),
        "dead_after": timedelta(seconds=2),
        "remove_after": None,
        "anti_entropy": timedelta(seconds=1),
        "tls": None,
        "address_map": None,
    }
    nested = {
        "overlay": {"graft_after": timedelta(milliseconds=500), "shuffle_every": timedelta(seconds=30), "active": 5,
                    "passive": 30, "join_walk": 6, "passive_walk": 3},
        "compression": {"codecs": None, "min_bytes": 4096},
        "limits": {"frame": 262_144, "message": 4_194_304, "window": 262_144},
    }
    for name, value in changes.items():
        outer, dot, inner = name.partition(".")
        if dot:
            nested[outer][inner] = value
        else:
            fields[name] = value
    built = {name: Shape(**values) for name, values in nested.items()}
    built.update(fields)
    for name, value in changes.items():
        if "." not in name and name in nested:
            built[name] = value
    return Shape(**built)


async def _async_map(address):
    return address


def without(name):
    config = shape()
    delattr(config, name)
    return config


CASES = [
    (without("address_map"), AttributeError, "address_map"),
    (without("overlay"), AttributeError, "overlay"),
    (shape(overlay=None), AttributeError, "graft_after"),
    (shape(bind=1, heartbeat=ZERO), TypeError, None),
    (shape(seeds="127.0.0.1:1"), TypeError, "^seeds must be a sequence of str, not str$"),
    (shape(seeds=["127.0.0.1:1", 2]), TypeError, "^seeds must be a sequence of str, not int$"),
    (shape(heartbeat=ZERO), ValueError, "^heartbeat is 0:00:00, and a period of zero would never wait between two rounds$"),
    (shape(anti_entropy=ZERO), ValueError, "^anti_entropy is 0:00:00, and a period of zero would never wait"),
    (shape(dead_after=timedelta(seconds=-1)), ValueError, "^dead_after is -1 day, 23:59:59, which is negative$"),
    (shape(remove_after=timedelta(seconds=-1)), ValueError, "^remove_after is -1 day, 23:59:59, which is negative$"),
    (shape(suspect_after=5), TypeError, None),
    (shape(**{"overlay.shuffle_every": ZERO}), ValueError, "^overlay.shuffle_every is 0:00:00, and a period of zero"),
    (shape(**{"overlay.graft_after": ZERO}), ValueError, "^overlay.graft_after is 0:00:00, and a period of zero"),
    (shape(**{"overlay.active": 0}), ValueError, "^overlay.active is 0, and a view needs room for at least one node$"),
    (shape(**{"overlay.passive": 0}), ValueError, "^overlay.passive is 0, and a view needs room for at least one node$"),
    (shape(**{"overlay.active": -1}), OverflowError, None),
    (shape(**{"overlay.join_walk": 2**32}), OverflowError, None),
    (shape(**{"overlay.passive_walk": "3"}), TypeError, None),
    (shape(tls=Shape(cert="c", key="k", ca=None, require_client_cert=1)), TypeError, "require_client_cert"),
    (shape(**{"compression.codecs": ("ZSTD",)}), ValueError, '^compression codec "ZSTD" is not one of zstd, lz4, zlib$'),
    (shape(**{"compression.codecs": ("zstd", "snappy", "gzip")}), ValueError, '^compression codec "snappy" is not'),
    (shape(**{"compression.min_bytes": -1}), OverflowError, None),
    (shape(limits=None), AttributeError, "frame"),
    (shape(**{"limits.frame": 0}), ValueError, "^limits.frame of 0 is not between 1 and 4294967295$"),
    (shape(**{"limits.window": 2**32}), ValueError, "^limits.window of 4294967296 is not between 1 and 4294967295$"),
    (shape(**{"limits.message": 2**32 - 256}), ValueError, "^limits.message of 4294967040 is not below 4294967040$"),
    (shape(**{"limits.message": -1}), OverflowError, None),
    (shape(address_map=_async_map), TypeError, "is an async function, and the address map is called as the node dials"),
]


@pytest.mark.parametrize("config, error, text", CASES)
async def test_a_refused_configuration_starts_nothing(config, error, text):
    before = threading.active_count()
    system = ActorSystem(cluster=config)
    with pytest.raises(error, match=text):
        await system.__aenter__()
    assert threading.active_count() == before


async def test_any_object_with_the_attributes_enters():
    runtime = _vorel.Runtime(threads=1)
    system = ActorSystem(
        cluster=shape(
            seeds=[],
            remove_after=timedelta(seconds=1),
            **{"compression.codecs": ["lz4", "zstd"], "limits.message": 2**32 - 257},
        ),
        runtime=runtime,
    )
    async with system:
        address = system.node.address
        assert address.startswith("127.0.0.1:") and address != "127.0.0.1:0"
        assert [m.node for m in system.members] == [system.node]
    deadline = asyncio.get_running_loop().time() + 10
    while runtime._tasks() != 0:
        assert asyncio.get_running_loop().time() < deadline
        await asyncio.sleep(0.02)


async def test_advertise_is_what_the_node_goes_by():
    system = ActorSystem(cluster=shape(advertise="node-a.example:7000"), runtime=_vorel.Runtime(threads=1))
    async with system:
        assert system.node.address == "node-a.example:7000"
