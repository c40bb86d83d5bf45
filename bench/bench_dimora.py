"""valdrix.dimora against the same size calculator written in plain Python."""

from _harness import compare_twins, raising, twins
from valdrix.dimora import GPTImageSizeCalculator


RATIOS = ["1:1", "16:9", "9:16", "4:3", "3:4", "2:3", "7:10", "21:9", "3:1"]
TIERS = ["1k", "2k", "4k"]
# Many distinct inputs, so that no row rests on one input the processor has
# learned.
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
    pair = twins("dimora")
    ours = GPTImageSizeCalculator
    for ratio, tier in DISTINCT:
        assert ours.calc_size(ratio, tier) == pair.plain.GPTImageSizeCalculator.calc_size(ratio, tier)
        if pair.cython is not None:
            assert ours.calc_size(ratio, tier) == pair.cython.GPTImageSizeCalculator.calc_size(ratio, tier)

    def row(name, make_call, number):
        return compare_twins(name, make_call, ours, pair, lambda module: module.GPTImageSizeCalculator, number=number)

    rows = [
        row("calc_size, 9 ratios x 3 tiers", every_size, 300),
        row(f"calc_size, {len(DISTINCT)} distinct inputs", distinct_sizes, 10),
        row("calc_size() (1 pass)", lambda G: lambda: G.calc_size(), 10000),
        row("calc_size 4:3 4k (pixel fix)", lambda G: lambda: G.calc_size("4:3", "4k"), 10000),
        row("calc_size 3:1 1k (floor fix)", lambda G: lambda: G.calc_size("3:1", "1k"), 10000),
        row("calc_size('31:10'), raises ValueError", lambda G: raising(lambda: G.calc_size("31:10")), 10000),
        row("round_to_multiple(1254.5)", lambda G: lambda: G.round_to_multiple(1254.5), 20000),
        row("round_to_multiple(25, 10)", lambda G: lambda: G.round_to_multiple(25, 10), 20000),
        row("floor_to_multiple(47.5)", lambda G: lambda: G.floor_to_multiple(47.5), 20000),
        row("is_valid_image_size(3840, 2160)", lambda G: lambda: G.is_valid_image_size(3840, 2160), 20000),
        row("is_valid_image_size(1000, 1000)", lambda G: lambda: G.is_valid_image_size(1000, 1000), 20000),
    ]
    return "valdrix.dimora.GPTImageSizeCalculator", rows
