"""The Schema class, and a state cut into pages."""

import datetime as dt
from dataclasses import dataclass

import pytest

from vorel import _vorel
from vorel._vorel import Schema, SchemaError


def h(text):
    return bytes.fromhex(text)


@dataclass(frozen=True)
class State:
    a: int
    b: str = "x"


@dataclass(frozen=True)
class Wider(State):
    c: int = 3


@dataclass(frozen=True)
class Nothing:
    pass


@dataclass(frozen=True)
class Inner:
    when: dt.datetime


@dataclass(frozen=True)
class Outer:
    inner: Inner


def test_the_class():
    assert Schema.__module__ == "vorel._vorel"
    assert Schema.__qualname__ == "Schema"
    assert _vorel.Schema is Schema
    assert Schema.__doc__ == (
        "A compiled annotation: what a state, a message or a reply is written from and read into.\n\n"
        "Compiling walks the annotation once. From then on nothing is reflected again: a value is written straight "
        "to\nmsgpack and read straight from it, with no structure in between."
    )
    assert [n for n in vars(Schema) if not n.startswith("__")] == []


def test_python_code_cannot_make_one():
    with pytest.raises(TypeError):
        Schema()


def test_a_compiled_annotation_is_a_schema(testing):
    assert type(testing.schema(int)) is Schema


@pytest.mark.parametrize(
    "annotation, value, pages",
    [
        (int, 5, {".": "05"}),
        (tuple[int, str], (1, "a"), {".": "92 01 a1 61"}),
        (int | None, None, {".": "c0"}),
        (State, State(1, "y"), {"a": "01", "b": "a1 79"}),
        # Only the declared class's fields are written.
        (State, Wider(1), {"a": "01", "b": "a1 78"}),
        (Nothing, Nothing(), {}),
    ],
    ids=["int", "tuple", "union", "dataclass", "subclass", "empty"],
)
def test_pages(testing, annotation, value, pages):
    written = testing.pages(testing.schema(annotation), value)
    assert written == {name: h(data) for name, data in pages.items()}
    assert list(written) == sorted(written)


@pytest.mark.parametrize(
    "annotation, value, text",
    [
        (State, {"a": 1}, "expected State, got dict"),
        (State, State("1"), "a: expected int, got str"),
        (Outer, Outer(Inner(dt.datetime(2024, 1, 1))), "inner: when: datetime without time zone: 2024-01-01 00:00:00"),
        (int, "1", "expected int, got str"),
    ],
    ids=["not-an-instance", "field", "nested", "whole"],
)
def test_refused_pages(testing, annotation, value, text):
    with pytest.raises(SchemaError) as caught:
        testing.pages(testing.schema(annotation), value)
    assert str(caught.value) == text


def test_a_missing_field_attribute_passes_through(testing):
    value = State(1)
    object.__delattr__(value, "a")
    with pytest.raises(AttributeError):
        testing.pages(testing.schema(State), value)


def test_page_bytes_are_what_each_field_reads_back(testing):
    schema = testing.schema(State)
    pages = testing.pages(schema, State(7, "z"))
    assert testing.decode(testing.schema(int), pages["a"]) == 7
    assert testing.decode(testing.schema(str), pages["b"]) == "z"
