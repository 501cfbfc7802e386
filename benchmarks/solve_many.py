"""Throughput of solve_many on a test set: one worker, two workers, and Ray.

Run:
    .venv/bin/python benchmarks/solve_many.py                 # 100 states, a few minutes
    .venv/bin/python benchmarks/solve_many.py --count 20      # smoke run
    .venv/bin/python benchmarks/solve_many.py --no-ray

The set: kestrel_puzzles.scramble_many("puzzle15", --count, --moves, --seed),
weight --weight, batch size --batch-size, the bundled Manhattan package, the
CPU solver. Each configuration solves the whole set --repeats times in this
process (a warm-up solve has loaded the package first; Ray's runs include
starting its local instance, as a user's call would). Columns:
    wall s       seconds for the whole set: median and min-max over the repeats
    states/s     states solved per second of wall time (median run)
    all n/s      generated nodes per second of wall time, all workers together
    solve n/s    one solve's own speed: nodes over solve time, summed over states
    solve s      per-state solve time: median and 10th-90th percentile (median run)
    speedup      median wall time of one worker over this one
Every configuration must give each state the same moves and node count; the
script says so if one does not.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import kestrel_cpp
import kestrel_puzzles
from kestrel_cpp.report import summarize


def run_set(states, package, args, **kwargs):
    started = time.perf_counter()
    results = kestrel_cpp.solve_many(states, "puzzle15", package, args.weight, args.batch_size, progress=False,
                                     **kwargs)
    return time.perf_counter() - started, results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--moves", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--weight", type=float, default=0.6)
    parser.add_argument("--batch-size", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-ray", action="store_true")
    args = parser.parse_args()

    package = kestrel_puzzles.manhattan_package("puzzle15")
    states = kestrel_puzzles.scramble_many("puzzle15", args.count, args.moves, args.seed)
    kestrel_cpp.solve_many(states[:1], "puzzle15", package, args.weight, args.batch_size, progress=False)

    configurations = [("1 worker", {"workers": 1}), ("2 workers", {"workers": 2})]
    if not args.no_ray:
        configurations.append(("Ray (local)", {"executor": "ray"}))
    print(f"{args.count} puzzle15 states (scramble {args.moves}, seed {args.seed}), weight {args.weight:g}, "
          f"batch {args.batch_size}, {args.repeats} runs each\n")
    print(f"{'':12s} {'wall s':>22s} {'states/s':>9s} {'all n/s':>11s} {'solve n/s':>11s} "
          f"{'solve s':>22s} {'speedup':>8s}")

    reference = None
    baseline = None
    for name, kwargs in configurations:
        runs = [run_set(states, package, args, **kwargs) for _ in range(args.repeats)]
        walls = [wall for wall, _ in runs]
        wall, results = sorted(runs, key=lambda run: run[0])[len(runs) // 2]
        outcome = [(entry.get("moves"), entry.get("nodes_generated")) for entry in results]
        if reference is None:
            reference = outcome
        elif outcome != reference:
            print(f"  {name}: results differ from the first configuration's")
        summary = summarize(results, wall)
        times = np.array([entry["solve_time"] for entry in results if "solve_time" in entry])
        baseline = baseline or statistics.median(walls)
        print(f"{name:12s} {statistics.median(walls):8.2f} ({min(walls):.2f}-{max(walls):.2f}) "
              f"{len(results) / wall:9.1f} {summary['wall_nodes_per_second']:11,.0f} "
              f"{summary['nodes_per_second']:11,.0f} "
              f"{np.median(times):8.3f} ({np.percentile(times, 10):.3f}-{np.percentile(times, 90):.3f}) "
              f"{baseline / statistics.median(walls):7.2f}x")
    print(f"\nsolved {summary['solved']} of {summary['states']}, mean length {summary['mean_solution_length']:.1f}, "
          f"mean nodes {summary['mean_nodes_generated']:,.0f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
