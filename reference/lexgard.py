"""valdrix.lexgard in plain Python: loading a banned-word file and screening text with re."""

import re

from valdrix.exceptions import PromptBanError


def load_words(path):
    """The file's words: stripped, blank lines skipped, first occurrences kept, longest first."""
    with open(path, "r", encoding="utf-8") as file:
        seen, words = set(), []
        for line in file:
            word = line.strip()
            if word and word not in seen:
                seen.add(word)
                words.append(word)
    words.sort(key=len, reverse=True)
    return words


def compile_words(words, ignore_case):
    pattern = "|".join(re.escape(word) for word in words)
    return re.compile(pattern, flags=re.IGNORECASE if ignore_case else 0)


def load(path, ignore_case):
    """What a checker's load leaves behind: the compiled pattern of the file's words."""
    return compile_words(load_words(path), ignore_case)


def check(pattern, prompt):
    hits = list(set(pattern.findall(prompt)))
    if hits:
        raise PromptBanError(error_msg="Prohibited prompt words: " + ",".join(hits), data=hits)
    return prompt
