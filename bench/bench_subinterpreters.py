"""Batches of calc_size and of prompt checks on two workers against one, in
subinterpreters with their own GIL (InterpreterPoolExecutor, CPython 3.14 and
newer) and in processes (ProcessPoolExecutor), measured in the same run.

Each row's "valdrix" column is the time with two workers, its "python"
column the time with one, so its speed-up is what the second worker gives.
The modules keep their state per interpreter, so the interpreters' speed-up
should reach that of the processes (on an idle 2-core machine both approach
2x); the line after the table gives the share.
"""

import os
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

CHECK = """
from valdrix.lexgard import PromptBanChecker
checker = PromptBanChecker({path!r})
prompt = "a quiet harbour at dawn, fishing boats, soft fog, warm light " * 30
for _ in range({count}):
    checker.check(prompt)
"""


def words_file():
    fd, path = tempfile.mkstemp(suffix=".txt")
    with os.fdopen(fd, "w", encoding="utf-8") as file:
        file.write("\n".join(f"banned{index}word" for index in range(10000)))
    return path


def batch_seconds(executor_class, workers, script, count, path):
    """Seconds for TASKS runs of `script`, once every worker has imported the modules."""
    with executor_class(max_workers=workers) as executor:
        for warm_up in [executor.submit(exec, script.format(count=1, path=path)) for _ in range(2 * workers)]:
            warm_up.result()
        start = time.perf_counter()
        for task in [executor.submit(exec, script.format(count=count, path=path)) for _ in range(TASKS)]:
            task.result()
        return time.perf_counter() - start


def speedup_row(name, executor_class, script, count, path):
    one = min(batch_seconds(executor_class, 1, script, count, path) for _ in range(2))
    two = min(batch_seconds(executor_class, 2, script, count, path) for _ in range(2))
    return Row(name, two * 1e9 / TASKS, one * 1e9 / TASKS)


def run():
    if sys.version_info < (3, 14):
        return []
    path = words_file()
    try:
        rows = []
        for label, script, count in (("calc_size", CALC_SIZE, 20000), ("check, 10k words", CHECK, 20000)):
            interpreters = speedup_row(f"{label}: 2 interpreters vs 1", futures.InterpreterPoolExecutor, script,
                                       count, path)
            processes = speedup_row(f"{label}: 2 processes vs 1", futures.ProcessPoolExecutor, script, count, path)
            rows += [interpreters, processes]
            share = (interpreters.speedup - 1) / (processes.speedup - 1) if processes.speedup > 1 else float("nan")
            print(f"{label}: interpreters {interpreters.speedup:.2f}x, processes {processes.speedup:.2f}x; "
                  f"interpreters reach {100 * interpreters.speedup / processes.speedup:.0f} % of the processes' "
                  f"speed-up ({100 * share:.0f} % of their gain over one worker)")
        return "Two workers against one (per task of a batch)", rows
    finally:
        os.remove(path)
