"""solve_many on this machine: daemon threads that each solve one state at a
time, with each thread's OpenMP team sized so that all of them together fit
the cores.

The solve functions release the interpreter lock for the whole search, so
the threads solve truly in parallel. The threads are daemons: an interpreter
that exits does not wait for the set, and the solves stop as it exits.
"""

from __future__ import annotations

import ctypes
import os
import queue
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import torch

from ._jobs import SolveJob

# How long an interrupted set waits for its running solves to unwind: a poll
# interval plus one iteration, with room for a slow iteration.
UNWIND_SECONDS = 10.0


def available_cores() -> int:
    """Cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def solve_on_threads(job: SolveJob, rows: list[tuple[int, Any]], workers: int, cancel: threading.Event,
                     on_entry: Callable[[dict[str, Any]], None], tick: Callable[[], None]) -> None:
    """Solves ``rows`` (index, state) on ``workers`` threads, handing each
    entry to ``on_entry`` on the calling thread as it finishes. Returns when
    all are done or, once ``cancel`` is set, when the running solves have
    stopped. An exception raised on the calling thread (Ctrl-C, or one from
    ``on_entry``) cancels the set the same way and is re-raised after."""
    threads_each = max(1, available_cores() // workers) if job.solver == "cpu" else None
    work: queue.SimpleQueue[tuple[int, Any]] = queue.SimpleQueue()
    for row in rows:
        work.put(row)
    finished: queue.SimpleQueue[dict[str, Any] | BaseException | None] = queue.SimpleQueue()

    def worker() -> None:
        if threads_each is not None:
            use_threads_in_this_thread(threads_each)
        try:
            while not cancel.is_set():
                try:
                    index, state = work.get_nowait()
                except queue.Empty:
                    return
                entry = job.solve(index, state, cancel)
                if entry is not None:
                    finished.put(entry)
        except BaseException as error:  # handed to the calling thread, which raises it
            finished.put(error)
        finally:
            finished.put(None)

    pool = [threading.Thread(target=worker, name=f"kestrel-solve-{n}", daemon=True) for n in range(workers)]
    for thread in pool:
        thread.start()
    running = len(pool)
    try:
        while running:
            try:
                item = finished.get(timeout=0.25)
            except queue.Empty:
                tick()
                continue
            if item is None:
                running -= 1
            elif isinstance(item, BaseException):
                raise item
            else:
                on_entry(item)
    except BaseException:
        cancel.set()
        _drain_while_unwinding(pool, finished, on_entry)
        raise


def _drain_while_unwinding(pool: list[threading.Thread], finished: queue.SimpleQueue, on_entry: Callable) -> None:
    """Waits for the cancelled solves to stop, keeping the entries of solves
    that finished meanwhile."""
    deadline = time.monotonic() + UNWIND_SECONDS
    for thread in pool:
        thread.join(max(0.0, deadline - time.monotonic()))
    while True:
        try:
            item = finished.get_nowait()
        except queue.Empty:
            return
        if isinstance(item, dict):
            try:
                on_entry(item)
            except Exception:  # the first failure is the one raised
                return


def use_threads_in_this_thread(count: int) -> None:
    """Sizes the OpenMP teams of this thread only (the solver's regions and
    the network's operators), leaving torch's process-wide default, and so
    every other thread's setting, untouched. torch.set_num_threads would
    change that default too."""
    torch.get_num_threads()  # torch's lazy per-thread setup first, or it would undo ours later
    openmp = _openmp_runtime()
    if openmp is not None:
        openmp.omp_set_num_threads(count)


_OPENMP: list[Any] = []


def _openmp_runtime() -> Any:
    # The solver core and torch share the OpenMP runtime that torch ships.
    if not _OPENMP:
        library = Path(torch.__file__).parent / "lib" / "libgomp.so.1"
        try:
            _OPENMP.append(ctypes.CDLL(str(library)) if library.exists() else ctypes.CDLL("libgomp.so.1"))
        except OSError:
            _OPENMP.append(None)
    return _OPENMP[0]
