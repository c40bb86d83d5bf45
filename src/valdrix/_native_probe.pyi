"""Private: probes of the native layer for the test suite."""

from typing import NoReturn, TypeVar

_T = TypeVar("_T")

def throw_cpp_exception(kind: str) -> NoReturn:
    """Throw the C++ exception named by `kind` inside a native function."""

def identity(value: _T) -> _T:
    """Return `value`, through the native function layer."""

def bare_identity(value: _T, /) -> _T:
    """Return the argument: a bare METH_FASTCALL function."""
