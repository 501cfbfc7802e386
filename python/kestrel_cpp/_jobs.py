"""One solve of a set: what every solve of the set shares, the entry a state
gets, and the control that a solve polls between iterations (cancellation of
the set, the state's time limit)."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from . import _backend_impl

SOLVER_FUNCTIONS: dict[str, Callable[..., dict[str, Any]]] = {
    "cpu": _backend_impl.run_weighted_astar,
    "tensor": _backend_impl.run_torch_gpu_astar,
}

# The solvers poll this attribute of the solving thread's Thread object
# between iterations (anything with is_set()): True cancels the solve with
# KeyboardInterrupt, and an exception raised by is_set() ends it with that
# exception.
CANCEL_ATTRIBUTE = "kestrel_cancel_event"


class TimeLimitExceeded(Exception):
    """A state's solve ran past its time limit."""


class SolveControl:
    """What one solve polls: the set's cancel event and the state's deadline.

    The solvers poll at most every 0.1 s and only between iterations, so a
    solve stops within that plus one iteration."""

    def __init__(self, cancel: threading.Event, time_limit: float | None) -> None:
        self._cancel = cancel
        self._deadline = None if time_limit is None else time.monotonic() + time_limit

    def is_set(self) -> bool:
        if self._cancel.is_set():
            return True
        if self._deadline is not None and time.monotonic() >= self._deadline:
            raise TimeLimitExceeded
        return False


def failure_entry(index: int, error: BaseException) -> dict[str, Any]:
    """The entry of a state whose solve raised ``error``."""
    return {"index": index, "solved": False, "error_type": type(error).__name__, "error_message": str(error)}


def result_entry(index: int, result: dict[str, Any], time_limit: float | None) -> dict[str, Any]:
    """The entry of a finished solve: the solver's result with the state's
    index and its solution length (None when unsolved)."""
    entry = {"index": index, **result}
    entry["solution_length"] = len(result["moves"]) if result["solved"] else None
    if time_limit is not None:
        entry["time_limit_exceeded"] = False
    return entry


def time_limit_entry(index: int, elapsed: float) -> dict[str, Any]:
    """The entry of a state whose solve was stopped at its time limit; the
    solver returns no figures for a stopped solve."""
    return {"index": index, "solved": False, "time_limit_exceeded": True, "solve_time": elapsed}


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
    time_limit: float | None = None

    def solve(self, index: int, state: Any, cancel: threading.Event | None = None,
              package_path: str | None = None) -> dict[str, Any] | None:
        """The entry of ``state``: the solver's result, a time-limit entry or
        the failure entry of the exception the solve raised. None when the set
        was cancelled during the solve (the state has no result)."""
        cancel = cancel or threading.Event()
        thread = threading.current_thread()
        previous = getattr(thread, CANCEL_ATTRIBUTE, None)
        setattr(thread, CANCEL_ATTRIBUTE, SolveControl(cancel, self.time_limit))
        solve = SOLVER_FUNCTIONS[self.solver]
        started = time.perf_counter()
        try:
            result = solve(state, self.env, package_path or self.package_path, self.weight, self.batch_size,
                           **self.options_for(index))
        except TimeLimitExceeded:
            return time_limit_entry(index, time.perf_counter() - started)
        except KeyboardInterrupt:
            if cancel.is_set():
                return None
            raise
        except Exception as error:
            return failure_entry(index, error)
        finally:
            if previous is None:
                delattr(thread, CANCEL_ATTRIBUTE)
            else:
                setattr(thread, CANCEL_ATTRIBUTE, previous)
        return result_entry(index, result, self.time_limit)

    def options_for(self, index: int) -> dict[str, Any]:
        # Concurrent solves writing profiles under one run id would overwrite
        # each other's files: each state gets its own.
        if self.options.get("profile_trace") or self.options.get("profile_summary"):
            base = self.options.get("profile_run_id") or "state"
            return {**self.options, "profile_run_id": f"{base}_{index}"}
        return self.options
