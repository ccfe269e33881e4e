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
from .opaque import Opaque

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
]
