"""The leak check itself: quiet on memory that settles, failing on a real leak."""

import ctypes

import pytest


def clean():
    return lambda: [0] * 8


def fills_a_cache():
    # Keeps memory for its first 800 calls, then none: noise of the kind a
    # method cache or a lazily filled table makes, over several windows.
    cache = {}
    return lambda: cache.setdefault(len(cache) if len(cache) < 800 else 0, object())


def appends_to_a_global():
    kept = []
    return lambda: kept.append(object())


def increfs_a_fresh_object():
    incref = ctypes.pythonapi.Py_IncRef
    return lambda: incref(ctypes.py_object(object()))


@pytest.mark.parametrize("make_call, leaks", [
    (clean, False),
    (fills_a_cache, False),
    (appends_to_a_global, True),
    (increfs_a_fresh_object, True),
])
def test_leak_check_fails_only_on_a_leak(leak_check, make_call, leaks):
    if leaks:
        with pytest.raises(AssertionError, match="grew in every window|memory kept per window"):
            leak_check(make_call(), iterations=200)
    else:
        leak_check(make_call(), iterations=200)
