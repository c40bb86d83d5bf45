"""Timing helpers shared by the benchmarks: valdrix against its plain-Python
twin (reference/) and against that twin compiled with Cython (reference_cy,
built by `make bench`), timed in interleaved batches of the same run."""

import importlib
import os
import pathlib
import statistics
import sys
import time
from typing import Callable, List, NamedTuple, Optional

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The plain-Python twins are the shared ones in reference/ at the root.
sys.path.insert(0, str(ROOT))
# Where `make bench` builds the compiled twins (VALDRIX_CYTHON_TWINS overrides).
CYTHON_BUILD = pathlib.Path(os.environ.get("VALDRIX_CYTHON_TWINS", ROOT / "build" / "cython-twins"))
NO_TWIN = "this row times no Cython twin"


class Row(NamedTuple):
    name: str
    ours_ns: float
    baseline_ns: float
    cython_ns: Optional[float] = None
    cython_note: str = NO_TWIN  # why there is no Cython figure

    @property
    def speedup(self) -> float:
        """The plain twin's time over ours: above 1.0 means faster."""
        return self.baseline_ns / self.ours_ns

    @property
    def ratio(self) -> float:
        """Our time over the baseline's: below 1.0 means faster."""
        return self.ours_ns / self.baseline_ns

    @property
    def cython_speedup(self) -> Optional[float]:
        return None if self.cython_ns is None else self.cython_ns / self.ours_ns


class Twins(NamedTuple):
    """The plain twin module, the same compiled with Cython (None when there
    is none) and why there is none."""

    plain: object
    cython: object
    cython_note: str


def compiled_twin(name: str):
    """reference_cy.<name> and "", or None and the reason there is none."""
    lib, plain_source = CYTHON_BUILD / "lib", ROOT / "reference" / f"{name}.py"
    if not (lib / "reference_cy").is_dir():
        return None, "Cython twins not built (make bench builds them)"
    failure = CYTHON_BUILD / "failed" / f"{name}.txt"
    if failure.exists():
        return None, "twin does not compile with Cython: " + failure.read_text(encoding="utf-8").splitlines()[0]
    compiled_source = CYTHON_BUILD / "src" / "reference_cy" / f"{name}.py"
    if not compiled_source.exists() or compiled_source.read_bytes() != plain_source.read_bytes():
        return None, f"Cython build older than reference/{name}.py (make bench rebuilds it)"
    if str(lib) not in sys.path:
        sys.path.insert(0, str(lib))
    try:
        return importlib.import_module(f"reference_cy.{name}"), ""
    except ImportError as error:
        return None, f"compiled twin does not import: {error}"


def twins(name: str) -> Twins:
    return Twins(importlib.import_module(f"reference.{name}"), *compiled_twin(name))


def per_call_ns(call: Callable[[], object], number: int, repeat: int = 7) -> float:
    """Median time of one call over `repeat` batches of `number` calls."""
    samples = []
    for _ in range(repeat):
        start = time.perf_counter_ns()
        for _ in range(number):
            call()
        samples.append((time.perf_counter_ns() - start) / number)
    return statistics.median(samples)


def compare(name: str, ours: Callable[[], object], baseline: Callable[[], object], number: int = 20000,
            repeat: int = 7, cython: Optional[Callable[[], object]] = None, cython_note: str = NO_TWIN) -> Row:
    """Medians of `repeat` batches of each side, the batches interleaved so that
    drift of the machine hits all sides alike."""
    sides = [ours, baseline] + ([cython] if cython is not None else [])
    samples = [[] for _ in sides]
    for _ in range(repeat):
        for side, call in zip(samples, sides):
            side.append(per_call_ns(call, number, 1))
    medians = [statistics.median(side) for side in samples]
    if cython is None:
        return Row(name, medians[0], medians[1], None, cython_note)
    return Row(name, medians[0], medians[1], medians[2], "")


def compare_twins(name: str, make_call: Callable[[object], Callable[[], object]], ours: object, pair: Twins,
                  pick: Callable[[object], object] = lambda module: module, **options) -> Row:
    """compare() of `make_call(x)` for x the valdrix object `ours` and the same
    object `pick`ed from the plain and the compiled twin."""
    cython = make_call(pick(pair.cython)) if pair.cython is not None else None
    return compare(name, make_call(ours), make_call(pick(pair.plain)), cython=cython, cython_note=pair.cython_note,
                   **options)


def format_ns(ns: Optional[float]) -> str:
    if ns is None:
        return "n/a"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def format_speedup(speedup: Optional[float]) -> str:
    if speedup is None:
        return "n/a"
    return f"{speedup:,.0f}x" if speedup >= 1000 else f"{speedup:.2f}x"


def print_rows(title: str, named_rows: List[tuple]) -> None:
    """`named_rows`: (shown name, Row) pairs. A row without a Cython figure
    refers to a note under the table that says why."""
    print(f"\n{title}")
    notes: List[str] = []
    width = max(len(name) for name, _ in named_rows)
    print(f"  {'benchmark':<{width}}  {'plain':>10}  {'Cython':>10}  {'valdrix':>10}  {'vs plain':>9}  "
          f"{'vs Cython':>9}")
    for name, row in named_rows:
        mark = ""
        if row.cython_ns is None:
            if row.cython_note not in notes:
                notes.append(row.cython_note)
            mark = f"  [{notes.index(row.cython_note) + 1}]"
        print(f"  {name:<{width}}  {format_ns(row.baseline_ns):>10}  {format_ns(row.cython_ns):>10}  "
              f"{format_ns(row.ours_ns):>10}  {format_speedup(row.speedup):>9}  "
              f"{format_speedup(row.cython_speedup):>9}{mark}")
    for number, note in enumerate(notes, 1):
        print(f"  [{number}] n/a: {note}")


def print_table(title: str, rows: List[Row]) -> None:
    print_rows(title, [(row.name, row) for row in rows])


def raising(call):
    """`call()` with the ValueError it raises caught, for the error rows."""
    def run_once():
        try:
            call()
        except ValueError:
            pass

    return run_once
