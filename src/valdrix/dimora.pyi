"""Output sizes that the image model "gpt-image-2" accepts, from an aspect ratio and a resolution tier."""

import math as math
from typing import ClassVar, Dict, Optional, TypedDict, type_check_only

# The dict that calc_size returns; its keys are always exactly these.
@type_check_only
class _SizeResult(TypedDict):
    """What ``calc_size`` returns."""

    width: int
    height: int
    size: str
    pixels: int
    aspect_ratio: str
    resolution: str
    valid: bool

class GPTImageSizeCalculator:
    """Sizes for "gpt-image-2": edges multiples of ``MULTIPLE``, the longer at most ``MAX_EDGE``,
    long / short at most ``MAX_RATIO``, and ``MIN_PIXELS`` <= width x height <= ``MAX_PIXELS``.

    Every method reads the constants and calls its sibling methods through the class it is
    called on, so a subclass can change them.
    """

    MIN_PIXELS: ClassVar[int]
    """Smallest legal pixel count (655360), inclusive."""
    MAX_PIXELS: ClassVar[int]
    """Largest legal pixel count (8294400, that is 3840 x 2160), inclusive."""
    MAX_EDGE: ClassVar[int]
    """Largest legal longer edge (3840), inclusive."""
    MULTIPLE: ClassVar[int]
    """Both edges are multiples of this (16); the default step of the alignment methods."""
    MAX_RATIO: ClassVar[float]
    """Largest legal quotient longer edge / shorter edge (3.0), inclusive."""
    RESOLUTION_PRESET: ClassVar[Dict[str, int]]
    """Target pixel count of each tier: "1k" 1572516, "2k" 3686400, "4k" 8294400."""

    def __init__(self) -> None:
        """Does nothing; every operation is a class method."""

    @classmethod
    def round_to_multiple(cls, value: float, multiple: Optional[float] = None) -> int:
        """``value`` rounded to a multiple of ``multiple`` (default ``MULTIPLE``), never below ``multiple``.

        Rounds with the built-in ``round``, so exact halves go to the even neighbour
        (40 with 16 gives 32).
        """

    @classmethod
    def floor_to_multiple(cls, value: float, multiple: Optional[float] = None) -> int:
        """``value`` aligned down to a multiple of ``multiple`` (default ``MULTIPLE``), never below ``multiple``."""

    @classmethod
    def is_valid_image_size(cls, width: int, height: int) -> bool:
        """Whether ``width`` x ``height`` meets every limit: edge, alignment, ratio and pixel count.

        A zero edge raises ``ZeroDivisionError``.
        """

    @classmethod
    def calc_size(cls, aspect_ratio: str = "1:1", resolution: str = "2k") -> _SizeResult:
        """A legal size of the shape ``aspect_ratio`` ("16:9") with about the tier's pixel count.

        ``resolution`` is lower-cased; an unknown tier is sized like "2k". Both edges are
        aligned and the size corrected in at most 20 passes; ``valid`` tells whether the
        result meets every limit. A ratio wider than ``MAX_RATIO`` raises ``ValueError``;
        a text that is not two integers around one ":" raises ``ValueError``, a zero term
        ``ZeroDivisionError``.
        """
