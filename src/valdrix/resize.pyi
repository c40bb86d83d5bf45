"""Fits a Pillow image into a canvas of a given size: scaled uniformly and centred."""

from typing import Tuple, TypeAlias, Union

from PIL import Image as Image
from PIL.Image import Resampling as Resampling

# Whatever Pillow's Image.new accepts as a colour of an RGB image.
_Color: TypeAlias = Union[float, Tuple[float, ...], str, None]

def image_resize(image: Image.Image, target_w: int, target_h: int, bg_color: _Color = (0, 0, 0)) -> Image.Image:
    """A new RGB canvas of ``target_w`` x ``target_h`` in ``bg_color``, with ``image`` scaled to fit and centred.

    The scale is the smaller of target_w / width and target_h / height, up or down; the
    resized sides are truncated with ``int()`` and the offsets use floor division, so an odd
    leftover pixel goes to the right or the bottom. The image is resampled with Lanczos and
    pasted without a mask (an alpha channel is dropped, not blended); the input is not
    changed. ``target_w`` and ``target_h`` accept any number, converted with ``int()``.
    A negative size or an unknown colour raises Pillow's ``ValueError``, a source with a
    zero side ``ZeroDivisionError``.
    """
