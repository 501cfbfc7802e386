"""Solving a whole set of states: a pool of solving threads on this machine, or
Ray tasks on a cluster (:mod:`kestrel_cpp._ray_executor`).

The solve functions release the interpreter lock for the whole search, so
Python threads solve truly in parallel. What limits the pool is the cores: each
CPU solve runs OpenMP teams and the network's own threads, and teams that
together ask for more threads than there are cores stall on descheduled
threads. The pool therefore sizes each solve's threads so that workers times
threads stays within the cores.
"""

from __future__ import annotations

import os
import sys
import threading
import time
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from typing import Any

import numpy as np
import torch

from . import _backend_impl
from .plugins import load_plugins

__all__ = ["solve_many", "default_workers"]

SOLVER_FUNCTIONS = {
    "cpu": _backend_impl.run_weighted_astar,
    "tensor": _backend_impl.run_torch_gpu_astar,
}
EXECUTORS = ("threads", "ray")


def available_cores() -> int:
    """Cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def default_workers(solver: str, state_count: int) -> int:
    """Concurrent solves when the caller names none.

    CPU solver: one a core (never more than there are states), since a solve on
    one thread loses little against two while the pool gains a whole core a
    worker. Tensor solver: one, since each solve fills the device on its own
    and a second would double the device memory.
    """
    if solver == "tensor":
        return 1
    return max(1, min(state_count, available_cores()))


def failure_entry(index: int, error: BaseException) -> dict[str, Any]:
    """The entry of a state whose solve raised ``error``."""
    return {"index": index, "solved": False, "error_type": type(error).__name__, "error_message": str(error)}


@dataclass(frozen=True)
class SolveJob:
    """Everything but the state that each solve of a set needs. Picklable, so
    that Ray workers receive it as it is."""

    solver: str
    env: str
    package_path: str
    weight: float
    batch_size: int
    options: dict[str, Any]

    def solve(self, index: int, state: Any, package_path: str | None = None) -> dict[str, Any]:
        """The solver's result for ``state`` with its ``index``, or the failure
        entry of the exception the solve raised. Interrupts propagate."""
        solve = SOLVER_FUNCTIONS[self.solver]
        try:
            result = solve(state, self.env, package_path or self.package_path, self.weight, self.batch_size,
                           **self._options_for(index))
        except Exception as error:
            return failure_entry(index, error)
        return {"index": index, **result}

    def _options_for(self, index: int) -> dict[str, Any]:
        # Concurrent solves writing profiles under one run id would overwrite
        # each other's files: each state gets its own.
        if self.options.get("profile_trace") or self.options.get("profile_summary"):
            base = self.options.get("profile_run_id") or "state"
            return {**self.options, "profile_run_id": f"{base}_{index}"}
        return self.options


def solve_many(
    states: np.ndarray | Sequence[Any],
    env: str,
    package_path: str | os.PathLike[str],
    weight: float,
    batch_size: int,
    *,
    solver: str = "cpu",
    workers: int | None = None,
    progress: bool = True,
    executor: str | None = None,
    ray_address: str | None = None,
    plugins: Sequence[str] | None = None,
    **options: Any,
) -> list[dict[str, Any]]:
    """Solves every state of a set concurrently and returns one entry a state,
    in input order.

    Args:
        states: a 2-D ``uint8`` array holding one state a row, or a sequence of
            1-D states as :func:`run_weighted_astar` takes them.
        env, package_path, weight, batch_size: as for the solve functions.
        solver: ``"cpu"`` (:func:`run_weighted_astar`) or ``"tensor"``
            (:func:`run_torch_gpu_astar`).
        workers: concurrent solves; by default one a core for the CPU solver
            and one for the tensor solver (see :func:`default_workers`). Each
            CPU solve gets ``cores // workers`` threads, at least one.
        progress: show a progress bar (states done, solved so far, nodes
            generated per second) on standard error when it is a terminal or
            a notebook. ``False`` never shows one.
        executor: ``"threads"`` (default) solves on a pool of threads in this
            process; ``"ray"`` runs one Ray task a state. Default: ``"ray"``
            when ``ray_address`` is given.
        ray_address: the cluster to connect to when Ray is not initialised yet
            (``"auto"``, ``"ray://head:10001"``, ...). Without one, and without
            a prior ``ray.init()``, a local Ray instance is started for the
            call and shut down after it.
        plugins: modules that register ``env``, imported here and on every Ray
            worker; default: the installed plugins (entry-point group
            ``kestrel_cpp.plugins``).
        **options: passed unchanged to the solve function (``device`` among
            them; the CPU solver's defaults to ``"cpu"``). With profiling on,
            each state's run id gets ``_<index>`` appended.

    Returns:
        One dictionary a state: the solver's result plus ``"index"``. A state
        whose solve raised instead has ``"index"``, ``"solved": False``,
        ``"error_type"`` and ``"error_message"``; the other states solve on.

    Ctrl-C cancels the whole set: running solves stop at their next iteration
    and ``KeyboardInterrupt`` is raised.
    """
    if solver not in SOLVER_FUNCTIONS:
        raise ValueError(f"solver must be one of {sorted(SOLVER_FUNCTIONS)}, got {solver!r}")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError(f"workers must be a positive integer or None, got {workers!r}")
    if executor is None:
        executor = "ray" if ray_address is not None else "threads"
    if executor not in EXECUTORS:
        raise ValueError(f"executor must be one of {list(EXECUTORS)}, got {executor!r}")
    if ray_address is not None and executor != "ray":
        raise ValueError("ray_address needs executor='ray'")
    package_path = os.fspath(package_path)
    if not os.path.isfile(package_path):
        raise FileNotFoundError(f"package_path {package_path!r} is not a file")
    if plugins is not None:
        load_plugins(plugins)
    if solver == "cpu":
        options.setdefault("device", "cpu")

    rows = state_rows(states)
    job = SolveJob(solver, env, package_path, weight, batch_size, options)
    with ProgressBar(len(rows), enabled=progress) as bar:
        if not rows:
            return []
        if executor == "ray":
            from ._ray_executor import solve_on_ray

            return solve_on_ray(job, rows, workers=workers, ray_address=ray_address, plugins=plugins, bar=bar)
        return _solve_on_threads(job, rows, workers or default_workers(solver, len(rows)), bar)


def state_rows(states: np.ndarray | Sequence[Any]) -> list[Any]:
    """The states one by one. A 2-D array is copied once into a contiguous,
    writable array whose rows the solvers read as they are; the items of a
    sequence are passed on unchanged, so a bad one fails in its own entry."""
    if isinstance(states, np.ndarray):
        if states.ndim != 2:
            raise ValueError(
                f"states must be a 2-D array with one state a row, or a sequence of 1-D states; "
                f"got an array of shape {states.shape}")
        if states.dtype != np.uint8:
            raise TypeError(f"states must hold uint8 values, got {states.dtype}")
        return list(np.array(states, dtype=np.uint8, order="C", copy=True))
    if isinstance(states, (str, bytes)):
        raise TypeError("states must be a 2-D uint8 array or a sequence of states, not a string")
    return list(states)


def _solve_on_threads(job: SolveJob, rows: list[Any], workers: int, bar: ProgressBar) -> list[dict[str, Any]]:
    # The network runs in the solving thread, so torch's thread count in that
    # thread sizes both the solver's OpenMP teams and the network's.
    threads = max(1, available_cores() // workers) if job.solver == "cpu" else None
    caller_threads = torch.get_num_threads()
    cancel = threading.Event()

    def solve_one(index: int, state: Any) -> dict[str, Any]:
        if threads is not None:
            torch.set_num_threads(threads)
        # Ctrl-C reaches only the main thread; the solvers stop a solve on
        # another thread once its Thread object's cancel event is set.
        threading.current_thread().kestrel_cancel_event = cancel
        return job.solve(index, state)

    results: list[dict[str, Any]] = [{}] * len(rows)
    try:
        with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="kestrel-solve") as pool:
            futures = [pool.submit(solve_one, index, state) for index, state in enumerate(rows)]
            try:
                for future in as_completed(futures):
                    entry = future.result()
                    results[entry["index"]] = entry
                    bar.add(entry)
            except BaseException:
                # Ctrl-C reaches only this thread: stop the running solves too,
                # and let the pool's shutdown wait for them (a poll interval
                # plus one iteration).
                cancel.set()
                for future in futures:
                    future.cancel()
                raise
    finally:
        # torch keeps the last count set in any thread as the default of new
        # threads; give the caller's back.
        if threads is not None:
            torch.set_num_threads(caller_threads)
    return results


class ProgressBar:
    """States done, solved so far and generated nodes per second (over wall
    time, all workers together)."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.started = time.perf_counter()
        self.solved = 0
        self.nodes = 0
        self._bar = None
        if enabled and total and _interactive():
            try:
                from tqdm.auto import tqdm
            except ImportError:  # a dependency, but the solve needs no bar
                return
            self._bar = tqdm(total=total, unit="state", desc="solving", dynamic_ncols=True)

    def add(self, entry: dict[str, Any]) -> None:
        self.solved += bool(entry.get("solved"))
        self.nodes += entry.get("nodes_generated", 0)
        if self._bar is not None:
            rate = self.nodes / max(time.perf_counter() - self.started, 1e-9)
            self._bar.set_postfix_str(f"solved {self.solved}, {rate:,.0f} nodes/s", refresh=False)
            self._bar.update(1)

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()


def _interactive() -> bool:
    try:
        if sys.stderr.isatty():
            return True
    except (AttributeError, ValueError):  # replaced or closed stream
        return False
    return "ipykernel" in sys.modules
