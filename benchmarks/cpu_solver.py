"""Speed and memory of the CPU solver against a plain Python batched weighted A*.

Run:
    .venv/bin/python benchmarks/cpu_solver.py            # full run, several minutes
    .venv/bin/python benchmarks/cpu_solver.py --quick    # smoke run, a minute or two
    .venv/bin/python benchmarks/cpu_solver.py --demo-only --no-memory   # the demo search alone

Every C++ figure is the median and the spread (min-max) of --repeats
consecutive solves in this process, after a warm-up solve: the state a user
meets, with the package loaded and earlier solves behind it. No best-of.
One-thread figures come from the same process with torch.set_num_threads(1)
(one OpenMP thread for the solver's parallel regions and for the network).
The Python baseline (python_weighted_astar below) searches the same states in
the same run, so the ratios hold on a slower or faster machine.

The demo search: the "puzzle15" state of scramble("puzzle15", 1000, 2026),
weight 0.6, no cap, at batch 1000 and 10000, once on an idle machine and once
while a child process of this script keeps one core busy with a plain
spinning loop (started before, stopped after). Within each machine state the
two batch sizes and two thread counts take turns solve by solve, and on the
idle machine the Python peer takes its turns among them (its figure is the
median of as many solves), so the targets that compare them (batch 10000
against 1000, all threads against one, C++ against Python) rest on solves
made side by side rather than minutes apart.

The batch table: "puzzle15" states scrambled by random walks of --scramble
moves (seeds --seed, --seed + 1, ...), weight --weight, with a
generated-node cap (search_budget) per batch size; a capped search still
counts its nodes and its time. Columns:
    batch     batch_size
    cap       generated-node cap per state (search_budget)
    2thr n/s  generated nodes per second over the states (sum of
              nodes_generated / sum of solve_time), median and min-max over
              the repeats, with the default thread count
    1thr n/s  the same with one thread
    Py n/s    the Python baseline, one run per state, timed the same way (the
              search loop, not package loading)
    2thr/Py   ratio of the medians to the baseline
    net%      share of solve time in the network: operation_timings
              "heuristic" core_seconds / "iteration" total_seconds, from a
              separate run with operation_breakdown=True
    solved    states solved within the cap, C++ / Python

The memory lines come from one large search in a fresh subprocess: peak
resident memory of the process during the solve (VmHWM, reset just before it)
minus resident memory just before the solve (after a warm-up solve has loaded
the package), divided by the nodes the search stored. Stored nodes = distinct
states entered into CLOSED (the start and every successor whose state was
new; accepted shallower duplicates update a stored node in place). The solver
does not report that count, so it is counted by replaying the same search in
Python with the solver's exact OPEN order (exact_order=True below); the replay
must reproduce nodes_generated exactly, otherwise the line says so and only
bytes per generated node are printed.
"""

from __future__ import annotations

import argparse
import contextlib
import heapq
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np
import torch

import kestrel_cpp
import kestrel_puzzles

ENV = "puzzle15"


# ----------------------------------------------------------------------------
# The Python baseline.


class _Node:
    """A stored search node. Ordered by f alone, for the exact-order replay."""

    __slots__ = ("depth", "f", "move", "parent", "state")

    def __init__(self, state: bytes, depth: int, parent: _Node | None, move: int):
        self.state = state
        self.depth = depth
        self.parent = parent
        self.move = move
        self.f = 0.0

    def __lt__(self, other: _Node) -> bool:
        return self.f < other.f


class PythonWeightedAStar:
    """Batched weighted A* over n*n sliding-tile states in NumPy, with the
    network called through torch's own package loader once per iteration.

    Semantics follow the C++ solver: a popped goal ends the search (the popped
    nodes after it are not expanded); every popped node yields 4 successors,
    off-board moves included, all counted as generated; a successor is
    accepted when its state is new or strictly shallower than the stored one
    (then the stored node is updated in place and pushed again, or with
    duplicate_mode="new_slot" a new node replaces it in CLOSED); accepted
    successors are evaluated in one network call; f = weight * g + h in
    float32, with h = 0 for goal successors; the budget is checked after each
    iteration.

    OPEN is a heapq of (f, counter, node) entries. exact_order=True instead
    pushes the nodes themselves, ordered by their current f only, which gives
    the same pop order as the C++ solver's heap (the same sift algorithm, and
    an in-place update changes the f of an entry already in the heap there
    too); it is slower and used only to replay a C++ search.
    """

    def __init__(self, env: str, package_path: str):
        self.n = kestrel_puzzles.side(env)
        cells = self.n * self.n
        self.cells = cells
        self.goal = kestrel_puzzles.goal(env).astype(np.uint8).tobytes()
        self.model = torch._inductor.aoti_load_package(package_path)
        n = self.n
        # targets[b, m]: where the blank goes from position b under move m (b itself off the board).
        targets = np.empty((cells, 4), dtype=np.int64)
        for b in range(cells):
            r, c = divmod(b, n)
            targets[b] = [b - n if r > 0 else b, b + n if r < n - 1 else b,
                          b - 1 if c > 0 else b, b + 1 if c < n - 1 else b]
        self.targets = targets
        self.onehot_offsets = (np.arange(cells, dtype=np.int64) * cells)[None, :]

    def heuristic(self, states: np.ndarray) -> np.ndarray:
        """Network value of each row of a (m, cells) uint8 array, float32."""
        m = states.shape[0]
        x = np.zeros((m, self.cells * self.cells), dtype=np.float32)
        x[np.arange(m)[:, None], self.onehot_offsets + states] = 1.0
        with torch.inference_mode():
            out = self.model(torch.from_numpy(x))
        if isinstance(out, (list, tuple)):
            out = out[0]
        return out.reshape(-1).numpy().astype(np.float32, copy=False)

    def expand(self, states: np.ndarray) -> np.ndarray:
        """The 4 successors of every row, (4m, cells), successor 4i + move of row i."""
        m = states.shape[0]
        blank = (states == 0).argmax(axis=1)
        target = self.targets[blank].reshape(-1)
        children = np.repeat(states, 4, axis=0)
        rows = np.arange(4 * m)
        blank4 = np.repeat(blank, 4)
        children[rows, blank4] = children[rows, target]
        children[rows, target] = 0
        return children

    def solve(self, state, weight: float, batch_size: int, search_budget: int = 0, exact_order: bool = False,
              duplicate_mode: str = "in_place") -> dict:
        cells = self.cells
        goal = self.goal
        w32 = np.float32(weight)
        start_time = time.perf_counter()

        root = _Node(np.asarray(state, dtype=np.uint8).tobytes(), 0, None, -1)
        closed = {root.state: root}
        root.f = 0.0 if root.state == goal else float(self.heuristic(np.frombuffer(root.state, np.uint8)[None, :])[0])
        open_heap: list = [root] if exact_order else [(root.f, 0, root)]
        counter = 1
        generated = 0
        best_goal = root if root.state == goal else None
        budget_exceeded = False
        push, pop = heapq.heappush, heapq.heappop

        while best_goal is None and open_heap:
            # Pop and goal-test; the first goal ends the batch.
            popped = []
            goal_popped = False
            for _ in range(min(batch_size, len(open_heap))):
                node = pop(open_heap) if exact_order else pop(open_heap)[2]
                if node.state == goal:
                    best_goal = node
                    goal_popped = True
                    break
                popped.append(node)
            if not popped:
                break

            parents = np.frombuffer(b"".join([p.state for p in popped]), dtype=np.uint8).reshape(len(popped), cells)
            children = self.expand(parents)
            is_goal = (children == np.frombuffer(goal, np.uint8)).all(axis=1)
            data = children.tobytes()

            # CLOSED filter, in successor order.
            accepted = []
            accepted_rows = []
            get = closed.get
            j = 0
            for parent in popped:
                depth = parent.depth + 1
                for move in range(4):
                    key = data[j * cells:(j + 1) * cells]
                    node = get(key)
                    if node is None:
                        node = _Node(key, depth, parent, move)
                        closed[key] = node
                        accepted.append(node)
                        accepted_rows.append(j)
                    elif depth < node.depth:
                        if duplicate_mode == "new_slot":  # a new node takes the state's place in CLOSED
                            node = _Node(key, depth, parent, move)
                            closed[key] = node
                        else:
                            node.depth = depth
                            node.parent = parent
                            node.move = move
                        accepted.append(node)
                        accepted_rows.append(j)
                    j += 1
            generated += j

            if accepted:
                rows = np.asarray(accepted_rows, dtype=np.int64)
                h = self.heuristic(children[rows])
                h[is_goal[rows]] = 0.0
                depths = np.fromiter((a.depth for a in accepted), dtype=np.float32, count=len(accepted))
                f = (w32 * depths + h).tolist()
                for node, fk in zip(accepted, f):
                    node.f = fk
                if exact_order:
                    for node in accepted:
                        push(open_heap, node)
                else:
                    for node, fk in zip(accepted, f):
                        push(open_heap, (fk, counter, node))
                        counter += 1

            if not goal_popped and search_budget > 0 and generated >= search_budget:
                budget_exceeded = True
                break

        moves = []
        node = best_goal
        while node is not None and node.parent is not None:
            moves.append(node.move)
            node = node.parent
        moves.reverse()
        solve_time = time.perf_counter() - start_time
        return {
            "moves": moves,
            "nodes_generated": generated,
            "solve_time": solve_time,
            "solved": best_goal is not None,
            "search_budget_exceeded": budget_exceeded,
            "stored_nodes": len(closed),
        }


def replay_reaches_goal(env: str, state, moves) -> bool:
    """Apply moves (0 up, 1 down, 2 left, 3 right: the blank's direction) and
    test for the goal, independently of either solver."""
    n = kestrel_puzzles.side(env)
    s = np.array(state, dtype=np.uint8).copy()
    for m in moves:
        b = int(np.argmin(s))
        r, c = divmod(b, n)
        dr, dc = ((-1, 0), (1, 0), (0, -1), (0, 1))[m]
        if 0 <= r + dr < n and 0 <= c + dc < n:
            t = (r + dr) * n + c + dc
            s[b], s[t] = s[t], 0
    return bool((s == kestrel_puzzles.goal(env)).all())


# ----------------------------------------------------------------------------
# Measurements.


def load() -> str:
    return "load {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


def cpp_solve(state, package: str, weight: float, batch: int, budget: int, **kwargs) -> dict:
    return kestrel_cpp.run_weighted_astar(state, ENV, package, weight, batch, "cpu", search_budget=budget, **kwargs)


class Rates:
    """Generated nodes per second of repeated runs: median and spread."""

    def __init__(self, rates: list[float]):
        self.rates = sorted(rates)

    @property
    def median(self) -> float:
        return statistics.median(self.rates)

    def __str__(self) -> str:
        return f"{self.median / 1e6:5.2f}M ({self.rates[0] / 1e6:.2f}-{self.rates[-1] / 1e6:.2f})"


def cpp_rates(states, package, weight, batch, budget, repeats, threads) -> tuple[Rates, list]:
    """Rates of `repeats` consecutive passes over the states after a warm-up
    pass, with `threads` threads; each pass's rate is its nodes over its
    seconds. Also returns the results of the last pass."""
    previous = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        for s in states:
            cpp_solve(s, package, weight, batch, budget)
        rates = []
        for _ in range(repeats):
            results = [cpp_solve(s, package, weight, batch, budget) for s in states]
            rates.append(sum(r["nodes_generated"] for r in results) / sum(r["solve_time"] for r in results))
    finally:
        torch.set_num_threads(previous)
    return Rates(rates), results


def python_rate(baseline, states, weight, batch, budget) -> tuple[float, list]:
    results = [baseline.solve(s, weight, batch, budget) for s in states]
    return sum(r["nodes_generated"] for r in results) / sum(r["solve_time"] for r in results), results


@contextlib.contextmanager
def one_core_busy():
    """A child process spinning on one core for as long as the block runs."""
    spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        time.sleep(0.5)  # let it reach the scheduler before anything is measured
        yield
    finally:
        spinner.kill()
        spinner.wait()


def interleaved_rates(solvers: dict, repeats: int) -> dict:
    """Rates of each solver, the solvers taking turns solve by solve after a
    warm-up solve of each: a machine whose speed drifts over minutes then
    shifts every solver alike, and their ratios stay fair. `solvers` maps a
    key to a function that makes one solve and returns its result. Returns
    {key: (Rates, last result)}."""
    rates = {key: [] for key in solvers}
    last = {}
    for round_ in range(repeats + 1):
        for key, solve in solvers.items():
            result = solve()
            last[key] = result
            if round_ > 0:
                rates[key].append(result["nodes_generated"] / result["solve_time"])
    return {key: (Rates(rates[key]), last[key]) for key in solvers}


def demo_lines(package, baseline, repeats, threads) -> list[str]:
    """The demo search at batch 1000 and 10000, idle and with one core busy.
    Within each machine state the four configurations (two batch sizes, two
    thread counts) take turns, and on the idle machine the Python peer takes
    its turns among them too, so every ratio compares solves made side by
    side."""
    state = kestrel_puzzles.scramble(ENV, 1000, 2026)
    weight = 0.6
    batches = (1000, 10000)
    lines = [f"demo search: {ENV} scramble(1000, 2026), weight {weight}, no cap; median (min-max) of "
             f"{repeats} solves after a warm-up, solvers interleaved, M nodes/s"]
    lines.append(f"{'batch':>6} {'machine':>14} {'nodes':>10} {f'{threads}thr':>19} {'1thr':>19} {'ratio':>6} "
                 f"{'Py':>6}  targets")

    def cpp(batch, n):
        def solve():
            torch.set_num_threads(n)
            try:
                return cpp_solve(state, package, weight, batch, 0)
            finally:
                torch.set_num_threads(threads)
        return solve

    def python(batch):
        return lambda: baseline.solve(state, weight, batch, 0)

    py_rates = {}
    for machine in ("idle", "one core busy"):
        solvers = {(batch, n): cpp(batch, n) for batch in batches for n in (threads, 1)}
        if machine == "idle":
            solvers.update({("py", batch): python(batch) for batch in batches})
        with one_core_busy() if machine != "idle" else contextlib.nullcontext():
            measured = interleaved_rates(solvers, repeats)
        if machine == "idle":
            py_rates = {batch: measured[("py", batch)][0].median for batch in batches}
        for batch in batches:
            many, result = measured[(batch, threads)]
            one, _ = measured[(batch, 1)]
            py_rate = py_rates[batch]
            ratio = many.median / one.median
            targets = []
            if machine == "idle" and batch == 1000:
                targets.append(f"median >= 3M {'met' if many.median >= 3e6 else 'NOT met'}")
                targets.append(f"slowest >= 2.3M {'met' if many.rates[0] >= 2.3e6 else 'NOT met'}")
                targets.append(f">= 10x Py {'met' if many.median >= 10 * py_rate else 'NOT met'} "
                               f"({many.median / py_rate:.1f}x)")
            elif machine == "idle":
                rate_1000 = measured[(1000, threads)][0].median
                targets.append(f">= batch 1000 {'met' if many.median >= rate_1000 else 'NOT met'}")
            else:
                targets.append(f"{threads}thr >= 1thr {'met' if ratio >= 1.0 else 'NOT met'}")
            lines.append(f"{batch:>6} {machine:>14} {result['nodes_generated']:>10,} {many!s:>19} {one!s:>19} "
                         f"{ratio:>5.2f}x {py_rate / 1e6:>5.2f}M  {'; '.join(targets)}  [{load()}]")
            print(lines[-1], flush=True)
    return lines


def network_share(states, package, weight, batch, budget) -> float:
    core = total = 0.0
    for s in states:
        t = cpp_solve(s, package, weight, batch, budget, operation_breakdown=True)["operation_timings"]
        core += t["heuristic"]["core_seconds"]
        total += t["iteration"]["total_seconds"]
    return core / total


def memory_child(args) -> None:
    """Runs in a fresh process: one large C++ search, its resident-memory growth."""
    package = kestrel_puzzles.manhattan_package(args.mem_env)
    warm = kestrel_puzzles.scramble(args.mem_env, 20, 0)
    kestrel_cpp.run_weighted_astar(warm, args.mem_env, package, 1.0, 10, "cpu")
    state = kestrel_puzzles.scramble(args.mem_env, args.mem_scramble, args.seed)

    def status_bytes(field: str) -> int:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError(f"no {field} in /proc/self/status")

    # ru_maxrss is not used: through fork and exec it keeps the parent's
    # high-water mark. VmHWM belongs to this process's own address space, and
    # writing 5 to clear_refs resets it to the current RSS.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_bytes("VmRSS")
    hwm_before = status_bytes("VmHWM")
    r = kestrel_cpp.run_weighted_astar(
        state, args.mem_env, package, args.mem_weight, args.mem_batch, "cpu", search_budget=args.mem_budget
    )
    peak = status_bytes("VmHWM")
    print(json.dumps({
        "rss_before": before, "hwm_before": hwm_before, "peak": peak,
        "nodes_generated": r["nodes_generated"], "solve_time": r["solve_time"], "solved": r["solved"],
        "moves": r["moves"],
    }))


def memory_line(args) -> list[str]:
    cmd = [sys.executable, os.path.abspath(__file__), "--memory-child", "--seed", str(args.seed),
           "--mem-env", args.mem_env, "--mem-scramble", str(args.mem_scramble), "--mem-weight", str(args.mem_weight),
           "--mem-batch", str(args.mem_batch), "--mem-budget", str(args.mem_budget)]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    m = json.loads(out.strip().splitlines()[-1])
    growth = m["peak"] - m["rss_before"]
    gen = m["nodes_generated"]
    lines = [
        f"large search ({args.mem_env}, scramble {args.mem_scramble}, seed {args.seed}, weight {args.mem_weight}, "
        f"batch {args.mem_batch}, cap {args.mem_budget:,}): {gen:,} generated in {m['solve_time']:.2f} s, "
        f"solved={m['solved']}; RSS before {m['rss_before'] / 2**20:.0f} MiB, peak {m['peak'] / 2**20:.0f} MiB, "
        f"growth {growth / 2**20:.0f} MiB  [{load()}]",
        f"  bytes per generated node: {growth / gen:.1f}",
    ]
    if args.no_replay:
        lines.append("  stored nodes not counted (--no-replay); stored <= generated, "
                     "so bytes/stored >= the figure above")
        return lines
    py = PythonWeightedAStar(args.mem_env, kestrel_puzzles.manhattan_package(args.mem_env))
    state = kestrel_puzzles.scramble(args.mem_env, args.mem_scramble, args.seed)
    rep = py.solve(state, args.mem_weight, args.mem_batch, args.mem_budget, exact_order=True)
    if rep["nodes_generated"] == gen and rep["moves"] == m["moves"]:
        stored = rep["stored_nodes"]
        lines.append(
            f"  stored nodes (exact-order Python replay, {rep['solve_time']:.0f} s, reproduced nodes_generated): "
            f"{stored:,} ({stored / gen:.1%} of generated)")
        lines.append(f"  bytes per stored node: {growth / stored:.1f}   target <= 180: "
                     f"{'met' if growth / stored <= 180 else 'NOT met'}")
    else:
        lines.append(f"  replay did not reproduce the search ({rep['nodes_generated']:,} generated): stored count "
                     f"unknown; bytes per stored node >= {growth / gen:.1f}")
    return lines


def workload_arguments(description: str, quick_help: str, scramble: int) -> argparse.ArgumentParser:
    """The arguments every solver benchmark takes: --quick and the states' --seed, --weight and --scramble."""
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--quick", action="store_true", help=quick_help)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--weight", type=float, default=0.7)
    ap.add_argument("--scramble", type=int, default=scramble, help="random-walk length of the benchmark states")
    return ap


def main() -> None:
    ap = workload_arguments(__doc__.split("\n")[0], "smoke run, a minute or two", 1000)
    ap.add_argument("--repeats", type=int, default=None, help="measured C++ passes per figure, after a warm-up")
    ap.add_argument("--demo-only", action="store_true", help="only the demo search (and the memory lines)")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--no-replay", action="store_true", help="skip the Python replay that counts stored nodes")
    ap.add_argument("--memory-child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--mem-env", default=ENV)
    ap.add_argument("--mem-scramble", type=int, default=1000)
    ap.add_argument("--mem-weight", type=float, default=1.0)
    ap.add_argument("--mem-batch", type=int, default=1000)
    ap.add_argument("--mem-budget", type=int, default=None)
    args = ap.parse_args()
    if args.mem_budget is None:
        args.mem_budget = 500_000 if args.quick else 10_000_000
    if args.memory_child:
        memory_child(args)
        return

    package = kestrel_puzzles.manhattan_package(ENV)
    if args.quick:
        num_states, repeats = 2, 3
        caps = {1: 5_000, 10: 20_000, 100: 50_000, 1000: 200_000, 10000: 400_000}
    else:
        num_states, repeats = 3, 5
        caps = {1: 100_000, 10: 300_000, 100: 600_000, 1000: 1_500_000, 10000: 3_000_000}
    if args.repeats is not None:
        repeats = args.repeats
    states = [kestrel_puzzles.scramble(ENV, args.scramble, args.seed + i) for i in range(num_states)]
    threads = torch.get_num_threads()

    print(f"kestrel_cpp CPU solver vs Python baseline: torch {torch.__version__}, {threads} threads, "
          f"{os.cpu_count()} CPUs, C++ median (min-max) of {repeats} repeats after a warm-up")
    print(f"start: {load()}")

    baseline = PythonWeightedAStar(ENV, package)
    baseline.solve(states[0], args.weight, 100, 10_000)

    # The exact-order replay must reproduce a C++ search move for move.
    check_state = kestrel_puzzles.scramble(ENV, 60, args.seed)
    for batch in (1, 100):
        c = cpp_solve(check_state, package, args.weight, batch, 0)
        p = baseline.solve(check_state, args.weight, batch, 0, exact_order=True)
        same = c["nodes_generated"] == p["nodes_generated"] and c["moves"] == p["moves"]
        print(f"exact-order replay, scramble 60, batch {batch}: C++ {c['nodes_generated']:,} generated, "
              f"{len(c['moves'])} moves; Python {p['nodes_generated']:,}, {len(p['moves'])} moves -> "
              f"{'identical' if same else 'DIFFERENT'}")
    print()

    demo = demo_lines(package, baseline, repeats, threads)
    if args.demo_only:
        print()
        for line in demo:
            print(line)
        if not args.no_memory:
            print()
            for line in memory_line(args):
                print(line)
        return

    print(f"\nbatch table: {ENV}, {num_states} states (scramble {args.scramble}, seeds {args.seed}.."
          f"{args.seed + num_states - 1}), weight {args.weight}")
    header = f"{'batch':>6} {'cap':>10} {f'{threads}thr n/s':>19} {'1thr n/s':>19} {'Py n/s':>8} " \
             f"{f'{threads}thr/Py':>8} {'net%':>6} {'solved':>7}"
    rows = []
    verified = failed = 0
    for batch, cap in caps.items():
        many, cpp_results = cpp_rates(states, package, args.weight, batch, cap, repeats, threads)
        one, _ = cpp_rates(states, package, args.weight, batch, cap, repeats, 1)
        share = network_share(states, package, args.weight, batch, cap)
        py, py_results = python_rate(baseline, states, args.weight, batch, cap)
        for s, c, r in zip(states, cpp_results, py_results):
            for res in (r, c):
                if res["solved"]:
                    ok = replay_reaches_goal(ENV, s, res["moves"])
                    verified += ok
                    failed += not ok
        cpp_solved = sum(r["solved"] for r in cpp_results)
        py_solved = sum(r["solved"] for r in py_results)
        rows.append(f"{batch:>6} {cap:>10,} {many!s:>19} {one!s:>19} {py / 1e6:>7.2f}M {many.median / py:>7.1f}x "
                    f"{100 * share:>5.1f}% {cpp_solved:>3}/{py_solved:<3}")
        print(f"  batch {batch} done [{load()}]", flush=True)

    print()
    for line in demo:
        print(line)
    print()
    print(header)
    for row in rows:
        print(row)
    print(f"solutions replayed to the goal: {verified} valid, {failed} invalid")
    print(f"end: {load()}")

    if not args.no_memory:
        print()
        for line in memory_line(args):
            print(line)


if __name__ == "__main__":
    main()
