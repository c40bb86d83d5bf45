"""Mutation fuzzing: hostile Python-level actions on every object of the package.

A program is a list of actions, each one line of Python over a fixed set of
names (the prelude below): the package's public modules (M), their classes (C), every
native function, method, property accessor and class-level callable in its
raw form (F) and one live instance of each class (I). Actions write and
delete attributes of functions, classes and instances, rebind methods to one
another on instances and classes, replace or delete module globals, create
subclasses whose overrides call themselves, and then call, repr, pickle,
copy and introspect whatever is there. Every action runs inside
`try/except BaseException`: any Python exception is an acceptable outcome.
A program fails when its process dies by a signal or a sanitizer report
shows up on its standard error.

hypothesis draws the programs and shrinks a failing one to the shortest
list of simplest actions that still fails the same way; `find` does both.
Each program runs in a process forked from this one after the package is
imported (and from nothing else), so no mutation survives into the next
program, and a crash costs one fork. The engine manager only ever sees
http://127.0.0.1 on a port that is bound and never listened on.

Runs are organised in rounds: each round allows mutations of one family
(function attributes, class attributes, instance attributes, rebinding,
module globals, subclasses, or all of them) on one module or all modules,
so that crashers of different kinds are found rather than the easiest one
again and again; a crasher already found (same family, module, signal and
crashing operation) is not searched for a second time.

    fuzz/fuzz_mutation.py [-max_total_time=N] [-artifact_prefix=P] [-seed=N]

The options are spelled like libFuzzer's so that fuzz/run.sh drives this
harness like the others. Each distinct crasher is written, minimised, to
P<signature>.py as a standalone script (run it with the package's Python).
Exit status 1 when anything crashed.

The test suite runs this harness's own machinery (run_program, Catalogue)
to check that it tells crashes from exceptions.
"""

from __future__ import annotations

import importlib
import json
import os
import random
import re
import signal
import sys
import tempfile
import time

from package_modules import public_modules, short_name

# Every public module, by the short name that programs and crash signatures use.
MODULES = {short_name(full): full for full in public_modules()}

# Everything a program may name. It runs once per program, before the first
# action, so it must stay cheap; it mutates nothing of the package.
PRELUDE = r'''
import copy, importlib, inspect, io, pickle, pydoc, socket, sys, tempfile, types, typing, weakref
from PIL import Image as _PILImage

MODULES = %(modules)r
M = {short: importlib.import_module(full) for short, full in MODULES.items()}
C, F = {}, {}
for _short, _mod in M.items():
    for _name, _value in list(vars(_mod).items()):
        if getattr(_value, "__module__", None) != _mod.__name__:
            continue
        if isinstance(_value, type):
            C[_short + "." + _name] = _value
            for _member, _raw in list(vars(_value).items()):
                _key = _short + "." + _name + "." + _member
                if isinstance(_raw, (staticmethod, classmethod)):
                    F[_key] = _raw.__func__
                elif isinstance(_raw, property):
                    for _part in ("fget", "fset", "fdel"):
                        if getattr(_raw, _part) is not None:
                            F[_key + "." + _part] = getattr(_raw, _part)
                elif type(_raw).__name__ == "native_function":
                    F[_key] = _raw
        elif type(_value).__name__ == "native_function":
            F[_short + "." + _name] = _value

# A port that is bound and never listened on: every request is refused at once.
_HOLD = socket.socket()
_HOLD.bind(("127.0.0.1", 0))
URL = "http://127.0.0.1:%%d" %% _HOLD.getsockname()[1]
_DIR = tempfile.mkdtemp(prefix="valdrix-mutation-")
WORDS = _DIR + "/words.txt"
with open(WORDS, "w", encoding="utf-8") as _f:
    _f.write("abc\nq\n\u66b4\u529b\nx.y\n")
_out = io.BytesIO()
_PILImage.new("RGBA", (6, 4), (1, 2, 3, 4)).save(_out, format="PNG")
PNG = _out.getvalue()
IMG = _PILImage.new("RGB", (5, 3), (9, 9, 9))

FACTORIES = {
    "canvora.ImageTool": lambda: C["canvora.ImageTool"]("1:1", "fill"),
    "aspekta.ImageRatioAnalyzer": lambda: C["aspekta.ImageRatioAnalyzer"](4),
    "dimora.GPTImageSizeCalculator": lambda: C["dimora.GPTImageSizeCalculator"](),
    "lexgard.PromptBanChecker": lambda: C["lexgard.PromptBanChecker"](WORDS),
    "faultum.ErrorCode": lambda: C["faultum.ErrorCode"].TIMEOUT,
    "faultrol.CustomErrorCode": lambda: C["faultrol.CustomErrorCode"]("E1", "msg"),
    "faultrol.ErrorCodeRegistry": lambda: C["faultrol.ErrorCodeRegistry"](),
    "halvane.ComfyUIManager": lambda: C["halvane.ComfyUIManager"](URL, 1, 0, 0.01),
}


def new(key):
    factory = FACTORIES.get(key)
    return factory() if factory is not None else C[key]()


I = {}
for _key in C:
    try:
        I[_key] = new(_key)
    except Exception:
        pass


def REC(*args, **kwargs):
    """Calls itself without end, like a mistaken override."""
    return REC(*args, **kwargs)


def RAISE(*args, **kwargs):
    raise RuntimeError("raised by a replacement")


class STRSUB(str):
    pass


class INTSUB(int):
    def __index__(self):
        raise ValueError("index of INTSUB")


class HOSTILE:
    """Every operation on it raises or answers with the wrong type."""

    def __getattr__(self, name):
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        return RAISE

    def __call__(self, *args, **kwargs):
        return self

    def __len__(self):
        return -1

    def __iter__(self):
        return self

    def __next__(self):
        raise ValueError("no next")

    def __eq__(self, other):
        raise TypeError("no equality")

    __hash__ = object.__hash__

    def __str__(self):
        return 5

    def __index__(self):
        return "not an int"

    def __float__(self):
        return "not a float"


def FORWARD(key):
    """A callable that hands every call on to native function F[key]."""
    return lambda *args, **kwargs: F[key](*args, **kwargs)


NS = types.SimpleNamespace()
'''

# The runner a forked child executes: the prelude, then each action, each
# under its own alarm so that a loop of retries (the engine manager) or a
# sleep ends in a Python exception rather than in the parent's time limit.
RUNNER = r'''
def _run(actions, progress_fd, seconds):
    import signal, traceback

    def _alarm(signum, frame):
        raise TimeoutError("action took too long")

    signal.signal(signal.SIGALRM, _alarm)
    for index, source in enumerate(actions):
        os.pwrite(progress_fd, b"%08d" % index, 0)
        try:
            try:
                signal.setitimer(signal.ITIMER_REAL, seconds)
                exec(source, globals())
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        except BaseException as error:
            # Reading the error back exercises the traceback entries and
            # the messages that the native layer built.
            try:
                signal.setitimer(signal.ITIMER_REAL, seconds)
                repr(error)
                str(error)
                traceback.format_exception(error)
            except BaseException:
                pass
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
'''

# --- what actions are made of ---------------------------------------------------

FUNCTION_ATTRS = ["__qualname__", "__name__", "__defaults__", "__kwdefaults__", "__dict__", "__annotations__",
                  "__doc__", "__module__", "__text_signature__", "__wrapped__", "__globals__", "__type_params__",
                  "__signature__", "__code__", "__builtins__", "__self__", "custom"]
CLASS_DUNDERS = ["__qualname__", "__name__", "__doc__", "__module__", "__init__", "__repr__", "__str__",
                 "__setattr__", "__getattribute__", "__getattr__", "__new__", "__init_subclass__", "__eq__",
                 "__hash__", "__reduce__", "__reduce_ex__", "__class_getitem__", "__annotations__", "__call__"]
INSTANCE_DUNDERS = ["__class__", "__dict__", "__doc__", "custom"]

# Replacement objects, plain ones first so that shrinking lands on them.
VALUES = ["None", "0", "-1", "5", "2**64", "1.5", "float('nan')", "''", "'x'", "'1:1'", "'\\udcff'", "b'1:1'",
          "()", "(1, 2)", "('a', 'b', 'c')", "(None,) * 6", "[]", "['1:1', 'x']", "{}", "{'a': 1}",
          "{'return': 'Undefined'}", "object()", "RAISE", "REC", "STRSUB('abc')", "INTSUB(3)", "HOSTILE()",
          "NS", "lambda *a, **k: None", "type", "print", "sys", "abs"]
ARGS = ["PNG", "IMG", "'1:1'", "'16:9'", "'2k'", "'fill'", "'resize'", "WORDS", "URL", "'abc q'", "'E1'",
        "'msg'", "3", "10", "0", "-4", "0.5", "True", "None", "b''", "'x:y'", "STRSUB('1:1')", "INTSUB(7)",
        "HOSTILE()", "REC", "2**70", "float('inf')"]
KEYWORDS = ["proportion", "need_adjust", "fill_color", "image_bytes", "return_origin_ratio", "expand_percent",
            "ratio_str", "width", "height", "image", "target_w", "target_h", "bg_color", "approx_search_range",
            "a", "b", "value", "multiple", "aspect_ratio", "resolution", "ban_word_file", "ignore_case", "text",
            "prompt", "code", "msg", "base_url", "timeout", "max_wait_seconds", "poll_interval", "logger", "bogus"]
INTROSPECT = ["repr({x})", "str({x})", "hash({x})", "dir({x})", "vars({x})", "pickle.loads(pickle.dumps({x}))",
              "copy.copy({x})", "copy.deepcopy({x})", "inspect.signature({x})",
              "inspect.signature({x}, eval_str=True)", "typing.get_type_hints({x})",
              "inspect.get_annotations({x}, eval_str=True)", "inspect.getdoc({x})", "pydoc.render_doc({x})",
              "{x}.__qualname__", "{x}.__name__", "{x}.__defaults__", "{x}.__kwdefaults__",
              "{x}.__annotations__", "{x}.__dict__", "{x}.__doc__", "{x}.__module__", "{x}.__text_signature__",
              "{x}.__globals__", "{x}.__self__", "{x}.__func__", "{x}.__get__(None, object)", "{x}.__get__(IMG)",
              "{x} == {x}", "weakref.ref({x})", "format({x}, '')", "{x}.__reduce_ex__(2)"]
FAMILIES = ["function", "class", "instance", "rebind", "global", "subclass"]


class Catalogue:
    """The names a program can use, read from the package without changing it."""

    def __init__(self, instance_attrs: dict[str, list[str]]):
        self.globals: dict[str, list[str]] = {}
        self.classes: dict[str, list[str]] = {}
        self.functions: list[str] = []
        for short, full in MODULES.items():
            module = importlib.import_module(full)
            self.globals[short] = [name for name in vars(module) if name != "__builtins__"]
            for name, value in vars(module).items():
                if getattr(value, "__module__", None) != full:
                    continue
                if isinstance(value, type):
                    key = f"{short}.{name}"
                    self.classes[key] = [member for member in vars(value) if member not in ("__dict__",)]
                    for member, raw in vars(value).items():
                        if isinstance(raw, (staticmethod, classmethod)) or type(raw).__name__ == "native_function":
                            self.functions.append(f"{key}.{member}")
                        elif isinstance(raw, property):
                            self.functions += [f"{key}.{member}.{part}" for part in ("fget", "fset", "fdel")
                                               if getattr(raw, part) is not None]
                elif type(value).__name__ == "native_function":
                    self.functions.append(f"{short}.{name}")
        self.instance_attrs = instance_attrs

    def module_of(self, key: str) -> str:
        return key.split(".", 1)[0]


def warm() -> None:
    """Work every program would repeat, done once before the first fork.

    The prelude runs once here and its namespace is thrown away: the
    standard modules it imports stay imported, and the lazily made state of
    Pillow (its format plugins) and of the package (the banned-word
    checker's tables, a fifth of a second on the first checker) is made
    before the first fork instead of in every program. Programs therefore
    never see that state being made; the test suite does.
    """
    namespace: dict = {"os": os}
    exec(PRELUDE % {"modules": MODULES}, namespace)
    namespace["I"]["lexgard.PromptBanChecker"].find_matched_words("abc")
    namespace["_HOLD"].close()
    os.unlink(namespace["WORDS"])
    os.rmdir(namespace["_DIR"])


def discover_instance_attrs() -> dict[str, list[str]]:
    """Instance attribute names, read in a forked child (construction may touch state)."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        try:
            namespace: dict = {}
            exec(PRELUDE % {"modules": MODULES}, namespace)
            names = {key: sorted(vars(obj)) if hasattr(obj, "__dict__") else []
                     for key, obj in namespace["I"].items()}
            os.write(write, json.dumps(names).encode())
        finally:
            os._exit(0)
    os.close(write)
    chunks = []
    while chunk := os.read(read, 65536):
        chunks.append(chunk)
    os.close(read)
    os.waitpid(pid, 0)
    return json.loads(b"".join(chunks) or b"{}")


# --- drawing programs ------------------------------------------------------------

def strategies(catalogue: Catalogue, family: str | None, module: str | None):
    from hypothesis import strategies as st

    def in_module(keys):
        chosen = [key for key in keys if module is None or catalogue.module_of(key) == module]
        return chosen or list(keys)

    functions = in_module(catalogue.functions)
    classes = in_module(catalogue.classes)
    modules = [module] if module else list(MODULES)
    all_functions = catalogue.functions
    all_classes = list(catalogue.classes)

    def fexpr(key):
        return f"F[{key!r}]"

    callables = st.one_of(
        st.sampled_from(["REC", "RAISE"]),
        st.sampled_from(all_functions).map(fexpr),
        st.sampled_from(all_functions).map(lambda key: f"FORWARD({key!r})"),
        st.sampled_from(all_classes).flatmap(lambda key: st.sampled_from(catalogue.classes[key] or ["__init__"]).map(
            lambda member: f"getattr(I[{key!r}], {member!r})")),
        st.sampled_from(all_classes).map(lambda key: f"C[{key!r}]"),
    )
    values = st.one_of(st.sampled_from(VALUES), callables,
                       st.sampled_from(all_classes).map(lambda key: f"I[{key!r}]"))

    def owner_and_member(key):
        members = catalogue.classes[key] + CLASS_DUNDERS
        return st.tuples(st.just(key), st.sampled_from(members))

    def instance_member(key):
        members = catalogue.instance_attrs.get(key, []) + catalogue.classes[key] + INSTANCE_DUNDERS
        return st.tuples(st.just(key), st.sampled_from(members))

    mutations = {
        "function": st.tuples(st.sampled_from(functions), st.sampled_from(FUNCTION_ATTRS),
                              st.one_of(st.none(), values)).map(
            lambda t: f"delattr({fexpr(t[0])}, {t[1]!r})" if t[2] is None
            else f"setattr({fexpr(t[0])}, {t[1]!r}, {t[2]})"),
        "class": st.tuples(st.sampled_from(classes).flatmap(owner_and_member), st.one_of(st.none(), values)).map(
            lambda t: f"delattr(C[{t[0][0]!r}], {t[0][1]!r})" if t[1] is None
            else f"setattr(C[{t[0][0]!r}], {t[0][1]!r}, {t[1]})"),
        "instance": st.tuples(st.sampled_from(classes).flatmap(instance_member), st.one_of(st.none(), values)).map(
            lambda t: f"delattr(I[{t[0][0]!r}], {t[0][1]!r})" if t[1] is None
            else f"setattr(I[{t[0][0]!r}], {t[0][1]!r}, {t[1]})"),
        "rebind": st.tuples(st.sampled_from(["I", "C"]), st.sampled_from(classes).flatmap(owner_and_member),
                            callables).map(lambda t: f"setattr({t[0]}[{t[1][0]!r}], {t[1][1]!r}, {t[2]})"),
        "global": st.tuples(st.sampled_from(modules).flatmap(
            lambda short: st.tuples(st.just(short), st.sampled_from(catalogue.globals[short]))),
            st.one_of(st.none(), values)).map(
            lambda t: f"delattr(M[{t[0][0]!r}], {t[0][1]!r})" if t[1] is None
            else f"setattr(M[{t[0][0]!r}], {t[0][1]!r}, {t[1]})"),
        "subclass": st.tuples(st.sampled_from(classes).flatmap(owner_and_member), callables).map(
            lambda t: f"I[{t[0][0]!r}] = type('Sub', (C[{t[0][0]!r}],), {{{t[0][1]!r}: {t[1]}}})"
                      f"({_factory_args(t[0][0])})"),
    }
    mutation = st.one_of(*mutations.values()) if family is None else mutations[family]

    args = st.lists(st.sampled_from(ARGS), max_size=4)
    kwargs = st.lists(st.tuples(st.sampled_from(KEYWORDS), st.sampled_from(ARGS)), max_size=2)

    def call_text(t):
        target, positional, named = t
        parts = list(positional) + [f"{name}={value}" for name, value in dict(named).items()]
        return f"{target}({', '.join(parts)})"

    call_targets = st.one_of(
        st.sampled_from(functions).map(fexpr),
        st.sampled_from(classes).flatmap(lambda key: st.sampled_from(catalogue.classes[key] or ["__init__"]).map(
            lambda member: f"getattr(I[{key!r}], {member!r})")),
        st.sampled_from(classes).flatmap(lambda key: st.sampled_from(catalogue.classes[key] or ["__init__"]).map(
            lambda member: f"getattr(C[{key!r}], {member!r})")),
        st.sampled_from(classes).map(lambda key: f"C[{key!r}]"),
    )
    call = st.tuples(call_targets, args, kwargs).map(call_text)
    subjects = st.one_of(call_targets, st.sampled_from(classes).map(lambda key: f"I[{key!r}]"),
                         st.sampled_from(modules).map(lambda short: f"M[{short!r}]"))
    introspect = st.tuples(st.sampled_from(INTROSPECT), subjects).map(lambda t: t[0].replace("{x}", t[1]))
    renew = st.sampled_from(classes).map(lambda key: f"I[{key!r}] = new({key!r})")
    action = st.one_of(mutation, call, introspect, renew)
    # Lists of lists: hypothesis keeps a flat list short (a handful of
    # elements on average), too short for a mutation to meet the call that
    # trips over it; shrinking still reaches a single action.
    chunk = st.lists(action, min_size=1, max_size=15)
    return st.lists(chunk, min_size=1, max_size=15).map(lambda chunks: [source for part in chunks for source in part])


def _factory_args(key: str) -> str:
    return {"canvora.ImageTool": "'1:1'", "lexgard.PromptBanChecker": "WORDS", "aspekta.ImageRatioAnalyzer": "4",
            "faultrol.CustomErrorCode": "'E1', 'msg'", "halvane.ComfyUIManager": "URL, 1, 0, 0.01"}.get(key, "")


# --- running one program -----------------------------------------------------------

SANITIZER_REPORT = re.compile(rb"ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|"
                              rb"UndefinedBehaviorSanitizer|Fatal Python error")
ACTION_SECONDS = 2.0


class Outcome:
    def __init__(self, kind: str, index: int | None, detail: str):
        self.kind = kind  # "ok", "hang" or a crash kind (SIGSEGV, SIGABRT, ..., "sanitizer")
        self.index = index  # the action that was running
        self.detail = detail

    @property
    def crashed(self) -> bool:
        return self.kind not in ("ok", "hang")


def run_program(actions: list[str]) -> Outcome:
    """Runs the actions in a forked child; what became of it."""
    work = tempfile.mkdtemp(prefix="valdrix-mutation-run-")
    err_path, progress_path = os.path.join(work, "stderr"), os.path.join(work, "progress")
    progress_fd = os.open(progress_path, os.O_RDWR | os.O_CREAT | os.O_TRUNC)
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        status = 3
        try:
            err = os.open(err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, 1)
            os.dup2(err, 2)
            sys.stdout = open(1, "w", closefd=False)
            sys.stderr = open(2, "w", closefd=False)
            namespace: dict = {"os": os}
            exec(PRELUDE % {"modules": MODULES}, namespace)
            exec(RUNNER, namespace)
            namespace["_run"](actions, progress_fd, ACTION_SECONDS)
            status = 0
        finally:
            os._exit(status)
    deadline = time.monotonic() + 10 + ACTION_SECONDS * 1.5 * len(actions)
    killed = False
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            killed = True
            break
        time.sleep(0.002)
    index_text = os.pread(progress_fd, 8, 0)
    os.close(progress_fd)
    index = int(index_text) if index_text else None
    with open(err_path, "rb") as err:
        stderr = err.read()
    for path in (err_path, progress_path):
        os.unlink(path)
    os.rmdir(work)
    detail = stderr.decode("utf-8", "replace")[-4000:]
    if killed:
        return Outcome("hang", index, detail)
    if SANITIZER_REPORT.search(stderr):
        return Outcome("sanitizer", index, detail)
    if os.WIFSIGNALED(status):
        return Outcome(signal.Signals(os.WTERMSIG(status)).name, index, detail)
    if os.WEXITSTATUS(status) != 0:
        # The runner itself broke (an alarm between two actions, say): not the package's fault.
        return Outcome("ok", index, detail)
    return Outcome("ok", index, detail)


def operation(source: str) -> str:
    """A coarse name for what an action did: the introspection, call or mutation kind."""
    for template in INTROSPECT:
        head = template.split("{x}")[0]
        tail = template.split("{x}")[-1]
        if head and source.startswith(head) and source.endswith(tail):
            return head.rstrip("(") or tail
        if not head and source.endswith(tail) and tail:
            return tail.lstrip(".")
    for prefix in ("setattr", "delattr"):
        if source.startswith(prefix):
            return prefix
    if source.startswith("I[") and " = " in source:
        return "instance"
    return "call"


def standalone(actions: list[str], outcome: Outcome) -> str:
    """The crasher as a script that runs on its own."""
    lines = [f"# Crashed with {outcome.kind} in the last action. Run with the package's Python.",
             "import os", PRELUDE % {"modules": MODULES}]
    for source in actions:
        lines += ["try:", "    " + source.replace("\n", "\n    "), "except BaseException as error:",
                  "    print(type(error).__name__, error)"]
    return "\n".join(lines) + "\n"


class Search:
    """The condition that `find` searches and shrinks for, in one round.

    The first crash of a kind not yet found fixes the round's signature;
    shrinking then keeps only programs that crash with that same signature.
    The smallest such program is kept, so that a crash that hypothesis cannot
    replay (its shrinking then stops with an error) is still reported. Past
    the time budget nothing new runs, and past the shrinking budget only the
    smallest program counts, so that hypothesis winds down at once.
    """

    def __init__(self, family, module, found, out_of_time, shrink_seconds):
        self.family, self.module, self.found, self.out_of_time = family, module, found, out_of_time
        self.shrink_seconds = shrink_seconds
        self.signature = None
        self.best = None
        self.best_outcome = None
        self.shrink_started = 0.0
        self.runs = self.hangs = 0

    def name(self, actions, outcome):
        action = actions[outcome.index] if outcome.index is not None and outcome.index < len(actions) else ""
        return f"{self.family or 'all'}-{self.module or 'all'}-{outcome.kind}-{operation(action)}"

    def crashes(self, actions):
        if self.signature is None and self.out_of_time():
            return False
        if self.signature is not None and time.monotonic() - self.shrink_started > self.shrink_seconds:
            return actions == self.best
        self.runs += 1
        outcome = run_program(actions)
        self.hangs += outcome.kind == "hang"
        if not outcome.crashed:
            return False
        name = self.name(actions, outcome)
        if self.signature is None:
            if name in self.found:
                return False
            self.signature = name
            self.shrink_started = time.monotonic()
        elif name != self.signature:
            return False
        if self.best is None or (len(actions), actions) < (len(self.best), self.best):
            self.best, self.best_outcome = list(actions), outcome
        return True


    def reduced(self):
        """The smallest crasher, with every action it can do without removed.

        Whatever follows the crashing action goes first; then each action in
        turn, from the last, is left out where the crash stays the same, for
        as long again as shrinking was given.
        """
        actions, outcome = self.best, self.best_outcome
        if outcome.index is not None:
            actions = actions[: outcome.index + 1]
        position = len(actions) - 1
        deadline = self.shrink_started + 2 * self.shrink_seconds
        while position >= 0 and len(actions) > 1 and time.monotonic() < deadline:
            candidate = actions[:position] + actions[position + 1:]
            self.runs += 1
            trial = run_program(candidate)
            if trial.crashed and self.name(candidate, trial) == self.signature:
                actions, outcome = candidate, trial
            position -= 1
        return actions, outcome


# --- the search ------------------------------------------------------------------------

def main(argv: list[str], default_prefix: str) -> int:
    """The search; crashers go to -artifact_prefix, else to `default_prefix`."""
    from hypothesis import HealthCheck, Phase, find, settings
    from hypothesis.errors import NoSuchExample

    options = dict(arg.lstrip("-").split("=", 1) for arg in argv if arg.startswith("-") and "=" in arg)
    budget = float(options.get("max_total_time", 60))
    prefix = options.get("artifact_prefix", default_prefix)
    seed = int(options.get("seed", random.randrange(2**32)))
    rng = random.Random(seed)
    print(f"mutation fuzzing for {budget:.0f} s, seed {seed}", flush=True)

    for full in MODULES.values():
        importlib.import_module(full)
    warm()
    catalogue = Catalogue(discover_instance_attrs())
    print(f"{len(catalogue.functions)} functions, {len(catalogue.classes)} classes, "
          f"{sum(map(len, catalogue.globals.values()))} module globals", flush=True)

    start = time.monotonic()
    runs = 0
    hangs = 0
    found: dict[str, tuple[list[str], Outcome]] = {}

    def out_of_time():
        return time.monotonic() - start > budget

    round_number = 0
    while not out_of_time():
        round_number += 1
        family = rng.choice(FAMILIES + [None])
        module = rng.choice(list(MODULES) + [None])

        search = Search(family, module, found, out_of_time, shrink_seconds=min(60.0, max(10.0, budget / 4)))
        config = settings(max_examples=40, database=None, deadline=None, suppress_health_check=list(HealthCheck),
                          phases=[Phase.generate, Phase.shrink], report_multiple_bugs=False)
        try:
            find(strategies(catalogue, family, module), search.crashes, settings=config,
                 random=random.Random(rng.randrange(2**32)))
        except NoSuchExample:
            pass
        except Exception as error:  # noqa: BLE001 - hypothesis's Flaky: keep the smallest crasher seen
            print(f"round {round_number}: {type(error).__name__} while shrinking; keeping the smallest crasher",
                  flush=True)
        hangs += search.hangs
        if search.best is None:
            runs += search.runs
            continue
        actions, outcome = search.reduced()
        runs += search.runs
        name = search.signature
        found[name] = (actions, outcome)
        path = f"{prefix}{name}.py"
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        with open(path, "w", encoding="utf-8") as script:
            script.write(standalone(actions, outcome))
        print(f"CRASH {name}: {len(actions)} action(s), written to {path}", flush=True)
        for source in actions:
            print(f"    {source}", flush=True)
        tail = [line for line in outcome.detail.splitlines() if line.strip()][-3:]
        for line in tail:
            print(f"    | {line}", flush=True)

    elapsed = time.monotonic() - start
    print(f"Done {runs} runs in {elapsed:.0f} second(s); {round_number} rounds, {hangs} hung, "
          f"{len(found)} distinct crasher(s)", flush=True)
    return 1 if found else 0

