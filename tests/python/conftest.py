import sys
from pathlib import Path

import pytest

_SUPPORT = Path(__file__).resolve().parents[1] / "support"


@pytest.fixture(scope="session")
def heuristic_packages():
    """The tests/support/heuristic_packages module, with its packages built
    (compiled on first use on a machine, then taken from the package cache)."""
    if str(_SUPPORT) not in sys.path:
        sys.path.insert(0, str(_SUPPORT))
    import heuristic_packages

    heuristic_packages.build_all()
    return heuristic_packages
