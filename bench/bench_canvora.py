"""valdrix.canvora against the same ImageTool written in plain Python with Pillow."""

import io

from PIL import Image

from _harness import compare_twins, raising, twins
from valdrix.canvora import ImageTool

PAIR = twins("canvora")


def photo(width, height):
    """A smooth synthetic photo: three gradients as colour channels."""
    red = Image.linear_gradient("L").resize((width, height))
    green = Image.radial_gradient("L").resize((width, height))
    blue = Image.linear_gradient("L").rotate(90).resize((width, height))
    return Image.merge("RGB", (red, green, blue))


def encoded(img, fmt):
    out = io.BytesIO()
    img.save(out, format=fmt, **({"quality": 90} if fmt == "JPEG" else {}))
    return out.getvalue()


def three_way(name, make_call, tool_args=None, **options):
    """A row of `make_call(x)`, x each side's ImageTool class, or an instance
    made with `tool_args`."""

    def side(tool_class):
        return tool_class if tool_args is None else tool_class(*tool_args)

    return compare_twins(name, make_call, side(ImageTool), PAIR, lambda module: side(module.ImageTool), **options)


def pure_rows():
    return ("canvora: ratio matching", [
        three_way("_get_closest_standard_ratio(1920, 1080)",
                  lambda tool: lambda: tool._get_closest_standard_ratio(1920, 1080), (), number=20000),
        three_way("_get_closest_standard_ratio(4000, 1000)",
                  lambda tool: lambda: tool._get_closest_standard_ratio(4000, 1000), (), number=20000),
        three_way("_parse_ratio(' 16:9 ')", lambda tool: lambda: tool._parse_ratio(" 16:9 "), number=20000),
        three_way("_parse_ratio('bad'), raises ValueError", lambda tool: raising(lambda: tool._parse_ratio("bad")),
                  number=20000),
        three_way("ImageTool('3:4')", lambda tool: lambda: tool("3:4"), number=5000),
    ])


def image_rows():
    rows = []
    sources = {size: photo(*size) for size in [(1920, 1080), (4000, 3000)]}
    for (width, height), img in sources.items():
        number, repeat = (3, 5) if width < 2000 else (1, 7)
        for fmt in ["JPEG", "PNG"]:
            data = encoded(img, fmt)
            for mode in ["fill", "resize"]:
                expected = ImageTool(None, mode).adjust_size(data)
                rows.append(three_way(f"adjust_size {mode} {width}x{height} {fmt}",
                                      lambda tool: same_as(expected, lambda: tool.adjust_size(data)), (None, mode),
                                      number=number, repeat=repeat))
        data = encoded(img, "JPEG")
        rows.append(three_way(f"adjust_size early path {width}x{height} JPEG",
                              lambda tool: lambda: tool.adjust_size(data), ("1:1",), number=number * 4, repeat=repeat))
    # A tiny image, where any overhead of ours around Pillow's calls would show most.
    data = encoded(photo(64, 36), "PNG")
    for mode in ["fill", "resize"]:
        rows.append(three_way(f"adjust_size {mode} 64x36 PNG", lambda tool: lambda: tool.adjust_size(data),
                              (None, mode), number=300, repeat=7))
    return ("canvora: adjust_size (Pillow's work dominates; ratio near 1.0 expected)", rows)


def same_as(expected, call):
    """`call`, once checked to give `expected`."""
    assert call() == expected
    return call


def run():
    return [pure_rows(), image_rows()]
