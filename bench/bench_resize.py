"""valdrix.resize.image_resize against the same steps in plain Python with Pillow."""

import types

from PIL import Image

from _harness import compare_twins, twins
from valdrix import resize


def gradient(size, mode="RGB"):
    grey = Image.linear_gradient("L").resize(size)
    return Image.merge("RGB", (grey, grey.transpose(Image.Transpose.FLIP_LEFT_RIGHT), grey)).convert(mode)


class StandIn:
    """An image and a canvas that do no pixel work, leaving only the call's own steps."""

    size = (1920, 1080)

    def resize(self, size, resample):
        return self

    def paste(self, image, box):
        pass


STAND_IN = StandIn()


def run():
    pair = twins("resize")

    def row(name, make_call, number):
        return compare_twins(name, make_call, resize, pair, number=number)

    cases = [
        ("1920x1080 RGB -> 1024x1024", gradient((1920, 1080)), (1024, 1024), 10),
        ("4000x3000 RGB -> 1920x1080", gradient((4000, 3000)), (1920, 1080), 3),
        ("640x480 RGBA -> 256x256", gradient((640, 480), "RGBA"), (256, 256), 100),
        ("64x48 L -> 32x32", gradient((64, 48), "L"), (32, 32), 3000),
    ]
    rows = [row(name, lambda module, i=image, t=target: lambda: module.image_resize(i, *t), number)
            for name, image, target, number in cases]

    # The steps around Pillow alone: every side gets a canvas and an image
    # that return at once.
    stand_in_module = types.SimpleNamespace(new=lambda mode, size, color: STAND_IN)
    patched = [module for module in (resize, pair.plain, pair.cython) if module is not None]
    for module in patched:
        module.Image = stand_in_module
    try:
        rows.append(row("call overhead (stand-in image/canvas)",
                        lambda module: lambda: module.image_resize(STAND_IN, 1024, 1024), 50000))
    finally:
        for module in patched:
            module.Image = Image
    return "valdrix.resize.image_resize", rows
