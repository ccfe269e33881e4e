"""Virtual actors for Python with a native core.

An actor type is an async body decorated with ``actor(...)``; an entity (actor type, key) is
activated on demand, reached through a ``Ref`` with ``tell`` and ``ask``, and keeps a typed state.
"""

from ._vorel import (
    ActorFailed,
    MailboxFull,
    MessageTooLarge,
    NotStarted,
    ReentrancyError,
    Refused,
    SchemaError,
    UnknownActor,
    Unavailable,
)
from .events import (
    EVENTS,
    ActivationEnded,
    ActivationFailed,
    ActivationStarted,
    ConnectionLost,
    Event,
    HandoffEnded,
    HandoffStarted,
    LoggingObserver,
    MemberChanged,
    MessageDropped,
    WriteFailed,
)
from .opaque import Opaque
from .records import Activation, ActorStats, Member, NodeId, Placement, Stats
from .settings import Backoff, Cluster, Compression, Limits, Overlay, Tls, address
from .store import Store

__all__ = [
    "ActorFailed",
    "MailboxFull",
    "MessageTooLarge",
    "NotStarted",
    "Opaque",
    "ReentrancyError",
    "Refused",
    "SchemaError",
    "UnknownActor",
    "Unavailable",
    "Activation",
    "ActorStats",
    "Member",
    "NodeId",
    "Placement",
    "Stats",
    "Store",
    "Backoff",
    "Cluster",
    "Compression",
    "Limits",
    "Overlay",
    "Tls",
    "address",
    "Event",
    "EVENTS",
    "MemberChanged",
    "ActivationStarted",
    "ActivationEnded",
    "ActivationFailed",
    "WriteFailed",
    "HandoffStarted",
    "HandoffEnded",
    "ConnectionLost",
    "MessageDropped",
    "LoggingObserver",
]
