"""Custom error codes beyond ``ErrorCode``, and a process-wide registry of them."""

from typing import ClassVar, Dict as Dict, Optional as Optional

class CustomErrorCode:
    """One custom error code: a code string and a user-facing message.

    It answers ``code`` and ``msg`` as the members of ``ErrorCode`` do, so the host can pass
    either wherever an error code is expected.
    """

    _code: str
    """The code identifier, as given."""
    _msg: str
    """The user-facing message, as given."""

    def __init__(self, code: str, msg: str) -> None:
        """Stores ``code`` and ``msg``; both must be exactly ``str``."""

    @property
    def code(self) -> str:
        """The code identifier ("MY_ERROR")."""

    @property
    def msg(self) -> str:
        """The user-facing message."""

    def __repr__(self) -> str:
        """``CustomErrorCode('MY_ERROR', '自定义错误消息')``: both values in their ``repr``."""

class ErrorCodeRegistry:
    """A registry of custom error codes for the whole process, used through class methods.

    The codes live in the class-level dict ``_registry``, found through the class a method is
    called on: a subclass with its own ``_registry`` keeps its own codes.
    """

    _registry: ClassVar[Dict[str, CustomErrorCode]]
    """The registered codes by code string, in the order each was first registered."""

    @classmethod
    def register(cls, code: str, msg: str) -> CustomErrorCode:
        """Creates a ``CustomErrorCode``, stores it under ``code`` (replacing an earlier one) and returns it."""

    @classmethod
    def get(cls, code: str) -> Optional[CustomErrorCode]:
        """The code registered under ``code``, or ``None``."""

    @classmethod
    def list_all(cls) -> Dict[str, CustomErrorCode]:
        """A copy of the registry: changing it leaves the registry as it is."""

    @classmethod
    def clear(cls) -> None:
        """Removes every registered code."""
