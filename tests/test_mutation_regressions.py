"""Crashers found by fuzz/fuzz_mutation.py, minimised by hand.

Each one once ended the interpreter with a signal (or, for the non-string
qualified name, printed bytes of unrelated memory). Each runs in its own
interpreter, because what it does to the package cannot be undone and a
regression must not take the test run down with it. The process must end
the way plain Python ends the same script: with the named exception (and
where given, that text in its message), never by a signal.
"""

import signal
import subprocess
import sys
import textwrap

import pytest

CRASHERS = {
    # A native function's qualified name deleted, then its repr and a wrong call.
    "qualname-deleted-repr": ("TypeError", None, """
        from valdrix.resize import image_resize as f
        try:
            del f.__qualname__
        except TypeError:
            pass
        repr(f)
        f()
    """),
    # The same, where only the argument error reads the name.
    "qualname-deleted-argument-error": ("TypeError", None, """
        from valdrix.dimora import GPTImageSizeCalculator as C
        try:
            del C.__init__.__qualname__
        except TypeError:
            pass
        C(1, 2)
    """),
    # A qualified name that is not a string, read back by an argument error.
    "qualname-not-a-string": ("TypeError", "ErrorCodeRegistry.get() takes 2 positional arguments", """
        from valdrix.response.faultrol import ErrorCodeRegistry as R
        try:
            R.get.__func__.__qualname__ = 5
        except TypeError:
            pass
        R.get(None, 1)
    """),
    # Methods rebound to one another: native calling native without end.
    "rebound-on-instance": ("RecursionError", None, """
        from valdrix.canvora import ImageTool
        t = ImageTool()
        t._parse_ratio = t.__init__
        t.__init__("1:1")
    """),
    "rebound-on-class": ("RecursionError", None, """
        from valdrix.canvora import ImageTool
        ImageTool._parse_ratio = ImageTool.__init__
        ImageTool("1:1")
    """),
    "checker-check-as-find": ("RecursionError", None, """
        import os, tempfile
        from valdrix.lexgard import PromptBanChecker
        path = os.path.join(tempfile.mkdtemp(), "words.txt")
        with open(path, "w", encoding="utf-8") as file:
            file.write("x\\n")
        c = PromptBanChecker(path)
        c.find_matched_words = c.check
        c.check("x")
    """),
    # A subclass whose compile step is the load that calls it (found on the ASan build).
    "build-regex-is-the-load": ("RecursionError", None, """
        import os, tempfile
        from valdrix.lexgard import PromptBanChecker
        path = os.path.join(tempfile.mkdtemp(), "words.txt")
        with open(path, "w", encoding="utf-8") as file:
            file.write("x\\n")
        class Sub(PromptBanChecker):
            _build_regex = PromptBanChecker.load_banned_words
        Sub(path)
    """),
    # A subclass whose attribute hooks are another class's native constructor.
    "setattr-is-a-native-constructor": ("RecursionError", None, """
        from valdrix.canvora import ImageTool
        from valdrix.comfyui.halvane import ComfyUIManager
        class Sub(ComfyUIManager):
            __setattr__ = ImageTool.__init__
        Sub("http://127.0.0.1:9", 1, 0, 0.01)
    """),
    "getattribute-is-a-native-constructor": ("RecursionError", None, """
        from valdrix.canvora import ImageTool
        class Sub(ImageTool):
            __getattribute__ = ImageTool.__init__
        Sub("1:1")
    """),
    "getattribute-is-a-native-classmethod": ("RecursionError", None, """
        import os, tempfile
        from valdrix.dimora import GPTImageSizeCalculator
        from valdrix.lexgard import PromptBanChecker
        path = os.path.join(tempfile.mkdtemp(), "words.txt")
        with open(path, "w", encoding="utf-8") as file:
            file.write("x\\n")
        PromptBanChecker.__getattribute__ = vars(GPTImageSizeCalculator)["floor_to_multiple"].__func__
        PromptBanChecker(path)
    """),
    # A function reached through a weak reference made by a finalizer after
    # the collector cleared the function's cycle.
    "function-called-after-collection": ("RuntimeError", "reached", """
        import sys, gc, weakref
        gc.disable()
        import valdrix.response.faultrol as mod
        del sys.modules["valdrix.response.faultrol"]
        import valdrix.response as package
        del package.faultrol
        F = mod.ErrorCodeRegistry.__dict__["get"].__func__
        state, keep = {}, []
        def callback(reference):
            function = state["function"]()
            if function is not None:
                function(object, "x")
        class Finalizer:
            def __del__(self):
                state["function"] = weakref.ref(self.names["ErrorCodeRegistry"].__dict__["get"].__func__)
                keep.append(weakref.ref(self.names["B"], callback))
        class Node(list):
            pass
        finalizer = Finalizer()
        finalizer.names = mod.__dict__
        mod.__dict__["finalizer"] = finalizer
        B = Node(); B.append(B)
        C = Node(); C.append(C); C.append(F)
        mod.__dict__["B"], mod.__dict__["C"] = B, C
        del finalizer, F, mod, B, C
        gc.collect()
        raise RuntimeError("reached")
    """),
}


@pytest.mark.parametrize("name", sorted(CRASHERS))
def test_crasher_ends_in_a_python_exception(name):
    expected, text, source = CRASHERS[name]
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, timeout=300)
    stderr = done.stderr.decode("utf-8", "replace")
    assert done.returncode >= 0, f"killed by {signal.Signals(-done.returncode).name}\n{stderr[-2000:]}"
    last = stderr.strip().splitlines()[-1] if stderr.strip() else ""
    assert done.returncode == 1 and last.startswith(expected + ":"), stderr[-2000:]
    assert text is None or text in last, last
