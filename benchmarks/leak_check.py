"""Memory and memory mappings of one process across many small solves.

Prints resident memory (VmRSS) and the number of memory mappings after each
checkpoint of small "puzzle8" solves, then after a run of failing calls (an
unknown environment, a broken manifest, an unloadable package, a package for
another puzzle). Growth per solve should be zero within noise.

    .venv/bin/python benchmarks/leak_check.py                 # checkpoints 50, 500, 1500
    .venv/bin/python benchmarks/leak_check.py --checkpoints 100 1000 20000
"""

from __future__ import annotations

import argparse
import contextlib
import io
import shutil
import tempfile
import time
from pathlib import Path

import kestrel_puzzles
from kestrel_cpp import _backend_impl as backend


def resident_mib() -> float:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def mappings() -> int:
    return len(Path("/proc/self/maps").read_text().splitlines())


def failing_packages(package: str, folder: Path) -> list[tuple[str, str]]:
    """(env, package path) pairs whose solves fail in different places."""
    bad_manifest = folder / "bad_manifest.pt2"
    shutil.copyfile(package, bad_manifest)
    (folder / "bad_manifest.pt2.json").write_text('{"inputs": [{"numel_per_example": "x"}]}')
    unloadable = folder / "unloadable.pt2"
    unloadable.write_bytes(b"not a package" * 100)
    shutil.copyfile(package + ".json", str(unloadable) + ".json")
    return [("no_such_puzzle", package), ("puzzle8", str(bad_manifest)), ("puzzle8", str(unloadable)),
            ("puzzle8", kestrel_puzzles.manhattan_package("puzzle15"))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--checkpoints", type=int, nargs="+", default=[50, 500, 1500])
    parser.add_argument("--failures", type=int, default=500)
    args = parser.parse_args()

    package = kestrel_puzzles.manhattan_package("puzzle8")
    states = [kestrel_puzzles.scramble("puzzle8", 20, seed) for seed in range(10)]

    print(f"{'after':>22} {'RSS MiB':>9} {'mappings':>9} {'seconds':>8}")
    print(f"{'start':>22} {resident_mib():9.1f} {mappings():9d} {0:8.1f}")
    done = 0
    start = time.perf_counter()
    for checkpoint in sorted(args.checkpoints):
        while done < checkpoint:
            result = backend.run_weighted_astar(states[done % len(states)], "puzzle8", package, 1.0, 16, "cpu")
            assert result["solved"]
            done += 1
        print(f"{f'{done} solves':>22} {resident_mib():9.1f} {mappings():9d} {time.perf_counter() - start:8.1f}")

    with tempfile.TemporaryDirectory() as folder:
        cases = failing_packages(package, Path(folder))
        failed = 0
        with contextlib.redirect_stderr(io.StringIO()):  # the other puzzle's package warns every time
            for i in range(args.failures):
                env, path = cases[i % len(cases)]
                try:
                    backend.run_weighted_astar(states[0], env, path, 1.0, 16, "cpu")
                except (ValueError, RuntimeError):
                    failed += 1
        assert failed == args.failures
        print(f"{f'+{failed} failing calls':>22} {resident_mib():9.1f} {mappings():9d} "
              f"{time.perf_counter() - start:8.1f}")


if __name__ == "__main__":
    main()
