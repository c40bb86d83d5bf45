"""Shared fixtures: the installed package check and the leak check."""

import gc
import os
import pathlib
import sys
import tracemalloc

import psutil
import pytest
from hypothesis import settings

import valdrix

# Property tests judge results, not speed: a loaded CI machine must not turn
# a slow example into a failure.
settings.register_profile("valdrix", deadline=None)
settings.load_profile("valdrix")

TESTS = pathlib.Path(__file__).resolve().parent
ROOT = TESTS.parent
SOURCE_TREE = ROOT / "src"
# The plain-Python oracles live in reference/ at the root, shared with bench/
# and fuzz/; the helpers that test files share (the fuzz harnesses in
# fuzzing/, the module list, the README checker) live here in tests/. Neither
# folder holds a valdrix package, so these paths cannot shadow the installed
# one (pytest_sessionstart checks that all the same).
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(TESTS))
# A debug interpreter (sys.gettotalrefcount) lets the leak check count
# references exactly; `make test-refs` runs the leak tests on one.
COUNTS_REFERENCES = hasattr(sys, "gettotalrefcount")


def pytest_sessionstart(session):
    installed = pathlib.Path(valdrix.__file__).resolve()
    if SOURCE_TREE in installed.parents:
        raise pytest.UsageError(f"valdrix imported from the source tree ({installed}); install it first")


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


def _windows(call, raises, calls, measure, limit, *, at_least=3, at_most=12):
    """Growth of `measure` over consecutive windows of `calls` calls.

    A leak grows memory in every window, by the same amount; noise (a cache
    filling up, the allocator taking a new arena, a collection landing in one
    window) is one-off or settles. So measuring stops as soon as a window stays
    within `limit`, and goes on past `at_least` windows while every one is over
    it: a cache that fills for a while gets the time to fill. Each value is
    taken at the same point of the same loop, so the measuring itself holds
    the same objects at every reading.
    """
    growth = [0] * at_most
    gc.collect()
    before = measure()
    for window in range(at_most):
        _run(call, calls, raises)
        gc.collect()
        after = measure()
        growth[window] = after - before
        before = after
        if window + 1 >= at_least and growth[window] <= limit:
            return growth[:window + 1]
    return growth


def _leaks(growth, limit):
    """Every window over the limit, to the last: a leak, not a cache filling."""
    return min(growth) > limit


def _rss_bytes():
    return psutil.Process().memory_info().rss


def leak_failure(call, *, raises=None, iterations=2000, rounds=4, max_bytes_per_call=1.0,
                 max_rss_growth=4 * 1024 * 1024):
    """None if `call` keeps no memory or references per call; else what grew."""
    _run(call, iterations // 4 + 10, raises)  # warm caches and interned objects
    if COUNTS_REFERENCES:
        # A reference leaked once per call shows in any window, so windows
        # are short (the debug interpreter is slow) and there may be more.
        calls = max(iterations // 4, 1)
        refs = _windows(call, raises, calls, sys.gettotalrefcount, 0, at_most=24)
        if _leaks(refs, 0):
            return f"total reference count grew in every window of {calls} calls: {refs}"
        return None  # the release builds' runs measure memory
    # Without reference counts, a kept object shows as Python memory.
    limit = max_bytes_per_call * iterations
    tracemalloc.start()
    try:
        python = _windows(call, raises, iterations, lambda: tracemalloc.get_traced_memory()[0], limit)
    finally:
        tracemalloc.stop()
    if _leaks(python, limit):
        return f"Python memory kept per window of {iterations} calls: {python} bytes"
    if os.environ.get("VALDRIX_SANITIZED"):
        return None  # the sanitizer's quarantine holds freed memory, so RSS says nothing
    rss = []
    for _ in range(rounds):
        _run(call, iterations, raises)
        gc.collect()
        rss.append(_rss_bytes())
    steady_growth = all(b > a for a, b in zip(rss, rss[1:]))
    if steady_growth and rss[-1] - rss[0] > max_rss_growth:
        return f"resident memory grew every round: {rss}"
    return None


@pytest.fixture
def leak_check():
    """Runs a call many times and fails on steady growth of Python or process memory.

    Python-level growth is measured with tracemalloc (catches leaked references
    and objects); process growth with the resident set size across rounds
    (catches C++ leaks). A debug interpreter counts references exactly instead:
    every extension in the call must then be built for it, as a release-built
    one changes counts without reporting them.
    """

    def check(call, **options):
        failure = leak_failure(call, **options)
        assert failure is None, failure

    return check
