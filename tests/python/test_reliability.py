"""What a CPU solve does at its boundaries: concurrent solves, repeated
solves, broken packages and manifests, capacity hints at the extremes and
profile artifacts that cannot be written. Every failure is a Python exception
and the next solve in the same process is correct. Refused strings and
weights and interruption, alike in both solvers, are in test_both_solvers.py."""

import functools
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
import zipfile

import numpy as np
import pytest
from search_helpers import solve_cpu

import kestrel_cpp
import kestrel_puzzles

solve = functools.partial(solve_cpu, batch_size=16)


@pytest.fixture(scope="module")
def state8():
    return kestrel_puzzles.scramble("puzzle8", 30, 7)


@pytest.fixture(scope="module")
def reference8(package8, state8):
    return solve(state8, package8)


def copy_package(package, directory, name="copy.pt2", manifest=None):
    """A copy of `package` (and its manifest, or `manifest`) under `directory`."""
    target = directory / name
    shutil.copyfile(package, target)
    if manifest is None:
        shutil.copyfile(package + ".json", str(target) + ".json")
    else:
        (directory / (name + ".json")).write_bytes(manifest if isinstance(manifest, bytes) else manifest.encode())
    return str(target)


def rewritten_package(package, directory, name, rewrite):
    """A copy of the package archive whose members pass through rewrite(name, data) -> data or None (dropped)."""
    target = directory / name
    with zipfile.ZipFile(package) as source, zipfile.ZipFile(target, "w") as copy:
        for member in source.namelist():
            data = rewrite(member, source.read(member))
            if data is not None:
                copy.writestr(member, data)
    shutil.copyfile(package + ".json", str(target) + ".json")
    return str(target)


def run_python(code, **env):
    """Runs `code` in a fresh interpreter; a crash there fails the test instead of the test run."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, **env}, timeout=600)


def memory_mappings():
    with open("/proc/self/maps") as maps:
        return sum(1 for _ in maps)


# ---- Many solves in one process


def test_concurrent_solves_match_serial_solves(package8, tmp_path):
    # Eight threads of short solves over three packages (one a copy at another
    # path) and two puzzles, so that package loads race with each other.
    copy = copy_package(package8, tmp_path)
    result = run_python(f"""
        import sys, threading, kestrel_puzzles
        from kestrel_cpp import _backend_impl as backend
        packages = {{"puzzle8": [{package8!r}, {copy!r}], "puzzle15": [kestrel_puzzles.manhattan_package("puzzle15")]}}
        jobs = [(env, package, kestrel_puzzles.scramble(env, 12, seed))
                for seed in range(3) for env in packages for package in packages[env]]
        def run(job):
            env, package, state = job
            return backend.run_weighted_astar(state, env, package, 1.0, 16, "cpu")["moves"]
        expected = [run(job) for job in jobs]
        failures = []
        def worker(t):
            for i in range(40):
                k = (t * 7 + i) % len(jobs)
                try:
                    if run(jobs[k]) != expected[k]:
                        failures.append("job %d gave another result" % k)
                except Exception as error:
                    failures.append(repr(error))
        for _ in range(4):
            threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
            for thread in threads: thread.start()
            for thread in threads: thread.join()
        print(len(failures), failures[:3])
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.startswith("0 "), result.stdout


def test_repeated_solves_keep_memory_mappings_flat(package8, state8, reference8):
    for _ in range(20):
        solve(state8, package8)
    before = memory_mappings()
    for _ in range(200):
        assert solve(state8, package8)["moves"] == reference8["moves"]
    # Loading the package for every solve used to add six mappings per solve.
    assert memory_mappings() - before < 50


def test_a_package_rewritten_on_disk_is_loaded_afresh(package8, state8, heuristic_packages, tmp_path):
    path = copy_package(package8, tmp_path)
    manhattan = solve(state8, path, batch_size=1)
    # Same path, another network: 2 * (first one-hot element) - 1 for every state.
    affine = str(heuristic_packages.package_dir() / "affine.pt2")
    shutil.copyfile(affine, path)
    with open(path + ".json") as file:
        manifest = file.read()
    other = solve(state8, copy_package(affine, tmp_path, "affine.pt2", manifest), batch_size=1)
    assert solve(state8, path, batch_size=1)["nodes_generated"] == other["nodes_generated"]
    assert other["nodes_generated"] != manhattan["nodes_generated"]


def test_a_failed_load_leaves_no_extraction_folder(package8, tmp_path):
    broken = rewritten_package(package8, tmp_path, "broken.pt2",
                               lambda name, data: b"not a shared object" if name.endswith(".so") else data)
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    result = run_python(f"""
        import kestrel_puzzles
        from kestrel_cpp import _backend_impl as backend
        state = kestrel_puzzles.scramble("puzzle8", 10, 1)
        for _ in range(5):
            try:
                backend.run_weighted_astar(state, "puzzle8", {broken!r}, 1.0, 1, "cpu")
            except RuntimeError as error:
                print(str(error).splitlines()[0][:40])
    """, TMPDIR=str(scratch))
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.count("Error in dlopen") == 5
    assert os.listdir(scratch) == []


# ---- Broken manifests and packages


GOOD_MANIFEST = {"env": "puzzle8", "inputs": [{"name": "x", "numel_per_example": 81, "dtype": "float32",
                                               "shape": ["batch", 81]}]}


def with_input(**fields):
    return json.dumps({**GOOD_MANIFEST, "inputs": [{**GOOD_MANIFEST["inputs"][0], **fields}]})


@pytest.mark.parametrize("manifest, exception, message", [  # message: a regular expression
    ("", RuntimeError, "parse error"),
    ("not json", RuntimeError, "parse error"),
    # A value of the wrong JSON type: the message names the types involved.
    ("[1, 2]", RuntimeError, "array"),
    ('{"env": 8, "inputs": []}', RuntimeError, "string.*number"),
    ('{"inputs": [{"numel_per_example": "81", "shape": ["batch", 81]}]}', RuntimeError, "number.*string"),
    ('{"inputs": [{"numel_per_example": 81, "shape": [81.0]}]}', RuntimeError, "Manifest shape entries must be"),
    ('{"env": "puzzle8"}', RuntimeError, "key 'inputs' not found"),
    ('{"inputs": []}', RuntimeError, "Manifest reported zero-sized network input footprint"),
    (with_input(numel_per_example=0), RuntimeError, "Manifest reported zero-sized network input footprint"),
    (with_input(numel_per_example=-1), RuntimeError, "Environment/network input size mismatch"),
    (with_input(numel_per_example=1e30), RuntimeError, "Environment/network input size mismatch"),
    (json.dumps({"inputs": [{"numel_per_example": -1, "shape": [-1, 1]},  # wraps around to 81 in total
                            {"numel_per_example": 82, "shape": [-1, 82]}]}),
     RuntimeError, "Environment/network input size mismatch"),
    (with_input(shape=["batch", 80]), ValueError, "does not hold numel_per_example elements per example"),
    (with_input(dtype="float16"), ValueError, "Only float32 inputs are supported presently"),
    (b'{"env": "puzzle\xff8", "inputs": []}', RuntimeError, r"ill-formed UTF-8 byte; last read: '\"puzzle\\xff'"),
])
def test_broken_manifests_raise_and_the_next_solve_is_correct(package8, state8, reference8, tmp_path, manifest,
                                                              exception, message):
    with pytest.raises(exception, match=message):
        solve(state8, copy_package(package8, tmp_path, manifest=manifest))
    assert solve(state8, package8)["moves"] == reference8["moves"]


def test_a_ten_megabyte_manifest_loads(package8, state8, reference8, tmp_path):
    manifest = json.dumps({**GOOD_MANIFEST, "notes": "x" * 10_000_000})
    assert solve(state8, copy_package(package8, tmp_path, manifest=manifest))["moves"] == reference8["moves"]


def test_broken_packages_raise_without_a_cpp_stack_trace(package8, state8, reference8, tmp_path):
    with open(package8, "rb") as file:
        payload = file.read()
    truncated = tmp_path / "truncated.pt2"
    truncated.write_bytes(payload[: len(payload) // 2])
    noise = tmp_path / "noise.pt2"
    noise.write_bytes(np.random.default_rng(0).integers(0, 256, 4096, dtype=np.uint8).tobytes())
    wrong = tmp_path / "wrong.pt2"
    with zipfile.ZipFile(wrong, "w") as archive:
        archive.writestr("readme.txt", "not a model")
    for path in (truncated, noise, wrong):
        shutil.copyfile(package8 + ".json", str(path) + ".json")
        with pytest.raises(RuntimeError) as raised:
            solve(state8, str(path))
        assert "frame #" not in str(raised.value), path
    assert solve(state8, package8)["moves"] == reference8["moves"]


MISMATCH = ("Environment/network input size mismatch with manifest metadata: environment 'puzzle8' gives 81 "
            "network inputs per state, the package expects 256 (its manifest was made for environment 'puzzle15')")


def test_a_package_for_another_puzzle_is_refused_with_both_sizes(state8, capsys):
    with pytest.raises(RuntimeError, match="^" + re.escape(MISMATCH) + "$"):
        solve(state8, kestrel_puzzles.manhattan_package("puzzle15"))
    assert "[WARN] AOTI manifest env 'puzzle15' differs from requested 'puzzle8'" in capsys.readouterr().err
    with pytest.raises(RuntimeError, match="^" + re.escape(MISMATCH) + "$"):
        kestrel_cpp.run_tensor_astar(state8, "puzzle8", kestrel_puzzles.manhattan_package("puzzle15"), 1.0, 4,
                                     device="cpu")


# ---- Capacity hints


@pytest.mark.parametrize("setting, value, structure", [
    ("initial_open_size", 10 ** 12, "OPEN queue"),
    ("initial_node_store_size", 2 ** 62, "node store"),
    ("initial_closed_size", 2 ** 62, "CLOSED table"),
    ("initial_closed_size", 2 ** 63 + 1 - 2, "CLOSED table"),
])
def test_capacity_hints_that_cannot_be_reserved_are_refused(package8, state8, setting, value, structure):
    with pytest.raises(ValueError, match=f"^{setting} = {value} would reserve .* for the {structure}, more than"):
        solve(state8, package8, **{setting: value})


def test_a_large_closed_hint_costs_only_what_the_search_touches(package8, state8, reference8):
    # 2**27 slots are 2 GiB of address space, handed out by the kernel page by page.
    assert solve(state8, package8, initial_closed_size=2 ** 27)["moves"] == reference8["moves"]


# ---- Profiling artifacts


def test_an_unwritable_artifact_is_skipped_with_a_warning(package8, state8, tmp_path, capsys):
    (tmp_path / "run_trace.json").mkdir()
    assert solve(state8, package8, profile_dir=str(tmp_path), profile_run_id="run", profile_trace=True,
                 profile_summary=True)["solved"]
    assert capsys.readouterr().err == f"[WARN] Unable to write profiling artifact {tmp_path}/run_trace.json\n"
    assert (tmp_path / "run_summary.txt").is_file()
