"""Solving a whole set of states: ``solve_many`` checks the settings once,
then dispatches the states to a pool of solving threads on this machine
(:mod:`._threads`) or to Ray tasks on a cluster (:mod:`._ray_executor`),
streaming each finished state to the results file when one is named."""

from __future__ import annotations

import hashlib
import os
import threading
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _checks
from ._jobs import SolveJob
from ._progress import Progress
from ._results_file import ResultsFile, SetupError
from ._threads import available_cores, solve_on_threads
from .results import SetEntry

__all__ = ["solve_many", "default_workers", "SolveManyInterrupted", "SetupError"]


class SolveManyInterrupted(KeyboardInterrupt):
    """A set stopped before its end (Ctrl-C, SIGTERM, the cancel event, a
    failed write). ``results`` holds one entry a state in input order, None
    for the states that did not finish; ``out``, when named, holds the same
    finished states. The exception that stopped the set is the cause."""

    def __init__(self, results: list[dict[str, Any] | None]) -> None:
        done = sum(entry is not None for entry in results)
        super().__init__(f"the set was interrupted after {done} of {len(results)} states")
        self.results = results


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
    time_limit: float | None = None,
    out: str | os.PathLike[str] | None = None,
    resume: bool = False,
    overwrite: bool = False,
    cancel: threading.Event | None = None,
    **options: Any,
) -> list[SetEntry]:
    """Solves every state of a set concurrently and returns one entry a state,
    in input order.

    Before the first solve the settings are checked once (the environment,
    the package and its manifest against the environment, the option names,
    the device, the results file, and a one-node solve of the first state
    with the set's settings); a setting that would fail every state raises
    :class:`SetupError` (a ``ValueError``) with one message.

    Args:
        states: a 2-D ``uint8`` array holding one state a row, or a sequence of
            1-D states as :func:`run_weighted_astar` takes them.
        env, package_path, weight, batch_size: as for the solve functions.
        solver: ``"cpu"`` (:func:`run_weighted_astar`) or ``"tensor"``
            (:func:`run_torch_gpu_astar`).
        workers: concurrent solves; by default one a core for the CPU solver
            and one for the tensor solver (see :func:`default_workers`). More
            threads than cores are capped at the cores, with a warning: they
            would only make every solve slower. Each CPU solve gets
            ``cores // workers`` threads, set for its own thread only.
        progress: a progress bar (states done, solved so far, nodes generated
            per second) on standard error when it is a terminal or a
            notebook; otherwise one progress line every 30 s. ``False``
            shows neither.
        executor: ``"threads"`` (default) solves on threads in this process;
            ``"ray"`` runs one Ray task a state. Default: ``"ray"`` when
            ``ray_address`` is given.
        ray_address: the cluster to connect to when Ray is not initialised yet
            (``"auto"``, ``"ray://head:10001"``, ...); one that cannot be
            reached fails within 30 s. Without one, and without a prior
            ``ray.init()``, a local Ray instance on 127.0.0.1 is started for
            the call and shut down after it.
        plugins: modules that register ``env``, imported here and on every Ray
            worker, besides the installed plugins (entry-point group
            ``kestrel_cpp.plugins``), which are always imported.
        time_limit: seconds each state may take; a solve past it stops at its
            next iteration and its entry has ``"time_limit_exceeded": True``
            (every entry then has that key).
        out: a ``.json`` or ``.csv`` file that receives each state's entry as
            it finishes, so nothing finished is lost; once the set completes
            it holds the entries in index order. An existing file is never
            truncated: ``resume=True`` continues it (solving only the states
            it lacks, after checking that it was made by the same states,
            environment, package contents, weight, batch size, solver,
            options and time limit), ``overwrite=True`` replaces it once the
            new run has its first result; with neither, SetupError.
        cancel: an event that stops the set from any thread: running solves
            stop at their next iteration and :class:`SolveManyInterrupted`
            is raised.
        **options: passed unchanged to the solve function (``device`` among
            them; the CPU solver's defaults to ``"cpu"``). With profiling on,
            each state's run id gets ``_<index>`` appended.

    Returns:
        One dictionary a state: the solver's result plus ``"index"`` and
        ``"solution_length"`` (None when unsolved). A state whose solve raised
        instead has ``"index"``, ``"solved": False``, ``"error_type"`` and
        ``"error_message"``; the other states solve on.

    Raises:
        SetupError: a setting that would fail every state, before any solve.
        SolveManyInterrupted: Ctrl-C, SIGTERM (where the program turns it
            into an exception), ``cancel`` or a failed write of ``out``
            stopped the set. Its ``results`` hold the finished states (None
            for the others), and ``out`` holds them too. It is a
            ``KeyboardInterrupt``.
    """
    if executor is None:
        executor = "ray" if ray_address is not None else "threads"
    _checks.check_scalars(solver, weight, batch_size, workers, executor, ray_address)
    _checks.check_time_limit(time_limit)
    if solver == "cpu":
        options.setdefault("device", "cpu")
    _checks.check_option_names(solver, options)
    rows = state_rows(states)
    package_path = os.fspath(package_path)
    loaded = _checks.load_plugin_modules(plugins)
    description = _checks.describe(env, rows[0], loaded) if rows else None
    if description is not None and isinstance(states, np.ndarray) and states.shape[1] != description["state_size"]:
        raise SetupError(f"the states have {states.shape[1]} values a row, but environment {env!r} keeps "
                         f"{description['state_size']}")
    _checks.check_package(package_path, description and description["input_size"], env)
    _checks.check_device(solver, options, executor)
    job = SolveJob(solver, env, package_path, float(weight), batch_size, options, time_limit)
    results_file = None
    if out is not None:
        results_file = ResultsFile(out, run_record(job, states, rows), resume=resume, overwrite=overwrite)
    elif resume or overwrite:
        raise SetupError("resume and overwrite need a results file (out=...)")
    if executor == "ray" and ray_address is not None:
        from ._ray_executor import check_reachable

        check_reachable(ray_address)
    first = next((state for state in rows if _is_state_array(state)), None)
    if first is not None and not (executor == "ray" and solver == "tensor"):
        _checks.probe(job, first)

    if workers is None:
        workers = default_workers(solver, len(rows))
    elif executor == "threads" and workers > available_cores():
        warnings.warn(f"workers={workers} is more than the {available_cores()} cores; using {available_cores()}, "
                      "since more would only slow every solve down", stacklevel=2)
        workers = available_cores()
    return _run(job, rows, workers, executor, ray_address, loaded, progress, results_file, cancel)


def _run(job: SolveJob, rows: list[Any], workers: int, executor: str, ray_address: str | None, plugins: list[str],
         progress: bool, results_file: ResultsFile | None, cancel: threading.Event | None) -> list[dict[str, Any]]:
    results: list[dict[str, Any] | None] = [None] * len(rows)
    if results_file is not None:
        for entry in results_file.done:
            if 0 <= entry.get("index", -1) < len(rows):
                results[entry["index"]] = entry
    todo = [(index, state) for index, state in enumerate(rows) if results[index] is None]
    stop = threading.Event()
    watcher = _forward(cancel, stop) if cancel is not None else None
    with Progress(len(rows), enabled=progress, done_before=len(rows) - len(todo)) as bar:

        def on_entry(entry: dict[str, Any]) -> None:
            results[entry["index"]] = entry
            if results_file is not None:
                results_file.append(entry)
            bar.add(entry)

        try:
            if todo and executor == "ray":
                from ._ray_executor import solve_on_ray

                solve_on_ray(job, todo, workers=workers, ray_address=ray_address, plugins=plugins, cancel=stop,
                             on_entry=on_entry, tick=bar.tick)
            elif todo:
                solve_on_threads(job, todo, workers, stop, on_entry, bar.tick)
        except BaseException as error:
            stop.set()
            if results_file is not None:
                results_file.close()
            raise SolveManyInterrupted(results) from error
        finally:
            if watcher is not None:
                stop.set()
                watcher.join()
        if any(entry is None for entry in results):  # stopped through the cancel event
            if results_file is not None:
                results_file.close()
            raise SolveManyInterrupted(results)
    if results_file is not None:
        try:
            results_file.finish(results)
        except OSError as error:  # every entry is already in the file, in the order they finished
            warnings.warn(f"could not rewrite {str(results_file.path)!r} in index order ({error}); it keeps every "
                          "state's entry in the order the states finished", stacklevel=3)
    return results  # type: ignore[return-value]


def _forward(cancel: threading.Event, stop: threading.Event) -> threading.Thread:
    """Sets ``stop`` once ``cancel`` is set, until ``stop`` is set anyway."""

    def watch() -> None:
        while not stop.is_set():
            if cancel.wait(0.05):
                stop.set()

    thread = threading.Thread(target=watch, name="kestrel-cancel-watch", daemon=True)
    thread.start()
    return thread


def run_record(job: SolveJob, states: Any, rows: list[Any]) -> dict[str, Any]:
    """What made a results file, for resuming it: the states and package by
    content, and every setting that changes a state's result."""
    digest = hashlib.sha256()
    for state in rows:
        data = np.ascontiguousarray(np.asarray(state)).tobytes() if _is_array_like(state) else repr(state).encode()
        digest.update(len(data).to_bytes(8, "little") + data)
    package = hashlib.sha256()
    for path in (job.package_path, f"{job.package_path}.json"):
        with open(path, "rb") as stream:
            for block in iter(lambda: stream.read(1 << 20), b""):
                package.update(block)
    options = {key: value for key, value in sorted(job.options.items())
               if key not in ("print_internals", "profile_dir", "profile_trace", "profile_summary", "profile_run_id",
                              "operation_breakdown", "cuda_sync_timing")}
    return {"states": len(rows), "states_sha256": digest.hexdigest(), "env": job.env.lower(),
            "package_sha256": package.hexdigest(), "weight": job.weight, "batch_size": job.batch_size,
            "solver": job.solver, "options": options, "time_limit": job.time_limit}


def _is_array_like(state: Any) -> bool:
    return isinstance(state, np.ndarray) or hasattr(state, "__array__")


def _is_state_array(state: Any) -> bool:
    return (isinstance(state, np.ndarray) and state.dtype == np.uint8 and state.ndim == 1
            and state.flags.c_contiguous and state.flags.writeable)


def state_rows(states: np.ndarray | Sequence[Any]) -> list[Any]:
    """The states one by one. A 2-D array is copied once into a contiguous,
    writable array whose rows the solvers read as they are; the items of a
    sequence are passed on unchanged, so a bad one fails in its own entry."""
    if isinstance(states, np.ndarray):
        if states.ndim != 2:
            raise SetupError(
                f"states must be a 2-D array with one state a row, or a sequence of 1-D states; "
                f"got an array of shape {states.shape}")
        if states.dtype != np.uint8:
            raise SetupError(f"states must hold uint8 values, got {states.dtype}")
        return list(np.array(states, dtype=np.uint8, order="C", copy=True))
    if isinstance(states, (str, bytes)):
        raise SetupError("states must be a 2-D uint8 array or a sequence of states, not a string")
    return list(states)
