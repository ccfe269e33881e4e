import importlib.machinery
import importlib.util

import pytest

from vorel import _vorel


def _load_testing():
    # The test hooks live in the module's own binary (test builds only), so they share its classes.
    name = "vorel._vorel_testing"
    loader = importlib.machinery.ExtensionFileLoader(name, _vorel.__file__)
    spec = importlib.util.spec_from_file_location(name, _vorel.__file__, loader=loader)
    try:
        module = importlib.util.module_from_spec(spec)
    except ImportError as e:
        raise ImportError("the test hooks are built only with -DVOREL_TESTS=ON: run bash scripts/test.sh") from e
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def testing():
    return _load_testing()
