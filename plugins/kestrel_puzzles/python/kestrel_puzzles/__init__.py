"""Sliding-tile puzzle environments for kestrel_cpp.

Importing the package registers "puzzle8" (3x3), "puzzle15" (4x4) and
"puzzle24" (5x5) with both kestrel_cpp solvers. A state is n*n bytes in
row-major order holding the tiles 0..n*n-1, with 0 the blank; the goal is
1, 2, ..., n*n-1, 0. Moves 0, 1, 2, 3 move the blank up, down, left and right;
a move that would leave the board keeps the state. The network input is one
float32 tensor of n**4 values per state: element p*n*n + t is 1.0 where
position p holds tile t.
"""

# The native module links LibTorch from the installed torch package and
# registers through kestrel_cpp's registrar: both must be loaded first.
import numpy as _np
import torch as _torch  # noqa: F401

import kestrel_cpp as _kestrel_cpp

from . import _native

_native.register_environments(_kestrel_cpp.environment_registrar_capsule())

ENVIRONMENTS: tuple[str, ...] = tuple(_native.ENVIRONMENTS)

__all__ = ["ENVIRONMENTS", "goal", "scramble", "scramble_many", "side", "manhattan_package"]


def side(name: str) -> int:
    """Board side of the named puzzle (3, 4 or 5)."""
    return _native.side(name)


def goal(name: str) -> _np.ndarray:
    """Goal state of the named puzzle as a uint8 array of n*n tiles."""
    return _native.goal(name)


def scramble(name: str, num_moves: int, seed: int) -> _np.ndarray:
    """A state reached from the goal by a random walk of ``num_moves`` moves.

    The moves are drawn uniformly from all four with
    ``numpy.random.default_rng(seed)``. A move that would leave the board is
    kept and, as in the environments, leaves the state unchanged, so the walk
    may move fewer than ``num_moves`` tiles. The same arguments always give
    the same state.
    """
    if num_moves < 0:
        raise ValueError(f"num_moves must be non-negative, got {num_moves}")
    moves = _np.random.default_rng(seed).integers(0, 4, size=num_moves, dtype=_np.int64)
    return _native.cpu_apply_moves(name, goal(name), moves)


def scramble_many(name: str, count: int, moves: int, seed: int) -> _np.ndarray:
    """A test set: ``count`` states, one a row of a 2-D uint8 array, each
    reached from the goal by a random walk of ``moves`` moves.

    All walks are drawn from one ``numpy.random.default_rng(seed)``, row by
    row, so row 0 is ``scramble(name, moves, seed)`` and the same arguments
    always give the same set.
    """
    if count < 0 or moves < 0:
        raise ValueError(f"count and moves must be non-negative, got {count} and {moves}")
    walks = _np.random.default_rng(seed).integers(0, 4, size=(count, moves), dtype=_np.int64)
    start = goal(name)
    states = _np.empty((count, start.size), dtype=_np.uint8)
    for row, walk in enumerate(walks):
        states[row] = _native.cpu_apply_moves(name, start, walk)
    return states


def manhattan_package(name: str) -> str:
    """Path of a heuristic package computing the Manhattan distance of ``name``.

    See :mod:`kestrel_puzzles.heuristics`.
    """
    from .heuristics import manhattan_package as _manhattan_package

    return _manhattan_package(name)
