"""What one iteration of the tensor solver would cost a GPU's host: the
operations that launch a kernel and the host synchronisations, counted on CPU
tensors, where they can be counted exactly.

Run:
    .venv/bin/python benchmarks/tensor_launches.py            # batches 1000, 10000, 50000
    .venv/bin/python benchmarks/tensor_launches.py --quick    # batch 1000, smaller budget
    .venv/bin/python benchmarks/tensor_launches.py --top 15   # also the most frequent operations
    .venv/bin/python benchmarks/tensor_launches.py --open-sizes    # iteration time against OPEN size
    python benchmarks/tensor_launches.py --device cuda:0      # on a GPU: counted there, timed with CUDA events

Workload: puzzle15 scramble(1000, seed 7), weight 0.7, the Manhattan package,
the first --budget generated nodes (default 400,000).

Counting: torch.profiler over one search. A launching operation is a leaf ATen
operation (one that calls no other) that computes: views and allocations,
which launch nothing, are left out. A host synchronisation is a read of a
device value by the host: aten::_local_scalar_dense (item, a boolean test of
a tensor) and aten::nonzero (a size taken from data). The modelled GPU time
per iteration is launches x 5 us + syncs x 15 us, the host's fixed cost per
iteration whatever the device computes; the modelled rate is nodes per
iteration over it. On CPU tensors the counted search looks CLOSED up in the
blocks of tensor operations an accelerator uses
(_testing.run_torch_astar_as_accelerator), so that it launches what a GPU's
would; the timed searches use the host's own loop. The results are the same
either way.

Speed: the CPU-tensor search's nodes/s beside the CPU solver's on the same
state and budget, the median of --repeats runs with the min-max spread, the
two solvers taking turns so that both see the same machine; the ratio column
is the median of the turns' ratios. With
--device cuda:N the search runs through run_torch_gpu_astar on that device
with a Manhattan package compiled for CUDA, and the table adds the measured
time per iteration (CUDA events around each solve, over its iterations) and
the measured nodes/s; the CPU solver column is left out.

OPEN sizes (--open-sizes): one search of --open-budget nodes at batch 10000,
weight 1 (so that OPEN grows large); each iteration's time (its
"torchgpu.iteration" event in the profiler trace) against
the number of OPEN rows its pop scanned (the length of the pop's one top-k,
read from a profiled run of the same search: the live entries and the popped
or removed rows not yet dropped, at most the live count or 4096), as
medians over the iterations in bands around 100K, 1M and 5M rows. Flat
medians mean the iteration's work does not grow with OPEN beyond one pass
over it.
"""

from __future__ import annotations

import argparse
import collections
import functools
import json
import os
import statistics
import sys
import tempfile

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


DEVICE = "cpu"


def start_state():
    return kestrel_puzzles.scramble(ENV, 1000, 7)


def package():
    if DEVICE == "cpu":
        return str(kestrel_puzzles.manhattan_package(ENV))
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from tensor_solver import cuda_manhattan_package

    return cuda_manhattan_package(ENV)


def tensor_solve(batch, budget, weight=WEIGHT, as_accelerator=False, **options):
    if DEVICE == "cpu":
        solve = _testing.run_torch_astar_as_accelerator if as_accelerator else _testing.run_torch_astar_on_device
        return solve(start_state(), ENV, package(), weight, batch, device="cpu", search_budget=budget, **options)
    return kestrel_cpp.run_torch_gpu_astar(start_state(), ENV, package(), weight, batch, device=DEVICE,
                                           search_budget=budget, **options)


def device_seconds(solve):
    """(result, seconds) of one solve on the GPU, timed by CUDA events."""
    start, end = torch.cuda.Event(enable_timing=True), torch.cuda.Event(enable_timing=True)
    torch.cuda.synchronize()
    start.record()
    result = solve()
    end.record()
    torch.cuda.synchronize()
    return result, start.elapsed_time(end) / 1e3


def cpu_solve(batch, budget):
    return kestrel_cpp.run_weighted_astar(start_state(), ENV, package(), WEIGHT, batch, "cpu", search_budget=budget)


def count(batch, budget):
    """(iterations, nodes, launching ops, syncs, Counter of op names) of one search."""
    with profile(activities=[ProfilerActivity.CPU]) as prof:
        result = tensor_solve(batch, budget, as_accelerator=True, operation_breakdown=True)
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


def rate(result):
    return result["nodes_generated"] / result["solve_time"]


def rates_in_turns(batch, budget, repeats):
    """Nodes/s of the tensor and the CPU solver, solving in turns after a warm-up of each."""
    tensor_solve(batch, budget), cpu_solve(batch, budget)
    tensor, cpu = [], []
    for _ in range(repeats):
        tensor.append(rate(tensor_solve(batch, budget)))
        cpu.append(rate(cpu_solve(batch, budget)))
    return tensor, cpu


def spread(values):
    return f"{statistics.median(values) / 1e6:.2f}M ({min(values) / 1e6:.2f}-{max(values) / 1e6:.2f})"


def launch_table(batches, budget, repeats, top):
    on_gpu = DEVICE != "cpu"
    print(f"tensor solver per iteration on {DEVICE}, {ENV} scramble(1000, seed 7), weight {WEIGHT}, first "
          f"{budget:,} nodes; nodes/s: median (min-max) of {repeats}")
    header = ["batch", "iterations", "nodes/it", "launches/it", "syncs/it", "model us/it", "model nodes/s"]
    header += (["measured us/it", f"tensor/{DEVICE} nodes/s"] if on_gpu else
               ["tensor/cpu nodes/s", "CPU solver nodes/s", "tensor / CPU solver"])
    print(" | ".join(header))
    for batch in batches:
        iterations, nodes, launches, syncs, names = count(batch, budget)
        per_launch, per_sync = launches / iterations, syncs / iterations
        model_us = per_launch * LAUNCH_US + per_sync * SYNC_US
        row = [str(batch), str(iterations), f"{nodes / iterations:,.0f}", f"{per_launch:.1f}", f"{per_sync:.1f}",
               f"{model_us:,.0f}", f"{nodes / iterations / model_us:.2f}M"]
        if on_gpu:
            runs = [device_seconds(functools.partial(tensor_solve, batch, budget)) for _ in range(repeats)]
            row.append(f"{statistics.median(seconds for _, seconds in runs) / iterations * 1e6:,.0f}")
            row.append(spread([result["nodes_generated"] / seconds for result, seconds in runs]))
        else:
            tensor, cpu = rates_in_turns(batch, budget, repeats)
            row += [spread(tensor), spread(cpu), f"{statistics.median(t / c for t, c in zip(tensor, cpu)):.2f}"]
        print(" | ".join(row), flush=True)
        if top:
            print("    " + ", ".join(f"{name[6:]} {n / iterations:.1f}" for name, n in names.most_common(top)),
                  flush=True)


def open_size_table(budget):
    """Iteration time against the size of OPEN, batch 10000."""
    with profile(activities=[ProfilerActivity.CPU], record_shapes=True) as prof:
        tensor_solve(10000, budget, weight=1.0)
    sizes = [event.input_shapes[0][0] for event in prof.events()
             if event.name == "aten::topk" and event.input_shapes and len(event.input_shapes[0]) == 1]
    with tempfile.TemporaryDirectory() as directory:
        tensor_solve(10000, budget, weight=1.0, profile_dir=directory, profile_trace=True, profile_run_id="open")
        with open(os.path.join(directory, "open_trace.json")) as trace:
            events = json.load(trace)
    events = events.get("traceEvents", events) if isinstance(events, dict) else events
    times = [event["dur"] / 1e6 for event in events if event.get("name") == "torchgpu.iteration"]
    print(f"iteration time against OPEN size on {DEVICE}, batch 10000, weight 1, first {budget:,} nodes "
          f"({len(times)} iterations, the pop scanning up to {max(sizes):,} OPEN rows)")
    print("OPEN rows scanned | iterations | ms/iteration: median (min-max)")
    for label, low, high in (("~100K", 50_000, 200_000), ("~1M", 500_000, 2_000_000),
                             ("~5M", 2_500_000, 10_000_000)):
        chosen = [seconds * 1e3 for seconds, size in zip(times, sizes) if low <= size < high]
        if chosen:
            print(f"{label} | {len(chosen)} | {statistics.median(chosen):.1f} ({min(chosen):.1f}-{max(chosen):.1f})")
        else:
            print(f"{label} | 0 | none in this band: raise --open-budget")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--budget", type=int, default=400_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--top", type=int, default=0, help="show the N most frequent operations per iteration")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--device", default="cpu", help="cpu, or cuda:N for the public solver on that GPU")
    parser.add_argument("--open-sizes", action="store_true")
    parser.add_argument("--open-budget", type=int, default=15_000_000)
    args = parser.parse_args(argv)
    global DEVICE
    DEVICE = args.device
    if args.open_sizes:
        open_size_table(args.open_budget)
        return 0
    batches = (1000,) if args.quick else (1000, 10000, 50000)
    budget = 100_000 if args.quick else args.budget
    launch_table(batches, budget, 1 if args.quick else args.repeats, args.top)
    return 0


if __name__ == "__main__":
    sys.exit(main())
