"""The results file of a set, written as the states finish so that a crash,
an interrupt or a full disk never loses a finished state.

Each finished state is appended as one line (a JSON object, or a CSV row)
and flushed. Beside the file, ``<file>.run.json`` records what made it (the
states, environment, package contents, weight, batch size, solver, options),
so that a resumed run can refuse to mix results of different runs. A file
that already exists is never truncated: it is continued (resume), or replaced
once the new run has its first result (overwrite). When the set completes, the
file is rewritten in index order, through a temporary file renamed into
place.
"""

from __future__ import annotations

import json
import os
import tempfile
from pathlib import Path
from typing import Any

from .report import (
    atomic_write,
    check_results_suffix,
    entry_line,
    read_results,
    results_header,
    write_results,
)


class SetupError(ValueError):
    """A setting that makes the whole set fail, found before the first solve."""


def run_record_path(path: Path) -> Path:
    return path.with_name(path.name + ".run.json")


def check_output_path(path: str | os.PathLike[str], option: str) -> Path:
    """A path a file can be written to: its folder exists and is writable, and
    the path is not a folder."""
    path = Path(path)
    if path.is_dir():
        raise SetupError(f"{option} {str(path)!r} is a folder; name a file")
    folder = path.parent if str(path.parent) else Path(".")
    if not folder.is_dir():
        raise SetupError(f"{option} {str(path)!r}: the folder {str(folder)!r} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise SetupError(f"{option} {str(path)!r}: the folder {str(folder)!r} is not writable")
    return path


class ResultsFile:
    """The per-state results of one run, appended as they come."""

    def __init__(self, path: str | os.PathLike[str], run: dict[str, Any], *, resume: bool, overwrite: bool) -> None:
        """Checks the path and, when resuming, the file already there; writes
        nothing yet. ``done`` holds the entries a resumed file already has."""
        if resume and overwrite:
            raise SetupError("resume and overwrite exclude each other")
        self.path = check_output_path(path, "results file")
        check_results_suffix(self.path, SetupError)
        self.run = run
        self.done: list[dict[str, Any]] = []
        self._resume = False
        self._fd: int | None = None
        self._pending_replace: Path | None = None
        self._pending_record: Path | None = None
        record = run_record_path(self.path)
        if not self.path.exists():
            return
        if resume:
            self._check_same_run(record)
            self.done = read_results(self.path, partial_last_line=True)
            self._resume = True
        elif not overwrite:
            raise SetupError(f"results file {str(self.path)!r} already exists; resume it or overwrite it "
                             "(--resume or --overwrite; resume=True or overwrite=True)")

    def _check_same_run(self, record: Path) -> None:
        try:
            recorded = json.loads(record.read_text())
        except (OSError, ValueError) as error:
            raise SetupError(f"cannot resume {str(self.path)!r}: its run record {str(record)!r} "
                             f"cannot be read ({error})") from None
        differing = [key for key in sorted(set(recorded) | set(self.run)) if recorded.get(key) != self.run.get(key)]
        if differing:
            shown = ", ".join(f"{key} {_brief(recorded.get(key))} there, {_brief(self.run.get(key))} here"
                              for key in differing)
            raise SetupError(f"cannot resume {str(self.path)!r}: it was made by another run ({shown})")

    def append(self, entry: dict[str, Any]) -> None:
        """Adds one finished state, flushed to the file before returning. A
        failed write (a full disk) leaves the file as it was before it."""
        if self._fd is None:
            self._open()
        data = entry_line(entry, self.path).encode()
        size = os.lseek(self._fd, 0, os.SEEK_END)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(self._fd, view):]
        except OSError:
            os.ftruncate(self._fd, size)  # no half line for the next reader
            raise
        if self._pending_replace is not None:
            # The new run has its first result: only now does it replace the
            # old file, then the old run record.
            os.fsync(self._fd)
            os.replace(self._pending_replace, self.path)
            os.replace(self._pending_record, run_record_path(self.path))
            self._pending_replace = self._pending_record = None

    def _open(self) -> None:
        record = run_record_path(self.path)
        if self._resume:
            self._fd = os.open(self.path, os.O_WRONLY | os.O_APPEND)
            size = os.fstat(self._fd).st_size
            intact = _intact_length(self.path)
            if intact < size:  # a line cut short by a crash
                os.ftruncate(self._fd, intact)
            return
        self._pending_record = _temporary_beside(record, ".partial")
        self._pending_record.write_text(json.dumps(self.run, indent=1) + "\n")
        self._pending_replace = _temporary_beside(self.path, ".partial")
        self._fd = os.open(self._pending_replace, os.O_WRONLY | os.O_APPEND)
        header = results_header(self.path).encode()
        if header:
            os.write(self._fd, header)

    def finish(self, entries: list[dict[str, Any]]) -> None:
        """The set is complete: the file becomes ``entries`` in index order.
        If that rewrite fails, the appended file stays as it is."""
        self.close()
        ordered = sorted(entries, key=lambda entry: entry["index"])
        atomic_write(self.path, lambda temporary: write_results(ordered, temporary, suffix=self.path.suffix))

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if self._pending_replace is not None:  # no result came: the old files stay
            self._pending_replace.unlink(missing_ok=True)
            self._pending_record.unlink(missing_ok=True)
            self._pending_replace = self._pending_record = None


def _temporary_beside(path: Path, suffix: str) -> Path:
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=suffix, dir=path.parent)
    os.close(handle)
    return Path(temporary)


def _intact_length(path: Path) -> int:
    """Bytes of ``path`` up to and including its last newline."""
    data = path.read_bytes()
    return data.rfind(b"\n") + 1


def _brief(value: Any) -> str:
    text = json.dumps(value, sort_keys=True) if value is not None else "none"
    return text if len(text) <= 40 else text[:37] + "..."


__all__ = ["ResultsFile", "SetupError", "check_output_path"]
