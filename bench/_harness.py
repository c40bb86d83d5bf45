"""Timing helpers shared by the benchmarks: ours against a plain-Python baseline."""

import pathlib
import statistics
import sys
import time
from typing import Callable, List, NamedTuple


# The plain-Python baselines are the shared ones in reference/ at the root.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

class Row(NamedTuple):
    name: str
    ours_ns: float
    baseline_ns: float

    @property
    def speedup(self) -> float:
        return self.baseline_ns / self.ours_ns

    @property
    def ratio(self) -> float:
        """Our time over the baseline's: below 1.0 means faster."""
        return self.ours_ns / self.baseline_ns


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
            repeat: int = 7) -> Row:
    # Interleave the two so that drift of the machine hits both alike.
    ours_samples, baseline_samples = [], []
    for _ in range(repeat):
        ours_samples.append(per_call_ns(ours, number, 1))
        baseline_samples.append(per_call_ns(baseline, number, 1))
    return Row(name, statistics.median(ours_samples), statistics.median(baseline_samples))


def format_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def print_table(title: str, rows: List[Row]) -> None:
    print(f"\n{title}")
    width = max(len(r.name) for r in rows)
    print(f"  {'benchmark':<{width}}  {'valdrix':>10}  {'python':>10}  {'ratio':>7}  {'speed-up':>8}")
    for r in rows:
        print(f"  {r.name:<{width}}  {format_ns(r.ours_ns):>10}  {format_ns(r.baseline_ns):>10}  "
              f"{r.ratio:7.3f}  {r.speedup:7.2f}x")
