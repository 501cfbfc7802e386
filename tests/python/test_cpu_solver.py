"""run_weighted_astar end to end, through the bundled puzzle plugin and the
Manhattan heuristic package: what only the CPU solver does. What it shares
with the tensor solver is in test_both_solvers.py."""

import importlib.util
import json
import re
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from search_helpers import solve_cpu as solve

import kestrel_puzzles
from kestrel_cpp import _backend_impl as backend

# What the bindings say when an argument does not convert.
INCOMPATIBLE = r"^run_weighted_astar\(\): incompatible function arguments"

# ---- Solutions


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


# ---- Failures


def _python_replay():
    """The plain Python batched A* of the CPU benchmark, which replays a search
    of the CPU solver exactly with exact_order=True."""
    path = Path(__file__).resolve().parents[2] / "benchmarks" / "cpu_solver.py"
    spec = importlib.util.spec_from_file_location("cpu_solver_benchmark", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.PythonWeightedAStar


# Batches of more than 1024 popped nodes run in chunks, and CLOSED grows
# within chunks; the search must be the one a single sequential pass over
# the batch makes, in both duplicate modes.
@pytest.mark.parametrize("batch_size, duplicate_mode", [(2100, "in_place"), (2500, "in_place"), (2500, "new_slot")])
def test_large_batches_search_as_the_python_replay_does(package15, batch_size, duplicate_mode):
    state = kestrel_puzzles.scramble("puzzle15", 100, 3)
    result = solve(state, package15, "puzzle15", 0.8, batch_size, duplicate_update_mode=duplicate_mode)
    replay = _python_replay()("puzzle15", package15).solve(state, 0.8, batch_size, exact_order=True,
                                                           duplicate_mode=duplicate_mode)
    assert (result["nodes_generated"], result["moves"]) == (replay["nodes_generated"], replay["moves"])
    assert result["solved"]


@pytest.mark.parametrize("setting, value, message", [
    ("memory_dtype_parent_index", "uint8",
     "C++ CPU A* requires a signed integer dtype for memory_dtype_parent_index, received 'uint8'"),
    ("memory_dtype_node_state", "int", "C++ CPU A* supports canonical integer dtype names for "
     "memory_dtype_node_state, received 'int'"),
    ("memory_dtype_heuristic", "float16",
     "C++ CPU A* supports float32 and float64 for memory_dtype_heuristic, received 'float16'"),
])
def test_storage_type_messages(package8, setting, value, message):
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


def test_numeric_string_converts_for_int_parameters(package8):
    state = kestrel_puzzles.scramble("puzzle8", 6, 1)
    assert solve(state, package8, batch_size="4", search_budget="0")["solved"]


# ---- Console output and profiling


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
