"""``python -m kestrel_cpp``: what this installation is and what it can use.

Prints the version, torch's version and build, the threads a solve uses, the
CUDA devices, and the installed plugins with their environments.
``--version`` prints the version alone.
"""

from __future__ import annotations

import argparse
import importlib
import sys

import torch

import kestrel_cpp

from .plugins import ENTRY_POINT_GROUP, installed_plugins


def report() -> str:
    lines = [f"kestrel_cpp {kestrel_cpp.__version__}"]
    build = f"CUDA {torch.version.cuda}" if torch.version.cuda else "ROCm" if torch.version.hip else "CPU only"
    lines.append(f"torch {torch.__version__} ({build} build)")
    lines.append(f"threads per solve: {torch.get_num_threads()} (torch.set_num_threads changes it)")
    if torch.cuda.is_available():
        devices = ", ".join(f"cuda:{i} {torch.cuda.get_device_name(i)}" for i in range(torch.cuda.device_count()))
        lines.append(f"CUDA: available: {devices}")
    else:
        lines.append("CUDA: not available (the tensor solver runs on CPU tensors through run_tensor_astar)")
    plugins = installed_plugins()
    lines.append(f"plugins (entry-point group {ENTRY_POINT_GROUP!r}): {len(plugins) or 'none'}")
    for name in plugins:
        try:
            module = importlib.import_module(name)
        except Exception as error:  # a broken plugin is reported, the others still listed
            lines.append(f"  {name}: cannot be imported: {type(error).__name__}: {error}")
            continue
        environments = getattr(module, "ENVIRONMENTS", None)
        listed = ", ".join(environments) if environments else "(its environments are not listed)"
        lines.append(f"  {name}: {listed}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kestrel_cpp", description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", action="store_true", help="print the version only")
    args = parser.parse_args(argv)
    print(kestrel_cpp.__version__ if args.version else report())
    return 0


if __name__ == "__main__":
    sys.exit(main())
