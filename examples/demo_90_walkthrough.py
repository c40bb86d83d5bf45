"""Host walk-through: one request handler that uses every module"""

# A back end receives (prompt, aspect ratio, tier, uploaded image). It screens
# the prompt, picks the model's output size, analyses and normalises the
# upload, fits it to the model canvas, and answers with a unified error code.
# When the image engine misbehaves it restarts it and waits for it.

import importlib.util
import io
import logging
import pathlib
from typing import Dict, List, Optional, Tuple

from PIL import Image, UnidentifiedImageError

from valdrix.aspekta import ImageRatioAnalyzer
from valdrix.canvora import ImageTool
from valdrix.comfyui.halvane import ComfyUIManager
from valdrix.dimora import GPTImageSizeCalculator
from valdrix.exceptions import PromptBanError
from valdrix.lexgard import PromptBanChecker
from valdrix.resize import image_resize
from valdrix.response.faultrol import ErrorCodeRegistry
from valdrix.response.faultum import ErrorCode

HERE = pathlib.Path(__file__).resolve().parent
WORDS = HERE / "data" / "lexgard_banned_words.txt"


def sample_upload(width: int, height: int, fmt: str = "PNG") -> bytes:
    """A generated 'photo': a colour gradient with a transparent corner."""
    image = Image.linear_gradient("L").resize((width, height)).convert("RGBA")
    red = Image.linear_gradient("L").rotate(90).resize((width, height))
    image.putalpha(255)
    image = Image.merge("RGBA", (red, image.getchannel("G"), Image.new("L", (width, height), 160),
                                 image.getchannel("A")))
    if fmt == "PNG":
        image.paste((0, 0, 0, 0), (0, 0, width // 5, height // 5))
    else:
        image = image.convert("RGB")
    out = io.BytesIO()
    image.save(out, format=fmt)
    return out.getvalue()


class Handler:
    def __init__(self, out_dir: pathlib.Path) -> None:
        self.out_dir = out_dir
        self.checker = PromptBanChecker(str(WORDS))
        self.analyzer = ImageRatioAnalyzer(approx_search_range=16)
        ErrorCodeRegistry.clear()
        self.ratio_mismatch = ErrorCodeRegistry.register("RATIO_MISMATCH", "图片比例与请求比例不一致")

    def handle(self, name: str, prompt: str, ratio: str, tier: str, upload: bytes) -> Tuple[object, Dict[str, str]]:
        facts: Dict[str, str] = {}
        if not prompt.strip():
            return ErrorCode.PROMPT_EMPTY, facts
        try:
            self.checker.check(prompt)
        except PromptBanError as error:
            facts["banned"] = ",".join(sorted(error.data))
            return ErrorCode.PROMPT_BANNED, facts
        try:
            size = GPTImageSizeCalculator.calc_size(ratio, tier)
        except (ValueError, ZeroDivisionError) as error:
            facts["why"] = str(error)
            return ErrorCode.INVALID_PARAMS, facts
        facts["model size"] = size["size"]
        try:
            facts["upload ratio"] = (f"{self.analyzer.get_raw_simple_ratio(upload)} "
                                     f"(~{self.analyzer.get_approx_simple_ratio(upload)})")
            fill, closest = ImageTool(proportion=ratio, need_adjust="fill").adjust_size(upload, True)
        except (UnidentifiedImageError, OSError):
            return ErrorCode.IMAGE_INVALID, facts
        if fill is upload:  # the early path hands the very upload back, paired with the request
            with Image.open(io.BytesIO(upload)) as image:
                facts["closest standard"] = ImageTool()._get_closest_standard_ratio(*image.size)
            return self.ratio_mismatch, facts
        facts["closest standard"] = closest
        stretched = ImageTool(proportion=ratio, need_adjust="resize").adjust_size(upload)
        assert isinstance(stretched, bytes)
        for mode, data in (("fill", fill), ("resize", stretched)):
            (self.out_dir / f"{name}-{mode}.png").write_bytes(data)
        with Image.open(io.BytesIO(fill)) as normalised:
            canvas = image_resize(normalised, size["width"] // 4, size["height"] // 4, (32, 32, 32))
        canvas.save(self.out_dir / f"{name}-canvas.png")
        facts["normalised"] = f"fill {Image.open(io.BytesIO(fill)).size}, resize {Image.open(io.BytesIO(stretched)).size}"
        facts["canvas"] = f"{canvas.size} (a quarter of the model size)"
        return ErrorCode.SUCCESS, facts


def restart_engine(out_lines: List[str]) -> bool:
    stub_path = HERE.parent / "tests" / "engine_stub.py"
    spec = importlib.util.spec_from_file_location("engine_stub", stub_path)
    assert spec is not None and spec.loader is not None
    stub_module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(stub_module)

    class Collect(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            out_lines.append(f"{record.levelname} {record.getMessage()}")

    logger = logging.getLogger("valdrix.walkthrough.engine")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(Collect())
    engine = stub_module.EngineStub(stats_statuses=(503, 200), down_seconds=0.5).start()
    try:
        manager = ComfyUIManager(f"http://127.0.0.1:{engine.port}", timeout=2, max_wait_seconds=10,
                                 poll_interval=0.2, logger=logger)
        return bool(manager.run_reboot_and_wait())
    finally:
        engine.stop()


def main(out_dir: pathlib.Path) -> None:
    out_dir = out_dir / "walkthrough"
    out_dir.mkdir(parents=True, exist_ok=True)
    handler = Handler(out_dir)
    requests: List[Tuple[str, str, str, str, bytes]] = [
        ("poster", "a quiet harbour at dawn, oil painting", "16:9", "2k", sample_upload(1920, 1080)),
        ("portrait", "studio portrait, soft light", "3:4", "1k", sample_upload(768, 1024, "JPEG")),
        ("square", "a cat on a windowsill", "1:1", "4K", sample_upload(640, 640)),
        ("mismatch", "mountains in fog", "9:16", "2k", sample_upload(1600, 1200)),
        ("banned", "这是一张赌博海报 with GORE", "1:1", "2k", sample_upload(64, 64)),
        ("empty", "   ", "1:1", "2k", sample_upload(64, 64)),
        ("too-wide", "a panorama", "31:10", "2k", sample_upload(64, 64)),
        ("broken", "anything", "1:1", "2k", b"\x89PNG\r\n\x1a\n not really a png"),
    ]
    print(f"{'request':<9} {'answer':<16} message / details")
    for name, prompt, ratio, tier, upload in requests:
        code, facts = handler.handle(name, prompt, ratio, tier, upload)
        print(f"{name:<9} {code.code:<16} {code.msg}")  # type: ignore[attr-defined]
        for key, value in facts.items():
            print(f"{'':<9} {'':<16}   {key}: {value}")

    lines: List[str] = []
    ready: Optional[bool] = restart_engine(lines)
    print("\nengine restart against the stand-in server:")
    for line in lines:
        print("  " + line)
    print(f"  -> ready: {ready}")
    ErrorCodeRegistry.clear()
    print(f"\nimages written to {out_dir}")
