"""Fuzzes ImageTool.adjust_size with untrusted image bytes and random settings.

Input layout: six header bytes choose the instance settings and the call's
arguments, the rest are the uploaded image bytes.
"""

from __future__ import annotations

import math
import struct

from reference.canvora import ImageTool as PlainImageTool
from valdrix.canvora import ImageTool

from . import common
from .common import DECODE_ERRORS

PROPORTIONS = [None, "", "   ", "3:4 ", "3:4", "16:9", "1:1", "9:16", "21:9", "2:3", "3:2", "4:3", "4:5", "5:4", "x"]
MODES = ["fill", "resize", "Resize", "stretch", ""]
FILL_COLOURS = [
    (255, 255, 255, 0),
    (0, 0, 0, 255),
    (10, 20, 30),
    "red",
    "#12345678",
    7,
    None,
    (1, 2),
    "no-such-colour",
    (300, -5, 0, 0),
    1.5,
]
SPECIAL_PERCENTS = [math.nan, math.inf, -math.inf, -100.0, 0.0, -99.99, 10.0, 1e-300, 5, True, -100]
# Settings the host may assign on the instance after construction, where the
# constructor's type checks no longer apply.
ASSIGNED_PROPORTIONS = [5, 1.0, b"1:1", ("1:1",), "1:1\0"]
ASSIGNED_MODES = [None, b"fill", 0, "fill ", "ｆｉｌｌ"]
HEADER = 6

# Documented outcomes besides a decoding failure: the unsupported mode
# (ValueError), int() of a NaN or infinite product (ValueError /
# OverflowError), a size of 0 or below reaching Pillow (ValueError, or the
# encoder's error for an empty image), and an unusable fill colour rejected
# by Image.new (ValueError or TypeError, the latter already a decoding error).
ALLOWED = DECODE_ERRORS + (OverflowError,)


def settings(header: bytes):
    proportion = PROPORTIONS[header[0] % len(PROPORTIONS)]
    mode = MODES[header[1] % len(MODES)]
    colour = FILL_COLOURS[header[2] % len(FILL_COLOURS)]
    return_ratio = bool(header[3] & 1)
    if header[3] & 2:
        percent = SPECIAL_PERCENTS[(header[3] >> 2) % 16 % len(SPECIAL_PERCENTS)]
    else:
        percent = struct.unpack("<h", header[4:6])[0] / 100.0
        if header[3] & 0x20:
            percent = int(percent)
    return proportion, mode, colour, return_ratio, percent


# --- the same algorithm in plain Python -----------------------------------------

def reference(tool, image_bytes, return_origin_ratio, expand_percent):
    """The plain-Python ImageTool with the native instance's settings."""
    plain = PlainImageTool.__new__(PlainImageTool)
    vars(plain).update(vars(tool))
    return plain.adjust_size(image_bytes, return_origin_ratio, expand_percent)


def header_flags(data: bytes) -> int:
    return data[3]


def test_one_input(data: bytes) -> None:
    if len(data) < HEADER:
        return
    proportion, mode, colour, return_ratio, percent = settings(data[:HEADER])
    image_bytes = data[HEADER:]
    tool = ImageTool(proportion, mode, colour)
    if header_flags(data) & 0x40:
        tool.proportion = ASSIGNED_PROPORTIONS[data[0] % len(ASSIGNED_PROPORTIONS)]
    if header_flags(data) & 0x80:
        tool.need_adjust = ASSIGNED_MODES[data[1] % len(ASSIGNED_MODES)]
    ours = common.outcome(lambda: tool.adjust_size(image_bytes, return_ratio, percent))
    ref = common.outcome(lambda: reference(tool, image_bytes, return_ratio, percent))
    common.compare(ours, ref, ALLOWED, f"adjust_size({proportion!r}, {mode!r}, {colour!r}, {return_ratio}, {percent})")


def seeds() -> list[bytes]:
    headers = [bytes([0, 0, 0, 1, 0xE8, 0x03]), bytes([0, 1, 2, 0, 0x18, 0xFC]), bytes([5, 0, 1, 1, 0, 0]),
               bytes([0, 1, 0, 3, 0, 0]), bytes([4, 0, 8, 0, 0xE8, 0x03])]
    images = common.seed_images()
    entries = []
    for index, image in enumerate(images):
        header = headers[index % len(headers)]
        entries.append(header + image)
        for variant in common.damaged(image)[:2]:
            entries.append(header + variant)
    return entries

