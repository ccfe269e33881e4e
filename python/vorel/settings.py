"""Settings objects: what an `ActorSystem`, a `Client` and an actor type are configured with.

The core reads these by attribute, so any object with the same attributes serves; these classes give the
defaults and refuse a bad value when it is written instead of when a system is entered.
"""

from __future__ import annotations

import inspect
import os
from collections.abc import Callable
from dataclasses import KW_ONLY, dataclass, field
from datetime import timedelta

from ._forms import UINT32_MAX, UINT64_MAX, every, integer, period, quoted, text, texts

CODECS = ("zstd", "lz4", "zlib")
"""The compression codecs a node can offer, by the names the handshake uses."""

_PORT_MAX = 65535


def address(name: str, value: object) -> str:
    """Check that `value` is a "host:port" address a node can be reached at, and return it unchanged.

    The host is whatever comes before the last ":" and must not be empty; the port is one or more ASCII
    digits up to 65535; a "/" is refused anywhere, since a pinned key ends its address with one. `name` is
    the setting the value came from and begins the text of the refusal.
    """
    if not isinstance(value, str):
        raise TypeError(f"{name} is {value!r}, which is not a host:port text")
    host, colon, port = value.rpartition(":")
    if (
        "/" in value
        or not colon
        or not host
        or not (port.isascii() and port.isdigit())
        or int(port) > _PORT_MAX
    ):
        raise ValueError(f"{name} is {quoted(value)}, which is not the host:port a node advertises")
    return value


@dataclass(frozen=True)
class Backoff:
    """How retries are spaced: `first`, then each delay times `factor`, never above `limit`.

    An actor type's backoff spaces the restarts of a body that failed; a system's is the default of its
    types. The delays are not checked against each other: a `first` above `limit` starts at `limit`.
    """

    first: timedelta = timedelta(milliseconds=100)
    limit: timedelta = timedelta(seconds=10)
    factor: float = 2.0

    def __post_init__(self) -> None:
        period("backoff.first", self.first)
        period("backoff.limit", self.limit)
        # The core converts the factor as a float: a number, or an object with __float__ or __index__.
        kind = type(self.factor)
        if kind is bool or not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
            raise TypeError(f"backoff.factor is {self.factor!r}, not a number")
        factor = float(self.factor)
        if not factor > 0.0:
            raise ValueError(f"backoff.factor is {factor!r}, which is not above zero")
        object.__setattr__(self, "factor", factor)


@dataclass(frozen=True)
class Compression:
    """Which codecs a node offers for its connections, in order of preference, and from what size it compresses.

    `codecs` None offers zstd, lz4 and zlib; an empty sequence offers none, so nothing is compressed.
    """

    codecs: tuple[str, ...] | None = None
    min_bytes: int = 4096

    def __post_init__(self) -> None:
        if self.codecs is not None:
            codecs = texts("compression.codecs", self.codecs)
            for codec in codecs:
                if codec not in CODECS:
                    raise ValueError(f"compression codec {quoted(codec)} is not one of zstd, lz4, zlib")
            object.__setattr__(self, "codecs", codecs)
        integer("compression.min_bytes", self.min_bytes, 0, UINT64_MAX)


@dataclass(frozen=True)
class Limits:
    """The sizes, in bytes, that the transport of a cluster works within; every node of a cluster needs the same.

    `frame` bounds one frame's payload, `message` one message, initial state or answer (a larger one raises
    `MessageTooLarge`), and `window` what may be in flight on a stream before the receiver gives credit.
    """

    frame: int = 262_144
    message: int = 4_194_304
    window: int = 262_144

    def __post_init__(self) -> None:
        # Frame lengths and window credit travel in 32-bit fields and a message's envelope adds up to 256
        # bytes to it; a window or frame of zero would never let a byte through. The texts are the
        # transport's own, which refuses the same sizes when it starts.
        for name in ("frame", "message", "window"):
            integer(f"limits.{name}", getattr(self, name), 0, UINT64_MAX)
        for name in ("frame", "window"):
            value = getattr(self, name)
            if not 1 <= value <= UINT32_MAX:
                raise ValueError(f"limits.{name} of {value} is not between 1 and {UINT32_MAX}")
        if self.message >= UINT32_MAX + 1 - 256:
            raise ValueError(f"limits.message of {self.message} is not below {UINT32_MAX + 1 - 256}")


@dataclass(frozen=True)
class Overlay:
    """The partial views through which the members of a cluster gossip: their sizes, walks and rounds."""

    graft_after: timedelta = timedelta(milliseconds=500)
    shuffle_every: timedelta = timedelta(seconds=30)
    active: int = 5
    passive: int = 30
    join_walk: int = 6
    passive_walk: int = 3

    def __post_init__(self) -> None:
        every("overlay.graft_after", self.graft_after)
        every("overlay.shuffle_every", self.shuffle_every)
        integer("overlay.active", self.active, 0, UINT64_MAX)
        integer("overlay.passive", self.passive, 0, UINT64_MAX)
        for name in ("active", "passive"):
            if getattr(self, name) == 0:
                raise ValueError(f"overlay.{name} is 0, and a view needs room for at least one node")
        integer("overlay.join_walk", self.join_walk, 0, UINT32_MAX)
        integer("overlay.passive_walk", self.passive_walk, 0, UINT32_MAX)


def _path(name: str, value: object) -> str:
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    return text(name, value)


@dataclass(frozen=True)
class Tls:
    """The PEM files a node's connections run TLS with: its certificate chain, its key, and the CA peers chain to.

    Without `ca` the connections are encrypted but no peer is authenticated. With `ca`, a server's
    certificate must chain to it, and so must a client's when `require_client_cert` is set. Paths may be
    given as `os.PathLike` objects; they are kept as str.
    """

    cert: str
    key: str
    ca: str | None = None
    require_client_cert: bool = True

    def __post_init__(self) -> None:
        object.__setattr__(self, "cert", _path("tls.cert", self.cert))
        object.__setattr__(self, "key", _path("tls.key", self.key))
        if self.ca is not None:
            object.__setattr__(self, "ca", _path("tls.ca", self.ca))
        if not isinstance(self.require_client_cert, bool):
            raise TypeError(f"tls.require_client_cert is {self.require_client_cert!r}, not a bool")


@dataclass(frozen=True)
class Cluster:
    """What makes an `ActorSystem` a member of a cluster: where it listens, whom it joins through, how it gossips.

    `bind` is the "host:port" the node listens on; `advertise` the one other nodes dial (None: derived from
    `bind` when the node starts); `seeds` the nodes to join through (none for the first node). Nodes whose
    `name` differs refuse each other. The durations drive the failure detector: a member silent for
    `suspect_after` is suspected, dead `dead_after` later, and marked left `remove_after` after that (None:
    never). `address_map` is called with an address before it is dialed and returns the address to connect
    to instead, for nodes behind a translation; it is a plain function, since the dialer does not await it.

    Entering a system with seeds that never answer waits with no time limit of its own: bound it with
    `asyncio.wait_for`, whose cancellation stops the node.
    """

    bind: str
    _: KW_ONLY
    advertise: str | None = None
    seeds: tuple[str, ...] = ()
    name: str = "vorel"
    heartbeat: timedelta = timedelta(seconds=1)
    suspect_after: timedelta = timedelta(seconds=5)
    dead_after: timedelta = timedelta(seconds=10)
    remove_after: timedelta | None = timedelta(seconds=60)
    anti_entropy: timedelta = timedelta(seconds=10)
    overlay: Overlay = field(default_factory=Overlay)
    tls: Tls | None = None
    compression: Compression = field(default_factory=Compression)
    limits: Limits = field(default_factory=Limits)
    address_map: Callable[[str], str] | None = None

    def __post_init__(self) -> None:
        address("bind", self.bind)
        if self.advertise is not None:
            address("advertise", self.advertise)
        seeds = texts("seeds", self.seeds)
        for seed in seeds:
            address("seeds", seed)
        object.__setattr__(self, "seeds", seeds)
        text("name", self.name)
        every("heartbeat", self.heartbeat)
        period("suspect_after", self.suspect_after)
        period("dead_after", self.dead_after)
        if self.remove_after is not None:
            period("remove_after", self.remove_after)
        every("anti_entropy", self.anti_entropy)
        _instance("overlay", self.overlay, Overlay)
        if self.tls is not None:
            _instance("tls", self.tls, Tls)
        _instance("compression", self.compression, Compression)
        _instance("limits", self.limits, Limits)
        if self.address_map is not None and not callable(self.address_map):
            raise TypeError(f"address_map is {self.address_map!r}, which cannot be called with an address")
        if inspect.iscoroutinefunction(self.address_map):
            raise TypeError(
                f"{self.address_map!r} is an async function, and the address map is called as the node dials: "
                "give a plain function that returns the address"
            )


def _instance(name: str, value: object, cls: type) -> None:
    if not isinstance(value, cls):
        raise TypeError(f"{name} is {value!r}; give a vorel.{cls.__name__}")
