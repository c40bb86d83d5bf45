"""valdrix.resize: fitting an image object into a canvas."""

import contextlib
import inspect
import io
import types

import pytest
from hypothesis import given, settings, strategies as st
from PIL import Image
from PIL.Image import Resampling

from reference.resize import image_resize as reference_resize
from valdrix import resize
from valdrix.resize import image_resize


def gradient(size, mode="RGB"):
    image = Image.linear_gradient("L").resize(size)
    if mode == "L":
        return image
    mirrored = image.transpose(Image.Transpose.ROTATE_180)
    rgb = Image.merge("RGB", (image, mirrored, image.point(lambda v: 255 - v)))
    return rgb.convert(mode)


class RecordingImage:
    """Anything with a size pair and a resize method; records what resize got."""

    def __init__(self, size):
        self.size = size
        self.resized_with = None

    def resize(self, size, resample):
        self.resized_with = (size, resample)
        return Image.new("RGB", (1, 1), (255, 255, 255))


def test_module_names_and_function_shape():
    names = [n for n in vars(resize) if not n.startswith("__")]
    assert names == ["Image", "Resampling", "image_resize"]
    assert resize.Image is Image and resize.Resampling is Resampling
    assert str(inspect.signature(image_resize)) == (
        "(image: 'Image', target_w: 'int', target_h: 'int', bg_color=(0, 0, 0)) -> 'Image'")
    assert image_resize.__annotations__ == {"image": "Image", "target_w": "int", "target_h": "int",
                                            "return": "Image"}
    assert image_resize.__doc__.startswith("将图片等比缩放并居中放置到指定尺寸的画布上。")
    assert "Args:" in image_resize.__doc__ and "Returns:" in image_resize.__doc__


@pytest.mark.parametrize("source, target, resized, pasted", [
    ((2000, 1000), (1000, 1000), (1000, 500), (0, 250)),
    ((1000, 2000), (1024, 1024), (512, 1024), (256, 0)),
    ((300, 200), (600, 600), (600, 400), (0, 100)),
    ((7, 7), (61, 1000), (60, 60), (0, 470)),
    ((64, 64), (64, 64), (64, 64), (0, 0)),
    ((10, 5), (40, 20), (40, 20), (0, 0)),
    ((3, 1), (10, 10), (10, 3), (0, 3)),
])
def test_canvas_fit_table(source, target, resized, pasted):
    canvas = image_resize(Image.new("RGB", source, (200, 10, 10)), *target)
    assert (canvas.mode, canvas.size) == ("RGB", target)
    box = (pasted[0], pasted[1], pasted[0] + resized[0], pasted[1] + resized[1])
    assert canvas.getbbox() == box
    assert canvas.crop(box).getcolors() == [(resized[0] * resized[1], (200, 10, 10))]


def test_truncation_leaves_rightmost_column_in_background():
    canvas = image_resize(Image.new("RGB", (7, 7), (255, 255, 255)), 61, 1000, bg_color=(0, 0, 255))
    assert canvas.getpixel((60, 500)) == (0, 0, 255)
    assert canvas.getpixel((59, 500)) == (255, 255, 255)


@pytest.mark.parametrize("mode", ["RGB", "L", "P", "RGBA", "CMYK", "I;16"])
@pytest.mark.parametrize("source, target", [((40, 30), (64, 64)), ((50, 80), (33, 20)), ((16, 16), (16, 16))])
def test_pixels_match_the_same_pillow_calls(mode, source, target):
    image = gradient(source, mode) if mode != "I;16" else gradient(source, "L").convert("I;16")
    before = image.tobytes()
    canvas = image_resize(image, *target, (9, 99, 199))
    assert canvas.tobytes() == reference_resize(image, *target, (9, 99, 199)).tobytes()
    assert image.tobytes() == before and image.mode == mode


def test_jpeg_source():
    data = io.BytesIO()
    gradient((120, 90)).save(data, "JPEG", quality=80)
    image = Image.open(io.BytesIO(data.getvalue()))
    assert image_resize(image, 100, 100).tobytes() == reference_resize(image, 100, 100).tobytes()


def test_transparent_areas_do_not_show_the_background():
    source = Image.new("RGBA", (20, 20), (255, 0, 0, 0))
    source.paste((0, 255, 0, 255), (10, 0, 20, 20))
    same_size = image_resize(source, 20, 20, bg_color=(255, 255, 255))
    assert same_size.mode == "RGB"
    assert same_size.getpixel((2, 2)) == (255, 0, 0)  # the source's colour values, alpha ignored
    scaled = image_resize(source, 40, 40, bg_color=(255, 255, 255))
    assert scaled.getpixel((2, 2)) != (255, 255, 255)
    assert scaled.tobytes() == reference_resize(source, 40, 40, (255, 255, 255)).tobytes()


def test_grey_source_gives_rgb_canvas():
    canvas = image_resize(Image.new("L", (10, 10), 77), 20, 10)
    assert canvas.mode == "RGB" and canvas.getpixel((10, 5)) == (77, 77, 77)


@pytest.mark.parametrize("bg_color, expected", [
    ((1, 2, 3), (1, 2, 3)), ("red", (255, 0, 0)), (0x102030, (0x30, 0x20, 0x10)),
])
def test_background_colour_values(bg_color, expected):
    canvas = image_resize(Image.new("RGB", (10, 10)), 30, 10, bg_color)
    assert canvas.getpixel((0, 0)) == expected and canvas.getpixel((29, 9)) == expected


def test_keyword_arguments_and_numeric_targets():
    image = RecordingImage((100, 50))
    canvas = image_resize(target_h=200, bg_color=(1, 1, 1), image=image, target_w=300.9)
    assert canvas.size == (300, 200)
    assert image.resized_with == ((300, 150), Resampling.LANCZOS)
    assert image_resize(RecordingImage((1, 1)), True, 3).size == (1, 3)


@pytest.mark.parametrize("args, kwargs, message", [
    ((None, "300", 10), {}, "Argument 'target_w' has incorrect type (expected int, got str)"),
    ((None, 10, None), {}, "Argument 'target_h' has incorrect type (expected int, got NoneType)"),
    ((None, [1], None), {}, "Argument 'target_w' has incorrect type (expected int, got list)"),
    ((None, 1), {}, "image_resize() missing 1 required positional argument: 'target_h'"),
    ((None, 1, 2, 3, 4), {}, "image_resize() takes from 3 to 4 positional arguments but 5 were given"),
    ((None, 1, 2), {"colour": 1}, "image_resize() got an unexpected keyword argument 'colour'"),
    ((None, 1, 2), {"target_w": 1}, "image_resize() got multiple values for argument 'target_w'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        image_resize(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("image, target, error", [
    (object(), (-1, 10), ValueError),          # the canvas comes first
    (object(), (10, 10, "no-such-colour"), ValueError),
    (object(), (10, 10), AttributeError),      # no size
    (types.SimpleNamespace(size=(5, 5)), (10, 10), AttributeError),  # no resize
    (types.SimpleNamespace(size=5), (10, 10), TypeError),
    (Image.new("RGB", (0, 5)), (10, 10), ZeroDivisionError),
    (Image.new("RGB", (5, 5)), (0, 10), ValueError),  # Pillow refuses a 0-pixel resize
])
def test_failures_pass_through(image, target, error):
    with pytest.raises(error) as caught:
        image_resize(image, *target)
    names = [entry.name for entry in caught.traceback]
    assert "valdrix.resize.image_resize" in names


@pytest.mark.parametrize("size, message", [
    ((5,), "need more than 1 value to unpack"),
    ((5, 5, 5), "too many values to unpack (expected 2)"),
    (iter([5, 5, 5]), "too many values to unpack (expected 2)"),
    ([], "need more than 0 values to unpack"),
])
def test_size_unpacking_errors(size, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        image_resize(types.SimpleNamespace(size=size), 10, 10)


def test_globals_are_read_at_call_time(monkeypatch):
    image = RecordingImage((10, 10))
    monkeypatch.setattr(resize, "Resampling", types.SimpleNamespace(LANCZOS="chosen filter"))
    image_resize(image, 20, 20)
    assert image.resized_with == ((20, 20), "chosen filter")


class RecordingCanvas:
    def __init__(self, mode, size, color):
        self.created_with = (mode, size, color)
        self.pasted = []

    def paste(self, image, box):
        self.pasted.append(box)


@contextlib.contextmanager
def recording_canvas():
    """Replaces the module's Image with one whose canvases record their pastes."""
    original = resize.Image
    resize.Image = types.SimpleNamespace(new=RecordingCanvas)
    try:
        yield
    finally:
        resize.Image = original


def expected_placement(source_w, source_h, target_w, target_h):
    ratio = min(target_w / source_w, target_h / source_h)
    new_w, new_h = int(source_w * ratio), int(source_h * ratio)
    return (new_w, new_h), ((target_w - new_w) // 2, (target_h - new_h) // 2)


sizes = st.one_of(st.integers(-3000, 3000), st.integers(-2**70, 2**70))


@settings(max_examples=500, deadline=None)
@given(source_w=sizes.filter(bool), source_h=sizes.filter(bool), target_w=sizes, target_h=sizes)
def test_arithmetic_matches_the_interpreter(source_w, source_h, target_w, target_h):
    image = RecordingImage((source_w, source_h))
    with recording_canvas():
        canvas = image_resize(image, target_w, target_h)
    resized, pasted = expected_placement(source_w, source_h, target_w, target_h)
    assert canvas.created_with == ("RGB", (target_w, target_h), (0, 0, 0))
    assert image.resized_with[0] == resized and canvas.pasted == [pasted]
    assert all(type(v) is int for v in image.resized_with[0] + pasted)


@settings(max_examples=100, deadline=None)
@given(source=st.tuples(st.floats(0.5, 1e6), st.floats(0.5, 1e6)), target=st.tuples(st.integers(1, 300),
                                                                                    st.integers(1, 300)))
def test_float_sizes_of_a_duck_typed_image(source, target):
    image = RecordingImage(source)
    with recording_canvas():
        canvas = image_resize(image, *target)
    resized, pasted = expected_placement(*source, *target)
    assert image.resized_with[0] == resized and canvas.pasted == [pasted]


def test_paste_offsets_use_floor_division():
    with recording_canvas():
        negative = image_resize(RecordingImage((-4, 2)), 3, 5)  # ratio -0.75: new size (3, -1)
        odd = image_resize(RecordingImage((10, 10)), 15, 16)
        below_zero = image_resize(RecordingImage((-4, -2)), -3, 5)  # ratio -2.5: new size (10, 5)
    assert negative.pasted == [(0, 3)] and odd.pasted == [(0, 0)]
    assert below_zero.pasted == [(-7, 0)]  # -13 // 2 rounds toward negative infinity


SMALL = Image.new("RGB", (4, 4), (1, 2, 3))


@pytest.mark.parametrize("call, raises", [
    (lambda: image_resize(SMALL, 8, 6), None),
    (lambda: image_resize(SMALL, 8.5, 6, "red"), None),
    (lambda: image_resize(RecordingImage((2**70, 3)), 8, 6), None),
    (lambda: image_resize(SMALL, "8", 6), TypeError),
    (lambda: image_resize(SMALL, 8), TypeError),
    (lambda: image_resize(SMALL, -8, 6), ValueError),
    (lambda: image_resize(object(), 8, 6), AttributeError),
    (lambda: image_resize(types.SimpleNamespace(size=(0, 1)), 8, 6), ZeroDivisionError),
    (lambda: image_resize(types.SimpleNamespace(size=(1, 2, 3)), 8, 6), ValueError),
])
def test_no_leaks(leak_check, call, raises):
    leak_check(call, raises=raises, iterations=1000)


class Traced:
    """Delegates to `target`, noting each attribute read as "name.attr"."""

    def __init__(self, target, name, events):
        vars(self).update(_target=target, _name=name, _events=events)

    def __getattr__(self, attr):
        self._events.append(f"{self._name}.{attr}")
        return getattr(self._target, attr)


@pytest.mark.parametrize("first, then", [
    ("Image.new", "image.size"),
    ("image.resize", "Resampling.LANCZOS"),
    ("Resampling.LANCZOS", "canvas.paste"),
])
def test_callee_before_its_arguments(monkeypatch, first, then):
    events = []

    def new(*args):
        return Traced(Image.new(*args), "canvas", events)

    monkeypatch.setattr(resize, "Image", Traced(types.SimpleNamespace(new=new), "Image", events))
    monkeypatch.setattr(resize, "Resampling", Traced(Resampling, "Resampling", events))
    source = gradient((30, 20))
    result = image_resize(Traced(source, "image", events), 50, 50, (1, 2, 3))
    assert events.index(first) < events.index(then)
    assert result._target.tobytes() == reference_resize(source, 50, 50, (1, 2, 3)).tobytes()
