"""Fuzzes ImageTool.adjust_size with untrusted image bytes and random settings.

Input layout: six header bytes choose the instance settings and the call's
arguments, the rest are the uploaded image bytes.
"""

from __future__ import annotations

import io
import math
import struct
import sys

import _common
from _common import DECODE_ERRORS, Image

from valdrix.canvora import ImageTool

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

def closest_ratio(tool, width, height):
    img_ratio = width / height
    min_diff, best = math.inf, tool.STANDARD_RATIO_LIST[0]
    for ratio_str, std_val in tool._std_ratio_map.items():
        diff = abs(img_ratio - std_val)
        if diff < min_diff:
            min_diff, best = diff, ratio_str
    return best


def new_size(ori_w, ori_h, scale):
    if ori_w < ori_h:
        return int(ori_w * scale), ori_h
    if ori_h < ori_w:
        return ori_w, int(ori_h * scale)
    return int(ori_w * scale), int(ori_h * scale)


def reference(tool, image_bytes, return_origin_ratio, expand_percent):
    img_io = io.BytesIO(image_bytes)
    img = Image.open(img_io).convert("RGBA")
    ori_w, ori_h = img.size
    closest = closest_ratio(tool, ori_w, ori_h)
    if tool.proportion is not None and tool.proportion != closest:
        img_io.seek(0)
        data = img_io.getvalue()
        return (data, tool.proportion) if return_origin_ratio else data
    scale = 1.0 + expand_percent / 100.0
    if tool.need_adjust == "resize":
        out_img = img.resize(new_size(ori_w, ori_h, scale), Image.Resampling.LANCZOS)
    elif tool.need_adjust == "fill":
        new_w, new_h = new_size(ori_w, ori_h, scale)
        out_img = Image.new("RGBA", (new_w, new_h), tool.fill_color)
        out_img.paste(img, ((new_w - img.width) // 2, (new_h - img.height) // 2), mask=img)
    else:
        raise ValueError("need_adjust 仅支持 resize / fill")
    out = io.BytesIO()
    out_img.save(out, format=img.format or "PNG", quality=95)
    data = out.getvalue()
    return (data, closest) if return_origin_ratio else data


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
    ours = _common.outcome(lambda: tool.adjust_size(image_bytes, return_ratio, percent))
    ref = _common.outcome(lambda: reference(tool, image_bytes, return_ratio, percent))
    _common.compare(ours, ref, ALLOWED, f"adjust_size({proportion!r}, {mode!r}, {colour!r}, {return_ratio}, {percent})")


def seeds() -> list[bytes]:
    headers = [bytes([0, 0, 0, 1, 0xE8, 0x03]), bytes([0, 1, 2, 0, 0x18, 0xFC]), bytes([5, 0, 1, 1, 0, 0]),
               bytes([0, 1, 0, 3, 0, 0]), bytes([4, 0, 8, 0, 0xE8, 0x03])]
    images = _common.seed_images()
    entries = []
    for index, image in enumerate(images):
        header = headers[index % len(headers)]
        entries.append(header + image)
        for variant in _common.damaged(image)[:2]:
            entries.append(header + variant)
    return entries


if __name__ == "__main__":
    _common.main(test_one_input, "adjust_size", seeds())
