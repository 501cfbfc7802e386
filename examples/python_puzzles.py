"""Puzzles written in PyTorch for the tensor solver, no C++ needed.

``SlidingPuzzle`` is the bundled C++ sliding puzzle again, move for move
(blank up, down, left, right; a move off the board keeps the state; one-hot
network input, element ``p * cells + t``), so that it solves exactly as
``kestrel_puzzles`` does. ``Pancakes`` is a small puzzle of its own.

    python examples/python_puzzles.py     # solves one of each on CPU tensors

Register them with :func:`register`, then solve with
``kestrel_cpp.run_tensor_astar(..., device="cpu")`` (or
``run_torch_gpu_astar`` on a GPU).
"""

from __future__ import annotations

import torch

from kestrel_cpp.tensor_environments import TensorEnvironment, register_tensor_environment


class SlidingPuzzle(TensorEnvironment):
    """The ``side`` x ``side`` sliding puzzle: tiles 1..n*n-1 and the blank 0
    in row-major order; the goal is 1, 2, ..., n*n-1, 0."""

    def __init__(self, side: int, device: str) -> None:
        cells = side * side
        self.num_moves = 4
        self.state_width = cells
        self._cells = cells
        # sources[pos, move * cells + cell]: where each cell of the child comes
        # from when the blank sits at pos, so that expansion is one gather.
        sources = torch.arange(cells).repeat(cells, 4)
        for pos in range(cells):
            row, col = divmod(pos, side)
            targets = [pos - side if row > 0 else pos, pos + side if row < side - 1 else pos,
                       pos - 1 if col > 0 else pos, pos + 1 if col < side - 1 else pos]
            for move, target in enumerate(targets):
                sources[pos, move * cells + pos] = target
                sources[pos, move * cells + target] = pos
        self._sources = sources.to(device)
        self._goal = torch.cat([torch.arange(1, cells), torch.zeros(1, dtype=torch.long)]).to(device)
        self._offsets = torch.arange(cells, device=device) * cells

    def encode_state(self, state: torch.Tensor) -> torch.Tensor:
        if state.numel() != self._cells or sorted(state.tolist()) != list(range(self._cells)):
            raise ValueError(f"a state must be a permutation of 0..{self._cells - 1}")
        return state

    def is_solved(self, states: torch.Tensor) -> torch.Tensor:
        return (states.long() == self._goal).all(dim=1)

    def expand(self, states: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        blank = (states == 0).to(torch.uint8).argmax(dim=1)
        children = states.gather(1, self._sources.index_select(0, blank))
        return children.view(-1, 4, self._cells), torch.ones(states.size(0) * 4, device=states.device)

    def network_inputs(self, states: torch.Tensor) -> list[torch.Tensor]:
        inputs = torch.zeros(states.size(0), self._cells * self._cells, device=states.device)
        return [inputs.scatter_(1, states.long() + self._offsets, 1.0)]


class Pancakes(TensorEnvironment):
    """A stack of ``count`` pancakes, sizes 0..count-1 from the top down; the
    goal is sorted. Move m flips the top m + 2 pancakes."""

    def __init__(self, count: int, device: str) -> None:
        self.num_moves = count - 1
        self.state_width = count
        self._count = count
        sources = []
        for move in range(count - 1):
            flipped = move + 2
            sources += [flipped - 1 - p if p < flipped else p for p in range(count)]
        self._sources = torch.tensor(sources, device=device)
        self._goal = torch.arange(count, device=device)
        self._offsets = torch.arange(count, device=device) * count

    def encode_state(self, state: torch.Tensor) -> torch.Tensor:
        if state.numel() != self._count or sorted(state.tolist()) != list(range(self._count)):
            raise ValueError(f"a stack must be a permutation of 0..{self._count - 1}")
        return state

    def is_solved(self, states: torch.Tensor) -> torch.Tensor:
        return (states.long() == self._goal).all(dim=1)

    def expand(self, states: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        children = states.index_select(1, self._sources).view(-1, self.num_moves, self._count)
        return children, torch.ones(states.size(0) * self.num_moves, device=states.device)

    def network_inputs(self, states: torch.Tensor) -> list[torch.Tensor]:
        inputs = torch.zeros(states.size(0), self._count * self._count, device=states.device)
        return [inputs.scatter_(1, states.long() + self._offsets, 1.0)]


def register() -> None:
    """Registers "py_puzzle8", "py_puzzle15" and "py_pancake5"."""
    register_tensor_environment("py_puzzle8", lambda device, state_dim: SlidingPuzzle(3, device))
    register_tensor_environment("py_puzzle15", lambda device, state_dim: SlidingPuzzle(4, device))
    register_tensor_environment("py_pancake5", lambda device, state_dim: Pancakes(5, device))


if __name__ == "__main__":
    import kestrel_cpp
    import kestrel_puzzles

    register()
    state = kestrel_puzzles.scramble("puzzle15", 1000, seed=0)
    package = kestrel_puzzles.manhattan_package("puzzle15")
    for env in ("puzzle15", "py_puzzle15"):
        result = kestrel_cpp.run_tensor_astar(state, env, package, 0.6, 1000, device="cpu")
        print(f"{env:12} solved={result['solved']} moves={len(result['moves'])} "
              f"nodes={result['nodes_generated']:,} {result['nodes_generated'] / result['solve_time']:,.0f} nodes/s")
