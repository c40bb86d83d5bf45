"""valdrix.dimora in plain Python: legal gpt-image-2 sizes from a ratio and a tier."""

import math

# The declared conversions of the native functions (int parameters, int
# results) are not calls of the global `int`: a module global or built-in
# named `int` replaced later does not reach them.
declared_int = int

RATIO_TOO_WIDE = "宽高比超出限制3:1，输入比例："


def unpack_two(values):
    """`a, b = values` with the unpacking messages of the native functions."""
    items = []
    for item in values:
        if len(items) == 2:
            raise ValueError("too many values to unpack (expected 2)")
        items.append(item)
    if len(items) < 2:
        raise ValueError(f"need more than {len(items)} value{'' if len(items) == 1 else 's'} to unpack")
    return items


class GPTImageSizeCalculator:
    """Where the declared types ask for it, results and arguments go through int() as the native
    functions convert them, and the ratio is unpacked part by part with the same messages."""

    MIN_PIXELS = 655360
    MAX_PIXELS = 8294400
    MAX_EDGE = 3840
    MULTIPLE = 16
    MAX_RATIO = 3.0
    RESOLUTION_PRESET = {"1k": 1572516, "2k": 3686400, "4k": 8294400}

    @classmethod
    def round_to_multiple(cls, value, multiple=None):
        if multiple is None:
            multiple = cls.MULTIPLE
        val = round(value / multiple) * multiple
        return declared_int(max(multiple, int(val)))

    @classmethod
    def floor_to_multiple(cls, value, multiple=None):
        if multiple is None:
            multiple = cls.MULTIPLE
        val = math.floor(value / multiple) * multiple
        return declared_int(max(multiple, int(val)))

    @classmethod
    def is_valid_image_size(cls, width, height):
        width, height = declared_int(width), declared_int(height)
        pixels = width * height
        long_edge = max(width, height)
        short_edge = min(width, height)
        ratio = long_edge / short_edge
        return all([long_edge <= cls.MAX_EDGE, width % cls.MULTIPLE == 0, height % cls.MULTIPLE == 0,
                    ratio <= cls.MAX_RATIO, cls.MIN_PIXELS <= pixels <= cls.MAX_PIXELS])

    @classmethod
    def calc_size(cls, aspect_ratio="1:1", resolution="2k"):
        resolution = resolution.lower()
        rw, rh = unpack_two(map(int, aspect_ratio.split(":")))
        ratio = rw / rh
        if max(rw, rh) / min(rw, rh) > cls.MAX_RATIO:
            raise ValueError(RATIO_TOO_WIDE + aspect_ratio)
        target_pixels = cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"])
        target_pixels = max(cls.MIN_PIXELS, min(target_pixels, cls.MAX_PIXELS))
        w = math.sqrt(target_pixels * ratio)
        h = w / ratio
        for _ in range(20):
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
        width, height = int(w), int(h)
        final_pixels = width * height
        return {"width": width, "height": height, "size": f"{width}x{height}", "pixels": final_pixels,
                "aspect_ratio": aspect_ratio, "resolution": resolution,
                "valid": cls.is_valid_image_size(width, height)}
