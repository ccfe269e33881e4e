"""The escape hatch of the schema: a value written by a codec of its own."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True, slots=True)
class Opaque:
    """Marks ``Annotated[T, Opaque(encode, decode)]``: a value of ``T`` is written as the bytes that
    ``encode`` returns for it and read back by calling ``decode`` with those bytes.

    ``T`` itself is not examined, so it may be any type; it only names the value in errors.
    """

    encode: Callable[[Any], bytes]
    decode: Callable[[bytes], Any]
