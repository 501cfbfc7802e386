"""Command line of the bundled puzzles: make a test set, or print the path of
the Manhattan heuristic package (compiled on first use).

    python -m kestrel_puzzles scramble puzzle15 --count 100 --moves 1000 --out states.npy
    python -m kestrel_puzzles package puzzle15
"""

import argparse
import sys

import numpy as np

import kestrel_puzzles


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kestrel_puzzles", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    scramble = commands.add_parser("scramble", help="write a test set of scrambled states (.npy)")
    scramble.add_argument("env", choices=kestrel_puzzles.ENVIRONMENTS)
    scramble.add_argument("--count", type=int, default=100, help="states in the set")
    scramble.add_argument("--moves", type=int, default=1000, help="random moves from the goal per state")
    scramble.add_argument("--seed", type=int, default=0)
    scramble.add_argument("--out", required=True, help="the .npy file to write")
    package = commands.add_parser("package", help="print the path of the Manhattan heuristic package")
    package.add_argument("env", choices=kestrel_puzzles.ENVIRONMENTS)
    args = parser.parse_args(argv)

    if args.command == "package":
        print(kestrel_puzzles.manhattan_package(args.env))
        return 0
    if args.count < 0 or args.moves < 0:
        parser.error("--count and --moves must be non-negative")
    states = kestrel_puzzles.scramble_many(args.env, args.count, args.moves, args.seed)
    np.save(args.out, states)
    print(f"{args.count} {args.env} states ({args.moves} random moves each, seed {args.seed}) written to {args.out}",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
