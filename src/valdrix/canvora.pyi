"""Normalisation of uploaded images against ten standard aspect ratios, with PNG output."""

import math as math
import re as re
from io import BytesIO as BytesIO
from typing import Any, Dict, List, Literal, Optional as Optional, Tuple as Tuple, TypeAlias, Union, overload

from PIL import Image as Image

# Whatever Pillow's Image.new accepts as a colour; the value is handed to it unchanged.
_Color: TypeAlias = Union[float, Tuple[float, ...], str, None]

class ImageTool:
    """Matches images against the standard ratios and enlarges their shorter side.

    ``need_adjust="fill"`` centres the image on a larger canvas of ``fill_color``;
    ``need_adjust="resize"`` stretches the whole image to the new size. When the tool
    carries a requested ``proportion`` that is not an image's closest standard ratio, that
    image's bytes come back untouched.
    """

    # Read through the instance, so an instance attribute of this name takes precedence.
    STANDARD_RATIO_LIST: List[str]
    """The standard ratios in matching order; the first is the fallback of the closest-ratio search."""
    proportion: Optional[str]
    """The requested ratio ("16:9"), or ``None`` (a blank text is stored as ``None``) to process every image."""
    need_adjust: str
    """The mode of ``adjust_size``: "fill" or "resize" (checked only there)."""
    fill_color: _Color
    """Canvas colour of the fill mode, handed to Pillow unchanged; transparent white by default."""
    kwargs: Dict[str, Any]
    """Extra keyword arguments of the constructor, by name; nothing reads them."""
    _std_ratio_map: Dict[str, float]
    """Each standard ratio text mapped to width / height, built once by the constructor."""

    def __init__(
        self,
        proportion: Optional[str] = None,
        need_adjust: str = "fill",
        fill_color: _Color = (255, 255, 255, 0),
        **kwargs: Any,
    ) -> None:
        """Stores the settings and builds ``_std_ratio_map`` from ``STANDARD_RATIO_LIST``.

        Unrecognised keyword arguments are collected in ``kwargs`` instead of being refused.
        """

    @staticmethod
    def _parse_ratio(ratio_str: str) -> Tuple[int, int]:
        """Parses "w:h" (surrounding white space allowed) into ``(w, h)``.

        Anything after the second number is ignored ("16:9px" gives ``(16, 9)``); text that
        does not start with digits, a colon and digits raises ``ValueError``.
        """

    def _get_closest_standard_ratio(self, width: int, height: int) -> str:
        """The standard ratio whose width / height lies closest to ``width / height``.

        The distance is the plain absolute difference of the quotients; among equal
        distances the first in list order wins. A ``height`` of 0 raises ``ZeroDivisionError``.
        """

    # The pair is (bytes, ratio): the requested ratio on the untouched path, the closest
    # standard ratio of the source after processing; either way a str.
    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: Literal[False] = False, expand_percent: float = 10.0
    ) -> bytes:
        """Enlarges the shorter side of an encoded image by ``expand_percent`` and returns PNG bytes.

        When ``proportion`` is set and differs from the image's closest standard ratio, the
        input bytes come back untouched (the very same object). With
        ``return_origin_ratio=True`` the result is a pair: the bytes and the requested ratio
        on that path, or the source's closest standard ratio after processing. A negative
        percentage shrinks (crops evenly in fill mode). Pillow's decoding errors pass
        through; an unknown mode raises ``ValueError``.
        """

    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: Literal[True], expand_percent: float = 10.0
    ) -> Tuple[bytes, str]:
        """Enlarges the shorter side of an encoded image by ``expand_percent``; returns (bytes, ratio).

        The bytes are the PNG result, or the input itself when ``proportion`` is set and
        differs from the image's closest standard ratio; the ratio is then the requested one,
        otherwise the source's closest standard ratio.
        """

    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: bool = False, expand_percent: float = 10.0
    ) -> Union[bytes, Tuple[bytes, str]]:
        """Enlarges the shorter side of an encoded image by ``expand_percent``; returns PNG bytes.

        With ``return_origin_ratio`` true the result is a pair (bytes, ratio); see the other
        overloads.
        """
