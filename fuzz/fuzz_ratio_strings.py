"""Fuzzes ratio strings and tiers through GPTImageSizeCalculator.calc_size and
ImageTool._parse_ratio.

Input: a byte for the tier choice, then the ratio text (UTF-8, lone
surrogates escaped), a NUL, and a free tier text.
"""

from __future__ import annotations

import math
import re

import _common

from valdrix.canvora import ImageTool
from valdrix.dimora import GPTImageSizeCalculator as Calc

TIERS = ["1k", "2k", "4k", "4K", "8k", "", " 2k", "ǅK"]

# calc_size: int() of a bad part, the unpacking errors, the 3:1 limit and the
# square root of a negative quotient are ValueErrors; a zero term divides by
# zero; terms beyond a double's range overflow the true division.
CALC_ALLOWED = (ValueError, ZeroDivisionError, OverflowError)
# _parse_ratio: the format error, and int() of a digit run longer than the
# interpreter's limit on integer text (also a ValueError).
PARSE_ALLOWED = (ValueError,)


def round_to_multiple(value, multiple):
    return max(multiple, int(round(value / multiple) * multiple))


def floor_to_multiple(value, multiple):
    return max(multiple, int(math.floor(value / multiple) * multiple))


def is_valid(width, height):
    pixels = width * height
    long_edge, short_edge = max(width, height), min(width, height)
    ratio = long_edge / short_edge
    return all([long_edge <= Calc.MAX_EDGE, width % Calc.MULTIPLE == 0, height % Calc.MULTIPLE == 0,
                ratio <= Calc.MAX_RATIO, Calc.MIN_PIXELS <= pixels <= Calc.MAX_PIXELS])


def unpack_two(values):
    """Two values from an iterator, with the module's own unpacking messages."""
    taken = []
    for value in values:
        taken.append(value)
        if len(taken) == 3:
            raise ValueError("too many values to unpack (expected 2)")
    if len(taken) < 2:
        raise ValueError(f"need more than {len(taken)} value{'s' if len(taken) != 1 else ''} to unpack")
    return taken


def calc_size(aspect_ratio, resolution):
    resolution = resolution.lower()
    rw, rh = unpack_two(map(int, aspect_ratio.split(":")))
    ratio = rw / rh
    long_r, short_r = max(rw, rh), min(rw, rh)
    if long_r / short_r > Calc.MAX_RATIO:
        raise ValueError("宽高比超出限制3:1，输入比例：" + aspect_ratio)
    fallback = Calc.RESOLUTION_PRESET["2k"]
    target = Calc.RESOLUTION_PRESET.get(resolution, fallback)
    target = max(Calc.MIN_PIXELS, min(target, Calc.MAX_PIXELS))
    w = math.sqrt(target * ratio)
    h = w / ratio
    for _ in range(20):
        w_align, h_align = round_to_multiple(w, Calc.MULTIPLE), round_to_multiple(h, Calc.MULTIPLE)
        current = w_align * h_align
        if is_valid(w_align, h_align):
            w, h = w_align, h_align
            break
        if current > Calc.MAX_PIXELS:
            scale = math.sqrt(Calc.MAX_PIXELS / current) * 0.999
            w, h = w * scale, h * scale
        elif max(w, h) > Calc.MAX_EDGE:
            scale = Calc.MAX_EDGE / max(w, h)
            w, h = w * scale, h * scale
        elif current < Calc.MIN_PIXELS:
            scale = math.sqrt(Calc.MIN_PIXELS / current)
            w, h = w * scale, h * scale
        else:
            w, h = floor_to_multiple(w, Calc.MULTIPLE), floor_to_multiple(h, Calc.MULTIPLE)
    width, height = int(w), int(h)
    return {"width": width, "height": height, "size": f"{width}x{height}", "pixels": width * height,
            "aspect_ratio": aspect_ratio, "resolution": resolution, "valid": is_valid(width, height)}


def parse_ratio(ratio_str):
    match = re.match(r"(\d+):(\d+)", ratio_str.strip())
    if not match:
        raise ValueError("比例格式错误 " + ratio_str + "，示例：3:4")
    return int(match.group(1)), int(match.group(2))


def same_dict(ours, ref):
    # Keys in order as well as values.
    return ours == ref and (ours[0] != "ok" or list(ours[1]) == list(ref[1]))


def test_one_input(data: bytes) -> None:
    if not data:
        return
    text = data[1:].decode("utf-8", "surrogateescape")
    ratio, _, free_tier = text.partition("\0")
    tier = free_tier if data[0] & 0x80 else TIERS[data[0] % len(TIERS)]
    ours = _common.outcome(lambda: Calc.calc_size(ratio, tier))
    ref = _common.outcome(lambda: calc_size(ratio, tier))
    _common.compare(ours, ref, CALC_ALLOWED, f"calc_size({ratio!r}, {tier!r})")
    if ours[0] == "ok" and list(ours[1]) != list(ref[1]):
        raise _common.ContractBroken(f"calc_size({ratio!r}, {tier!r}): key order {list(ours[1])}")
    ours = _common.outcome(lambda: ImageTool._parse_ratio(ratio))
    ref = _common.outcome(lambda: parse_ratio(ratio))
    _common.compare(ours, ref, PARSE_ALLOWED, f"_parse_ratio({ratio!r})")


def seeds() -> list[bytes]:
    ratios = ["1:1", "16:9", " 16 : 9 ", "-16:-9", "-4:-1", "-100:-1", "3:1", "31:10", "16:0", "0:9", "16",
              "16:9:1", "16:x:1", "1_6:9", "١٦:٩", "16.0:9", "+3:+4", "9" * 400 + ":1", "1:" + "7" * 5000,
              "03:04", "16:9px", "abc", "", ":", "7:10\0 4K", "300:299\0Ǆk", "-1:3", "1e3:1"]
    return [bytes([index]) + ratio.encode() for index, ratio in enumerate(ratios)]


if __name__ == "__main__":
    _common.main(test_one_input, "ratio_strings", seeds())
