"""What the schema layer reads of Python's type system: dataclass fields, hint arguments, body signatures."""

import inspect
from dataclasses import dataclass, field

import pytest


@dataclass(frozen=True)
class Fields:
    plain: int
    with_default: int = 0
    with_factory: tuple = field(default_factory=tuple)
    after: int = field(default=1)


def test_dataclass_fields_in_order_with_required(testing):
    assert testing.fields(Fields) == [
        ("plain", True),
        ("with_default", False),
        ("with_factory", False),
        ("after", False),
    ]


def test_dataclass_fields_of_a_plain_class_pass_the_error_through(testing):
    with pytest.raises(TypeError):
        testing.fields(int)


@pytest.mark.parametrize("hint, args", [(int, []), (tuple[int, str], [int, str]), (tuple[()], [])])
def test_args(testing, hint, args):
    assert testing.args(hint) == args


async def body(state: int, message: "Fields", untyped, /):
    pass


def test_parameters_are_evaluated_and_kept_in_order(testing):
    assert testing.parameters(body) == [int, Fields, inspect.Parameter.empty]


def test_parameters_of_an_undefined_name_raise_name_error(testing):
    async def broken(state: "Nowhere"):  # noqa: F821
        pass

    with pytest.raises(NameError):
        testing.parameters(broken)
