"""Evaluate a heuristic on a test set of states: solve them all, print the
summary as a table, and optionally write the per-state results and a plot.

    python -m kestrel_cpp.evaluate --env puzzle15 --package PATH --states FILE.npy \\
        --weight 0.6 --batch-size 1000 --out results.json --plot report.png

The states file is a 2-D uint8 NumPy array, one state a row. Installed
plugins (entry-point group ``kestrel_cpp.plugins``) are imported first;
``--plugin`` names others. Exits with 1 when a state's solve raised (its
entry says why), 0 otherwise.
"""

from __future__ import annotations

import argparse
import ast
import sys
import time
from typing import Any

import numpy as np

from .batch import SOLVER_FUNCTIONS, solve_many
from .plugins import load_plugins
from .report import format_summary, plot_results, summarize, write_results


def _option(text: str) -> tuple[str, Any]:
    key, separator, value = text.partition("=")
    if not separator or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    try:
        return key, ast.literal_eval(value)  # numbers, True/False, quoted strings
    except (ValueError, SyntaxError):
        return key, value


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
    parser.add_argument("--workers", type=int, help="concurrent solves (default: one a core for the CPU solver)")
    parser.add_argument("--executor", choices=("threads", "ray"), help="default: threads, or ray with --ray-address")
    parser.add_argument("--ray-address", help="Ray cluster to connect to (default: a local instance)")
    parser.add_argument("--plugin", action="append", default=[], metavar="MODULE",
                        help="also import this plugin module (repeatable)")
    parser.add_argument("--option", action="append", default=[], type=_option, metavar="KEY=VALUE",
                        help="any other solver option, e.g. search_budget=1000000 (repeatable)")
    parser.add_argument("--out", help="write the per-state results: .json or .csv")
    parser.add_argument("--plot", help="write a PNG of solution lengths and of nodes against solve time")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.out and not args.out.lower().endswith((".json", ".csv")):
        parser.error("--out must end in .json or .csv")
    try:
        states = np.load(args.states, allow_pickle=False)
    except (OSError, ValueError) as error:
        parser.error(f"cannot read --states {args.states}: {error}")

    plugins = load_plugins() + load_plugins(args.plugin)
    options = dict(args.option)
    if args.device:
        options["device"] = args.device

    started = time.perf_counter()
    results = solve_many(states, args.env, args.package, args.weight, args.batch_size, solver=args.solver,
                         workers=args.workers, progress=not args.no_progress, executor=args.executor,
                         ray_address=args.ray_address, plugins=plugins, **options)
    wall_time = time.perf_counter() - started

    print(f"{args.env}: {len(results)} states from {args.states}, weight {args.weight:g}, "
          f"batch size {args.batch_size}, {args.solver} solver")
    print(format_summary(summarize(results, wall_time)))
    failures = [entry for entry in results if "error_type" in entry]
    for entry in failures[:5]:
        print(f"state {entry['index']}: {entry['error_type']}: {entry['error_message']}", file=sys.stderr)
    if len(failures) > 5:
        print(f"... and {len(failures) - 5} more failed states", file=sys.stderr)
    if args.out:
        write_results(results, args.out)
        print(f"results written to {args.out}")
    if args.plot:
        plot_results(results, args.plot, title=f"{args.env}, weight {args.weight:g}, batch size {args.batch_size}")
        print(f"plot written to {args.plot}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
