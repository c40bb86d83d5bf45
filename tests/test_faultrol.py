"""valdrix.response.faultrol: custom error codes and their registry."""

import subprocess
import sys

import pytest

from valdrix.response import faultrol
from valdrix.response.faultrol import CustomErrorCode, ErrorCodeRegistry
from valdrix.response.faultum import ErrorCode


STR_SUBCLASS_VALUE = type("S", (str,), {})("x")


@pytest.fixture(autouse=True)
def empty_registry():
    ErrorCodeRegistry.clear()
    yield
    ErrorCodeRegistry.clear()


def test_module_names_and_class_shape():
    names = [n for n in vars(faultrol) if not n.startswith("__")]
    assert names == ["Dict", "Optional", "CustomErrorCode", "ErrorCodeRegistry"]
    assert CustomErrorCode.__bases__ == (object,) and ErrorCodeRegistry.__bases__ == (object,)
    assert ErrorCodeRegistry.__annotations__ == {"_registry": "Dict[str, CustomErrorCode]"}
    assert type(ErrorCodeRegistry.__dict__["_registry"]) is dict


def test_register_get_list_all():
    error = ErrorCodeRegistry.register("MY_ERROR", "自定义错误消息")
    assert (error.code, error.msg) == ("MY_ERROR", "自定义错误消息")
    assert ErrorCodeRegistry.get("MY_ERROR") is error
    assert ErrorCodeRegistry.list_all() == {"MY_ERROR": error}


def test_reregistering_replaces_in_place():
    first = ErrorCodeRegistry.register("MY_ERROR", "old")
    other = ErrorCodeRegistry.register("OTHER", "x")
    second = ErrorCodeRegistry.register("MY_ERROR", "new")
    assert second is not first and first.msg == "old"
    assert ErrorCodeRegistry.get("MY_ERROR") is second
    assert list(ErrorCodeRegistry.list_all().items()) == [("MY_ERROR", second), ("OTHER", other)]


def test_list_all_is_a_copy_and_clear_empties_in_place():
    ErrorCodeRegistry.register("A", "a")
    registry = ErrorCodeRegistry._registry
    snapshot = ErrorCodeRegistry.list_all()
    del snapshot["A"]
    assert ErrorCodeRegistry.get("A") is not None
    kept = ErrorCodeRegistry.list_all()
    assert ErrorCodeRegistry.clear() is None
    assert ErrorCodeRegistry._registry is registry and registry == {}
    assert ErrorCodeRegistry.get("A") is None and list(kept) == ["A"]


def test_get_of_unknown_code_is_none():
    assert ErrorCodeRegistry.get("NEVER") is None


def test_subclass_registry_lookup_goes_through_cls():
    class Shared(ErrorCodeRegistry):
        pass

    class Own(ErrorCodeRegistry):
        _registry = {}

    shared = Shared.register("S", "s")
    own = Own.register("O", "o")
    assert ErrorCodeRegistry.get("S") is shared and ErrorCodeRegistry.get("O") is None
    assert Own.list_all() == {"O": own}
    Own.clear()
    assert Own.get("O") is None and Shared.get("S") is shared


def test_registry_of_another_mapping_type_is_used_through_its_methods():
    class Recording(dict):
        calls = []

        def get(self, key, default=None):
            self.calls.append(key)
            return super().get(key, default)

    class Custom(ErrorCodeRegistry):
        _registry = Recording()

    error = Custom.register("R", "r")
    assert Custom.get("R") is error and Recording.calls == ["R"]
    assert type(Custom.list_all()) is dict


def test_register_uses_the_module_global_at_call_time():
    class Tagged(CustomErrorCode):
        pass

    faultrol.CustomErrorCode = Tagged
    try:
        assert type(ErrorCodeRegistry.register("T", "t")) is Tagged
    finally:
        faultrol.CustomErrorCode = CustomErrorCode
    assert type(ErrorCodeRegistry.register("T", "t")) is CustomErrorCode


def test_repr_and_str():
    error = CustomErrorCode("MY_ERROR", "自定义错误消息")
    assert repr(error) == "CustomErrorCode('MY_ERROR', '自定义错误消息')" == str(error)
    error._code = 5
    assert repr(error) == "CustomErrorCode(5, '自定义错误消息')"


def test_repr_formats_each_repr_as_an_f_string_field():
    class Shown(str):
        def __format__(self, _):
            return "shown"

    error = CustomErrorCode("A", "b")
    error._code = type("Value", (), {"__repr__": lambda self: Shown("raw")})()
    assert repr(error) == "CustomErrorCode(shown, 'b')"


def test_no_equality_of_its_own():
    assert CustomErrorCode("A", "b") != CustomErrorCode("A", "b")


@pytest.mark.parametrize("value, outcome", [(5, "Expected str, got int"), (None, None), ("X", "X"),
                                             (type("S", (str,), {})("X"), "Expected str, got S")])
def test_property_result_check(value, outcome):
    error = CustomErrorCode("A", "b")
    error._code = value
    error._msg = value
    for name in ("code", "msg"):
        if isinstance(outcome, str) and outcome.startswith("Expected"):
            with pytest.raises(TypeError) as info:
                getattr(error, name)
            assert str(info.value) == outcome
        else:
            assert getattr(error, name) == outcome


def test_properties_cannot_be_assigned():
    with pytest.raises(AttributeError):
        CustomErrorCode("A", "b").code = "B"


def test_custom_and_fixed_codes_share_the_contract():
    for error in (CustomErrorCode("MY_ERROR", "m"), ErrorCode.PROMPT_BANNED):
        assert isinstance(error.code, str) and isinstance(error.msg, str)


@pytest.mark.parametrize(
    "call, raises",
    [
        (lambda: ErrorCodeRegistry.register("LEAK", "x"), None),
        (lambda: ErrorCodeRegistry.get("LEAK"), None),
        (lambda: ErrorCodeRegistry.get("MISSING"), None),
        (lambda: ErrorCodeRegistry.list_all(), None),
        (lambda: ErrorCodeRegistry.clear(), None),
        (lambda: repr(CustomErrorCode("A", "b")), None),
        (lambda: CustomErrorCode("A", "b").code, None),
        (lambda: ErrorCodeRegistry.register(1, "x"), TypeError),
        (lambda: ErrorCodeRegistry.register("A"), TypeError),
        (lambda: ErrorCodeRegistry.get(code=None), TypeError),
        (lambda: CustomErrorCode(STR_SUBCLASS_VALUE, "y"), TypeError),
    ],
)
def test_no_leaks(leak_check, call, raises):
    leak_check(call, raises=raises)


def test_register_honours_a_constructor_replaced_on_the_class():
    calls = []
    original = CustomErrorCode.__init__

    def replacement(self, code, msg):
        calls.append(code)
        original(self, code, msg)

    CustomErrorCode.__init__ = replacement
    try:
        error = ErrorCodeRegistry.register("P", "p")
    finally:
        CustomErrorCode.__init__ = original
    assert calls == ["P"] and (error.code, error.msg) == ("P", "p")
    assert ErrorCodeRegistry.register("Q", "q").code == "Q" and calls == ["P"]


@pytest.fixture
def on_class():
    """Sets attributes on CustomErrorCode, then deletes them again (restoring
    an inherited one by assignment would leave the class changed)."""
    added = []

    def put(attribute, value):
        assert attribute not in vars(CustomErrorCode)
        setattr(CustomErrorCode, attribute, value)
        added.append(attribute)

    yield put
    for attribute in added:
        delattr(CustomErrorCode, attribute)


def _recording_setattr(calls):
    def __setattr__(self, name, value):
        calls.append(name)
        object.__setattr__(self, name, value)
    return __setattr__


def _recording_init_subclass(calls):
    def __init_subclass__(cls, **kwargs):
        calls.append(cls.__name__)
    return classmethod(__init_subclass__)


@pytest.mark.parametrize("attribute, make, expected_calls", [
    ("__setattr__", _recording_setattr, ["_code", "_msg"]),
    ("__init_subclass__", _recording_init_subclass, []),
])
def test_register_calls_the_class_once_it_changed(on_class, attribute, make, expected_calls):
    calls = []
    on_class(attribute, make(calls))
    error = ErrorCodeRegistry.register("R", "r")
    assert calls == expected_calls and (error.code, error.msg, type(error)) == ("R", "r", CustomErrorCode)


def test_register_with_a_replaced_new_calls_the_class():
    # In a fresh interpreter: once a class's __new__ was replaced, deleting it
    # does not give the class its old construction back.
    code = """if True:
        from valdrix.response.faultrol import CustomErrorCode, ErrorCodeRegistry
        calls = []
        def __new__(cls, *args):
            calls.append(args)
            return object.__new__(cls)
        CustomErrorCode.__new__ = __new__
        error = ErrorCodeRegistry.register("N", "n")
        assert calls == [("N", "n")] and (error.code, error.msg) == ("N", "n"), calls
    """
    subprocess.run([sys.executable, "-c", code], check=True)


def test_register_with_a_replaced_metaclass_calls_the_class(monkeypatch):
    calls = []

    class Meta(type):
        def __call__(cls, *args):
            calls.append(args)
            return super().__call__(*args)

    monkeypatch.setattr(faultrol, "CustomErrorCode", Meta("CustomErrorCode", (CustomErrorCode,), {}))
    assert ErrorCodeRegistry.register("M", "m").code == "M" and calls == [("M", "m")]


def test_a_failing_constructor_shows_in_the_traceback(on_class):
    def refuse(self, name, value):
        raise AttributeError(name)

    on_class("__setattr__", refuse)
    with pytest.raises(AttributeError) as caught:
        ErrorCodeRegistry.register("T", "t")
    names = [entry.name for entry in caught.traceback]
    assert "valdrix.response.faultrol.CustomErrorCode.__init__" in names
    assert names.index("valdrix.response.faultrol.ErrorCodeRegistry.register") < names.index(
        "valdrix.response.faultrol.CustomErrorCode.__init__")
