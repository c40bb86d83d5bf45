"""Fuzzes PromptBanChecker with untrusted word files and prompts.

Input layout: a flag byte (ignore_case, splice a banned word into the
prompt, swap its case, hostile shapes), a byte that splits the rest into the
word file's bytes and the prompt (UTF-8, undecodable bytes kept as lone
surrogates). After the first screening the word file is rewritten with the
prompt's bytes and reloaded into the same checker, then the word file's text
is screened. With the hostile flag the checker also gets, after its words,
longer words that begin with them (repeated, as look-ahead costs most), and
screens its prompt repeated past a chunk of the scan.
"""

from __future__ import annotations

import os
import re
import tempfile

from reference.lexgard import load_words
from valdrix.exceptions import PromptBanError
from valdrix.lexgard import PromptBanChecker

from . import common

HEADER = 2
WORD_FILE = os.path.join(tempfile.mkdtemp(prefix="valdrix-fuzz-"), "banned.txt")

# Loading: a file that is not UTF-8 raises the interpreter's decoding error.
LOAD_ALLOWED = (UnicodeDecodeError,)
# Screening: check() reports hits with PromptBanError; nothing else.
CHECK_ALLOWED = (PromptBanError,)


def check_loaded(checker, what):
    words = load_words(WORD_FILE)
    if checker.banned_words != words:
        raise common.ContractBroken(f"{what}: banned_words {checker.banned_words!r} != {words!r}")
    if not words:
        if checker._ban_regex is not None:
            raise common.ContractBroken(f"{what}: a pattern for no words")
        return
    pattern = "|".join(map(re.escape, words))
    flags = re.IGNORECASE if checker.ignore_case else 0
    regex = checker._ban_regex
    if regex.pattern != pattern or regex.flags != re.compile(pattern, flags).flags:
        raise common.ContractBroken(f"{what}: pattern {regex.pattern!r}/{regex.flags} != {pattern!r}/{flags}")


def screen(checker, text, what):
    expected = set(checker._ban_regex.findall(text)) if checker._ban_regex is not None else set()
    found = checker.find_matched_words(text)
    if type(found) is not list or found != list(expected):
        raise common.ContractBroken(f"{what}: find_matched_words({text!r}) = {found!r}, re finds {expected!r}")
    try:
        result = checker.check(text)
    except CHECK_ALLOWED as error:
        if not expected or set(error.data) != expected or type(error.data) is not list:
            raise common.ContractBroken(f"{what}: check({text!r}) reported {error.data!r}") from error
        message = "Prohibited prompt words: " + ",".join(error.data)
        if error.error_msg != message:
            raise common.ContractBroken(f"{what}: message {error.error_msg!r} != {message!r}") from error
        return
    if expected or result is not text:
        raise common.ContractBroken(f"{what}: check({text!r}) passed with hits {expected!r}")


def load(call, what):
    """The checker (or the reload's None), or None after a documented failure."""
    try:
        return ("ok", call())
    except LOAD_ALLOWED:
        try:
            load_words(WORD_FILE)
        except LOAD_ALLOWED:
            return ("refused", None)
        raise
    except Exception as error:
        raise common.ContractBroken(f"{what}: undocumented {type(error).__name__}: {error!r}") from error


def spliced(prompt, words, flags, pick):
    if not (flags & 2) or not words:
        return prompt
    word = words[pick % len(words)]
    if flags & 4:
        word = word.swapcase()
    cut = pick % (len(prompt) + 1)
    return prompt[:cut] + word + prompt[cut:]


def hostile(checker, prompt, flags):
    if not (flags & 8) or not checker.banned_words:
        return
    words = checker.banned_words
    checker.banned_words = words + [word * 30 + "\x00" for word in words[:3]] + [words[0] * 2]
    checker._build_regex()
    text = (prompt or words[0]) * (40_000 // (len(prompt) + 1) + 1)
    screen(checker, text[:40_000], "hostile shapes")


def test_one_input(data: bytes) -> None:
    if len(data) < HEADER:
        return
    flags, split = data[0], data[1]
    body = data[HEADER:]
    cut = split * len(body) // 255
    file_bytes, prompt_bytes = body[:cut], body[cut:]
    with open(WORD_FILE, "wb") as file:
        file.write(file_bytes)
    ignore_case = bool(flags & 1)
    kind, checker = load(lambda: PromptBanChecker(WORD_FILE, ignore_case), "constructor")
    if kind != "ok":
        return
    check_loaded(checker, "constructor")
    prompt = spliced(prompt_bytes.decode("utf-8", "surrogateescape"), checker.banned_words, flags, split)
    screen(checker, prompt, "first load")

    before = (checker.banned_words, checker._ban_regex)
    with open(WORD_FILE, "wb") as file:
        file.write(prompt_bytes)
    kind, _ = load(checker.load_banned_words, "reload")
    if kind != "ok":
        if (checker.banned_words, checker._ban_regex) != before:
            raise common.ContractBroken("a failed reload changed the checker")
    else:
        check_loaded(checker, "reload")
    text = spliced(file_bytes.decode("utf-8", "surrogateescape"), checker.banned_words, flags, split + 1)
    screen(checker, text, "after reload")
    hostile(checker, prompt, flags)


def seeds() -> list[bytes]:
    samples = [
        ("abc\nab\n\n  xy  \nabcd\nab\n", "xabcx ab abcd"),
        ("abc\n", "ABC or abc"),
        ("a.b\nc++\n(x)\n", "a.b axb c++ (x)"),
        ("aa\n", "aaa"),
        ("\ufeffword\r\nother\rthird\u3000\n#comment\n", "word other third #comment"),
        ("ǅ\nß\nſ\nΣ\nς\nİ\nK\n", "ǆǄ SS ss s S σ Σ i̇ İ k K"),
        ("暴力\n色情 内容\n", "一段暴力的色情 内容"),
        ("", "anything"),
        ("\n\n \t\n", "anything"),
        ("x" * 40 + "\nx\n", "x" * 100),
        ("a\nab\n", "a" * 300 + "b"),
        ("lorem ipsum dolor\nlorem ipsum\n", "lorem ipsum dolo LOREM IPSUM "),
        ("\n".join("a" * k for k in range(1, 40)), "a" * 45 + "B"),
    ]
    entries = []
    for index, (words, prompt) in enumerate(samples):
        file_bytes, prompt_bytes = words.encode(), prompt.encode()
        body = file_bytes + prompt_bytes
        split = (len(file_bytes) * 255 + len(body) - 1) // len(body) if body else 0
        entries.append(bytes([index % 16, split]) + body)
    entries.append(bytes([1, 128]) + b"\xff\xfeabc\nab\n")
    return entries

