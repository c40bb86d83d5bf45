"""Canvas fit: scaling images uniformly into fixed-size canvases (valdrix.resize)

Draws a sample picture, fits it into a square, a wide and a tall canvas with
different background colours, and writes the results as PNG files.
"""

import pathlib

from PIL import Image, ImageChops, ImageDraw

from valdrix.resize import image_resize


def sample_picture(size=(960, 540)) -> Image.Image:
    """A wide picture with a gradient sky, a sun and a transparent corner."""
    width, height = size
    sky = Image.linear_gradient("L").resize(size).point(lambda v: 255 - v // 2)
    picture = Image.merge("RGBA", (sky.point(lambda v: v // 3), sky.point(lambda v: v // 2), sky,
                                   Image.new("L", size, 255)))
    draw = ImageDraw.Draw(picture)
    draw.ellipse((width * 0.65, height * 0.15, width * 0.85, height * 0.5), fill=(255, 200, 40, 255))
    draw.rectangle((0, height * 0.75, width, height), fill=(40, 120, 60, 255))
    draw.rectangle((0, 0, width // 6, height // 6), fill=(0, 0, 0, 0))
    return picture


def main(out_dir: pathlib.Path) -> None:
    picture = sample_picture()
    print(f"sample picture: {picture.size[0]}x{picture.size[1]}, mode {picture.mode}")
    for name, target, colour in [("square", (512, 512), (0, 0, 0)),
                                 ("wide", (1280, 400), (255, 255, 255)),
                                 ("tall", (300, 900), "steelblue"),
                                 ("enlarged", (1920, 1080), (30, 30, 30))]:
        canvas = image_resize(picture, *target, bg_color=colour)
        path = out_dir / f"resize_{name}.png"
        canvas.save(path)
        box = ImageChops.difference(canvas, Image.new("RGB", target, colour)).getbbox()
        print(f"  {name:8} {target[0]:>4}x{target[1]:<4} on {colour!s:15} -> picture at {box}  [{path.name}]")
    print(f"  written to {out_dir}")
    print("  paste uses no mask, so the transparent corner does not show the background colour")


if __name__ == "__main__":
    out = pathlib.Path("demo-output")
    out.mkdir(exist_ok=True)
    main(out)
