"""valdrix.dimora against the same size calculator written in plain Python."""

from _harness import compare
from reference.dimora import GPTImageSizeCalculator as PlainSizeCalculator
from valdrix.dimora import GPTImageSizeCalculator


RATIOS = ["1:1", "16:9", "9:16", "4:3", "3:4", "2:3", "7:10", "21:9", "3:1"]
TIERS = ["1k", "2k", "4k"]
# More distinct inputs than calc_size keeps results for, so that every call
# computes and builds its result afresh.
DISTINCT = [(f"{w}:{h}", tier) for w in range(1, 31) for h in range(1, 31) if max(w, h) <= 3 * min(w, h)
            for tier in TIERS]


def every_size(calculator):
    def run_all():
        for ratio in RATIOS:
            for tier in TIERS:
                calculator.calc_size(ratio, tier)

    return run_all


def distinct_sizes(calculator):
    def run_all():
        for ratio, tier in DISTINCT:
            calculator.calc_size(ratio, tier)

    return run_all


def run():
    ours, plain = GPTImageSizeCalculator, PlainSizeCalculator
    for ratio, tier in DISTINCT:
        assert ours.calc_size(ratio, tier) == plain.calc_size(ratio, tier)
    rows = [
        compare("calc_size, 9 ratios x 3 tiers", every_size(ours), every_size(plain), number=300),
        compare(f"calc_size, {len(DISTINCT)} distinct inputs", distinct_sizes(ours), distinct_sizes(plain),
                number=10),
        compare("calc_size() (1 pass)", lambda: ours.calc_size(), lambda: plain.calc_size(), number=10000),
        compare("calc_size 4:3 4k (pixel fix)", lambda: ours.calc_size("4:3", "4k"),
                lambda: plain.calc_size("4:3", "4k"), number=10000),
        compare("calc_size 3:1 1k (floor fix)", lambda: ours.calc_size("3:1", "1k"),
                lambda: plain.calc_size("3:1", "1k"), number=10000),
        compare("round_to_multiple(1254.5)", lambda: ours.round_to_multiple(1254.5),
                lambda: plain.round_to_multiple(1254.5), number=20000),
        compare("round_to_multiple(25, 10)", lambda: ours.round_to_multiple(25, 10),
                lambda: plain.round_to_multiple(25, 10), number=20000),
        compare("floor_to_multiple(47.5)", lambda: ours.floor_to_multiple(47.5),
                lambda: plain.floor_to_multiple(47.5), number=20000),
        compare("is_valid_image_size(3840, 2160)", lambda: ours.is_valid_image_size(3840, 2160),
                lambda: plain.is_valid_image_size(3840, 2160), number=20000),
        compare("is_valid_image_size(1000, 1000)", lambda: ours.is_valid_image_size(1000, 1000),
                lambda: plain.is_valid_image_size(1000, 1000), number=20000),
    ]
    return "valdrix.dimora.GPTImageSizeCalculator vs plain Python", rows
