"""The figures of a solved test set: a summary, a table of it, the per-state
results as JSON or CSV, and a plot."""

from __future__ import annotations

import csv
import io
import json
import os
import statistics
import tempfile
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

__all__ = ["summarize", "format_summary", "compare_runs", "format_comparison", "write_results", "read_results",
           "plot_results"]

RESULT_SUFFIXES = (".json", ".csv")
# Both formats carry these fields; JSON entries may carry more (the
# operation timings, when requested, are one JSON text in CSV).
CSV_COLUMNS = ("index", "solved", "solution_length", "nodes_generated", "solve_time", "search_budget_exceeded",
               "time_limit_exceeded", "moves", "error_type", "error_message", "operation_timings")


def summarize(results: Sequence[dict[str, Any]], wall_time: float | None = None) -> dict[str, Any]:
    """The figures researchers quote for a set of :func:`solve_many` entries.

    Solution lengths are over the solved states; nodes and times over the
    states whose solve ran to its end (not those that raised, whose entries
    have ``"error_type"``, nor those stopped at their time limit); the solved
    share is over all states. ``nodes_per_second`` is the solver's own speed
    (all nodes over all solve time). Given the set's ``wall_time``,
    ``wall_nodes_per_second`` adds what the workers achieved together. A
    figure with nothing to average is ``None``.
    """
    ran = [entry for entry in results if "nodes_generated" in entry]
    lengths = [len(entry["moves"]) for entry in ran if entry["solved"]]
    nodes = [entry["nodes_generated"] for entry in ran]
    times = [entry["solve_time"] for entry in ran]
    total_nodes = sum(nodes)
    total_time = sum(times)
    summary: dict[str, Any] = {
        "states": len(results),
        "solved": len(lengths),
        "solved_share": len(lengths) / len(results) if results else None,
        "failed": sum("error_type" in entry for entry in results),
        "budget_exceeded": sum(bool(entry.get("search_budget_exceeded")) for entry in ran),
        "time_limit_exceeded": sum(bool(entry.get("time_limit_exceeded")) for entry in results),
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
        ("time limit exceeded", f"{summary.get('time_limit_exceeded', 0):,}"),
        ("mean solution length (solved)", number(summary["mean_solution_length"], ",.2f")),
        ("median solution length (solved)", number(summary["median_solution_length"], ",.1f")),
        ("mean nodes generated", number(summary["mean_nodes_generated"], ",.0f")),
        ("mean solve time", number(summary["mean_solve_time"], ".3f", " s")),
        ("total solve time", number(summary["total_solve_time"], ".2f", " s")),
        ("nodes per second (per solve)", number(summary["nodes_per_second"], ",.0f")),
    ]
    if "wall_time" in summary:
        rows.append(("wall time", number(summary["wall_time"], ".2f", " s")))
        rows.append(("nodes per second (all workers)", number(summary["wall_nodes_per_second"], ",.0f")))
    return _table(rows)


def atomic_write(path: Path, write: Callable[[Path], None]) -> None:
    """Writes ``path`` through ``write`` into a temporary file beside it, then
    renames it into place: the old file stays whole if writing fails."""
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    os.close(handle)
    try:
        write(Path(temporary))
        with open(temporary, "rb") as stream:
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def check_results_suffix(path: Path, error: type[Exception] = ValueError) -> str:
    suffix = Path(path).suffix.lower()
    if suffix not in RESULT_SUFFIXES:
        raise error(f"a results file must end in .json or .csv, got {str(path)!r}")
    return suffix


def results_header(path: str | os.PathLike[str]) -> str:
    """What a results file starts with before its first entry."""
    if Path(path).suffix.lower() == ".csv":
        stream = io.StringIO()
        csv.writer(stream).writerow(CSV_COLUMNS)
        return stream.getvalue()
    return ""


def entry_line(entry: dict[str, Any], path: str | os.PathLike[str]) -> str:
    """One entry as the line it takes in a results file, newline included."""
    if Path(path).suffix.lower() == ".csv":
        stream = io.StringIO()
        csv.DictWriter(stream, fieldnames=CSV_COLUMNS).writerow(_csv_row(entry))
        return stream.getvalue()
    return json.dumps(entry) + "\n"


def write_results(results: Sequence[dict[str, Any]], path: str | os.PathLike[str], suffix: str | None = None) -> None:
    """Writes the per-state entries to ``path``: JSON (one entry a line, as
    they are) for ``.json``, CSV (one row a state, the moves as
    space-separated numbers) for ``.csv``. ``suffix`` chooses the format for a
    path without one."""
    path = Path(path)
    target = path.with_suffix(suffix) if suffix else path
    check_results_suffix(target)
    with path.open("w", newline="") as stream:
        stream.write(results_header(target))
        for entry in results:
            stream.write(entry_line(entry, target))


def read_results(path: str | os.PathLike[str], partial_last_line: bool = False) -> list[dict[str, Any]]:
    """The entries of a results file, JSON or CSV, with their types: ints,
    bools, floats, the moves as a list of ints and ``solution_length`` None for
    unsolved states. Also reads a JSON list (the format of earlier versions).
    With ``partial_last_line``, a last line cut short by a crash is skipped."""
    path = Path(path)
    suffix = check_results_suffix(path)
    text = path.read_text()
    if partial_last_line and text and not text.endswith("\n"):
        text = text[: text.rfind("\n") + 1]
    if suffix == ".csv":
        return [_csv_entry(row) for row in csv.DictReader(io.StringIO(text, newline=""))]
    if text.lstrip().startswith("["):
        return json.loads(text)
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def _csv_row(entry: dict[str, Any]) -> dict[str, Any]:
    row = {column: entry.get(column, "") for column in CSV_COLUMNS}
    for column in CSV_COLUMNS:
        if row[column] is None:
            row[column] = ""
    moves = entry.get("moves")
    if "solution_length" not in entry and moves is not None:  # entries of earlier versions
        row["solution_length"] = len(moves) if entry.get("solved") else ""
    row["moves"] = " ".join(map(str, moves)) if moves else ""
    row["operation_timings"] = json.dumps(entry["operation_timings"]) if "operation_timings" in entry else ""
    return row


def _csv_entry(row: dict[str, str]) -> dict[str, Any]:
    """The entry a CSV row was written from."""
    entry: dict[str, Any] = {"index": int(row["index"]), "solved": row["solved"] == "True"}
    if row["error_type"]:
        entry["error_type"] = row["error_type"]
        entry["error_message"] = row["error_message"]
        return entry
    if not row["nodes_generated"]:  # stopped at the time limit: no figures
        entry["time_limit_exceeded"] = True
        entry["solve_time"] = float(row["solve_time"])
        return entry
    entry["moves"] = [int(move) for move in row["moves"].split()]
    entry["nodes_generated"] = int(row["nodes_generated"])
    entry["solve_time"] = float(row["solve_time"])
    entry["search_budget_exceeded"] = row["search_budget_exceeded"] == "True"
    if row["operation_timings"]:
        entry["operation_timings"] = json.loads(row["operation_timings"])
    entry["solution_length"] = int(row["solution_length"]) if row["solution_length"] else None
    if row["time_limit_exceeded"]:
        entry["time_limit_exceeded"] = row["time_limit_exceeded"] == "True"
    return entry


def compare_runs(results: Sequence[dict[str, Any]], baseline: Sequence[dict[str, Any]]) -> dict[str, Any]:
    """This run against a baseline run on the same states, paired by index
    over the states both solved: how many solutions are shorter, equal or
    longer here, and the medians of this run's nodes and solve time over the
    baseline's. ``solved_share_difference`` is this run's solved share minus
    the baseline's, each over its own states."""
    here = {entry["index"]: entry for entry in results if entry.get("solved")}
    there = {entry["index"]: entry for entry in baseline if entry.get("solved")}
    both = sorted(set(here) & set(there))
    lengths = [(len(here[i]["moves"]), len(there[i]["moves"])) for i in both]

    def median_ratio(key: str) -> float | None:
        ratios = [here[i][key] / there[i][key] for i in both if there[i].get(key)]
        return statistics.median(ratios) if ratios else None

    def share(entries: Sequence[dict[str, Any]], solved: dict[int, Any]) -> float | None:
        return len(solved) / len(entries) if entries else None

    shares = (share(results, here), share(baseline, there))
    return {
        "paired_states": len(both),
        "shorter": sum(mine < theirs for mine, theirs in lengths),
        "equal": sum(mine == theirs for mine, theirs in lengths),
        "longer": sum(mine > theirs for mine, theirs in lengths),
        "median_nodes_ratio": median_ratio("nodes_generated"),
        "median_solve_time_ratio": median_ratio("solve_time"),
        "solved_share_difference": None if None in shares else shares[0] - shares[1],
    }


def format_comparison(comparison: dict[str, Any]) -> str:
    """The comparison as a two-column text table."""

    def ratio(value: float | None) -> str:
        return "-" if value is None else f"{value:.3f}x"

    difference = comparison["solved_share_difference"]
    rows = [
        ("states both solved", f"{comparison['paired_states']:,}"),
        ("shorter solution here", f"{comparison['shorter']:,}"),
        ("equal solution", f"{comparison['equal']:,}"),
        ("longer solution here", f"{comparison['longer']:,}"),
        ("median nodes, here / baseline", ratio(comparison["median_nodes_ratio"])),
        ("median solve time, here / baseline", ratio(comparison["median_solve_time_ratio"])),
        ("solved share, here - baseline", "-" if difference is None else f"{difference * 100:+.1f} points"),
    ]
    return _table(rows)


def _table(rows: list[tuple[str, str]]) -> str:
    label_width = max(len(label) for label, _ in rows)
    value_width = max(len(value) for _, value in rows)
    rule = f"+-{'-' * label_width}-+-{'-' * value_width}-+"
    return "\n".join([rule, *(f"| {label:<{label_width}} | {value:>{value_width}} |" for label, value in rows), rule])


def plot_results(results: Sequence[dict[str, Any]], path: str | os.PathLike[str], title: str = "",
                 baseline: Sequence[dict[str, Any]] | None = None, labels: tuple[str, str] = ("this run", "baseline"),
                 ) -> None:
    """Writes a figure (its format from the suffix, PNG for ``.png``): the
    distribution of solution lengths, nodes generated against solve time, and
    the share of states solved within a number of generated nodes and within
    a solve time. With ``baseline``, both runs share the last two panels.
    Needs matplotlib."""
    try:
        from matplotlib.figure import Figure
        from matplotlib.ticker import MaxNLocator
    except ImportError as error:
        raise ImportError("plotting needs matplotlib: pip install 'kestrel_cpp[plot]'") from error

    ran = [entry for entry in results if "nodes_generated" in entry]
    solved = [entry for entry in ran if entry["solved"]]
    unsolved = [entry for entry in ran if not entry["solved"]]

    figure = Figure(figsize=(12, 9), layout="constrained")
    (lengths_axes, cost_axes), (nodes_axes, time_axes) = figure.subplots(2, 2)

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
    lengths_axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    lengths_axes.yaxis.set_major_locator(MaxNLocator(integer=True))
    lengths_axes.set_xlabel("solution length (moves)")
    lengths_axes.set_ylabel("states")
    lengths_axes.set_title(f"Solution lengths ({len(solved)} of {len(results)} solved)")

    for group, colour, label in ((solved, "tab:blue", "solved"), (unsolved, "tab:orange", "not solved")):
        if group:
            cost_axes.scatter([entry["solve_time"] for entry in group], [entry["nodes_generated"] for entry in group],
                              s=14, alpha=0.7, color=colour, label=label)
    if ran:
        _log_axes(cost_axes, x=True, y=True)
        cost_axes.legend()
    cost_axes.set_xlabel("solve time (s)")
    cost_axes.set_ylabel("nodes generated")
    cost_axes.set_title("Nodes generated against solve time")
    cost_axes.grid(True, which="both", alpha=0.3)

    runs = [(labels[0], results, "tab:blue")]
    if baseline is not None:
        runs.append((labels[1], baseline, "tab:gray"))
    for axes, key, unit in ((nodes_axes, "nodes_generated", "nodes generated"),
                            (time_axes, "solve_time", "solve time (s)")):
        for label, entries, colour in runs:
            costs = sorted(entry[key] for entry in entries if entry.get("solved"))
            if costs and entries:
                shares = [(rank + 1) / len(entries) for rank in range(len(costs))]
                axes.step(costs, shares, where="post", color=colour, label=f"{label} ({len(costs)} of {len(entries)})")
        if axes.has_data():
            _log_axes(axes, x=True, y=False)
            axes.legend(loc="lower right")
        axes.set_ylim(0, 1.02)
        axes.set_xlabel(unit)
        axes.set_ylabel("share of states solved")
        axes.set_title(f"States solved within {unit.split(' (')[0]}")
        axes.grid(True, which="both", alpha=0.3)

    if title:
        figure.suptitle(title)
    path = Path(path)
    kind = path.suffix.lower().lstrip(".") or "png"
    atomic_write(path, lambda temporary: figure.savefig(temporary, dpi=110, format=kind))


def _log_axes(axes: Any, x: bool, y: bool) -> None:
    """Log scales with at most a handful of labelled decades, so that labels
    never overlap."""
    from matplotlib.ticker import LogLocator, NullFormatter

    for wanted, axis, scale in ((x, axes.xaxis, axes.set_xscale), (y, axes.yaxis, axes.set_yscale)):
        if wanted:
            scale("log")
            axis.set_major_locator(LogLocator(base=10, numticks=6))
            axis.set_minor_locator(LogLocator(base=10, subs="auto", numticks=12))
            axis.set_minor_formatter(NullFormatter())
