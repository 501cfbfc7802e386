"""Small heuristic packages for the runner tests, compiled once per machine.

Run as a script, builds whatever is missing (two at a time) and prints the
directory that holds them, for the C++ tests:

    export KESTREL_TEST_PACKAGE_DIR=$(.venv/bin/python tests/support/heuristic_packages.py)

The directory is the package cache's ``heuristic-tests-<VERSION>``; the files
are ``<name>.pt2`` for each name in ``PACKAGES``. Bump ``VERSION`` whenever a
definition below changes, or stale packages will be used.
"""

from __future__ import annotations

import multiprocessing
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import torch
from torch.export import Dim

from kestrel_cpp.export import cache_dir, cached_package, compile_package, export_package

VERSION = "v1"


class MultiInput(torch.nn.Module):
    """x (B, 3), y (B, 2, 2) -> (x . (1, -2, 3) + 10 * sum(y), x + 1).

    The weights are a parameter, so the package must carry constants; the
    second output is there to be ignored (only the first one is read).
    """

    def __init__(self) -> None:
        super().__init__()
        self.weights = torch.nn.Parameter(torch.tensor([1.0, -2.0, 3.0]))

    def forward(self, x: torch.Tensor, y: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        h = x @ self.weights + 10.0 * y.sum(dim=(1, 2))
        return h.unsqueeze(1), x + 1.0


MULTI_INPUT_SHAPES = [("x", (3,)), ("y", (2, 2))]


class Affine(torch.nn.Module):
    """x (B, K) -> 2x - 1, shape (B, K); K may be 0."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return 2.0 * x - 1.0


class Flatten(torch.nn.Module):
    """x (B, K) -> x.flatten() - 1, shape (B * K,): one value per example only when K is 1."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x.flatten() - 1.0


class BatchSum(torch.nn.Module):
    """x (B, K) -> x.sum(0, keepdim=True), shape (1, K) whatever the batch."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x.sum(dim=0, keepdim=True)


class Total(torch.nn.Module):
    """x (B, K) -> x.sum(), a zero-dimensional output."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x.sum()


def _width_package(module: torch.nn.Module, min_width: int) -> object:
    """One (B, K) input with both the batch and the width dynamic, so each test
    chooses the width through the manifest it writes."""

    def build(path: Path) -> None:
        batch = Dim("batch", min=1, max=1 << 20)
        width = Dim("width", min=min_width, max=4096)
        compile_package(module, (torch.rand(4, 3),), [{0: batch, 1: width}], path)

    return build


def _multi_input(path: Path) -> None:
    export_package(MultiInput(), MULTI_INPUT_SHAPES, path, env="heuristic_tests")


PACKAGES = {
    "multi_input": _multi_input,
    "affine": _width_package(Affine(), 0),
    "flatten": _width_package(Flatten(), 1),
    "batch_sum": _width_package(BatchSum(), 1),
    "total": _width_package(Total(), 1),
}


def package_dir() -> Path:
    return cache_dir() / f"heuristic-tests-{VERSION}"


def build_one(name: str) -> Path:
    return cached_package(f"heuristic-tests-{VERSION}/{name}", PACKAGES[name])


def build_all() -> Path:
    """Builds the missing packages, at most two compiles at a time."""
    missing = [name for name in PACKAGES if not (package_dir() / f"{name}.pt2").is_file()]
    if len(missing) == 1:
        build_one(missing[0])
    elif missing:
        # Separate processes: a compile is mostly single-threaded Python and
        # compiler time. Spawned, because forking a process running torch is unsafe.
        with ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context("spawn")) as pool:
            list(pool.map(build_one, missing))
    return package_dir()


if __name__ == "__main__":
    print(build_all())
