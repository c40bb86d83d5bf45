"""Shared fixtures: the installed package check and the leak check."""

import gc
import os
import pathlib
import sys
import tracemalloc

import pytest
from hypothesis import settings

import valdrix

# Property tests judge results, not speed: a loaded CI machine must not turn
# a slow example into a failure.
settings.register_profile("valdrix", deadline=None)
settings.load_profile("valdrix")

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE_TREE = ROOT / "src"
# The plain-Python oracles live in reference/ at the root, shared with bench/
# and fuzz/. The root holds no valdrix package, so this path cannot shadow
# the installed one (pytest_sessionstart checks that all the same).
sys.path.insert(0, str(ROOT))


def pytest_sessionstart(session):
    installed = pathlib.Path(valdrix.__file__).resolve()
    if SOURCE_TREE in installed.parents:
        raise pytest.UsageError(f"valdrix imported from the source tree ({installed}); install it first")


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _run(call, times, raises):
    for _ in range(times):
        if raises is None:
            call()
        else:
            try:
                call()
            except raises:
                pass
            else:
                raise AssertionError(f"{call!r} did not raise {raises}")


@pytest.fixture
def leak_check():
    """Runs a call many times and fails on steady growth of Python or process memory.

    Python-level growth is measured with tracemalloc (catches leaked references);
    process growth with the resident set size across rounds (catches C++ leaks).
    """

    def check(call, *, raises=None, iterations=2000, rounds=4, max_bytes_per_call=1.0,
              max_rss_growth=4 * 1024 * 1024):
        _run(call, iterations // 4 + 10, raises)  # warm caches and interned objects
        # A leak grows memory in every window; one-off growth (a cache filling,
        # the allocator's bookkeeping) does not, so judge the smallest window.
        growth = []
        tracemalloc.start()
        try:
            for _ in range(3):
                gc.collect()
                before = tracemalloc.get_traced_memory()[0]
                _run(call, iterations, raises)
                gc.collect()
                growth.append(tracemalloc.get_traced_memory()[0] - before)
        finally:
            tracemalloc.stop()
        assert min(growth) <= max_bytes_per_call * iterations, (
            f"Python memory kept per window of {iterations} calls: {growth} bytes")
        if os.environ.get("VALDRIX_SANITIZED"):
            return  # the sanitizer's quarantine holds freed memory, so RSS says nothing
        rss = []
        for _ in range(rounds):
            _run(call, iterations, raises)
            gc.collect()
            rss.append(_rss_bytes())
        steady_growth = all(b > a for a, b in zip(rss, rss[1:]))
        assert not (steady_growth and rss[-1] - rss[0] > max_rss_growth), (
            f"resident memory grew every round: {rss}")

    return check
