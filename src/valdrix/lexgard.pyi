"""Prompt screening against a UTF-8 file of banned words or phrases, one per line."""

import os as os
import re as re
from typing import List as List, Optional, Set as Set

from .exceptions import PromptBanError as PromptBanError

class PromptBanChecker:
    """Loads banned words from a file and finds them in prompts.

    The words are compiled into one ``re`` alternation, longest first, so matches are what
    ``re`` finds: substrings anywhere, left to right without overlaps, the longest word at
    each position, case-insensitive unless ``ignore_case=False``.
    """

    ban_word_file: str
    """Path of the banned-word file, as given; ``load_banned_words`` reads it again."""
    ignore_case: bool
    """Whether matching ignores letter case; takes effect when the pattern is rebuilt."""
    banned_words: List[str]
    """The file's distinct, stripped, non-blank lines, longest first (stable)."""
    _ban_regex: Optional[re.Pattern[str]]
    """The compiled alternation of ``banned_words``, or ``None`` while there are none."""

    def __init__(self, ban_word_file: str, ignore_case: bool = True) -> None:
        """Reads the banned-word file and builds the pattern.

        Raises ``FileNotFoundError`` when the path does not exist; errors of opening,
        reading or decoding the file (strict UTF-8) pass through.
        """

    def load_banned_words(self) -> None:
        """Reads the file named by ``ban_word_file`` again and rebuilds the words and the pattern.

        Each line is stripped of white space; blank lines and repeats are dropped; the words
        are sorted longest first. A load that fails keeps the previous words and pattern.
        """

    def _build_regex(self) -> None:
        """Rebuilds ``_ban_regex`` from the current ``banned_words`` and ``ignore_case``."""

    def find_matched_words(self, text: str) -> List[str]:
        """Each distinct banned text found in ``text``, spelled as in ``text``, in no set order."""

    def check(self, prompt: str) -> str:
        """Returns ``prompt`` itself when it holds no banned word.

        Otherwise raises ``PromptBanError`` with ``error_msg`` "Prohibited prompt words: "
        followed by the hits joined by "," and ``data`` the list of hits.
        """
