"""goal(), scramble() and scramble_many()."""

import numpy as np
import puzzle_reference as ref
import pytest

import kestrel_puzzles


@pytest.mark.parametrize("name", kestrel_puzzles.ENVIRONMENTS)
def test_goal(name):
    goal = kestrel_puzzles.goal(name)
    assert goal.dtype == np.uint8
    np.testing.assert_array_equal(goal, ref.goal(name))
    assert kestrel_puzzles.side(name) == ref.SIDES[name]


@pytest.mark.parametrize("name", kestrel_puzzles.ENVIRONMENTS)
def test_scramble_is_the_seeded_random_walk(name):
    state = kestrel_puzzles.scramble(name, 60, seed=7)
    assert state.dtype == np.uint8
    assert sorted(state.tolist()) == list(range(ref.SIDES[name] ** 2))
    np.testing.assert_array_equal(state, kestrel_puzzles.scramble(name, 60, seed=7))

    expected = ref.goal(name)
    for move in np.random.default_rng(7).integers(0, 4, size=60):
        expected = ref.successor(name, expected, int(move))
    np.testing.assert_array_equal(state, expected)


def test_scramble_depends_on_seed_and_length():
    states = {kestrel_puzzles.scramble("puzzle15", 80, seed).tobytes() for seed in range(10)}
    assert len(states) == 10
    np.testing.assert_array_equal(kestrel_puzzles.scramble("puzzle15", 0, seed=3), ref.goal("puzzle15"))
    with pytest.raises(ValueError, match="non-negative"):
        kestrel_puzzles.scramble("puzzle15", -1, seed=3)


def test_scramble_many_is_one_walk_a_row_from_one_generator():
    states = kestrel_puzzles.scramble_many("puzzle8", 4, 50, seed=5)
    assert states.shape == (4, 9) and states.dtype == np.uint8
    walks = np.random.default_rng(5).integers(0, 4, size=(4, 50))
    for state, walk in zip(states, walks):
        expected = ref.goal("puzzle8")
        for move in walk:
            expected = ref.successor("puzzle8", expected, int(move))
        np.testing.assert_array_equal(state, expected)
    np.testing.assert_array_equal(states[0], kestrel_puzzles.scramble("puzzle8", 50, seed=5))
    assert kestrel_puzzles.scramble_many("puzzle15", 0, 10, seed=1).shape == (0, 16)
    with pytest.raises(ValueError, match="non-negative"):
        kestrel_puzzles.scramble_many("puzzle15", -1, 10, seed=1)
