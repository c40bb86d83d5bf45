"""Reference counts over every public call and its error paths, on a debug interpreter.

The leak check counts references exactly where sys.gettotalrefcount exists
(`make test-refs` builds for Debian's python3.14-dbg). Each module's own
test_no_leaks table covers its main paths; this table adds the rest: wrong
argument counts and names, the function objects' attributes, the live HTTP
paths against the engine stub, and the remaining error paths. On a release
build the byte-based windows of those tables are the check, so this file
is skipped there.
"""

import copy
import io
import json
import pathlib
import pickle
import subprocess
import sys

import pytest
from PIL import Image, UnidentifiedImageError

from valdrix.aspekta import ImageRatioAnalyzer
from valdrix.canvora import ImageTool
from valdrix.comfyui.halvane import ComfyUIManager
from valdrix.dimora import GPTImageSizeCalculator as Calc
from valdrix.exceptions import PromptBanError
from valdrix.lexgard import PromptBanChecker
from valdrix.resize import image_resize
from valdrix.response.faultrol import CustomErrorCode, ErrorCodeRegistry
from valdrix.response.faultum import ErrorCode

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="counts references on a debug interpreter only")

# The engine stub serves from another process: its threads' references would
# otherwise count with ours.
STUB = pathlib.Path(__file__).resolve().parent.parent / "engine_stub.py"
SERVE = """
import importlib.util, json, sys
spec = importlib.util.spec_from_file_location("engine_stub", sys.argv[1])
stub = importlib.util.module_from_spec(spec)
spec.loader.exec_module(stub)
engines = [stub.EngineStub(**settings).start() for settings in json.loads(sys.argv[2])]
print(json.dumps([engine.base_url for engine in engines]), flush=True)
sys.stdin.read()
"""
ENGINES = {"up": {"reboot_status": 200}, "busy": {"stats_statuses": [500]}, "slow": {"stats_delay": 0.2},
           "refusing_reboot": {"reboot_status": 500}}


def png(size=(6, 4), mode="RGB"):
    out = io.BytesIO()
    Image.new(mode, size).save(out, "PNG")
    return out.getvalue()


PNG = png()
IMAGE = Image.new("RGB", (6, 4))
TOOL = ImageTool("16:9")
ANALYZER = ImageRatioAnalyzer()


def tolerant(call):
    """Runs call, whatever it raises: for paths whose outcome another helper may still change."""
    def run(*args):
        try:
            call(*args)
        except Exception:  # noqa: BLE001 - the references are under test, not the outcome
            pass
    return run


class QuietLogger:
    def debug(self, fmt, *args):
        pass

    error = debug


def rewrite_qualname(function):
    """A rejected write (a wrong type) and an accepted one, leaving the name as it was."""
    function = getattr(function, "__func__", function)  # a class method's function
    name = function.__qualname__
    try:
        function.__qualname__ = 5
    except TypeError:
        pass
    finally:
        function.__qualname__ = name


FUNCTIONS = [image_resize, ImageTool.__init__, ImageTool._parse_ratio, ImageTool.adjust_size,
             ImageRatioAnalyzer._gcd, ImageRatioAnalyzer.get_raw_simple_ratio, Calc.calc_size,
             PromptBanChecker.check, PromptBanChecker.find_matched_words, CustomErrorCode.__init__,
             ErrorCodeRegistry.register, ComfyUIManager.__init__, ComfyUIManager.wait_service_ready]


def attribute_calls():
    """Every native function's attributes: read, rejected writes, copies, pickles."""
    calls = {}
    for function in FUNCTIONS:
        name = function.__qualname__
        calls[f"{name} attributes"] = (lambda f=function: (repr(f), f.__name__, f.__qualname__, f.__doc__,
                                                           f.__module__, getattr(f, "__annotations__", None)),
                                       None)
        calls[f"{name} qualname writes"] = (lambda f=function: rewrite_qualname(f), None)
        calls[f"{name} copies"] = (tolerant(lambda f=function: (copy.copy(f), pickle.dumps(f))), None)
    return calls


def lexgard_setup(tmp_path_factory):
    folder = tmp_path_factory.mktemp("refs")
    words, empty, gone = folder / "words.txt", folder / "empty.txt", folder / "gone.txt"
    words.write_text("bad\nworse\n中文\n", encoding="utf-8")
    empty.write_text("\n  \n", encoding="utf-8")
    gone.write_text("x\n", encoding="utf-8")
    vanished = PromptBanChecker(str(gone))
    gone.unlink()
    return {"words": str(words), "checker": PromptBanChecker(str(words)), "empty": PromptBanChecker(str(empty)),
            "vanished": vanished}


CALLS = {
    # resize
    "resize too many arguments": (lambda s: image_resize(IMAGE, 8, 6, "red", 1), TypeError),
    "resize unknown keyword": (lambda s: image_resize(IMAGE, 8, 6, colour="red"), TypeError),
    "resize bad colour": (lambda s: image_resize(IMAGE, 8, 6, "no such colour"), ValueError),
    "resize palette image": (lambda s: image_resize(Image.new("P", (5, 3)), 8, 6), None),
    # canvora
    "canvora bad proportion": (lambda s: ImageTool("16/9"), None),
    "canvora parse no arguments": (lambda s: ImageTool._parse_ratio(), TypeError),
    "canvora closest too few": (lambda s: TOOL._get_closest_standard_ratio(1), TypeError),
    "canvora adjust unknown keyword": (lambda s: TOOL.adjust_size(PNG, percent=1), TypeError),
    "canvora adjust with ratio": (lambda s: TOOL.adjust_size(PNG, True, 25.0), None),
    "canvora adjust RGBA": (lambda s: ImageTool("1:1").adjust_size(png((7, 3), "RGBA")), None),
    # aspekta
    "aspekta too many": (lambda s: ImageRatioAnalyzer(1, 2), TypeError),
    "aspekta gcd too few": (lambda s: ImageRatioAnalyzer._gcd(1), TypeError),
    "aspekta raw no argument": (lambda s: ANALYZER.get_raw_simple_ratio(), TypeError),
    "aspekta approx junk": (lambda s: ANALYZER.get_approx_simple_ratio(b"\x89PNG junk"), UnidentifiedImageError),
    "aspekta truncated": (lambda s: ANALYZER.get_raw_simple_ratio(PNG[:40]), (OSError, SyntaxError)),
    # dimora
    "dimora instance": (lambda s: Calc(), None),
    "dimora unknown keyword": (lambda s: Calc.calc_size(ratio="1:1"), TypeError),
    "dimora unknown resolution": (lambda s: Calc.calc_size("1:1", "8k"), None),
    "dimora round type": (lambda s: Calc.round_to_multiple(None), TypeError),
    "dimora floor too many": (lambda s: Calc.floor_to_multiple(1, 2, 3), TypeError),
    "dimora valid too few": (lambda s: Calc.is_valid_image_size(16), TypeError),
    # lexgard
    "lexgard empty find": (lambda s: s["empty"].find_matched_words("anything"), None),
    "lexgard empty check": (lambda s: s["empty"].check("anything"), None),
    "lexgard reload missing file": (lambda s: s["vanished"].load_banned_words(), FileNotFoundError),
    "lexgard check no argument": (lambda s: s["checker"].check(), TypeError),
    "lexgard check bad type": (lambda s: s["checker"].check(b"bad"), TypeError),
    "lexgard too many": (lambda s: PromptBanChecker(s["words"], True, 1), TypeError),
    "lexgard error text": (lambda s: str(PromptBanError("提示词包含违禁词: bad")), None),
    # faultum
    "faultum by value": (lambda s: ErrorCode(("TIMEOUT", "服务超时，请稍后重试")), None),
    "faultum bad value": (lambda s: ErrorCode(("NOPE", "x")), ValueError),
    "faultum bad name": (lambda s: ErrorCode["NOPE"], KeyError),
    "faultum members": (lambda s: [(e.code, e.msg, repr(e)) for e in ErrorCode], None),
    # faultrol
    "faultrol too few": (lambda s: CustomErrorCode("A"), TypeError),
    "faultrol msg": (lambda s: CustomErrorCode("A", "b").msg, None),
    "faultrol read-only msg": (lambda s: setattr(CustomErrorCode("A", "b"), "msg", "c"), AttributeError),
    "faultrol register twice": (lambda s: (ErrorCodeRegistry.register("R", "1"), ErrorCodeRegistry.register("R", "2")),
                                None),
    "faultrol clear too many": (lambda s: ErrorCodeRegistry.clear(1), TypeError),
    # halvane, against the engine stub on 127.0.0.1
    "halvane too many": (lambda s: ComfyUIManager("http://x", 1, 1, 1.0, None, 1), TypeError),
    "halvane unknown keyword": (lambda s: ComfyUIManager(url="http://x"), TypeError),
    "halvane wait argument": (lambda s: s["up"].wait_service_ready(1), TypeError),
    "halvane ready": (lambda s: s["up"].wait_service_ready(), None),
    "halvane status then bad pause": (lambda s: s["busy"].wait_service_ready(), ValueError),
    "halvane read time-out then bad pause": (lambda s: s["slow"].wait_service_ready(), ValueError),
    "halvane reboot answered 500": (lambda s: s["refusing_reboot"].trigger_reboot(), None),
    "halvane cycle": (lambda s: s["up"].run_reboot_and_wait(), None),
    "halvane bad budget": (lambda s: s["bad_budget"].wait_service_ready(), TypeError),
}
CALLS.update((name, (lambda s, call=call: call(), raises)) for name, (call, raises) in attribute_calls().items())
SLOW = {"halvane read time-out then bad pause": 40}


@pytest.fixture(scope="module")
def setup(tmp_path_factory):
    server = subprocess.Popen([sys.executable, "-c", SERVE, str(STUB), json.dumps(list(ENGINES.values()))],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    urls = dict(zip(ENGINES, json.loads(server.stdout.readline())))

    def manager(engine, **changes):
        made = ComfyUIManager(urls[engine], 1, 5, 0.0, QuietLogger())
        for name, value in changes.items():
            setattr(made, name, value)
        return made

    state = lexgard_setup(tmp_path_factory)
    state.update(up=manager("up"), busy=manager("busy", poll_interval=-1),
                 slow=manager("slow", poll_interval=-1, timeout=0.02),
                 refusing_reboot=manager("refusing_reboot"), bad_budget=manager("up", max_wait="5"))
    yield state
    server.stdin.close()
    server.wait(timeout=10)
    server.stdout.close()


@pytest.mark.parametrize("name", CALLS)
def test_refcounts(leak_check, setup, name):
    call, raises = CALLS[name]
    leak_check(lambda: call(setup), raises=raises, iterations=SLOW.get(name, 400))
