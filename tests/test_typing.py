"""The type stubs against the installed modules, and the example hosts under mypy --strict.

stubtest compares names, signatures and member kinds with the runtime; the
checks here add what it passes over: module-level imports, private members and
instance attributes, which a stub must also declare.
"""

import ast
import importlib
import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

from package_modules import public_modules

pytest.importorskip("mypy", reason="mypy is not installed (pip install '.[test]')")

ROOT = pathlib.Path(__file__).resolve().parent.parent
ALLOWLIST = ROOT / "tests" / "stubtest_allowlist.txt"
HOST_EXAMPLE = ROOT / "examples" / "host_example.py"
EVERY_NAME_HOST = ROOT / "tests" / "hosts" / "every_public_name.py"
# Each host, with a line of what it prints when it has run to its end.
HOSTS = {HOST_EXAMPLE: "error codes known to the host", EVERY_NAME_HOST: "every public name used, ok"}

MODULES = public_modules()


# requests carries type information from 2.34 on; an older release, which valdrix accepts,
# would stop stubtest at halvane's stub, which only re-exports the module.
MYPY_INI = "[mypy]\n\n[mypy-requests.*]\nignore_missing_imports = True\n"


def run_tool(args, cwd):
    # Outside the source tree, with no MYPYPATH and a configuration of its own, so that only the
    # installed package is seen and no project or user settings weaken the checks.
    (cwd / "mypy.ini").write_text(MYPY_INI, encoding="utf-8")
    env = {key: value for key, value in os.environ.items() if key not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
    return result.returncode, result.stdout + result.stderr


def test_stubtest_passes_against_the_installed_package(tmp_path):
    code, output = run_tool(
        ["-m", "mypy.stubtest", "valdrix", "--allowlist", str(ALLOWLIST), "--mypy-config-file", "mypy.ini"],
        tmp_path,
    )
    assert code == 0, output


@pytest.mark.parametrize("host", HOSTS, ids=lambda host: host.name)
def test_host_passes_mypy_strict(host, tmp_path):
    code, output = run_tool(
        ["-m", "mypy", "--strict", "--config-file", "mypy.ini", "--cache-dir", str(tmp_path / "cache"), str(host)],
        tmp_path,
    )
    assert code == 0, output


@pytest.mark.parametrize("host", HOSTS, ids=lambda host: host.name)
def test_host_runs(host, tmp_path):
    code, output = run_tool([str(host)], tmp_path)
    assert code == 0, output
    assert HOSTS[host] in output


def installed_stub(module_name):
    origin = pathlib.Path(importlib.util.find_spec(module_name).origin)
    return origin.parent / (module_name.rpartition(".")[2] + ".pyi")


def test_package_is_marked_typed():
    package = pathlib.Path(importlib.util.find_spec("valdrix").origin).parent
    assert (package / "py.typed").is_file()


def declared_names(body):
    """Names a stub body binds, with whether each is an explicit re-export of an import."""
    names = {}
    for node in body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                names[alias.asname or alias.name] = alias.asname == alias.name.rpartition(".")[2]
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = True
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = True
        elif isinstance(node, ast.Assign):
            names.update((target.id, True) for target in node.targets)
    return names


def is_dunder(name):
    return name.startswith("__") and name.endswith("__")


def is_sunder(name):
    # The enumeration machinery's own members (_value_, _member_map_, ...).
    return name.startswith("_") and name.endswith("_") and not is_dunder(name)


def parse_stub(module_name):
    path = installed_stub(module_name)
    assert path.is_file(), f"{path.name} is not installed next to {module_name}"
    return ast.parse(path.read_text(encoding="utf-8"))


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_declares_every_name_the_module_binds(module_name):
    module = importlib.import_module(module_name)
    runtime = {name for name in vars(module) if not is_dunder(name)}
    declared = declared_names(parse_stub(module_name).body)
    exported = {name for name, public in declared.items() if public and (not name.startswith("_") or name in runtime)}
    assert exported == runtime


def sample_instances(tmp_path):
    from valdrix.aspekta import ImageRatioAnalyzer
    from valdrix.canvora import ImageTool
    from valdrix.comfyui.halvane import ComfyUIManager
    from valdrix.dimora import GPTImageSizeCalculator
    from valdrix.lexgard import PromptBanChecker
    from valdrix.response.faultrol import CustomErrorCode, ErrorCodeRegistry
    from valdrix.response.faultum import ErrorCode

    word_file = tmp_path / "words.txt"
    word_file.write_text("ban\n", encoding="utf-8")
    return [
        ImageTool(),
        ImageRatioAnalyzer(),
        GPTImageSizeCalculator(),
        PromptBanChecker(str(word_file)),
        ErrorCode.SUCCESS,
        CustomErrorCode("A", "a"),
        ErrorCodeRegistry(),
        ComfyUIManager(),
    ]


def test_stub_classes_declare_every_member_and_instance_attribute(tmp_path):
    instances = sample_instances(tmp_path)
    assert {type(instance).__module__ for instance in instances} == set(MODULES) - {"valdrix.resize"}
    for instance in instances:
        cls = type(instance)
        stub_classes = {node.name: node for node in parse_stub(cls.__module__).body if isinstance(node, ast.ClassDef)}
        declared = set(declared_names(stub_classes[cls.__name__].body))
        runtime = set(vars(cls)) | set(vars(instance))
        assert {name for name in declared if not is_dunder(name) and not is_sunder(name)} == {
            name for name in runtime if not is_dunder(name) and not is_sunder(name)
        }, cls.__qualname__


def test_error_code_stub_repeats_every_member_value_in_order():
    # stubtest leaves enumeration values alone; hosts that read .value rely on these.
    from valdrix.response.faultum import ErrorCode

    (stub_class,) = [node for node in parse_stub("valdrix.response.faultum").body if isinstance(node, ast.ClassDef)]
    assignments = [node for node in stub_class.body if isinstance(node, ast.Assign)]
    members = [(node.targets[0].id, ast.literal_eval(node.value)) for node in assignments]
    assert members == [(member.name, member.value) for member in ErrorCode]


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_documents_every_module_class_and_function(module_name):
    # Editors show these on hover; the runtime docstrings are the service's own.
    tree = parse_stub(module_name)
    undocumented = [node.name for node in ast.walk(tree)
                    if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not ast.get_docstring(node)]
    assert ast.get_docstring(tree) and not undocumented, undocumented


def public_names(module_name):
    """The public classes and functions that a module's stub declares, with their public members."""
    names = set()
    for node in parse_stub(module_name).body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not node.name.startswith("_"):
            names.add(node.name)
            if isinstance(node, ast.ClassDef):
                names.update(name for name in declared_names(node.body) if not name.startswith("_"))
    return names


@pytest.mark.parametrize("module_name", MODULES)
def test_every_public_name_host_uses_every_public_name(module_name):
    # The type checkers see a public name only where a host uses it.
    tree = ast.parse(EVERY_NAME_HOST.read_text(encoding="utf-8"))
    used = {node.attr for node in ast.walk(tree) if isinstance(node, ast.Attribute)}
    used |= {alias.name for node in ast.walk(tree) if isinstance(node, ast.ImportFrom) for alias in node.names}
    assert public_names(module_name) - used == set()
