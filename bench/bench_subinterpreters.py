"""Batches of calc_size and of prompt checks on two workers against one, in
subinterpreters with their own GIL (InterpreterPoolExecutor, CPython 3.14 and
newer) and in processes (ProcessPoolExecutor), measured in the same run.

Each row's "valdrix" column is the time with two workers, its "plain"
column the time with one, so its speed-up is what the second worker gives.
The modules keep their state per interpreter, so the interpreters' speed-up
should reach that of the processes (on an idle 2-core machine both approach
2x); the line after the table gives the share.
"""

import os
import statistics
import sys
import tempfile
import time
from concurrent import futures

from _harness import Row

TASKS = 8

CALC_SIZE = """
from valdrix.dimora import GPTImageSizeCalculator as G
for _ in range({count}):
    for ratio in ("1:1", "16:9", "9:16", "4:3", "7:10", "21:9", "3:1", "2:3", "5:4", "17:11"):
        G.calc_size(ratio, "4k")
"""

# The checker is loaded once per worker (kept in its __main__) and then only
# checks, as a service keeps its checker.
CHECK = """
import __main__
checker = getattr(__main__, "valdrix_checker", None)
if checker is None:
    from valdrix.lexgard import PromptBanChecker
    checker = __main__.valdrix_checker = PromptBanChecker({path!r})
prompt = "a quiet harbour at dawn, fishing boats, soft fog, warm light " * 30
for _ in range({count}):
    checker.check(prompt)
"""

# Warm-up tasks sleep a little, so that every worker gets some.
WARM_UP = "import time; time.sleep(0.05)\n"


def words_file():
    fd, path = tempfile.mkstemp(suffix=".txt")
    with os.fdopen(fd, "w", encoding="utf-8") as file:
        file.write("\n".join(f"banned{index}word" for index in range(10000)))
    return path


def batch_seconds(executor_class, workers, script, count, path):
    """Seconds for TASKS runs of `script`, once every worker has imported the modules."""
    with executor_class(max_workers=workers) as executor:
        warm_up_script = WARM_UP + script.format(count=1, path=path)
        for warm_up in [executor.submit(exec, warm_up_script) for _ in range(2 * workers)]:
            warm_up.result()
        start = time.perf_counter()
        for task in [executor.submit(exec, script.format(count=count, path=path)) for _ in range(TASKS)]:
            task.result()
        return time.perf_counter() - start


ROUNDS = 5


def measure(script, count, path):
    """Per round, the seconds of one and of two workers of each kind, measured
    one after the other so that a slow moment of the machine hits all alike."""
    kinds = {"interpreters": futures.InterpreterPoolExecutor, "processes": futures.ProcessPoolExecutor}
    times = {(kind, workers): [] for kind in kinds for workers in (1, 2)}
    for _ in range(ROUNDS):
        for (kind, workers), samples in times.items():
            samples.append(batch_seconds(kinds[kind], workers, script, count, path))
    return times


def run():
    if sys.version_info < (3, 14):
        return []
    path = words_file()
    try:
        rows = []
        for label, script, count in (("calc_size", CALC_SIZE, 20000), ("check, 10k words", CHECK, 20000)):
            times = measure(script, count, path)
            speedups = {kind: [one / two for one, two in zip(times[kind, 1], times[kind, 2])]
                        for kind in ("interpreters", "processes")}
            for kind in ("interpreters", "processes"):
                rows.append(Row(f"{label}: 2 {kind} vs 1", statistics.median(times[kind, 2]) * 1e9 / TASKS,
                                statistics.median(times[kind, 1]) * 1e9 / TASKS,
                                cython_note="two workers (valdrix) against one (plain)"))
            interpreters, processes = (statistics.median(speedups[kind]) for kind in ("interpreters", "processes"))
            print(f"{label}: median speed-up of a second worker over {ROUNDS} rounds: interpreters "
                  f"{interpreters:.2f}x, processes {processes:.2f}x; interpreters reach "
                  f"{100 * interpreters / processes:.0f} % of the processes' speed-up")
        return "Two workers against one (per task of a batch)", rows
    finally:
        os.remove(path)
