"""Fuzzes image_resize on images decoded from untrusted bytes.

Input layout: six header bytes (target width and height, background colour,
source mode, integer or float targets), then the image bytes. Bytes that
Pillow cannot decode are not the function's input and are skipped.
"""

from __future__ import annotations

import io

from reference.resize import image_resize as reference
from valdrix.resize import image_resize

from . import common
from .common import DECODE_ERRORS, Image

HEADER = 6
COLOURS = [(0, 0, 0), (255, 0, 0), "white", 5, (1, 2, 3, 4), "#abc", (1, 2), "no-such-colour", None]
MODES = [None, "RGBA", "L", "P", "1", "LA", "I", "F", "CMYK", "RGB"]

# A negative target or an unusable colour is refused by Image.new
# (ValueError, TypeError, both among the decoding errors); a target that resizes a side to 0 is refused by
# resize (ValueError); a source with a zero side divides by zero. Decoding
# errors can only come from loading the lazily opened source.
ALLOWED = DECODE_ERRORS + (ZeroDivisionError,)


def decoded(image_bytes, mode):
    try:
        image = Image.open(io.BytesIO(image_bytes))
        image.load()
        return image.convert(mode) if mode else image
    except Exception:  # noqa: BLE001 - not an input of image_resize
        return None


def as_result(value):
    return (value.mode, value.size, value.tobytes())


def test_one_input(data: bytes) -> None:
    if len(data) < HEADER:
        return
    target_w = int.from_bytes(data[0:2], "little", signed=True) % 600 - 8
    target_h = int.from_bytes(data[2:4], "little", signed=True) % 600 - 8
    colour = COLOURS[data[4] % len(COLOURS)]
    mode = MODES[(data[5] >> 1) % len(MODES)]
    image = decoded(data[HEADER:], mode)
    if image is None:
        return
    args = (target_w + 0.9, target_h + 0.5) if data[5] & 1 else (target_w, target_h)
    ours = common.outcome(lambda: as_result(image_resize(image, *args, colour)))
    ref = common.outcome(lambda: as_result(reference(image, *map(int, args), colour)))
    common.compare(ours, ref, ALLOWED, f"image_resize({image.mode} {image.size}, {args}, {colour!r})")


def seeds() -> list[bytes]:
    entries = []
    for index, image in enumerate(common.seed_images()):
        header = bytes([(index * 7) % 256, 0, (index * 5) % 256, 0, index % 3, (index % 5) * 2])
        entries.append(header + image)
    return entries

