import math as math
import re as re
from io import BytesIO as BytesIO
from typing import Any, Dict, List, Literal, Optional as Optional, Tuple as Tuple, TypeAlias, Union, overload

from PIL import Image as Image

# Whatever Pillow's Image.new accepts as a colour; the value is handed to it unchanged.
_Color: TypeAlias = Union[float, Tuple[float, ...], str, None]

class ImageTool:
    # Read through the instance, so an instance attribute of this name takes precedence.
    STANDARD_RATIO_LIST: List[str]
    proportion: Optional[str]
    need_adjust: str
    fill_color: _Color
    kwargs: Dict[str, Any]
    _std_ratio_map: Dict[str, float]
    def __init__(
        self,
        proportion: Optional[str] = None,
        need_adjust: str = "fill",
        fill_color: _Color = (255, 255, 255, 0),
        **kwargs: Any,
    ) -> None: ...
    @staticmethod
    def _parse_ratio(ratio_str: str) -> Tuple[int, int]: ...
    def _get_closest_standard_ratio(self, width: int, height: int) -> str: ...
    # The pair is (bytes, ratio): the requested ratio on the untouched path, the closest
    # standard ratio of the source after processing; either way a str.
    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: Literal[False] = False, expand_percent: float = 10.0
    ) -> bytes: ...
    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: Literal[True], expand_percent: float = 10.0
    ) -> Tuple[bytes, str]: ...
    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: bool = False, expand_percent: float = 10.0
    ) -> Union[bytes, Tuple[bytes, str]]: ...
