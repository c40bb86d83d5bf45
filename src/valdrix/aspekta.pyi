"""Aspect ratio of an encoded image: exact in lowest terms, or the nearest ratio of small integers.

Only the image's size is read (through Pillow's ``Image.open``); the pixels are never decoded.
"""

from io import BytesIO as BytesIO

from PIL import Image as Image

class ImageRatioAnalyzer:
    """Reports the width:height ratio of an encoded image as "w:h" text, in two ways.

    ``get_raw_simple_ratio`` gives the exact ratio in lowest terms (1920x1080 gives "16:9");
    ``get_approx_simple_ratio`` the pair i:j with both factors in 1..``approx_search_range``
    whose quotient lies closest to width / height (1920x1080 gives "9:5" with the default 10).
    """

    approx_search_range: int
    """Largest factor (inclusive) of the approximate search; read afresh by every call."""

    def __init__(self, approx_search_range: int = 10) -> None:
        """Sets the bound of the approximate search.

        Any number is converted with ``int()`` (7.9 becomes 7); zero and negative values are
        stored as they are, and make ``get_approx_simple_ratio`` return the unreduced size.
        """

    @staticmethod
    def _gcd(a: int, b: int) -> int:
        """Euclid's algorithm with Python's floored ``%``.

        The greatest common divisor for non-negative operands; with a negative divisor the
        result can be negative (``_gcd(4, -6) == -2``). Called through the instance, so a
        subclass may override it.
        """

    def get_raw_simple_ratio(self, image_bytes: bytes) -> str:
        """The exact width:height ratio of the image, reduced to lowest terms ("16:9", "683:384").

        ``image_bytes`` must be exactly ``bytes`` (not ``bytearray`` or ``memoryview``);
        Pillow's own errors (``UnidentifiedImageError``, the decompression-bomb check) pass
        through unchanged.
        """

    def get_approx_simple_ratio(self, image_bytes: bytes) -> str:
        """The ratio i:j of small integers whose quotient lies closest to width / height.

        Both factors run over 1..``approx_search_range``; ties go to the first pair met
        (smaller i, then smaller j). With a bound below 1 the result is the unreduced size,
        "width:height".
        """
