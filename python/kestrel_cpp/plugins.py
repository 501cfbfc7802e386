"""Finding and importing environment plugins.

A plugin registers its environments when it is imported. Plugins declare
themselves to tools that must import them without being told (the
``evaluate`` command, Ray workers) under the entry-point group
``kestrel_cpp.plugins``, for example in the plugin's ``pyproject.toml``::

    [project.entry-points."kestrel_cpp.plugins"]
    my_puzzles = "my_puzzles"
"""

from __future__ import annotations

import importlib
from collections.abc import Iterable
from importlib.metadata import entry_points

ENTRY_POINT_GROUP = "kestrel_cpp.plugins"


def installed_plugins() -> list[str]:
    """Module names of the installed plugins that declare the entry point."""
    return sorted({entry.value.split(":")[0] for entry in entry_points(group=ENTRY_POINT_GROUP)})


def load_plugins(modules: Iterable[str] | None = None) -> list[str]:
    """Imports the plugin modules ``modules`` (default: every installed plugin)
    and returns their names. Importing an already imported plugin costs nothing."""
    names = installed_plugins() if modules is None else list(modules)
    for name in names:
        importlib.import_module(name)
    return names
