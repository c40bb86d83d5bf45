"""The native function layer, seen through the error-code modules that use it:
argument binding, type rules, method kinds, introspection and tracebacks."""

import contextlib
import gc
import inspect
import json
import os
import pickle
import re
import traceback
import types

import pytest

from valdrix import _native_probe
from valdrix.response import faultrol, faultum
from valdrix.response.faultrol import CustomErrorCode, ErrorCodeRegistry


class StrSubclass(str):
    pass


@pytest.fixture(autouse=True)
def empty_registry():
    ErrorCodeRegistry.clear()
    yield
    ErrorCodeRegistry.clear()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ErrorCodeRegistry.register("A"),
         "ErrorCodeRegistry.register() missing 1 required positional argument: 'msg'"),
        (lambda: ErrorCodeRegistry.register(),
         "ErrorCodeRegistry.register() missing 2 required positional arguments: 'code' and 'msg'"),
        (lambda: ErrorCodeRegistry.register("A", "b", "c"),
         "ErrorCodeRegistry.register() takes 3 positional arguments but 4 were given"),
        (lambda: ErrorCodeRegistry.list_all(1),
         "ErrorCodeRegistry.list_all() takes 1 positional argument but 2 were given"),
        (lambda: ErrorCodeRegistry.register("A", code="B"),
         "ErrorCodeRegistry.register() got multiple values for argument 'code'"),
        (lambda: ErrorCodeRegistry.register("A", "b", extra=1),
         "ErrorCodeRegistry.register() got an unexpected keyword argument 'extra'"),
        (lambda: CustomErrorCode(),
         "CustomErrorCode.__init__() missing 2 required positional arguments: 'code' and 'msg'"),
    ],
)
def test_binding_errors_match_the_interpreter(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_binding_error_texts_are_those_of_an_equivalent_python_function():
    class Registry:
        @classmethod
        def register(cls, code: str, msg: str): ...

    for args, kwargs in [((), {}), (("A",), {}), (("A", "b", "c"), {}), (("A",), {"code": "B"}),
                         (("A", "b"), {"extra": 1})]:
        with pytest.raises(TypeError) as expected:
            Registry.register(*args, **kwargs)
        with pytest.raises(TypeError) as ours:
            ErrorCodeRegistry.register(*args, **kwargs)
        assert str(ours.value) == "ErrorCode" + str(expected.value).rpartition("<locals>.")[2]


def test_keyword_binding_in_any_order():
    error = ErrorCodeRegistry.register(msg="m", code="C")
    assert (error.code, error.msg) == ("C", "m")
    assert ErrorCodeRegistry.get(code="C") is error


@pytest.mark.parametrize("bad", [None, 5, b"X", StrSubclass("X")])
def test_exact_str_rule(bad):
    with pytest.raises(TypeError) as info:
        ErrorCodeRegistry.register(bad, "m")
    assert str(info.value) == (
        f"Argument 'code' has incorrect type (expected str, got {type(bad).__name__})")
    notes = getattr(info.value, "__notes__", [])
    assert bool(notes) == isinstance(bad, str)
    assert ErrorCodeRegistry.list_all() == {}


def test_second_argument_is_checked_after_the_first():
    with pytest.raises(TypeError, match="Argument 'code'"):
        CustomErrorCode(1, 2)
    with pytest.raises(TypeError, match="Argument 'msg'"):
        CustomErrorCode("A", 2)


def test_function_attributes():
    register = ErrorCodeRegistry.__dict__["register"].__func__
    assert register.__name__ == "register"
    assert register.__qualname__ == "ErrorCodeRegistry.register"
    assert register.__module__ == "valdrix.response.faultrol"
    assert register.__doc__.startswith("注册一个自定义错误码。")
    assert register.__annotations__ == {"code": "str", "msg": "str", "return": "CustomErrorCode"}
    assert register.__defaults__ is None
    assert repr(register).startswith("<function ErrorCodeRegistry.register at 0x")
    register.__dict__["custom"] = 1  # functions carry a dict, like Python ones
    assert register.custom == 1


@pytest.mark.parametrize(
    "target, text",
    [
        (ErrorCodeRegistry.register, "(code: 'str', msg: 'str') -> 'CustomErrorCode'"),
        (ErrorCodeRegistry.get, "(code: 'str') -> 'Optional[CustomErrorCode]'"),
        (ErrorCodeRegistry.list_all, "() -> 'Dict[str, CustomErrorCode]'"),
        (ErrorCodeRegistry.clear, "()"),
        (CustomErrorCode, "(code: 'str', msg: 'str')"),
        (CustomErrorCode.__init__, "(self, code: 'str', msg: 'str')"),
        (CustomErrorCode.__repr__, "(self) -> 'str'"),
        (CustomErrorCode.code.fget, "(self) -> 'str'"),
        (faultum.ErrorCode.code.fget, "(self)"),
    ],
)
def test_signatures(target, text):
    assert str(inspect.signature(target)) == text


def test_method_kinds():
    error = CustomErrorCode("A", "b")
    bound = error.__repr__
    assert isinstance(bound, types.MethodType) and bound.__self__ is error
    assert CustomErrorCode.__repr__(error) == repr(error)
    assert isinstance(CustomErrorCode.__dict__["code"], property)
    assert isinstance(ErrorCodeRegistry.__dict__["register"], classmethod)
    assert ErrorCodeRegistry.register.__self__ is ErrorCodeRegistry


def test_classes_are_ordinary_python_classes():
    class Sub(CustomErrorCode):
        def __repr__(self):
            return "sub:" + super().__repr__()

    error = Sub("A", "b")
    error.extra = 1
    assert vars(error) == {"_code": "A", "_msg": "b", "extra": 1}
    assert repr(error) == "sub:CustomErrorCode('A', 'b')"
    assert type(CustomErrorCode) is type
    assert CustomErrorCode.__module__ == "valdrix.response.faultrol"
    plain = CustomErrorCode("A", "b")
    assert vars(pickle.loads(pickle.dumps(plain))) == vars(plain)


def test_exception_leaving_a_native_function_names_it_in_the_traceback():
    with pytest.raises(TypeError) as info:
        CustomErrorCode("A", "b").__class__(1, "b")
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == "valdrix.response.faultrol.CustomErrorCode.__init__"


def test_traceback_entries_survive_cleared_frames_and_collection():
    """Every raise names the function, also after a host cleared the frames
    of an earlier traceback or the collector ran."""
    init = CustomErrorCode.__init__
    for _ in range(3):
        with pytest.raises(TypeError) as info:
            init(CustomErrorCode.__new__(CustomErrorCode), 1, "b")
        tb = info.value.__traceback__
        assert traceback.extract_tb(tb)[-1].name == "valdrix.response.faultrol.CustomErrorCode.__init__"
        while tb.tb_next:
            tb = tb.tb_next
        assert tb.tb_frame.f_back is None and tb.tb_frame.f_locals == {}
        traceback.clear_frames(info.value.__traceback__)
        gc.collect()


def innermost_traceback_frame():
    with pytest.raises(TypeError) as info:
        CustomErrorCode.__init__(CustomErrorCode.__new__(CustomErrorCode), 1, "b")
    tb = info.value.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb.tb_frame


def test_a_traceback_frame_carries_nothing_to_later_entries():
    """Its locals are read-only, and a trace function set on it stays with
    that traceback: later entries of the function start without it."""
    first = innermost_traceback_frame()
    with pytest.raises(TypeError):
        first.f_locals["secret"] = "leaked"
    first.f_trace = print
    later = innermost_traceback_frame()
    assert (later.f_trace, dict(later.f_locals), first.f_trace) == (None, {}, print)
    later.clear()
    with contextlib.suppress(TypeError):  # from 3.13 a cleared frame gets a writable dict
        later.f_locals["secret"] = "leaked"
    assert dict(innermost_traceback_frame().f_locals) == {}


def test_nested_native_calls_each_add_an_entry():
    class Failing(CustomErrorCode):
        def __init__(self, code, msg):
            raise RuntimeError("boom")

    original = faultrol.CustomErrorCode
    faultrol.CustomErrorCode = Failing
    try:
        with pytest.raises(RuntimeError) as info:
            ErrorCodeRegistry.register("A", "b")
    finally:
        faultrol.CustomErrorCode = original
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["valdrix.response.faultrol.ErrorCodeRegistry.register", "__init__"]


def test_function_type_cannot_be_instantiated_from_python():
    with pytest.raises(TypeError):
        type(CustomErrorCode.__repr__)()


# --- every native function of the package, against the same function in Python ---------

import copy
import importlib
import subprocess
import sys
import textwrap
import typing

from package_modules import public_modules

MODULES = public_modules()


def is_native(value):
    # Each extension module has its own copy of the function type.
    return type(value).__name__ == "native_function"


def native_functions():
    """(label, kind, function) for every native function: module level, methods,
    static and class methods, property accessors."""
    found = []
    for name in MODULES:
        module = importlib.import_module(name)
        for key, value in vars(module).items():
            if is_native(value):
                found.append((f"{name}.{key}", "function", value))
            if not (isinstance(value, type) and value.__module__ == name):
                continue
            for attr, member in vars(value).items():
                label = f"{name}.{key}.{attr}"
                if is_native(member):
                    found.append((label, "method", member))
                elif isinstance(member, (staticmethod, classmethod)) and is_native(member.__func__):
                    found.append((label, type(member).__name__, member.__func__))
                elif isinstance(member, property) and is_native(member.fget):
                    found.append((label, "property", member.fget))
    return found


NATIVE = native_functions()
NATIVE_IDS = [label for label, _, _ in NATIVE]

# The same kinds written in Python, in a module that pickle can find.
ANALOGUE = types.ModuleType("vx_python_analogue")
exec(textwrap.dedent("""
    def function(a, b=1): pass
    class Holder:
        def method(self): pass
        @staticmethod
        def staticmethod(): pass
        @classmethod
        def classmethod(cls): pass
        @property
        def property(self): pass
"""), ANALOGUE.__dict__)
sys.modules[ANALOGUE.__name__] = ANALOGUE
PYTHON_KINDS = {
    "function": ANALOGUE.function,
    "method": ANALOGUE.Holder.method,
    "staticmethod": ANALOGUE.Holder.staticmethod,
    "classmethod": ANALOGUE.Holder.__dict__["classmethod"].__func__,
    "property": ANALOGUE.Holder.property.fget,
}


def outcome(action):
    try:
        return ("ok", action())
    except Exception as error:  # the kind and text of any failure is what is compared
        return (type(error), str(error).replace("Holder.", "").split(":")[0])


def test_every_function_and_method_is_collected():
    assert len(NATIVE) >= 33
    assert {kind for _, kind, _ in NATIVE} == set(PYTHON_KINDS)


DELETE = object()
WRITES = [("s", "x"), ("int", 5), ("none", None), ("tuple", ("d",)), ("dict", {}),
          ("code", (lambda: 0).__code__), ("delete", DELETE)]
ATTRIBUTES = ["__name__", "__qualname__", "__module__", "__doc__", "__annotations__", "__defaults__",
              "__kwdefaults__", "__dict__", "__type_params__", "__globals__", "__builtins__", "__closure__"]


def write(function, attribute, value):
    if value is DELETE:
        delattr(function, attribute)
    else:
        setattr(function, attribute, value)
    return getattr(function, attribute)


@pytest.mark.parametrize("label, kind, function", NATIVE, ids=NATIVE_IDS)
def test_attribute_writes_and_deletes_as_on_a_python_function(label, kind, function):
    saved = {attribute: getattr(function, attribute) for attribute in ATTRIBUTES}
    try:
        for attribute in ATTRIBUTES:
            for _, value in WRITES:
                python = types.FunctionType(ANALOGUE.function.__code__, {})
                expected = outcome(lambda: write(python, attribute, value))
                got = outcome(lambda: write(function, attribute, value))
                if attribute in ("__globals__", "__builtins__"):
                    expected, got = expected[0], got[0]  # the namespaces themselves differ
                assert got == expected, (attribute, value)
                repr(function), str(function), inspect.signature(function)
                for name in saved:
                    getattr(function, name)
    finally:
        for attribute in ("__name__", "__qualname__", "__module__", "__doc__", "__annotations__",
                          "__defaults__", "__kwdefaults__", "__dict__", "__type_params__"):
            setattr(function, attribute, saved[attribute])
    assert repr(function).startswith(f"<function {function.__qualname__} at 0x")


@pytest.mark.parametrize("label, kind, function", NATIVE, ids=NATIVE_IDS)
def test_code_is_read_only_as_on_a_compiled_function(label, kind, function):
    code, signature = function.__code__, inspect.signature(function)
    message = "attribute '__code__' of 'valdrix.native_function' objects is not writable"
    for value in [(lambda: 0).__code__, code, DELETE]:
        with pytest.raises(AttributeError, match=re.escape(message)):
            write(function, "__code__", value)
    assert function.__code__ is code and inspect.signature(function) == signature


# Code swapped while a call binds or converts its arguments; each used to
# make the call read the new code's parameters for its old binding.
CODE_SWAPS = {
    "conversion": """
        from valdrix.comfyui.halvane import ComfyUIManager as M
        F = M.__dict__["__init__"]
        class T:
            def __int__(self):
                F.__code__ = M.__dict__["trigger_reboot"].__code__
                return 5
            __index__ = __int__
        M("http://127.0.0.1:1", T(), "not an int")
    """,
    # A keyword whose __eq__ swaps the code while the call binds it.
    **{name: f"""
        from valdrix.canvora import ImageTool
        F = ImageTool.__dict__["_get_closest_standard_ratio"]
        class S(str):
            def __eq__(self, other):
                F.__code__ = ImageTool.__dict__["{donor}"].__code__
                return str.__eq__(self, other)
            __hash__ = str.__hash__
        {call}
    """ for name, donor, call in [
        ("keyword", "adjust_size", 'ImageTool._get_closest_standard_ratio(**{S("self"): ImageTool()})'),
        ("missing", "__init__", 'F(**{S("width"): 1})'),
    ]},
}


@pytest.mark.parametrize("name", CODE_SWAPS)
def test_code_swapped_during_a_call_raises_at_the_assignment(name):
    out = run_script(f"""
        try:
{textwrap.indent(textwrap.dedent(CODE_SWAPS[name]), " " * 12)}
        except AttributeError as error:
            print("AttributeError", error)
    """)
    assert out == "AttributeError attribute '__code__' of 'valdrix.native_function' objects is not writable"


@pytest.mark.parametrize("defaults, args", [
    (None, ("A",)),
    (("m",), ("A",)),
    (("c", "m"), ()),
    (("x", "c", "m"), ()),
    ((), ()),
    (None, ("A", "b", "c")),
    (("m",), ("A", "b", "c")),
])
def test_defaults_written_later_are_used_by_the_next_call(defaults, args):
    def __init__(self, code, msg):
        return (code, msg)

    init = CustomErrorCode.__init__
    saved = init.__defaults__
    __init__.__defaults__ = init.__defaults__ = defaults
    try:
        expected = outcome(lambda: __init__(None, *args))
        got = outcome(lambda: (lambda error: (error.code, error.msg))(CustomErrorCode(*args)))
    finally:
        init.__defaults__ = saved
    if expected[0] != "ok":  # the same text after the function's name
        expected, got = [(kind, text.rpartition("__init__()")[2]) for kind, text in (expected, got)]
    assert got == expected


@pytest.mark.parametrize("label, kind, function", NATIVE, ids=NATIVE_IDS)
def test_pickling_and_copying_as_a_python_function(label, kind, function):
    python = PYTHON_KINDS[kind]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        expected = outcome(lambda: pickle.loads(pickle.dumps(python, protocol)) is python)
        assert outcome(lambda: pickle.loads(pickle.dumps(function, protocol)) is function)[0] == expected[0]
    assert copy.copy(function) is function and copy.deepcopy(function) is function


def test_bound_methods_pickle_with_their_instance():
    error = CustomErrorCode("A", "b")
    restored = pickle.loads(pickle.dumps(error.__repr__))
    assert restored() == "CustomErrorCode('A', 'b')"
    assert pickle.loads(pickle.dumps(ErrorCodeRegistry.register)).__func__ is \
        ErrorCodeRegistry.__dict__["register"].__func__


def hints_outcomes(function, python):
    yield outcome(lambda: typing.get_type_hints(function)), outcome(lambda: typing.get_type_hints(python))
    yield (outcome(lambda: inspect.get_annotations(function, eval_str=True)),
           outcome(lambda: inspect.get_annotations(python, eval_str=True)))
    yield (outcome(lambda: inspect.signature(function, eval_str=True)),
           outcome(lambda: inspect.signature(python, eval_str=True)))


@pytest.mark.parametrize("label, kind, function", NATIVE, ids=NATIVE_IDS)
def test_type_hints_equal_those_of_the_same_function_in_python(label, kind, function):
    module = sys.modules[function.__module__]
    python = types.FunctionType(function.__code__, vars(module), function.__name__, function.__defaults__)
    python.__annotations__ = dict(function.__annotations__)
    assert function.__globals__ is vars(module) and function.__type_params__ == ()
    for got, expected in hints_outcomes(function, python):
        assert got == expected


def test_type_hints_resolve_in_the_module():
    from valdrix.canvora import ImageTool
    from valdrix.lexgard import PromptBanChecker

    assert typing.get_type_hints(ImageTool.__init__) == {"proportion": typing.Optional[str], "need_adjust": str}
    assert typing.get_type_hints(ImageTool._parse_ratio)["return"] == typing.Tuple[int, int]
    assert typing.get_type_hints(PromptBanChecker.find_matched_words) == {"text": str, "return": typing.List[str]}
    signature = inspect.signature(ErrorCodeRegistry.get, eval_str=True)
    assert signature.return_annotation == typing.Optional[CustomErrorCode]
    assert signature.parameters["code"].annotation is str


# --- recursion: native functions reached again through overrides ------------------------

RECURSION_SETUP = textwrap.dedent("""
    import io, sys, threading
    from PIL import Image
    buffer = io.BytesIO(); Image.new("RGB", (4, 2)).save(buffer, "PNG"); PNG = buffer.getvalue()
""")

RECURSIONS = {
    "canvora": """
        from valdrix.canvora import ImageTool
        t = ImageTool(); t._parse_ratio = t.__init__
        run = lambda: t.__init__("1:1")
    """,
    "lexgard": """
        import tempfile
        from valdrix.lexgard import PromptBanChecker
        path = tempfile.mktemp(); open(path, "w").write("abc\\n")
        c = PromptBanChecker(path); c.find_matched_words = c.check
        run = lambda: c.check("x")
    """,
    "aspekta": """
        from valdrix.aspekta import ImageRatioAnalyzer
        a = ImageRatioAnalyzer(); a._gcd = lambda x, y: a.get_raw_simple_ratio(PNG)
        run = lambda: a.get_raw_simple_ratio(PNG)
    """,
    "dimora": """
        from valdrix.dimora import GPTImageSizeCalculator
        class Sub(GPTImageSizeCalculator):
            is_valid_image_size = classmethod(lambda cls, w, h: cls.calc_size())
        run = Sub.calc_size
    """,
    "resize": """
        from valdrix import resize
        class Looping:
            size = property(lambda self: resize.image_resize(self, 2, 2))
        run = lambda: resize.image_resize(Looping(), 2, 2)
    """,
    "faultum": """
        from valdrix.response.faultum import ErrorCode
        class Looping:
            __getitem__ = lambda self, index: ErrorCode.code.fget(self)
        looping = Looping(); looping.value = looping
        run = lambda: ErrorCode.code.fget(looping)
    """,
    "faultrol": """
        from valdrix.response import faultrol
        faultrol.CustomErrorCode = faultrol.ErrorCodeRegistry.register
        run = lambda: faultrol.ErrorCodeRegistry.register("A", "b")
    """,
    "halvane": """
        from valdrix.comfyui.halvane import ComfyUIManager
        m = ComfyUIManager("http://127.0.0.1:9"); m.trigger_reboot = m.run_reboot_and_wait
        run = m.run_reboot_and_wait
    """,
}


def largest_stack_limit():
    # The child's main thread gets the largest stack the hard limit allows
    # (unlimited on most hosts, where the stack is reported as gigabytes).
    import resource
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    resource.setrlimit(resource.RLIMIT_STACK, (hard, hard))


@pytest.mark.parametrize("stack_limit", [
    pytest.param(None, id="default stack"),
    pytest.param(largest_stack_limit, id="largest stack",
                 marks=pytest.mark.skipif(sys.platform == "win32", reason="Windows has no stack limit to raise")),
])
@pytest.mark.parametrize("module", sorted(RECURSIONS))
def test_self_calling_overrides_raise_recursion_error(module, stack_limit):
    # In a child process: a crash must fail this test, not end the run. Each
    # repro runs with the default limit, with a huge one (so only the C stack
    # can stop it) and on a thread with a small stack.
    script = RECURSION_SETUP + textwrap.dedent(RECURSIONS[module]) + textwrap.dedent("""
        def attempt():
            try:
                run()
            except RecursionError as error:
                print("RecursionError", str(error).startswith("maximum recursion depth exceeded"))
        attempt()
        sys.setrecursionlimit(1_000_000)
        attempt()
        threading.stack_size(512 * 1024)
        thread = threading.Thread(target=attempt); thread.start(); thread.join()
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                            preexec_fn=stack_limit)
    assert (result.returncode, result.stdout) == (0, "RecursionError True\n" * 3), result.stderr[-2000:]


# --- import failures: the error the import statement raised, unchanged --------------------

IMPORTS = [
    ("valdrix.comfyui.halvane", "requests", None, "import requests"),
    ("valdrix.canvora", "PIL", None, "from PIL import Image"),
    ("valdrix.resize", "PIL", None, "from PIL import Image"),
    ("valdrix.aspekta", "PIL", None, "from PIL import Image"),
    ("valdrix.lexgard", "valdrix.exceptions", None, "from valdrix.exceptions import PromptBanError"),
    ("valdrix.dimora", "math", None, "import math"),
    ("valdrix.response.faultum", "enum", None, "from enum import Enum"),
    ("valdrix.response.faultrol", "typing", None, "import typing"),
    ("valdrix.response.faultum", "enum", "bare", "from enum import Enum"),
    ("valdrix.resize", "PIL.Image", "bare", "from PIL.Image import Resampling"),
    ("valdrix.lexgard", "valdrix.exceptions", "bare", "from valdrix.exceptions import PromptBanError"),
    ("valdrix.canvora", "typing", "bare", "from typing import Optional, Tuple"),
]


@pytest.mark.parametrize("module, dependency, replacement, statement", IMPORTS)
def test_import_failure_is_the_statements_own_error(module, dependency, replacement, statement):
    script = textwrap.dedent(f"""
        import json, sys, types
        sys.modules[{dependency!r}] = None if {replacement!r} is None else types.ModuleType({dependency!r})
        def attempt(code):
            try:
                exec(code)
            except BaseException as error:
                return [type(error).__name__, str(error), getattr(error, "name", None)]
        print(json.dumps([attempt({statement!r}), attempt("import {module}")]))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    expected, got = __import__("json").loads(result.stdout)
    assert expected is not None and got == expected


# Each import statement of a module, in order, as its call of builtins.__import__:
# (name, fromlist, level); an import hook of the host sees every one.
IMPORT_CALLS = {
    "valdrix.aspekta": [["io", ["BytesIO"], 0], ["PIL", ["Image"], 0]],
    "valdrix.canvora": [["io", ["BytesIO"], 0], ["typing", ["Optional", "Tuple"], 0], ["PIL", ["Image"], 0],
                        ["re", None, 0], ["math", None, 0]],
    "valdrix.comfyui.halvane": [["time", None, 0], ["logging", None, 0], ["requests", None, 0],
                                ["typing", ["Optional"], 0]],
    "valdrix.dimora": [["math", None, 0]],
    "valdrix.lexgard": [["os", None, 0], ["re", None, 0], ["typing", ["List", "Set"], 0],
                        ["exceptions", ["PromptBanError"], 1]],
    "valdrix.resize": [["PIL", ["Image"], 0], ["PIL.Image", ["Resampling"], 0]],
    "valdrix.response.faultrol": [["typing", ["Dict", "Optional"], 0]],
    "valdrix.response.faultum": [["enum", ["Enum"], 0]],
}


@pytest.mark.parametrize("module", MODULES)
def test_imports_go_through_the_builtin_import_hook(module):
    script = textwrap.dedent(f"""
        import builtins, json
        seen, original = [], builtins.__import__
        def hook(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == {module!r}:
                seen.append([name, fromlist, level])
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = hook
        import {module}
        print(json.dumps(seen))
    """)
    assert json.loads(run_script(script)) == IMPORT_CALLS[module]


def run_script(source):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout.strip()


@pytest.mark.parametrize("caller_builtins", [
    "dict(vars(builtins), CustomErrorCode=lambda code, msg: 'caller')",
    "types.MappingProxyType(vars(builtins))",
], ids=["dict", "mapping"])
def test_module_names_fall_back_to_the_functions_own_builtins(caller_builtins):
    """A missing module global is looked up in the built-ins the function was
    made with, not in those of whoever calls it."""
    out = run_script(f"""
        import builtins, types
        from valdrix.response import faultrol
        del faultrol.CustomErrorCode
        namespace = {{"__builtins__": {caller_builtins}, "R": faultrol.ErrorCodeRegistry}}
        try:
            exec("R.register('A', 'b')", namespace)
        except Exception as error:
            print(type(error).__name__, error.name, error)
    """)
    assert out == "NameError CustomErrorCode name 'CustomErrorCode' is not defined"


def test_a_module_global_shadows_a_builtin_called_by_the_module(monkeypatch):
    monkeypatch.setattr(faultrol, "dict", lambda mapping: ("shadowed", len(mapping)), raising=False)
    assert ErrorCodeRegistry.list_all() == ("shadowed", 0)


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__", "__doc__"])
def test_cycles_through_writable_attributes_are_collected(attribute):
    out = run_script(f"""
        import gc, sys, weakref
        import valdrix.response.faultum as module
        del sys.modules["valdrix.response.faultum"]
        import valdrix.response; del valdrix.response.faultum
        function = module.ErrorCode.code.fget
        alive = weakref.ref(function)
        class Name(str): pass
        name = Name(getattr(function, {attribute!r})); name.function = function
        setattr(function, {attribute!r}, name)
        del module, function, name; gc.collect()
        print(alive() is None)
    """)
    assert out == "True"


@pytest.mark.skipif(bool(os.environ.get("VALDRIX_SANITIZED")),
                    reason="a sanitizer's larger frames need a larger reserve of stack")
def test_a_small_thread_stack_reaches_the_depth_plain_python_reaches():
    """Native calls nested through C code (map) on a 512 KiB thread stack get
    as deep as the same nesting around a plain Python class."""
    out = run_script("""
        import json, sys, threading
        from valdrix.response.faultrol import CustomErrorCode
        class PlainCode:
            def __init__(self, code, msg):
                self._code, self._msg = code, msg
            code = property(lambda self: self._code)
        sys.setrecursionlimit(100000)
        def nest(make, k):
            return make("a", "b").code if k == 0 else list(map(nest, [make], [k - 1]))[0]
        def reached(make):
            result = []
            def run():
                try:
                    result.append(nest(make, 500))
                except RecursionError:
                    result.append("RecursionError")
            threading.stack_size(512 * 1024)
            thread = threading.Thread(target=run)
            thread.start(); thread.join()
            return result
        print(json.dumps([reached(PlainCode), reached(CustomErrorCode)]))
    """)
    plain, ours = json.loads(out)
    assert ours == plain


@pytest.mark.parametrize("stack_kib", [192, 256, 384])
def test_a_handler_of_native_recursion_has_stack_left_for_ordinary_work(stack_kib):
    """Native code calling itself through an override stops with room for
    the handler: here a repr of 500 nested lists, as plain Python manages."""
    out = run_script(f"""
        import threading
        from valdrix.response.faultrol import ErrorCodeRegistry
        class Registry(dict):
            def get(self, code):
                try:
                    return Sub.get(code)
                except RecursionError:
                    nested = []
                    for _ in range(500):
                        nested = [nested]
                    return len(repr(nested))
        class Sub(ErrorCodeRegistry):
            _registry = Registry()
        threading.stack_size({stack_kib} * 1024)
        thread = threading.Thread(target=lambda: print(Sub.get("x")))
        thread.start(); thread.join()
    """)
    assert out == "1002"


@pytest.mark.parametrize("name", ["__vectorcalloffset__", "__dictoffset__", "__weaklistoffset__"])
def test_no_attribute_a_python_function_lacks(name):
    assert not hasattr(ErrorCodeRegistry.register.__func__, name)


class EqualToAll(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


def test_keywords_compare_with_their_own_eq():
    with pytest.raises(TypeError, match="multiple values"):
        ErrorCodeRegistry.register.__func__(ErrorCodeRegistry, "A", **{EqualToAll("zzz"): "m"})


@pytest.mark.parametrize("replacement", ["5", "Raising()", "Preparing('E', (), {})"])
def test_a_replaced_base_fails_as_in_a_class_statement(replacement):
    """The metaclass is the first base's type; errors of __mro_entries__ and
    __prepare__ pass on as a class statement passes them."""
    out = run_script(f"""
        import enum, json
        class Raising:
            def __getattr__(self, name):
                raise ValueError(name)
        class Preparing(type):
            @classmethod
            def __prepare__(metaclass, name, bases, **keywords):
                return 5
        enum.Enum = {replacement}
        def outcome(code):
            try:
                exec(code, {{}})
            except Exception as error:
                return [type(error).__name__, str(error)]
            return ["ok"]
        expected = outcome("import enum\\nclass ErrorCode(enum.Enum):\\n    A = 1")
        got = outcome("from valdrix.response.faultum import ErrorCode")
        print(json.dumps([expected, got]))
    """)
    expected, got = json.loads(out)
    assert got == expected and expected[0] != "ok"


def test_list_all_looks_up_dict_before_the_registry():
    class Rebinding(type):
        @property
        def _registry(cls):
            faultrol.dict = lambda mapping: "rebound"
            return {"k": 1}

    registry = Rebinding("Registry", (ErrorCodeRegistry,), {})
    try:
        assert registry.list_all() == {"k": 1}
    finally:
        del faultrol.dict


# As nanobind translates the exceptions of the functions it binds.
CPP_EXCEPTIONS = {
    "stop_iteration": StopIteration, "index_error": IndexError, "key_error": KeyError,
    "value_error": ValueError, "type_error": TypeError, "buffer_error": BufferError,
    "import_error": ImportError, "attribute_error": AttributeError, "next_overload": TypeError,
    "bad_alloc": MemoryError, "domain_error": ValueError, "invalid_argument": ValueError,
    "length_error": ValueError, "out_of_range": IndexError, "range_error": ValueError,
    "overflow_error": OverflowError, "runtime_error": RuntimeError, "no exception type": SystemError,
}


@pytest.mark.parametrize("kind", CPP_EXCEPTIONS)
def test_cpp_exceptions_leave_a_native_function_as_nanobind_raises_them(kind):
    with pytest.raises(BaseException) as caught:
        _native_probe.throw_cpp_exception(kind)
    assert type(caught.value) is CPP_EXCEPTIONS[kind]
    assert caught.value.args[:1] in [("probe",), ()] or kind == "no exception type"
    assert caught.traceback[-1].frame.code.name == "valdrix._native_probe.throw_cpp_exception"



# The two functions bench/bench_native_call.py times: each returns the very
# object it was given and refuses any other number of arguments.
@pytest.mark.parametrize("function", [_native_probe.identity, _native_probe.bare_identity])
@pytest.mark.parametrize("args", [(), (1, 2)])
def test_identity_probes(function, args):
    value = object()
    assert function(value) is value
    with pytest.raises(TypeError):
        function(*args)
