"""Runs every benchmark (bench/bench_*.py), prints their tables, then one
summary table of every row: the plain-Python twin, the same twin compiled
with Cython and valdrix, with valdrix's speed-up over each (the other's
time / valdrix's time: above 1.0 is faster).

Each benchmark module defines run() -> (title, rows) or a list of such pairs.
Name substrings on the command line select benchmark files; --best-of N runs
each file N times and keeps, for every row and column, the fastest figure.
"""

import argparse
import importlib.util
import os
import pathlib
import platform
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from _harness import CYTHON_BUILD, print_rows, print_table  # noqa: E402


def machine() -> str:
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"CPython {platform.python_version()}, {platform.system()} {platform.machine()}, "
            f"{model}, {os.cpu_count()} cores")


def cython_version() -> str:
    try:
        import Cython
    except ImportError:
        return "Cython not installed"
    return f"Cython {Cython.__version__}, twins built in {CYTHON_BUILD}"


def tables_of(module) -> list:
    tables = module.run()
    return tables if isinstance(tables, list) else [tables]


def fastest(runs: list) -> list:
    """The tables of the first run, each figure the fastest of all runs."""
    best = []
    for tables in zip(*runs):
        title = tables[0][0]
        rows = []
        for same_rows in zip(*(rows for _, rows in tables)):
            cython = [row.cython_ns for row in same_rows if row.cython_ns is not None]
            rows.append(same_rows[0]._replace(ours_ns=min(row.ours_ns for row in same_rows),
                                              baseline_ns=min(row.baseline_ns for row in same_rows),
                                              cython_ns=min(cython) if cython else None))
        best.append((title, rows))
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", help="substrings of the benchmark files to run")
    parser.add_argument("--best-of", type=int, default=1, metavar="N", help="runs of each file (default 1)")
    options = parser.parse_args()
    here = pathlib.Path(__file__).parent
    print(machine())
    print(cython_version())
    results = []
    for path in sorted(here.glob("bench_*.py")):
        if options.names and not any(name in path.stem for name in options.names):
            continue
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        runs = [tables_of(module) for _ in range(options.best_of)]
        for title, rows in fastest(runs):
            if options.best_of > 1:
                title += f" (best of {options.best_of} runs)"
            print_table(title, rows)
            results.extend((f"{path.stem.removeprefix('bench_')}: {row.name}", row) for row in rows)
    if results:
        print_rows("Summary: plain Python, the same compiled with Cython, and valdrix "
                   "(vs = the other's time / valdrix's; above 1.0 is faster)", results)


if __name__ == "__main__":
    main()
