import pytest

from tegulo_rl import _tegulo


@pytest.fixture
def game():
    return _tegulo.PyTegulo()
