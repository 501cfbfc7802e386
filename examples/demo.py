"""Scrambles a 15-puzzle, solves it with run_weighted_astar and the bundled
Manhattan heuristic, and shows the solution."""

import argparse
import time

import numpy as np

import kestrel_cpp
import kestrel_puzzles

MOVE_NAMES = ("up", "down", "left", "right")  # the direction the blank moves


def board(state, n):
    rows = []
    for r in range(n):
        rows.append(" ".join(f"{t:2d}" if t else " ." for t in state[r * n:(r + 1) * n]))
    return "\n".join(rows)


def replay(state, moves, n):
    board_state = list(state)
    for move in moves:
        blank = board_state.index(0)
        row, col = divmod(blank, n)
        dr, dc = ((-1, 0), (1, 0), (0, -1), (0, 1))[move]
        if 0 <= row + dr < n and 0 <= col + dc < n:
            other = (row + dr) * n + col + dc
            board_state[blank], board_state[other] = board_state[other], board_state[blank]
    return np.array(board_state, dtype=np.uint8)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--env", default="puzzle15", choices=kestrel_puzzles.ENVIRONMENTS)
    parser.add_argument("--scramble", type=int, default=1000, help="random moves from the goal")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--weight", type=float, default=0.6, help="path-cost weight: f = weight * g + h")
    parser.add_argument("--batch-size", type=int, default=1000)
    args = parser.parse_args()
    n = {"puzzle8": 3, "puzzle15": 4, "puzzle24": 5}[args.env]

    print(f"Preparing the Manhattan heuristic package for {args.env} ...", flush=True)
    package = kestrel_puzzles.manhattan_package(args.env)
    print(f"  {package}")

    state = kestrel_puzzles.scramble(args.env, args.scramble, args.seed)
    print(f"\nStart state ({args.scramble} random moves from the goal, seed {args.seed}):")
    print(board(state, n))

    print(f"\nSolving with weight {args.weight} and batch size {args.batch_size} on the CPU ...", flush=True)
    started = time.perf_counter()
    result = kestrel_cpp.run_weighted_astar(state, args.env, str(package), args.weight, args.batch_size, "cpu")
    wall = time.perf_counter() - started

    if not result["solved"]:
        print("No solution found.")
        return 1
    moves = result["moves"]
    final = replay(state, moves, n)
    assert np.array_equal(final, kestrel_puzzles.goal(args.env)), "the solution does not reach the goal"
    print(f"\nSolved in {len(moves)} moves (blank moves):")
    print(" ".join(MOVE_NAMES[m] for m in moves))
    print("\nFinal state:")
    print(board(final, n))
    generated = result["nodes_generated"]
    print(f"\nGenerated nodes : {generated:,}")
    print(f"Solve time      : {result['solve_time']:.3f} s (search only; {wall:.3f} s with package loading)")
    print(f"Nodes per second: {generated / max(result['solve_time'], 1e-9):,.0f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
