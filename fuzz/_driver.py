"""What the scripts in this folder share: where the harnesses live, and
libFuzzer's entry point.

The harnesses' checking logic is the package `fuzzing` in tests/, where the
test suite replays inputs through it; the plain-Python algorithms they compare
against are in reference/ at the root. Importing this module makes both
importable.
"""

from __future__ import annotations

import pathlib
import sys

FUZZ_DIR = pathlib.Path(__file__).resolve().parent
ROOT = FUZZ_DIR.parent
# Neither folder holds a valdrix package, so the installed one stays the one imported.
for folder in (ROOT / "tests", ROOT):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

from fuzzing.common import fuzzing_limits  # noqa: E402 - found through the path set above


def write_corpus(name: str, entries: list[bytes]) -> pathlib.Path:
    """fuzz/corpus/<name>, seeded with `entries` when it is empty."""
    corpus = FUZZ_DIR / "corpus" / name
    corpus.mkdir(parents=True, exist_ok=True)
    if not any(corpus.iterdir()):
        for index, data in enumerate(entries):
            (corpus / f"seed-{index:04d}").write_bytes(data)
    return corpus


def main(harness, corpus_name: str) -> None:
    """Runs libFuzzer over `harness.test_one_input`, seeding its corpus folder
    with `harness.seeds()`.

    Plain arguments are libFuzzer's (-max_total_time=N, -runs=N, files to
    replay); the corpus folder is added unless input files are given.
    """
    argv = list(sys.argv)
    import atheris

    replay = [arg for arg in argv[1:] if not arg.startswith("-")]
    if not replay:
        argv.append(str(write_corpus(corpus_name, harness.seeds())))
    # Pillow's plugins and the plain-Python references are instrumented too:
    # their branches follow the modules' own, so their coverage guides the
    # search through the native code's paths.
    atheris.instrument_all()
    atheris.Setup(argv, harness.test_one_input)
    with fuzzing_limits():
        atheris.Fuzz()
