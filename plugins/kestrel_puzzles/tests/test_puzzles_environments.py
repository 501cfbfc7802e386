"""The CPU and tensor environments against the reference model and each other."""

import numpy as np
import puzzle_reference as ref
import pytest

import kestrel_puzzles
from kestrel_puzzles import _native

NAMES = kestrel_puzzles.ENVIRONMENTS


def test_environment_names():
    assert NAMES == ("puzzle8", "puzzle15", "puzzle24")


# ---- Start states


@pytest.mark.parametrize(
    "state, message",
    [
        ([1, 2, 3, 4, 5, 6, 7, 0], "must hold 9 tiles, got 8"),
        ([1, 2, 3, 4, 5, 6, 7, 8, 0, 0], "must hold 9 tiles, got 10"),
        ([], "must hold 9 tiles, got 0"),
        ([1, 1, 3, 4, 5, 6, 7, 8, 0], "tile 1 twice"),
        ([1, 2, 3, 4, 5, 6, 7, 9, 0], "tile 9 at position 7, outside 0..8"),
        ([255, 2, 3, 4, 5, 6, 7, 8, 0], "tile 255 at position 0"),
    ],
)
def test_invalid_start_states_raise_value_error(state, message):
    state = np.array(state, dtype=np.uint8)
    for call in (_native.cpu_is_solved, _native.cpu_successors, _native.torch_encode):
        with pytest.raises(ValueError, match=message):
            call("puzzle8", state)


def test_tensor_factory_rejects_other_state_widths():
    for name in NAMES:
        cells = ref.SIDES[name] ** 2
        assert _native.torch_properties(name, cells) == {"num_moves": 4, "state_width": cells}
        for width in (0, cells - 1, cells + 1, -cells):
            with pytest.raises(ValueError, match=rf"^{name} states hold {cells} tiles, got a state width of {width}$"):
                _native.torch_properties(name, width)


def test_unknown_puzzle_names_raise_value_error():
    with pytest.raises(ValueError, match="Unknown puzzle 'puzzle35'"):
        _native.cpu_successors("puzzle35", ref.goal("puzzle8"))
    with pytest.raises(ValueError, match="Unknown puzzle"):
        kestrel_puzzles.goal("")


def test_names_ignore_ascii_case():
    np.testing.assert_array_equal(kestrel_puzzles.goal("PUZZLE15"), ref.goal("puzzle15"))
    assert _native.cpu_is_solved("Puzzle8", ref.goal("puzzle8"))


# ---- CPU environment


@pytest.mark.parametrize("name", NAMES)
def test_cpu_successors_follow_the_move_rules(name):
    for state in ref.random_states(name, 40, seed=1):
        successors = _native.cpu_successors(name, state)
        assert len(successors) == 4
        for move, child in enumerate(successors):
            expected = ref.successor(name, state, move)
            np.testing.assert_array_equal(child, expected)
            np.testing.assert_array_equal(_native.cpu_apply_move(name, state, move), expected)


@pytest.mark.parametrize("name", NAMES)
def test_moves_off_the_board_keep_the_state(name):
    n = ref.SIDES[name]
    # Blank in each corner: two of the four moves leave the board.
    for corner, blocked in ((0, (0, 2)), (n - 1, (0, 3)), (n * (n - 1), (1, 2)), (n * n - 1, (1, 3))):
        state = np.roll(np.arange(n * n, dtype=np.uint8), corner)
        assert state[corner] == 0
        successors = _native.cpu_successors(name, state)
        for move in range(4):
            moved = not np.array_equal(successors[move], state)
            assert moved == (move not in blocked), (corner, move)


def test_moves_chain_through_successors():
    # A successor is a full environment: its blank position must be current.
    state = ref.goal("puzzle15")
    for move in (0, 0, 2, 1, 3, 3, 0, 0, 0, 2, 2):
        state = _native.cpu_apply_move("puzzle15", state, move)
    expected = ref.goal("puzzle15")
    for move in (0, 0, 2, 1, 3, 3, 0, 0, 0, 2, 2):
        expected = ref.successor("puzzle15", expected, move)
    np.testing.assert_array_equal(state, expected)
    np.testing.assert_array_equal(
        _native.cpu_apply_moves("puzzle15", ref.goal("puzzle15"), np.array([0, 0, 2, 1, 3, 3, 0, 0, 0, 2, 2])), expected
    )


def test_apply_move_rejects_unknown_moves():
    for move in (-1, 4):
        with pytest.raises(ValueError, match=r"move must be 0\.\.3"):
            _native.cpu_apply_move("puzzle8", ref.goal("puzzle8"), move)


@pytest.mark.parametrize("name", NAMES)
def test_cpu_goal_test_and_sizes(name):
    goal = ref.goal(name)
    assert _native.cpu_is_solved(name, goal)
    for child in _native.cpu_successors(name, goal):
        assert _native.cpu_is_solved(name, child) == np.array_equal(child, goal)
    # One swap away, with the blank in or out of its goal position.
    for i, j in ((0, -1), (0, 1), (-3, -2)):
        near = goal.copy()
        near[[i, j]] = near[[j, i]]
        assert not _native.cpu_is_solved(name, near)
        assert not _native.torch_is_solved(name, near[None])[0]
    cells = goal.size
    assert _native.cpu_properties(name, goal) == {"num_moves": 4, "input_size": cells**2}


@pytest.mark.parametrize("name", NAMES)
def test_cpu_inputs_are_one_hot(name):
    for state in ref.random_states(name, 10, seed=2):
        inputs = _native.cpu_inputs(name, state)
        assert inputs.dtype == np.float32
        np.testing.assert_array_equal(inputs, ref.one_hot(name, state))


# ---- Tensor environment, against the CPU one


@pytest.mark.parametrize("name", NAMES)
def test_tensor_and_cpu_environments_agree(name):
    states = np.concatenate([ref.random_states(name, 64, seed=3), ref.goal(name)[None]])
    children, costs = _native.torch_expand(name, states)
    solved = _native.torch_is_solved(name, states)
    (inputs,) = _native.torch_network_inputs(name, states)

    batch, cells = states.shape
    assert children.shape == (batch, 4, cells) and children.dtype == np.uint8
    assert costs.shape == (batch, 4) and costs.dtype == np.float32
    np.testing.assert_array_equal(costs, 1.0)
    assert solved.dtype == np.bool_ and solved.shape == (batch,)
    assert inputs.shape == (batch, cells**2) and inputs.dtype == np.float32

    for row, state in enumerate(states):
        np.testing.assert_array_equal(children[row], np.stack(_native.cpu_successors(name, state)))
        assert solved[row] == _native.cpu_is_solved(name, state)
        np.testing.assert_array_equal(inputs[row], _native.cpu_inputs(name, state))
    assert solved.tolist() == [False] * (batch - 1) + [True]


@pytest.mark.parametrize("dtype", [np.int16, np.int32, np.int64, np.float32])
def test_tensor_environment_keeps_the_state_dtype(dtype):
    states = ref.random_states("puzzle15", 8, seed=4)
    children, _ = _native.torch_expand("puzzle15", states.astype(dtype))
    assert children.dtype == dtype
    np.testing.assert_array_equal(children, _native.torch_expand("puzzle15", states)[0])
    np.testing.assert_array_equal(
        _native.torch_is_solved("puzzle15", states.astype(dtype)), _native.torch_is_solved("puzzle15", states)
    )
    np.testing.assert_array_equal(
        _native.torch_network_inputs("puzzle15", states.astype(dtype))[0],
        _native.torch_network_inputs("puzzle15", states)[0],
    )
    decoded = _native.torch_decode("puzzle15", states.astype(dtype))
    assert decoded.dtype == np.uint8
    np.testing.assert_array_equal(decoded, states)


def test_tensor_environment_handles_an_empty_batch():
    empty = np.zeros((0, 9), dtype=np.uint8)
    children, costs = _native.torch_expand("puzzle8", empty)
    assert children.shape == (0, 4, 9) and costs.shape == (0, 4)
    assert _native.torch_is_solved("puzzle8", empty).shape == (0,)
    assert _native.torch_network_inputs("puzzle8", empty)[0].shape == (0, 81)


@pytest.mark.parametrize("dtype", ["uint8", "int16", "int64", "float32"])
def test_encode_state(dtype):
    state = ref.random_states("puzzle24", 1, seed=5)[0]
    encoded = _native.torch_encode("puzzle24", state, dtype)
    assert encoded.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(encoded, state)


def test_expand_of_one_state_serves_move_inference():
    # The tensor solver replays a path by expanding one state at a time.
    state = kestrel_puzzles.scramble("puzzle8", 20, seed=6)
    children, _ = _native.torch_expand("puzzle8", state[None])
    for move in range(4):
        np.testing.assert_array_equal(children[0, move], _native.cpu_apply_move("puzzle8", state, move))
