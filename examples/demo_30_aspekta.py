"""Ratio analysis: exact and approximate aspect ratios of encoded images (valdrix.aspekta)

Encodes pictures of common sizes in several formats and reports their exact
reduced ratio and their nearest ratio of two small integers, for two search
bounds.
"""

import io
import pathlib

from PIL import Image

from valdrix.aspekta import ImageRatioAnalyzer


def encode(size, fmt) -> bytes:
    data = io.BytesIO()
    Image.new("RGB", size, (90, 140, 200)).save(data, fmt)
    return data.getvalue()


def main(out_dir: pathlib.Path) -> None:
    default, wide_search = ImageRatioAnalyzer(), ImageRatioAnalyzer(approx_search_range=16)
    print(f"  {'size':>11}  {'format':6}  {'exact':>8}  {'approx (1..10)':>14}  {'approx (1..16)':>14}")
    for size, fmt in [((1920, 1080), "PNG"), ((1080, 1920), "JPEG"), ((1366, 768), "WEBP"),
                      ((2560, 1080), "PNG"), ((3000, 2000), "JPEG"), ((5000, 100), "GIF"), ((997, 991), "BMP")]:
        data = encode(size, fmt)
        print(f"  {size[0]:>5}x{size[1]:<5}  {fmt:6}  {default.get_raw_simple_ratio(data):>8}  "
              f"{default.get_approx_simple_ratio(data):>14}  {wide_search.get_approx_simple_ratio(data):>14}")
    sample = out_dir / "resize_wide.png"
    if sample.exists():
        data = sample.read_bytes()
        print(f"  canvas written by the previous section ({sample.name}): exact "
              f"{default.get_raw_simple_ratio(data)}, approx {default.get_approx_simple_ratio(data)}")
    unreduced = ImageRatioAnalyzer(0).get_approx_simple_ratio(encode((1920, 1080), "PNG"))
    print(f"  _gcd(1920, 1080) = {ImageRatioAnalyzer._gcd(1920, 1080)}; a bound of 0 returns the size unreduced: {unreduced}")


if __name__ == "__main__":
    out = pathlib.Path("demo-output")
    out.mkdir(exist_ok=True)
    main(out)
