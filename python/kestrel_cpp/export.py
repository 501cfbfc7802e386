"""Turn a PyTorch heuristic network into a package the solver can load.

The solver reads an AOTInductor package (``.pt2``) plus a JSON manifest beside
it (the package path with ``.json`` appended) that lists the network's inputs.
:func:`export_package` writes both; :func:`cached_package` keeps compiled
packages in a per-user cache so that each is compiled once per machine.

Importing this module compiles nothing.
"""

from __future__ import annotations

import fcntl
import json
import math
import os
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import torch

__all__ = ["export_package", "environment_inputs", "compile_package", "write_manifest", "cache_dir",
           "cached_package"]

# Largest batch a package accepts; the solver's batches are far smaller.
MAX_BATCH = 1 << 20
# Example batch used for tracing. Not 1: tracing with a size of 1 would
# specialise the batch dimension to 1.
_EXAMPLE_BATCH = 2


def compile_package(
    module: torch.nn.Module,
    example_args: Sequence[torch.Tensor],
    dynamic_shapes: Sequence[dict[int, Any]],
    path: str | os.PathLike[str],
) -> str:
    """Export ``module`` and compile it with AOTInductor into ``path`` (a ``.pt2``).

    ``dynamic_shapes`` has one ``{dim: torch.export.Dim}`` mapping per argument.
    Writes no manifest; most callers want :func:`export_package` instead.
    """
    program = torch.export.export(module.eval(), tuple(example_args), dynamic_shapes=tuple(dynamic_shapes))
    return torch._inductor.aoti_compile_and_package(program, package_path=os.fspath(path))


def write_manifest(
    path: str | os.PathLike[str],
    inputs: Sequence[tuple[str, Sequence[int]]],
    output_elements_per_example: int = 1,
    env: str | None = None,
) -> Path:
    """Write the manifest of the package at ``path`` (to ``path + ".json"``)."""
    manifest: dict[str, Any] = {}
    if env is not None:
        manifest["env"] = env
    manifest["inputs"] = [
        {
            "name": name,
            "numel_per_example": math.prod(shape),
            "dtype": "float32",
            "shape": ["batch", *shape],
        }
        for name, shape in inputs
    ]
    manifest["output_elements_per_example"] = output_elements_per_example
    manifest_path = Path(os.fspath(path) + ".json")
    manifest_path.write_text(json.dumps(manifest, indent=2) + "\n")
    return manifest_path


def export_package(
    module: torch.nn.Module,
    inputs: Sequence[tuple[str, Sequence[int]]],
    path: str | os.PathLike[str],
    env: str | None = None,
) -> str:
    """Compile ``module`` into a heuristic package at ``path`` and write its manifest.

    ``inputs`` lists the module's positional float32 arguments in order, each as
    ``(name, per_example_shape)``; the package takes them with an extra leading
    batch dimension of any size from 1 to ``MAX_BATCH``. The module must return
    a tensor (or a tuple whose first element is a tensor) with one row per
    example; the solver reads column 0 as the heuristic and needs one value per
    example. ``env`` names the environment the network was trained for.

    ``path`` must end in ``.pt2``; the manifest goes to ``path + ".json"``.
    Compiling takes tens of seconds, so wrap the call in :func:`cached_package`::

        from kestrel_cpp.export import cached_package, export_package

        package = cached_package(
            "my_puzzle-v1",
            lambda p: export_package(net, [("state", (54,))], p, env="my_puzzle"),
        )

    Returns the package path.
    """
    specs = [(str(name), tuple(int(d) for d in shape)) for name, shape in inputs]
    if not specs:
        raise ValueError("export_package needs at least one input")
    for name, shape in specs:
        if any(d < 1 for d in shape):
            raise ValueError(f"input {name!r}: every per-example dimension must be positive, got {shape}")
    if not os.fspath(path).endswith(".pt2"):
        raise ValueError(f"package path must end in .pt2: {os.fspath(path)}")

    module = module.eval()
    generator = torch.Generator().manual_seed(0)
    example = tuple(torch.rand(_EXAMPLE_BATCH, *shape, generator=generator) for _, shape in specs)
    with torch.no_grad():
        output = module(*example)
    head = output[0] if isinstance(output, (tuple, list)) else output
    if not isinstance(head, torch.Tensor) or head.dim() == 0 or head.shape[0] != _EXAMPLE_BATCH:
        shape = tuple(head.shape) if isinstance(head, torch.Tensor) else type(head).__name__
        raise ValueError(
            f"the module must return one output row per example; for a batch of {_EXAMPLE_BATCH} it returned {shape}"
        )
    per_example = head[0].numel()

    Path(path).parent.mkdir(parents=True, exist_ok=True)
    batch = torch.export.Dim("batch", min=1, max=MAX_BATCH)
    package = compile_package(module, example, [{0: batch} for _ in specs], path)
    write_manifest(path, specs, per_example, env)
    return package


def environment_inputs(env: str, state: Any, name: str = "x") -> list[tuple[str, tuple[int]]]:
    """The ``inputs`` of :func:`export_package` for a network over what the CPU
    environment ``env`` writes for a state: one input of its
    ``input_size`` values, read from the environment itself at ``state``
    (any valid state)::

        export_package(net, environment_inputs("puzzle15", goal), path, env="puzzle15")
    """
    import kestrel_cpp

    return [(name, (int(kestrel_cpp.describe_environment(env, state)["input_size"]),))]


def cache_dir() -> Path:
    """Root of the package cache: ``$XDG_CACHE_HOME`` (or ``~/.cache``) +
    ``kestrel_cpp/torch-<torch version>``. Packages only load into the torch
    version that compiled them, hence the version in the path."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    # Relative values are invalid by the XDG convention and are ignored.
    root = Path(base) if os.path.isabs(base) else Path.home() / ".cache"
    return root / "kestrel_cpp" / f"torch-{torch.__version__}"


def cached_package(key: str, build: Callable[[Path], object]) -> Path:
    """Return the cached package ``key``, calling ``build`` first if it is missing.

    The package lives at ``cache_dir() / (key + ".pt2")``; ``key`` may contain
    ``/`` to group packages in a directory. Put a version in the key and change
    it whenever the network or its export changes: an existing package is never
    rebuilt. ``build(path)`` must write the package to ``path`` (a temporary
    ``.pt2`` name) and may write its manifest to ``path + ".json"``, which is
    what ``lambda p: export_package(net, inputs, p, env=...)`` does.

    Both files are moved into place only after ``build`` returns, manifest
    first, so an interrupted or failed build leaves no package behind. Builds
    of the same key in several processes are serialised by a lock file.
    """
    parts = key.split("/")
    if not key or os.path.isabs(key) or any(part in ("", ".", "..") for part in parts):
        raise ValueError(f"invalid package cache key: {key!r}")
    target = cache_dir().joinpath(*parts[:-1], parts[-1] + ".pt2")
    if target.is_file():
        return target

    target.parent.mkdir(parents=True, exist_ok=True)
    manifest = Path(f"{target}.json")
    with open(target.parent / f".{target.name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if target.is_file():  # built by another process while we waited
            return target
        temp = target.with_name(f".{target.stem}.{os.getpid()}.tmp.pt2")
        temp_manifest = Path(f"{temp}.json")
        try:
            build(temp)
            if not temp.is_file():
                raise RuntimeError(f"building package {key!r} wrote nothing to {temp}")
            if temp_manifest.is_file():
                os.replace(temp_manifest, manifest)
            elif manifest.exists():
                manifest.unlink()  # left over from an earlier definition
            os.replace(temp, target)
        finally:
            for leftover in (temp, temp_manifest):
                leftover.unlink(missing_ok=True)
    return target
