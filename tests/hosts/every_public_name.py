"""A host that touches every public name of the package, for the type checkers.

Each use pins the type that the stubs give it (``assert_type``), so that a
stub which narrows or widens a public type fails ``mypy --strict`` and
pyright's strict mode here before it fails a host. tests/test_typing.py checks
that no public name is missing from this file. It also runs: nothing in it
sends a request or writes outside a temporary folder.
"""

from __future__ import annotations

import io
import logging
import pathlib
import tempfile
from typing import Any, Callable, Literal, assert_type

from PIL import Image

import valdrix
from valdrix.aspekta import ImageRatioAnalyzer
from valdrix.canvora import ImageTool
from valdrix.comfyui.halvane import ComfyUIManager
from valdrix.dimora import GPTImageSizeCalculator
from valdrix.exceptions import PromptBanError
from valdrix.lexgard import PromptBanChecker
from valdrix.resize import image_resize
from valdrix.response.faultrol import CustomErrorCode, ErrorCodeRegistry
from valdrix.response.faultum import ErrorCode


class HostLogger:
    """A logger of the host's own: the manager needs only these two methods."""

    def __init__(self) -> None:
        self.lines: list[str] = []

    def debug(self, msg: str, *args: object) -> None:
        self.lines.append(msg % args)

    def error(self, msg: str, *args: object) -> None:
        self.lines.append(msg % args)


def png(width: int, height: int) -> bytes:
    buffer = io.BytesIO()
    Image.new("RGB", (width, height)).save(buffer, format="PNG")
    return buffer.getvalue()


def images(want_ratio: bool) -> None:
    upload = png(64, 48)
    tool = ImageTool(proportion="4:3", need_adjust="fill", fill_color=(0, 0, 0, 0), source="host")
    assert_type(ImageTool.STANDARD_RATIO_LIST, list[str])
    assert_type(tool.proportion, str | None)
    assert_type(tool.need_adjust, str)
    assert_type(tool.kwargs, dict[str, Any])
    tool.fill_color = "white"
    assert_type(tool.adjust_size(upload), bytes)
    assert_type(tool.adjust_size(upload, return_origin_ratio=True), tuple[bytes, str])
    assert_type(tool.adjust_size(upload, want_ratio, 5.0), bytes | tuple[bytes, str])

    analyser = ImageRatioAnalyzer(approx_search_range=16)
    assert_type(analyser.approx_search_range, int)
    assert_type(analyser.get_raw_simple_ratio(upload), str)
    assert_type(analyser.get_approx_simple_ratio(upload), str)

    with Image.open(io.BytesIO(upload)) as image:
        assert_type(image_resize(image, 32, 32, bg_color=(9, 9, 9)), Image.Image)


def sizes() -> None:
    calculator = GPTImageSizeCalculator
    for limit in (calculator.MIN_PIXELS, calculator.MAX_PIXELS, calculator.MAX_EDGE, calculator.MULTIPLE):
        assert_type(limit, int)
    assert_type(calculator.MAX_RATIO, float)
    assert_type(calculator.RESOLUTION_PRESET, dict[str, int])
    assert_type(calculator.round_to_multiple(1254.5), int)
    assert_type(calculator.floor_to_multiple(47.5, 16), int)
    assert_type(calculator.is_valid_image_size(3840, 2160), bool)
    size = GPTImageSizeCalculator().calc_size("16:9", "4k")
    assert_type(size["width"], int)
    assert_type(size["size"], str)
    assert_type(size["valid"], bool)


def prompts(folder: pathlib.Path) -> None:
    word_file = folder / "banned.txt"
    word_file.write_text("gore\n", encoding="utf-8")
    checker = PromptBanChecker(str(word_file), ignore_case=True)
    assert_type(checker.ban_word_file, str)
    assert_type(checker.ignore_case, bool)
    assert_type(checker.banned_words, list[str])
    checker.load_banned_words()
    assert_type(checker.find_matched_words("GORE"), list[str])
    try:
        assert_type(checker.check("GORE"), str)
    except PromptBanError as error:
        assert_type(error.error_msg, str)
        assert error.data == ["GORE"]


def error_codes() -> None:
    fixed: dict[str, ErrorCode] = {
        "SUCCESS": ErrorCode.SUCCESS, "SERVICE_BUSY": ErrorCode.SERVICE_BUSY, "TIMEOUT": ErrorCode.TIMEOUT,
        "IMAGE_GENERATE_FAIL": ErrorCode.IMAGE_GENERATE_FAIL, "NO_IMAGE_RESULT": ErrorCode.NO_IMAGE_RESULT,
        "IMAGE_INVALID": ErrorCode.IMAGE_INVALID, "IMAGE_FORMAT_UNSUPPORTED": ErrorCode.IMAGE_FORMAT_UNSUPPORTED,
        "IMAGE_SIZE_EXCEEDED": ErrorCode.IMAGE_SIZE_EXCEEDED,
        "CONTENT_POLICY_VIOLATION": ErrorCode.CONTENT_POLICY_VIOLATION, "IMAGE_BANNED": ErrorCode.IMAGE_BANNED,
        "PROMPT_BANNED": ErrorCode.PROMPT_BANNED, "PROMPT_EMPTY": ErrorCode.PROMPT_EMPTY,
        "PROMPT_TOO_LONG": ErrorCode.PROMPT_TOO_LONG, "INVALID_PARAMS": ErrorCode.INVALID_PARAMS,
        "INSUFFICIENT_BALANCE": ErrorCode.INSUFFICIENT_BALANCE, "QUOTA_EXCEEDED": ErrorCode.QUOTA_EXCEEDED,
        "RATE_LIMIT": ErrorCode.RATE_LIMIT, "AUTH_FAILED": ErrorCode.AUTH_FAILED,
    }
    assert all(member.code == name and isinstance(member.msg, str) for name, member in fixed.items())
    value: tuple[str, str] = ErrorCode.TIMEOUT.value
    assert value == ("TIMEOUT", ErrorCode.TIMEOUT.msg)

    custom = ErrorCodeRegistry.register("HOST_CODE", "message")
    assert_type(custom, CustomErrorCode)
    assert_type(CustomErrorCode("A", "a").code, str)
    assert_type(custom.msg, str)
    assert_type(ErrorCodeRegistry.get("HOST_CODE"), CustomErrorCode | None)
    assert_type(ErrorCodeRegistry.list_all(), dict[str, CustomErrorCode])
    ErrorCodeRegistry.clear()


def engine() -> None:
    # Loggers of every kind that the manager accepts; nothing is called that
    # sends a request.
    adapter = logging.LoggerAdapter(logging.getLogger("host.engine"), {"engine": "main"})
    for logger in (adapter, logging.getLogger("host.engine"), HostLogger(), None):
        manager = ComfyUIManager("http://127.0.0.1:8188/", timeout=3, max_wait_seconds=0, poll_interval=0.5,
                                 logger=logger)
        assert_type(manager.base_url, str)
        assert_type(manager.reboot_api, str)
        assert_type(manager.stats_api, str)
        assert_type(manager.timeout, int)
        assert_type(manager.max_wait, int)
        assert_type(manager.poll_interval, float)
        assert_type(manager.flag, str)
        manager.logger.debug("%s ready: %d", manager.flag, 1)
        trigger: Callable[[], None] = manager.trigger_reboot
        wait: Callable[[], bool] = manager.wait_service_ready
        cycle: Callable[[], bool] = manager.run_reboot_and_wait
        assert all(callable(method) for method in (trigger, wait, cycle))


def main() -> None:
    version: str = valdrix.__version__
    with tempfile.TemporaryDirectory() as folder:
        images(want_ratio=False)
        sizes()
        prompts(pathlib.Path(folder))
        error_codes()
        engine()
    outcome: Literal["ok"] = "ok"
    print(f"valdrix {version}: every public name used, {outcome}")


if __name__ == "__main__":
    main()
