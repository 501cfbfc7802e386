"""What one iteration of the tensor solver would cost a GPU's host: the
operations that launch a kernel and the host synchronisations, counted on CPU
tensors, where they can be counted exactly.

Run:
    .venv/bin/python benchmarks/tensor_launches.py            # batches 1000, 10000, 50000
    .venv/bin/python benchmarks/tensor_launches.py --quick    # batch 1000, smaller budget
    .venv/bin/python benchmarks/tensor_launches.py --top 15   # also the most frequent operations

Workload: puzzle15 scramble(1000, seed 7), weight 0.7, the Manhattan package,
the first --budget generated nodes (default 400,000).

Counting: torch.profiler over one search. A launching operation is a leaf ATen
operation (one that calls no other) that computes: views and allocations,
which launch nothing, are left out. A host synchronisation is a read of a
device value by the host: aten::_local_scalar_dense (item, a boolean test of
a tensor) and aten::nonzero (a size taken from data). The modelled GPU time
per iteration is launches x 5 us + syncs x 15 us, the host's fixed cost per
iteration whatever the device computes; the modelled rate is nodes per
iteration over it.

Speed: the CPU-tensor search's nodes/s beside the CPU solver's on the same
state and budget, the median of --repeats runs with the min-max spread.
"""

from __future__ import annotations

import argparse
import collections
import functools
import statistics
import sys

import torch
from torch.profiler import ProfilerActivity, profile

import kestrel_cpp
import kestrel_puzzles
from kestrel_cpp import _testing

ENV = "puzzle15"
WEIGHT = 0.7
NOT_LAUNCHING = {
    # views
    "aten::view", "aten::slice", "aten::select", "aten::as_strided", "aten::_reshape_alias", "aten::reshape",
    "aten::expand", "aten::unsqueeze", "aten::squeeze", "aten::permute", "aten::t", "aten::transpose",
    "aten::alias", "aten::detach", "aten::narrow", "aten::unbind", "aten::view_as", "aten::lift_fresh",
    "aten::flatten", "aten::split", "aten::chunk", "aten::_unsafe_view", "aten::squeeze_", "aten::unsqueeze_",
    # allocations and metadata
    "aten::empty", "aten::empty_strided", "aten::empty_like", "aten::resize_", "aten::set_", "aten::result_type",
    "aten::is_nonzero", "aten::size", "aten::stride", "aten::numel", "aten::dim", "aten::is_same_size",
    "aten::as_strided_", "aten::resolve_conj", "aten::resolve_neg",
    # conversions that are no-ops unless they copy (the copy counts), and
    # host-side scalars that a device kernel takes as an argument
    "aten::to", "aten::_to_copy", "aten::contiguous", "aten::clone", "aten::scalar_tensor",
    "aten::_local_scalar_dense", "aten::item",
}
SYNCS = {"aten::_local_scalar_dense", "aten::nonzero"}
LAUNCH_US, SYNC_US = 5.0, 15.0


def start_state():
    return kestrel_puzzles.scramble(ENV, 1000, 7)


def package():
    return str(kestrel_puzzles.manhattan_package(ENV))


def tensor_solve(batch, budget, **options):
    return _testing.run_torch_astar_on_device(start_state(), ENV, package(), WEIGHT, batch, device="cpu",
                                              search_budget=budget, **options)


def cpu_solve(batch, budget):
    return kestrel_cpp.run_weighted_astar(start_state(), ENV, package(), WEIGHT, batch, "cpu", search_budget=budget)


def count(batch, budget):
    """(iterations, nodes, launching ops, syncs, Counter of op names) of one search."""
    with profile(activities=[ProfilerActivity.CPU]) as prof:
        result = tensor_solve(batch, budget, operation_breakdown=True)
    names = collections.Counter()  # launching operations by name
    syncs = 0

    def launches_under(event):
        # An operation launches one kernel unless an operation it calls
        # computes, in which case those launch instead.
        nonlocal syncs
        inner = sum(launches_under(child) for child in event.cpu_children)
        syncs += event.name in SYNCS
        computes = event.name.startswith("aten::") and event.name not in NOT_LAUNCHING
        if computes and inner == 0:
            names[event.name] += 1
            return 1
        return inner

    launches = sum(launches_under(event) for event in prof.events() if event.cpu_parent is None)
    iterations = result["operation_timings"]["iteration"]["call_count"]
    return iterations, result["nodes_generated"], launches, syncs, names


def rates(solve, repeats):
    values = []
    for _ in range(repeats):
        result = solve()
        values.append(result["nodes_generated"] / result["solve_time"])
    return values


def spread(values):
    return f"{statistics.median(values) / 1e6:.2f}M ({min(values) / 1e6:.2f}-{max(values) / 1e6:.2f})"


def launch_table(batches, budget, repeats, top):
    print(f"tensor solver per iteration, {ENV} scramble(1000, seed 7), weight {WEIGHT}, first {budget:,} nodes; "
          f"CPU-tensor and CPU solver nodes/s: median (min-max) of {repeats}")
    header = ("batch", "iterations", "nodes/it", "launches/it", "syncs/it", "model us/it", "model nodes/s",
              "tensor/cpu nodes/s", "CPU solver nodes/s")
    print(" | ".join(header))
    for batch in batches:
        iterations, nodes, launches, syncs, names = count(batch, budget)
        per_launch, per_sync = launches / iterations, syncs / iterations
        model_us = per_launch * LAUNCH_US + per_sync * SYNC_US
        tensor = rates(functools.partial(tensor_solve, batch, budget), repeats)
        cpu = rates(functools.partial(cpu_solve, batch, budget), repeats)
        print(f"{batch} | {iterations} | {nodes / iterations:,.0f} | {per_launch:.1f} | {per_sync:.1f} | "
              f"{model_us:,.0f} | {nodes / iterations / model_us * 1e6 / 1e6:.2f}M | {spread(tensor)} | {spread(cpu)}",
              flush=True)
        if top:
            common = names.most_common(top)
            print("    " + ", ".join(f"{name[6:]} {n / iterations:.1f}" for name, n in common), flush=True)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--budget", type=int, default=400_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--top", type=int, default=0, help="show the N most frequent operations per iteration")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args(argv)
    torch.set_num_threads(max(1, torch.get_num_threads()))
    batches = (1000,) if args.quick else (1000, 10000, 50000)
    budget = 100_000 if args.quick else args.budget
    launch_table(batches, budget, 1 if args.quick else args.repeats, args.top)
    return 0


if __name__ == "__main__":
    sys.exit(main())
