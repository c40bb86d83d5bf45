"""Image ratio normalisation: ImageTool in fill and resize modes"""

import io
import pathlib

from PIL import Image, ImageDraw

from valdrix.canvora import ImageTool


def sample_photo() -> bytes:
    """A 640×360 (16:9) JPEG with a frame and a diagonal, so the padding and stretching are easy to see."""
    img = Image.linear_gradient("L").resize((640, 360)).convert("RGB")
    draw = ImageDraw.Draw(img)
    draw.rectangle((0, 0, 639, 359), outline=(220, 40, 40), width=6)
    draw.line((0, 0, 639, 359), fill=(40, 90, 220), width=6)
    draw.ellipse((270, 130, 370, 230), fill=(250, 200, 40))
    out = io.BytesIO()
    img.save(out, format="JPEG", quality=90)
    return out.getvalue()


def size_of(data: bytes) -> str:
    with Image.open(io.BytesIO(data)) as img:
        return f"{img.width}×{img.height} {img.format} {img.mode}"


def main(out_dir: pathlib.Path) -> None:
    folder = out_dir / "canvora"
    folder.mkdir(parents=True, exist_ok=True)
    source = sample_photo()
    (folder / "source.jpg").write_bytes(source)
    print(f"source: {size_of(source)}, {len(source)} bytes")

    tool = ImageTool()
    print("closest standard ratio of 640×360:", tool._get_closest_standard_ratio(640, 360))
    print("closest standard ratio of 1125×1000 (a tie with 5:4):", tool._get_closest_standard_ratio(1125, 1000))

    runs = [
        ("fill_transparent.png", ImageTool(), 10.0),
        ("fill_grey.png", ImageTool("16:9", "fill", (90, 90, 90, 255)), 10.0),
        ("resize.png", ImageTool(need_adjust="resize"), 10.0),
        ("fill_minus10.png", ImageTool(), -10.0),
    ]
    for name, runner, percent in runs:
        data, ratio = runner.adjust_size(source, return_origin_ratio=True, expand_percent=percent)
        (folder / name).write_bytes(data)
        print(f"{runner.need_adjust:<6} {percent:+5.0f}%, proportion {runner.proportion!s:<4}: "
              f"{size_of(data)}, closest ratio {ratio} -> {folder / name}")

    untouched, requested = ImageTool("3:4").adjust_size(source, return_origin_ratio=True)
    print(f"requested 3:4 on a 16:9 image: input returned unchanged ({untouched is source}), paired with {requested!r}")
    print(f"outputs are in {folder}")
