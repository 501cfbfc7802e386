"""The 6-pancake puzzle for kestrel_cpp: a template plugin.

Importing the package registers "pancake6" with both solvers. A state is 6
bytes, the pancake sizes 0..5 from the top down; the goal is 0, 1, 2, 3, 4, 5.
Move m flips the top m + 2 pancakes. The network input is 36 float32 values:
element p * 6 + v is 1.0 where position p holds pancake v.
"""

# The native module links LibTorch from the installed torch package and
# registers through kestrel_cpp's registrar: both must be loaded first.
import numpy as np
import torch

import kestrel_cpp

from . import _native

_native.register_environments(kestrel_cpp.environment_registrar_capsule())

NAME: str = _native.NAME
PANCAKES: int = _native.PANCAKES
ENVIRONMENTS: tuple[str, ...] = (NAME,)

__all__ = ["ENVIRONMENTS", "NAME", "PANCAKES", "GapHeuristic", "gap_package", "scramble"]


def scramble(num_moves: int, seed: int) -> np.ndarray:
    """A state reached from the goal by ``num_moves`` random flips."""
    rng = np.random.default_rng(seed)
    state = np.arange(PANCAKES, dtype=np.uint8)
    for move in rng.integers(0, PANCAKES - 1, size=num_moves):
        state[: move + 2] = state[: move + 2][::-1].copy()
    return state


class GapHeuristic(torch.nn.Module):
    """The gap heuristic from the one-hot input: the number of neighbouring
    pancakes (the plate counting as pancake 6 below the stack) whose sizes
    differ by more than one. Every flip closes at most one gap, so it never
    overestimates."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        sizes = x.view(-1, PANCAKES, PANCAKES).argmax(dim=2)
        plate = torch.full_like(sizes[:, :1], PANCAKES)
        stack = torch.cat([sizes, plate], dim=1)
        return ((stack[:, 1:] - stack[:, :-1]).abs() != 1).sum(dim=1, keepdim=True).float()


def gap_package() -> str:
    """Path of the gap heuristic compiled into a package (tens of seconds the
    first time on a machine, then taken from kestrel_cpp's package cache)."""
    from kestrel_cpp.export import cached_package, export_package

    return str(cached_package(
        "kestrel_pancakes/gap-v1",
        lambda path: export_package(GapHeuristic(), [("x", (PANCAKES * PANCAKES,))], path, env=NAME)))
