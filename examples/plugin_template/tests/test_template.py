"""The template plugin, built as a separate project against the installed
kestrel_cpp, solves with both solvers: the plugin guide's recipe works."""

import itertools
from collections import deque

import kestrel_pancakes
import numpy as np
import pytest

import kestrel_cpp


def flip(state, move):
    child = list(state)
    child[: move + 2] = reversed(child[: move + 2])
    return tuple(child)


@pytest.fixture(scope="module")
def optimal_lengths():
    """Breadth-first distances of all 720 stacks from the goal (flips are their own inverses)."""
    goal = tuple(range(kestrel_pancakes.PANCAKES))
    distance = {goal: 0}
    queue = deque([goal])
    while queue:
        state = queue.popleft()
        for move in range(kestrel_pancakes.PANCAKES - 1):
            child = flip(state, move)
            if child not in distance:
                distance[child] = distance[state] + 1
                queue.append(child)
    return distance


@pytest.mark.parametrize("solve", [
    lambda state, package: kestrel_cpp.run_weighted_astar(state, "pancake6", package, 1.0, 4, "cpu"),
    lambda state, package: kestrel_cpp.run_tensor_astar(state, "pancake6", package, 1.0, 4, device="cpu"),
], ids=["cpu solver", "tensor solver"])
def test_both_solvers_find_optimal_solutions(solve, optimal_lengths):
    package = kestrel_pancakes.gap_package()
    assert kestrel_cpp.describe_environment("pancake6", np.arange(6, dtype=np.uint8)) == {
        "state_size": 6, "num_moves": 5, "input_size": 36}
    for seed in range(5):
        state = kestrel_pancakes.scramble(20, seed)
        result = solve(state, package)
        assert result["solved"]
        assert len(result["moves"]) == optimal_lengths[tuple(state)]  # the gap heuristic is admissible
        reached = tuple(state)
        for move in result["moves"]:
            reached = flip(reached, move)
        assert reached == tuple(range(6))


def test_bad_states_are_refused_by_the_plugin():
    package = kestrel_pancakes.gap_package()
    for state, message in [(np.zeros(6, np.uint8), "permutation"), (np.arange(5, dtype=np.uint8), "must hold 6")]:
        with pytest.raises(ValueError, match=message):
            kestrel_cpp.run_weighted_astar(state, "pancake6", package, 1.0, 4, "cpu")


def test_every_stack_is_reachable(optimal_lengths):
    assert len(optimal_lengths) == len(list(itertools.permutations(range(6))))
