"""valdrix.aspekta.ImageRatioAnalyzer against the same class in plain Python with Pillow."""

import io
import types

from PIL import Image

from _harness import compare
import reference.aspekta
from reference.aspekta import ImageRatioAnalyzer as PlainImageRatioAnalyzer
from valdrix import aspekta
from valdrix.aspekta import ImageRatioAnalyzer


def encode(size, fmt):
    data = io.BytesIO()
    Image.new("RGB", size, (30, 60, 90)).save(data, fmt)
    return data.getvalue()


class HeaderOnly:
    """Opens instantly with a fixed size, leaving only the arithmetic and the call's own steps."""

    size = (1920, 1080)

    def __init__(self, buf):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return None


def image_rows():
    ours, plain = ImageRatioAnalyzer(), PlainImageRatioAnalyzer()
    rows = []
    for name, data, number in [("64x48 PNG", encode((64, 48), "PNG"), 3000),
                               ("1920x1080 PNG", encode((1920, 1080), "PNG"), 2000),
                               ("1920x1080 JPEG", encode((1920, 1080), "JPEG"), 2000)]:
        rows.append(compare(f"get_approx_simple_ratio {name}", lambda d=data: ours.get_approx_simple_ratio(d),
                            lambda d=data: plain.get_approx_simple_ratio(d), number=number))
        rows.append(compare(f"get_raw_simple_ratio {name}", lambda d=data: ours.get_raw_simple_ratio(d),
                            lambda d=data: plain.get_raw_simple_ratio(d), number=number))
    return rows


def arithmetic_rows():
    stand_in = types.SimpleNamespace(open=HeaderOnly)
    real_image = reference.aspekta.Image
    reference.aspekta.Image = aspekta.Image = stand_in
    try:
        rows = []
        for bound in (10, 16):
            ours, plain = ImageRatioAnalyzer(bound), PlainImageRatioAnalyzer(bound)
            rows.append(compare(f"get_approx_simple_ratio, bound {bound}",
                                lambda o=ours: o.get_approx_simple_ratio(b""),
                                lambda p=plain: p.get_approx_simple_ratio(b""), number=5000))
        ours, plain = ImageRatioAnalyzer(), PlainImageRatioAnalyzer()
        rows.append(compare("get_raw_simple_ratio", lambda: ours.get_raw_simple_ratio(b""),
                            lambda: plain.get_raw_simple_ratio(b""), number=20000))
    finally:
        reference.aspekta.Image = aspekta.Image = real_image
    rows.append(compare("_gcd(1920, 1080)", lambda: ImageRatioAnalyzer._gcd(1920, 1080),
                        lambda: PlainImageRatioAnalyzer._gcd(1920, 1080), number=50000))
    rows.append(compare("_gcd(1366, 768)", lambda: ImageRatioAnalyzer._gcd(1366, 768),
                        lambda: PlainImageRatioAnalyzer._gcd(1366, 768), number=50000))
    return rows


def run():
    return [("valdrix.aspekta.ImageRatioAnalyzer: real images (Pillow's header read included)", image_rows()),
            ("valdrix.aspekta.ImageRatioAnalyzer: arithmetic (stand-in Image.open that returns at once)",
             arithmetic_rows())]
