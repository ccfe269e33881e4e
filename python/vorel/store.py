"""The user store protocol: where the states of durable actor types are kept."""

from __future__ import annotations

from collections.abc import Awaitable
from typing import Protocol, runtime_checkable


@runtime_checkable
class Store(Protocol):
    """Where a durable actor type's states are kept: any object with these three coroutine methods serves.

    A version is 32 bytes whose bytewise order is the order of the writes; a state is the bytes the core
    saved, or None for a deleted key. A store keeps one record per key and never lets an older version
    replace a newer one.
    """

    def load(self, actor: str, key: str, /) -> Awaitable[tuple[bytes, bytes | None] | None]:
        """The record of a key as (version, state), or None when it has none."""
        ...

    def save(self, actor: str, key: str, version: bytes, state: bytes | None, /) -> Awaitable[object]:
        """Keep (version, state) as the key's record, unless the record kept has a greater version."""
        ...

    def drop(self, actor: str, key: str, version: bytes, /) -> Awaitable[object]:
        """Forget the key's record if its version is not greater than `version`."""
        ...
