"""Every module's calls from eight threads at once.

The back end calls these modules from many threads. Each workload below is
first run on one thread to get its expected outcomes; then eight threads run
all of it concurrently, in different orders, for a bounded time, with the
interpreter switching threads far more often than usual. Every outcome must
equal the single-threaded one, and no thread may hang or die.
"""

import faulthandler
import importlib.util
import io
import os
import pathlib
import random
import re
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from PIL import Image

from valdrix.aspekta import ImageRatioAnalyzer
from valdrix.canvora import ImageTool
from valdrix.comfyui.halvane import ComfyUIManager
from valdrix.dimora import GPTImageSizeCalculator
from valdrix.exceptions import PromptBanError
from valdrix.lexgard import PromptBanChecker
from valdrix.resize import image_resize
from valdrix.response.faultrol import CustomErrorCode, ErrorCodeRegistry
from valdrix.response.faultum import ErrorCode

_STUB_PATH = pathlib.Path(__file__).resolve().parent / "engine_stub.py"
_spec = importlib.util.spec_from_file_location("engine_stub_for_threads", _STUB_PATH)
engine_stub = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(engine_stub)

THREADS = 8
# Wall-clock budget of one stress run; every thread still finishes at least
# one full pass, so a slow (sanitized) build only takes longer.
RUN_SECONDS = 0.25
# A hung run (a deadlock) dumps every thread's stack and ends the process
# rather than hanging the suite.
HANG_SECONDS = 300


# --- outcomes ------------------------------------------------------------------------


def comparable(value):
    """A value that compares equal exactly when two results are the same."""
    if isinstance(value, Image.Image):
        return ("image", value.mode, value.size, value.tobytes())
    if isinstance(value, tuple):
        return tuple(comparable(item) for item in value)
    if isinstance(value, CustomErrorCode):
        return ("custom", value.code, value.msg, repr(value))
    if isinstance(value, ErrorCode):
        return ("member", value.name, value.code, value.msg)
    return value


def outcome(call):
    try:
        return ("returned", comparable(call()))
    except PromptBanError as error:
        # The hit words come from a set, so their order is arbitrary; the
        # message must list them in the order of `data`.
        assert error.error_msg == "Prohibited prompt words: " + ",".join(error.data)
        return ("raised", PromptBanError, tuple(sorted(error.data)))
    except Exception as error:  # every kind of failure is an outcome to compare
        return ("raised", type(error), re.sub(r" at 0x[0-9a-f]+", "", str(error)))  # no object addresses


def stress(tasks, expected=None, *, seconds=RUN_SECONDS, threads=THREADS, check=None):
    """Runs `tasks` (name -> call) from `threads` threads at once.

    Each thread runs the tasks in its own shuffled order, pass after pass,
    until `seconds` have gone by (at least one pass). Outcomes are compared
    with `expected` (by default one single-threaded run) or handed to
    `check(name, outcome)`, which returns an error text or None. Returns the
    number of calls made.
    """
    if expected is None and check is None:
        expected = {name: outcome(call) for name, call in tasks.items()}
    failures, calls = [], [0] * threads
    barrier = threading.Barrier(threads)

    def worker(index):
        order = list(tasks)
        rng = random.Random(index)
        try:
            barrier.wait()
            deadline = time.monotonic() + seconds
            while True:
                rng.shuffle(order)
                for name in order:
                    got = outcome(tasks[name])
                    calls[index] += 1
                    problem = check(name, got) if check else (
                        None if got == expected[name] else f"got {got!r:.300}, expected {expected[name]!r:.300}")
                    if problem:
                        failures.append((index, name, problem))
                if time.monotonic() >= deadline or len(failures) > 20:
                    break
        except BaseException as error:  # a failure of the worker itself
            failures.append((index, "<worker>", repr(error)))

    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        workers = [threading.Thread(target=worker, args=(i,), name=f"stress-{i}") for i in range(threads)]
        for thread in workers:
            thread.start()
        for thread in workers:
            thread.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.setswitchinterval(previous_interval)
    assert not failures, failures[:10]
    assert all(calls), calls
    return sum(calls)


# --- inputs --------------------------------------------------------------------------


def encoded(image, fmt, **options):
    out = io.BytesIO()
    image.save(out, format=fmt, **options)
    return out.getvalue()


def patterned(mode, size, seed):
    rng = random.Random(seed)
    image = Image.new(mode, size)
    bands = len(mode)
    image.putdata([tuple(rng.randrange(256) for _ in range(bands)) if bands > 1 else rng.randrange(256)
                   for _ in range(size[0] * size[1])])
    return image


@pytest.fixture(scope="module")
def images():
    rgba = patterned("RGBA", (40, 40), 3)
    rgba.paste((0, 0, 0, 0), (0, 0, 20, 40))
    return {
        "wide_png": encoded(patterned("RGB", (96, 54), 1), "PNG"),
        "tall_jpeg": encoded(patterned("RGB", (45, 80), 2), "JPEG", quality=90),
        "rgba_png": encoded(rgba, "PNG"),
        "grey_png": encoded(patterned("L", (77, 33), 4), "PNG"),
        "not_an_image": b"\x89PNG but not really",
    }


# --- the image modules -----------------------------------------------------------------


def image_tasks(images):
    fill, resize = ImageTool(), ImageTool(need_adjust="resize")
    mismatch, matching = ImageTool("4:3"), ImageTool("16:9", "fill", (10, 20, 30, 255))
    unsupported = ImageTool(need_adjust="stretch")
    sources = {
        "rgb": patterned("RGB", (64, 36), 5),
        "rgba": Image.open(io.BytesIO(images["rgba_png"])),
        "grey": patterned("L", (21, 50), 6),
    }
    sources["rgba"].load()  # decoded once here, so that threads only read it
    analyser, wide_analyser, tiny_analyser = ImageRatioAnalyzer(), ImageRatioAnalyzer(16), ImageRatioAnalyzer(0)
    tasks = {
        "fill_png": lambda: fill.adjust_size(images["wide_png"]),
        "fill_jpeg_pair": lambda: fill.adjust_size(images["tall_jpeg"], True),
        "fill_rgba_shrink": lambda: fill.adjust_size(images["rgba_png"], expand_percent=-10),
        "fill_colour_match": lambda: matching.adjust_size(images["wide_png"], return_origin_ratio=True),
        "resize_png": lambda: resize.adjust_size(images["wide_png"], True, 25.0),
        "resize_grey": lambda: resize.adjust_size(images["grey_png"]),
        "early_path": lambda: mismatch.adjust_size(images["tall_jpeg"], True),
        "undecodable": lambda: fill.adjust_size(images["not_an_image"]),
        "unsupported_mode": lambda: unsupported.adjust_size(images["wide_png"]),
        "bytes_type": lambda: fill.adjust_size(bytearray(images["wide_png"])),
        "parse_ratio": lambda: ImageTool._parse_ratio(" 16:9px "),
        "parse_bad_ratio": lambda: fill._parse_ratio("16/9"),
        "closest": lambda: fill._get_closest_standard_ratio(1920.7, 1080),
        "closest_zero": lambda: fill._get_closest_standard_ratio(10, 0),
        "construct": lambda: vars(ImageTool("  ", "resize", None, extra=1)),
        "fit_rgb": lambda: image_resize(sources["rgb"], 100, 100),
        "fit_rgba": lambda: image_resize(sources["rgba"], 61, 90.9, bg_color=(255, 0, 0)),
        "fit_grey": lambda: image_resize(image=sources["grey"], target_w=50, target_h=21),
        "fit_zero_side": lambda: image_resize(sources["rgb"], 0, 10),
        "raw_ratio": lambda: analyser.get_raw_simple_ratio(images["wide_png"]),
        "approx_ratio": lambda: analyser.get_approx_simple_ratio(images["tall_jpeg"]),
        "approx_ratio_16": lambda: wide_analyser.get_approx_simple_ratio(images["wide_png"]),
        "approx_ratio_none": lambda: tiny_analyser.get_approx_simple_ratio(images["grey_png"]),
        "raw_undecodable": lambda: analyser.get_raw_simple_ratio(images["not_an_image"]),
        "gcd": lambda: ImageRatioAnalyzer._gcd(-4, 6),
    }
    return tasks


def test_image_modules_from_eight_threads(images):
    assert stress(image_tasks(images)) > THREADS * 20


# --- dimora --------------------------------------------------------------------------------


class Coarse(GPTImageSizeCalculator):
    MULTIPLE = 32


class Narrow(GPTImageSizeCalculator):
    MAX_RATIO = 2.0
    MAX_EDGE = 2048


class Tiered(GPTImageSizeCalculator):
    RESOLUTION_PRESET = {"1k": 1000000, "2k": 2000000}


class Rounded(GPTImageSizeCalculator):
    @classmethod
    def round_to_multiple(cls, value, multiple=None):
        return super().round_to_multiple(value, multiple) + 16


CALCULATORS = [GPTImageSizeCalculator, GPTImageSizeCalculator(), Coarse, Narrow, Tiered, Rounded]


def size_tasks():
    tasks = {}
    # More classes than the calculator keeps facts about, so that threads
    # evict each other's entries all the time.
    for index, calculator in enumerate(CALCULATORS):
        for ratio in ["1:1", "16:9", " 4 : 3 ", "21:9", "3:1", "-16:-9", "-4:-1", "31:10", "16:0", "16", "x:1"]:
            for tier in ["1k", "4K", "8k"]:
                tasks[f"calc {index} {ratio} {tier}"] = (
                    lambda c=calculator, r=ratio, t=tier: c.calc_size(r, t))
        for value in [0, 8, 40, 56, 1254, 3847.9, -100, 15.9]:
            tasks[f"round {index} {value}"] = lambda c=calculator, v=value: c.round_to_multiple(v)
            tasks[f"floor {index} {value}"] = lambda c=calculator, v=value: c.floor_to_multiple(v)
            tasks[f"round10 {index} {value}"] = lambda c=calculator, v=value: c.round_to_multiple(v, 10)
        tasks[f"round zero {index}"] = lambda c=calculator: c.round_to_multiple(5, 0)
        for width, height in [(3840, 2160), (1024, 640), (1008, 640), (3840, 1264), (1024.9, 640), (0, 16)]:
            tasks[f"valid {index} {width}x{height}"] = (
                lambda c=calculator, w=width, h=height: c.is_valid_image_size(w, h))
    return tasks


def test_size_calculation_from_eight_threads():
    assert stress(size_tasks()) > THREADS * 100


# --- lexgard -----------------------------------------------------------------------------

# Two word lists that the file alternates between. The long one holds more
# text than the matcher builds with the interpreter's lock held.
LONG_WORDS = [f"w{n:05d}ord" for n in range(8000)] + ["中文", "ſecret", "a.b", "c++"]
SHORT_WORDS = ["ab", "abcd", "  xy  ", "中文", "SECRET", "w00001ord"]
PROMPTS = [
    "all clean here",
    "W00017ORD and w06999ord, 中文 secret",
    "xabcx ab xy a.b axb c++",
    "",
    ("lorem W00017ORD ipsum 中文 SECRET w00001ord abcd " * 150) + "c++",  # long: scanned without the lock
]


def write_atomically(path, words):
    temporary = path.with_suffix(".tmp")
    temporary.write_text("\n".join(words), encoding="utf-8")
    os.replace(temporary, path)


def expected_checks(path, words, ignore_case):
    write_atomically(path, words)
    checker = PromptBanChecker(str(path), ignore_case)
    return {("check", prompt): outcome(lambda p=prompt: checker.check(p) is p) for prompt in PROMPTS} | {
        ("find", prompt): outcome(lambda p=prompt: sorted(checker.find_matched_words(p))) for prompt in PROMPTS}


@pytest.mark.parametrize("ignore_case", [True, False])
def test_checks_beside_reloads_of_a_changing_file(tmp_path, ignore_case):
    path = tmp_path / "words.txt"
    lists = [LONG_WORDS, SHORT_WORDS]
    allowed = {}
    for words in lists:
        for key, result in expected_checks(path, words, ignore_case).items():
            allowed.setdefault(key, []).append(result)
    assert any(len(set(map(repr, results))) > 1 for results in allowed.values())  # the lists differ

    checker = PromptBanChecker(str(path), ignore_case)
    reloads = [0]
    reload_lock = threading.Lock()  # the host serialises reloads; checks run beside them

    def reload():
        with reload_lock:
            reloads[0] += 1
            write_atomically(path, lists[reloads[0] % 2])
            checker.load_banned_words()
        return None

    tasks = {"reload": reload}
    for prompt in PROMPTS:
        tasks[("check", prompt)] = lambda p=prompt: checker.check(p) is p
        tasks[("find", prompt)] = lambda p=prompt: sorted(checker.find_matched_words(p))

    def check(name, got):
        if name == "reload":
            return None if got == ("returned", None) else f"reload gave {got!r:.300}"
        return None if got in allowed[name] else f"{got!r:.300} is neither list's result"

    stress(tasks, check=check)
    assert reloads[0] >= THREADS
    # The last reload left words and pattern of one list, consistently.
    current = lists[reloads[0] % 2]
    assert checker.banned_words == sorted(dict.fromkeys(w.strip() for w in current), key=len, reverse=True)
    for prompt in PROMPTS:
        assert outcome(lambda: sorted(checker.find_matched_words(prompt))) == \
            allowed[("find", prompt)][lists.index(current)]


def test_separate_checkers_built_and_used_concurrently(tmp_path):
    files = {}
    for index, words in enumerate([LONG_WORDS, SHORT_WORDS, ["solo"], []]):
        files[index] = tmp_path / f"words{index}.txt"
        write_atomically(files[index], words)

    def build_and_use(index, ignore_case):
        checker = PromptBanChecker(str(files[index]), ignore_case)
        return tuple(outcome(lambda p=prompt: sorted(checker.find_matched_words(p))) for prompt in PROMPTS)

    tasks = {(index, case): (lambda i=index, c=case: build_and_use(i, c)) for index in files for case in (True, False)}
    tasks["missing"] = lambda: PromptBanChecker(str(tmp_path / "missing.txt"))
    stress(tasks)


# --- error codes ---------------------------------------------------------------------------


class StressRegistry(ErrorCodeRegistry):
    _registry = {}


def error_code_tasks():
    def fixed_codes():
        return [(member.code, member.msg) for member in ErrorCode]

    def own_registry(key):
        # A registry per task: every step's result is known in advance.
        registry = type(f"Registry{key}", (ErrorCodeRegistry,), {"_registry": {}})
        first = registry.register(f"{key}_A", "first")
        registry.register(f"{key}_B", "second")
        again = registry.register(f"{key}_A", "again")
        listed = registry.list_all()
        listed.pop(f"{key}_B")
        found = registry.get(f"{key}_A")
        registry.clear()
        return (found is again, first.msg, [(code, item.msg) for code, item in registry.list_all().items()],
                list(listed), registry.get(f"{key}_A"))

    tasks = {
        "members": fixed_codes,
        "by_name": lambda: ErrorCode["PROMPT_BANNED"],
        "by_value": lambda: ErrorCode(("SUCCESS", "服务完成")),
        "by_code_alone": lambda: ErrorCode("SUCCESS"),
        "custom": lambda: CustomErrorCode("MY_ERROR", "自定义错误消息"),
        "custom_bad_type": lambda: CustomErrorCode("MY_ERROR", None),
        "get_missing": lambda: StressRegistry.get("NEVER_REGISTERED"),
    }
    for key in range(6):
        tasks[f"own_registry_{key}"] = lambda k=key: own_registry(k)
    return tasks


def test_error_codes_from_eight_threads():
    assert stress(error_code_tasks()) > THREADS * 10


def test_one_registry_shared_by_eight_threads():
    StressRegistry.clear()
    base_registry = dict(ErrorCodeRegistry._registry)
    made_by = {}

    def register_and_read(slot):
        # A thread's own codes are touched by that thread only; the shared
        # code is registered by all of them.
        own = f"CODE_{threading.current_thread().name}_{slot}"
        made = StressRegistry.register(own, f"message {own}")
        shared = StressRegistry.register("SHARED", f"from {own}")
        made_by[own] = made
        listed = StressRegistry.list_all()
        found_shared = StressRegistry.get("SHARED")
        return (StressRegistry.get(own) is made, listed[own] is made, shared.code,
                found_shared.code, found_shared.msg.startswith("from CODE_"),
                all(code == item.code for code, item in listed.items()))

    tasks = {f"slot_{slot}": (lambda s=slot: register_and_read(s)) for slot in range(5)}
    expected = {name: ("returned", (True, True, "SHARED", "SHARED", True, True)) for name in tasks}
    stress(tasks, expected)
    listed = StressRegistry.list_all()
    codes = {f"CODE_stress-{thread}_{slot}" for thread in range(THREADS) for slot in range(5)}
    assert set(listed) == codes | {"SHARED"}
    assert all(StressRegistry.get(code) is made_by[code] for code in codes)
    assert ErrorCodeRegistry._registry == base_registry  # the base class's registry was never touched
    StressRegistry.clear()


# --- halvane --------------------------------------------------------------------------------


class QuietLogger:
    def debug(self, fmt, *args):
        fmt % args

    error = debug


@pytest.fixture
def engines():
    with engine_stub.EngineStub(stats_statuses=(200,)) as up, \
            engine_stub.EngineStub(reboot_status=200, stats_statuses=(200,)) as stays_up:
        yield up, stays_up


def halvane_tasks(up, stays_up):
    logger = QuietLogger()
    ready = ComfyUIManager(up.base_url + "/", timeout=2, max_wait_seconds=10, poll_interval=0.01, logger=logger)
    cycle = ComfyUIManager(stays_up.base_url, timeout=2, max_wait_seconds=10, poll_interval=0.01, logger=logger)
    down = ComfyUIManager(f"http://127.0.0.1:{engine_stub.refused_port()}", 1, 1, 0.02, logger)
    down.max_wait = 0.1  # read at every check, so a short budget is a plain attribute
    return {
        "ready": ready.wait_service_ready,
        "down": down.wait_service_ready,
        "reboot_order": cycle.trigger_reboot,
        "reboot_refused": down.trigger_reboot,
        "cycle": cycle.run_reboot_and_wait,
        "construct": lambda: vars(ComfyUIManager("http://h//", 2.9, True, 3, None)) | {"logger": None},
        "construct_bad": lambda: ComfyUIManager(None, "x"),
    }


def test_engine_control_from_eight_threads(engines):
    up, stays_up = engines
    tasks = halvane_tasks(up, stays_up)
    expected = {name: outcome(call) for name, call in tasks.items()}
    assert expected["ready"] == expected["cycle"] == ("returned", True)
    assert expected["down"] == ("returned", False)
    stress(tasks, expected)
    assert up.is_up and stays_up.is_up


# `work` runs native code without the interpreter's lock most of its time, or
# Python code called from native code that gives the lock up.
DAEMON_WORK = {
    "call into Python": """
        import time
        from valdrix.response import faultrol
        CustomErrorCode = faultrol.CustomErrorCode
        faultrol.CustomErrorCode = lambda code, msg: (time.sleep(0.0005), CustomErrorCode(code, msg))[1]
        work = lambda: faultrol.ErrorCodeRegistry.register("E1", "m")
    """,
    "load a word file": """
        import os, tempfile
        from valdrix.lexgard import PromptBanChecker
        directory = tempfile.TemporaryDirectory()
        path = os.path.join(directory.name, "words.txt")
        with open(path, "w", encoding="utf-8") as file:
            file.write("\\n".join(f"word{i}" for i in range(50_000)))
        work = lambda: PromptBanChecker(path)
    """,
    "scan": """
        from valdrix.lexgard import PromptBanChecker
        checker = PromptBanChecker.__new__(PromptBanChecker)
        checker.banned_words, checker.ignore_case = ["w1x"], True
        checker._build_regex()
        work = lambda: checker.find_matched_words("abc " * 200_000)
    """,
    "build": """
        from valdrix.lexgard import PromptBanChecker
        def work():
            checker = PromptBanChecker.__new__(PromptBanChecker)
            checker.banned_words, checker.ignore_case = [f"w{i:05d}x" for i in range(1000)], True
            checker._build_regex()
    """,
}


@pytest.mark.parametrize("work", sorted(DAEMON_WORK))
def test_daemon_threads_amid_native_work_let_the_interpreter_exit(work):
    script = textwrap.dedent(DAEMON_WORK[work]) + textwrap.dedent("""
        import threading, time
        def loop():
            while True:
                work()
        for _ in range(4):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.3)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
