"""Fuzzes ratio strings and tiers through GPTImageSizeCalculator.calc_size and
ImageTool._parse_ratio.

Input: a byte for the tier choice, then the ratio text (UTF-8, lone
surrogates escaped), a NUL, and a free tier text.
"""

from __future__ import annotations

from reference.canvora import ImageTool as PlainImageTool
from reference.dimora import GPTImageSizeCalculator as PlainCalc
from valdrix.canvora import ImageTool
from valdrix.dimora import GPTImageSizeCalculator as Calc

from . import common

TIERS = ["1k", "2k", "4k", "4K", "8k", "", " 2k", "ǅK"]

# calc_size: int() of a bad part, the unpacking errors, the 3:1 limit and the
# square root of a negative quotient are ValueErrors; a zero term divides by
# zero; terms beyond a double's range overflow the true division.
CALC_ALLOWED = (ValueError, ZeroDivisionError, OverflowError)
# _parse_ratio: the format error, and int() of a digit run longer than the
# interpreter's limit on integer text (also a ValueError).
PARSE_ALLOWED = (ValueError,)


def same_dict(ours, ref):
    # Keys in order as well as values.
    return ours == ref and (ours[0] != "ok" or list(ours[1]) == list(ref[1]))


def test_one_input(data: bytes) -> None:
    if not data:
        return
    text = data[1:].decode("utf-8", "surrogateescape")
    ratio, _, free_tier = text.partition("\0")
    tier = free_tier if data[0] & 0x80 else TIERS[data[0] % len(TIERS)]
    ours = common.outcome(lambda: Calc.calc_size(ratio, tier))
    ref = common.outcome(lambda: PlainCalc.calc_size(ratio, tier))
    common.compare(ours, ref, CALC_ALLOWED, f"calc_size({ratio!r}, {tier!r})")
    if ours[0] == "ok" and list(ours[1]) != list(ref[1]):
        raise common.ContractBroken(f"calc_size({ratio!r}, {tier!r}): key order {list(ours[1])}")
    ours = common.outcome(lambda: ImageTool._parse_ratio(ratio))
    ref = common.outcome(lambda: PlainImageTool._parse_ratio(ratio))
    common.compare(ours, ref, PARSE_ALLOWED, f"_parse_ratio({ratio!r})")


def seeds() -> list[bytes]:
    ratios = ["1:1", "16:9", " 16 : 9 ", "-16:-9", "-4:-1", "-100:-1", "3:1", "31:10", "16:0", "0:9", "16",
              "16:9:1", "16:x:1", "1_6:9", "١٦:٩", "16.0:9", "+3:+4", "9" * 400 + ":1", "1:" + "7" * 5000,
              "03:04", "16:9px", "abc", "", ":", "7:10\0 4K", "300:299\0Ǆk", "-1:3", "1e3:1"]
    return [bytes([index]) + ratio.encode() for index, ratio in enumerate(ratios)]

