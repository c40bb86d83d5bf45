"""The package's public extension modules, read from the installed package.

Tests, fuzzers and their rows per module take the list from here, so that a
module added under src/valdrix is covered (or a table missing its row fails)
without anyone remembering to extend a list. Files are listed, not imported:
listing must not run a module's import-time code, which some tests watch.
"""

import importlib.machinery
import importlib.util
import pathlib

PACKAGE = "valdrix"


def _module_name(file: pathlib.Path) -> str | None:
    # The longest suffix first: ".cpython-312-x86_64-linux-gnu.so" before ".so".
    for suffix in sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True):
        if file.name.endswith(suffix):
            stem = file.name[: -len(suffix)]
            # A dot left in the stem means a build for another interpreter
            # ("x.cpython-313-....so" seen through ".so"), which this one cannot import.
            return None if "." in stem else stem
    return None


def public_modules() -> list[str]:
    """Dotted names of the installed package's extension modules whose names
    have no leading underscore (at any level), sorted."""
    spec = importlib.util.find_spec(PACKAGE)
    found = set()
    for folder in map(pathlib.Path, spec.submodule_search_locations):
        for file in folder.rglob("*"):
            stem = _module_name(file) if file.is_file() else None
            if stem is None:
                continue
            parts = [*file.parent.relative_to(folder).parts, stem]
            if not any(part.startswith("_") for part in parts):
                found.add(".".join([PACKAGE, *parts]))
    return sorted(found)


def short_name(module: str) -> str:
    """The name a module is known by in tables and reports: its last part."""
    return module.rpartition(".")[2]
