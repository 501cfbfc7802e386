"""The dictionaries the solve functions and ``solve_many`` return, as types
for editors and type checkers (at run time they are plain dicts)."""

from __future__ import annotations

from typing import NotRequired, TypedDict

__all__ = ["OperationTimingResult", "SolveResult", "SetEntry", "EnvironmentDescription"]


class OperationTimingResult(TypedDict):
    """One operation's timing totals over a solve. ``core_seconds`` is the
    operation's own work (for the heuristic, the network call); ``misc_seconds``
    what the solver does around it in the same region (for the heuristic,
    writing inputs and computing priorities); ``total_seconds`` is their sum."""

    total_seconds: float
    core_seconds: float
    misc_seconds: float
    call_count: int


class SolveResult(TypedDict):
    """What ``run_weighted_astar``, ``run_torch_gpu_astar`` and
    ``run_tensor_astar`` return."""

    moves: list[int]
    nodes_generated: int
    solve_time: float
    solved: bool
    search_budget_exceeded: bool
    # With operation_breakdown=True: "pop", "is_solved", "expand", "check",
    # "heuristic", "push", "iteration".
    operation_timings: NotRequired[dict[str, OperationTimingResult]]


class SetEntry(TypedDict):
    """One state's entry in what ``solve_many`` returns: a ``SolveResult``
    with the state's index and solution length, a time-limit entry (no
    figures but the time), or the entry of a solve that raised."""

    index: int
    solved: bool
    moves: NotRequired[list[int]]
    nodes_generated: NotRequired[int]
    solve_time: NotRequired[float]
    search_budget_exceeded: NotRequired[bool]
    operation_timings: NotRequired[dict[str, OperationTimingResult]]
    solution_length: NotRequired[int | None]
    time_limit_exceeded: NotRequired[bool]
    error_type: NotRequired[str]
    error_message: NotRequired[str]


class EnvironmentDescription(TypedDict):
    """What ``describe_environment`` reports of a CPU environment."""

    state_size: int
    num_moves: int
    input_size: int
