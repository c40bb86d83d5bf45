"""libFuzzer (atheris) over ImageTool.adjust_size with untrusted image bytes and random settings.

The harness itself (input layout, checks, seeds) is tests/fuzzing/adjust_size.py.
"""

import _driver
from fuzzing import adjust_size

if __name__ == "__main__":
    _driver.main(adjust_size, "adjust_size")
