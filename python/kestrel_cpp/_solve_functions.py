"""The solve functions as Python sees them: with real signatures.

Native functions expose no signature to ``inspect.signature``, so notebooks,
``help()`` and IDEs would show no parameters. Each public solve function
forwards to its native twin and carries a signature read from the twin's own
(names, order, defaults and types), with the enumerated options typed as the
values they accept.
"""

from __future__ import annotations

import functools
import inspect
import re
from collections.abc import Callable
from typing import Any, Literal, TypeVar, cast

import numpy as np

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


def with_signature(function: _Function) -> _Function:
    """``function`` behind a Python function whose signature is the native
    one (type checkers keep the native function's type, from its stub)."""
    parameters = [
        inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=default,
                          annotation=MODES.get(name, _TYPES.get(kind, Any)))
        for name, kind, default in native_parameters(function)
    ]

    @functools.wraps(function)
    def solve(*args: Any, **kwargs: Any) -> dict[str, Any]:
        return function(*args, **kwargs)

    solve.__signature__ = inspect.Signature(parameters, return_annotation=dict[str, Any])  # type: ignore[attr-defined]
    del solve.__wrapped__  # the signature above, not the native function's lack of one
    return cast(_Function, solve)
