"""The solve functions as Python sees them.

Each public solve function forwards to its native twin and adds what the
native layer cannot give:

- a real signature: native functions expose none to ``inspect.signature``, so
  notebooks, ``help()`` and IDEs would show no parameters. It is read from
  the twin's own (names, order, defaults, types), with the enumerated options
  typed as the values they accept;
- installed plugins loaded on demand: a solve that names an environment no
  plugin registered imports the installed plugins (entry-point group
  ``kestrel_cpp.plugins``) once and tries again; only then does the
  unknown-environment error reach the caller, with a hint;
- a pointer to :func:`run_tensor_astar` after the tensor solver's no-CUDA
  error.
"""

from __future__ import annotations

import functools
import inspect
import re
import threading
from collections.abc import Callable
from typing import Any, Literal, TypeVar, cast

import numpy as np

from .results import SolveResult

# The values each enumerated option accepts.
MODES: dict[str, Any] = {
    "solution_move_source": Literal["infer", "stored"],
    "duplicate_update_mode": Literal["in_place", "new_slot"],
    "hashtable_algorithm": Literal["linear_probing", "python_dict"],
    "goal_stop_mode": Literal["stop_before_goal", "expand_popped_batch"],
    "capacity_mode": Literal["adaptive", "fixed"],
}
_Function = TypeVar("_Function", bound=Callable[..., Any])
_TYPES = {"str": str, "int": int, "float": float, "bool": bool, "ndarray": np.ndarray}


def native_parameters(function: Any) -> list[tuple[str, str, Any]]:
    """(name, type name, default or inspect.Parameter.empty) of each parameter
    of a native function, in order."""
    signature, _, defaults = function.__nb_signature__[0]
    return [(name, kind, defaults[int(default)] if default else inspect.Parameter.empty)
            for name, kind, default in re.findall(r"(\w+): (\w+)(?:\[[^\]]*\])?(?: = \\(\d+))?", signature)]


UNKNOWN_ENVIRONMENT = "Unknown environment"
CUDA_MISSING = "CUDA is not available."

_plugins_loaded = threading.Event()
_plugins_lock = threading.Lock()


def _load_installed_plugins_once() -> bool:
    """Imports the installed plugins the first time it is called; True when
    this call imported them."""
    from .plugins import load_plugins

    with _plugins_lock:
        if _plugins_loaded.is_set():
            return False
        try:
            load_plugins()
        finally:
            _plugins_loaded.set()
        return True


def _unknown_environment_hint(error: ValueError) -> ValueError:
    from .plugins import ENTRY_POINT_GROUP, installed_plugins

    names = ", ".join(installed_plugins()) or "none is installed"
    return ValueError(f"{error} Installed plugins (entry-point group {ENTRY_POINT_GROUP!r}) were imported: {names}. "
                      "A plugin that does not declare itself there must be imported before the solve.")


def with_signature(function: _Function, name: str | None = None, doc: str | None = None,
                   returns: Any = SolveResult) -> _Function:
    """``function`` behind a Python function whose signature is the native
    one (type checkers keep the native function's type, from its stub), that
    loads installed plugins on demand and points from the no-CUDA error to
    the tensor search on any device."""
    parameters = [
        inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=default,
                          annotation=MODES.get(name, _TYPES.get(kind, Any)))
        for name, kind, default in native_parameters(function)
    ]

    @functools.wraps(function)
    def solve(*args: Any, **kwargs: Any) -> dict[str, Any]:
        try:
            return function(*args, **kwargs)
        except ValueError as error:
            if not str(error).startswith(UNKNOWN_ENVIRONMENT):
                raise
            if not _load_installed_plugins_once():
                raise _unknown_environment_hint(error) from None
        except RuntimeError as error:
            if str(error).startswith(CUDA_MISSING):
                raise RuntimeError(f"{error} Without CUDA, kestrel_cpp.run_tensor_astar(..., device='cpu') runs "
                                   "the same tensor search on CPU tensors.") from None
            raise
        try:  # the installed plugins are registered now
            return function(*args, **kwargs)
        except ValueError as error:
            if str(error).startswith(UNKNOWN_ENVIRONMENT):
                raise _unknown_environment_hint(error) from None
            raise

    solve.__signature__ = inspect.Signature(parameters, return_annotation=returns)  # type: ignore[attr-defined]
    if name is not None:
        solve.__name__ = solve.__qualname__ = name
    if doc is not None:
        solve.__doc__ = doc
    del solve.__wrapped__  # the signature above, not the native function's lack of one
    return cast(_Function, solve)


RUN_TENSOR_ASTAR_DOC = """Solve a single puzzle state with the tensor solver on any torch device.

The same search as :func:`run_torch_gpu_astar` (same parameters, defaults
apart from ``device``, checks, result and errors), without its requirement of
a CUDA/ROCm device: ``device="cpu"`` runs it on CPU tensors, for machines
without a GPU and for writing and testing tensor environments. On a GPU it
is exactly :func:`run_torch_gpu_astar`.

Args:
    state: Contiguous CPU uint8 array with shape ``(state_dim,)``.
    env: Environment name registered by an installed environment plugin.
    package_path: Path to the AOTInductor package (.pt2) with its manifest.
    weight: Weighted A* path-cost coefficient: ``f = weight * g + h``.
    batch_size: Maximum nodes popped from OPEN per iteration.
    nnet_batch_size: Maximum rows per network call (0 = automatic).
    device: Torch device of every tensor of the search and of the network
        (``"cpu"``, ``"cuda:0"``, ...).
    **options: every other option of :func:`run_torch_gpu_astar`.

Returns:
    Dict with keys ``moves``, ``nodes_generated``, ``solve_time``, ``solved``,
    ``search_budget_exceeded``, and ``operation_timings`` when requested.
"""
