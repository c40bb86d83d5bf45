"""Exceptions raised by valdrix modules."""

from typing import Any


class PromptBanError(Exception):
    """A prompt contains banned words.

    ``error_msg`` is the user-facing text, ``data`` the list of words found.
    """

    def __init__(self, error_msg: str = "", data: Any = None) -> None:
        super().__init__(error_msg)
        self.error_msg = error_msg
        self.data = data

    def __str__(self) -> str:
        return str(self.error_msg)
