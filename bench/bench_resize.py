"""valdrix.resize.image_resize against the same steps in plain Python with Pillow."""

import types

from PIL import Image

import reference.resize
from _harness import compare
from reference.resize import image_resize as plain_image_resize
from valdrix import resize
from valdrix.resize import image_resize


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
    cases = [
        ("1920x1080 RGB -> 1024x1024", gradient((1920, 1080)), (1024, 1024), 10),
        ("4000x3000 RGB -> 1920x1080", gradient((4000, 3000)), (1920, 1080), 3),
        ("640x480 RGBA -> 256x256", gradient((640, 480), "RGBA"), (256, 256), 100),
        ("64x48 L -> 32x32", gradient((64, 48), "L"), (32, 32), 3000),
    ]
    rows = [compare(name, lambda i=image, t=target: image_resize(i, *t),
                    lambda i=image, t=target: plain_image_resize(i, *t), number=number)
            for name, image, target, number in cases]

    # The steps around Pillow alone: both sides get a canvas and an image
    # that return at once.
    stand_in_module = types.SimpleNamespace(new=lambda mode, size, color: STAND_IN)
    real_image, resize.Image, reference.resize.Image = Image, stand_in_module, stand_in_module
    try:
        rows.append(compare("call overhead (stand-in image/canvas)", lambda: image_resize(STAND_IN, 1024, 1024),
                            lambda: plain_image_resize(STAND_IN, 1024, 1024), number=50000))
    finally:
        resize.Image = reference.resize.Image = real_image
    return "valdrix.resize.image_resize", rows
