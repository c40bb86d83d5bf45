"""Host code that runs in the middle of a native lookup and changes what the lookup reads.

A dictionary lookup runs a key's ``__eq__`` when it meets a key of another
type with the same hash. That code may replace or empty the very table, or
give a class a new MRO, while the native code still walks it. The
interpreter keeps its own references for this; so must the modules. Without
them these cases read freed memory: the sanitizer build (``make sanitize``)
stops there, an ordinary build crashes or misbehaves at random.
"""

import io
import warnings

from PIL import Image

from valdrix import aspekta, dimora
from valdrix.dimora import GPTImageSizeCalculator


def collider(text, action):
    """A key that hashes like `text` and, once armed, runs `action` whenever it is compared."""

    class Collider:
        armed = False
        calls = 0

        def __hash__(self):
            return hash(text)

        def __eq__(self, other):
            if not Collider.armed:
                return False
            Collider.calls += 1
            action()
            # Freed tuples and dicts go back to the interpreter's free lists;
            # allocating a few reuses them, so stale reads see other objects.
            global _recycled
            _recycled = [tuple(range(6)) for _ in range(50)] + [
                {"1k": int("2000000"), "2k": int("2000000")} for _ in range(50)]
            return False

    return Collider


_recycled = None


def test_preset_table_replaced_while_it_is_read():
    class Calc(GPTImageSizeCalculator):
        pass

    def drop_table():
        Calc.RESOLUTION_PRESET = {"2k": 3686400}

    key = collider("2k", drop_table)
    Calc.RESOLUTION_PRESET = {key(): 1, "2k": 3686400, "1k": 1572516}
    key.armed = True
    result = Calc.calc_size("16:9", "1k")
    # As `cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"])`
    # evaluates: `get` is bound to the old table before "2k" is read from it.
    assert (result["width"], result["height"], result["valid"]) == (1664, 944, True)
    # Whether the probe for "1k" meets the key too depends on the string hash
    # seed, in plain Python as here.
    assert key.calls >= 1
    assert Calc.RESOLUTION_PRESET == {"2k": 3686400}


def test_preset_entry_deleted_while_the_tier_is_looked_up():
    class Calc(GPTImageSizeCalculator):
        pass

    def empty_table():
        Calc.RESOLUTION_PRESET.clear()

    key = collider("1k", empty_table)
    # Values made at run time, so that emptying the table frees them.
    Calc.RESOLUTION_PRESET = {"2k": int("3686400"), key(): 1, "1k": int("1572516")}
    key.armed = True
    result = Calc.calc_size("1:1", "1k")
    # "2k" was read before the table was emptied; the tier lookup then finds
    # nothing and falls back to it.
    assert (result["width"], result["height"]) == (1920, 1920)
    assert Calc.RESOLUTION_PRESET == {}


def png(size):
    out = io.BytesIO()
    Image.new("RGB", size).save(out, format="PNG")
    return out.getvalue()


def test_stream_class_given_a_new_mro_while_enter_is_looked_up(monkeypatch):
    class First(io.BytesIO):
        pass

    class Second(io.BytesIO):
        pass

    def rebase():
        Stream.__bases__ = (Second,)

    key = collider("__enter__", rebase)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # 3.13 warns about the key
        Stream = type("Stream", (First,), {key(): None})
    monkeypatch.setattr(aspekta, "BytesIO", Stream)
    key.armed = True
    assert aspekta.ImageRatioAnalyzer().get_raw_simple_ratio(png((32, 18))) == "16:9"
    assert key.calls >= 1
    assert Stream.__mro__[1] is Second


def test_preset_table_replaced_while_the_class_is_examined():
    replacement = {"2k": 8294400}

    def replace_table():
        Calc.RESOLUTION_PRESET = replacement

    key = collider("round_to_multiple", replace_table)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # 3.13 warns about the key
        Calc = type("Calc", (GPTImageSizeCalculator,), {key(): None})
    Calc.RESOLUTION_PRESET = {"1k": 1572516, "2k": 3686400}
    key.armed = True
    result = Calc.calc_size("16:9", "1k")
    # The tier is read before `round_to_multiple` is first looked up.
    assert (result["width"], result["height"], result["valid"]) == (1664, 944, True)
    assert Calc.RESOLUTION_PRESET is replacement


def test_preset_table_replaced_while_math_is_looked_up():
    class Calc(GPTImageSizeCalculator):
        pass

    def replace_table():
        Calc.RESOLUTION_PRESET = {"2k": int("8294400")}

    key = collider("math", replace_table)
    Calc.RESOLUTION_PRESET = {"1k": int("1572516"), "2k": int("3686400")}
    # The key must come before "math" in the lookup's probe sequence.
    namespace = vars(dimora)
    math_module = namespace.pop("math")
    namespace[key()] = None
    namespace["math"] = math_module
    try:
        key.armed = True
        result = Calc.calc_size("16:9", "1k")
    finally:
        key.armed = False
        del namespace[next(k for k in namespace if isinstance(k, key))]
    # Which table the call reads depends on when the key runs; it must read
    # one of them whole, not freed memory.
    assert (result["width"], result["height"]) in [(1664, 944), (3840, 2160)]
    assert result["valid"] and key.calls >= 1
