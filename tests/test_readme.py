"""Every Python snippet of README.md runs against the installed package, and
the results its comments state hold (readme_snippets.py says how they are read)."""

import pytest

import readme_snippets

SNIPPETS = readme_snippets.snippets()


def test_readme_has_snippets():
    assert len(SNIPPETS) >= 7  # one for each module's section at least


@pytest.mark.parametrize("index", range(len(SNIPPETS)), ids=[f"README.md:{line}" for line, _ in SNIPPETS])
def test_snippet_runs_and_its_comments_hold(index):
    code, output = readme_snippets.run_in_fresh_process(index)
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
    with pytest.raises(readme_snippets.SnippetError, match=fault.replace("(", r"\(").replace("{", r"\{")):
        readme_snippets.run_snippet(1, snippet)
