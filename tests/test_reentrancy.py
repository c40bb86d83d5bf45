"""Host code that runs in the middle of a native lookup and changes what the lookup reads.

A dictionary lookup runs a key's ``__eq__`` when it meets a key of another
type with the same hash. That code may replace or empty the very table, or
give a class a new MRO, while the native code still walks it. The
interpreter keeps its own references for this; so must the modules. Without
them these cases read freed memory: the sanitizer build (``make sanitize``)
stops there, an ordinary build crashes or misbehaves at random.
"""

import io

from PIL import Image

from valdrix import aspekta


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
            _recycled = [tuple(range(6)) for _ in range(50)] + [{"k": i} for i in range(50)]
            return False

    return Collider


_recycled = None


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
    Stream = type("Stream", (First,), {key(): None})
    monkeypatch.setattr(aspekta, "BytesIO", Stream)
    key.armed = True
    assert aspekta.ImageRatioAnalyzer().get_raw_simple_ratio(png((32, 18))) == "16:9"
    assert key.calls >= 1
    assert Stream.__mro__[1] is Second

