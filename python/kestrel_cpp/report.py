"""The figures of a solved test set: a summary, a table of it, the per-state
results as JSON or CSV, and a plot."""

from __future__ import annotations

import csv
import json
import os
import statistics
from collections.abc import Sequence
from pathlib import Path
from typing import Any

__all__ = ["summarize", "format_summary", "write_results", "read_results", "plot_results"]

CSV_COLUMNS = ("index", "solved", "solution_length", "nodes_generated", "solve_time", "search_budget_exceeded",
               "moves", "error_type", "error_message")


def summarize(results: Sequence[dict[str, Any]], wall_time: float | None = None) -> dict[str, Any]:
    """The figures researchers quote for a set of :func:`solve_many` entries.

    Solution lengths are over the solved states; nodes and times over the
    states whose solve ran (entries with ``"error_type"`` did not); the solved
    share is over all states. ``nodes_per_second`` is the solver's own speed
    (all nodes over all solve time). Given the set's ``wall_time``,
    ``wall_nodes_per_second`` adds what the workers achieved together. A
    figure with nothing to average is ``None``.
    """
    ran = [entry for entry in results if "error_type" not in entry]
    lengths = [len(entry["moves"]) for entry in ran if entry["solved"]]
    nodes = [entry["nodes_generated"] for entry in ran]
    times = [entry["solve_time"] for entry in ran]
    total_nodes = sum(nodes)
    total_time = sum(times)
    summary: dict[str, Any] = {
        "states": len(results),
        "solved": len(lengths),
        "solved_share": len(lengths) / len(results) if results else None,
        "failed": len(results) - len(ran),
        "budget_exceeded": sum(bool(entry.get("search_budget_exceeded")) for entry in ran),
        "mean_solution_length": statistics.fmean(lengths) if lengths else None,
        "median_solution_length": statistics.median(lengths) if lengths else None,
        "mean_nodes_generated": statistics.fmean(nodes) if nodes else None,
        "mean_solve_time": statistics.fmean(times) if times else None,
        "total_solve_time": total_time,
        "nodes_per_second": total_nodes / total_time if total_time > 0 else None,
    }
    if wall_time is not None:
        summary["wall_time"] = wall_time
        summary["wall_nodes_per_second"] = total_nodes / wall_time if wall_time > 0 else None
    return summary


def format_summary(summary: dict[str, Any]) -> str:
    """The summary as a two-column text table."""

    def number(value: Any, spec: str, unit: str = "") -> str:
        return "-" if value is None else f"{value:{spec}}{unit}"

    share = summary["solved_share"]
    rows = [
        ("states", f"{summary['states']:,}"),
        ("solved", f"{summary['solved']:,}" + ("" if share is None else f" ({share:.1%})")),
        ("failed (raised)", f"{summary['failed']:,}"),
        ("search budget exceeded", f"{summary['budget_exceeded']:,}"),
        ("mean solution length", number(summary["mean_solution_length"], ",.2f")),
        ("median solution length", number(summary["median_solution_length"], ",.1f")),
        ("mean nodes generated", number(summary["mean_nodes_generated"], ",.0f")),
        ("mean solve time", number(summary["mean_solve_time"], ".3f", " s")),
        ("total solve time", number(summary["total_solve_time"], ".2f", " s")),
        ("nodes per second (per solve)", number(summary["nodes_per_second"], ",.0f")),
    ]
    if "wall_time" in summary:
        rows.append(("wall time", number(summary["wall_time"], ".2f", " s")))
        rows.append(("nodes per second (all workers)", number(summary["wall_nodes_per_second"], ",.0f")))
    label_width = max(len(label) for label, _ in rows)
    value_width = max(len(value) for _, value in rows)
    rule = f"+-{'-' * label_width}-+-{'-' * value_width}-+"
    lines = [rule]
    lines += [f"| {label:<{label_width}} | {value:>{value_width}} |" for label, value in rows]
    lines.append(rule)
    return "\n".join(lines)


def write_results(results: Sequence[dict[str, Any]], path: str | os.PathLike[str]) -> None:
    """Writes the per-state entries to ``path``: JSON (a list of the entries as
    they are, one a line) for ``.json``, CSV (one row a state, the moves as
    space-separated numbers) for ``.csv``."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".json":
        path.write_text("[\n" + ",\n".join(json.dumps(entry) for entry in results) + "\n]\n")
    elif suffix == ".csv":
        with path.open("w", newline="") as stream:
            writer = csv.DictWriter(stream, fieldnames=CSV_COLUMNS)
            writer.writeheader()
            for entry in results:
                writer.writerow(_csv_row(entry))
    else:
        raise ValueError(f"results file must end in .json or .csv, got {str(path)!r}")


def read_results(path: str | os.PathLike[str]) -> list[dict[str, Any]]:
    """The entries of a JSON results file written by :func:`write_results`."""
    return json.loads(Path(path).read_text())


def _csv_row(entry: dict[str, Any]) -> dict[str, Any]:
    row = {column: entry.get(column, "") for column in CSV_COLUMNS}
    moves = entry.get("moves")
    row["solution_length"] = len(moves) if entry.get("solved") and moves is not None else ""
    row["moves"] = " ".join(map(str, moves)) if moves else ""
    return row


def plot_results(results: Sequence[dict[str, Any]], path: str | os.PathLike[str], title: str = "") -> None:
    """Writes a PNG: the distribution of solution lengths, and nodes generated
    against solve time for every state whose solve ran. Needs matplotlib."""
    try:
        from matplotlib.figure import Figure
    except ImportError as error:
        raise ImportError("plotting needs matplotlib: pip install 'kestrel_cpp[plot]'") from error

    ran = [entry for entry in results if "error_type" not in entry]
    solved = [entry for entry in ran if entry["solved"]]
    unsolved = [entry for entry in ran if not entry["solved"]]

    figure = Figure(figsize=(11, 4.5), layout="constrained")
    lengths_axes, cost_axes = figure.subplots(1, 2)

    lengths = [len(entry["moves"]) for entry in solved]
    if lengths:
        low, high = min(lengths), max(lengths)
        step = max(1, (high - low + 1) // 40)
        lengths_axes.hist(lengths, bins=range(low, high + step + 1, step), color="tab:blue", edgecolor="white")
        lengths_axes.axvline(statistics.median(lengths), color="tab:red", linestyle="--",
                             label=f"median {statistics.median(lengths):g}")
        lengths_axes.legend()
    else:
        lengths_axes.text(0.5, 0.5, "no state solved", ha="center", va="center", transform=lengths_axes.transAxes)
    lengths_axes.set_xlabel("solution length (moves)")
    lengths_axes.set_ylabel("states")
    lengths_axes.set_title(f"Solution lengths ({len(solved)} of {len(results)} solved)")

    for group, colour, label in ((solved, "tab:blue", "solved"), (unsolved, "tab:orange", "not solved")):
        if group:
            cost_axes.scatter([entry["solve_time"] for entry in group], [entry["nodes_generated"] for entry in group],
                              s=14, alpha=0.7, color=colour, label=label)
    if ran:
        cost_axes.set_xscale("log")
        cost_axes.set_yscale("log")
        cost_axes.legend()
    cost_axes.set_xlabel("solve time (s)")
    cost_axes.set_ylabel("nodes generated")
    cost_axes.set_title("Nodes generated against solve time")
    cost_axes.grid(True, which="both", alpha=0.3)

    if title:
        figure.suptitle(title)
    figure.savefig(path, dpi=110)
