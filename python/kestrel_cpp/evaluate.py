"""Evaluate a heuristic on a test set of states: solve them all, print the
summary as a table, and optionally write the per-state results and a plot.

    python -m kestrel_cpp.evaluate --env puzzle15 --package PATH --states FILE.npy \\
        --weight 0.6 --batch-size 1000 --out results.json --plot report.png

The states file is a 2-D uint8 NumPy array (.npy), one state a row. Installed
plugins (entry-point group ``kestrel_cpp.plugins``) are imported first;
``--plugin`` names others. Every setting is checked before the first solve.
Each finished state is appended to --out at once, so an interrupted run keeps
them, and --resume continues it.

Exit status: 0 when every state's solve ran, 1 when some raised (their entries
say why) or the results could not be written, 2 for a setting refused before
solving, 130 after Ctrl-C and 143 after SIGTERM (the finished states are kept).
"""

from __future__ import annotations

import argparse
import signal
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

from . import _checks
from ._jobs import SOLVER_FUNCTIONS
from ._results_file import SetupError, check_output_path
from .batch import SolveManyInterrupted, solve_many
from .report import compare_runs, format_comparison, format_summary, plot_results, read_results, summarize

EXIT_FAILED_STATES = 1
EXIT_SETUP = 2
SIGNAL_EXITS = {signal.SIGINT: 130, signal.SIGTERM: 143}


class _Terminated(KeyboardInterrupt):
    """SIGTERM, raised on the main thread like Ctrl-C."""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m kestrel_cpp.evaluate", description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--env", required=True, help="environment name, as a plugin registered it")
    parser.add_argument("--package", required=True, help="heuristic package (.pt2 with its .json manifest)")
    parser.add_argument("--states", required=True, help=".npy file: 2-D uint8 array, one state a row")
    parser.add_argument("--weight", type=float, required=True, help="f = weight * g + h")
    parser.add_argument("--batch-size", type=int, required=True, help="nodes popped per iteration")
    parser.add_argument("--solver", choices=sorted(SOLVER_FUNCTIONS), default="cpu")
    parser.add_argument("--device", help="torch device of the network (default: the solver's)")
    parser.add_argument("--workers", type=int,
                        help="concurrent solves (default: one a core for the CPU solver; capped at the cores)")
    parser.add_argument("--executor", choices=("threads", "ray"), help="default: threads, or ray with --ray-address")
    parser.add_argument("--ray-address", help="Ray cluster to connect to (default: a local instance)")
    parser.add_argument("--plugin", action="append", default=[], metavar="MODULE",
                        help="also import this plugin module (repeatable)")
    parser.add_argument("--option", action="append", default=[], metavar="KEY=VALUE",
                        help="any other solver option, e.g. search_budget=1000000 or profile_summary=true "
                             "(repeatable)")
    parser.add_argument("--time-limit", type=float, metavar="SECONDS", help="stop each state's solve after this")
    parser.add_argument("--out", help="results file, .json (one entry a line) or .csv, written as states finish")
    resume = parser.add_mutually_exclusive_group()
    resume.add_argument("--resume", action="store_true", help="continue the run whose --out file exists")
    resume.add_argument("--overwrite", action="store_true",
                        help="replace an existing --out file (once the new run has its first result)")
    parser.add_argument("--plot", help="figure file (.png, .pdf, .svg, ...) of solution lengths and costs")
    parser.add_argument("--baseline", metavar="RESULTS",
                        help="another run's results file on the same states: print a paired comparison")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar or progress lines")
    return parser


def _options(args: argparse.Namespace) -> dict[str, Any]:
    options: dict[str, Any] = {}
    for text in args.option:
        key, separator, value = text.partition("=")
        if not separator or not key:
            raise SetupError(f"--option takes KEY=VALUE, got {text!r}")
        options[key] = _checks.option_from_text(args.solver, key, value)
    if args.device:
        options["device"] = args.device
    return options


def _load_states(path: str) -> np.ndarray:
    if not path.lower().endswith(".npy"):
        raise SetupError(f"--states {path!r}: give a .npy file (numpy.save of a 2-D uint8 array)")
    try:
        states = np.load(path, allow_pickle=False)
    except (OSError, ValueError) as error:
        raise SetupError(f"cannot read --states {path!r}: {error}") from None
    if not isinstance(states, np.ndarray):
        raise SetupError(f"--states {path!r} does not hold one array")
    if states.ndim != 2 or states.dtype != np.uint8:
        raise SetupError(f"--states {path!r} must hold a 2-D uint8 array (one state a row), "
                         f"got {states.dtype} of shape {states.shape}")
    return states


def _check_plot(path: str) -> None:
    check_output_path(path, "--plot")
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise SetupError("--plot needs matplotlib: pip install 'kestrel_cpp[plot]'") from None
    formats = FigureCanvasBase.get_supported_filetypes()
    suffix = Path(path).suffix.lower().lstrip(".")
    if suffix not in formats:
        raise SetupError(f"--plot {path!r}: unknown figure format; use one of {', '.join(sorted(formats))}")


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.workers is not None and args.workers < 1:
            raise SetupError(f"--workers must be a positive integer, got {args.workers}")
        options = _options(args)
        if args.plot:
            _check_plot(args.plot)
        baseline = None
        if args.baseline:
            try:
                baseline = read_results(args.baseline)
            except (OSError, ValueError) as error:
                raise SetupError(f"cannot read --baseline {args.baseline!r}: {error}") from None
        states = _load_states(args.states)
    except SetupError as error:
        return _refuse(error)

    received: list[int] = []

    def on_signal(number: int, frame: Any) -> None:
        received.append(number)
        raise _Terminated() if number == signal.SIGTERM else KeyboardInterrupt()

    previous = {number: signal.signal(number, on_signal) for number in SIGNAL_EXITS}
    started = time.perf_counter()
    interrupted = False
    try:
        results = solve_many(states, args.env, args.package, args.weight, args.batch_size, solver=args.solver,
                             workers=args.workers, progress=not args.no_progress, executor=args.executor,
                             ray_address=args.ray_address, plugins=args.plugin, time_limit=args.time_limit,
                             out=args.out, resume=args.resume, overwrite=args.overwrite, **options)
    except SetupError as error:
        return _refuse(error)
    except SolveManyInterrupted as stopped:
        interrupted = True
        results = [entry for entry in stopped.results if entry is not None]
        cause = stopped.__cause__
        if isinstance(cause, OSError):  # the results file could not be written
            print(f"error: {cause}", file=sys.stderr)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    wall_time = time.perf_counter() - started

    heading = (f"{args.env}: {len(results)} of {len(states)} states from {args.states}, weight {args.weight:g}, "
               f"batch size {args.batch_size}, {args.solver} solver")
    print(heading + (" -- INTERRUPTED, partial results" if interrupted else ""))
    print(format_summary(summarize(results, wall_time)))
    print("mean and median solution lengths are over this run's solved states")
    if baseline is not None:
        print(f"against {args.baseline} (paired over the states both runs solved):")
        print(format_comparison(compare_runs(results, baseline)))
    failures = [entry for entry in results if "error_type" in entry]
    for entry in failures[:5]:
        print(f"state {entry['index']}: {entry['error_type']}: {entry['error_message']}", file=sys.stderr)
    if len(failures) > 5:
        print(f"... and {len(failures) - 5} more failed states", file=sys.stderr)
    if args.out:
        print(f"results {'so far ' if interrupted else ''}in {args.out}"
              + (" (continue with --resume)" if interrupted else ""))
    if args.plot and results:
        plot_results(results, args.plot, title=f"{args.env}, {Path(args.package).name}, weight {args.weight:g}, "
                                               f"batch size {args.batch_size}",
                     baseline=baseline, labels=(Path(args.out).name if args.out else "this run",
                                                Path(args.baseline).name if args.baseline else "baseline"))
        print(f"plot written to {args.plot}")
    if interrupted:
        if received:
            return SIGNAL_EXITS[received[0]]
        return EXIT_FAILED_STATES
    return EXIT_FAILED_STATES if failures else 0


def _refuse(error: SetupError) -> int:
    print(f"error: {error}", file=sys.stderr)
    return EXIT_SETUP


if __name__ == "__main__":
    sys.exit(main())
