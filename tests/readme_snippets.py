"""The Python snippets of README.md, run so that the README stays true.

Each ```python block is run on its own, in a fresh process whose working
directory is an empty temporary directory, against the installed package:
a snippet makes the sample files it needs. HTTP requests are sent to a proxy
at a closed port, so they fail as with no server listening. Besides running without an
exception, a snippet is held to what its comments say:

    expr    # 'literal'              expr must equal the literal (and be of its type)
    expr    # 'literal'  (remark)    the same; the remark after two spaces or " (" is free text
    expr                             a literal may also fill the comment lines right below
    # {'long': 'literal',
    #  'continued': 'here'}
    print(x)   # text                str(x) must be the text
    except SomeError as error:       a checked line under an except must run,
        print(error)   # message     so the error has to be raised

A comment that is not a Python literal (and not on a print) is free text.

tests/test_readme.py runs every snippet through this module; tools/check-readme
is the same as a command (main below):

    tools/check-readme                 run every snippet, print a line for each
    tools/check-readme --list          list the snippets with their line numbers
    tools/check-readme --run N         run snippet N (0-based) in this process
"""

import ast
import io
import os
import pathlib
import socket
import subprocess
import sys
import tempfile
import tokenize

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def snippets(path=README):
    """The ```python blocks of a Markdown file, as (first code line number, code)."""
    found = []
    lines = pathlib.Path(path).read_text(encoding="utf-8").splitlines()
    index = 0
    while index < len(lines):
        if lines[index].strip() == "```python":
            start = index + 1
            end = start
            while lines[end].strip() != "```":
                end += 1
            found.append((start + 1, "\n".join(lines[start:end]) + "\n"))
            index = end
        index += 1
    return found


def _comments(code):
    """Comment text by line number: a comment after code on its line, or else the
    comment-only lines right below a line of code, joined."""
    trailing, alone, code_lines = {}, {}, set()
    for token in tokenize.generate_tokens(io.StringIO(code).readline):
        if token.type == tokenize.COMMENT:
            (trailing if token.start[0] in code_lines else alone)[token.start[0]] = token.string[1:].strip()
        elif token.type not in (tokenize.NL, tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT):
            code_lines.add(token.start[0])
    comments = dict(trailing)
    for line in code_lines - set(trailing):
        below = []
        while line + 1 + len(below) in alone:
            below.append(alone[line + 1 + len(below)])
        if below:
            comments[line] = " ".join(below)
    return comments


def _literal(comment):
    """The Python literal a comment starts with, as an expression node, or None."""
    candidates = [comment]
    for separator in ("  ", " ("):
        if separator in comment:
            candidates.append(comment.split(separator, 1)[0])
    for candidate in candidates:
        try:
            node = ast.parse(candidate.strip(), mode="eval").body
            ast.literal_eval(node)
        except (SyntaxError, ValueError, TypeError, MemoryError, RecursionError):
            continue
        return node
    return None


class _Instrument(ast.NodeTransformer):
    """Turns every expression statement that a comment explains into a check."""

    def __init__(self, comments):
        self.comments = comments
        self.checked = []

    def visit_Expr(self, node):
        if node.lineno != node.end_lineno or node.lineno not in self.comments:
            return node
        comment = self.comments[node.lineno]
        value = node.value
        is_print = (isinstance(value, ast.Call) and isinstance(value.func, ast.Name) and value.func.id == "print"
                    and len(value.args) == 1 and not value.keywords)
        if is_print:
            call = ast.Call(ast.Name("__readme_print__", ast.Load()),
                            [value.args[0], ast.Constant(comment), ast.Constant(node.lineno)], [])
        else:
            literal = _literal(comment)
            if literal is None:
                return node
            call = ast.Call(ast.Name("__readme_equal__", ast.Load()),
                            [value, literal, ast.Constant(node.lineno)], [])
        self.checked.append(node.lineno)
        return ast.copy_location(ast.Expr(ast.copy_location(call, node)), node)


class SnippetError(AssertionError):
    pass


def run_snippet(first_line, code, label="README.md"):
    """Runs one snippet in this process; raises SnippetError where it is untrue."""
    tree = ast.parse(code)
    instrument = _Instrument(_comments(code))
    tree = ast.fix_missing_locations(instrument.visit(tree))
    ast.increment_lineno(tree, first_line - 1)
    ran = set()

    def where(line):
        return f"{label}:{line + first_line - 1}"

    def equal(actual, expected, line):
        ran.add(line)
        if type(actual) is not type(expected) or actual != expected:
            raise SnippetError(f"{where(line)}: the comment says {expected!r}, the code gives {actual!r}")

    def printed(value, expected, line):
        ran.add(line)
        print(value)
        if str(value) != expected:
            raise SnippetError(f"{where(line)}: the comment says {expected!r}, the code prints {str(value)!r}")

    namespace = {"__name__": "__main__", "__readme_equal__": equal, "__readme_print__": printed}
    exec(compile(tree, label, "exec"), namespace)
    missed = sorted(set(instrument.checked) - ran)
    if missed:
        raise SnippetError("checked lines that never ran: " + ", ".join(where(line) for line in missed))
    return len(instrument.checked)


def _closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run_in_fresh_process(index, python=sys.executable, timeout=120):
    """Runs snippet `index` in a new interpreter inside an empty directory: (exit code, output)."""
    with tempfile.TemporaryDirectory(prefix="readme-snippet-") as directory:
        env = {key: value for key, value in os.environ.items()
               if key.lower() not in ("pythonpath", "no_proxy", "http_proxy", "https_proxy", "all_proxy")}
        # Every HTTP request goes through a proxy at a closed port and is refused, so a
        # snippet never orders a real engine on this machine to restart.
        env["http_proxy"] = env["HTTP_PROXY"] = f"http://127.0.0.1:{_closed_port()}"
        # This file run as a script: its main takes --run.
        result = subprocess.run([python, str(pathlib.Path(__file__).resolve()), "--run", str(index)],
                                cwd=directory, env=env, capture_output=True, text=True, timeout=timeout)
    return result.returncode, result.stdout + result.stderr


def main(argv):
    found = snippets()
    if argv[:1] == ["--list"]:
        for index, (line, code) in enumerate(found):
            print(f"{index:3}  README.md:{line}  {code.splitlines()[0]}")
        return 0
    if argv[:1] == ["--run"]:
        line, code = found[int(argv[1])]
        checks = run_snippet(line, code)
        print(f"snippet at README.md:{line}: ran, {checks} commented results hold")
        return 0
    failed = 0
    for index, (line, _) in enumerate(found):
        code, output = run_in_fresh_process(index)
        print(f"{'ok' if code == 0 else 'FAIL':4} README.md:{line}")
        if code != 0:
            failed += 1
            print(output)
    print(f"{len(found)} snippets, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
