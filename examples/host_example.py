"""A host program that uses every valdrix module, written to pass ``mypy --strict``.

It handles one made-up generation request from start to finish: screen the
prompt, pick a model size for the requested ratio and tier, analyse and
normalise the uploaded image, fit it to a preview canvas, answer with an
error code (fixed or custom) and set up the engine manager. No request is
sent to the engine, so it runs anywhere:

    python examples/host_example.py
"""

from __future__ import annotations

import io
import logging
import pathlib
import tempfile
from dataclasses import dataclass
from typing import Protocol

from PIL import Image

from valdrix.aspekta import ImageRatioAnalyzer
from valdrix.canvora import ImageTool
from valdrix.comfyui.halvane import ComfyUIManager
from valdrix.dimora import GPTImageSizeCalculator
from valdrix.exceptions import PromptBanError
from valdrix.lexgard import PromptBanChecker
from valdrix.resize import image_resize
from valdrix.response.faultrol import CustomErrorCode, ErrorCodeRegistry
from valdrix.response.faultum import ErrorCode

BANNED_WORDS = ["nsfw", "gore", "deep fake"]
PREVIEW_SIZE = (320, 320)


class ErrorCodeLike(Protocol):
    """What the host needs of an error code: fixed members and custom codes alike."""

    @property
    def code(self) -> str: ...

    @property
    def msg(self) -> str: ...


@dataclass
class Outcome:
    error: ErrorCodeLike
    detail: str = ""

    def line(self) -> str:
        suffix = f" ({self.detail})" if self.detail else ""
        return f"{self.error.code}: {self.error.msg}{suffix}"


@dataclass
class Request:
    prompt: str
    aspect_ratio: str
    tier: str
    upload: bytes


def make_upload(width: int, height: int) -> bytes:
    """A JPEG such as a user would upload: a gradient, so the resampling has something to do."""
    pixels = bytes(value for y in range(height) for x in range(width)
                   for value in (x * 255 // width, y * 255 // height, 128))
    image = Image.frombytes("RGB", (width, height), pixels)
    buffer = io.BytesIO()
    image.save(buffer, format="JPEG", quality=90)
    return buffer.getvalue()


def screen_prompt(checker: PromptBanChecker, prompt: str) -> Outcome | None:
    try:
        checker.check(prompt)
    except PromptBanError as error:
        return Outcome(ErrorCode.PROMPT_BANNED, str(error))
    return None


def handle(request: Request, checker: PromptBanChecker, too_small: CustomErrorCode) -> tuple[Outcome, list[str]]:
    notes: list[str] = []
    if not request.prompt.strip():
        return Outcome(ErrorCode.PROMPT_EMPTY), notes
    blocked = screen_prompt(checker, request.prompt)
    if blocked is not None:
        return blocked, notes

    try:
        size = GPTImageSizeCalculator.calc_size(request.aspect_ratio, request.tier)
    except ValueError as error:
        return Outcome(ErrorCode.INVALID_PARAMS, str(error)), notes
    notes.append(f"model size {size['size']} ({size['pixels']} px, valid={size['valid']})")

    analyser = ImageRatioAnalyzer(approx_search_range=16)
    exact = analyser.get_raw_simple_ratio(request.upload)
    approx = analyser.get_approx_simple_ratio(request.upload)
    notes.append(f"upload ratio {exact} exactly, about {approx}")

    with Image.open(io.BytesIO(request.upload)) as upload:
        width, height = upload.size
    if min(width, height) < 64:
        return Outcome(too_small, f"{width}x{height}"), notes

    # Uploads whose shape does not match the requested ratio are kept as they are.
    tool = ImageTool(proportion=request.aspect_ratio, need_adjust="fill")
    normalised, ratio = tool.adjust_size(request.upload, return_origin_ratio=True)
    if normalised == request.upload:
        notes.append(f"upload kept as it is: its shape is not {ratio}")
    else:
        notes.append(f"upload matches {ratio}: padded on its shorter side")
    stretched = ImageTool(need_adjust="resize").adjust_size(request.upload, expand_percent=5)
    with Image.open(io.BytesIO(normalised)) as kept_or_filled, Image.open(io.BytesIO(stretched)) as resized:
        notes.append(f"normalised {kept_or_filled.size} {kept_or_filled.mode}; stretched by 5 %: {resized.size}")
        preview = image_resize(kept_or_filled, *PREVIEW_SIZE, bg_color=(32, 32, 32))
    notes.append(f"preview {preview.size} {preview.mode}")
    return Outcome(ErrorCode.SUCCESS), notes


def main() -> None:
    too_small = ErrorCodeRegistry.register("HOST_IMAGE_TOO_SMALL", "图片过小，请上传更大的图片")
    assert ErrorCodeRegistry.get(too_small.code) is too_small

    # Any logger with debug and error will do; this one adds the engine's name to each record.
    engine_logger = logging.LoggerAdapter(logging.getLogger("host.engine"), {"engine": "main"})
    manager = ComfyUIManager("http://127.0.0.1:8188/", timeout=3, logger=engine_logger)
    print(f"engine restarts go to {manager.reboot_api} (not called here)")

    pending = [
        Request("a lighthouse at dusk, oil painting", "16:9", "2k", make_upload(640, 360)),
        Request("a lighthouse at dusk, oil painting", "3:4", "1K", make_upload(300, 400)),
        Request("a lighthouse at dusk, oil painting", "16:9", "4k", make_upload(300, 400)),
        Request("GORE poster, NSFW", "1:1", "2k", make_upload(256, 256)),
        Request("a lighthouse at dusk", "5:1", "4k", make_upload(256, 256)),
        Request("an icon", "1:1", "1k", make_upload(48, 48)),
        Request("   ", "1:1", "2k", make_upload(256, 256)),
    ]
    with tempfile.TemporaryDirectory() as folder:
        word_file = pathlib.Path(folder) / "banned_words.txt"
        word_file.write_text("\n".join(BANNED_WORDS) + "\n", encoding="utf-8")
        checker = PromptBanChecker(str(word_file))
        for number, request in enumerate(pending, 1):
            outcome, notes = handle(request, checker, too_small)
            print(f"request {number}: {outcome.line()}")
            for note in notes:
                print(f"    {note}")

    codes = [member.code for member in ErrorCode] + list(ErrorCodeRegistry.list_all())
    print(f"{len(codes)} error codes known to the host ({len(ErrorCode)} fixed, the rest custom)")


if __name__ == "__main__":
    main()
