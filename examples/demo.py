"""The valdrix demo: runs every section under examples/ (demo_*.py) in order.

Each section defines main(out_dir) and prints what it does; files it writes
go to demo-output/ (or the folder given as the first argument).
"""

import importlib.util
import pathlib
import sys


def main() -> None:
    here = pathlib.Path(__file__).resolve().parent
    out_dir = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output").resolve()
    out_dir.mkdir(parents=True, exist_ok=True)
    for path in sorted(here.glob("demo_*.py")):
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(f"\n=== {module.__doc__.strip().splitlines()[0]} ===")
        module.main(out_dir)
    print(f"\nDemo outputs are in {out_dir}")


if __name__ == "__main__":
    main()
