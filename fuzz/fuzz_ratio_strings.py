"""libFuzzer (atheris) over ratio strings and tiers through calc_size and _parse_ratio.

The harness itself (input layout, checks, seeds) is tests/fuzzing/ratio_strings.py.
"""

import _driver
from fuzzing import ratio_strings

if __name__ == "__main__":
    _driver.main(ratio_strings, "ratio_strings")
