"""valdrix.dimora: sizes for gpt-image-2, checked against the interpreter's own arithmetic."""

import decimal
import fractions
import inspect
import math
import subprocess
import sys
import traceback
import types

import pytest
from hypothesis import given, settings, strategies as st

from reference.dimora import GPTImageSizeCalculator as Reference
from valdrix import dimora
from valdrix.dimora import GPTImageSizeCalculator as Calc

RATIO_TOO_WIDE = "宽高比超出限制3:1，输入比例："


def outcome(call, *args):
    """A call's result with its type, or its exception's type and text."""
    try:
        result = call(*args)
    except Exception as error:  # noqa: BLE001 - the error is the outcome under test
        return ("raised", type(error), str(error))
    return ("returned", type(result), result)


def same_as_reference(name, *args, native=Calc, reference=Reference):
    ours = outcome(getattr(native, name), *args)
    assert ours == outcome(getattr(reference, name), *args)
    return ours


# --- the class itself --------------------------------------------------------------

def test_module_names_and_class_constants():
    assert dimora.math is math
    assert dimora.GPTImageSizeCalculator is Calc
    assert Calc.__bases__ == (object,)
    constants = [name for name in vars(Calc) if name.isupper()]
    assert constants == ["MIN_PIXELS", "MAX_PIXELS", "MAX_EDGE", "MULTIPLE", "MAX_RATIO", "RESOLUTION_PRESET"]
    assert (Calc.MIN_PIXELS, Calc.MAX_PIXELS, Calc.MAX_EDGE, Calc.MULTIPLE) == (655360, 8294400, 3840, 16)
    assert type(Calc.MAX_RATIO) is float and Calc.MAX_RATIO == 3.0
    assert list(Calc.RESOLUTION_PRESET.items()) == [("1k", 1572516), ("2k", 3686400), ("4k", 8294400)]


def test_signatures_docstrings_and_kinds():
    assert str(inspect.signature(Calc.calc_size)) == "(aspect_ratio: 'str' = '1:1', resolution: 'str' = '2k')"
    assert str(inspect.signature(Calc.round_to_multiple)) == "(value, multiple=None) -> 'int'"
    assert str(inspect.signature(Calc.floor_to_multiple)) == "(value, multiple=None) -> 'int'"
    assert str(inspect.signature(Calc.is_valid_image_size)) == "(width: 'int', height: 'int') -> 'bool'"
    assert Calc.round_to_multiple.__doc__ == "四舍五入对齐到指定倍数，最小不低于倍数本身"
    assert Calc.floor_to_multiple.__doc__ == "向下对齐倍数，用于像素超限时压缩"
    assert Calc.is_valid_image_size.__doc__ == "完整校验所有尺寸约束"
    assert Calc.calc_size.__doc__.startswith("生成合规图像尺寸，严格限制总像素不超过8294400\n")
    assert "gpt-image-2" in Calc.__doc__ and "3840" in Calc.__doc__
    assert Calc().__dict__ == {}
    for name in ("round_to_multiple", "floor_to_multiple", "is_valid_image_size", "calc_size"):
        assert isinstance(vars(Calc)[name], classmethod)
        assert getattr(Calc, name).__self__ is Calc


# --- calc_size: the table ---------------------------------------------------------------

TABLE = {
    "1:1": ((1248, 1248), (1920, 1920), (2880, 2880)),
    "16:9": ((1664, 944), (2560, 1440), (3840, 2160)),
    "9:16": ((944, 1664), (1440, 2560), (2160, 3840)),
    "4:3": ((1440, 1088), (2224, 1664), (3312, 2496)),
    "3:4": ((1088, 1440), (1664, 2224), (2496, 3312)),
    "2:3": ((1024, 1536), (1568, 2352), (2352, 3520)),
    "7:10": ((1056, 1504), (1600, 2288), (2400, 3440)),
    "21:9": ((1920, 816), (2928, 1264), (3840, 1648)),
    "3:1": ((2160, 720), (3312, 1104), (3840, 1280)),
}


@pytest.mark.parametrize("ratio,tier,size", [(ratio, tier, sizes[i]) for ratio, sizes in TABLE.items()
                                             for i, tier in enumerate(("1k", "2k", "4k"))])
def test_table_of_sizes(ratio, tier, size):
    width, height = size
    result = Calc.calc_size(ratio, tier)
    assert result == {"width": width, "height": height, "size": f"{width}x{height}", "pixels": width * height,
                      "aspect_ratio": ratio, "resolution": tier, "valid": True}
    assert list(result) == ["width", "height", "size", "pixels", "aspect_ratio", "resolution", "valid"]
    assert [type(v) for v in result.values()] == [int, int, str, int, str, str, bool]


def test_defaults_tiers_and_blanks():
    assert Calc.calc_size() == Calc.calc_size("1:1", "2k") == {
        "width": 1920, "height": 1920, "size": "1920x1920", "pixels": 3686400, "aspect_ratio": "1:1",
        "resolution": "2k", "valid": True}
    assert Calc.calc_size("16:9", "4K")["resolution"] == "4k"
    assert Calc.calc_size("16:9", "4K")["size"] == "3840x2160"
    unknown = Calc.calc_size("16:9", "8k")
    assert (unknown["size"], unknown["resolution"]) == ("2560x1440", "8k")
    blanks = Calc.calc_size(" 16 : 9 ", "2k")
    assert (blanks["size"], blanks["aspect_ratio"]) == ("2560x1440", " 16 : 9 ")
    assert Calc.calc_size("4:3", "2k")["pixels"] == 3700736
    assert Calc.calc_size(resolution="1k", aspect_ratio="9:16")["size"] == "944x1664"


@pytest.mark.parametrize("text", ["+16:9", "016:09", "1_6:9", "١٦:٩", "\u300016\t:\n9\u2003", "16:+9"])
def test_ratio_terms_follow_int_rules(text):
    result = Calc.calc_size(text, "2k")
    assert (result["size"], result["aspect_ratio"]) == ("2560x1440", text)


def test_degenerate_negative_terms():
    negative = Calc.calc_size("-16:-9", "2k")
    assert negative["size"] == "2560x1440" and negative["aspect_ratio"] == "-16:-9" and negative["valid"]
    assert Calc.calc_size("-4:-1", "2k") == {
        "width": 3840, "height": 960, "size": "3840x960", "pixels": 3686400, "aspect_ratio": "-4:-1",
        "resolution": "2k", "valid": False}
    for tier in ("1k", "2k", "4k"):
        result = Calc.calc_size("-100:-1", tier)
        assert (result["width"], result["height"], result["valid"]) == (8868, 88, False)


@pytest.mark.parametrize("text,error,message", [
    ("31:10", ValueError, RATIO_TOO_WIDE + "31:10"),
    ("10:3", ValueError, RATIO_TOO_WIDE + "10:3"),
    (" 10 : 3", ValueError, RATIO_TOO_WIDE + " 10 : 3"),
    ("16:0", ZeroDivisionError, "division by zero"),
    ("0:9", ZeroDivisionError, "division by zero"),
    ("16", ValueError, "need more than 1 value to unpack"),
    ("", ValueError, "invalid literal for int() with base 10: ''"),
    ("16:9:1", ValueError, "too many values to unpack (expected 2)"),
    ("16:9:x", ValueError, "invalid literal for int() with base 10: 'x'"),
    ("16:9:1:x", ValueError, "too many values to unpack (expected 2)"),
    ("x:9:1", ValueError, "invalid literal for int() with base 10: 'x'"),
    ("16.0:9", ValueError, "invalid literal for int() with base 10: '16.0'"),
    (":9", ValueError, "invalid literal for int() with base 10: ''"),
    ("16_:9", ValueError, "invalid literal for int() with base 10: '16_'"),
    # math.sqrt's own message, which differs between versions (3.14 names the value)
    ("-16:9", ValueError, None),
    ("16:-9", ValueError, None),
])
def test_ratio_errors(text, error, message):
    with pytest.raises(error) as caught:
        Calc.calc_size(text, "2k")
    expected = outcome(Reference.calc_size, text, "2k")
    assert expected[:2] == ("raised", error) and expected[2] == (message or expected[2])
    assert str(caught.value) == expected[2]


class Text(str):
    pass


@pytest.mark.parametrize("args,name,given", [
    ((None,), "aspect_ratio", "NoneType"),
    ((b"16:9",), "aspect_ratio", "bytes"),
    (("16:9", Text("2k")), "resolution", "Text"),
])
def test_calc_size_argument_types(args, name, given):
    with pytest.raises(TypeError) as caught:
        Calc.calc_size(*args)
    assert str(caught.value) == f"Argument '{name}' has incorrect type (expected str, got {given})"
    if given == "Text":
        assert caught.value.__notes__


def test_traceback_names_the_method():
    try:
        Calc.calc_size("31:10")
    except ValueError as error:
        names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
    assert "valdrix.dimora.GPTImageSizeCalculator.calc_size" in names


# --- the alignment methods and the validity check -------------------------------------------

@pytest.mark.parametrize("value,multiple,expected", [
    (0, None, 16), (8, None, 16), (24, None, 32), (40, None, 32), (56, None, 64), (1254, None, 1248),
    (3848, None, 3840), (3847.9, None, 3840), (-100, None, 16), (25, 10, 20), (35, 10, 40), (100, 10, 100),
    (40, 16.5, 33), (1, 16.5, 16), (True, None, 16), (fractions.Fraction(40), None, 32),
    (decimal.Decimal(40), 16, 32), (decimal.Decimal("56.0"), None, 64), (2.5, 1, 2), (3.5, 1, 4),
    (10**30, None, None), (-(2**60), -16, -16), (2**53 + 1, 1, 2**53), (-(2**53) - 1, -1, -1),
])
def test_round_to_multiple(value, multiple, expected):
    ours = same_as_reference("round_to_multiple", value, multiple)
    assert ours[:2] == ("returned", int)
    if expected is not None:
        assert ours[2] == expected
    assert Calc().round_to_multiple(value, multiple) == ours[2]


@pytest.mark.parametrize("value,multiple,expected", [
    (47, None, 32), (15.9, None, 16), (16, None, 16), (3856, None, 3856), (-5, None, 16), (47, 10, 40),
    (47.5, 0.5, 47), (fractions.Fraction(95, 2), None, 32), (10**30, 1, None),
])
def test_floor_to_multiple(value, multiple, expected):
    ours = same_as_reference("floor_to_multiple", value, multiple)
    assert ours[:2] == ("returned", int)
    if expected is not None:
        assert ours[2] == expected
    assert Calc().floor_to_multiple(value, multiple) == ours[2]


@pytest.mark.parametrize("name", ["round_to_multiple", "floor_to_multiple"])
@pytest.mark.parametrize("value,multiple,error", [
    (10, 0, ZeroDivisionError), (10.0, 0, ZeroDivisionError), (10, 0.0, ZeroDivisionError),
    ("10", None, TypeError), (10, "16", TypeError), (decimal.Decimal(10), 16.0, TypeError),
    (math.inf, None, OverflowError), (math.nan, None, ValueError), (10**400, None, OverflowError),
    (None, None, TypeError),
])
def test_alignment_errors(name, value, multiple, error):
    ours = same_as_reference(name, value, multiple)
    assert ours[:2] == ("raised", error)


@pytest.mark.parametrize("width,height,expected", [
    (3840, 2160, True), (2880, 2880, True), (3840, 1280, True), (1024, 640, True), (640, 1024, True),
    (1008, 640, False), (2896, 2880, False), (3856, 1296, False), (3840, 1264, False), (1000, 1000, False),
    (-16, 16, False), (1024.9, 640, True), (True, 16, False), (10**20, 10**20, False), (2**40, 2**40, False),
])
def test_is_valid_image_size(width, height, expected):
    assert same_as_reference("is_valid_image_size", width, height) == ("returned", bool, expected)
    assert Calc().is_valid_image_size(width=width, height=height) is expected


@pytest.mark.parametrize("width,height", [(0, 16), (16, 0), (0.5, 640)])
def test_is_valid_image_size_zero_edge(width, height):
    with pytest.raises(ZeroDivisionError):
        Calc.is_valid_image_size(width, height)


# --- agreement with the interpreter over a wide range -------------------------------------

TIERS = st.sampled_from(["1k", "2k", "4k", "8k", "4K", "2K", ""])


@settings(max_examples=600, deadline=None)
@given(st.integers(-400, 400), st.integers(-400, 400), TIERS)
def test_calc_size_matches_the_interpreter(width_term, height_term, tier):
    same_as_reference("calc_size", f"{width_term}:{height_term}", tier)


@settings(max_examples=600, deadline=None)
@given(st.one_of(st.floats(-1e6, 1e6), st.integers(-10**6, 10**6), st.floats(allow_nan=True)),
       st.one_of(st.none(), st.integers(-64, 64), st.floats(0.1, 100)))
def test_alignment_matches_the_interpreter(value, multiple):
    same_as_reference("round_to_multiple", value, multiple)
    same_as_reference("floor_to_multiple", value, multiple)


@settings(max_examples=400, deadline=None)
@given(st.integers(-5000, 5000).map(lambda n: n * 16), st.integers(-5000, 5000).map(lambda n: n * 16))
def test_validity_matches_the_interpreter(width, height):
    same_as_reference("is_valid_image_size", width, height)


# --- overrides take effect -------------------------------------------------------------

def subclass_pair(**namespace):
    """A subclass of the native class and of the reference, both with the same overrides."""
    return (type("Native", (Calc,), dict(namespace)), type("Plain", (Reference,), dict(namespace)))


@pytest.mark.parametrize("overrides", [
    {"MULTIPLE": 32}, {"MULTIPLE": 10}, {"MULTIPLE": 16.0}, {"MULTIPLE": fractions.Fraction(16)},
    {"MAX_PIXELS": 4000000}, {"MAX_EDGE": 2048}, {"MIN_PIXELS": 4000000}, {"MAX_RATIO": 4},
    {"MAX_RATIO": 2.5}, {"RESOLUTION_PRESET": {"2k": 1000000, "8k": 33177600}},
    {"RESOLUTION_PRESET": {"2k": 2000000.5}}, {"MAX_PIXELS": 10**30, "MAX_EDGE": 10**15},
    {"MULTIPLE": 0},
])
@pytest.mark.parametrize("ratio", ["1:1", "16:9", "4:1", "3:1", "-100:-1", "7:10"])
@pytest.mark.parametrize("tier", ["1k", "2k", "8k"])
def test_subclass_constants_take_effect(overrides, ratio, tier):
    native, plain = subclass_pair(**overrides)
    same_as_reference("calc_size", ratio, tier, native=native, reference=plain)
    same_as_reference("round_to_multiple", 1254.5, None, native=native, reference=plain)
    same_as_reference("is_valid_image_size", 2048, 1024, native=native, reference=plain)


def test_preset_without_2k_fails_every_call():
    native, plain = subclass_pair(RESOLUTION_PRESET={"1k": 1572516})
    assert outcome(native.calc_size, "1:1", "1k") == ("raised", KeyError, "'2k'")
    assert outcome(plain.calc_size, "1:1", "1k") == ("raised", KeyError, "'2k'")
    assert outcome(native.calc_size, "31:10", "1k")[1] is ValueError


def plain_calc_size(cls, *args):
    """The reference algorithm run on another class: its constants and methods."""
    return outcome(Reference.calc_size.__func__, cls, *args)


def test_overridden_methods_are_called_through_cls():
    calls = []

    class Coarse(Calc):
        @classmethod
        def round_to_multiple(cls, value, multiple=None):
            calls.append(value)
            return super().round_to_multiple(value, 64)

    result = Coarse.calc_size("16:9", "2k")
    assert len(calls) == 2 and result["width"] % 64 == 0 and result["height"] % 64 == 0

    class AlwaysValid(Calc):
        @classmethod
        def is_valid_image_size(cls, width, height):
            return "yes"

    assert AlwaysValid.calc_size("16:9", "2k")["valid"] == "yes"
    assert outcome(AlwaysValid.calc_size, "3:1", "1k") == plain_calc_size(AlwaysValid, "3:1", "1k")
    assert AlwaysValid.calc_size("3:1", "1k")["size"] == "2176x720"

    class NoFloor(Calc):
        @classmethod
        def floor_to_multiple(cls, value, multiple=None):
            return 7

    assert outcome(NoFloor.calc_size, "3:1", "1k") == plain_calc_size(NoFloor, "3:1", "1k")
    assert NoFloor.calc_size("3:1", "1k") != Calc.calc_size("3:1", "1k")


def test_runtime_assignment_takes_effect_at_once(monkeypatch):
    before = Calc.calc_size("16:9", "2k")
    monkeypatch.setattr(Calc, "MULTIPLE", 100)
    assert Calc.round_to_multiple(1254) == 1300
    assert Calc.calc_size("16:9", "2k") == Reference.calc_size.__func__(Calc, "16:9", "2k")
    monkeypatch.setattr(Calc, "MULTIPLE", 16)
    assert Calc.calc_size("16:9", "2k") == before
    monkeypatch.setitem(Calc.RESOLUTION_PRESET, "2k", 1572516)
    assert Calc.calc_size("16:9", "2k")["size"] == "1664x944"
    monkeypatch.setattr(Calc, "MAX_RATIO", 5.0)
    assert Calc.calc_size("4:1", "2k")["aspect_ratio"] == "4:1"
    monkeypatch.undo()
    assert Calc.calc_size("16:9", "2k") == before


def test_assignment_on_a_base_reaches_subclasses(monkeypatch):
    class Child(Calc):
        pass

    assert Child.round_to_multiple(20) == 16
    monkeypatch.setattr(Calc, "MULTIPLE", 32)
    assert Child.round_to_multiple(20) == 32
    monkeypatch.delattr(Calc, "MULTIPLE")
    with pytest.raises(AttributeError):
        Child.round_to_multiple(20)


def test_math_is_looked_up_at_each_call(monkeypatch):
    roots = []

    def sqrt(value):
        roots.append(value)
        return math.sqrt(value)

    monkeypatch.setattr(dimora, "math", types.SimpleNamespace(sqrt=sqrt, floor=math.floor))
    assert Calc.calc_size("4:3", "4k")["size"] == "3312x2496"
    assert len(roots) == 2
    monkeypatch.setattr(dimora, "math", types.SimpleNamespace(sqrt=math.sqrt, floor=lambda x: 1))
    assert Calc.floor_to_multiple(1000) == 16
    assert Calc.round_to_multiple(1000) == 992
    monkeypatch.delattr(dimora, "math")
    with pytest.raises(NameError):
        Calc.floor_to_multiple(1000)
    monkeypatch.undo()
    monkeypatch.setattr(math, "floor", lambda x: 3)
    assert Calc.floor_to_multiple(1000) == 48


import builtins  # noqa: E402 - grouped with the cases that replace its names
import reference.dimora as reference_module  # noqa: E402

# A module global, or a replaced built-in, of each name the methods look up
# at call time; the native module and the plain one get the same replacement.
REPLACEMENTS = {
    "round": lambda value: builtins.round(value) + 1,
    "max": lambda *values: builtins.min(values),
    "min": lambda *values: builtins.max(values),
    "int": lambda value: builtins.int(value) + 32,
    "all": lambda conditions: not builtins.all(conditions),
    "map": lambda function, parts: [function(part) for part in reversed(parts)],
    "math": types.SimpleNamespace(sqrt=lambda value: math.sqrt(value) * 0.9, floor=math.ceil),
    "range": lambda count: builtins.range(count // 20),
    "ValueError": type("TooWide", (Exception,), {}),
}
REPLACED_CALLS = [("round_to_multiple", 100), ("round_to_multiple", 40, 16), ("floor_to_multiple", 47.5),
                  ("is_valid_image_size", 3840, 2160), ("calc_size", "4:3", "4k"), ("calc_size", "3:1", "1k"),
                  ("calc_size", "7:10", "1k"), ("calc_size", "5:1")]


@pytest.mark.parametrize("where", ["module", "builtins"])
@pytest.mark.parametrize("name", REPLACEMENTS)
def test_replaced_names_are_called_as_plain_python_calls_them(monkeypatch, where, name):
    for call in REPLACED_CALLS:  # remembered before the replacement
        same_as_reference(*call)
    if where == "module":
        for module in (dimora, reference_module):
            monkeypatch.setattr(module, name, REPLACEMENTS[name], raising=False)
    elif name == "math":
        monkeypatch.setattr(math, "sqrt", REPLACEMENTS["math"].sqrt)
    else:
        monkeypatch.setattr(builtins, name, REPLACEMENTS[name])
    results = [same_as_reference(*call) for call in REPLACED_CALLS]
    monkeypatch.undo()
    assert results != [outcome(getattr(Calc, call[0]), *call[1:]) for call in REPLACED_CALLS]


def test_a_module_imported_again_keeps_its_own_state():
    """The class of a module left in sys.modules' past is judged by its own functions."""
    old = Calc.calc_size("4:3", "4k")["size"]
    code = ("import sys, valdrix.dimora as first\n"
            "G = first.GPTImageSizeCalculator; G.calc_size('4:3', '4k')\n"
            "del sys.modules['valdrix.dimora']; import valdrix.dimora\n"
            "G.__dict__['round_to_multiple'].__func__.__defaults__ = (32,)\n"
            "print(G.calc_size('4:3', '4k')['size'])")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert (old, result.stdout.strip()) == ("3312x2496", "3296x2496")


class Counted:
    """A class attribute that counts how often it is read."""

    def __init__(self, value):
        self.value = value
        self.reads = 0

    def __get__(self, instance, owner):
        self.reads += 1
        return self.value


@pytest.mark.parametrize("ratio,tier", [("16:9", "2k"), ("4:3", "4k"), ("3:1", "1k"), ("-100:-1", "2k"),
                                        ("31:10", "2k")])
def test_constants_are_read_at_every_use(ratio, tier):
    names = ("MIN_PIXELS", "MAX_PIXELS", "MAX_EDGE", "MULTIPLE", "MAX_RATIO", "RESOLUTION_PRESET")
    counters = {}
    for side, base in (("native", Calc), ("plain", Reference)):
        fields = {name: Counted(getattr(Reference, name)) for name in names}
        cls = type(side, (base,), fields)
        outcome(cls.calc_size, ratio, tier)
        outcome(cls.is_valid_image_size, 1024, 640)
        outcome(cls.is_valid_image_size, 16, 16)
        counters[side] = {name: field.reads for name, field in fields.items()}
    assert counters["native"] == counters["plain"]


def test_metaclass_attributes_are_honoured():
    class Meta(type):
        @property
        def MULTIPLE(cls):
            return 32

    class Custom(Calc, metaclass=Meta):
        pass

    assert Custom.round_to_multiple(20) == 32
    assert Custom.calc_size("1:1", "1k")["size"] == "1248x1248"
    assert outcome(Custom.calc_size, "16:9", "1k") == plain_calc_size(Custom, "16:9", "1k")
    assert Custom.calc_size("16:9", "1k")["width"] % 32 == 0


def test_class_and_instance_agree():
    instance = Calc()
    assert instance.calc_size("21:9", "4k") == Calc.calc_size("21:9", "4k")
    assert instance.round_to_multiple(40) == Calc.round_to_multiple(40) == 32
    assert instance.floor_to_multiple(47) == Calc.floor_to_multiple(47) == 32
    assert instance.is_valid_image_size(3840, 1280) is Calc.is_valid_image_size(3840, 1280) is True


def test_unbound_function_with_any_cls():
    function = vars(Calc)["round_to_multiple"].__func__
    holder = types.SimpleNamespace(MULTIPLE=10)
    assert function(holder, 25) == 20


# --- leaks ------------------------------------------------------------------------------

class Light(Calc):
    MULTIPLE = 8


LEAK_CALLS = {
    "calc_size": (lambda: Calc.calc_size("16:9", "4K"), None),
    "calc_size unicode": (lambda: Calc.calc_size("١٦:٩", "2k"), None),
    "calc_size degenerate": (lambda: Calc.calc_size("-100:-1", "1k"), None),
    "calc_size subclass": (lambda: Light.calc_size("7:10", "1k"), None),
    "calc_size too wide": (lambda: Calc.calc_size("31:10"), ValueError),
    "calc_size zero": (lambda: Calc.calc_size("16:0"), ZeroDivisionError),
    "calc_size three parts": (lambda: Calc.calc_size("16:9:1"), ValueError),
    "calc_size negative": (lambda: Calc.calc_size("-16:9"), ValueError),
    "calc_size type": (lambda: Calc.calc_size(b"16:9"), TypeError),
    "round": (lambda: Calc.round_to_multiple(1254.5), None),
    "round fraction": (lambda: Calc.round_to_multiple(fractions.Fraction(81, 2), 16.5), None),
    "round zero": (lambda: Calc.round_to_multiple(5, 0), ZeroDivisionError),
    "floor": (lambda: Calc.floor_to_multiple(47.5), None),
    "floor nan": (lambda: Calc.floor_to_multiple(math.nan), ValueError),
    "valid": (lambda: Calc.is_valid_image_size(1024.9, 640), None),
    "valid zero": (lambda: Calc.is_valid_image_size(0, 16), ZeroDivisionError),
    "valid type": (lambda: Calc.is_valid_image_size("1", 16), TypeError),
}


@pytest.mark.parametrize("name", LEAK_CALLS)
def test_no_leaks(leak_check, name):
    call, raises = LEAK_CALLS[name]
    leak_check(call, raises=raises, iterations=1000)


# --- repeated calls: nothing remembered outlives a change ----------------------------


def _sqrt_counting(monkeypatch, log):
    def sqrt(value):
        log.append(value)
        return math.sqrt(value)
    monkeypatch.setattr(math, "sqrt", sqrt)


def _preset_value(monkeypatch, log):
    monkeypatch.setitem(Calc.RESOLUTION_PRESET, "4k", 1572516)


def _preset_replaced(monkeypatch, log):
    monkeypatch.setattr(Calc, "RESOLUTION_PRESET", {"2k": 3686400, "4k": 655360})


def _math_rebound(monkeypatch, log):
    monkeypatch.setattr(dimora, "math", types.SimpleNamespace(sqrt=lambda x: log.append(x) or math.sqrt(x),
                                                             floor=math.floor))


def _multiple(monkeypatch, log):
    monkeypatch.setattr(Calc, "MULTIPLE", 64)


def _max_pixels(monkeypatch, log):
    monkeypatch.setattr(Calc, "MAX_PIXELS", 4000000)


@pytest.mark.parametrize("change, sqrt_seen", [
    (_sqrt_counting, True), (_math_rebound, True), (_preset_value, False), (_preset_replaced, False),
    (_multiple, False), (_max_pixels, False),
])
@pytest.mark.parametrize("ratio", ["4:3", "16:9"])
def test_a_change_after_repeated_calls_takes_effect(monkeypatch, change, sqrt_seen, ratio):
    for _ in range(3):
        assert outcome(Calc.calc_size, ratio, "4k") == plain_calc_size(Calc, ratio, "4k")
    log = []
    change(monkeypatch, log)
    ours = outcome(Calc.calc_size, ratio, "4k")
    assert bool(log) == sqrt_seen
    assert ours == plain_calc_size(Calc, ratio, "4k")
    monkeypatch.undo()
    assert outcome(Calc.calc_size, ratio, "4k") == plain_calc_size(Calc, ratio, "4k")


@pytest.mark.parametrize("name, defaults, ratio, tier", [
    ("round_to_multiple", (48,), "16:9", "2k"), ("round_to_multiple", (32,), "7:10", "4k"),
    ("round_to_multiple", None, "1:1", "2k"), ("floor_to_multiple", (32,), "3:1", "1k"),
    ("floor_to_multiple", (1, 2, 3), "3:1", "1k"),
])
def test_sibling_defaults_replaced_after_repeated_calls(monkeypatch, name, defaults, ratio, tier):
    for _ in range(3):
        Calc.calc_size(ratio, tier)
    monkeypatch.setattr(vars(Calc)[name].__func__, "__defaults__", defaults)
    assert outcome(Calc.calc_size, ratio, tier) == plain_calc_size(Calc, ratio, tier)


def test_repeated_results_are_new_dicts_holding_the_arguments_given():
    first = Calc.calc_size("16:9", "2K")
    first["width"] = 0
    second = Calc.calc_size("16:9", "2K")
    ratio, tier = "".join(["16", ":9"]), "".join(["2", "K"])
    third = Calc.calc_size(ratio, tier)
    assert second is not first and second["width"] == 2560 and third == second
    assert third["aspect_ratio"] is ratio and list(third) == list(plain_calc_size(Calc, "16:9", "2k")[2])


REIMPORTS = """
import ctypes, importlib, sys
import valdrix.dimora
for _ in range(10):
    del sys.modules["valdrix.dimora"]
    calc = importlib.import_module("valdrix.dimora").GPTImageSizeCalculator
assert calc.calc_size("16:9") == calc.calc_size("16:9") and calc.calc_size("16:9")["size"] == "2560x1440"
callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
add_watcher = ctypes.pythonapi.PyDict_AddWatcher
add_watcher.restype, add_watcher.argtypes = ctypes.c_int, [callback]
assert add_watcher(callback(lambda *event: 0)) >= 0
"""


def test_imported_again_the_module_keeps_its_one_dict_watcher():
    subprocess.run([sys.executable, "-c", REIMPORTS], check=True, timeout=60)


def test_math_module_whose_class_is_swapped_after_a_call_is_used():
    """Swapping a module's class changes no dict; the cached check must see it."""
    assert Calc.floor_to_multiple(47) == 32

    class Loud(types.ModuleType):
        floor = property(lambda module: lambda value: 1000)

    math.__class__ = Loud
    try:
        assert Calc.floor_to_multiple(47) == 16000
    finally:
        math.__class__ = types.ModuleType
    assert Calc.floor_to_multiple(47) == 32
