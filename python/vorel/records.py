"""Records the core answers with: node identities, members, placements, activations and statistics.

The core builds them with positional arguments in the order of their fields (`Stats` by keyword), so the
field order is part of their contract.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import datetime
from types import MappingProxyType
from uuid import UUID

STATUSES = ("alive", "leaving", "suspect", "dead", "left")
"""The statuses a member goes through, in the order of its life in the cluster."""


@dataclass(frozen=True)
class NodeId:
    """One running node: the "host:port" it is reached at (None for a node nobody dials) and its incarnation.

    A node draws a new incarnation each time it starts, so a restarted node at the same address is another
    node.
    """

    address: str | None
    incarnation: UUID

    def __str__(self) -> str:
        return f"{self.address or 'unaddressed'} {self.incarnation}"


@dataclass(frozen=True)
class Member:
    """A member of a cluster as a node sees it: its node, its status and the actor types it hosts."""

    node: NodeId
    status: str
    kinds: frozenset[str]

    def __post_init__(self) -> None:
        if self.status not in STATUSES:
            raise ValueError(f"status is {self.status!r}, not one of {', '.join(STATUSES)}")
        object.__setattr__(self, "kinds", frozenset(self.kinds))


@dataclass(frozen=True)
class Placement:
    """Where a key lives: the node a message to it goes to now (None when no node owns it) and every node keeping it."""

    owner: NodeId | None
    nodes: tuple[NodeId, ...]

    def __post_init__(self) -> None:
        object.__setattr__(self, "nodes", tuple(self.nodes))


@dataclass(frozen=True)
class Activation:
    """A key active on this node: its actor type, the key, when it became active and how many messages wait."""

    actor: str
    key: str
    started: datetime
    queued: int


@dataclass(frozen=True)
class ActorStats:
    """The activations of one actor type on a node: how many, the messages waiting in all, and the most in one."""

    count: int
    queued: int
    largest: int


@dataclass(frozen=True, kw_only=True)
class Stats:
    """What a system counts: its activations by actor type, the answers it waits for, its writes and its traffic.

    `actors` maps each actor type name the system knows to its `ActorStats`; it is read-only.
    """

    actors: Mapping[str, ActorStats] = field(hash=False)
    asks_in_flight: int
    writes_confirmed: int
    writes_failed: int
    connections: int
    bytes_sent: int
    bytes_received: int

    def __post_init__(self) -> None:
        object.__setattr__(self, "actors", MappingProxyType(dict(self.actors)))

