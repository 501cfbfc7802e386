"""The checks a set passes before its first solve, so that a setting that
would fail every state fails once, at once, with one clear message
(:class:`SetupError`), instead of once per state after the work."""

from __future__ import annotations

import difflib
import importlib
import json
import math
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import torch

from . import _backend_impl, _environments
from ._jobs import SolveJob
from ._results_file import SetupError
from ._solve_functions import native_parameters
from .plugins import ENTRY_POINT_GROUP, installed_plugins

EXECUTORS = ("threads", "ray")
# The solve functions themselves, for their signatures and the settings check.
SOLVE_FUNCTIONS = {"cpu": _backend_impl.run_weighted_astar, "tensor": _backend_impl.run_torch_gpu_astar}
# Given to the solve functions by position; never options.
POSITIONAL = ("state", "env", "package_path", "weight", "batch_size")


def solver_options(solver: str) -> dict[str, tuple[str, Any]]:
    """The options of a solve function: name -> (type name, default), read
    from the function's own signature."""
    return {name: (kind, default) for name, kind, default in native_parameters(SOLVE_FUNCTIONS[solver])
            if name not in POSITIONAL}


def check_option_names(solver: str, options: dict[str, Any]) -> None:
    known = solver_options(solver)
    for key in options:
        if key in POSITIONAL:
            raise SetupError(f"{key} is not an option: it has its own argument")
        if key not in known:
            near = difflib.get_close_matches(key, known, n=1)
            hint = f"; did you mean {near[0]!r}?" if near else f"; the {solver} solver's options are {', '.join(known)}"
            raise SetupError(f"unknown option {key!r}{hint}")


def option_from_text(solver: str, key: str, text: str) -> Any:
    """An option's value from command-line text, converted to the option's
    type: true/false/yes/no/1/0 for flags, numbers, or the text itself."""
    check_option_names(solver, {key: None})
    kind = solver_options(solver)[key][0]
    if kind == "bool":
        lowered = text.strip().lower()
        if lowered in ("true", "yes", "on", "1"):
            return True
        if lowered in ("false", "no", "off", "0"):
            return False
        raise SetupError(f"option {key} takes true or false, got {text!r}")
    if kind in ("int", "float"):
        try:
            return int(text) if kind == "int" else float(text)
        except ValueError:
            raise SetupError(f"option {key} takes a{'n integer' if kind == 'int' else ' number'}, "
                             f"got {text!r}") from None
    return text


def load_plugin_modules(modules: Sequence[str] | None) -> list[str]:
    """Imports the installed plugins and ``modules``; returns all their names."""
    names = installed_plugins() + [name for name in (modules or ()) if name not in installed_plugins()]
    for name in names:
        try:
            importlib.import_module(name)
        except Exception as error:  # any failure to import is a setup failure
            raise SetupError(f"cannot import plugin {name!r}: {type(error).__name__}: {error}") from None
    return names


def check_scalars(solver: str, weight: Any, batch_size: Any, workers: Any, executor: str,
                  ray_address: str | None) -> None:
    if solver not in SOLVE_FUNCTIONS:
        raise SetupError(f"solver must be one of {sorted(SOLVE_FUNCTIONS)}, got {solver!r}")
    if isinstance(weight, bool) or not isinstance(weight, (int, float)) or not math.isfinite(weight):
        raise SetupError(f"weight must be a finite number, got {weight!r}")
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise SetupError(f"batch_size must be a positive integer, got {batch_size!r}")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise SetupError(f"workers must be a positive integer or None, got {workers!r}")
    if executor not in EXECUTORS:
        raise SetupError(f"executor must be one of {list(EXECUTORS)}, got {executor!r}")
    if ray_address is not None and executor != "ray":
        raise SetupError("ray_address needs executor='ray'")


def check_time_limit(time_limit: Any) -> None:
    if time_limit is None:
        return
    if isinstance(time_limit, bool) or not isinstance(time_limit, (int, float)) or not math.isfinite(time_limit) \
            or time_limit <= 0:
        raise SetupError(f"time_limit must be a positive number of seconds or None, got {time_limit!r}")


def check_package(package_path: str, input_size: int | None, env: str) -> None:
    """The package and its manifest are there, and the manifest's network
    input matches the environment's."""
    package = Path(package_path)
    if not package.is_file():
        raise SetupError(f"heuristic package {package_path!r} is not a file")
    manifest = Path(f"{package_path}.json")
    try:
        inputs = json.loads(manifest.read_text())["inputs"]
        expected = sum(int(spec["numel_per_example"]) for spec in inputs)
    except OSError as error:
        raise SetupError(f"cannot read the manifest {str(manifest)!r} of the heuristic package: "
                         f"{error.strerror or error}") from None
    except (ValueError, KeyError, TypeError) as error:
        raise SetupError(f"the manifest {str(manifest)!r} is not a valid package manifest ({error!r})") from None
    if input_size is not None and expected != input_size:
        raise SetupError(f"the heuristic package expects {expected} network inputs per state, but environment "
                         f"{env!r} gives {input_size}: is the package made for this environment?")


def describe(env: str, first_state: Any, plugins: list[str]) -> dict[str, int] | None:
    """The environment's sizes at the set's first state; None when the first
    state cannot be described (not a uint8 array: its own entry will say)."""
    if not (isinstance(first_state, np.ndarray) and first_state.dtype == np.uint8 and first_state.ndim == 1):
        return None
    try:
        return _environments.describe_environment(env, np.ascontiguousarray(first_state))
    except ValueError as error:
        message = str(error)
        if message.startswith("Unknown environment"):
            loaded = ", ".join(plugins) if plugins else "none"
            raise SetupError(f"{message} Plugins loaded: {loaded}. Load another with --plugin MODULE "
                             f"(plugins=[...] in Python), or declare it under the entry-point group "
                             f"{ENTRY_POINT_GROUP!r}.") from None
        raise SetupError(f"state 0 does not fit environment {env!r}: {message}") from None


def check_device(solver: str, options: dict[str, Any], executor: str) -> None:
    if executor == "ray":
        return  # the devices that count are the cluster's
    if solver == "tensor":
        if not torch.cuda.is_available():
            raise SetupError("the tensor solver needs a CUDA or ROCm device, and torch finds none here; "
                             "use the CPU solver (--solver cpu, or solver='cpu')")
        return
    device = str(options.get("device", "cpu"))
    if device.startswith("cuda") and not torch.cuda.is_available():
        raise SetupError(f"device {device!r} needs CUDA, and torch finds none here; use --device cpu")


def probe(job: SolveJob, first_state: Any) -> None:
    """A one-node solve of the first state with the set's own settings: the
    solver checks everything it checks before a search (the option values,
    the storage types, the device, the package itself) once, here. It also
    loads the package and warms the network up, so the first state's solve
    time is not inflated by either."""
    options = {**job.options, "search_budget": 1, "print_internals": False, "profile_trace": False,
               "profile_summary": False}
    try:
        SOLVE_FUNCTIONS[job.solver](first_state, job.env, job.package_path, job.weight, job.batch_size, **options)
    except (ValueError, TypeError, RuntimeError, OverflowError) as error:
        raise SetupError(f"the settings fail before any search: {type(error).__name__}: "
                         f"{_first_line(str(error))}") from None


def _first_line(text: str) -> str:
    return text.strip().splitlines()[0] if text.strip() else text
