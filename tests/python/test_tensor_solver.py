"""The tensor search (run_torch_gpu_astar) end to end, through the bundled
puzzle plugin and the Manhattan heuristic package.

On a machine without CUDA every case runs on CPU tensors through the testing
entry (kestrel_cpp._testing.run_torch_astar_on_device). With
KESTREL_TENSOR_DEVICE naming a CUDA device the same cases go through the
public run_torch_gpu_astar on that device, with the packages found in
KESTREL_TENSOR_PACKAGE_DIR (manhattan-<env>.pt2, compiled for that device).
"""

import _thread
import json
import math
import os
import re
import threading
import time

import pytest
import torch
from search_helpers import replays_to_goal, scrambled_states

import kestrel_cpp
import kestrel_puzzles
from kestrel_cpp import _backend_impl as backend
from kestrel_cpp import _testing

DEVICE = os.environ.get("KESTREL_TENSOR_DEVICE", "cpu")
ON_CUDA = DEVICE.startswith("cuda")
NUM_MOVES = 4
TIMING_KEYS = ["pop", "is_solved", "expand", "check", "heuristic", "push", "iteration"]
CUDA_MISSING = "CUDA is not available. Torch GPU A* requires a CUDA/ROCm device."


def package(env):
    directory = os.environ.get("KESTREL_TENSOR_PACKAGE_DIR")
    if directory:
        return os.path.join(directory, f"manhattan-{env}.pt2")
    return str(kestrel_puzzles.manhattan_package(env))


def solve(state, env="puzzle8", weight=1.0, batch_size=1, package_path=None, **kwargs):
    """One tensor search on DEVICE: the public entry on CUDA, the testing entry elsewhere."""
    path = package(env.lower()) if package_path is None else package_path
    entry = backend.run_torch_gpu_astar if ON_CUDA else _testing.run_torch_astar_on_device
    return entry(state, env, path, weight, batch_size, device=DEVICE, **kwargs)


@pytest.fixture
def one_torch_thread():
    """CPU tensor ops on one intra-op thread: on a busy two-core machine, a second
    thread makes the large batches several times slower without changing the search."""
    before = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(before)


# ---- Solutions


def test_weight_one_batch_one_is_optimal_and_matches_the_cpu_solver(package8, puzzle8_distances):
    for state in scrambled_states("puzzle8", 12, seed=100):
        optimal = puzzle8_distances[bytes(state)]
        reference = backend.run_weighted_astar(state, "puzzle8", package8, 1.0, 1, "cpu")
        assert len(reference["moves"]) == optimal
        for source in ("infer", "stored"):
            result = solve(state, solution_move_source=source)
            assert result["solved"] and not result["search_budget_exceeded"]
            assert len(result["moves"]) == optimal, (bytes(state), source)
            assert replays_to_goal("puzzle8", state, result["moves"]), (bytes(state), source)


@pytest.mark.parametrize("duplicate_mode", ["in_place", "new_slot"])
@pytest.mark.parametrize("goal_mode", ["stop_before_goal", "expand_popped_batch"])
@pytest.mark.parametrize("algorithm", ["python_dict", "linear_probing"])
def test_every_mode_solves_and_both_move_sources_agree(duplicate_mode, goal_mode, algorithm):
    # Batch 8 pops several nodes per iteration, so a cheaper path to a queued node does
    # reach the duplicate handling. The plugin's moves lead to distinct states, so the
    # move inferred from a parent and its child is the stored one.
    modes = dict(duplicate_update_mode=duplicate_mode, goal_stop_mode=goal_mode, hashtable_algorithm=algorithm)
    for state in scrambled_states("puzzle8", 3, seed=40):
        inferred = solve(state, batch_size=8, **modes)
        stored = solve(state, batch_size=8, solution_move_source="stored", **modes)
        assert inferred["solved"] and stored["solved"]
        assert replays_to_goal("puzzle8", state, inferred["moves"])
        assert stored["moves"] == inferred["moves"]
        assert stored["nodes_generated"] == inferred["nodes_generated"]


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


# ---- Outcomes


@pytest.mark.parametrize("goal_mode, generated, expanded", [
    ("stop_before_goal", 0, 0),
    ("expand_popped_batch", NUM_MOVES, 1),  # the popped start is expanded once before the search stops
])
def test_start_state_that_is_the_goal(goal_mode, generated, expanded):
    result = solve(kestrel_puzzles.goal("puzzle8"), goal_stop_mode=goal_mode, operation_breakdown=True)
    assert result["solved"] and not result["search_budget_exceeded"]
    assert result["moves"] == [] and result["nodes_generated"] == generated
    counts = {name: timing["call_count"] for name, timing in result["operation_timings"].items()}
    assert counts["expand"] == expanded
    assert counts["heuristic"] == expanded + 1  # the start's own evaluation counts


@pytest.mark.parametrize("budget", [100, 102])
def test_budget_stops_after_the_iteration_that_reaches_it(budget):
    state = kestrel_puzzles.scramble("puzzle15", 200, 11)
    result = solve(state, env="puzzle15", search_budget=budget)
    assert not result["solved"] and result["search_budget_exceeded"] and result["moves"] == []
    # Batch 1 generates NUM_MOVES nodes per iteration; the check follows each iteration.
    assert result["nodes_generated"] == math.ceil(budget / NUM_MOVES) * NUM_MOVES


def test_unsolvable_state_exhausts_open(one_torch_thread):
    state = kestrel_puzzles.goal("puzzle8").copy()
    state[0], state[1] = state[1], state[0]  # wrong parity: the goal is unreachable
    result = solve(state, batch_size=10000)
    assert not result["solved"] and not result["search_budget_exceeded"] and result["moves"] == []
    # All 181440 states of the odd half are expanded, NUM_MOVES successors each.
    assert result["nodes_generated"] >= NUM_MOVES * 181440


# ---- Operation timings, console output and profiling


def test_operation_timings():
    state = kestrel_puzzles.scramble("puzzle8", 40, 101)
    result = solve(state, operation_breakdown=True)
    assert result["solved"] and list(result)[-1] == "operation_timings"
    timings = result["operation_timings"]
    assert list(timings) == TIMING_KEYS
    for name, timing in timings.items():
        assert list(timing) == ["total_seconds", "core_seconds", "misc_seconds", "call_count"], name
        assert timing["total_seconds"] == pytest.approx(timing["core_seconds"] + timing["misc_seconds"], abs=1e-9)
    # Batch 1: one iteration per popped node, each expansion generating NUM_MOVES nodes.
    assert timings["iteration"]["call_count"] >= len(result["moves"]) > 0
    assert result["nodes_generated"] == NUM_MOVES * timings["expand"]["call_count"]
    assert "operation_timings" not in solve(state)


def test_print_internals_goes_to_sys_stdout(capsys):
    solve(kestrel_puzzles.scramble("puzzle8", 40, 103), batch_size=4, print_internals=True)
    out = capsys.readouterr().out
    number = r"\d+\.\d\d"
    assert re.search(rf"^Itr: 0, Added to OPEN - Min/Max Heur\(PathCost\): {number}\({number}\)/{number}\({number}\)",
                     out, re.M)
    assert re.search(r"^Times - pop: \S+, expand: \S+, is_solved: \S+, check: \S+, heuristic: \S+, push: \S+, "
                     r"iteration: \S+$", out, re.M)


@pytest.mark.parametrize("run_id, prefix", [("run7", "run7"), ("", "cpp_torch_gpu")])
def test_profiler_artifacts(tmp_path, run_id, prefix):
    directory = tmp_path / "out" / "nested"
    solve(kestrel_puzzles.scramble("puzzle8", 40, 102), batch_size=4, profile_dir=str(directory),
          profile_trace=True, profile_summary=True, profile_run_id=run_id)
    assert sorted(os.listdir(directory)) == [f"{prefix}_summary.txt", f"{prefix}_trace.json"]
    names = {event["name"] for event in json.loads((directory / f"{prefix}_trace.json").read_text())["traceEvents"]}
    assert "torchgpu.total" in names and all(name.startswith("torchgpu.") for name in names)
    assert "torchgpu.total" in (directory / f"{prefix}_summary.txt").read_text()


# ---- Refused settings


STATE8 = kestrel_puzzles.scramble("puzzle8", 20, 1)
BAD_SETTINGS = [  # in the order the entry checks them
    ("solution_move_source", "Infer", "solution_move_source must be 'infer' or 'stored'"),
    ("duplicate_update_mode", "inplace", "duplicate_update_mode must be 'in_place' or 'new_slot'"),
    ("goal_stop_mode", "", "goal_stop_mode must be 'stop_before_goal' or 'expand_popped_batch'"),
    ("hash_capacity_factor", 1.0, "hash_capacity_factor must be greater than 1.0"),
    ("capacity_mode", "Fixed", "capacity_mode must be 'adaptive' or 'fixed'"),
    ("hashtable_algorithm", "linear-probing", "hashtable_algorithm must be 'linear_probing' or 'python_dict'"),
    ("search_budget", -1, "search_budget must be non-negative"),
]


def test_settings_are_checked_in_order():
    settings = {name: value for name, value, _ in BAD_SETTINGS}
    for name, _, message in BAD_SETTINGS:
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            solve(STATE8, **settings)
        del settings[name]


@pytest.mark.parametrize("kwargs, exception, message", [
    ({"initial_open_size": -1}, ValueError, "initial OPEN, CLOSED, and node-store sizes must be non-negative$"),
    ({"initial_closed_size": -2}, ValueError, "initial OPEN, CLOSED, and node-store sizes must be non-negative$"),
    ({"initial_node_store_size": -1}, ValueError, "initial OPEN, CLOSED, and node-store sizes must be non-negative$"),
    ({"initial_open_size": -1, "package_path": "/nonexistent/h.pt2"}, RuntimeError,
     "Unable to open AOTI manifest at /nonexistent/h.pt2.json"),
    ({"weight": float("nan")}, ValueError, "weight must be a finite number"),
    ({"weight": float("inf")}, ValueError, "weight must be a finite number"),
    ({"weight": 1e300}, ValueError, "weight must be a finite number"),  # infinite as a float32
    ({"env": "puzzle8\x00junk"}, ValueError, "env must not contain a NUL byte$"),
    ({"package_path": "h.pt2\x00junk"}, ValueError, "package_path must not contain a NUL byte$"),
    ({"profile_run_id": "a/b", "profile_trace": True}, ValueError, "profile_run_id"),
    ({"memory_dtype_node_state": "uint32"}, ValueError, "Unsupported scalar type name: uint32$"),
    ({"memory_dtype_heuristic": "uint32"}, ValueError, "Unsupported scalar type name: uint32$"),
    ({"env": "PuzZle9"}, ValueError, "Unknown environment 'PuzZle9' .*Torch GPU A\\*"),
])
def test_refused_settings(tmp_path, kwargs, exception, message):
    if "profile_run_id" in kwargs:
        kwargs = {**kwargs, "profile_dir": str(tmp_path / "p")}
    kwargs = {"package_path": package("puzzle8"), **kwargs}
    with pytest.raises(exception, match="^" + message):
        solve(STATE8, **kwargs)
    assert not (tmp_path / "p").exists()


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
    assert [name for name in vars(backend) if not name.startswith("__")] == [
        "environment_registrar_capsule", "run_weighted_astar", "run_torch_gpu_astar"]


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
        backend.run_torch_gpu_astar(STATE8, "puzzle8", package("puzzle8"), args.pop("weight"), 1, **args)


@pytest.mark.skipif(torch.cuda.is_available(), reason="needs a machine without CUDA")
def test_without_cuda_the_public_function_points_to_the_tensor_search_on_any_device():
    with pytest.raises(RuntimeError, match=re.escape(CUDA_MISSING + " Without CUDA, kestrel_cpp.run_tensor_astar(")):
        kestrel_cpp.run_torch_gpu_astar(STATE8, "puzzle8", package("puzzle8"), 1.0, 1)
    on_cpu = kestrel_cpp.run_tensor_astar(STATE8, "puzzle8", package("puzzle8"), 1.0, 4, device="cpu")
    expected = _testing.run_torch_astar_on_device(STATE8, "puzzle8", package("puzzle8"), 1.0, 4, device="cpu")
    assert (on_cpu["moves"], on_cpu["nodes_generated"]) == (expected["moves"], expected["nodes_generated"])


# ---- Threads and interruption


def test_several_threads_solve_at_once():
    states = scrambled_states("puzzle8", 5, seed=300)
    expected = [solve(state, batch_size=8) for state in states]
    results = {}

    def worker(thread):
        results[thread] = [solve(state, batch_size=8) for state in states]

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    key = [(r["moves"], r["nodes_generated"], r["solved"]) for r in expected]
    assert all(r["solved"] for r in expected)
    for thread in range(4):
        assert [(r["moves"], r["nodes_generated"], r["solved"]) for r in results[thread]] == key


def test_ctrl_c_interrupts_a_long_solve_promptly():
    state = kestrel_puzzles.scramble("puzzle24", 1000, 3)
    timer = threading.Timer(0.3, _thread.interrupt_main)  # what SIGINT does to the main thread
    start = time.perf_counter()
    timer.start()
    # The interrupt's KeyboardInterrupt carries no message: the time it took is what tells it apart.
    with pytest.raises(KeyboardInterrupt):
        # Uninterrupted, this search runs for minutes.
        solve(state, env="puzzle24", batch_size=100, search_budget=20_000_000)
    elapsed = time.perf_counter() - start
    timer.join()
    assert elapsed < 5.0
    after = kestrel_puzzles.scramble("puzzle8", 40, 104)
    result = solve(after)
    assert result["solved"] and replays_to_goal("puzzle8", after, result["moves"])


def test_solve_many_runs_the_tensor_solver_state_by_state(monkeypatch):
    from kestrel_cpp import _checks
    from kestrel_cpp._jobs import SOLVER_FUNCTIONS

    if not ON_CUDA:  # the public function, and so the settings check, refuse CPU devices
        monkeypatch.setitem(SOLVER_FUNCTIONS, "tensor", _testing.run_torch_astar_on_device)
        monkeypatch.setitem(_checks.SOLVE_FUNCTIONS, "tensor", _testing.run_torch_astar_on_device)
        monkeypatch.setattr(_checks, "check_device", lambda *args: None)
    states = scrambled_states("puzzle8", 3, 40) + [kestrel_puzzles.scramble("puzzle8", 40, 43)[:4]]
    results = kestrel_cpp.solve_many(states, "puzzle8", package("puzzle8"), 1.0, 8, solver="tensor", workers=2,
                                     progress=False, device=DEVICE)
    for index, (state, entry) in enumerate(zip(states[:3], results)):
        single = solve(state, batch_size=8)
        assert entry["index"] == index and (entry["moves"], entry["nodes_generated"]) == (
            single["moves"], single["nodes_generated"])
    assert results[3]["error_type"] == "ValueError"
