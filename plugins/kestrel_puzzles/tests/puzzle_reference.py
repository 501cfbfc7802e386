"""An independent model of the sliding-tile puzzles, written from their rules
rather than from the plugin, for the tests to compare against."""

import numpy as np

SIDES = {"puzzle8": 3, "puzzle15": 4, "puzzle24": 5}
# Row and column steps of the blank for moves 0..3: up, down, left, right.
STEPS = [(-1, 0), (1, 0), (0, -1), (0, 1)]


def goal(name):
    cells = SIDES[name] ** 2
    return np.array([*range(1, cells), 0], dtype=np.uint8)


def successor(name, state, move):
    n = SIDES[name]
    board = np.array(state, dtype=np.uint8).reshape(n, n)
    (row,), (col,) = np.nonzero(board == 0)
    d_row, d_col = STEPS[move]
    r, c = row + d_row, col + d_col
    if 0 <= r < n and 0 <= c < n:
        board[row, col], board[r, c] = board[r, c], 0
    return board.reshape(-1)


def one_hot(name, state):
    cells = SIDES[name] ** 2
    inputs = np.zeros((cells, cells), dtype=np.float32)
    for pos, tile in enumerate(state):
        inputs[pos, tile] = 1.0
    return inputs.reshape(-1)


def manhattan(name, state):
    n = SIDES[name]
    total = 0
    for pos, tile in enumerate(int(t) for t in state):
        if tile:
            goal_row, goal_col = divmod(tile - 1, n)
            total += abs(pos // n - goal_row) + abs(pos % n - goal_col)
    return total


def random_states(name, count, seed):
    """Uniformly random boards, solvable or not: every blank position shows up."""
    rng = np.random.default_rng(seed)
    cells = SIDES[name] ** 2
    return np.stack([rng.permutation(cells).astype(np.uint8) for _ in range(count)])
