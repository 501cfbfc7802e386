"""Plain helpers shared by the solver tests: an independent replay of the
sliding-tile move rules, optimal distances by breadth-first search, scrambled
start states and calls of both solvers with the usual arguments.

The tensor solver runs on KESTREL_TENSOR_DEVICE (CPU tensors by default,
through the testing entry, since the public one refuses devices other than
CUDA). With a CUDA device named there it goes through the public
run_torch_gpu_astar, with the packages found in KESTREL_TENSOR_PACKAGE_DIR
(manhattan-<env>.pt2, compiled for that device)."""

from __future__ import annotations

import collections
import os

import kestrel_puzzles
from kestrel_cpp import _backend_impl as backend
from kestrel_cpp import _testing

TENSOR_DEVICE = os.environ.get("KESTREL_TENSOR_DEVICE", "cpu")
TENSOR_ON_CUDA = TENSOR_DEVICE.startswith("cuda")

UP, DOWN, LEFT, RIGHT = range(4)
SIDES = {"puzzle8": 3, "puzzle15": 4, "puzzle24": 5}


def apply_moves(env, state, moves):
    """Independent reimplementation of the plugin's move rules (a move off the
    board is a no-op); returns the board reached, as bytes."""
    n = SIDES[env]
    board = list(state)
    for move in moves:
        row, col = divmod(board.index(0), n)
        target = {UP: (row - 1, col), DOWN: (row + 1, col), LEFT: (row, col - 1), RIGHT: (row, col + 1)}[move]
        if 0 <= target[0] < n and 0 <= target[1] < n:
            blank, other = row * n + col, target[0] * n + target[1]
            board[blank], board[other] = board[other], board[blank]
    return bytes(board)


def replays_to_goal(env, state, moves):
    return apply_moves(env, bytes(state), moves) == bytes(kestrel_puzzles.goal(env))


def optimal_distances(env):
    """Optimal distances to the goal of every state reachable from it (as
    bytes), by breadth-first search: affordable for puzzle8 only."""
    goal = bytes(kestrel_puzzles.goal(env))
    distances = {goal: 0}
    frontier = collections.deque([goal])
    while frontier:
        state = frontier.popleft()
        for move in (UP, DOWN, LEFT, RIGHT):
            successor = apply_moves(env, state, [move])
            if successor not in distances:
                distances[successor] = distances[state] + 1
                frontier.append(successor)
    return distances


def scrambled_states(env, count, seed, depth=40):
    """`count` start states, each `depth` random moves from the goal (seeds seed, seed + 1, ...)."""
    return [kestrel_puzzles.scramble(env, depth, seed + i) for i in range(count)]


def solve_cpu(state, package, env="puzzle8", weight=1.0, batch_size=1, device="cpu", **kwargs):
    """run_weighted_astar with the positional arguments defaulted."""
    return backend.run_weighted_astar(state, env, package, weight, batch_size, device, **kwargs)


def tensor_package(env):
    """The Manhattan package of `env` for the tensor solver on TENSOR_DEVICE."""
    directory = os.environ.get("KESTREL_TENSOR_PACKAGE_DIR")
    if directory:
        return os.path.join(directory, f"manhattan-{env}.pt2")
    return str(kestrel_puzzles.manhattan_package(env))


def manhattan_package(solver, env):
    """The Manhattan package of `env` for `solver` ("cpu" or "tensor")."""
    return tensor_package(env) if solver == "tensor" else str(kestrel_puzzles.manhattan_package(env))


def solve_tensor(state, env="puzzle8", weight=1.0, batch_size=1, package_path=None, device=TENSOR_DEVICE, **kwargs):
    """One tensor search, by default on TENSOR_DEVICE with the Manhattan package of `env`."""
    path = tensor_package(env.lower()) if package_path is None else package_path
    entry = backend.run_torch_gpu_astar if TENSOR_ON_CUDA else _testing.run_torch_astar_on_device
    return entry(state, env, path, weight, batch_size, device=device, **kwargs)


def solve_with(solver, state, env="puzzle8", weight=1.0, batch_size=1, package_path=None, **kwargs):
    """One search by `solver` ("cpu" or "tensor"), with the Manhattan package of `env` unless another is given."""
    path = manhattan_package(solver, env.lower()) if package_path is None else package_path
    if solver == "tensor":
        return solve_tensor(state, env, weight, batch_size, path, **kwargs)
    return solve_cpu(state, path, env, weight, batch_size, **kwargs)
