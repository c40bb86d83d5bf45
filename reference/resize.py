"""valdrix.resize in plain Python: an image scaled to fit a canvas and centred on it."""

from PIL import Image
from PIL.Image import Resampling


def image_resize(image, target_w, target_h, bg_color=(0, 0, 0)):
    canvas = Image.new("RGB", (target_w, target_h), bg_color)
    s_w, s_h = image.size
    ratio = min(target_w / s_w, target_h / s_h)
    new_w = int(s_w * ratio)
    new_h = int(s_h * ratio)
    resized_img = image.resize((new_w, new_h), Resampling.LANCZOS)
    paste_x = (target_w - new_w) // 2
    paste_y = (target_h - new_h) // 2
    canvas.paste(resized_img, (paste_x, paste_y))
    return canvas
