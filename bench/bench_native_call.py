"""The native layer's own cost of a call: functions that only return their
argument, called in a loop with nothing else in it.

- valdrix: valdrix._native_probe.identity, a function made by the layer;
- plain and Cython: `def identity(value): return value` (reference/_native_probe.py);
- bare METH_FASTCALL: valdrix._native_probe.bare_identity, a C function that
  checks its argument count and returns;
- a C builtin: abs() of a non-negative int, which returns that very int (METH_O).

Each function gets a loop of its own, so that the interpreter specialises
each call site for one callee; an empty loop gives the loop's own cost, which
the figures below the table leave out. The layer's overhead is its time less
the bare function's.
"""

import itertools
import statistics
import time

from _harness import Row, twins

from valdrix import _native_probe

LOOP = """
def loop(function, value, number, clock, repeat):
    start = clock()
    for _ in repeat(None, number):
        function(value)
    return clock() - start
"""

EMPTY_LOOP = """
def loop(function, value, number, clock, repeat):
    start = clock()
    for _ in repeat(None, number):
        pass
    return clock() - start
"""

NUMBER = 200_000
ROUNDS = 15


def new_loop(source):
    namespace = {}
    exec(source, namespace)
    return namespace["loop"]


def timings(functions):
    """Per function, the ns per call of each round; the functions' rounds interleave."""
    loops = {name: new_loop(EMPTY_LOOP if function is None else LOOP) for name, function in functions.items()}
    samples = {name: [] for name in functions}
    for _ in range(ROUNDS):
        for name, function in functions.items():
            elapsed = loops[name](function, 7, NUMBER, time.perf_counter_ns, itertools.repeat)
            samples[name].append(elapsed / NUMBER)
    return samples


def run():
    pair = twins("_native_probe")
    functions = {
        "loop alone": None,
        "bare METH_FASTCALL (_native_probe.bare_identity)": _native_probe.bare_identity,
        "C builtin abs(7) (METH_O)": abs,
        "plain Python def identity": pair.plain.identity,
        "Cython def identity": pair.cython.identity if pair.cython is not None else None,
        "valdrix layer (_native_probe.identity)": _native_probe.identity,
    }
    if pair.cython is None:
        del functions["Cython def identity"]
    samples = timings(functions)
    median = {name: statistics.median(values) for name, values in samples.items()}
    best = {name: min(values) for name, values in samples.items()}
    layer, bare = "valdrix layer (_native_probe.identity)", "bare METH_FASTCALL (_native_probe.bare_identity)"

    print(f"\nnative call overhead: ns per call, the loop's own cost ({median['loop alone']:.1f} ns) left out;"
          f" median (best) of {ROUNDS} interleaved batches of {NUMBER:,} calls")
    for name in functions:
        if name != "loop alone":
            print(f"  {name:<50} {median[name] - median['loop alone']:6.1f} ns"
                  f"  ({best[name] - best['loop alone']:.1f})")
    print(f"  layer - bare METH_FASTCALL: {median[layer] - median[bare]:+.1f} ns ({best[layer] - best[bare]:+.1f} ns"
          " best); target: at most 15 ns")

    cython = median.get("Cython def identity")
    row = Row("identity(value), loop included", median[layer], median["plain Python def identity"], cython,
              "" if cython is not None else pair.cython_note)
    return "native call: a function that returns its argument", [row]
