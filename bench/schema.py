"""Encode and decode of a realistic message by its schema, against msgspec and ormsgpack on the same
dataclass, measured in the same run.

The schema's writer and reader are reached through the test hooks, which only a test build has:

    bash scripts/build.sh --tests
    .venv/bin/python bench/schema.py [--rounds N] [--calls N]

Each side turns the dataclass into bytes and the bytes back into an equal dataclass. msgspec reads the
dataclass by its type as the schema does; ormsgpack reads a plain map, from which the nested dataclass,
the tuple, the datetime and the UUID are rebuilt by hand. The rounds interleave the sides, so a slower
stretch of a shared machine falls on all of them; each figure is the median over the rounds with its
spread (lowest to highest), and each ratio is taken within a round before its median is. Besides encoding
the same value again and again, each round encodes a new instance per call for the schema and msgspec, as
messages are: what the first read of an instance costs shows there.
"""

import argparse
import datetime as dt
import pathlib
import statistics
import sys
import time
import uuid
from dataclasses import dataclass

import msgspec
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


def sides():
    """name -> (encode, decode, encoded size); every decode is checked to give the value back."""
    testing = _load_testing()
    schema = testing.schema(Order)
    encode, decode = testing.encode, testing.decode
    ours = encode(schema, ORDER)

    spec_encoder = msgspec.msgpack.Encoder()
    spec_decoder = msgspec.msgpack.Decoder(Order)
    theirs = spec_encoder.encode(ORDER)

    packed = ormsgpack.packb(ORDER)

    made = {
        "schema": (lambda: encode(schema, ORDER), lambda: decode(schema, ours), len(ours)),
        "msgspec": (lambda: spec_encoder.encode(ORDER), lambda: spec_decoder.decode(theirs), len(theirs)),
        "ormsgpack": (lambda: ormsgpack.packb(ORDER), lambda: rebuilt(ormsgpack.unpackb(packed)), len(packed)),
    }
    for name, (_, d, _) in made.items():
        assert d() == ORDER, name
    return made


def copies(calls):
    """New instances equal to ORDER, one per call: a value written once, as a message is, whose __dict__
    nobody has asked for yet."""
    fields = {name: getattr(ORDER, name) for name in Order.__dataclass_fields__}
    return [Order(**fields) for _ in range(calls)]


def per_new_instance(encode, calls):
    values = copies(calls)
    start = time.perf_counter()
    for value in values:
        encode(value)
    return (time.perf_counter() - start) / calls


def per_call(f, calls):
    start = time.perf_counter()
    for _ in range(calls):
        f()
    return (time.perf_counter() - start) / calls


def spread(values, scale=1.0, unit=""):
    m = statistics.median(values) * scale
    return f"{m:8.0f}{unit} [{min(values) * scale:.0f}-{max(values) * scale:.0f}]"


def ratio(values):
    return f"{statistics.median(values):5.2f}x [{min(values):.2f}-{max(values):.2f}]"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=20_000)
    args = parser.parse_args()

    made = sides()
    names = list(made)
    timings = {(name, op): [] for name in names for op in ("encode", "decode")}
    testing = _load_testing()
    schema, spec_encoder = testing.schema(Order), msgspec.msgpack.Encoder()
    fresh = {"schema": lambda v: testing.encode(schema, v), "msgspec": spec_encoder.encode}
    for name in fresh:
        timings[name, "new"] = []
    for r in range(args.rounds):
        # Rotating the order keeps any one side from always running first, on a warmer or colder cache.
        for name in names[r % len(names):] + names[: r % len(names)]:
            encode, decode, _ = made[name]
            timings[name, "encode"].append(per_call(encode, args.calls))
            timings[name, "decode"].append(per_call(decode, args.calls))
            if name in fresh:
                timings[name, "new"].append(per_new_instance(fresh[name], args.calls))

    print(f"{args.rounds} interleaved rounds of {args.calls} calls; median [lowest-highest] per call")
    print(f"{'':10} {'encode ns':>22} {'decode ns':>22} {'bytes':>6}")
    for name in names:
        print(f"{name:10} {spread(timings[name, 'encode'], 1e9):>22} {spread(timings[name, 'decode'], 1e9):>22} "
              f"{made[name][2]:6}")
    for name in fresh:
        print(f"{name:10} {spread(timings[name, 'new'], 1e9):>22}  encode of a new instance each call")
    print("schema's time over the baseline's, round by round (below 1: the schema is faster)")
    for other in names[1:]:
        for op in ("encode", "decode", "new"):
            if (other, op) not in timings:
                continue
            rounds = [a / b for a, b in zip(timings["schema", op], timings[other, op])]
            print(f"  {op:6} vs {other:10} {ratio(rounds)}")


if __name__ == "__main__":
    main()
