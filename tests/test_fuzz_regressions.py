"""Replays fuzzing inputs through the fuzz harnesses (tests/fuzzing), against the
installed package: each harness's seed corpus, damaged copies of every seed image
through every image entry point and setting, and the inputs that once broke
a harness. A harness raises ContractBroken when a call lets out an
undocumented exception type or differs from the plain-Python algorithm.
"""

import importlib
import io
import os
import pathlib
import struct
import sys

import pytest
from PIL import Image

from fuzzing import common
from package_modules import public_modules, short_name

TESTS_DIR = pathlib.Path(__file__).resolve().parent
HARNESSES = {
    name: importlib.import_module(f"fuzzing.{name}")
    for name in ("adjust_size", "ratio_analyzer", "image_resize", "ratio_strings", "prompt_ban")
}


@pytest.fixture(autouse=True)
def fuzzing_limits():
    with common.fuzzing_limits():
        yield


def replay(name, data):
    HARNESSES[name].test_one_input(data)


def seed_cases():
    for name, harness in HARNESSES.items():
        for index, data in enumerate(harness.seeds()):
            yield pytest.param(name, data, id=f"{name}-{index}")


@pytest.mark.parametrize(("name", "data"), list(seed_cases()))
def test_seed_corpus(name, data):
    replay(name, data)


# --- damaged images of every format through every image entry point ----------

SEED_IMAGES = common.seed_images()


def damaged_cases():
    for index, image in enumerate(SEED_IMAGES):
        for kind, variant in zip(("half", "short-tail", "header-only", "flipped"), common.damaged(image)):
            yield pytest.param(variant, id=f"{index}-{kind}")
    yield pytest.param(b"", id="empty")
    yield pytest.param(b"\x89PNG\r\n\x1a\n", id="png-signature-only")
    yield pytest.param(b"GIF89a" + b"\xff" * 7, id="gif-huge-screen")


def adjust_headers():
    """proportion, mode, colour and percent choices of the adjust_size harness."""
    percents = [struct.pack("<h", value) for value in (1000, -1000, 0, -10000, 32767)]
    for proportion in (0, 3, 6):  # None, "3:4 ", "1:1"
        for mode in range(len(HARNESSES["adjust_size"].MODES)):
            for colour in (0, 3, 8):  # default, "red", "no-such-colour"
                for flags, percent in ((1, percents[0]), (0, percents[1]), (2, b"\0\0"), (3 | 4, b"\0\0")):
                    yield bytes([proportion, mode, colour, flags]) + percent
    for colour in range(len(HARNESSES["adjust_size"].FILL_COLOURS)):
        yield bytes([0, 0, colour, 0]) + percents[3]
    # Settings reassigned on the instance: odd proportion and mode objects,
    # and whole-number percentages passed as int.
    for index in range(5):
        yield bytes([index, index, 0, 0x40 | 0x80 | 0x20]) + percents[0]


ADJUST_HEADERS = list(adjust_headers())


@pytest.mark.parametrize("image", list(damaged_cases()))
def test_damaged_images_through_adjust_size(image):
    for header in ADJUST_HEADERS:
        replay("adjust_size", header + image)


@pytest.mark.parametrize("image", list(damaged_cases()))
def test_damaged_images_through_ratio_analyzer(image):
    for bound in (0, 10, -1, 16):
        for method in (0, 1, 2, 3):
            replay("ratio_analyzer", bytes([(bound * 3) & 0xFF, method]) + image)


@pytest.mark.parametrize("image", [pytest.param(image, id=str(index)) for index, image in enumerate(SEED_IMAGES)])
def test_seed_images_through_image_resize(image):
    harness = HARNESSES["image_resize"]
    for width, height in ((8, 8), (1, 30), (0, 5), (-3, 4), (600, 2)):
        for colour in range(len(harness.COLOURS)):
            for mode in range(len(harness.MODES)):
                header = struct.pack("<hh", width + 8, height + 8) + bytes([colour, mode * 2 + (width & 1)])
                replay("image_resize", header + image)


def test_image_over_the_pixel_cap_is_refused_by_every_entry_point():
    out = io.BytesIO()
    Image.new("RGB", (common.PIXEL_LIMIT, 3)).save(out, format="PNG")
    big = out.getvalue()
    replay("adjust_size", bytes([0, 0, 0, 0, 0, 0]) + big)
    replay("ratio_analyzer", bytes([30, 1]) + big)
    with pytest.raises(Image.DecompressionBombError):
        HARNESSES["adjust_size"].ImageTool().adjust_size(big)


# --- inputs that once broke a harness -----------------------------------------

# A little-endian TIFF whose StripOffsets tag is of type DOUBLE: Pillow opens
# it, and its loader then fails with TypeError (seek to a float).
TIFF_FLOAT_STRIP_OFFSET = bytes.fromhex(
    "49492a00080000000b0000010400010000000300000001010400010000000200000002010300040000009200000003010300010000"
    "000100000006010300010000000200000011010c00010000009a000000150103000100000004000000120104000100000002000000"
    "1701040001000000180000001c0103000100000001000000520103000100000002000066747970000800080008000800250000ff4a"
    "0000ff003600ff253501ff4a35025a")
# A PNG whose IDAT chunk is followed by a chunk of 34 bytes that ends early:
# Pillow's loader raises SyntaxError ("broken PNG file").
PNG_BROKEN_CHUNK = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000006000000041000000000d8ffcddc0000002649444154789c35010000000000000000"
    "0208060000009d74661a0000002249444154789c6360606088526560f8efc5000049")

REGRESSIONS = [
    # A ratio text with one part: the module's own unpacking message
    # ("need more than 1 value to unpack"), not the interpreter's 3.12 text.
    ("ratio_strings", b"\n16"),
    ("adjust_size", bytes.fromhex("0001020018fc") + TIFF_FLOAT_STRIP_OFFSET),
    ("adjust_size", bytes.fromhex("850001010000") + PNG_BROKEN_CHUNK),
    ("ratio_analyzer", bytes([30, 1]) + TIFF_FLOAT_STRIP_OFFSET),
]


@pytest.mark.parametrize(("name", "data"), [pytest.param(*case, id=f"{case[0]}-{i}") for i, case in
                                            enumerate(REGRESSIONS)])
def test_once_failing_inputs(name, data):
    replay(name, data)


@pytest.mark.parametrize(("image", "error", "text"), [
    (TIFF_FLOAT_STRIP_OFFSET, TypeError, "cannot be interpreted as an integer"),
    (PNG_BROKEN_CHUNK, SyntaxError, "broken PNG file"),
])
def test_pillow_load_errors_pass_through_adjust_size_unchanged(image, error, text):
    from valdrix.canvora import ImageTool

    with pytest.raises(error, match=text):
        Image.open(io.BytesIO(image)).convert("RGBA")
    for mode in ("fill", "resize"):
        with pytest.raises(error, match=text):
            ImageTool(None, mode).adjust_size(image)
        # Decoding comes before the gate: a mismatching ratio does not help.
        with pytest.raises(error, match=text):
            ImageTool("21:9", mode).adjust_size(image)


def test_harness_flags_an_undocumented_exception():
    with pytest.raises(common.ContractBroken, match="undocumented KeyError"):
        common.compare(("raised", KeyError("x")), ("raised", KeyError("x")), (ValueError,), "call")
    with pytest.raises(common.ContractBroken, match="results differ"):
        common.compare(("ok", b"a"), ("ok", b"b"), (ValueError,), "call")


# --- the mutation harness's own plumbing -------------------------------------------

MUTATION_SELF_CHECK = r"""
import json, sys
import fuzzing.mutation as harness
programs = {
    "ok": ["repr(F['resize.image_resize'])", "F['resize.image_resize']()", "x = 1 / 0"],
    "SIGSEGV": ["import os, signal", "os.kill(os.getpid(), signal.SIGSEGV)"],
    "sanitizer": ["import os", "os.write(2, b'==1==ERROR: AddressSanitizer: heap-use-after-free')"],
    "hang-free": ["getattr(I['halvane.ComfyUIManager'], 'run_reboot_and_wait')()"],
}
outcomes = {name: harness.run_program(actions) for name, actions in programs.items()}
report = {name: [outcome.kind, outcome.index] for name, outcome in outcomes.items()}
catalogue = harness.Catalogue(harness.discover_instance_attrs())
report["modules"] = sorted({key.split(".")[0] for key in catalogue.functions} | set(catalogue.globals))
report["classes"] = sorted(catalogue.classes)
print(json.dumps(report))
"""


def test_mutation_harness_tells_crashes_from_exceptions():
    """Runs the mutation harness's own machinery (fork, progress, verdict) in a separate interpreter."""
    import json
    import subprocess

    done = subprocess.run([sys.executable, "-c", MUTATION_SELF_CHECK], cwd=TESTS_DIR, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    report = json.loads(done.stdout.strip().splitlines()[-1])
    assert report["ok"] == ["ok", 2]
    # Under AddressSanitizer a deliberate segfault is the sanitizer's report.
    crash = "sanitizer" if os.environ.get("VALDRIX_SANITIZED") else "SIGSEGV"
    assert report["SIGSEGV"] == [crash, 1]
    assert report["sanitizer"] == ["sanitizer", 1]
    assert report["hang-free"] == ["ok", 0]
    assert report["modules"] == sorted(map(short_name, public_modules()))
    assert len(report["classes"]) == 8
