"""Entry point of the mutation harness: hostile Python-level actions on every
object of the package, drawn and shrunk by hypothesis. The harness and its
options are described in tests/fuzzing/mutation.py.

    fuzz/fuzz_mutation.py [-max_total_time=N] [-artifact_prefix=P] [-seed=N]
"""

import sys

import _driver
from fuzzing import mutation

if __name__ == "__main__":
    sys.exit(mutation.main(sys.argv[1:], str(_driver.FUZZ_DIR / "crashes" / "mutation-")))
