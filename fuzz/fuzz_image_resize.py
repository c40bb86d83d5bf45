"""libFuzzer (atheris) over image_resize on images decoded from untrusted bytes.

The harness itself (input layout, checks, seeds) is tests/fuzzing/image_resize.py.
"""

import _driver
from fuzzing import image_resize

if __name__ == "__main__":
    _driver.main(image_resize, "image_resize")
