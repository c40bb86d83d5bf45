"""valdrix.canvora in plain Python: ImageTool's ratio matching and size adjustment."""

import math
import re
from io import BytesIO
from typing import Optional, Tuple

from PIL import Image


class ImageTool:
    STANDARD_RATIO_LIST = ["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]

    def __init__(self, proportion: Optional[str] = None, need_adjust: str = "fill",
                 fill_color=(255, 255, 255, 0), **kwargs):
        if isinstance(proportion, str) and proportion.strip() == "":
            proportion = None
        self.proportion = proportion
        self.need_adjust = need_adjust
        self.fill_color = fill_color
        self.kwargs = kwargs
        self._std_ratio_map = {}
        for r in self.STANDARD_RATIO_LIST:
            w, h = self._parse_ratio(r)
            self._std_ratio_map[r] = w / h

    @staticmethod
    def _parse_ratio(ratio_str: str) -> Tuple[int, int]:
        match = re.match(r"(\d+):(\d+)", ratio_str.strip())
        if not match:
            raise ValueError(f"比例格式错误 {ratio_str}，示例：3:4")
        return int(match.group(1)), int(match.group(2))

    def _get_closest_standard_ratio(self, width: int, height: int) -> str:
        img_ratio = width / height
        min_diff = math.inf
        best_ratio = self.STANDARD_RATIO_LIST[0]
        for ratio_str, std_val in self._std_ratio_map.items():
            diff = abs(img_ratio - std_val)
            if diff < min_diff:
                min_diff = diff
                best_ratio = ratio_str
        return best_ratio

    def adjust_size(self, image_bytes: bytes, return_origin_ratio: bool = False, expand_percent: float = 10.0):
        img_io = BytesIO(image_bytes)
        img = Image.open(img_io).convert("RGBA")
        ori_w, ori_h = img.size
        ori_closest_ratio = self._get_closest_standard_ratio(ori_w, ori_h)
        if self.proportion is not None and self.proportion != ori_closest_ratio:
            img_io.seek(0)
            origin_bytes = img_io.getvalue()
            return (origin_bytes, self.proportion) if return_origin_ratio else origin_bytes
        expand_scale = 1.0 + expand_percent / 100.0
        if self.need_adjust == "resize":
            if ori_h > ori_w:
                expand_w, expand_h = int(ori_w * expand_scale), ori_h
            elif ori_w > ori_h:
                expand_w, expand_h = ori_w, int(ori_h * expand_scale)
            else:
                expand_w, expand_h = int(ori_w * expand_scale), int(ori_h * expand_scale)
            to_encode = img.resize((expand_w, expand_h), Image.Resampling.LANCZOS)
        elif self.need_adjust == "fill":
            if ori_w < ori_h:
                new_w, new_h = int(ori_w * expand_scale), ori_h
            elif ori_h < ori_w:
                new_w, new_h = ori_w, int(ori_h * expand_scale)
            else:
                new_w, new_h = int(ori_w * expand_scale), int(ori_h * expand_scale)
            scaled_img = img
            img_w, img_h = scaled_img.width, scaled_img.height
            canvas = Image.new("RGBA", (new_w, new_h), self.fill_color)
            paste_x = (new_w - img_w) // 2
            paste_y = (new_h - img_h) // 2
            canvas.paste(scaled_img, (paste_x, paste_y), mask=scaled_img if scaled_img.mode == "RGBA" else None)
            to_encode = canvas
        else:
            raise ValueError("need_adjust 仅支持 resize / fill")
        out_io = BytesIO()
        img_format = img.format if img.format else "PNG"
        to_encode.save(out_io, format=img_format, quality=95)
        out_io.seek(0)
        result_bytes = out_io.getvalue()
        return (result_bytes, ori_closest_ratio) if return_origin_ratio else result_bytes
