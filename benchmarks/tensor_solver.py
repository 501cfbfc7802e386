"""Speed of the tensor search, on CPU tensors and on CUDA, next to the CPU solver.

Run:
    .venv/bin/python benchmarks/tensor_solver.py             # full run, under ten minutes on two cores
    .venv/bin/python benchmarks/tensor_solver.py --quick     # smoke run: one state, one repeat, small caps

Workload: "puzzle15" states scrambled by random walks of --scramble moves
(seeds --seed, --seed + 1, ...), searched with f = weight * g + h, h the
Manhattan package, at batch sizes 100, 1000 and 10000. Every search is capped
at --budget generated nodes (search_budget; default two million); a capped
search still counts its nodes and its time. All solvers search the same
states under the same caps.

Solvers:
    tensor/cpu  the tensor search on CPU tensors,
                kestrel_cpp._testing.run_torch_astar_on_device(..., device="cpu")
    CPU solver  kestrel_cpp.run_weighted_astar(..., "cpu")
    tensor/cuda the public kestrel_cpp._backend_impl.run_torch_gpu_astar(...,
                device="cuda:0") with a Manhattan package compiled for CUDA;
                only when torch.cuda.is_available()

Speed: one pass searches every state once; a pass's rate is the sum of
nodes_generated over the sum of solve_time. Each cell runs --repeats passes
and prints the median rate with the min-max spread over the passes and the
number of passes. When the first pass shows that --repeats passes would
outlast --cell-seconds, the cell runs fewer, but not fewer than three (or
--repeats where that is smaller; --quick runs one pass, without spread).

CUDA rows also give the rate from the host clock around each call
(synchronised before and after), and the device memory of the search:
torch.cuda.max_memory_allocated after reset_peak_memory_stats, minus what was
allocated before the call, per generated node (the largest over the runs).

Time split: one more pass with operation_breakdown=True (on CUDA also
cuda_sync_timing=True, so that each operation's time includes its kernels):
each operation's total_seconds as a share of the iteration total_seconds,
summed over the states. "other" is what no listed operation covers. Popping
sorts all of OPEN, so its time per iteration ("pop ms/it") grows with OPEN.

Targets (printed, not checked), at batch 10000: the tensor search on CPU
tensors >= 300,000 nodes/s; on CUDA >= 10,000,000 nodes/s.
"""

from __future__ import annotations

import os
import statistics
import sys
import time

import torch

import kestrel_cpp
import kestrel_cpp._backend_impl as backend
import kestrel_cpp._testing as testing
import kestrel_puzzles

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cpu_solver import load, replay_reaches_goal, workload_arguments

ENV = "puzzle15"
BATCHES = (100, 1000, 10000)
TARGETS = {"tensor/cpu": {10000: 300_000}, "tensor/cuda": {10000: 10_000_000}}
OPERATIONS = ("pop", "is_solved", "expand", "check", "heuristic", "push")


# ----------------------------------------------------------------------------
# Heuristic packages.


def cuda_manhattan_package(env: str) -> str:
    """The Manhattan network of kestrel_puzzles compiled for CUDA, with its
    manifest, in kestrel_cpp's package cache (compiled once per machine and
    torch version). kestrel_puzzles.manhattan_package compiles for the CPU."""
    from kestrel_cpp.export import MAX_BATCH, cached_package, compile_package, write_manifest
    from kestrel_puzzles.heuristics import _MANHATTAN_VERSION, manhattan_module

    env = env.lower()
    n = kestrel_puzzles.side(env)
    inputs = [("x", (n**4,))]

    def build(path):
        print(f"compiling the Manhattan heuristic for {env} on CUDA (about 30 s, once)", file=sys.stderr, flush=True)
        module = manhattan_module(env).to("cuda")
        example = (torch.rand(2, n**4, device="cuda"),)
        batch = torch.export.Dim("batch", min=1, max=MAX_BATCH)
        compile_package(module, example, [{0: batch}], path)
        write_manifest(path, inputs, 1, env)

    return str(cached_package(f"kestrel_puzzles/manhattan-{env}-v{_MANHATTAN_VERSION}-cuda", build))


# ----------------------------------------------------------------------------
# Solvers.


def solve_tensor_cpu(state, package, weight, batch, budget, **kwargs) -> dict:
    return testing.run_torch_astar_on_device(
        state, ENV, package, weight, batch, device="cpu", search_budget=budget, **kwargs)


def solve_cpu_solver(state, package, weight, batch, budget, **kwargs) -> dict:
    return kestrel_cpp.run_weighted_astar(state, ENV, package, weight, batch, "cpu", search_budget=budget, **kwargs)


def solve_tensor_cuda(state, package, weight, batch, budget, **kwargs) -> dict:
    return backend.run_torch_gpu_astar(
        state, ENV, package, weight, batch, device="cuda:0", search_budget=budget, **kwargs)


SOLVERS = {"tensor/cpu": solve_tensor_cpu, "CPU solver": solve_cpu_solver, "tensor/cuda": solve_tensor_cuda}


class Cell:
    """Measurements of one solver at one batch size."""

    def __init__(self) -> None:
        self.rates: list[float] = []       # per pass, from solve_time
        self.wall_rates: list[float] = []  # per pass, from the host clock (CUDA only)
        self.nodes = 0                     # generated, first pass
        self.solved = 0                    # first pass
        self.peak_bytes = 0                # CUDA: largest peak over the runs
        self.bytes_per_node = 0.0          # CUDA: largest over the runs
        self.seconds = 0.0                 # wall time spent on the cell
        self.valid = 0
        self.invalid = 0
        self.split: dict | None = None     # summed operation_timings of the breakdown pass


def run_pass(solver: str, states, package, weight, batch, budget, cell: Cell, first: bool) -> float:
    """One pass over the states; appends its rates to the cell. Returns its wall seconds."""
    solve = SOLVERS[solver]
    cuda = solver == "tensor/cuda"
    nodes = seconds = wall = 0.0
    start = time.perf_counter()
    for s in states:
        if cuda:
            torch.cuda.synchronize()
            before = torch.cuda.memory_allocated()
            torch.cuda.reset_peak_memory_stats()
        t0 = time.perf_counter()
        r = solve(s, package, weight, batch, budget)
        if cuda:
            torch.cuda.synchronize()
        wall += time.perf_counter() - t0
        nodes += r["nodes_generated"]
        seconds += r["solve_time"]
        if cuda and r["nodes_generated"] > 0:
            peak = torch.cuda.max_memory_allocated() - before
            cell.peak_bytes = max(cell.peak_bytes, peak)
            cell.bytes_per_node = max(cell.bytes_per_node, peak / r["nodes_generated"])
        if r["solved"]:
            ok = replay_reaches_goal(ENV, s, r["moves"])
            cell.valid += ok
            cell.invalid += not ok
        if first:
            cell.nodes += r["nodes_generated"]
            cell.solved += bool(r["solved"])
    cell.rates.append(nodes / seconds)
    if cuda:
        cell.wall_rates.append(nodes / wall)
    return time.perf_counter() - start


def breakdown_pass(solver: str, states, package, weight, batch, budget) -> dict:
    """operation_timings summed over the states: name -> (total_seconds, call_count)."""
    kwargs = {"operation_breakdown": True}
    if solver == "tensor/cuda":
        kwargs["cuda_sync_timing"] = True
    summed: dict[str, list[float]] = {}
    for s in states:
        timings = SOLVERS[solver](s, package, weight, batch, budget, **kwargs)["operation_timings"]
        for name, t in timings.items():
            entry = summed.setdefault(name, [0.0, 0])
            entry[0] += t["total_seconds"]
            entry[1] += t["call_count"]
    return summed


def measure(solver: str, states, package, weight, batch, budget, repeats, cell_seconds, split: bool) -> Cell:
    cell = Cell()
    start = time.perf_counter()
    if solver == "tensor/cuda":
        # Untimed: the caching allocator grows to this batch size's working set.
        SOLVERS[solver](states[0], package, weight, batch, budget)
    first = run_pass(solver, states, package, weight, batch, budget, cell, first=True)
    # Passes that fit the cell's time, but never fewer than three (or --repeats if smaller).
    fit = int(cell_seconds // first)
    for _ in range(min(repeats, max(3, fit)) - 1):
        run_pass(solver, states, package, weight, batch, budget, cell, first=False)
    if split:
        cell.split = breakdown_pass(solver, states, package, weight, batch, budget)
    cell.seconds = time.perf_counter() - start
    return cell


# ----------------------------------------------------------------------------
# Printing.


def rate_text(cell: Cell | None, wall: bool = False) -> str:
    """'median [min-max] passes', 30 characters."""
    if cell is None:
        return f"{'-':>30}"
    rates = cell.wall_rates if wall else cell.rates
    med = statistics.median(rates)
    if len(rates) > 1:
        spread = f"[{min(rates) / 1e3:,.0f}k-{max(rates) / 1e3:,.0f}k]"
    else:
        spread = "[-]"
    return f"{med:>11,.0f} {spread:>15} {len(rates):>2}"


def target_text(solver: str, batch: int, cell: Cell) -> str:
    target = TARGETS.get(solver, {}).get(batch)
    if target is None:
        return ""
    med = statistics.median(cell.rates)
    return f"{solver} >= {target:,} n/s {'met' if med >= target else 'NOT met'}"


def print_cpu_table(cells: dict, budget: int, num_states: int) -> None:
    print()
    print("generated nodes per second (solve_time): median [min-max] over passes over all states, passes")
    print(f"{'batch':>6} {'cap':>10}  {'tensor/cpu':^30}  {'CPU solver':^30}  {'t/CPU':>6} "
          f"{'generated t/C (1st pass)':>25} {'solved t/C':>10}  target")
    for batch in BATCHES:
        t, c = cells["tensor/cpu", batch], cells["CPU solver", batch]
        ratio = statistics.median(t.rates) / statistics.median(c.rates)
        generated = f"{t.nodes:,}/{c.nodes:,}"
        solved = f"{t.solved}/{c.solved} of {num_states}"
        print(f"{batch:>6} {budget:>10,}  {rate_text(t)}  {rate_text(c)}  {ratio:>5.2f}x {generated:>25} "
              f"{solved:>10}  {target_text('tensor/cpu', batch, t)}")


def split_row(label: str, batch: int, split: dict) -> str:
    if not split.get("iteration", (0.0, 0))[0] > 0:
        return f"{label:>11} {batch:>6}  no iteration time in operation_timings (keys: {', '.join(sorted(split))})"
    iteration, iterations = split["iteration"]
    shares = [split.get(name, (0.0, 0))[0] / iteration for name in OPERATIONS]
    other = 1.0 - sum(shares)
    if abs(other) < 5e-4:
        other = 0.0  # rounding, not a negative share
    pop_seconds, pop_calls = split.get("pop", (0.0, 0))
    pop_ms = 1e3 * pop_seconds / pop_calls if pop_calls else 0.0
    cols = " ".join(f"{100 * s:>9.1f}" for s in shares)
    return f"{label:>11} {batch:>6} {int(iterations):>7} {cols} {100 * other:>9.1f} {pop_ms:>10.2f}"


def main() -> None:
    ap = workload_arguments(__doc__.split("\n")[0], "smoke run: one state, one repeat, small caps", 300)
    ap.add_argument("--states", type=int, default=None, help="number of states (default 3, --quick 1)")
    ap.add_argument("--repeats", type=int, default=None, help="passes per cell (default 3, --quick 1)")
    ap.add_argument("--budget", type=int, default=None,
                    help="generated-node cap per search (default 2,000,000, --quick 200,000)")
    ap.add_argument("--cell-seconds", type=float, default=None,
                    help="fewer passes (not under 3) when the first shows that --repeats would take longer "
                         "(default 60)")
    ap.add_argument("--cuda-repeats", type=int, default=None, help="passes per CUDA cell (default: --repeats)")
    ap.add_argument("--cuda-budget", type=int, default=None, help="cap of the CUDA searches (default: --budget)")
    ap.add_argument("--no-cpu", action="store_true", help="CUDA rows only")
    args = ap.parse_args()

    num_states = args.states if args.states is not None else (1 if args.quick else 3)
    repeats = args.repeats if args.repeats is not None else (1 if args.quick else 3)
    budget = args.budget if args.budget is not None else (200_000 if args.quick else 2_000_000)
    cell_seconds = args.cell_seconds if args.cell_seconds is not None else 60.0
    cuda_repeats = args.cuda_repeats if args.cuda_repeats is not None else repeats
    cuda_budget = args.cuda_budget if args.cuda_budget is not None else budget
    if min(num_states, repeats, cuda_repeats, budget, cuda_budget) < 1:
        ap.error("--states, --repeats, --cuda-repeats, --budget and --cuda-budget must be positive")
    cuda = torch.cuda.is_available()
    if args.no_cpu and not cuda:
        ap.error("--no-cpu leaves nothing to run: torch.cuda.is_available() is False")

    states = [kestrel_puzzles.scramble(ENV, args.scramble, args.seed + i) for i in range(num_states)]
    cpu_package = None if args.no_cpu else kestrel_puzzles.manhattan_package(ENV)
    cuda_package = cuda_manhattan_package(ENV) if cuda else None
    threads = torch.get_num_threads()

    device = torch.cuda.get_device_name(0) if cuda else "no CUDA device"
    print(f"kestrel_cpp tensor search vs CPU solver: {ENV}, {num_states} states (scramble {args.scramble}, "
          f"seeds {args.seed}..{args.seed + num_states - 1}), weight {args.weight}, Manhattan package, "
          f"torch {torch.__version__}, {threads} threads, {os.cpu_count()} CPUs, {device}")
    print(f"cap {budget:,} generated nodes per search (CUDA {cuda_budget:,}); passes per cell: {repeats} "
          f"(CUDA {cuda_repeats}), fewer (not under 3) when a cell would outlast {cell_seconds:.0f} s")
    print(f"start: {load()}", flush=True)

    # Warm-up: package loading, thread pools, CUDA context.
    warm = kestrel_puzzles.scramble(ENV, 40, args.seed)
    solvers = [] if args.no_cpu else ["tensor/cpu", "CPU solver"]
    if cuda:
        solvers.append("tensor/cuda")
    for solver in solvers:
        package = cuda_package if solver == "tensor/cuda" else cpu_package
        SOLVERS[solver](warm, package, args.weight, 100, 10_000)

    cells: dict[tuple[str, int], Cell] = {}
    for batch in BATCHES:
        for solver in solvers:
            on_cuda = solver == "tensor/cuda"
            cell = measure(solver, states, cuda_package if on_cuda else cpu_package, args.weight, batch,
                           cuda_budget if on_cuda else budget, cuda_repeats if on_cuda else repeats,
                           cell_seconds, split=solver != "CPU solver")
            cells[solver, batch] = cell
            print(f"  batch {batch:>5} {solver:<11} {len(cell.rates)} passes, {cell.seconds:6.1f} s [{load()}]",
                  flush=True)

    if not args.no_cpu:
        print_cpu_table(cells, budget, num_states)

    if cuda:
        print()
        print(f"tensor/cuda through run_torch_gpu_astar on cuda:0 ({device}); peak = max_memory_allocated "
              f"growth during a solve, the largest over the runs")
        print(f"{'batch':>6} {'cap':>10}  {'n/s (solve_time)':^30}  {'n/s (host clock)':^30} {'generated':>10} "
              f"{'solved':>6} {'peak MiB':>9} {'B/node':>7}  target")
        for batch in BATCHES:
            g = cells["tensor/cuda", batch]
            print(f"{batch:>6} {cuda_budget:>10,}  {rate_text(g)}  {rate_text(g, wall=True)} {g.nodes:>10,} "
                  f"{g.solved:>2}/{num_states:<3} {g.peak_bytes / 2**20:>9.1f} {g.bytes_per_node:>7.1f}  "
                  f"{target_text('tensor/cuda', batch, g)}")
    else:
        print()
        print("tensor/cuda: skipped, torch.cuda.is_available() is False")

    print()
    print("time split of the tensor search, % of iteration time (operation_breakdown=True, one more pass)")
    names = " ".join(f"{name:>9}" for name in OPERATIONS)
    print(f"{'solver':>11} {'batch':>6} {'iters':>7} {names} {'other':>9} {'pop ms/it':>10}")
    for solver in ("tensor/cpu", "tensor/cuda"):
        for batch in BATCHES:
            cell = cells.get((solver, batch))
            if cell is not None and cell.split is not None:
                print(split_row(solver, batch, cell.split))

    valid = sum(c.valid for c in cells.values())
    invalid = sum(c.invalid for c in cells.values())
    print(f"solutions replayed to the goal: {valid} valid, {invalid} invalid")
    print(f"end: {load()}")
    if invalid:
        sys.exit(1)


if __name__ == "__main__":
    main()
