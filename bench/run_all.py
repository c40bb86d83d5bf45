"""Runs every benchmark (bench/bench_*.py) and prints their tables.

Each benchmark module defines run() -> (title, rows) or a list of such pairs.
"""

import importlib.util
import pathlib
import platform
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from _harness import print_table  # noqa: E402


def main(selected: list) -> None:
    here = pathlib.Path(__file__).parent
    print(f"python {platform.python_version()} on {platform.machine()}, {platform.processor() or 'cpu ?'}")
    for path in sorted(here.glob("bench_*.py")):
        if selected and not any(s in path.stem for s in selected):
            continue
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        results = module.run()
        for title, rows in results if isinstance(results, list) else [results]:
            print_table(title, rows)


if __name__ == "__main__":
    main(sys.argv[1:])
