"""valdrix.canvora against the same ImageTool written in plain Python with Pillow."""

import io

from PIL import Image

from _harness import compare
from reference.canvora import ImageTool as PlainImageTool
from valdrix.canvora import ImageTool


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


def pure_rows():
    ours, plain = ImageTool(), PlainImageTool()
    return ("canvora: ratio matching", [
        compare("_get_closest_standard_ratio(1920, 1080)", lambda: ours._get_closest_standard_ratio(1920, 1080),
                lambda: plain._get_closest_standard_ratio(1920, 1080), number=20000),
        compare("_get_closest_standard_ratio(4000, 1000)", lambda: ours._get_closest_standard_ratio(4000, 1000),
                lambda: plain._get_closest_standard_ratio(4000, 1000), number=20000),
        compare("_parse_ratio(' 16:9 ')", lambda: ImageTool._parse_ratio(" 16:9 "),
                lambda: PlainImageTool._parse_ratio(" 16:9 "), number=20000),
        compare("ImageTool('3:4')", lambda: ImageTool("3:4"), lambda: PlainImageTool("3:4"), number=5000),
    ])


def image_rows():
    rows = []
    sources = {size: photo(*size) for size in [(1920, 1080), (4000, 3000)]}
    for (width, height), img in sources.items():
        number, repeat = (3, 5) if width < 2000 else (1, 7)
        for fmt in ["JPEG", "PNG"]:
            data = encoded(img, fmt)
            for mode in ["fill", "resize"]:
                ours, plain = ImageTool(None, mode), PlainImageTool(None, mode)
                assert ours.adjust_size(data) == plain.adjust_size(data)
                rows.append(compare(f"adjust_size {mode} {width}x{height} {fmt}", lambda: ours.adjust_size(data),
                                    lambda: plain.adjust_size(data), number=number, repeat=repeat))
        data = encoded(img, "JPEG")
        ours, plain = ImageTool("1:1"), PlainImageTool("1:1")
        rows.append(compare(f"adjust_size early path {width}x{height} JPEG", lambda: ours.adjust_size(data),
                            lambda: plain.adjust_size(data), number=number * 4, repeat=repeat))
    # A tiny image, where any overhead of ours around Pillow's calls would show most.
    data = encoded(photo(64, 36), "PNG")
    for mode in ["fill", "resize"]:
        ours, plain = ImageTool(None, mode), PlainImageTool(None, mode)
        rows.append(compare(f"adjust_size {mode} 64x36 PNG", lambda: ours.adjust_size(data),
                            lambda: plain.adjust_size(data), number=300, repeat=7))
    return ("canvora: adjust_size (Pillow's work dominates; ratio near 1.0 expected)", rows)


def run():
    return [pure_rows(), image_rows()]
