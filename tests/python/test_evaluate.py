"""The evaluate command and the results file: settings refused before any
solve, results streamed to disk and resumed, old files never destroyed, and
the two file formats read back alike."""

import errno
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import kestrel_cpp
import kestrel_puzzles
from kestrel_cpp import _results_file, evaluate
from kestrel_cpp.report import compare_runs, read_results, write_results


@pytest.fixture()
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    np.save("states.npy", kestrel_puzzles.scramble_many("puzzle8", 4, 40, seed=3))
    return tmp_path


def stable(entries):
    """Entries without their timings, which differ between equal runs."""
    return [{key: value for key, value in entry.items() if key != "solve_time"} for entry in entries]


def base_args(package, *extra):
    return ["--env", "puzzle8", "--package", package, "--states", "states.npy", "--weight", "1", "--batch-size",
            "16", "--no-progress", *extra]


def prepare_refusal(case, workdir, package8):
    """Files a refusal case needs; returns the package to use."""
    if case == "no manifest":
        shutil.copy(package8, workdir / "copy.pt2")
        return str(workdir / "copy.pt2")
    if case == "npz":
        np.savez("states.npz", states=np.load("states.npy"))
    if case == "int64":
        np.save("wide.npy", np.load("states.npy").astype(np.int64))
    if case == "wrong puzzle":
        return kestrel_puzzles.manhattan_package("puzzle15")
    if case in ("exists", "other run"):
        evaluate.main(base_args(package8, "--out", "old.json"))
    (workdir / "folder").mkdir(exist_ok=True)
    return package8


@pytest.mark.parametrize("case, extra, message", [
    ("unknown env", ["--env", "puzzle9"], "Unknown environment 'puzzle9'"),
    ("nan weight", ["--weight", "nan"], "weight must be a finite number"),
    ("batch 0", ["--batch-size", "0"], "batch_size must be a positive integer"),
    ("cuda", ["--device", "cuda:0"], "needs CUDA"),
    ("tensor", ["--solver", "tensor"], "use the CPU solver"),
    ("no manifest", [], "cannot read the manifest"),
    ("wrong puzzle", [], "expects 256 network inputs per state, but environment 'puzzle8' gives 81"),
    ("typo", ["--option", "serach_budget=100"], "did you mean 'search_budget'"),
    ("flag text", ["--option", "profile_trace=maybe"], "option profile_trace takes true or false"),
    ("bad mode", ["--option", "goal_stop_mode=never"], "the settings fail before any search"),
    ("npz", ["--states", "states.npz"], "give a .npy file"),
    ("int64", ["--states", "wide.npy"], "must hold a 2-D uint8 array"),
    ("workers 0", ["--workers", "0"], "--workers must be a positive integer"),
    ("plugin", ["--plugin", "no_such_plugin"], "cannot import plugin 'no_such_plugin'"),
    ("out folder", ["--out", "folder"], "is a folder"),
    ("out missing folder", ["--out", "missing/results.json"], "does not exist"),
    ("plot format", ["--plot", "x.json"], "unknown figure format"),
    ("exists", ["--out", "old.json"], "already exists; resume it or overwrite it"),
    ("other run", ["--out", "old.json", "--resume", "--weight", "0.5"], "made by another run \\(weight 1.0 there"),
])
def test_settings_are_refused_before_any_solve(workdir, package8, capsys, monkeypatch, case, extra, message):
    if case == "tensor":
        import torch

        if torch.cuda.is_available():
            pytest.skip("CUDA is available here")
    package = prepare_refusal(case, workdir, package8)
    capsys.readouterr()
    before = {path.name: path.read_bytes() for path in workdir.iterdir() if path.is_file()}
    solves = []
    monkeypatch.setattr("kestrel_cpp._jobs.SOLVER_FUNCTIONS", {"cpu": lambda *a, **k: solves.append(a)})
    started = time.perf_counter()
    code = evaluate.main(base_args(package, *extra))
    elapsed = time.perf_counter() - started
    err = capsys.readouterr().err
    assert code == 2 and solves == [] and elapsed < 5
    assert len(err.strip().splitlines()) == 1 and err.startswith("error: "), err
    assert __import__("re").search(message, err), err
    assert {path.name: path.read_bytes() for path in workdir.iterdir() if path.is_file()} == before


def test_sigterm_keeps_finished_states_and_resume_completes_the_run(tmp_path):
    package = kestrel_puzzles.manhattan_package("puzzle15")
    np.save(tmp_path / "states.npy", kestrel_puzzles.scramble_many("puzzle15", 8, 1000, seed=0))

    def command(out, *extra):
        return [sys.executable, "-m", "kestrel_cpp.evaluate", "--env", "puzzle15", "--package", package, "--states",
                "states.npy", "--weight", "0.6", "--batch-size", "1000", "--workers", "1", "--out", out, *extra]

    run = subprocess.Popen(command("cut.json"), cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True)
    cut = tmp_path / "cut.json"
    deadline = time.monotonic() + 120
    while not (cut.exists() and len(cut.read_text().splitlines()) >= 2) and time.monotonic() < deadline:
        time.sleep(0.05)
    run.send_signal(signal.SIGTERM)
    signalled = time.monotonic()
    out, err = run.communicate(timeout=30)
    assert run.returncode == 143, err
    assert time.monotonic() - signalled < 3
    assert "INTERRUPTED" in out and "continue with --resume" in out
    kept = read_results(cut)
    assert 2 <= len(kept) < 8

    resumed = subprocess.run(command("cut.json", "--resume"), cwd=tmp_path, capture_output=True, text=True,
                             timeout=300)
    assert resumed.returncode == 0, resumed.stderr
    whole = subprocess.run(command("whole.json"), cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert whole.returncode == 0, whole.stderr
    finished = read_results(cut)
    assert [entry["index"] for entry in finished] == list(range(8))
    assert stable(finished) == stable(read_results(tmp_path / "whole.json"))
    assert stable(finished[: len(kept)]) != [] and all(entry in stable(finished) for entry in stable(kept))


def test_a_failing_write_leaves_the_old_file_whole(workdir, package8, monkeypatch):
    assert evaluate.main(base_args(package8, "--out", "old.csv")) == 0
    old = (workdir / "old.csv").read_bytes()
    record = (workdir / "old.csv.run.json").read_bytes()

    def full_disk(fd, data):
        raise OSError(errno.ENOSPC, "No space left on device")

    real_write = os.write
    monkeypatch.setattr(_results_file.os, "write", full_disk)
    with pytest.raises(kestrel_cpp.SolveManyInterrupted, match=r"^the set was interrupted after \d+ of 4 states$") \
            as stopped:
        kestrel_cpp.solve_many(np.load("states.npy"), "puzzle8", package8, 2.0, 16, progress=False,
                               out="old.csv", overwrite=True)
    assert isinstance(stopped.value.__cause__, OSError)
    assert (workdir / "old.csv").read_bytes() == old and (workdir / "old.csv.run.json").read_bytes() == record
    assert sorted(path.name for path in workdir.iterdir()) == ["old.csv", "old.csv.run.json", "states.npy"]

    # The final rewrite in index order fails: the streamed file keeps every entry, and the set still returns.
    monkeypatch.setattr(_results_file.os, "write", real_write)
    monkeypatch.setattr(_results_file, "atomic_write", lambda path, write: (_ for _ in ()).throw(OSError("full")))
    with pytest.warns(UserWarning, match=r"could not rewrite 'new\.json' in index order \(full\)"):
        results = kestrel_cpp.solve_many(np.load("states.npy"), "puzzle8", package8, 2.0, 16, progress=False,
                                         out="new.json")
    assert sorted(entry["index"] for entry in read_results("new.json")) == [entry["index"] for entry in results]


def test_both_formats_read_back_the_same_entries(tmp_path):
    entries = [
        {"index": 0, "moves": [1, 2], "nodes_generated": 10, "solve_time": 0.5, "solved": True,
         "search_budget_exceeded": False, "solution_length": 2, "time_limit_exceeded": False},
        {"index": 1, "moves": [], "nodes_generated": 99, "solve_time": 1.5, "solved": False,
         "search_budget_exceeded": True, "solution_length": None, "time_limit_exceeded": False,
         "operation_timings": {"pop": {"total_seconds": 0.1, "core_seconds": 0.1, "misc_seconds": 0.0,
                                       "call_count": 3}}},
        {"index": 2, "solved": False, "time_limit_exceeded": True, "solve_time": 3.0},
        {"index": 3, "solved": False, "error_type": "ValueError", "error_message": 'bad, "quoted"\nstate'},
    ]
    for name in ("r.json", "r.csv"):
        write_results(entries, tmp_path / name)
        assert read_results(tmp_path / name) == entries
    (tmp_path / "old.json").write_text(json.dumps(entries[:1]))  # the list format of earlier versions
    assert read_results(tmp_path / "old.json") == entries[:1]
    with pytest.raises(ValueError, match=r"\.json or \.csv"):
        read_results(tmp_path / "r.txt")


def test_compare_runs_pairs_the_states_both_solved():
    def entry(index, length, nodes, seconds):
        return {"index": index, "solved": True, "moves": [0] * length, "nodes_generated": nodes,
                "solve_time": seconds}

    here = [entry(0, 10, 100, 1.0), entry(1, 12, 300, 1.0), entry(2, 9, 50, 0.5),
            {"index": 3, "solved": False, "moves": [], "nodes_generated": 5, "solve_time": 0.1}]
    there = [entry(0, 12, 200, 2.0), entry(1, 12, 300, 0.5), entry(2, 8, 100, 1.0), entry(3, 7, 10, 0.1)]
    assert compare_runs(here, there) == {
        "paired_states": 3, "shorter": 1, "equal": 1, "longer": 1, "median_nodes_ratio": 0.5,
        "median_solve_time_ratio": 0.5, "solved_share_difference": -0.25}


def test_a_baseline_and_a_plot_are_reported(workdir, package8, capsys):
    assert evaluate.main(base_args(package8, "--out", "a.json")) == 0
    capsys.readouterr()
    assert evaluate.main(base_args(package8, "--weight", "2", "--out", "b.json", "--baseline", "a.json",
                                   "--plot", "report.png")) == 0
    out = capsys.readouterr().out
    assert "states both solved" in out and "| solved share, here - baseline" in out
    assert "over this run's solved states" in out
    assert (workdir / "report.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not [path for path in workdir.iterdir() if path.name.endswith((".tmp", ".partial"))]
