"""valdrix.dimora against the same size calculator written in plain Python."""

import math

from _harness import compare
from valdrix.dimora import GPTImageSizeCalculator


class PlainSizeCalculator:
    """The baseline: the same algorithm, line for line, in plain Python."""

    MIN_PIXELS = 655360
    MAX_PIXELS = 8294400
    MAX_EDGE = 3840
    MULTIPLE = 16
    MAX_RATIO = 3.0
    RESOLUTION_PRESET = {"1k": 1572516, "2k": 3686400, "4k": 8294400}

    @classmethod
    def round_to_multiple(cls, value, multiple=None) -> int:
        if multiple is None:
            multiple = cls.MULTIPLE
        val = round(value / multiple) * multiple
        return max(multiple, int(val))

    @classmethod
    def floor_to_multiple(cls, value, multiple=None) -> int:
        if multiple is None:
            multiple = cls.MULTIPLE
        val = math.floor(value / multiple) * multiple
        return max(multiple, int(val))

    @classmethod
    def is_valid_image_size(cls, width: int, height: int) -> bool:
        pixels = width * height
        long_edge = max(width, height)
        short_edge = min(width, height)
        ratio = long_edge / short_edge
        checks = [
            long_edge <= cls.MAX_EDGE,
            width % cls.MULTIPLE == 0,
            height % cls.MULTIPLE == 0,
            ratio <= cls.MAX_RATIO,
            cls.MIN_PIXELS <= pixels <= cls.MAX_PIXELS,
        ]
        return all(checks)

    @classmethod
    def calc_size(cls, aspect_ratio: str = "1:1", resolution: str = "2k") -> dict:
        resolution = resolution.lower()
        rw, rh = map(int, aspect_ratio.split(":"))
        ratio = rw / rh
        long_r = max(rw, rh)
        short_r = min(rw, rh)
        if long_r / short_r > cls.MAX_RATIO:
            raise ValueError(f"宽高比超出限制3:1，输入比例：{aspect_ratio}")
        target_pixels = cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"])
        target_pixels = max(cls.MIN_PIXELS, min(target_pixels, cls.MAX_PIXELS))
        w = math.sqrt(target_pixels * ratio)
        h = w / ratio
        max_loop = 20
        for _ in range(max_loop):
            w_align = cls.round_to_multiple(w)
            h_align = cls.round_to_multiple(h)
            current_pixels = w_align * h_align
            if cls.is_valid_image_size(w_align, h_align):
                w, h = w_align, h_align
                break
            if current_pixels > cls.MAX_PIXELS:
                scale = math.sqrt(cls.MAX_PIXELS / current_pixels) * 0.999
                w *= scale
                h *= scale
                continue
            long_e = max(w, h)
            if long_e > cls.MAX_EDGE:
                scale = cls.MAX_EDGE / long_e
                w *= scale
                h *= scale
            elif current_pixels < cls.MIN_PIXELS:
                scale = math.sqrt(cls.MIN_PIXELS / current_pixels)
                w *= scale
                h *= scale
            else:
                w = cls.floor_to_multiple(w)
                h = cls.floor_to_multiple(h)
        width = int(w)
        height = int(h)
        final_pixels = width * height
        return {
            "width": width,
            "height": height,
            "size": f"{width}x{height}",
            "pixels": final_pixels,
            "aspect_ratio": aspect_ratio,
            "resolution": resolution,
            "valid": cls.is_valid_image_size(width, height),
        }


RATIOS = ["1:1", "16:9", "9:16", "4:3", "3:4", "2:3", "7:10", "21:9", "3:1"]
TIERS = ["1k", "2k", "4k"]
# More distinct inputs than calc_size keeps results for, so that every call
# computes and builds its result afresh.
DISTINCT = [(f"{w}:{h}", tier) for w in range(1, 31) for h in range(1, 31) if max(w, h) <= 3 * min(w, h)
            for tier in TIERS]


def every_size(calculator):
    def run_all():
        for ratio in RATIOS:
            for tier in TIERS:
                calculator.calc_size(ratio, tier)

    return run_all


def distinct_sizes(calculator):
    def run_all():
        for ratio, tier in DISTINCT:
            calculator.calc_size(ratio, tier)

    return run_all


def run():
    ours, plain = GPTImageSizeCalculator, PlainSizeCalculator
    for ratio, tier in DISTINCT:
        assert ours.calc_size(ratio, tier) == plain.calc_size(ratio, tier)
    rows = [
        compare("calc_size, 9 ratios x 3 tiers", every_size(ours), every_size(plain), number=300),
        compare(f"calc_size, {len(DISTINCT)} distinct inputs", distinct_sizes(ours), distinct_sizes(plain),
                number=10),
        compare("calc_size() (1 pass)", lambda: ours.calc_size(), lambda: plain.calc_size(), number=10000),
        compare("calc_size 4:3 4k (pixel fix)", lambda: ours.calc_size("4:3", "4k"),
                lambda: plain.calc_size("4:3", "4k"), number=10000),
        compare("calc_size 3:1 1k (floor fix)", lambda: ours.calc_size("3:1", "1k"),
                lambda: plain.calc_size("3:1", "1k"), number=10000),
        compare("round_to_multiple(1254.5)", lambda: ours.round_to_multiple(1254.5),
                lambda: plain.round_to_multiple(1254.5), number=20000),
        compare("round_to_multiple(25, 10)", lambda: ours.round_to_multiple(25, 10),
                lambda: plain.round_to_multiple(25, 10), number=20000),
        compare("floor_to_multiple(47.5)", lambda: ours.floor_to_multiple(47.5),
                lambda: plain.floor_to_multiple(47.5), number=20000),
        compare("is_valid_image_size(3840, 2160)", lambda: ours.is_valid_image_size(3840, 2160),
                lambda: plain.is_valid_image_size(3840, 2160), number=20000),
        compare("is_valid_image_size(1000, 1000)", lambda: ours.is_valid_image_size(1000, 1000),
                lambda: plain.is_valid_image_size(1000, 1000), number=20000),
    ]
    return "valdrix.dimora.GPTImageSizeCalculator vs plain Python", rows
