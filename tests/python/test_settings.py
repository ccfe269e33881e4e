from dataclasses import FrozenInstanceError
from datetime import timedelta
from pathlib import Path
from types import SimpleNamespace

import pytest

import vorel
from vorel.settings import CODECS

ZERO = timedelta(0)
MINUS_ONE = timedelta(seconds=-1)


@pytest.mark.parametrize("value", ["h:80", "10.0.0.5:7000", "[::1]:7000", "node-1.example:0", "h:65535", "a:b:1"])
def test_address_accepts_host_port(value):
    assert vorel.address("seeds", value) is value


@pytest.mark.parametrize(
    "value, shown",
    [
        ("h:80/x", '"h:80/x"'),
        ("h:", '"h:"'),
        (":80", '":80"'),
        ("h:8a", '"h:8a"'),
        ("h", '"h"'),
        ("", '""'),
        ("h:65536", '"h:65536"'),
        ("h:\u0661", '"h:\u0661"'),  # an Arabic-Indic digit is a digit to str.isdigit, not to a port
        ('h"\n:1x', '"h\\"\\n:1x"'),
    ],
)
def test_address_refuses_what_no_node_advertises(value, shown):
    with pytest.raises(ValueError) as raised:
        vorel.address("seeds", value)
    assert str(raised.value) == f"seeds is {shown}, which is not the host:port a node advertises"


def test_address_refuses_a_non_text():
    with pytest.raises(TypeError, match="^at is 3, which is not a host:port text$"):
        vorel.address("at", 3)


def test_backoff_defaults_and_positional_order():
    assert vorel.Backoff() == vorel.Backoff(timedelta(milliseconds=100), timedelta(seconds=10), 2.0)
    made = vorel.Backoff(timedelta(seconds=1), timedelta(seconds=2), 3)
    assert (made.first, made.limit, made.factor) == (timedelta(seconds=1), timedelta(seconds=2), 3.0)
    assert type(made.factor) is float


@pytest.mark.parametrize(
    "factor, shown", [(0.0, "0.0"), (-1, "-1.0"), (float("nan"), "nan"), (float("-inf"), "-inf")]
)
def test_backoff_refuses_a_factor_not_above_zero(factor, shown):
    text = f"backoff.factor is {shown}, which is not above zero"
    with pytest.raises(ValueError) as raised:
        vorel.Backoff(ZERO, ZERO, factor)
    assert str(raised.value) == text
    # The core refuses the same factors from any backoff object, with the same text.
    with pytest.raises(ValueError) as raised:
        vorel.actor(backoff=SimpleNamespace(first=ZERO, limit=ZERO, factor=factor))
    assert str(raised.value) == text
    with pytest.raises(ValueError) as raised:
        vorel.ActorSystem(backoff=SimpleNamespace(first=ZERO, limit=ZERO, factor=factor))
    assert str(raised.value) == text


def test_backoff_takes_a_factor_below_one():
    assert vorel.Backoff(ZERO, ZERO, 0.5).factor == 0.5


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"first": MINUS_ONE}, ValueError, "backoff.first is -1 day, 23:59:59, which is negative"),
        ({"limit": MINUS_ONE}, ValueError, "backoff.limit is -1 day, 23:59:59, which is negative"),
        ({"first": 0.1}, TypeError, "backoff.first is 0.1, not a timedelta"),
        ({"factor": True}, TypeError, "backoff.factor is True, not a number"),
        ({"factor": "2"}, TypeError, "backoff.factor is '2', not a number"),
    ],
)
def test_backoff_refusals(kwargs, error, text):
    with pytest.raises(error) as raised:
        vorel.Backoff(**kwargs)
    assert str(raised.value) == text


def test_compression_defaults_and_codecs_kept_in_order():
    assert vorel.Compression() == vorel.Compression(None, 4096)
    assert vorel.Compression(["lz4", "zstd", "lz4"]).codecs == ("lz4", "zstd", "lz4")
    assert vorel.Compression(()).codecs == ()
    assert CODECS == ("zstd", "lz4", "zlib")


@pytest.mark.parametrize(
    "codecs, error, text",
    [
        (["zstd", "snappy", "gzip"], ValueError, 'compression codec "snappy" is not one of zstd, lz4, zlib'),
        (["ZSTD"], ValueError, 'compression codec "ZSTD" is not one of zstd, lz4, zlib'),
        ("zstd", TypeError, "compression.codecs is 'zstd', a single text; give a sequence of texts"),
        ([1], TypeError, "compression.codecs is 1, not a str"),
        (5, TypeError, "compression.codecs is 5, not a sequence of texts"),
    ],
)
def test_compression_refusals(codecs, error, text):
    with pytest.raises(error) as raised:
        vorel.Compression(codecs)
    assert str(raised.value) == text


def test_compression_min_bytes_range():
    assert vorel.Compression(min_bytes=0).min_bytes == 0
    with pytest.raises(ValueError, match="^compression.min_bytes is -1, which is not between 0 and "):
        vorel.Compression(min_bytes=-1)


def test_limits_defaults():
    limits = vorel.Limits()
    assert (limits.frame, limits.message, limits.window) == (262_144, 4_194_304, 262_144)


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({"frame": 0}, "limits.frame of 0 is not between 1 and 4294967295"),
        ({"frame": 2**32}, "limits.frame of 4294967296 is not between 1 and 4294967295"),
        ({"window": 0}, "limits.window of 0 is not between 1 and 4294967295"),
        ({"message": 2**32 - 255}, "limits.message of 4294967041 is not below 4294967040"),
        ({"message": -1}, "limits.message is -1, which is not between 0 and 18446744073709551615"),
    ],
)
def test_limits_refuse_what_the_transport_cannot_carry(kwargs, text):
    with pytest.raises(ValueError) as raised:
        vorel.Limits(**kwargs)
    assert str(raised.value) == text


def test_limits_at_the_edges():
    vorel.Limits(frame=1, message=2**32 - 256 - 1, window=2**32 - 1)
    with pytest.raises(TypeError, match="^limits.frame is True, not an int$"):
        vorel.Limits(frame=True)


def test_overlay_defaults_and_refusals():
    overlay = vorel.Overlay()
    assert (overlay.graft_after, overlay.shuffle_every) == (timedelta(milliseconds=500), timedelta(seconds=30))
    assert (overlay.active, overlay.passive, overlay.join_walk, overlay.passive_walk) == (5, 30, 6, 3)
    with pytest.raises(ValueError) as raised:
        vorel.Overlay(shuffle_every=ZERO)
    assert str(raised.value) == "overlay.shuffle_every is 0:00:00, and a period of zero would never wait between two rounds"
    with pytest.raises(ValueError, match="^overlay.join_walk is 4294967296, which is not between 0 and 4294967295$"):
        vorel.Overlay(join_walk=2**32)
    with pytest.raises(ValueError, match="^overlay.active is -1"):
        vorel.Overlay(active=-1)


def test_tls_keeps_paths_as_text():
    tls = vorel.Tls(Path("/etc/node.pem"), "/etc/node.key")
    assert (tls.cert, tls.key, tls.ca, tls.require_client_cert) == ("/etc/node.pem", "/etc/node.key", None, True)
    assert vorel.Tls("c", "k", Path("ca.pem"), False).ca == "ca.pem"


@pytest.mark.parametrize(
    "args, text",
    [
        ((1, "k"), "tls.cert is 1, not a str"),
        (("c", None), "tls.key is None, not a str"),
        (("c", "k", b"ca"), "tls.ca is b'ca', not a str"),
        (("c", "k", None, 1), "tls.require_client_cert is 1, not a bool"),
    ],
)
def test_tls_refusals(args, text):
    with pytest.raises(TypeError) as raised:
        vorel.Tls(*args)
    assert str(raised.value) == text


def test_cluster_defaults():
    cluster = vorel.Cluster("0.0.0.0:7000")
    assert cluster.bind == "0.0.0.0:7000"
    assert (cluster.advertise, cluster.seeds, cluster.name) == (None, (), "vorel")
    assert (cluster.heartbeat, cluster.suspect_after, cluster.dead_after) == (
        timedelta(seconds=1),
        timedelta(seconds=5),
        timedelta(seconds=10),
    )
    assert (cluster.remove_after, cluster.anti_entropy) == (timedelta(seconds=60), timedelta(seconds=10))
    assert (cluster.overlay, cluster.tls, cluster.compression, cluster.limits) == (
        vorel.Overlay(),
        None,
        vorel.Compression(),
        vorel.Limits(),
    )
    assert cluster.address_map is None
    with pytest.raises(FrozenInstanceError):
        cluster.bind = "h:1"


def test_cluster_takes_what_the_core_reads():
    def mapped(address):
        return address

    cluster = vorel.Cluster(
        "0.0.0.0:7000",
        advertise="10.0.0.5:7000",
        seeds=["10.0.0.6:7000", "10.0.0.7:7000"],
        suspect_after=ZERO,
        dead_after=ZERO,
        remove_after=None,
        tls=vorel.Tls("c", "k"),
        address_map=mapped,
    )
    assert cluster.seeds == ("10.0.0.6:7000", "10.0.0.7:7000")
    assert cluster.remove_after is None and cluster.address_map is mapped


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"bind": "h"}, ValueError, 'bind is "h", which is not the host:port a node advertises'),
        ({"advertise": "h:x"}, ValueError, 'advertise is "h:x", which is not the host:port a node advertises'),
        ({"seeds": "h:1"}, TypeError, "seeds is 'h:1', a single text; give a sequence of texts"),
        ({"seeds": ["h:1", "h"]}, ValueError, 'seeds is "h", which is not the host:port a node advertises'),
        ({"name": None}, TypeError, "name is None, not a str"),
        ({"heartbeat": ZERO}, ValueError, "heartbeat is 0:00:00, and a period of zero would never wait between two rounds"),
        ({"anti_entropy": ZERO}, ValueError, "anti_entropy is 0:00:00, and a period of zero would never wait between two rounds"),
        ({"dead_after": MINUS_ONE}, ValueError, "dead_after is -1 day, 23:59:59, which is negative"),
        ({"remove_after": 60}, TypeError, "remove_after is 60, not a timedelta"),
        ({"overlay": None}, TypeError, "overlay is None; give a vorel.Overlay"),
        ({"compression": None}, TypeError, "compression is None; give a vorel.Compression"),
        ({"limits": {}}, TypeError, "limits is {}; give a vorel.Limits"),
        ({"tls": "tls"}, TypeError, "tls is 'tls'; give a vorel.Tls"),
        ({"address_map": "h:1"}, TypeError, "address_map is 'h:1', which cannot be called with an address"),
    ],
)
def test_cluster_refusals(kwargs, error, text):
    kwargs = {"bind": "0.0.0.0:7000", **kwargs}
    with pytest.raises(error) as raised:
        vorel.Cluster(**kwargs)
    assert str(raised.value) == text


def test_cluster_reports_the_first_bad_setting_in_reading_order():
    with pytest.raises(ValueError, match="^bind is"):
        vorel.Cluster("h", heartbeat=ZERO)
