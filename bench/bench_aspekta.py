"""valdrix.aspekta.ImageRatioAnalyzer against the same class in plain Python with Pillow."""

import io
import types

from PIL import Image

from _harness import compare_twins, twins
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


def analyzer_row(name, make_call, pair, analyzer_args=None, **options):
    """A row of `make_call(x)`, x each side's ImageRatioAnalyzer class, or an
    instance made with `analyzer_args`."""

    def side(analyzer_class):
        return analyzer_class if analyzer_args is None else analyzer_class(*analyzer_args)

    return compare_twins(name, make_call, side(ImageRatioAnalyzer), pair,
                         lambda module: side(module.ImageRatioAnalyzer), **options)


def image_rows(pair):
    rows = []
    for name, data, number in [("64x48 PNG", encode((64, 48), "PNG"), 3000),
                               ("1920x1080 PNG", encode((1920, 1080), "PNG"), 2000),
                               ("1920x1080 JPEG", encode((1920, 1080), "JPEG"), 2000)]:
        rows.append(analyzer_row(f"get_approx_simple_ratio {name}",
                                 lambda analyzer, d=data: lambda: analyzer.get_approx_simple_ratio(d), pair, (),
                                 number=number))
        rows.append(analyzer_row(f"get_raw_simple_ratio {name}",
                                 lambda analyzer, d=data: lambda: analyzer.get_raw_simple_ratio(d), pair, (),
                                 number=number))
    return rows


def arithmetic_rows(pair):
    stand_in = types.SimpleNamespace(open=HeaderOnly)
    patched = [module for module in (aspekta, pair.plain, pair.cython) if module is not None]
    real_image = aspekta.Image
    for module in patched:
        module.Image = stand_in
    try:
        rows = [analyzer_row(f"get_approx_simple_ratio, bound {bound}",
                             lambda analyzer: lambda: analyzer.get_approx_simple_ratio(b""), pair, (bound,),
                             number=5000)
                for bound in (10, 16)]
        rows.append(analyzer_row("get_raw_simple_ratio", lambda analyzer: lambda: analyzer.get_raw_simple_ratio(b""),
                                 pair, (), number=20000))
    finally:
        for module in patched:
            module.Image = real_image
    for a, b in [(1920, 1080), (1366, 768)]:
        rows.append(analyzer_row(f"_gcd({a}, {b})", lambda analyzer, a=a, b=b: lambda: analyzer._gcd(a, b), pair,
                                 number=50000))
    return rows


def run():
    pair = twins("aspekta")
    return [("valdrix.aspekta.ImageRatioAnalyzer: real images (Pillow's header read included)", image_rows(pair)),
            ("valdrix.aspekta.ImageRatioAnalyzer: arithmetic (stand-in Image.open that returns at once)",
             arithmetic_rows(pair))]
