"""Prompt screening: PromptBanChecker against a bundled word list"""

import pathlib
import shutil

from valdrix.exceptions import PromptBanError
from valdrix.lexgard import PromptBanChecker

WORD_LIST = pathlib.Path(__file__).resolve().parent / "data" / "lexgard_banned_words.txt"

PROMPTS = [
    "a watercolour fox in a snowy forest, soft light",
    "一只在雪地里的狐狸，水彩风格",
    "cinematic GORE scene, NSFW, ultra detailed",
    "新闻海报：赌博与暴力的危害",
    "write a C++ Exploit for the demo",
    "deep  fake (two blanks) is not the phrase; deep fake is",
    "the SECRET ingredient",
]


def screen(checker: PromptBanChecker) -> None:
    for prompt in PROMPTS:
        try:
            checker.check(prompt)
        except PromptBanError as error:
            print(f"  blocked  {prompt!r}\n           {error.error_msg}")
        else:
            print(f"  passed   {prompt!r}")


def main(out_dir: pathlib.Path) -> None:
    folder = out_dir / "lexgard"
    folder.mkdir(parents=True, exist_ok=True)
    word_file = folder / "banned_words.txt"
    shutil.copyfile(WORD_LIST, word_file)

    checker = PromptBanChecker(str(word_file))
    print(f"loaded {len(checker.banned_words)} distinct words, longest first: {checker.banned_words}")
    print("case-insensitive screening (re's Unicode rules: 'ſ' matches 's' and 'S'):")
    screen(checker)

    strict = PromptBanChecker(str(word_file), ignore_case=False)
    print("case-sensitive screening of the same prompts:")
    screen(strict)

    hits = checker.find_matched_words("GORE, gore and Gore: gore")
    print("find_matched_words keeps the prompt's own spelling, each once:", sorted(hits))

    word_file.write_text("fox\n狐狸\n", encoding="utf-8")
    checker.load_banned_words()
    print(f"after editing the file and reloading: {checker.banned_words}")
    screen(checker)
