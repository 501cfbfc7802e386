import signal
import sys
from pathlib import Path

import pytest

import kestrel_puzzles

# tests/support holds plain helper modules the tests import by name.
_SUPPORT = Path(__file__).resolve().parents[1] / "support"
if str(_SUPPORT) not in sys.path:
    sys.path.insert(0, str(_SUPPORT))


@pytest.fixture
def sigint_raises():
    """Python's own SIGINT handler for the test. A job started in the
    background (`cmd &`, nohup) inherits SIGINT ignored: a SIGINT sent to it
    is dropped and _thread.interrupt_main() does nothing, so the Ctrl-C tests'
    solves would run on for minutes."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture(scope="session")
def heuristic_packages():
    """The tests/support/heuristic_packages module, with its packages built
    (compiled on first use on a machine, then taken from the package cache)."""
    import heuristic_packages

    heuristic_packages.build_all()
    return heuristic_packages


@pytest.fixture(scope="session")
def package8():
    """The plugin's Manhattan heuristic package for puzzle8."""
    return str(kestrel_puzzles.manhattan_package("puzzle8"))


@pytest.fixture(scope="session")
def package15():
    """The plugin's Manhattan heuristic package for puzzle15."""
    return str(kestrel_puzzles.manhattan_package("puzzle15"))


@pytest.fixture(scope="session")
def puzzle8_distances():
    """Optimal distances to the goal for every solvable 3x3 state, by BFS."""
    import search_helpers

    return search_helpers.optimal_distances("puzzle8")
