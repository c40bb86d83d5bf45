"""Every Python snippet of README.md runs against the installed package, and
the results its comments state hold (tools/check-readme says how they are read)."""

import importlib.machinery
import importlib.util
import pathlib

import pytest

TOOL = pathlib.Path(__file__).resolve().parent.parent / "tools" / "check-readme"


def load_tool():
    loader = importlib.machinery.SourceFileLoader("check_readme", str(TOOL))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


check_readme = load_tool()
SNIPPETS = check_readme.snippets()


def test_readme_has_snippets():
    assert len(SNIPPETS) >= 8


@pytest.mark.parametrize("index", range(len(SNIPPETS)), ids=[f"README.md:{line}" for line, _ in SNIPPETS])
def test_snippet_runs_and_its_comments_hold(index):
    code, output = check_readme.run_in_fresh_process(index)
    assert code == 0, output


@pytest.mark.parametrize(
    "snippet, fault",
    [
        ("x = 1\nx + 1   # 3\n", "the comment says 3"),
        ("x = 1\nx + 1   # 2.0  (a float is not an int)\n", "the comment says 2.0"),
        ("print('a b')   # a c\n", "the code prints 'a b'"),
        ("d = {'k': 1}\nd\n# {'k':\n#  2}\n", "the comment says {'k': 2}"),
        ("try:\n    pass\nexcept ValueError as error:\n    print(error)   # never\n", "never ran"),
    ],
)
def test_checker_catches_an_untrue_comment(snippet, fault):
    with pytest.raises(check_readme.SnippetError, match=fault.replace("(", r"\(").replace("{", r"\{")):
        check_readme.run_snippet(1, snippet)
