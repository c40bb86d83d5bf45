"""libFuzzer (atheris) over PromptBanChecker with untrusted word files and prompts.

The harness itself (input layout, checks, seeds) is tests/fuzzing/prompt_ban.py.
"""

import _driver
from fuzzing import prompt_ban

if __name__ == "__main__":
    _driver.main(prompt_ban, "prompt_ban")
