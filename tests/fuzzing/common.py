"""What every fuzz harness shares: seed images, Pillow's limits while fuzzing,
and the exception contract with its comparison against plain Python.

Every harness checks two things on each input: the call either returns or
raises one of the exception types that the module documents for that input,
and what it does equals what the plain-Python reading of the same algorithm
does with the same Pillow (same bytes out, same exception type out). A crash
of the interpreter is caught by libFuzzer itself.
"""

from __future__ import annotations

import contextlib
import io
import os
import struct
import warnings
import zlib

import PIL
from PIL import Image

# Large pictures only slow the search down: anything above this many pixels
# is refused by Pillow with DecompressionBombError (twice the limit), which
# the harnesses treat as a documented outcome.
PIXEL_LIMIT = 64 * 64 * 4


@contextlib.contextmanager
def fuzzing_limits():
    """Pillow's pixel cap lowered, and its warnings about damaged files off."""
    saved = Image.MAX_IMAGE_PIXELS
    Image.MAX_IMAGE_PIXELS = PIXEL_LIMIT
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            yield
    finally:
        Image.MAX_IMAGE_PIXELS = saved


# What decoding untrusted bytes may raise; every one comes from Pillow and is
# passed on unchanged by the modules.
DECODE_ERRORS: tuple[type[BaseException], ...] = (
    # UnidentifiedImageError is a subclass: bytes that no plugin recognises.
    # Plain OSError: truncated or damaged data ("image file is truncated",
    # "broken data stream", decoder error codes).
    OSError,
    # Our own cap on the pixel count above.
    Image.DecompressionBombError,
    # Plugins that report a malformed header or chunk while loading
    # ("broken PNG file", bad TIFF tags) raise SyntaxError.
    SyntaxError,
    # Plugins' checks on header values (unsupported modes, bad palette
    # sizes, tiles outside the image).
    ValueError,
    # ImageFile.load on a stream that ends inside a header it still parses.
    EOFError,
    # struct.unpack on a short header field inside a plugin.
    struct.error,
    # zlib.decompress of a damaged compressed chunk (PNG iCCP/zTXt, WebP).
    zlib.error,
    # Pillow's TIFF loader seeks to a strip offset stored as a floating-point
    # tag and fails with TypeError (found by the adjust_size harness; see
    # tests/test_fuzz_regressions.py).
    TypeError,
)


def is_pillow_frame(error: BaseException) -> bool:
    """Whether the innermost frame that raised `error` is Pillow's own code."""
    tb = error.__traceback__
    last = None
    while tb is not None:
        last = tb
        tb = tb.tb_next
    if last is None:
        return False
    return os.path.dirname(last.tb_frame.f_code.co_filename).startswith(os.path.dirname(PIL.__file__))


class ContractBroken(AssertionError):
    pass


def outcome(call):
    """('ok', value) or ('raised', exception) for one call."""
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - sorted by the callers
        return ("raised", error)


def same_error(ours: BaseException, reference: BaseException) -> bool:
    if type(ours) is not type(reference):
        return False
    text_ours, text_ref = str(ours), str(reference)
    # Pillow names the stream object by address in some messages.
    if "0x" in text_ours or "0x" in text_ref:
        return True
    return text_ours == text_ref


def compare(ours, reference, allowed: tuple[type[BaseException], ...], what: str) -> None:
    """Fails unless both runs agree and any exception is of an allowed type."""
    kind_ours, value_ours = ours
    kind_ref, value_ref = reference
    if kind_ours == "raised" and not isinstance(value_ours, allowed):
        raise ContractBroken(f"{what}: undocumented {type(value_ours).__name__}: {value_ours!r}") from value_ours
    if kind_ours != kind_ref:
        detail = value_ours if kind_ours == "raised" else value_ref
        raise ContractBroken(f"{what}: ours {kind_ours}, plain Python {kind_ref}: {detail!r}")
    if kind_ours == "raised":
        if not same_error(value_ours, value_ref):
            raise ContractBroken(f"{what}: ours raised {value_ours!r}, plain Python {value_ref!r}") from value_ours
    elif value_ours != value_ref:
        raise ContractBroken(f"{what}: results differ: {_short(value_ours)} != {_short(value_ref)}")


def _short(value) -> str:
    text = repr(value)
    return text if len(text) < 300 else text[:300] + "..."


# --- seed images --------------------------------------------------------------

SEED_FORMATS = ("PNG", "JPEG", "GIF", "WEBP", "BMP", "TIFF")


def _image(mode: str, size: tuple[int, int]) -> Image.Image:
    img = Image.new("RGBA", size, (30, 120, 200, 255))
    for x in range(size[0]):
        for y in range(size[1]):
            img.putpixel((x, y), ((x * 37) % 256, (y * 53) % 256, (x * y) % 256, 255 if (x + y) % 3 else 90))
    return img.convert(mode)


def _save_mode(fmt: str) -> str:
    return {"JPEG": "RGB", "BMP": "RGB", "GIF": "P"}.get(fmt, "RGBA")


def seed_images() -> list[bytes]:
    """Small images of every format and a few shapes and modes."""
    seeds = []
    sizes = [(1, 1), (3, 2), (2, 5), (16, 9), (9, 16), (21, 9), (12, 12), (40, 7)]
    for fmt in SEED_FORMATS:
        for size in sizes:
            out = io.BytesIO()
            _image(_save_mode(fmt), size).save(out, format=fmt)
            seeds.append(out.getvalue())
    for mode, fmt in (("1", "PNG"), ("L", "PNG"), ("LA", "PNG"), ("P", "PNG"), ("I;16", "PNG"), ("I", "TIFF"),
                      ("F", "TIFF"), ("RGB", "PNG"), ("CMYK", "TIFF"), ("CMYK", "JPEG"), ("LA", "WEBP")):
        out = io.BytesIO()
        _image("RGBA", (6, 4)).convert("L" if mode.startswith("I") or mode == "F" else "RGBA").convert(mode).save(
            out, format=fmt)
        seeds.append(out.getvalue())
    return seeds


def damaged(seed: bytes) -> list[bytes]:
    """Truncated and bit-flipped copies of a seed."""
    variants = [seed[: len(seed) // 2], seed[: max(1, len(seed) - 7)], seed[:16]]
    flipped = bytearray(seed)
    for position in range(8, len(flipped), max(1, len(flipped) // 6)):
        flipped[position] ^= 0x5A
    variants.append(bytes(flipped))
    return variants
