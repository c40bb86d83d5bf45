"""The native function layer, seen through the error-code modules that use it:
argument binding, type rules, method kinds, introspection and tracebacks."""

import inspect
import pickle
import traceback
import types

import pytest

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
