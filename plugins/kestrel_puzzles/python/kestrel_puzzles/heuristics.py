"""Heuristic packages for the puzzles, compiled on first use and cached.

The networks read the one-hot network input of the environments (element
p*n*n + t is 1.0 where position p holds tile t), so a single bias-free linear
map computes any heuristic that sums a per-tile cost over positions.
"""

from __future__ import annotations

import sys

import torch

from . import _native

__all__ = ["manhattan_weights", "manhattan_package"]

# Part of the cache key: bump it whenever the network or its export changes,
# since a cached package is never rebuilt.
_MANHATTAN_VERSION = 1


def manhattan_weights(name: str) -> torch.Tensor:
    """float32 weights of length n**4: for position p and tile t, the distance
    |row(p) - row(goal(t))| + |col(p) - col(goal(t))|, and 0 for the blank."""
    n = _native.side(name)
    cells = n * n
    position = torch.arange(cells)
    tile = torch.arange(cells)
    goal_position = tile - 1  # tile t sits at t - 1 in the goal
    rows = (position[:, None] // n - goal_position[None, :] // n).abs()
    cols = (position[:, None] % n - goal_position[None, :] % n).abs()
    weights = (rows + cols).to(torch.float32)
    weights[:, 0] = 0.0
    return weights.reshape(cells * cells)


def manhattan_module(name: str) -> torch.nn.Module:
    """The network of :func:`manhattan_package`: (batch, n**4) -> (batch, 1)."""
    weights = manhattan_weights(name)
    linear = torch.nn.Linear(weights.numel(), 1, bias=False)
    with torch.no_grad():
        linear.weight.copy_(weights[None, :])
    return linear.eval()


def manhattan_package(name: str) -> str:
    """Path of the heuristic package whose value is the exact Manhattan distance
    of a state of puzzle ``name``, compiled on first use (tens of seconds) and
    kept in kestrel_cpp's package cache, keyed by torch version and puzzle."""
    from kestrel_cpp.export import cached_package, export_package

    name = name.lower()
    n = _native.side(name)  # rejects unknown names before anything is compiled

    def build(path):
        print(f"compiling the Manhattan heuristic for {name} (about 30 s, once)", file=sys.stderr, flush=True)
        return export_package(manhattan_module(name), [("x", (n**4,))], path, env=name)

    return str(cached_package(f"kestrel_puzzles/manhattan-{name}-v{_MANHATTAN_VERSION}", build))
