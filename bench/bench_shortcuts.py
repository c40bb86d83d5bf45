"""What each native shortcut gains on its own call: the same call with the
shortcut's guard holding ("valdrix" column) and with it made to fail ("plain"
column: the module's plain route, which does what the plain code does, step by
step through the interpreter). A shortcut stays only while it gains at least
1.3x here.

Each guard is made to fail at the least cost to the plain route: a name the
guard checks rebound to an equivalent object (a subclass of ValueError that
only the error path would raise), an int subclass where a
guard wants an exact int, a dict subclass where it wants an exact dict, or a
non-str key in the module's globals, which every names guard refuses (that one
costs the plain route one scan of the globals per guarded call).
"""

import contextlib
import enum
import statistics
import types

from _harness import Row, per_call_ns
from bench_aspekta import HeaderOnly
from bench_dimora import DISTINCT
from bench_resize import STAND_IN
from valdrix import aspekta, canvora, dimora, resize
from valdrix.canvora import ImageTool
from valdrix.dimora import GPTImageSizeCalculator
from valdrix.response.faultrol import ErrorCodeRegistry
from valdrix.response.faultum import ErrorCode


class Int(int):
    pass


class Dict(dict):
    pass


@contextlib.contextmanager
def rebound(namespace, name, value):
    had, old = name in vars(namespace), vars(namespace).get(name)
    setattr(namespace, name, value)
    try:
        yield
    finally:
        if had:
            setattr(namespace, name, old)
        else:
            delattr(namespace, name)


@contextlib.contextmanager
def unguarded_globals(module):
    vars(module)[0] = None
    try:
        yield
    finally:
        del vars(module)[0]


def toggled(name, taken, plain, number, repeat=7):
    """`taken()` and `plain()` are (call, context) pairs; batches alternate."""
    samples = ([], [])
    for _ in range(repeat):
        for side, (call, context) in zip(samples, (taken, plain)):
            with context():
                side.append(per_call_ns(call, number, 1))
    return Row(name, statistics.median(samples[0]), statistics.median(samples[1]),
               cython_note="guard holding (valdrix) against failing (plain); no twin")


def same(call, context, number):
    return (call, contextlib.nullcontext), (call, context), number


def dimora_rows():
    G = GPTImageSizeCalculator

    def distinct():
        for ratio, tier in DISTINCT:
            G.calc_size(ratio, tier)

    error_copy = type("ValueError", (ValueError,), {})
    floats = [i + 0.5 for i in range(1000)]
    return [
        toggled(f"dimora calc_size, {len(DISTINCT)} distinct inputs",
                *same(distinct, lambda: rebound(dimora, "ValueError", error_copy), 10)),
        toggled("dimora round_to_multiple, 1000 distinct floats",
                (lambda: [G.round_to_multiple(x, 16) for x in floats], contextlib.nullcontext),
                (lambda: [G.round_to_multiple(x, Int(16)) for x in floats], contextlib.nullcontext), 50),
        toggled("dimora floor_to_multiple, 1000 distinct floats",
                (lambda: [G.floor_to_multiple(x, 16) for x in floats], contextlib.nullcontext),
                (lambda: [G.floor_to_multiple(x, Int(16)) for x in floats], contextlib.nullcontext), 50),
        toggled("dimora is_valid_image_size, 1000 distinct widths",
                (lambda: [G.is_valid_image_size(w, 1024) for w in range(1000, 2000)], contextlib.nullcontext),
                (lambda: [G.is_valid_image_size(Int(w), 1024) for w in range(1000, 2000)],
                 contextlib.nullcontext), 50),
    ]


def canvora_rows():
    tool = ImageTool()
    sizes = [(w, 1000) for w in range(500, 3500, 3)]

    def closest():
        for w, h in sizes:
            tool._get_closest_standard_ratio(w, h)

    plain_map = Dict(tool._std_ratio_map)
    ratios = [f" {w}:{h} " for w in range(1, 41) for h in range(1, 26)]

    def parse():
        for text in ratios:
            ImageTool._parse_ratio(text)

    return [
        toggled("canvora _get_closest_standard_ratio, 1000 distinct sizes",
                *same(closest, lambda: rebound(tool, "_std_ratio_map", plain_map), 20)),
        toggled(f"canvora _parse_ratio, {len(ratios)} distinct texts",
                *same(parse, lambda: unguarded_globals(canvora), 20)),
    ]


def faultum_rows():
    # An equal copy of Enum's own `value` property on the class: the members'
    # values are the same, but the property is no longer the one the module
    # captured, so code and msg call it.
    own_value = vars(enum.Enum)["value"]
    copy = enum.property(own_value.fget)
    copy.__set_name__(ErrorCode, "value")
    members = list(ErrorCode)

    def read():
        for member in members:
            member.code, member.msg

    return [toggled(f"faultum code and msg of {len(members)} members",
                    *same(read, lambda: rebound(ErrorCode, "value", copy), 20000))]


def aspekta_rows():
    analyzer = aspekta.ImageRatioAnalyzer(10)
    pairs = [(w, 768) for w in range(1000, 2000)]
    with rebound(aspekta, "Image", types.SimpleNamespace(open=HeaderOnly)):
        approx = toggled("aspekta get_approx_simple_ratio, bound 10",
                         *same(lambda: analyzer.get_approx_simple_ratio(b""), lambda: unguarded_globals(aspekta),
                               3000))
    return [
        approx,
        toggled("aspekta _gcd, 1000 distinct pairs",
                (lambda: [aspekta.ImageRatioAnalyzer._gcd(a, b) for a, b in pairs], contextlib.nullcontext),
                (lambda: [aspekta.ImageRatioAnalyzer._gcd(Int(a), b) for a, b in pairs], contextlib.nullcontext),
                50),
    ]


def resize_rows():
    stand_in = STAND_IN
    image_module = types.SimpleNamespace(new=lambda mode, size, color: stand_in)
    targets = [(w, 1024) for w in range(500, 1500)]
    with rebound(resize, "Image", image_module):
        return [toggled("resize image_resize, 1000 distinct targets (stand-in image)",
                        *same(lambda: [resize.image_resize(stand_in, w, h) for w, h in targets],
                              lambda: unguarded_globals(resize), 20))]


def faultrol_rows():
    class Registry(ErrorCodeRegistry):
        _registry = {}

    class PlainRegistry(ErrorCodeRegistry):
        _registry = Dict()

    codes = [f"E{i}" for i in range(1000)]
    for code in codes:
        Registry.register(code, "m")
    PlainRegistry._registry.update(Registry._registry)
    return [
        toggled("faultrol get, 1000 codes", (lambda: [Registry.get(code) for code in codes], contextlib.nullcontext),
                (lambda: [PlainRegistry.get(code) for code in codes], contextlib.nullcontext), 50),
        toggled("faultrol clear, empty", (Registry.clear, contextlib.nullcontext),
                (PlainRegistry.clear, contextlib.nullcontext), 20000),
    ]


def run():
    rows = dimora_rows() + canvora_rows() + aspekta_rows() + resize_rows() + faultrol_rows() + faultum_rows()
    return "shortcuts: guard holding (valdrix) against guard failing (python): the gain of each", rows
