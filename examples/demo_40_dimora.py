"""Model sizes: legal gpt-image-2 sizes from an aspect ratio and a resolution tier

Prints the size that GPTImageSizeCalculator.calc_size picks for a few ratios at
each tier, what happens at the limits, and how a subclass changes the rules.
"""

import pathlib

from valdrix.dimora import GPTImageSizeCalculator


def show_table() -> None:
    tiers = ("1k", "2k", "4k")
    print(f"  {'ratio':>6}" + "".join(f"{tier:>13}" for tier in tiers))
    for ratio in ("1:1", "16:9", "9:16", "4:3", "2:3", "21:9", "3:1"):
        sizes = [GPTImageSizeCalculator.calc_size(ratio, tier)["size"] for tier in tiers]
        print(f"  {ratio:>6}" + "".join(f"{size:>13}" for size in sizes))


def show_limits() -> None:
    result = GPTImageSizeCalculator.calc_size("16:9", "8K")
    print(f"  unknown tier 8K -> reported as {result['resolution']!r}, sized like 2k: {result['size']}")
    print(f"  4:3 at 2k: {GPTImageSizeCalculator.calc_size('4:3', '2k')['pixels']} pixels (the tier is a target)")
    try:
        GPTImageSizeCalculator.calc_size("31:10")
    except ValueError as error:
        print(f"  31:10 -> ValueError: {error}")
    odd = GPTImageSizeCalculator.calc_size("-100:-1", "2k")
    print(f"  -100:-1 -> {odd['size']} after 20 passes, valid={odd['valid']}")
    print("  round_to_multiple(40) =", GPTImageSizeCalculator.round_to_multiple(40), "(2.5 rounds to even)")
    print("  is_valid_image_size(3840, 1280) =", GPTImageSizeCalculator.is_valid_image_size(3840, 1280))


class CoarseCalculator(GPTImageSizeCalculator):
    """Edges in steps of 64 and at most 2048 long."""

    MULTIPLE = 64
    MAX_EDGE = 2048


def show_subclass() -> None:
    for ratio in ("1:1", "16:9"):
        result = CoarseCalculator.calc_size(ratio, "4k")
        print(f"  CoarseCalculator {ratio} 4k -> {result['size']} (valid={result['valid']})")


def main(out_dir: pathlib.Path) -> None:
    print("Sizes per tier (width x height, multiples of 16, at most 3840 long, 655360..8294400 pixels):")
    show_table()
    print("At the limits:")
    show_limits()
    print("A subclass with its own constants:")
    show_subclass()


if __name__ == "__main__":
    main(pathlib.Path("demo-output"))
