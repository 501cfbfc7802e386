"""Progress of a set: a bar on a terminal or in a notebook, otherwise one
line on standard error every so often, so that a long run without a terminal
never looks hung."""

from __future__ import annotations

import sys
import time
from typing import Any

# Seconds between the progress lines written when there is no terminal.
HEARTBEAT_SECONDS = 30.0


class Progress:
    """States done, solved so far and generated nodes per second (over wall
    time, all workers together). ``done_before`` counts states a resumed run
    found already finished."""

    def __init__(self, total: int, enabled: bool, done_before: int = 0) -> None:
        self.total = total
        self.started = time.perf_counter()
        self.done = done_before
        self.solved = 0
        self.nodes = 0
        self._enabled = enabled and total > done_before
        self._last_line = self.started
        self._bar = None
        if self._enabled and _interactive():
            try:
                from tqdm.auto import tqdm
            except ImportError:  # a dependency, but the solve needs no bar
                tqdm = None
            if tqdm is not None:
                self._bar = tqdm(total=total, initial=done_before, unit="state", desc="solving", dynamic_ncols=True)

    def add(self, entry: dict[str, Any]) -> None:
        self.done += 1
        self.solved += bool(entry.get("solved"))
        self.nodes += entry.get("nodes_generated") or 0
        if self._bar is not None:
            self._bar.set_postfix_str(f"solved {self.solved}, {self.rate():,.0f} nodes/s", refresh=False)
            self._bar.update(1)
        self.tick()

    def tick(self) -> None:
        """Writes the progress line when there is no bar and it is due."""
        if not self._enabled or self._bar is not None:
            return
        now = time.perf_counter()
        if now - self._last_line >= HEARTBEAT_SECONDS:
            self._last_line = now
            elapsed = int(now - self.started)
            print(f"[kestrel_cpp] {self.done}/{self.total} states done, {self.solved} solved this run, "
                  f"{self.rate():,.0f} nodes/s, {elapsed // 60}:{elapsed % 60:02d} elapsed", file=sys.stderr,
                  flush=True)

    def rate(self) -> float:
        return self.nodes / max(time.perf_counter() - self.started, 1e-9)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()


def _interactive() -> bool:
    try:
        if sys.stderr.isatty():
            return True
    except (AttributeError, ValueError):  # replaced or closed stream
        return False
    return "ipykernel" in sys.modules
