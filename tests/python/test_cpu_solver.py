"""run_weighted_astar end to end, through the bundled puzzle plugin and the
Manhattan heuristic package."""

import json
import os
import re
import threading
import time

import numpy as np
import pytest
from search_helpers import replays_to_goal, scrambled_states
from search_helpers import solve_cpu as solve

import kestrel_puzzles
from kestrel_cpp import _backend_impl as backend

# What the bindings say when an argument does not convert.
INCOMPATIBLE = r"^run_weighted_astar\(\): incompatible function arguments"

# ---- Solutions


def test_weight_one_batch_one_is_optimal_on_puzzle8(package8, puzzle8_distances):
    for state in scrambled_states("puzzle8", 12, seed=100):
        result = solve(state, package8)
        assert result["solved"] and not result["search_budget_exceeded"]
        assert len(result["moves"]) == puzzle8_distances[bytes(state)]
        assert replays_to_goal("puzzle8", state, result["moves"])


@pytest.mark.parametrize("duplicate_mode", ["in_place", "new_slot"])
@pytest.mark.parametrize("goal_mode", ["stop_before_goal", "expand_popped_batch"])
@pytest.mark.parametrize("algorithm", ["linear_probing", "python_dict"])
def test_every_mode_solves_and_replays(package15, duplicate_mode, goal_mode, algorithm):
    for state in scrambled_states("puzzle15", 3, seed=7, depth=30):
        result = solve(state, package15, env="puzzle15", weight=0.8, batch_size=50,
                       duplicate_update_mode=duplicate_mode, goal_stop_mode=goal_mode,
                       hashtable_algorithm=algorithm)
        assert result["solved"]
        assert replays_to_goal("puzzle15", state, result["moves"])


def test_stored_and_inferred_moves_agree(package15):
    for state in scrambled_states("puzzle15", 4, seed=21, depth=40):
        inferred = solve(state, package15, env="puzzle15", weight=0.7, batch_size=100)
        stored = solve(state, package15, env="puzzle15", weight=0.7, batch_size=100, solution_move_source="stored")
        assert inferred["moves"] == stored["moves"]
        assert inferred["nodes_generated"] == stored["nodes_generated"]


def test_every_cost_dtype_combination_gives_the_same_search(package8):
    state = kestrel_puzzles.scramble("puzzle8", 25, 5)
    names = ["memory_dtype_path_cost", "memory_dtype_heuristic", "memory_dtype_total_cost",
             "memory_dtype_open_cost", "memory_dtype_closed_cost"]
    reference = solve(state, package8, batch_size=8)
    for mask in range(32):
        dtypes = {name: ("float64" if mask >> bit & 1 else "float32") for bit, name in enumerate(names)}
        result = solve(state, package8, batch_size=8, **dtypes)
        # Integer-valued costs are exact in both widths, so the searches coincide.
        assert result["moves"] == reference["moves"], dtypes
        assert result["nodes_generated"] == reference["nodes_generated"], dtypes


def test_mixed_case_environment_name_and_integer_weight(package8):
    state = kestrel_puzzles.scramble("puzzle8", 10, 3)
    result = backend.run_weighted_astar(state, "PuZZle8", package8, 1, 4, "cpu")
    assert result["solved"]


# ---- Outcomes


def test_start_state_that_is_the_goal(package8):
    result = solve(kestrel_puzzles.goal("puzzle8"), package8, operation_breakdown=True)
    assert result["solved"] and result["moves"] == [] and result["nodes_generated"] == 0
    assert not result["search_budget_exceeded"]
    counts = {name: t["call_count"] for name, t in result["operation_timings"].items()}
    assert counts == {"pop": 0, "is_solved": 1, "expand": 0, "check": 0, "heuristic": 1, "push": 0,
                      "iteration": 0}


def test_unsolvable_state_exhausts_open(package8):
    state = kestrel_puzzles.goal("puzzle8").copy()
    state[0], state[1] = state[1], state[0]  # wrong parity: the goal is unreachable
    result = solve(state, package8, batch_size=1000)
    assert not result["solved"] and not result["search_budget_exceeded"] and result["moves"] == []
    # Every state of the odd half is expanded at least once (a node re-reached by a shorter path is
    # expanded again); each expansion yields 4 successors.
    assert result["nodes_generated"] >= 4 * 181440


def test_budget_stops_the_search(package15):
    state = kestrel_puzzles.scramble("puzzle15", 200, 11)
    result = solve(state, package15, env="puzzle15", batch_size=10, search_budget=100)
    assert not result["solved"] and result["search_budget_exceeded"]
    assert result["moves"] == []
    assert 100 <= result["nodes_generated"] < 100 + 40  # stops after the iteration that reached it
    unlimited = solve(state, package15, env="puzzle15", batch_size=10, search_budget=0, weight=0.5)
    assert unlimited["solved"]


def test_result_dictionary_shape(package8):
    state = kestrel_puzzles.scramble("puzzle8", 20, 1)
    plain = solve(state, package8)
    assert list(plain) == ["moves", "nodes_generated", "solve_time", "solved", "search_budget_exceeded"]
    assert isinstance(plain["solve_time"], float) and plain["solve_time"] >= 0.0
    assert all(isinstance(m, int) for m in plain["moves"])
    timed = solve(state, package8, operation_breakdown=True)
    assert list(timed)[-1] == "operation_timings"
    assert list(timed["operation_timings"]) == ["pop", "is_solved", "expand", "check", "heuristic", "push",
                                                "iteration"]
    for entry in timed["operation_timings"].values():
        assert list(entry) == ["total_seconds", "core_seconds", "misc_seconds", "call_count"]
    iterations = timed["operation_timings"]["iteration"]["call_count"]
    assert iterations > 0 and timed["operation_timings"]["pop"]["call_count"] == iterations


# ---- Failures


def test_unknown_environment_is_reported_lower_cased(package8):
    with pytest.raises(ValueError, match=r"^Unknown environment 'no-such-puzzle' for the C\+\+ parallel weighted A\*"):
        solve(np.zeros(4, np.uint8), package8, env="No-Such-Puzzle")


def test_invalid_start_state_is_a_value_error(package8):
    with pytest.raises(ValueError,
                       match=r"^puzzle8 state holds tile 0 twice; a state must be a permutation of 0\.\.8$"):
        solve(np.zeros(9, np.uint8), package8)


def test_missing_manifest(tmp_path):
    state = kestrel_puzzles.scramble("puzzle8", 5, 1)
    missing = str(tmp_path / "nothing.pt2")
    with pytest.raises(RuntimeError, match=re.escape("Unable to open AOTI manifest at " + missing + ".json")):
        solve(state, missing)


@pytest.mark.parametrize("setting, value, message", [
    ("solution_move_source", "Infer", "solution_move_source must be 'infer' or 'stored'"),
    ("duplicate_update_mode", "inplace", "duplicate_update_mode must be 'in_place' or 'new_slot'"),
    ("goal_stop_mode", "", "goal_stop_mode must be 'stop_before_goal' or 'expand_popped_batch'"),
    ("hash_capacity_factor", 1.0, "hash_capacity_factor must be greater than 1.0"),
    ("capacity_mode", "Fixed", "capacity_mode must be 'adaptive' or 'fixed'"),
    ("hashtable_algorithm", "linear-probing", "hashtable_algorithm must be 'linear_probing' or 'python_dict'"),
    ("search_budget", -1, "search_budget must be non-negative"),
    ("initial_open_size", -1, "initial_open_size must be non-negative"),
    ("initial_closed_size", -2, "initial_closed_size must be non-negative"),
    ("memory_dtype_parent_index", "uint8",
     "C++ CPU A* requires a signed integer dtype for memory_dtype_parent_index, received 'uint8'"),
    ("memory_dtype_node_state", "int", "C++ CPU A* supports canonical integer dtype names for "
     "memory_dtype_node_state, received 'int'"),
    ("memory_dtype_heuristic", "float16",
     "C++ CPU A* supports float32 and float64 for memory_dtype_heuristic, received 'float16'"),
])
def test_settings_messages(package8, setting, value, message):
    state = kestrel_puzzles.scramble("puzzle8", 5, 1)
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        solve(state, package8, **{setting: value})


def test_storage_type_error_is_reported_before_search_options(package8):
    state = kestrel_puzzles.scramble("puzzle8", 5, 1)
    with pytest.raises(ValueError, match="memory_dtype_open_cost"):
        solve(state, package8, goal_stop_mode="bad", memory_dtype_open_cost="double")


@pytest.mark.parametrize("hints, message", [
    ({"initial_node_store_size": 1}, "C++ node store reached fixed capacity"),
    ({"initial_open_size": 1}, "C++ OPEN queue reached fixed capacity"),
    ({"initial_closed_size": 1}, "C++ CLOSED state table reached fixed capacity"),
])
def test_fixed_capacity_failures(package8, hints, message):
    state = kestrel_puzzles.scramble("puzzle8", 20, 2)
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        solve(state, package8, capacity_mode="fixed", **hints)


def test_adaptive_capacity_grows_from_tiny_hints(package8):
    state = kestrel_puzzles.scramble("puzzle8", 30, 2)
    # Linear probing: the dictionary-style sequence may miss the free slots of a tiny table.
    result = solve(state, package8, initial_open_size=1, initial_closed_size=1, initial_node_store_size=1,
                   hashtable_algorithm="linear_probing")
    assert result["solved"]


# ---- Argument conversion


@pytest.mark.parametrize("state", [
    b"\x01\x02\x00",
    [1, 2, 0],
    np.arange(9, dtype=np.int64),
    np.arange(9, dtype=np.uint8).reshape(3, 3),
    np.arange(18, dtype=np.uint8)[::2],
])
def test_state_is_never_converted(package8, state):
    with pytest.raises(TypeError, match=INCOMPATIBLE):
        solve(state, package8)


def test_read_only_state_is_rejected(package8):
    state = kestrel_puzzles.goal("puzzle8")
    state.flags.writeable = False
    with pytest.raises(TypeError, match=INCOMPATIBLE):
        solve(state, package8)


def test_torch_tensor_state_is_accepted(package8):
    import torch
    state = torch.from_numpy(kestrel_puzzles.scramble("puzzle8", 8, 4))
    assert solve(state, package8)["solved"]


@pytest.mark.parametrize("kwargs", [
    {"search_budget": 1.0},
    {"batch_size": 2 ** 31},
    {"batch_size": 1.5},
    {"print_internals": 1},
    {"operation_breakdown": None},
    {"weight": "1.0"},
    {"env": b"puzzle8"},
])
def test_conversion_failures_are_type_errors(package8, kwargs):
    args = {"env": "puzzle8", "weight": 1.0, "batch_size": 1}
    args.update(kwargs)
    state = kestrel_puzzles.scramble("puzzle8", 5, 1)
    with pytest.raises(TypeError, match=INCOMPATIBLE):
        backend.run_weighted_astar(state, args.pop("env"), package8, args.pop("weight"), args.pop("batch_size"),
                                   "cpu", **args)


def test_binding_checks_come_in_order(package8):
    empty = np.zeros(0, np.uint8)
    with pytest.raises(ValueError, match=r"^batch_size must be positive$"):
        solve(empty, package8, batch_size=0)
    with pytest.raises(ValueError, match=r"^batch_size must be positive$"):
        solve(kestrel_puzzles.goal("puzzle8"), package8, batch_size=-5)
    with pytest.raises(ValueError, match=r"^State payload must contain at least one entry$"):
        solve(empty, package8, batch_size=1)


def test_numeric_string_converts_for_int_parameters(package8):
    state = kestrel_puzzles.scramble("puzzle8", 6, 1)
    assert solve(state, package8, batch_size="4", search_budget="0")["solved"]


# ---- Console output and profiling


def test_print_internals_goes_to_sys_stdout(package8, capsys):
    state = kestrel_puzzles.scramble("puzzle8", 12, 3)
    solve(state, package8, batch_size=4, print_internals=True)
    out = capsys.readouterr().out
    assert re.search(r"^Itr: 0, Added to OPEN - Min/Max Heur\(PathCost\): \d+\.\d\d\(1\.00\)/\d+\.\d\d\(1\.00\) $",
                     out, re.M)
    times = re.findall(r"^Times - pop: \S+, expand: \S+, is_solved: \S+, check: \S+, heuristic: \S+, push: \S+, "
                       r"iteration: \S+$", out, re.M)
    assert times


def test_manifest_for_another_environment_warns_on_stderr(package8, tmp_path, capsys):
    package = tmp_path / "renamed.pt2"
    with open(package8, "rb") as source:
        package.write_bytes(source.read())
    with open(package8 + ".json") as source:
        manifest = json.load(source)
    manifest["env"] = "Puzzle15"
    (tmp_path / "renamed.pt2.json").write_text(json.dumps(manifest))
    state = kestrel_puzzles.scramble("puzzle8", 6, 1)
    assert solve(state, str(package), env="PUZZLE8")["solved"]
    assert capsys.readouterr().err == "[WARN] AOTI manifest env 'Puzzle15' differs from requested 'PUZZLE8'\n"
    manifest["env"] = "PUZZLE8"
    (tmp_path / "renamed.pt2.json").write_text(json.dumps(manifest))
    solve(state, str(package), env="puzzle8")
    assert capsys.readouterr().err == ""


def test_profiler_artifacts(package8, tmp_path):
    state = kestrel_puzzles.scramble("puzzle8", 14, 2)
    directory = tmp_path / "out" / "nested"
    solve(state, package8, batch_size=4, profile_dir=str(directory), profile_trace=True, profile_summary=True,
          profile_run_id="run7")
    trace = json.loads((directory / "run7_trace.json").read_text())
    assert trace["displayTimeUnit"] == "ms"
    names = {event["name"] for event in trace["traceEvents"]}
    assert {"pwas.is_solved", "pwas.expand", "pwas.iteration", "pwas.heuristic_infer", "pwas.total"} <= names
    assert all(event["ph"] == "X" and event["pid"] == 0 and event["tid"] == 0 for event in trace["traceEvents"])
    summary = (directory / "run7_summary.txt").read_text().splitlines()
    assert summary[0] == "Phase                       Count    Avg ms    Max ms    Total ms"
    assert summary[1] == "-" * 65
    assert all(len(line) == 65 for line in summary[2:])
    assert {line[:26].strip() for line in summary[2:]} == names


def test_profiling_defaults_and_switches(package8, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    state = kestrel_puzzles.scramble("puzzle8", 6, 2)
    solve(state, package8, profile_dir=str(tmp_path / "unused"))
    assert not (tmp_path / "unused").exists()
    solve(state, package8, profile_summary=True)
    assert sorted(os.listdir(tmp_path / "profile")) == ["cpp_pwas_summary.txt"]


def test_profile_directory_that_is_a_file_fails_the_solve(package8, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(RuntimeError, match=r"cannot create directories: Not a directory"):
        solve(kestrel_puzzles.scramble("puzzle8", 6, 2), package8, profile_dir=str(blocker / "sub"),
              profile_trace=True)


# ---- Threads


def test_python_threads_run_during_a_solve(package15):
    state = kestrel_puzzles.scramble("puzzle15", 60, 8)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        start = time.perf_counter()
        result = solve(state, package15, env="puzzle15", weight=1.0, batch_size=10, search_budget=200000)
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    assert result["nodes_generated"] > 0
    during = [t for t in ticks if start < t < end]
    assert len(during) >= 0.2 * (end - start) / 0.001 or end - start < 0.05


def test_several_threads_solve_at_once(package8):
    states = scrambled_states("puzzle8", 6, seed=300)
    expected = [solve(state, package8, batch_size=16)["moves"] for state in states]
    results = [None] * len(states)

    def worker(i):
        results[i] = solve(states[i], package8, batch_size=16)["moves"]

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(states))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected
