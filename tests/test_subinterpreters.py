"""The modules in isolated subinterpreters with their own GIL: they load and work
there as the same modules written in Python do, and where a dependency cannot
load (Pillow), importing them fails with that dependency's own error."""

import subprocess
import sys
import textwrap

import pytest

from package_modules import public_modules, short_name

# Runs a script in a new isolated interpreter with its own GIL, in a process
# of its own (a crash there must not take the test run with it); the script
# prints its result, or the exception that ended it.
HARNESS = """
import sys, textwrap
body = "try:\\n" + textwrap.indent(sys.argv[1], "    ") + (
    "\\nexcept BaseException as error:\\n    print(type(error).__name__ + ': ' + str(error))\\n")
if sys.version_info >= (3, 14):
    from concurrent import interpreters
    interpreter = interpreters.create()
    interpreter.exec(body)
    interpreter.close()
elif sys.version_info >= (3, 13):
    import _interpreters
    interpreter = _interpreters.create("isolated")
    _interpreters.exec(interpreter, body)
    _interpreters.destroy(interpreter)
else:
    import _xxsubinterpreters
    interpreter = _xxsubinterpreters.create(isolated=True)
    _xxsubinterpreters.run_string(interpreter, body)
    _xxsubinterpreters.destroy(interpreter)
"""


def in_subinterpreter(script):
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", HARNESS, textwrap.dedent(script)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


WORKING = {
    "dimora": ("from valdrix.dimora import GPTImageSizeCalculator as G\n"
               "print(G.calc_size('16:9', '4k')['size'], G.round_to_multiple(1254.5))", "3840x2160 1248"),
    "lexgard": ("import tempfile, os\n"
                "from valdrix.lexgard import PromptBanChecker\n"
                "from valdrix.exceptions import PromptBanError\n"
                "fd, path = tempfile.mkstemp(); os.write(fd, 'abc\\nxy\\n'.encode()); os.close(fd)\n"
                "checker = PromptBanChecker(path); os.remove(path)\n"
                "print(checker.find_matched_words('xABCx'), checker.check('clean'))\n"
                "try:\n    checker.check('xy')\nexcept PromptBanError:\n    print('banned')",
                "['ABC'] clean\nbanned"),
    "faultum": ("from valdrix.response.faultum import ErrorCode\n"
                "print(ErrorCode.PROMPT_EMPTY.code, len(ErrorCode))", "PROMPT_EMPTY 18"),
    "faultrol": ("from valdrix.response.faultrol import ErrorCodeRegistry as R\n"
                 "code = R.register('MY', 'm'); print(R.get('MY') is code, code)",
                 "True CustomErrorCode('MY', 'm')"),
}


@pytest.mark.parametrize("module", WORKING)
def test_pure_modules_work_in_an_isolated_subinterpreter(module):
    script, expected = WORKING[module]
    assert in_subinterpreter(script) == expected


@pytest.mark.skipif(sys.version_info < (3, 13), reason="CPython 3.12 corrupts memory when it destroys an "
                    "isolated subinterpreter that imported hashlib, which requests imports")
def test_halvane_works_where_requests_loads():
    requests = in_subinterpreter("import requests\nprint('loaded')")
    halvane = in_subinterpreter("from valdrix.comfyui.halvane import ComfyUIManager\n"
                                "print(ComfyUIManager('http://127.0.0.1:9/').stats_api)")
    assert halvane == ("http://127.0.0.1:9/api/system_stats" if requests == "loaded" else requests)


# Modules that import Pillow: they load exactly where Pillow does.
PILLOW_MODULES = ["canvora", "resize", "aspekta"]


@pytest.mark.parametrize("module", PILLOW_MODULES)
def test_pillow_modules_fail_with_pillows_own_error(module):
    pillow = in_subinterpreter("from PIL import Image\nprint('loaded')")
    assert in_subinterpreter(f"import valdrix.{module}\nprint('loaded')") == pillow


def test_every_public_module_has_a_row():
    # A new module must say what it does in a subinterpreter: work, or fail
    # with a dependency's own error (halvane has a test of its own above).
    rows = {*WORKING, *PILLOW_MODULES, "halvane"}
    assert [module for module in public_modules() if short_name(module) not in rows] == []
