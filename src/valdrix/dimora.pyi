import math as math
from typing import ClassVar, Dict, Optional, TypedDict, type_check_only

# The dict that calc_size returns; its keys are always exactly these.
@type_check_only
class _SizeResult(TypedDict):
    width: int
    height: int
    size: str
    pixels: int
    aspect_ratio: str
    resolution: str
    valid: bool

class GPTImageSizeCalculator:
    MIN_PIXELS: ClassVar[int]
    MAX_PIXELS: ClassVar[int]
    MAX_EDGE: ClassVar[int]
    MULTIPLE: ClassVar[int]
    MAX_RATIO: ClassVar[float]
    RESOLUTION_PRESET: ClassVar[Dict[str, int]]
    def __init__(self) -> None: ...
    @classmethod
    def round_to_multiple(cls, value: float, multiple: Optional[float] = None) -> int: ...
    @classmethod
    def floor_to_multiple(cls, value: float, multiple: Optional[float] = None) -> int: ...
    @classmethod
    def is_valid_image_size(cls, width: int, height: int) -> bool: ...
    @classmethod
    def calc_size(cls, aspect_ratio: str = "1:1", resolution: str = "2k") -> _SizeResult: ...
