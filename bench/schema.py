"""Encode and decode of a realistic message by its schema, against msgpack (with dataclasses.asdict) and
ormsgpack on the same values, measured in the same run.

The schema's writer and reader are reached through the test hooks, which only a test build has:

    bash scripts/build.sh --tests
    .venv/bin/pip install msgpack ormsgpack
    .venv/bin/python bench/schema.py

Each side turns the dataclass into bytes and the bytes back into an equal dataclass: the baselines, which
read plain maps, rebuild the nested dataclass, the tuple, the datetime and the UUID by hand.
"""

import dataclasses
import datetime as dt
import pathlib
import sys
import time
import uuid
from dataclasses import dataclass

import msgpack
import ormsgpack

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
from conftest import _load_testing  # noqa: E402  (the hooks are loaded as the tests load them)


@dataclass(frozen=True)
class Address:
    street: str
    city: str
    postcode: str


@dataclass(frozen=True)
class Order:
    id: int
    reference: uuid.UUID
    customer: str
    email: str
    total: float
    quantity: int
    paid: bool
    note: str | None
    tags: tuple[str, ...]
    placed: dt.datetime
    shipping: Address


ORDER = Order(
    id=1_234_567,
    reference=uuid.UUID("12345678-1234-5678-1234-567812345678"),
    customer="Ada Lovelace",
    email="ada@example.org",
    total=1234.5,
    quantity=3,
    paid=True,
    note=None,
    tags=("priority", "gift"),
    placed=dt.datetime(2024, 5, 6, 7, 8, 9, 123000, tzinfo=dt.timezone.utc),
    shipping=Address("12 Analytical Row", "London", "N1 9GU"),
)


def rebuilt(d):
    return Order(
        id=d["id"],
        reference=uuid.UUID(d["reference"]),
        customer=d["customer"],
        email=d["email"],
        total=d["total"],
        quantity=d["quantity"],
        paid=d["paid"],
        note=d["note"],
        tags=tuple(d["tags"]),
        placed=dt.datetime.fromisoformat(d["placed"]),
        shipping=Address(**d["shipping"]),
    )


def plain(o):
    if isinstance(o, dt.datetime):
        return o.isoformat()
    if isinstance(o, uuid.UUID):
        return str(o)
    raise TypeError(type(o).__name__)


def best(f, calls=20_000, rounds=7):
    """Seconds per call: the best of `rounds` timings of `calls` calls."""
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            f()
        times.append((time.perf_counter() - start) / calls)
    return min(times)


def main():
    testing = _load_testing()
    schema = testing.schema(Order)
    encode, decode = testing.encode, testing.decode

    ours = encode(schema, ORDER)
    with_asdict = msgpack.packb(dataclasses.asdict(ORDER), default=plain)
    with_orjson = ormsgpack.packb(ORDER)
    assert decode(schema, ours) == ORDER
    assert rebuilt(msgpack.unpackb(with_asdict)) == ORDER
    assert rebuilt(ormsgpack.unpackb(with_orjson)) == ORDER

    sides = {
        "schema": (lambda: encode(schema, ORDER), lambda: decode(schema, ours), len(ours)),
        "msgpack+asdict": (
            lambda: msgpack.packb(dataclasses.asdict(ORDER), default=plain),
            lambda: rebuilt(msgpack.unpackb(with_asdict)),
            len(with_asdict),
        ),
        "ormsgpack": (lambda: ormsgpack.packb(ORDER), lambda: rebuilt(ormsgpack.unpackb(with_orjson)), len(with_orjson)),
    }
    measured = {name: (best(e), best(d), size) for name, (e, d, size) in sides.items()}

    print(f"{'':16} {'encode':>10} {'decode':>10} {'bytes':>6}")
    for name, (e, d, size) in measured.items():
        print(f"{name:16} {e * 1e9:8.0f}ns {d * 1e9:8.0f}ns {size:6}")
    e, d, _ = measured["schema"]
    for name in ("msgpack+asdict", "ormsgpack"):
        other_e, other_d, _ = measured[name]
        print(f"schema vs {name}: encode {other_e / e:.2f}x, decode {other_d / d:.2f}x as fast")


if __name__ == "__main__":
    main()
