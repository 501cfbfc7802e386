"""Plain helpers shared by the solver tests: an independent replay of the
sliding-tile move rules, optimal distances by breadth-first search, scrambled
start states and a call of the CPU solver with the usual arguments."""

from __future__ import annotations

import collections

import kestrel_puzzles
from kestrel_cpp import _backend_impl as backend

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
