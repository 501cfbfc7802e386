"""What the CPU solver (run_weighted_astar) and the tensor solver do alike,
end to end through the bundled puzzle plugin and the Manhattan heuristic
package. Every case runs for both solvers (search_helpers says on which
device the tensor solver runs); where the two legitimately differ, the
difference is a column of the case's table."""

import _thread
import functools
import json
import os
import re
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
import torch
from search_helpers import (
    TENSOR_DEVICE,
    manhattan_package,
    replays_to_goal,
    scrambled_states,
    solve_with,
)

import kestrel_puzzles

NUM_MOVES = 4  # of every sliding puzzle
TIMING_KEYS = ["pop", "is_solved", "expand", "check", "heuristic", "push", "iteration"]
TIMING_FIELDS = ["total_seconds", "core_seconds", "misc_seconds", "call_count"]
STATE8 = kestrel_puzzles.scramble("puzzle8", 20, 1)


@pytest.fixture(params=["cpu", "tensor"])
def solver(request):
    return request.param


@pytest.fixture
def solve(solver):
    """search_helpers.solve_with for this case's solver."""
    return functools.partial(solve_with, solver)


@pytest.fixture
def one_torch_thread():
    """CPU tensor ops on one intra-op thread: on a busy two-core machine, a second
    thread makes the large batches several times slower without changing the search."""
    before = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(before)


# ---- Solutions


def test_weight_one_batch_one_is_optimal_on_puzzle8(solve, puzzle8_distances):
    for state in scrambled_states("puzzle8", 12, seed=100):
        result = solve(state)
        assert result["solved"] and not result["search_budget_exceeded"]
        assert len(result["moves"]) == puzzle8_distances[bytes(state)], bytes(state)
        assert replays_to_goal("puzzle8", state, result["moves"]), bytes(state)


@pytest.mark.parametrize("env, seed, depth, weight, batch_size", [
    ("puzzle8", 40, 40, 1.0, 8),
    ("puzzle15", 7, 30, 0.8, 50),
])
@pytest.mark.parametrize("duplicate_mode", ["in_place", "new_slot"])
@pytest.mark.parametrize("goal_mode", ["stop_before_goal", "expand_popped_batch"])
@pytest.mark.parametrize("algorithm", ["python_dict", "linear_probing"])
def test_every_mode_solves_and_both_move_sources_agree(solve, env, seed, depth, weight, batch_size, duplicate_mode,
                                                       goal_mode, algorithm):
    # Batches pop several nodes per iteration, so a cheaper path to a queued node
    # does reach the duplicate handling. The plugin's moves lead to distinct
    # states, so the move inferred from a parent and its child is the stored one.
    modes = dict(duplicate_update_mode=duplicate_mode, goal_stop_mode=goal_mode, hashtable_algorithm=algorithm)
    for state in scrambled_states(env, 3, seed=seed, depth=depth):
        inferred = solve(state, env, weight, batch_size, **modes)
        stored = solve(state, env, weight, batch_size, solution_move_source="stored", **modes)
        assert inferred["solved"] and stored["solved"]
        assert replays_to_goal(env, state, inferred["moves"])
        assert stored["moves"] == inferred["moves"]
        assert stored["nodes_generated"] == inferred["nodes_generated"]


def test_environment_names_ignore_case_and_an_integer_weight_is_accepted(solve):
    state = kestrel_puzzles.scramble("puzzle8", 10, 3)
    result = solve(state, "PuZZle8", 1, 4)
    assert result["solved"] and replays_to_goal("puzzle8", state, result["moves"])


# ---- Outcomes


NO_SEARCH = dict(pop=0, is_solved=1, expand=0, check=0, heuristic=1, push=0, iteration=0)


# The CPU solver goal-tests the start before its loop; the tensor solver pops
# it in a first iteration and, under "expand_popped_batch", expands it.
@pytest.mark.parametrize("solver, goal_mode, generated, counts", [
    ("cpu", "stop_before_goal", 0, NO_SEARCH),
    ("cpu", "expand_popped_batch", 0, NO_SEARCH),
    ("tensor", "stop_before_goal", 0, dict(NO_SEARCH, pop=1, iteration=1)),
    ("tensor", "expand_popped_batch", NUM_MOVES,
     dict(pop=1, is_solved=2, expand=1, check=1, heuristic=2, push=1, iteration=1)),
])
def test_start_state_that_is_the_goal(solve, goal_mode, generated, counts):
    result = solve(kestrel_puzzles.goal("puzzle8"), goal_stop_mode=goal_mode, operation_breakdown=True)
    assert result["solved"] and not result["search_budget_exceeded"]
    assert result["moves"] == [] and result["nodes_generated"] == generated
    assert {name: timing["call_count"] for name, timing in result["operation_timings"].items()} == counts


def test_unsolvable_state_exhausts_open(solve, one_torch_thread):
    state = kestrel_puzzles.goal("puzzle8").copy()
    state[0], state[1] = state[1], state[0]  # wrong parity: the goal is unreachable
    result = solve(state, batch_size=10000)
    assert not result["solved"] and not result["search_budget_exceeded"] and result["moves"] == []
    # Every state of the odd half is expanded at least once (a node re-reached
    # by a shorter path may be expanded again), NUM_MOVES successors each.
    assert result["nodes_generated"] >= NUM_MOVES * 181440


@pytest.mark.parametrize("batch_size, budget", [(1, 100), (1, 102), (10, 100)])
def test_budget_stops_after_the_iteration_that_reaches_it(solve, batch_size, budget):
    state = kestrel_puzzles.scramble("puzzle15", 200, 11)
    result = solve(state, "puzzle15", batch_size=batch_size, search_budget=budget)
    assert not result["solved"] and result["search_budget_exceeded"] and result["moves"] == []
    # The check follows each iteration, which generates NUM_MOVES nodes per popped node.
    generated = result["nodes_generated"]
    assert budget <= generated < budget + NUM_MOVES * batch_size
    assert generated % NUM_MOVES == 0


def test_a_zero_budget_is_no_limit(solve):
    state = kestrel_puzzles.scramble("puzzle15", 200, 11)
    result = solve(state, "puzzle15", 0.5, 10, search_budget=0)
    assert result["solved"] and replays_to_goal("puzzle15", state, result["moves"])


def test_result_and_operation_timings(solve):
    state = kestrel_puzzles.scramble("puzzle8", 40, 101)
    plain = solve(state)
    assert list(plain) == ["moves", "nodes_generated", "solve_time", "solved", "search_budget_exceeded"]
    assert isinstance(plain["solve_time"], float) and plain["solve_time"] >= 0.0
    assert plain["solved"] and all(isinstance(move, int) for move in plain["moves"])
    timed = solve(state, operation_breakdown=True)
    assert list(timed) == list(plain) + ["operation_timings"]
    timings = timed["operation_timings"]
    assert list(timings) == TIMING_KEYS
    for name, timing in timings.items():
        assert list(timing) == TIMING_FIELDS, name
        assert timing["total_seconds"] == pytest.approx(timing["core_seconds"] + timing["misc_seconds"], abs=1e-9)
    # Batch 1: one pop per iteration, each expansion generating NUM_MOVES nodes.
    assert timings["pop"]["call_count"] == timings["iteration"]["call_count"] >= len(timed["moves"]) > 0
    assert timed["nodes_generated"] == NUM_MOVES * timings["expand"]["call_count"]


# ---- Refused arguments and settings


# The CPU solver reports the name lower-cased, the tensor solver as given.
@pytest.mark.parametrize("solver, message", [
    ("cpu", "Unknown environment 'no-such-puzzle' for the C++ parallel weighted A* solver."),
    ("tensor", "Unknown environment 'No-Such-Puzzle' for the Torch GPU A* solver."),
], ids=["cpu", "tensor"])
def test_unknown_environment(solve, solver, message):
    with pytest.raises(ValueError, match="^" + re.escape(message)):
        solve(STATE8, "No-Such-Puzzle", package_path=manhattan_package(solver, "puzzle8"))


def test_invalid_start_state_is_a_value_error(solve):
    with pytest.raises(ValueError,
                       match=r"^puzzle8 state holds tile 0 twice; a state must be a permutation of 0\.\.8$"):
        solve(np.zeros(9, np.uint8))


def test_batch_size_is_checked_before_the_state(solve):
    empty = np.zeros(0, np.uint8)
    with pytest.raises(ValueError, match=r"^batch_size must be positive$"):
        solve(empty, batch_size=0)
    with pytest.raises(ValueError, match=r"^batch_size must be positive$"):
        solve(kestrel_puzzles.goal("puzzle8"), batch_size=-5)
    with pytest.raises(ValueError, match=r"^State payload must contain at least one entry$"):
        solve(empty, batch_size=1)


def test_missing_manifest(solve, tmp_path):
    missing = str(tmp_path / "nothing.pt2")
    with pytest.raises(RuntimeError, match="^" + re.escape(f"Unable to open AOTI manifest at {missing}.json")):
        solve(STATE8, package_path=missing)


BAD_SETTINGS = [  # in the order both solvers check them
    ("solution_move_source", "Infer", "solution_move_source must be 'infer' or 'stored'"),
    ("duplicate_update_mode", "inplace", "duplicate_update_mode must be 'in_place' or 'new_slot'"),
    ("goal_stop_mode", "", "goal_stop_mode must be 'stop_before_goal' or 'expand_popped_batch'"),
    ("hash_capacity_factor", 1.0, "hash_capacity_factor must be greater than 1.0"),
    ("capacity_mode", "Fixed", "capacity_mode must be 'adaptive' or 'fixed'"),
    ("hashtable_algorithm", "linear-probing", "hashtable_algorithm must be 'linear_probing' or 'python_dict'"),
    ("search_budget", -1, "search_budget must be non-negative"),
]


def test_settings_are_checked_in_order(solve):
    settings = {name: value for name, value, _ in BAD_SETTINGS}
    for name, _, message in BAD_SETTINGS:
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            solve(STATE8, **settings)
        del settings[name]


# The CPU solver names the hint; the tensor solver checks the three together.
@pytest.mark.parametrize("solver, message", [
    ("cpu", "{hint} must be non-negative"),
    ("tensor", "initial OPEN, CLOSED, and node-store sizes must be non-negative"),
], ids=["cpu", "tensor"])
@pytest.mark.parametrize("hint", ["initial_open_size", "initial_closed_size", "initial_node_store_size"])
def test_negative_capacity_hints_are_refused(solve, message, hint):
    with pytest.raises(ValueError, match="^" + re.escape(message.format(hint=hint)) + "$"):
        solve(STATE8, **{hint: -1})


@pytest.mark.parametrize("weight", [float("nan"), float("inf"), -float("inf"), 1e300])  # 1e300: infinite as a float32
def test_non_finite_weights_are_refused(solve, weight):
    with pytest.raises(ValueError, match=r"^weight must be a finite number"):
        solve(STATE8, weight=weight, search_budget=1000)


@pytest.mark.parametrize("argument", ["env", "package_path", "device", "profile_dir", "profile_run_id"])
def test_strings_with_nul_bytes_are_refused(solve, solver, argument):
    args = {"env": "puzzle8", "package_path": manhattan_package(solver, "puzzle8"),
            "device": TENSOR_DEVICE if solver == "tensor" else "cpu", "profile_dir": "", "profile_run_id": ""}
    args[argument] += "\x00junk"
    with pytest.raises(ValueError, match=f"^{argument} must not contain a NUL byte$"):
        solve(STATE8, **args)


# ---- Console output and profiling


def test_print_internals_goes_to_sys_stdout(solve, capsys):
    solve(kestrel_puzzles.scramble("puzzle8", 12, 3), batch_size=4, print_internals=True)
    out = capsys.readouterr().out
    assert re.search(r"^Itr: 0, Added to OPEN - Min/Max Heur\(PathCost\): \d+\.\d\d\(1\.00\)/\d+\.\d\d\(1\.00\) $",
                     out, re.M)
    assert re.search(r"^Times - pop: \S+, expand: \S+, is_solved: \S+, check: \S+, heuristic: \S+, push: \S+, "
                     r"iteration: \S+$", out, re.M)


# What tells the two solvers' profiles apart: the run id used when none is
# given, and the prefix of the phase names.
PROFILES = [("cpu", "cpp_pwas", "pwas."), ("tensor", "cpp_torch_gpu", "torchgpu.")]


@pytest.mark.parametrize("solver, default_run_id, phase_prefix", PROFILES)
@pytest.mark.parametrize("run_id", ["run7", ""])
def test_profiler_artifacts(solve, tmp_path, default_run_id, phase_prefix, run_id):
    directory = tmp_path / "out" / "nested"
    solve(kestrel_puzzles.scramble("puzzle8", 14, 2), batch_size=4, profile_dir=str(directory), profile_trace=True,
          profile_summary=True, profile_run_id=run_id)
    prefix = run_id or default_run_id
    assert sorted(os.listdir(directory)) == [f"{prefix}_summary.txt", f"{prefix}_trace.json"]
    trace = json.loads((directory / f"{prefix}_trace.json").read_text())
    assert trace["displayTimeUnit"] == "ms"
    names = {event["name"] for event in trace["traceEvents"]}
    assert {phase_prefix + phase for phase in ("is_solved", "expand", "iteration", "heuristic_infer", "total")} <= names
    assert all(name.startswith(phase_prefix) for name in names)
    assert all(event["ph"] == "X" and event["pid"] == 0 and event["tid"] == 0 for event in trace["traceEvents"])
    summary = (directory / f"{prefix}_summary.txt").read_text().splitlines()
    assert summary[0] == "Phase                       Count    Avg ms    Max ms    Total ms"
    assert summary[1] == "-" * 65
    assert all(len(line) == 65 for line in summary[2:])
    assert {line[:26].strip() for line in summary[2:]} == names


@pytest.mark.parametrize("solver, default_run_id, phase_prefix", PROFILES)
def test_profiling_is_off_unless_asked_and_defaults_to_the_working_directory(solve, tmp_path, monkeypatch,
                                                                              default_run_id, phase_prefix):
    monkeypatch.chdir(tmp_path)
    state = kestrel_puzzles.scramble("puzzle8", 6, 2)
    solve(state, profile_dir=str(tmp_path / "unused"))
    assert not (tmp_path / "unused").exists()
    solve(state, profile_summary=True)
    assert os.listdir(tmp_path) == ["profile"]
    assert os.listdir(tmp_path / "profile") == [f"{default_run_id}_summary.txt"]
    assert phase_prefix + "total" in (tmp_path / "profile" / f"{default_run_id}_summary.txt").read_text()


@pytest.mark.parametrize("switch", ["profile_trace", "profile_summary"])
def test_a_profile_directory_that_cannot_exist_fails_before_the_search(solve, tmp_path, capsys, switch):
    (tmp_path / "file").write_text("")
    with pytest.raises(RuntimeError, match=r"cannot create directories: Not a directory"):
        solve(STATE8, profile_dir=str(tmp_path / "file" / "sub"), print_internals=True, **{switch: True})
    assert "Itr:" not in capsys.readouterr().out


@pytest.mark.parametrize("run_id", ["/tmp/kestrel_escape", "../escape", "a/b", ".."])
def test_run_ids_that_could_leave_the_profile_directory_are_refused(solve, tmp_path, run_id):
    with pytest.raises(ValueError, match=r"^profile_run_id '.*' must not contain '(/|\.\.)'"):
        solve(STATE8, profile_dir=str(tmp_path / "p"), profile_run_id=run_id, profile_trace=True)
    assert not (tmp_path / "p").exists() and not os.path.exists("/tmp/kestrel_escape_trace.json")


# ---- Threads and interruption


def test_several_threads_solve_at_once(solve):
    states = scrambled_states("puzzle8", 5, seed=300)

    def key(state):
        result = solve(state, batch_size=8)
        return result["solved"], result["moves"], result["nodes_generated"]

    expected = [key(state) for state in states]
    assert all(solved for solved, _, _ in expected)
    results = {}

    def worker(thread):
        results[thread] = [key(state) for state in states]

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {t: expected for t in range(4)}


# An iteration of the tensor solver on CPU tensors, with batch 100, takes longer.
@pytest.mark.parametrize("solver, within", [("cpu", 3.0), ("tensor", 5.0)])
def test_ctrl_c_interrupts_a_long_solve_promptly(solve, within, sigint_raises):
    after = kestrel_puzzles.scramble("puzzle8", 30, 7)
    reference = solve(after, batch_size=16)
    state = kestrel_puzzles.scramble("puzzle24", 1000, 3)
    kestrel_puzzles.manhattan_package("puzzle24")  # compiled, on a fresh cache, before the timer runs
    timer = threading.Timer(0.3, _thread.interrupt_main)  # what SIGINT does to the main thread
    start = time.perf_counter()
    timer.start()
    # The interrupt's KeyboardInterrupt carries no message: the time it took is what tells it apart.
    with pytest.raises(KeyboardInterrupt):
        # Uninterrupted, this search runs for minutes.
        solve(state, "puzzle24", batch_size=100, search_budget=20_000_000)
    elapsed = time.perf_counter() - start
    timer.join()
    assert elapsed < within
    assert solve(after, batch_size=16)["moves"] == reference["moves"]


_DAEMON_SOLVE = textwrap.dedent("""
    import sys, threading, time
    import kestrel_cpp, kestrel_puzzles
    from kestrel_cpp import _testing
    package = str(kestrel_puzzles.manhattan_package("puzzle24"))
    state = kestrel_puzzles.scramble("puzzle24", 1000, seed=0)
    options = dict(search_budget=50_000_000, print_internals=True)
    if sys.argv[1] == "cpu":
        run = lambda: kestrel_cpp.run_weighted_astar(state, "puzzle24", package, 1.0, 100, "cpu", **options)
    else:
        run = lambda: _testing.run_torch_astar_on_device(state, "puzzle24", package, 1.0, 100, device="cpu", **options)
    threading.Thread(target=run, daemon=True).start()
    time.sleep(1.0)
    print("main thread done", flush=True)
    sys.exit(3)
""")


def test_interpreter_exit_during_a_daemon_threads_solve_is_clean(solver):
    # The interpreter finalizes while the solve runs without its lock: the
    # solve must stop and never take the lock of a finalizing interpreter.
    run = subprocess.run([sys.executable, "-c", _DAEMON_SOLVE, solver], capture_output=True, text=True, timeout=60)
    assert run.returncode == 3, run.stderr
    assert "terminate called" not in run.stderr and "Fatal Python error" not in run.stderr
    assert "main thread done" in run.stdout and "Itr:" in run.stdout
