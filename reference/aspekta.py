"""valdrix.aspekta in plain Python: exact and nearest small-integer ratios of an image."""

from io import BytesIO

from PIL import Image


def gcd(a, b):
    while b:
        a, b = b, a % b
    return a


def closest(target, min_error, best_w, best_h, limit):
    for i in range(1, limit + 1):
        for j in range(1, limit + 1):
            current = i / j
            error = abs(current - target)
            if error < min_error:
                min_error = error
                best_w, best_h = i, j
    return f"{best_w}:{best_h}"


def approx_ratio(width, height, limit):
    """The ratio i:j (1 <= i, j <= limit) closest to width / height; the first one on ties."""
    return closest(width / height, float("inf"), width, height, limit)


class ImageRatioAnalyzer:
    def __init__(self, approx_search_range: int = 10):
        self.approx_search_range = approx_search_range

    _gcd = staticmethod(gcd)

    def get_raw_simple_ratio(self, image_bytes: bytes) -> str:
        with BytesIO(image_bytes) as buf:
            with Image.open(buf) as img:
                width, height = img.size
        div = self._gcd(width, height)
        w = width // div
        h = height // div
        return f"{w}:{h}"

    def get_approx_simple_ratio(self, image_bytes: bytes) -> str:
        with BytesIO(image_bytes) as buf:
            with Image.open(buf) as img:
                width, height = img.size
        target = width / height
        min_error = float("inf")
        return closest(target, min_error, width, height, self.approx_search_range)
