"""solve_many on Ray: one task a state, on an existing cluster or on a local
instance started for the call.

Each task imports the plugins, loads the package and solves its state on one
CPU (one GPU as well for the tensor solver). The package travels through Ray's
object store and is written to the worker's package cache only where the
caller's path does not exist on that node, so a cluster needs no shared file
system.
"""

from __future__ import annotations

import hashlib
import logging
import socket
import threading
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

import numpy as np
import torch

from ._jobs import SolveJob, failure_entry
from ._results_file import SetupError
from .plugins import load_plugins

# How long an address may take to answer before the set is refused.
CONNECT_SECONDS = 30.0

_RAY_MISSING = "executor='ray' needs Ray: pip install 'kestrel_cpp[ray]'"


@dataclass(frozen=True)
class PackageFiles:
    """A package and its manifest as bytes."""

    name: str
    package: bytes
    manifest: bytes

    @staticmethod
    def read(path: str) -> PackageFiles:
        package = Path(path)
        return PackageFiles(package.name, package.read_bytes(), Path(f"{package}.json").read_bytes())

    def materialize(self) -> str:
        """Writes the files into this machine's package cache, once per content,
        and returns the package's path there."""
        from .export import cached_package

        digest = hashlib.sha256(self.package + b"\0" + self.manifest).hexdigest()[:24]

        def write(path: Path) -> None:
            Path(path).write_bytes(self.package)
            Path(f"{path}.json").write_bytes(self.manifest)

        return str(cached_package(f"ray-packages/{digest}/{Path(self.name).stem}", write))


def check_reachable(ray_address: str) -> None:
    """Refuses an address where nothing answers, at once: Ray itself would
    retry for ever."""
    if ray_address == "auto" or ("://" in ray_address and not ray_address.startswith("ray://")):
        return
    parts = urlsplit(ray_address if "://" in ray_address else f"ray://{ray_address}")
    if parts.hostname is None or parts.port is None:
        return
    try:
        with socket.create_connection((parts.hostname, parts.port), timeout=CONNECT_SECONDS):
            pass
    except OSError as error:
        raise SetupError(f"cannot reach Ray at {ray_address!r}: {error.strerror or error}") from None


def solve_on_ray(job: SolveJob, rows: list[tuple[int, Any]], *, workers: int | None, ray_address: str | None,
                 plugins: list[str], cancel: threading.Event, on_entry: Callable[[dict[str, Any]], None],
                 tick: Callable[[], None]) -> None:
    """Solves ``rows`` (index, state) as Ray tasks, at most ``workers`` at a
    time, handing each entry to ``on_entry`` as it finishes. Once ``cancel``
    is set, or on an exception here, the pending tasks are cancelled."""
    try:
        import ray
    except ImportError as error:
        raise ImportError(_RAY_MISSING) from error

    started_here = not ray.is_initialized()
    if started_here:
        if ray_address is None:
            # A local instance for this call only: no dashboard, and reachable
            # from this machine alone.
            ray.init(include_dashboard=False, logging_level=logging.WARNING, _node_ip_address="127.0.0.1")
        else:
            check_reachable(ray_address)
            ray.init(address=ray_address, logging_level=logging.WARNING)
    pending: dict[Any, int] = {}
    try:
        # Wrapped in a list so that Ray hands the reference, not the bytes, to
        # the task: only a node without the package fetches it.
        package = [ray.put(PackageFiles.read(job.package_path))]
        resources = {"num_cpus": 1, "num_gpus": 1 if job.solver == "tensor" else 0}
        task = ray.remote(**resources)(_solve_on_worker)
        window = workers or len(rows)
        queue = list(rows)
        queue.reverse()
        while (queue or pending) and not cancel.is_set():
            while queue and len(pending) < window:
                index, state = queue.pop()
                pending[task.remote(job, index, state, package, plugins)] = index
            done, _ = ray.wait(list(pending), num_returns=1, timeout=0.25)
            tick()
            for ref in done:
                index = pending.pop(ref)
                try:
                    entry = ray.get(ref)
                except ray.exceptions.RayError as error:
                    # The task itself failed (a plugin that does not import, a
                    # worker that died): the cause, not Ray's wrapper.
                    entry = failure_entry(index, getattr(error, "cause", None) or error)
                on_entry(entry)
    finally:
        for ref in pending:
            ray.cancel(ref, force=True)
        if started_here:
            ray.shutdown()


def _solve_on_worker(job: SolveJob, index: int, state: Any, package: list[Any], plugins: list[str]) -> dict[str, Any]:
    import ray

    load_plugins(plugins)
    torch.set_num_threads(1)  # the task holds one CPU
    path = job.package_path
    if not (Path(path).is_file() and Path(f"{path}.json").is_file()):
        path = ray.get(package[0]).materialize()
    # Arrays arrive as read-only views of the object store; the solvers take
    # writable states.
    if isinstance(state, np.ndarray) and not state.flags.writeable:
        state = state.copy()
    return job.solve(index, state, package_path=path)
