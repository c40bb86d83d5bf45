from typing import Tuple, TypeAlias, Union

from PIL import Image as Image
from PIL.Image import Resampling as Resampling

# Whatever Pillow's Image.new accepts as a colour of an RGB image.
_Color: TypeAlias = Union[float, Tuple[float, ...], str, None]

def image_resize(image: Image.Image, target_w: int, target_h: int, bg_color: _Color = (0, 0, 0)) -> Image.Image: ...
