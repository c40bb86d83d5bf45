"""valdrix.aspekta: exact and approximate aspect ratios of encoded images."""

import contextlib
import enum
import fractions
import inspect
import io
import math
import pathlib
import signal
import struct
import subprocess
import sys
import threading
import time
import types
import zlib

import pytest
from hypothesis import given, settings, strategies as st
from PIL import Image, UnidentifiedImageError

import reference.aspekta
from reference.aspekta import ImageRatioAnalyzer as PlainImageRatioAnalyzer
from reference.aspekta import approx_ratio as reference_approx, gcd as reference_gcd
from recording import Host, noted
from valdrix import aspekta
from valdrix.aspekta import ImageRatioAnalyzer


def encode(size, fmt="PNG", mode="L"):
    data = io.BytesIO()
    Image.new(mode, size).save(data, fmt)
    return data.getvalue()


def png_header(width, height):
    """A PNG that declares a size and carries no pixel data."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IEND", b"")


class FakeImage:
    """Stands in for an opened image: a size, and a record of the with statement."""

    def __init__(self, size, events, suppress=False):
        self._size, self.events, self.suppress = size, events, suppress

    @property
    def size(self):
        if isinstance(self._size, Exception):
            raise self._size
        return self._size

    def __enter__(self):
        self.events.append("image enter")
        return self

    def __exit__(self, exc_type, exc, tb):
        self.events.append(("image exit", exc_type, isinstance(exc, exc_type or ())))
        return self.suppress


class RecordingStream(io.BytesIO):
    def __init__(self, data, events):
        super().__init__(data)
        self.events = events

    def __enter__(self):
        self.events.append("stream enter")
        return super().__enter__()

    def __exit__(self, *exc_info):
        self.events.append(("stream exit", exc_info[0]))
        return super().__exit__(*exc_info)


@contextlib.contextmanager
def fake_images(size, suppress=False):
    """Replaces the module's BytesIO and Image so that any bytes 'open' with `size`."""
    events = []
    streams = []

    def stream(data):
        streams.append(RecordingStream(data, events))
        return streams[-1]

    original = aspekta.BytesIO, aspekta.Image
    aspekta.BytesIO = stream
    aspekta.Image = types.SimpleNamespace(open=lambda buf: FakeImage(size, events, suppress))
    try:
        yield events, streams
    finally:
        aspekta.BytesIO, aspekta.Image = original


# --- shape ------------------------------------------------------------------------------


def test_module_names_and_class_shape():
    names = [n for n in vars(aspekta) if not n.startswith("__")]
    assert names == ["BytesIO", "Image", "ImageRatioAnalyzer"]
    assert aspekta.BytesIO is io.BytesIO and aspekta.Image is Image
    assert ImageRatioAnalyzer.__bases__ == (object,)
    members = {n for n in vars(ImageRatioAnalyzer) if not n.startswith("__")}
    assert members == {"_gcd", "get_raw_simple_ratio", "get_approx_simple_ratio"}
    assert isinstance(vars(ImageRatioAnalyzer)["_gcd"], staticmethod)
    assert ImageRatioAnalyzer.__doc__.startswith("图片比例分析工具")
    assert vars(ImageRatioAnalyzer())  == {"approx_search_range": 10}


@pytest.mark.parametrize("name, signature, doc", [
    ("__init__", "(self, approx_search_range: 'int' = 10)", "图片比例分析类"),
    ("_gcd", "(a: 'int', b: 'int') -> 'int'", "计算最大公约数"),
    ("get_raw_simple_ratio", "(self, image_bytes: 'bytes') -> 'str'", "获取图片真实最简宽高比，不做近似。"),
    ("get_approx_simple_ratio", "(self, image_bytes: 'bytes') -> 'str'", "自动拟合近似简单整数比例，无预设标准比例池。"),
])
def test_signatures_and_docs(name, signature, doc):
    function = getattr(ImageRatioAnalyzer, name)
    assert str(inspect.signature(function)) == signature
    assert function.__doc__.startswith(doc)


# --- ratios of real images ----------------------------------------------------------------


@pytest.mark.parametrize("size, raw, approx", [
    ((1920, 1080), "16:9", "9:5"),
    ((1080, 1920), "9:16", "5:9"),
    ((1024, 768), "4:3", "4:3"),
    ((3000, 2000), "3:2", "3:2"),
    ((1000, 1000), "1:1", "1:1"),
    ((2560, 1080), "64:27", "7:3"),
    ((5000, 100), "50:1", "10:1"),
    ((1366, 768), "683:384", "9:5"),
    ((1, 1), "1:1", "1:1"),
    ((997, 991), "997:991", "1:1"),
])
def test_ratio_table(size, raw, approx):
    data = encode(size, mode="1")
    analyzer = ImageRatioAnalyzer()
    assert analyzer.get_raw_simple_ratio(data) == raw
    assert analyzer.get_approx_simple_ratio(data) == approx


@pytest.mark.parametrize("fmt, mode", [("PNG", "RGB"), ("PNG", "RGBA"), ("PNG", "P"), ("JPEG", "RGB"),
                                       ("JPEG", "L"), ("GIF", "P"), ("BMP", "RGB"), ("WEBP", "RGB"),
                                       ("TIFF", "CMYK")])
def test_formats_and_modes(fmt, mode):
    data = encode((640, 480), fmt, mode)
    analyzer = ImageRatioAnalyzer(16)
    assert (analyzer.get_raw_simple_ratio(data), analyzer.get_approx_simple_ratio(data)) == ("4:3", "4:3")


@pytest.mark.parametrize("bound, size, expected", [
    (16, (1920, 1080), "16:9"),
    (3, (7, 4), "2:1"),  # 3:2 and 2:1 tie at 0.25; i = 2 comes first
    (1, (1920, 1080), "1:1"),
    (1, (3, 7000), "1:1"),
    (0, (1920, 1080), "1920:1080"),
    (-5, (1920, 1080), "1920:1080"),
    (7.9, (1920, 1080), "7:4"),
    (True, (1920, 1080), "1:1"),
    (-2**80, (7, 4), "7:4"),
])
def test_search_bounds(bound, size, expected):
    assert ImageRatioAnalyzer(bound).get_approx_simple_ratio(png_header(*size)) == expected


def test_float_bound_is_stored_truncated():
    assert ImageRatioAnalyzer(7.9).approx_search_range == 7
    assert type(ImageRatioAnalyzer(True).approx_search_range) is int
    assert ImageRatioAnalyzer(approx_search_range=-3.5).approx_search_range == -3


def test_bound_is_read_at_every_call():
    data = png_header(1920, 1080)
    analyzer = ImageRatioAnalyzer()
    assert analyzer.get_approx_simple_ratio(data) == "9:5"
    analyzer.approx_search_range = 16
    assert analyzer.get_approx_simple_ratio(data) == "16:9"

    class Sixteen(enum.IntEnum):
        VALUE = 16

    analyzer.approx_search_range = Sixteen.VALUE
    assert analyzer.get_approx_simple_ratio(data) == "16:9"


@pytest.mark.parametrize("bound, message", [
    ("10", 'can only concatenate str (not "int") to str'),
    (None, "unsupported operand type(s) for +: 'NoneType' and 'int'"),
    (3.5, "'float' object cannot be interpreted as an integer"),
    (3.0, "'float' object cannot be interpreted as an integer"),
])
def test_non_integer_bound_assigned_later(bound, message):
    analyzer = ImageRatioAnalyzer()
    analyzer.approx_search_range = bound
    with pytest.raises(TypeError) as caught:
        analyzer.get_approx_simple_ratio(png_header(4, 3))
    assert str(caught.value) == message


@pytest.mark.parametrize("size, handler", [
    ((1920, 1080), "raises"),
    ((fractions.Fraction(1920), 1080), "raises"),
    ((1920, 1080), "rebinds abs"),  # the cells after the handler call the new abs
])
def test_huge_bound_search_can_be_interrupted(monkeypatch, size, handler):
    def failing_abs(value):
        raise TimeoutError("abs rebound")

    def interrupt(signum, frame):
        if handler == "raises" or vars(aspekta).get("abs") is failing_abs:
            raise TimeoutError("interrupted" if handler == "raises" else "abs rebound but never called")
        monkeypatch.setattr(aspekta, "abs", failing_abs, raising=False)

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2, 0.5)
    try:
        with fake_images(size), pytest.raises(TimeoutError) as caught:
            ImageRatioAnalyzer(2**40).get_approx_simple_ratio(b"x")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert str(caught.value) == ("interrupted" if handler == "raises" else "abs rebound")


def test_the_bound_is_read_after_the_target_and_infinity(monkeypatch):
    calls = []
    monkeypatch.setattr(aspekta, "float", lambda text: calls.append(text) or math.inf, raising=False)
    analyzer = ImageRatioAnalyzer()
    del analyzer.approx_search_range
    for size, error, expected_calls in [((16, 0), ZeroDivisionError, []), ((16, 9), AttributeError, ["inf"])]:
        with fake_images(size), pytest.raises(error):
            analyzer.get_approx_simple_ratio(b"x")
        assert calls == expected_calls


def test_a_long_search_lets_other_threads_run():
    gaps, done = [], threading.Event()

    def search():
        with fake_images((1920, 1081)):
            ImageRatioAnalyzer(10_000).get_approx_simple_ratio(b"x")
        done.set()

    worker = threading.Thread(target=search)
    started = last = time.perf_counter()
    worker.start()
    while not done.is_set():
        now = time.perf_counter()
        gaps.append(now - last)
        last = now
    worker.join()
    assert max(gaps) < (last - started) / 3


@settings(max_examples=300, deadline=None)
@given(width=st.integers(1, 5000), height=st.integers(1, 5000), bound=st.integers(-2, 40))
def test_approx_matches_plain_python(width, height, bound):
    analyzer = ImageRatioAnalyzer(bound)
    data = png_header(width, height)
    assert analyzer.get_approx_simple_ratio(data) == reference_approx(width, height, bound)
    divisor = math.gcd(width, height)
    assert analyzer.get_raw_simple_ratio(data) == f"{width // divisor}:{height // divisor}"


# --- _gcd ---------------------------------------------------------------------------------


@pytest.mark.parametrize("a, b, expected", [
    (0, 5, 5), (5, 0, 5), (-4, 6, 2), (0, 0, 0), (4, -6, -2), (12, 18, 6), (-12, -18, -6),
    (2**63 - 1, 2**62, 1), (-2**63, -1, -1), (-2**63, 2**63, 2**63), (3 * 2**100, 2**101, 2**100),
    (12.9, 18.2, 6), (True, 7, 1),
])
def test_gcd_values(a, b, expected):
    result = ImageRatioAnalyzer._gcd(a, b)
    assert result == expected and type(result) is int
    assert ImageRatioAnalyzer()._gcd(b=b, a=a) == expected


@settings(max_examples=500)
@given(a=st.one_of(st.integers(-10**6, 10**6), st.integers()), b=st.one_of(st.integers(-10**6, 10**6), st.integers()))
def test_gcd_matches_floored_modulo_euclid(a, b):
    assert ImageRatioAnalyzer._gcd(a, b) == reference_gcd(a, b)


@pytest.mark.parametrize("a, b, error, message", [
    ("4", 6, TypeError, "Argument 'a' has incorrect type (expected int, got str)"),
    (4, None, TypeError, "Argument 'b' has incorrect type (expected int, got NoneType)"),
    (math.inf, 6, OverflowError, "cannot convert float infinity to integer"),
    (4, math.nan, ValueError, "cannot convert float NaN to integer"),
])
def test_gcd_argument_errors(a, b, error, message):
    with pytest.raises(error) as caught:
        ImageRatioAnalyzer._gcd(a, b)
    assert str(caught.value) == message


def test_overridden_gcd_is_honoured():
    class Unreduced(ImageRatioAnalyzer):
        @staticmethod
        def _gcd(a, b):
            return 1

    class Halving(ImageRatioAnalyzer):
        def _gcd(self, a, b):
            return 2.0

    data = png_header(1920, 1080)
    assert Unreduced().get_raw_simple_ratio(data) == "1920:1080"
    assert Halving().get_raw_simple_ratio(data) == "960.0:540.0"
    instance = ImageRatioAnalyzer()
    instance._gcd = lambda a, b: 40
    assert instance.get_raw_simple_ratio(data) == "48:27"


# --- argument and image errors -------------------------------------------------------------


@pytest.mark.parametrize("value, type_name", [
    (None, "NoneType"), (bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), ("x", "str"),
])
@pytest.mark.parametrize("method", ["get_raw_simple_ratio", "get_approx_simple_ratio"])
def test_image_bytes_must_be_bytes(method, value, type_name):
    with pytest.raises(TypeError) as caught:
        getattr(ImageRatioAnalyzer(), method)(value)
    assert str(caught.value) == f"Argument 'image_bytes' has incorrect type (expected bytes, got {type_name})"


def test_bytes_subclass_is_refused_with_a_note():
    data = type("B", (bytes,), {})(png_header(4, 3))
    with pytest.raises(TypeError) as caught:
        ImageRatioAnalyzer().get_raw_simple_ratio(data)
    assert "expected bytes, got B" in str(caught.value)
    assert any("subclasses" in note for note in caught.value.__notes__)


@pytest.mark.parametrize("args, kwargs, message", [
    (("10",), {}, "Argument 'approx_search_range' has incorrect type (expected int, got str)"),
    ((None,), {}, "Argument 'approx_search_range' has incorrect type (expected int, got NoneType)"),
    ((1, 2), {}, "ImageRatioAnalyzer.__init__() takes from 1 to 2 positional arguments but 3 were given"),
    ((), {"range": 3}, "ImageRatioAnalyzer.__init__() got an unexpected keyword argument 'range'"),
])
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        ImageRatioAnalyzer(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("data", [b"", b"not an image", png_header(4, 3)[:20], b"\x89PNG\r\n\x1a\n" + b"\0" * 40])
@pytest.mark.parametrize("method", ["get_raw_simple_ratio", "get_approx_simple_ratio"])
def test_unreadable_bytes_raise_pillows_error(method, data):
    with pytest.raises((UnidentifiedImageError, SyntaxError, OSError)) as caught:
        getattr(ImageRatioAnalyzer(), method)(data)
    names = [entry.name for entry in caught.traceback]
    assert f"valdrix.aspekta.ImageRatioAnalyzer.{method}" in names


def test_decompression_bomb_handling_is_pillows():
    with pytest.raises(Image.DecompressionBombError):
        ImageRatioAnalyzer().get_raw_simple_ratio(png_header(100_000, 100_000))
    limit = Image.MAX_IMAGE_PIXELS
    with pytest.warns(Image.DecompressionBombWarning):
        assert ImageRatioAnalyzer().get_raw_simple_ratio(png_header(limit + 1, 1)) == f"{limit + 1}:1"


# --- the with statements, through stand-ins for BytesIO and Image ---------------------------------


def test_contexts_are_entered_and_left_in_order():
    with fake_images((1920, 1080)) as (events, streams):
        assert ImageRatioAnalyzer().get_approx_simple_ratio(b"anything") == "9:5"
    assert events == ["stream enter", "image enter", ("image exit", None, False), ("stream exit", None)]
    assert streams[0].closed


@pytest.mark.parametrize("size, error", [
    (RuntimeError("size failed"), RuntimeError),
    ((1, 2, 3), ValueError),
    (7, TypeError),
])
def test_error_inside_leaves_both_contexts_with_the_exception(size, error):
    with fake_images(size) as (events, streams):
        with pytest.raises(error):
            ImageRatioAnalyzer().get_raw_simple_ratio(b"x")
    assert events == ["stream enter", "image enter", ("image exit", error, True), ("stream exit", error)]
    assert streams[0].closed


def test_real_stream_is_closed_when_pillow_fails(monkeypatch):
    streams = []

    def stream(data):
        streams.append(io.BytesIO(data))
        return streams[-1]

    monkeypatch.setattr(aspekta, "BytesIO", stream)
    with pytest.raises(UnidentifiedImageError):
        ImageRatioAnalyzer().get_raw_simple_ratio(b"junk")
    ImageRatioAnalyzer().get_raw_simple_ratio(png_header(2, 2))
    assert [s.closed for s in streams] == [True, True]


def test_exception_raised_in_exit_chains_to_the_original():
    class Failing(FakeImage):
        def __exit__(self, exc_type, exc, tb):
            raise KeyError("exit failed")

    original = aspekta.Image
    aspekta.Image = types.SimpleNamespace(open=lambda buf: Failing(RuntimeError("size failed"), []))
    try:
        with pytest.raises(KeyError) as caught:
            ImageRatioAnalyzer().get_raw_simple_ratio(b"x")
    finally:
        aspekta.Image = original
    assert isinstance(caught.value.__context__, RuntimeError)


def test_suppressed_error_leaves_width_unbound():
    with fake_images(RuntimeError("swallowed"), suppress=True):
        with pytest.raises(UnboundLocalError, match="cannot access local variable 'width'"):
            ImageRatioAnalyzer().get_raw_simple_ratio(b"x")


class EnterOnly:
    def __enter__(self):
        return self


class AddsExit:
    """__enter__ is a descriptor whose binding gives the class its __exit__:
    the interpreter's order of looking up and binding the two shows."""

    class Enter:
        def __get__(self, instance, owner):
            owner.__exit__ = lambda *exc_info: None
            return lambda: instance

    __enter__ = Enter()


@pytest.mark.parametrize("make_manager", [
    lambda: types.SimpleNamespace(size=(1, 1), __enter__=lambda: None, __exit__=lambda *a: None),
    EnterOnly,
    lambda: type("AddsExit", (AddsExit,), {})(),
    # From 3.14 the error names the module and hints at `async with`, but
    # only when both asynchronous methods are descriptors.
    lambda: type("Async", (), {"__aenter__": lambda s: s, "__aexit__": lambda s, *a: None})(),
    lambda: type("AsyncBuiltins", (), {"__aenter__": len, "__aexit__": len, "__enter__": lambda s: s})(),
])
def test_manager_without_the_protocol_fails_as_the_with_statement_does(monkeypatch, make_manager):
    outcomes = []
    for module, analyzer in ((aspekta, ImageRatioAnalyzer), (reference.aspekta, PlainImageRatioAnalyzer)):
        monkeypatch.setattr(module, "Image", types.SimpleNamespace(open=lambda buf: make_manager()))
        try:
            analyzer().get_raw_simple_ratio(b"x")
        except Exception as error:  # noqa: BLE001 - the error is the outcome compared
            outcomes.append((type(error), str(error)))
    assert outcomes[0] == outcomes[1]


def reference_raw(width, height):
    divisor = reference_gcd(int(width), int(height))  # _gcd converts its arguments with int()
    return f"{width // divisor}:{height // divisor}"


@pytest.mark.parametrize("size, raw, approx", [
    ((3 * 2**70, 2 * 2**70), "3:2", "3:2"),
    ((2**80, 1), f"{2**80}:1", "1:1"),  # every error rounds to the same double: the first pair wins
    ((1920.0, 1080.0), "16.0:9.0", "9:5"),
    ((-1920, 1080), "-16:9", "1:10"),
    ((0, 7), "0:1", "1:10"),
    ((5, 0), "1:0", ZeroDivisionError),
    ((0, 0), ZeroDivisionError, ZeroDivisionError),
    ((fractions.Fraction(19, 2), 5), None, None),
    ((fractions.Fraction(-7, 3), fractions.Fraction(5, 4)), None, None),
    ((True, 3), None, None),
])
def test_sizes_beyond_real_images(size, raw, approx):
    """Duck-typed images: whatever Python would do with such a size, the analyser does."""
    analyzer = ImageRatioAnalyzer()
    raw = raw or reference_raw(*size)
    approx = approx or reference_approx(*size, 10)
    with fake_images(size):
        for method, expected in [(analyzer.get_raw_simple_ratio, raw), (analyzer.get_approx_simple_ratio, approx)]:
            if isinstance(expected, type):
                with pytest.raises(expected):
                    method(b"x")
            else:
                assert method(b"x") == expected


# --- leaks ------------------------------------------------------------------------------------

PNG = png_header(1920, 1080)
ANALYZER = ImageRatioAnalyzer()


class HugeSize:
    """Opens as an image of 2**80 x 3 pixels, for the arbitrary-size int paths."""

    def __init__(self, buf):
        self.size = (2**80, 3)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return None


def with_huge_image(call):
    def run():
        original = aspekta.Image
        aspekta.Image = types.SimpleNamespace(open=HugeSize)
        try:
            return call()
        finally:
            aspekta.Image = original
    return run


@pytest.mark.parametrize("call, raises", [
    (lambda: ImageRatioAnalyzer(), None),
    (lambda: ImageRatioAnalyzer(7.5), None),
    (lambda: ImageRatioAnalyzer("7"), TypeError),
    (lambda: ImageRatioAnalyzer._gcd(1920, 1080), None),
    (lambda: ImageRatioAnalyzer._gcd(3 * 2**90, 2**91), None),
    (lambda: ImageRatioAnalyzer._gcd(None, 1), TypeError),
    (lambda: ANALYZER.get_raw_simple_ratio(PNG), None),
    (lambda: ANALYZER.get_approx_simple_ratio(PNG), None),
    (lambda: ANALYZER.get_raw_simple_ratio(bytearray(PNG)), TypeError),
    (lambda: ANALYZER.get_approx_simple_ratio(b"junk"), UnidentifiedImageError),
    (with_huge_image(lambda: ANALYZER.get_raw_simple_ratio(b"x")), None),
    (with_huge_image(lambda: ANALYZER.get_approx_simple_ratio(b"x")), None),
])
def test_no_leaks(leak_check, call, raises):
    leak_check(call, raises=raises, iterations=1000)


class CountingInt(int):
    """An int whose additions are counted and may each give another stop."""

    def __new__(cls, value, stops=()):
        self = super().__new__(cls, value)
        self.adds, self.stops = 0, list(stops)
        return self

    def __add__(self, other):
        self.adds += 1
        return self.stops.pop(0) if self.stops else int(self) + other


@pytest.mark.parametrize("size, limit, stops, adds", [
    ((1920, 1080), 3, (), 4),  # limit + 1 once for the rows, then once per row
    ((1920, 1080), 16, (), 17),
    ((1920, 1080), 0, (), 1),  # no row: the inner range is never built
    ((1080, 1920), 4, (5, 2, 9, 1, 17), 5),  # each row gets the stop of its own evaluation
    ((7, 4), 3, (4, 1, 1, 1), 4),
])
def test_inner_range_is_rebuilt_from_limit_plus_one_for_each_row(size, limit, stops, adds):
    analyzer = ImageRatioAnalyzer()
    analyzer.approx_search_range = CountingInt(limit, stops)
    expected_limit = CountingInt(limit, stops)
    expected = reference_approx(*size, expected_limit)
    assert analyzer.get_approx_simple_ratio(png_header(*size)) == expected
    assert analyzer.approx_search_range.adds == expected_limit.adds == adds


@pytest.mark.parametrize("stops, error", [((3, "x"), TypeError), ((3, 2.5), TypeError)])
def test_a_row_stop_that_is_not_an_integer_fails_at_that_row(stops, error):
    analyzer = ImageRatioAnalyzer()
    analyzer.approx_search_range = CountingInt(2, stops)
    with pytest.raises(error, match="cannot be interpreted as an integer"):
        analyzer.get_approx_simple_ratio(png_header(16, 9))
    assert analyzer.approx_search_range.adds == 2


class SwallowingImage:
    """An image whose size fails inside a with statement that swallows it."""
    size = property(lambda image: 1 / 0)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return True


@pytest.mark.parametrize("method, error, text", [
    ("get_raw_simple_ratio", KeyError, "'gcd'"),  # self._gcd is read before width
    ("get_approx_simple_ratio", UnboundLocalError, "width"),
])
def test_lookup_order_when_the_size_is_missing(monkeypatch, method, error, text):
    class Analyzer(ImageRatioAnalyzer):
        _gcd = property(lambda analyzer: {}["gcd"])

    monkeypatch.setattr(aspekta, "Image", types.SimpleNamespace(open=lambda stream: SwallowingImage()))
    with pytest.raises(error, match=text):
        getattr(Analyzer(), method)(b"x")


def test_unpacking_a_non_iterable_size_reads_as_python(monkeypatch):
    image = contextlib.nullcontext(types.SimpleNamespace(size=5))
    monkeypatch.setattr(aspekta, "Image", types.SimpleNamespace(open=lambda stream: image))
    with pytest.raises(TypeError, match="^cannot unpack non-iterable int object$"):
        ImageRatioAnalyzer().get_raw_simple_ratio(b"x")


# --- names looked up at call time, and host objects read as the plain code reads them ----------

# Each script runs in a child process, once with ours and once with the plain
# class, and prints what it gets; `before` is where the built-in is replaced.
BUILTINS_REPLACED = {
    "abs before the import": ("builtins.abs = lambda value: 0", "before"),
    "abs": ("builtins.abs = lambda value: 0", "after"),
    "range": ("real = range; builtins.range = lambda start, stop: real(start, min(stop, 3))", "after"),
    "float": ("builtins.float = lambda text: 0.0", "after"),
}


@pytest.mark.parametrize("name", sorted(BUILTINS_REPLACED))
def test_search_follows_replaced_builtins(name):
    replace, when = BUILTINS_REPLACED[name]
    search = "print(ImageRatioAnalyzer(16).get_approx_simple_ratio(data))"

    def run(module):
        script = "\n".join([
            "import builtins, io", "from PIL import Image",
            "buffer = io.BytesIO(); Image.new('L', (1920, 1080)).save(buffer, 'PNG'); data = buffer.getvalue()",
            replace if when == "before" else "",
            f"from {module} import ImageRatioAnalyzer", search, replace, search])
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                              cwd=pathlib.Path(__file__).resolve().parent.parent)
        return done.returncode, done.stdout, done.stderr[-2000:]

    ours, plain = run("valdrix.aspekta"), run("reference.aspekta")
    assert ours[:2] == plain[:2] and plain[0] == 0, (ours, plain)




def logged_number_type(log):
    class Number(int):
        def __truediv__(self, other):
            log.append(f"{self!r} / {other!r}")
            return int(self) / other

        def __floordiv__(self, other):
            log.append(f"{self!r} // {other!r}")
            return int(self) // other

        def __add__(self, other):
            log.append(f"{self!r} + {other!r}")
            return int(self) + other

        def __format__(self, format_spec):
            log.append(f"format({self!r})")
            return format(int(self), format_spec)

        def __repr__(self):
            return f"Number({int(self)})"

    return Number


def host_trace(monkeypatch, module, analyzer_class, method, size, bound, names):
    log = []
    number = logged_number_type(log)
    size = tuple(number(side) if logged else side for side, logged in size)
    bound = number(bound[0]) if bound[1] else bound[0]

    class Traced(analyzer_class):
        def __getattribute__(self, attr):
            log.append(f"self.{attr}")
            return super().__getattribute__(attr)

    analyzer = Traced()
    analyzer.approx_search_range = bound  # the constructor would convert it with int()
    stand_ins = {"BytesIO": noted("BytesIO", lambda data: Host("stream", log), log),
                 "Image": Host("Image", log, open=lambda buf: Host("img", log, size=size))}
    if names:
        stand_ins.update({name: noted(name, function, log) for name, function in
                          [("float", float), ("range", range), ("abs", abs)]})
    with monkeypatch.context() as patch:
        for name, value in stand_ins.items():
            patch.setattr(module, name, value, raising=False)
        log.clear()
        result = getattr(analyzer, method)(b"src")
    return log, result


# Sides and the bound are (value, whether it is an int subclass that notes its operations).
@pytest.mark.parametrize("method, size, bound, names", [
    ("get_raw_simple_ratio", ((1920, True), (1080, True)), (10, False), False),
    ("get_raw_simple_ratio", ((1920, False), (1080, False)), (10, False), False),
    ("get_approx_simple_ratio", ((4, True), (3, True)), (2, False), True),
    ("get_approx_simple_ratio", ((4, False), (3, False)), (2, True), True),
    ("get_approx_simple_ratio", ((4, True), (3, True)), (0, False), False),
    ("get_approx_simple_ratio", ((1920, False), (1080, False)), (16, False), False),
])
def test_reads_and_calls_on_host_objects_are_the_plain_codes(monkeypatch, method, size, bound, names):
    ours = host_trace(monkeypatch, aspekta, ImageRatioAnalyzer, method, size, bound, names)
    plain = host_trace(monkeypatch, reference.aspekta, PlainImageRatioAnalyzer, method, size, bound, names)
    assert ours == plain
