import math as math
import re as re
from io import BytesIO as BytesIO
from typing import Any, Dict, List, Optional as Optional, Tuple as Tuple, Union

from PIL import Image as Image

class ImageTool:
    STANDARD_RATIO_LIST: List[str]
    proportion: Optional[str]
    need_adjust: str
    fill_color: Any
    kwargs: Dict[str, Any]
    _std_ratio_map: Dict[str, float]
    def __init__(
        self,
        proportion: Optional[str] = None,
        need_adjust: str = "fill",
        fill_color: Any = (255, 255, 255, 0),
        **kwargs: Any,
    ) -> None: ...
    @staticmethod
    def _parse_ratio(ratio_str: str) -> Tuple[int, int]: ...
    def _get_closest_standard_ratio(self, width: int, height: int) -> str: ...
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: bool = False, expand_percent: float = 10.0
    ) -> Union[bytes, Tuple[bytes, Optional[str]]]: ...
