"""Node counts and moves of both solvers over a fixed grid of searches, to show
that a change left every result as it was.

Run:
    .venv/bin/python benchmarks/result_grid.py --out after.jsonl
    PYTHONPATH=/path/to/other/build .venv/bin/python benchmarks/result_grid.py --out before.jsonl
    .venv/bin/python benchmarks/result_grid.py --compare before.jsonl after.jsonl
    .venv/bin/python benchmarks/result_grid.py --accelerator-lookups --out blocks.jsonl

Grid: for the CPU solver and the tensor solver (on CPU tensors, or on the
device given by --device), every combination of duplicate_update_mode,
solution_move_source, goal_stop_mode and hashtable_algorithm, over puzzle8
states (weight 1, batch 1 and 50), puzzle15 states (weight 0.7, batch 50
and 500) and the first 100,000 nodes of a long puzzle15 search (batch 10 and
1000), with the Manhattan packages of the bundled plugin. Each line of the
output is one search: its settings, nodes_generated, solved and moves. Lines
are written as they finish, so an interrupted run keeps what it did.
CPU tensors look CLOSED up in a host loop; with --accelerator-lookups they
use an accelerator's blocks of tensor operations instead, the code a GPU runs,
and must give the same grid.
"""

from __future__ import annotations

import argparse
import itertools
import json
import sys
from pathlib import Path

MODES = {
    "duplicate_update_mode": ["in_place", "new_slot"],
    "solution_move_source": ["infer", "stored"],
    "goal_stop_mode": ["stop_before_goal", "expand_popped_batch"],
    "hashtable_algorithm": ["linear_probing", "python_dict"],
}
# (env, scramble depth, seeds, weight, batch sizes, generated-node cap or 0)
WORKLOADS = [
    ("puzzle8", 30, range(3), 1.0, (1, 50), 0),
    ("puzzle15", 40, range(2), 0.7, (50, 500), 0),
    ("puzzle15", 1000, (7,), 0.7, (10, 1000), 100_000),  # long searches with many duplicates in each batch
]
KEY_FIELDS = ("solver", "env", "depth", "seed", "weight", "batch_size", *MODES)


def searches(solvers):
    for solver, (env, depth, seeds, weight, batches, budget) in itertools.product(solvers, WORKLOADS):
        for seed, batch_size, modes in itertools.product(seeds, batches, itertools.product(*MODES.values())):
            yield {"solver": solver, "env": env, "depth": depth, "seed": seed, "weight": weight,
                   "batch_size": batch_size, "budget": budget, **dict(zip(MODES, modes))}


def run(out: Path, device: str, accelerator_lookups: bool) -> None:
    import kestrel_cpp
    import kestrel_puzzles
    from kestrel_cpp import _testing

    run_tensor = _testing.run_torch_astar_as_accelerator if accelerator_lookups else kestrel_cpp.run_tensor_astar

    def solve(search):
        state = kestrel_puzzles.scramble(search["env"], search["depth"], search["seed"])
        package = str(kestrel_puzzles.manhattan_package(search["env"]))
        options = {name: search[name] for name in MODES} | {"search_budget": search["budget"]}
        if search["solver"] == "cpu":
            return kestrel_cpp.run_weighted_astar(state, search["env"], package, search["weight"],
                                                  search["batch_size"], "cpu", **options)
        return run_tensor(state, search["env"], package, search["weight"], search["batch_size"], device=device,
                          **options)

    with out.open("w") as stream:
        for count, search in enumerate(searches(("cpu", "tensor")), 1):
            result = solve(search)
            line = {**search, "nodes_generated": result["nodes_generated"], "solved": result["solved"],
                    "moves": result["moves"]}
            stream.write(json.dumps(line) + "\n")
            stream.flush()
            if count % 32 == 0:
                print(f"{count} searches", file=sys.stderr)
    print(f"wrote {out}")


def compare(before: Path, after: Path) -> int:
    def load(path):
        lines = [json.loads(line) for line in path.read_text().splitlines() if line.strip()]
        return {tuple(line[field] for field in KEY_FIELDS): line for line in lines}

    old, new = load(before), load(after)
    def outcome(line):
        return line["nodes_generated"], line["moves"]

    differences = [key for key in old.keys() & new.keys() if outcome(old[key]) != outcome(new[key])]
    missing = old.keys() ^ new.keys()
    for key in sorted(differences, key=str)[:20]:
        print("differs:", dict(zip(KEY_FIELDS, key)), old[key]["nodes_generated"], "->", new[key]["nodes_generated"])
    print(f"{len(old.keys() & new.keys())} searches in both, {len(differences)} differ, {len(missing)} in one only")
    return 1 if differences or missing else 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, help="write the grid's results here (JSON lines)")
    parser.add_argument("--device", default="cpu", help="the tensor solver's device (default cpu)")
    parser.add_argument("--accelerator-lookups", action="store_true",
                        help="the tensor solver looks CLOSED up as on an accelerator, whatever the device")
    parser.add_argument("--compare", nargs=2, type=Path, metavar=("BEFORE", "AFTER"))
    args = parser.parse_args(argv)
    if args.compare:
        return compare(*args.compare)
    if args.out is None:
        parser.error("give --out or --compare")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    run(args.out, args.device, args.accelerator_lookups)
    return 0


if __name__ == "__main__":
    sys.exit(main())
