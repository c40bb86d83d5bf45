"""libFuzzer (atheris) over ImageRatioAnalyzer with untrusted image bytes and random bounds.

The harness itself (input layout, checks, seeds) is tests/fuzzing/ratio_analyzer.py.
"""

import _driver
from fuzzing import ratio_analyzer

if __name__ == "__main__":
    _driver.main(ratio_analyzer, "ratio_analyzer")
