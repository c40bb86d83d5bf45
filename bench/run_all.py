"""Runs every benchmark (bench/bench_*.py), prints their tables, then one
summary table of every row against its plain-Python baseline.

Each benchmark module defines run() -> (title, rows) or a list of such pairs.
Name substrings on the command line select benchmark files.
"""

import importlib.util
import os
import pathlib
import platform
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from _harness import format_ns, print_table  # noqa: E402


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


def print_summary(results) -> None:
    print("\nSummary: valdrix against the same algorithm in plain Python "
          "(ratio = our time / Python's; below 1.0 is faster)")
    width = max(len(f"{stem}: {row.name}") for stem, _, row in results)
    print(f"  {'benchmark':<{width}}  {'valdrix':>10}  {'python':>10}  {'ratio':>7}  {'speed-up':>9}")
    for stem, _, row in results:
        name = f"{stem}: {row.name}"
        print(f"  {name:<{width}}  {format_ns(row.ours_ns):>10}  {format_ns(row.baseline_ns):>10}  "
              f"{row.ratio:7.3f}  {row.speedup:8.2f}x")


def main(selected: list) -> None:
    here = pathlib.Path(__file__).parent
    print(machine())
    results = []
    for path in sorted(here.glob("bench_*.py")):
        if selected and not any(s in path.stem for s in selected):
            continue
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        tables = module.run()
        for title, rows in tables if isinstance(tables, list) else [tables]:
            print_table(title, rows)
            results.extend((path.stem.removeprefix("bench_"), title, row) for row in rows)
    if results:
        print_summary(results)


if __name__ == "__main__":
    main(sys.argv[1:])
