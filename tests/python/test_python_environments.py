"""Tensor environments written in PyTorch: the Python sliding puzzle solves
exactly as the bundled C++ one, a small Python puzzle of its own solves
optimally, and exceptions and interrupts raised in Python methods reach the
caller as from a C++ plugin."""

import sys
import threading
import time
from collections import deque
from pathlib import Path

import numpy as np
import pytest
import torch
from search_helpers import scrambled_states

import kestrel_cpp
from kestrel_cpp.export import cached_package, export_package
from kestrel_cpp.tensor_environments import TensorEnvironment, register_tensor_environment

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import python_puzzles

python_puzzles.register()


class Zero(torch.nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x[:, :1] * 0


@pytest.fixture(scope="module")
def zero25():
    """h = 0 for 25 inputs: uniform-cost search, so solutions are optimal."""
    return str(cached_package("tests/zero-25-v1", lambda path: export_package(Zero(), [("x", (25,))], path)))


def tensor_solve(state, env, package, **options):
    return kestrel_cpp.run_tensor_astar(state, env, package, options.pop("weight", 1.0), options.pop("batch_size", 8),
                                        device="cpu", **options)


@pytest.mark.parametrize("mode", ["in_place", "new_slot"])
def test_the_python_sliding_puzzle_solves_exactly_as_the_cpp_one(package8, package15, mode):
    for state in scrambled_states("puzzle8", 3, seed=400):
        cpp = tensor_solve(state, "puzzle8", package8, duplicate_update_mode=mode)
        python = tensor_solve(state, "py_puzzle8", package8, duplicate_update_mode=mode)
        assert (python["moves"], python["nodes_generated"]) == (cpp["moves"], cpp["nodes_generated"])
    state = scrambled_states("puzzle15", 1, seed=401)[0]
    cpp = tensor_solve(state, "puzzle15", package15, weight=0.6, batch_size=100, duplicate_update_mode=mode)
    python = tensor_solve(state, "py_puzzle15", package15, weight=0.6, batch_size=100, duplicate_update_mode=mode)
    assert (python["moves"], python["nodes_generated"]) == (cpp["moves"], cpp["nodes_generated"])


def test_a_new_python_puzzle_solves_optimally(zero25):
    def flip(stack, move):
        return stack[: move + 2][::-1] + stack[move + 2:]

    goal = tuple(range(5))
    distance = {goal: 0}
    queue = deque([goal])
    while queue:
        stack = queue.popleft()
        for move in range(4):
            child = flip(stack, move)
            if child not in distance:
                distance[child] = distance[stack] + 1
                queue.append(child)
    rng = np.random.default_rng(7)
    for _ in range(5):
        state = rng.permutation(5).astype(np.uint8)
        result = tensor_solve(state, "PY_PANCAKE5", zero25, batch_size=1)
        assert result["solved"] and len(result["moves"]) == distance[tuple(state)]
        reached = tuple(state)
        for move in result["moves"]:
            reached = flip(reached, move)
        assert reached == goal


class Failing(python_puzzles.Pancakes):
    def __init__(self, device, failure):
        super().__init__(5, device)
        self.failure = failure

    def expand(self, states):
        if self.failure == "value":
            raise ValueError("this stack cannot be flipped")
        if self.failure == "wrong type":
            return states.tolist(), None
        return super().expand(states)

    def is_solved(self, states):
        if self.failure == "slow":  # never solved: the search runs until OPEN is empty, 120 slow iterations
            return torch.zeros(states.size(0), dtype=torch.bool)
        return super().is_solved(states)

    def network_inputs(self, states):
        if self.failure == "slow":
            time.sleep(0.05)
        return super().network_inputs(states)


@pytest.mark.parametrize("failure, exception, message", [
    ("value", ValueError, "^this stack cannot be flipped$"),
    ("wrong type", ValueError, r"^py_failing\.expand\(\) children must be a torch\.Tensor, got list$"),
])
def test_an_exception_in_a_python_method_reaches_the_caller_unchanged(zero25, failure, exception, message):
    register_tensor_environment("py_failing", lambda device, state_dim: Failing(device, failure))
    with pytest.raises(exception, match=message):
        tensor_solve(np.array([4, 3, 2, 1, 0], np.uint8), "py_failing", zero25)
    # Nothing is left over for the next solve.
    assert tensor_solve(np.array([1, 0, 2, 3, 4], np.uint8), "py_pancake5", zero25)["solved"]


def test_ctrl_c_interrupts_a_solve_in_python_methods(zero25, sigint_raises):
    register_tensor_environment("py_slow", lambda device, state_dim: Failing(device, "slow"))
    timer = threading.Timer(0.3, lambda: __import__("_thread").interrupt_main())
    timer.start()
    started = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        tensor_solve(np.array([4, 3, 2, 1, 0], np.uint8), "py_slow", zero25, batch_size=1, search_budget=10**9)
    assert time.perf_counter() - started < 3


def test_a_factory_must_be_callable_and_the_environment_complete(zero25):
    with pytest.raises(TypeError, match="factory must be callable"):
        register_tensor_environment("py_bad", object())

    class Incomplete(TensorEnvironment):
        num_moves = 0
        state_width = 5

    register_tensor_environment("py_incomplete", lambda device, state_dim: Incomplete())
    with pytest.raises(ValueError, match="'py_incomplete' must have num_moves and state_width >= 1"):
        tensor_solve(np.arange(5, dtype=np.uint8), "py_incomplete", zero25)
