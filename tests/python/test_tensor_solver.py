"""The tensor search (run_torch_gpu_astar) end to end, through the bundled
puzzle plugin and the Manhattan heuristic package: what only the tensor
solver does. What it shares with the CPU solver is in test_both_solvers.py.

On a machine without CUDA every case runs on CPU tensors through the testing
entry (kestrel_cpp._testing.run_torch_astar_on_device). With
KESTREL_TENSOR_DEVICE naming a CUDA device the same cases go through the
public run_torch_gpu_astar on that device (see search_helpers).
"""

import re

import pytest
import torch
from search_helpers import TENSOR_DEVICE, TENSOR_ON_CUDA, replays_to_goal, scrambled_states, tensor_package
from search_helpers import solve_tensor as solve

import kestrel_cpp
import kestrel_puzzles
from kestrel_cpp import _backend_impl as backend
from kestrel_cpp import _testing

CUDA_MISSING = "CUDA is not available. Torch GPU A* requires a CUDA/ROCm device."


# ---- Storage types


@pytest.mark.parametrize("dtypes", [
    {"memory_dtype_node_state": "int64", "memory_dtype_closed_key": "int64"},
    {"memory_dtype_node_state": "int16", "memory_dtype_closed_key": "int16"},
    {"memory_dtype_node_state": "int16", "memory_dtype_closed_key": "int64"},
    {"memory_dtype_path_cost": "float64", "memory_dtype_total_cost": "float64", "memory_dtype_open_cost": "float64",
     "memory_dtype_closed_cost": "float64"},
    {"memory_dtype_parent_index": "int32", "memory_dtype_open_index": "int32"},
    {"memory_dtype_parent_move": "int64", "solution_move_source": "stored"},
    {"memory_dtype_parent_move": "int16", "solution_move_source": "stored"},
    {"memory_dtype_heuristic": "float16"},  # Manhattan distances are small integers: exact in half precision
    {"memory_dtype_heuristic": "bfloat16"},
])
def test_storage_dtypes_keep_the_search_optimal(puzzle8_distances, dtypes):
    for state in scrambled_states("puzzle8", 3, seed=200):
        result = solve(state, **dtypes)
        assert result["solved"]
        assert len(result["moves"]) == puzzle8_distances[bytes(state)]
        assert replays_to_goal("puzzle8", state, result["moves"])


@pytest.mark.parametrize("dtypes", [
    {"memory_dtype_parent_index": "uint8"},  # cannot hold the start node's "no parent" mark
    {"memory_dtype_open_index": "int8"},
    {"memory_dtype_parent_index": "int8"},  # node indices past 127 would wrap
    {"memory_dtype_node_state": "bool"},    # tiles would collapse to 0/1
    {"memory_dtype_closed_key": "bool"},    # distinct states would look like duplicates
    {"memory_dtype_parent_move": "bool", "solution_move_source": "stored"},  # moves 2 and 3 would be stored as 1
])
def test_a_dtype_too_narrow_for_the_search_fails_loudly(dtypes):
    # About a thousand nodes and four moves: more than 8-bit indices and 1-bit moves can hold.
    state = kestrel_puzzles.scramble("puzzle8", 200, 0)
    with pytest.raises((RuntimeError, ValueError), match="memory_dtype_"):
        solve(state, **dtypes)


COST_SETTINGS = ["memory_dtype_path_cost", "memory_dtype_heuristic", "memory_dtype_total_cost",
                 "memory_dtype_open_cost", "memory_dtype_closed_cost"]


@pytest.mark.parametrize("setting", COST_SETTINGS)
def test_every_cost_storage_type_solves_or_is_refused_before_the_search(puzzle8_distances, setting):
    # Integer and half-precision types hold every cost of a short puzzle8
    # search (whole path costs, Manhattan distances); bool holds none.
    state = scrambled_states("puzzle8", 1, seed=201)[0]
    for name in ("int8", "uint8", "int16", "int32", "int64", "float16", "bfloat16", "float64"):
        result = solve(state, **{setting: name})
        assert result["solved"] and len(result["moves"]) == puzzle8_distances[bytes(state)], name
        assert replays_to_goal("puzzle8", state, result["moves"]), name
    with pytest.raises(ValueError, match=f"^{setting} 'bool' cannot hold costs; choose a numeric storage type$"):
        solve(state, **{setting: "bool"})


@pytest.mark.parametrize("dtypes, weight, setting", [
    # A near-greedy search of a long puzzle24 scramble reaches path costs past
    # 127 within a few thousand nodes; with weight 50 the priorities 50g + h
    # pass 127 at the first children.
    ({"memory_dtype_path_cost": "int8"}, 0.05, "memory_dtype_path_cost"),
    ({"memory_dtype_closed_cost": "int8"}, 0.05, "memory_dtype_closed_cost"),
    ({"memory_dtype_total_cost": "int8"}, 50.0, "memory_dtype_total_cost"),
    ({"memory_dtype_open_cost": "int8"}, 50.0, "memory_dtype_open_cost"),
])
def test_a_cost_that_outgrows_its_storage_type_fails_with_the_setting(dtypes, weight, setting):
    state = kestrel_puzzles.scramble("puzzle24", 1000, 0)
    with pytest.raises(RuntimeError, match=f"^{setting} cannot hold the .* this search reaches"):
        solve(state, env="puzzle24", weight=weight, batch_size=64, search_budget=300_000, **dtypes)


# ---- Refused settings


STATE8 = kestrel_puzzles.scramble("puzzle8", 20, 1)


@pytest.mark.parametrize("kwargs, exception, message", [
    # The manifest is read before the capacity hints are checked.
    ({"initial_open_size": -1, "package_path": "/nonexistent/h.pt2"}, RuntimeError,
     "Unable to open AOTI manifest at /nonexistent/h.pt2.json"),
    ({"memory_dtype_node_state": "uint32"}, ValueError, "Unsupported scalar type name: uint32$"),
    ({"memory_dtype_heuristic": "uint32"}, ValueError, "Unsupported scalar type name: uint32$"),
])
def test_refused_settings(kwargs, exception, message):
    with pytest.raises(exception, match="^" + message):
        solve(STATE8, **kwargs)


# ---- The public entry


def test_public_entry_signature_and_docstring():
    doc = backend.run_torch_gpu_astar.__doc__
    signature = doc.splitlines()[0]
    names = re.findall(r"(?:\(|, )(\w+): ", signature)
    assert names[:7] == ["state", "env", "package_path", "weight", "batch_size", "nnet_batch_size", "device"]
    assert len(names) == 34 and names[-1] == "memory_dtype_total_cost"
    for default in ("device: str = 'cuda:0'", "memory_dtype_node_state: str = 'uint8'",
                    "memory_dtype_closed_key: str = 'uint8'", "memory_dtype_parent_move: str = 'int8'"):
        assert default in signature
    assert "Solve a single puzzle state using the LibTorch GPU-only A* searcher." in doc
    assert "RuntimeError: If the C++ GPU searcher cannot initialize or complete." in doc


@pytest.mark.skipif(torch.cuda.is_available(), reason="checks the refusal on a machine without CUDA")
@pytest.mark.parametrize("kwargs, exception, message", [
    ({"goal_stop_mode": "bad"}, ValueError, "goal_stop_mode must be 'stop_before_goal' or 'expand_popped_batch'"),
    ({"search_budget": -1}, ValueError, "search_budget must be non-negative"),
    ({"weight": float("nan")}, ValueError, "weight must be a finite number"),
    ({}, RuntimeError, CUDA_MISSING),
    ({"device": "cpu"}, RuntimeError, CUDA_MISSING),
])
def test_public_entry_without_cuda(kwargs, exception, message):
    args = {"weight": 1.0, **kwargs}
    with pytest.raises(exception, match="^" + re.escape(message)):
        backend.run_torch_gpu_astar(STATE8, "puzzle8", tensor_package("puzzle8"), args.pop("weight"), 1, **args)


@pytest.mark.skipif(torch.cuda.is_available(), reason="needs a machine without CUDA")
def test_without_cuda_the_public_function_points_to_the_tensor_search_on_any_device():
    with pytest.raises(RuntimeError, match=re.escape(CUDA_MISSING + " Without CUDA, kestrel_cpp.run_tensor_astar(")):
        kestrel_cpp.run_torch_gpu_astar(STATE8, "puzzle8", tensor_package("puzzle8"), 1.0, 1)
    on_cpu = kestrel_cpp.run_tensor_astar(STATE8, "puzzle8", tensor_package("puzzle8"), 1.0, 4, device="cpu")
    expected = _testing.run_torch_astar_on_device(STATE8, "puzzle8", tensor_package("puzzle8"), 1.0, 4, device="cpu")
    assert (on_cpu["moves"], on_cpu["nodes_generated"]) == (expected["moves"], expected["nodes_generated"])


def test_an_accelerators_closed_lookups_give_the_same_searches():
    # CPU tensors look CLOSED up in a host loop, an accelerator in blocks of
    # tensor operations; only the work may differ. On CPU tensors even on a
    # GPU machine, so with the package compiled for the CPU.
    package = str(kestrel_puzzles.manhattan_package("puzzle15"))
    for state in scrambled_states("puzzle15", 60, seed=500)[:2]:
        for mode in ("in_place", "new_slot"):
            args = (state, "puzzle15", package, 0.7, 300)
            host = _testing.run_torch_astar_on_device(*args, device="cpu", duplicate_update_mode=mode)
            accelerator = _testing.run_torch_astar_as_accelerator(*args, device="cpu", duplicate_update_mode=mode)
            assert host["solved"]
            assert (host["moves"], host["nodes_generated"]) == (accelerator["moves"], accelerator["nodes_generated"])


# ---- Solving sets


def test_solve_many_runs_the_tensor_solver_state_by_state(monkeypatch):
    from kestrel_cpp import _checks
    from kestrel_cpp._jobs import SOLVER_FUNCTIONS

    if not TENSOR_ON_CUDA:  # the public function, and so the settings check, refuse CPU devices
        monkeypatch.setitem(SOLVER_FUNCTIONS, "tensor", _testing.run_torch_astar_on_device)
        monkeypatch.setitem(_checks.SOLVE_FUNCTIONS, "tensor", _testing.run_torch_astar_on_device)
        monkeypatch.setattr(_checks, "check_device", lambda *args: None)
    states = scrambled_states("puzzle8", 3, 40) + [kestrel_puzzles.scramble("puzzle8", 40, 43)[:4]]
    results = kestrel_cpp.solve_many(states, "puzzle8", tensor_package("puzzle8"), 1.0, 8, solver="tensor", workers=2,
                                     progress=False, device=TENSOR_DEVICE)
    for index, (state, entry) in enumerate(zip(states[:3], results)):
        single = solve(state, batch_size=8)
        assert entry["index"] == index and (entry["moves"], entry["nodes_generated"]) == (
            single["moves"], single["nodes_generated"])
    assert results[3]["error_type"] == "ValueError"
