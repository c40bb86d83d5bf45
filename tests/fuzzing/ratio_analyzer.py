"""Fuzzes ImageRatioAnalyzer with untrusted image bytes and random bounds.

Input layout: two header bytes (the search bound, signed, and which method
to call), then the image bytes.
"""

from __future__ import annotations

from reference.aspekta import ImageRatioAnalyzer as reference
from valdrix.aspekta import ImageRatioAnalyzer

from . import common
from .common import DECODE_ERRORS

HEADER = 2

# Besides decoding failures: a zero height (approximate) or a zero-by-zero
# image (exact) divides by zero; a bound that the host replaced by a float
# after construction cannot make a range (TypeError, among the decoding
# errors already).
ALLOWED = DECODE_ERRORS + (ZeroDivisionError,)


def test_one_input(data: bytes) -> None:
    if len(data) < HEADER:
        return
    bound = int.from_bytes(data[:1], "little", signed=True) // 3
    use_float = bool(data[1] & 2)
    image_bytes = data[HEADER:]
    analyzer = ImageRatioAnalyzer(bound + 0.7 if use_float else bound)
    if data[1] & 4:
        analyzer.approx_search_range = bound + 0.5
    if data[1] & 1:
        ours = common.outcome(lambda: analyzer.get_approx_simple_ratio(image_bytes))
        ref = common.outcome(lambda: reference(analyzer.approx_search_range).get_approx_simple_ratio(image_bytes))
        what = f"get_approx_simple_ratio(bound={bound})"
    else:
        ours = common.outcome(lambda: analyzer.get_raw_simple_ratio(image_bytes))
        ref = common.outcome(lambda: reference().get_raw_simple_ratio(image_bytes))
        what = "get_raw_simple_ratio"
    common.compare(ours, ref, ALLOWED, what)


def seeds() -> list[bytes]:
    entries = []
    for index, image in enumerate(common.seed_images()):
        header = bytes([(30 * (index % 4)) & 0xFF, index % 4])
        entries.append(header + image)
        entries.extend(header + variant for variant in common.damaged(image)[:2])
    return entries

