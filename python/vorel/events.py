"""What a system reports to its observer, and the observer a system has when it is given none.

The core builds each event with positional arguments in the order of its fields and hands it to the
observer on the system's event loop. An observer may have a `wants(cls)` method: it is asked once per
event class, in the order of `EVENTS`, each time the system is entered, and the classes it declines are
not even built.
"""

from __future__ import annotations

import logging
from dataclasses import dataclass

from .records import NodeId


class Event:
    """The base of the nine event classes, so that an observer can tell an event from anything else."""

    __slots__ = ()


@dataclass(frozen=True)
class MemberChanged(Event):
    """A member's status changed in this node's membership table; `previous` is None for a member just met."""

    node: NodeId
    status: str
    previous: str | None

    def __str__(self) -> str:
        was = f" (was {self.previous})" if self.previous is not None else ""
        return f"member {self.node} is {self.status}{was}"


@dataclass(frozen=True)
class ActivationStarted(Event):
    """A key became active on this node."""

    actor: str
    key: str

    def __str__(self) -> str:
        return f"{self.actor}/{self.key}: activated"


@dataclass(frozen=True)
class ActivationEnded(Event):
    """A key stopped being active on this node: it went idle, was released or handed over, or the node stopped."""

    actor: str
    key: str

    def __str__(self) -> str:
        return f"{self.actor}/{self.key}: deactivated"


@dataclass(frozen=True)
class ActivationFailed(Event):
    """A key's body raised while it processed a message; `error` is what it raised."""

    actor: str
    key: str
    error: BaseException

    def __str__(self) -> str:
        return f"{self.actor}/{self.key}: the body raised {type(self.error).__name__}: {self.error}"


@dataclass(frozen=True)
class WriteFailed(Event):
    """A key's state could not be written ("write") or read when it opened ("activate").

    `kind` is "unavailable" (too few replicas or the store failed), "fenced" (another owner took the key) or
    "too_large"; `reason` says what happened.
    """

    actor: str
    key: str
    operation: str
    kind: str
    reason: str

    def __str__(self) -> str:
        return f"{self.actor}/{self.key}: {self.operation} failed ({self.kind}): {self.reason}"


@dataclass(frozen=True)
class HandoffStarted(Event):
    """Keys of an actor type began to move to this node ("in") or away from it ("out")."""

    actor: str
    direction: str

    def __str__(self) -> str:
        return f"{self.actor}: hand-off {self.direction} started"


@dataclass(frozen=True)
class HandoffEnded(Event):
    """Keys of an actor type stopped moving "in" or "out".

    When a leaving node runs out of time, `keys` holds the keys it gave up without handing them over.
    """

    actor: str
    direction: str
    keys: tuple[str, ...] = ()

    def __str__(self) -> str:
        if self.keys:
            return f"{self.actor}: hand-off {self.direction} gave up {len(self.keys)} keys: {', '.join(self.keys)}"
        return f"{self.actor}: hand-off {self.direction} ended"


@dataclass(frozen=True)
class ConnectionLost(Event):
    """The connection to a node was lost."""

    node: NodeId

    def __str__(self) -> str:
        return f"connection to {self.node} lost"


@dataclass(frozen=True)
class MessageDropped(Event):
    """A message was not delivered and nobody waits for an answer to it; `reason` says why."""

    actor: str
    key: str
    reason: str

    def __str__(self) -> str:
        return f"{self.actor}/{self.key}: message dropped: {self.reason}"


EVENTS = (
    MemberChanged,
    ActivationStarted,
    ActivationEnded,
    ActivationFailed,
    WriteFailed,
    HandoffStarted,
    HandoffEnded,
    ConnectionLost,
    MessageDropped,
)
"""The nine event classes in the order a system asks an observer's `wants` about them."""

_LEVELS: dict[type[Event], int] = {
    MemberChanged: logging.INFO,
    ActivationStarted: logging.DEBUG,
    ActivationEnded: logging.DEBUG,
    ActivationFailed: logging.ERROR,
    WriteFailed: logging.WARNING,
    HandoffStarted: logging.INFO,
    HandoffEnded: logging.INFO,
    ConnectionLost: logging.WARNING,
    MessageDropped: logging.WARNING,
}

# A member that stops answering, and keys a leaving node could not hand over, deserve more than the
# level of their class's ordinary events; `wants` asks for a class at the highest level it can reach.
_TROUBLED = ("suspect", "dead")
_HIGHEST: dict[type[Event], int] = {**_LEVELS, MemberChanged: logging.WARNING, HandoffEnded: logging.WARNING}


def _level(event: Event) -> int:
    if isinstance(event, MemberChanged) and event.status in _TROUBLED:
        return logging.WARNING
    if isinstance(event, HandoffEnded) and event.keys:
        return logging.WARNING
    return _LEVELS.get(type(event), logging.INFO)


class LoggingObserver:
    """The observer of a system given none: it writes each event to a `logging` logger, "vorel" by default.

    Activations starting and ending are logged at DEBUG, membership and hand-offs at INFO, lost connections,
    failed writes, dropped messages, suspected or dead members and keys a hand-off gave up at WARNING, and a
    failed body at ERROR with its traceback. `wants` declines the classes the logger would not log when the
    system is entered, so a level lowered later takes effect at the next entry.
    """

    def __init__(self, logger: logging.Logger | None = None) -> None:
        self.logger = logger if logger is not None else logging.getLogger("vorel")

    def wants(self, cls: type) -> bool:
        """Whether events of `cls` would be logged now; asked once per class when a system is entered."""
        return self.logger.isEnabledFor(_HIGHEST.get(cls, logging.INFO))

    def __call__(self, event: Event) -> None:
        error = event.error if isinstance(event, ActivationFailed) else None
        exc_info = (type(error), error, error.__traceback__) if error is not None else None
        self.logger.log(_level(event), "%s", event, exc_info=exc_info)

    def __repr__(self) -> str:
        return f"LoggingObserver({self.logger.name!r})"
