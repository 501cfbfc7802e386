"""Batched weighted A* over puzzle states, guided by a learned heuristic.

Environment plugins register puzzle environments (installed plugins are
imported on demand; others are imported by hand). Call
:func:`run_weighted_astar` (CPU solver), :func:`run_torch_gpu_astar` (tensor
solver, CUDA/ROCm) or :func:`run_tensor_astar` (the tensor solver on any
device, CPU tensors included) with a state, the environment name and the path
of an AOTInductor heuristic package.
:func:`solve_many` solves a whole test set concurrently (threads or Ray) and
:func:`summarize` gives its figures; ``python -m kestrel_cpp.evaluate`` does
both from the command line.
"""

from importlib import metadata as _metadata
from pathlib import Path

# The extension links LibTorch from the installed torch package; importing torch
# first loads those libraries (and its OpenMP runtime) into the process.
import torch as _torch  # noqa: F401

from . import _backend_impl as _backend_impl
from . import _environments as _environments
from . import _testing as _testing
from ._backend_impl import environment_registrar_capsule
from ._results_file import SetupError
from ._solve_functions import RUN_TENSOR_ASTAR_DOC, with_signature
from .batch import SolveManyInterrupted, solve_many
from .plugins import load_plugins
from .report import summarize
from .results import EnvironmentDescription, SetEntry, SolveResult

run_weighted_astar = with_signature(_backend_impl.run_weighted_astar)
run_torch_gpu_astar = with_signature(_backend_impl.run_torch_gpu_astar)
describe_environment = with_signature(_environments.describe_environment, returns=EnvironmentDescription)
run_tensor_astar = with_signature(_testing.run_torch_astar_on_device, name="run_tensor_astar",
                                  doc=RUN_TENSOR_ASTAR_DOC)

try:
    __version__ = _metadata.version("kestrel_cpp")
except _metadata.PackageNotFoundError:  # imported from a source tree
    __version__ = "0+unknown"

__all__ = [
    "__version__",
    "environment_registrar_capsule",
    "run_weighted_astar",
    "run_torch_gpu_astar",
    "run_tensor_astar",
    "describe_environment",
    "SolveResult",
    "SetEntry",
    "EnvironmentDescription",
    "solve_many",
    "SetupError",
    "SolveManyInterrupted",
    "summarize",
    "load_plugins",
    "get_include",
    "cmake_dir",
]

_PACKAGE_DIR = Path(__file__).resolve().parent


def get_include() -> str:
    """Directory holding the plugin headers (``#include <kestrel/env/...>``)."""
    return str(_PACKAGE_DIR / "include")


def cmake_dir() -> str:
    """Directory holding ``kestrel_cppConfig.cmake`` for ``find_package``."""
    return str(_PACKAGE_DIR / "cmake")
