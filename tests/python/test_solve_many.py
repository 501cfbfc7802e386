"""solve_many, summarize and the evaluate command: a test set solved
concurrently on threads or on Ray, failures kept in their own entries, and the
report."""

import csv
import importlib.util
import io
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import kestrel_cpp
import kestrel_puzzles
from kestrel_cpp import _backend_impl as backend
from kestrel_cpp._jobs import SOLVER_FUNCTIONS, SolveJob
from kestrel_cpp.report import read_results, summarize

HAVE_RAY = importlib.util.find_spec("ray") is not None
# Ray's own binaries start with the interpreter's environment and cannot run
# with the sanitizer runtimes preloaded.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
needs_ray = pytest.mark.skipif(not HAVE_RAY or SANITIZED, reason="needs Ray, outside the sanitizer run")


@pytest.fixture(scope="module")
def states8():
    return kestrel_puzzles.scramble_many("puzzle8", 6, 40, seed=3)


@pytest.fixture(scope="module")
def expected8(package8, states8):
    return [comparable(backend.run_weighted_astar(state, "puzzle8", package8, 1.0, 16, "cpu")) for state in states8]


def comparable(entry):
    """An entry without what differs between equal solves, and without what
    solve_many adds."""
    return {key: value for key, value in entry.items() if key not in ("solve_time", "index", "solution_length")}


def solve_set(states, package, **kwargs):
    kwargs.setdefault("progress", False)
    return kestrel_cpp.solve_many(states, "puzzle8", package, 1.0, 16, **kwargs)


def test_results_come_in_input_order_and_equal_single_solves(package8, states8, expected8):
    read_only = states8.copy()
    read_only.flags.writeable = False  # as np.load(..., mmap_mode="r") gives it
    for states in (states8, read_only, list(states8)):
        results = solve_set(states, package8, workers=2)
        assert [entry["index"] for entry in results] == list(range(len(states8)))
        assert [comparable(entry) for entry in results] == expected8


def test_a_failing_state_is_reported_in_its_entry_while_the_others_solve(package8, states8, expected8):
    states = [states8[0], states8[1][:5], states8[2].astype(np.float32), states8[3]]
    results = solve_set(states, package8, workers=2)
    assert comparable(results[0]) == expected8[0] and comparable(results[3]) == expected8[3]
    assert results[1] == {"index": 1, "solved": False, "error_type": "ValueError",
                          "error_message": "puzzle8 state must hold 9 tiles, got 5"}
    assert results[2]["error_type"] == "TypeError" and "incompatible function arguments" in results[2]["error_message"]


@pytest.mark.parametrize("states, kwargs, message", [
    ("rows", {"solver": "gpu"}, "solver must be one of"),
    ("rows", {"workers": 0}, "workers must be a positive integer"),
    ("rows", {"executor": "processes"}, "executor must be one of"),
    ("rows", {"executor": "threads", "ray_address": "auto"}, "ray_address needs executor='ray'"),
    ("rows", {"package_path": "/nonexistent/model.pt2"}, "is not a file"),
    ("rows", {"serach_budget": 5}, "unknown option 'serach_budget'; did you mean 'search_budget'"),
    ("rows", {"duplicate_update_mode": "sideways"}, "the settings fail before any search: ValueError"),
    ("rows", {"time_limit": 0}, "time_limit must be a positive number"),
    ("rows", {"env": "puzzle9"}, "Unknown environment 'puzzle9'.*Plugins loaded: .*kestrel_puzzles"),
    (np.zeros((2, 9), np.float32), {}, "must hold uint8 values"),
    (np.zeros((2, 3, 3), np.uint8), {}, "2-D array"),
    (np.zeros((2, 16), np.uint8), {}, "state 0 does not fit environment 'puzzle8'"),
])
def test_bad_arguments_are_refused_before_any_solve(package8, states8, monkeypatch, states, kwargs, message):
    states = states8 if isinstance(states, str) else states
    package = kwargs.pop("package_path", package8)
    env = kwargs.pop("env", "puzzle8")
    solves = []
    monkeypatch.setitem(SOLVER_FUNCTIONS, "cpu", lambda *args, **options: solves.append(options))
    with pytest.raises(kestrel_cpp.SetupError, match=message):
        kestrel_cpp.solve_many(states, env, package, 1.0, 16, progress=False, **kwargs)
    assert solves == []


def test_the_pool_overlaps_solves_while_python_keeps_running(monkeypatch):
    package = kestrel_puzzles.manhattan_package("puzzle15")
    states = kestrel_puzzles.scramble_many("puzzle15", 4, 1000, seed=0)
    serial = kestrel_cpp.solve_many(states, "puzzle15", package, 0.6, 1000, workers=1, progress=False)

    intervals = []
    solve = SOLVER_FUNCTIONS["cpu"]

    def timed_solve(*args, **kwargs):
        started = time.perf_counter()
        try:
            return solve(*args, **kwargs)
        finally:
            intervals.append((started, time.perf_counter()))

    monkeypatch.setitem(SOLVER_FUNCTIONS, "cpu", timed_solve)
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.wait(0.005):  # light: the solves keep both cores
            ticks += 1

    ticker = threading.Thread(target=tick)
    ticker.start()
    started = time.perf_counter()
    try:
        parallel = kestrel_cpp.solve_many(states, "puzzle15", package, 0.6, 1000, workers=2, progress=False)
    finally:
        stop.set()
        ticker.join()
    wall = time.perf_counter() - started
    assert [comparable(entry) for entry in parallel] == [comparable(entry) for entry in serial]
    assert ticks > wall / 0.005 / 4  # the solves never held the interpreter lock for long
    # Two solves ran at any one time: together they cover about half the time
    # that they add up to.
    busy = sum(end - begin for begin, end in intervals)
    covered, reach = 0.0, 0.0
    for begin, end in sorted(intervals):
        covered += max(0.0, end - max(begin, reach))
        reach = max(reach, end)
    assert len(intervals) == 4 and covered < 0.75 * busy, intervals


def test_ctrl_c_cancels_the_running_solves(sigint_raises):
    package = kestrel_puzzles.manhattan_package("puzzle24")
    # Each of these solves stops at its budget after about ten seconds.
    states = kestrel_puzzles.scramble_many("puzzle24", 4, 1000, seed=0)
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    started = time.perf_counter()
    timer.start()
    with pytest.raises(kestrel_cpp.SolveManyInterrupted, match=r"^the set was interrupted after 0 of 4 states$") \
            as stopped:
        kestrel_cpp.solve_many(states, "puzzle24", package, 1.0, 100, workers=2, progress=False,
                               search_budget=10_000_000)
    assert stopped.value.results == [None] * 4 and isinstance(stopped.value.__cause__, KeyboardInterrupt)
    assert time.perf_counter() - started < 5
    assert not [thread for thread in threading.enumerate() if thread.name.startswith("kestrel-solve")]


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, shown", [(_Terminal(), True), (io.StringIO(), False)])
def test_the_progress_bar_shows_only_on_a_terminal(package8, states8, monkeypatch, stream, shown):
    monkeypatch.setattr(sys, "stderr", stream)
    solve_set(states8, package8, progress=True)
    text = stream.getvalue()
    assert ("6/6" in text and "solved 6" in text and "nodes/s" in text) == shown
    assert bool(text) == shown


def test_profiles_of_concurrent_solves_do_not_overwrite_each_other(package8, states8, tmp_path):
    solve_set(states8[:3], package8, workers=2, profile_summary=True, profile_dir=str(tmp_path),
              profile_run_id="set")
    assert sorted(path.name for path in tmp_path.iterdir()) == [f"set_{i}_summary.txt" for i in range(3)]


def test_summarize_gives_the_figures_researchers_quote():
    results = [
        {"index": 0, "solved": True, "moves": [0, 1, 2], "nodes_generated": 100, "solve_time": 1.0},
        {"index": 1, "solved": True, "moves": [0, 1, 2, 3, 0], "nodes_generated": 300, "solve_time": 2.0},
        {"index": 2, "solved": False, "moves": [], "nodes_generated": 200, "solve_time": 3.0,
         "search_budget_exceeded": True},
        {"index": 3, "solved": False, "error_type": "ValueError", "error_message": "bad state"},
        {"index": 4, "solved": False, "time_limit_exceeded": True, "solve_time": 9.0},
    ]
    assert summarize(results, wall_time=3.0) == {
        "states": 5, "solved": 2, "solved_share": 0.4, "failed": 1, "budget_exceeded": 1, "time_limit_exceeded": 1,
        "mean_solution_length": 4.0, "median_solution_length": 4.0, "mean_nodes_generated": 200.0,
        "mean_solve_time": 2.0, "total_solve_time": 6.0, "nodes_per_second": 100.0,
        "wall_time": 3.0, "wall_nodes_per_second": 200.0}
    empty = summarize([results[3]])
    assert empty["solved_share"] == 0.0 and empty["mean_solution_length"] is None and empty["nodes_per_second"] is None


@needs_ray
def test_ray_tasks_return_what_the_threads_return(package8, states8, expected8, tmp_path):
    import ray

    from kestrel_cpp._ray_executor import PackageFiles, _solve_on_worker

    states = list(states8) + [states8[0][:5]]
    threads = solve_set(states, package8)
    ray.init(num_cpus=2, include_dashboard=False, runtime_env={"env_vars": {"XDG_CACHE_HOME": str(tmp_path)}})
    try:
        on_ray = solve_set(states, package8, executor="ray", workers=2)
        assert [entry["index"] for entry in on_ray] == list(range(len(states)))
        assert [comparable(entry) for entry in on_ray] == [comparable(entry) for entry in threads]
        # A node where the caller's path does not exist writes the shipped
        # package into its own cache and solves with it.
        shipped = [ray.put(PackageFiles.read(package8))]
        job = SolveJob("cpu", "puzzle8", str(tmp_path / "elsewhere.pt2"), 1.0, 16, {"device": "cpu"})
        entry = ray.get(ray.remote(_solve_on_worker).remote(job, 7, states8[2], shipped, ["kestrel_puzzles"]))
        assert comparable(entry) == expected8[2] and entry["index"] == 7
        assert list(tmp_path.glob("kestrel_cpp/*/ray-packages/*/*.pt2.json"))
    finally:
        ray.shutdown()


@pytest.mark.parametrize("out, extra", [
    ("results.json", []),
    pytest.param("results.csv", ["--executor", "ray"], marks=needs_ray),  # a local Ray started for the call
])
def test_the_evaluate_command_prints_the_table_and_writes_results_and_plot(package8, tmp_path, out, extra):
    def run(*args):
        return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=600, cwd=tmp_path)

    made = run("-m", "kestrel_puzzles", "scramble", "puzzle8", "--count", "5", "--moves", "40", "--seed", "3",
               "--out", "states.npy")
    assert made.returncode == 0, made.stderr
    done = run("-m", "kestrel_cpp.evaluate", "--env", "puzzle8", "--package", package8, "--states", "states.npy",
               "--weight", "1.0", "--batch-size", "16", "--out", out, "--plot", "report.png", *extra)
    assert done.returncode == 0, done.stderr
    assert "| solved" in done.stdout and "5 (100.0%)" in done.stdout

    if out.endswith(".json"):
        assert summarize(read_results(tmp_path / out))["solved"] == 5
    else:
        with open(tmp_path / out, newline="") as stream:
            rows = list(csv.DictReader(stream))
        assert [row["index"] for row in rows] == ["0", "1", "2", "3", "4"]
        assert all(row["solved"] == "True" and int(row["solution_length"]) == len(row["moves"].split())
                   for row in rows)
    assert (tmp_path / "report.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_set_can_be_cancelled_from_another_thread_and_keeps_what_finished(package8, states8):
    package = kestrel_puzzles.manhattan_package("puzzle24")
    states = np.concatenate([kestrel_puzzles.scramble_many("puzzle24", 1, 4, seed=1),
                             kestrel_puzzles.scramble_many("puzzle24", 3, 1000, seed=0)])
    cancel = threading.Event()
    outcome = {}

    def run():
        started = time.perf_counter()
        try:
            kestrel_cpp.solve_many(states, "puzzle24", package, 1.0, 100, workers=1, progress=False, cancel=cancel,
                                   search_budget=10_000_000)
        except kestrel_cpp.SolveManyInterrupted as stopped:
            outcome["results"] = stopped.results
        outcome["seconds"] = time.perf_counter() - started

    caller = threading.Thread(target=run)  # not the main thread: no signal reaches it
    caller.start()
    time.sleep(1.0)
    cancelled = time.perf_counter()
    cancel.set()
    caller.join(10)
    assert not caller.is_alive() and time.perf_counter() - cancelled < 3
    assert outcome["results"][0]["solved"] and outcome["results"][1:] == [None] * 3


def test_time_limit_stops_a_state_and_is_reported(package8):
    package = kestrel_puzzles.manhattan_package("puzzle24")
    states = np.concatenate([kestrel_puzzles.scramble_many("puzzle24", 1, 4, seed=1),
                             kestrel_puzzles.scramble_many("puzzle24", 1, 1000, seed=0)])
    started = time.perf_counter()
    quick, slow = kestrel_cpp.solve_many(states, "puzzle24", package, 1.0, 100, workers=1, progress=False,
                                         time_limit=0.5, search_budget=10_000_000)
    assert time.perf_counter() - started < 5
    assert quick["solved"] and quick["time_limit_exceeded"] is False
    assert slow["time_limit_exceeded"] is True and not slow["solved"] and 0.5 <= slow["solve_time"] < 2
    assert summarize([quick, slow])["time_limit_exceeded"] == 1


def test_workers_are_capped_and_other_threads_keep_their_thread_count(package8, states8):
    import torch

    seen = {}
    ready, done = threading.Event(), threading.Event()

    def bystander():
        torch.set_num_threads(1)
        ready.set()
        done.wait()
        seen["bystander"] = torch.get_num_threads()

    thread = threading.Thread(target=bystander)
    thread.start()
    ready.wait()
    caller = torch.get_num_threads()
    with pytest.warns(UserWarning, match="more than the .* cores"):
        results = solve_set(states8, package8, workers=64)
    done.set()
    thread.join()
    assert all(entry["solved"] for entry in results)
    assert seen["bystander"] == 1 and torch.get_num_threads() == caller


def test_an_unreachable_ray_address_is_refused_at_once():
    import socket

    from kestrel_cpp._ray_executor import check_reachable

    with socket.socket() as probe:  # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    started = time.perf_counter()
    with pytest.raises(kestrel_cpp.SetupError, match=r"cannot reach Ray at '127\.0\.0\.1:"):
        check_reachable(f"127.0.0.1:{port}")
    assert time.perf_counter() - started < 5


def test_progress_lines_without_a_terminal(package8, states8, monkeypatch):
    from kestrel_cpp import _progress

    stream = io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    monkeypatch.setattr(_progress, "HEARTBEAT_SECONDS", 0.0)
    solve_set(states8, package8, progress=True)
    lines = stream.getvalue().splitlines()
    assert lines and all(line.startswith("[kestrel_cpp] ") and "states done" in line for line in lines)
    assert "6/6 states done" in lines[-1]
