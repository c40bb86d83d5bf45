"""Private: probes of the native layer for the test suite."""

from typing import NoReturn

def throw_cpp_exception(kind: str) -> NoReturn:
    """Throw the C++ exception named by `kind` inside a native function."""
