"""Memory stays flat over long loops of every member, on success and error paths alike
(the loops are in leakloops.py, which also prints their figures as a script)."""

import os

import leakloops
import pytest

from conftest import LEAK_SCALE

LOOPS = {loop.name: loop for loop in leakloops.loops(LEAK_SCALE)}


@pytest.mark.parametrize("name", list(LOOPS))
def test_memory_stays_flat(name):
    figures = leakloops.measure(LOOPS[name])
    assert figures.type_references == 0, figures  # each instance gives its class reference back
    if LEAK_SCALE < 1:
        return  # shortened loops are too short for their growth to tell
    # In each half of the loop, leaking 16 bytes in any one of its calls would add 8 bytes a
    # call: the margins are a quarter of that (traced) and a half (resident).
    half_of_16_bytes_each = 8 * figures.calls_each
    assert figures.growth(figures.traced) < half_of_16_bytes_each / 4, figures
    # AddressSanitizer holds freed memory back for a while, so resident memory grows there
    # whatever the loop does; the traces and the references still tell.
    if not os.environ.get("TEGULO_SANITIZED"):
        assert figures.growth(figures.rss) < half_of_16_bytes_each / 2, figures
