"""valdrix.lexgard on hostile prompts: word lists and prompts chosen to make
a matcher look ahead, each against re's findall of the very pattern object
the checker holds (the plain code's list(set(findall))), in the same run, at
20,000 and 200,000 characters. Targets: no row slower than re, and the cost
per character flat as the prompt grows.

Then memory, each side in a fresh process: the peak of a hit-dense scan
against re's findall list, and what a checker's build adds to re.compile at
10,000 and 100,000 words (target: pattern and automaton together at most
1.3 times the pattern alone).
"""

import pathlib
import random
import statistics
import subprocess
import sys

from _harness import Row, per_call_ns

from valdrix.lexgard import PromptBanChecker

LENGTHS = (20_000, 200_000)


def repeated(piece, length):
    return (piece * (length // len(piece) + 1))[:length]


def near_miss_phrases(count=200, seed=3):
    rng = random.Random(seed)
    vocabulary = ("red dragon fire breath naked body blood gore knife weapon bomb drug smoke night "
                  "dark violent scene explicit content horror").split()
    phrases = {" ".join(rng.choice(vocabulary) for _ in range(rng.randint(3, 5))) for _ in range(count)}
    return sorted(phrases, key=len, reverse=True)


def near_miss_text(phrases, length):
    """Every phrase with its last letter changed, over and over."""
    return repeated(" ".join(phrase[:-1] + "#" for phrase in phrases) + " ", length)


# name: (words in list order, prompt of a given length)
SHAPES = {
    "short word before a longer one it begins": (["a", "a" * 2000 + "b"], lambda n: "a" * n),
    "long shared prefixes, longest first": (
        ["ab" * 100 + "x", "ab" * 100 + "y", "ab" * 60 + "z", "ab" * 20 + "w"], lambda n: repeated("ab", n)),
    "200 nested prefixes, longest first": (["a" * k for k in range(200, 0, -1)],
                                           lambda n: repeated("a" * 150 + "b", n)),
    "near-miss phrases": (near_miss_phrases(), lambda n: near_miss_text(near_miss_phrases(), n)),
}


def checker_of(words):
    checker = PromptBanChecker.__new__(PromptBanChecker)
    checker.banned_words, checker.ignore_case = list(words), True
    checker._build_regex()
    return checker


def best_of(call, repeat):
    return min(per_call_ns(call, 1, 1) for _ in range(repeat))


def adversarial_rows():
    rows = []
    for name, (words, prompt_of) in SHAPES.items():
        checker = checker_of(words)
        pattern = checker._ban_regex
        for length in LENGTHS:
            text = prompt_of(length)
            assert sorted(checker.find_matched_words(text)) == sorted(set(pattern.findall(text)))
            repeat = 3 if length > 100_000 else 5
            ours = best_of(lambda: checker.find_matched_words(text), repeat)
            baseline = best_of(lambda: list(set(pattern.findall(text))), repeat)
            rows.append(Row(f"{name}, {length:,} chars", ours, baseline))
    return rows


# --- memory -----------------------------------------------------------------------------

PEAK_PROBE = r"""
import re, sys
from valdrix.lexgard import PromptBanChecker

def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field))

side, length = sys.argv[1], int(sys.argv[2])
checker = PromptBanChecker.__new__(PromptBanChecker)
checker.banned_words, checker.ignore_case = ["a"], True
checker._build_regex()
text = "a" * length
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak starts again from here
before = status("VmRSS")
hits = checker.find_matched_words(text) if side == "ours" else list(set(checker._ban_regex.findall(text)))
print(status("VmHWM") - before)
"""

# What a checker holds against what the plain code holds: the whole load
# (the file's words and the compiled pattern), and the pattern alone (its
# build from words at hand: re.compile, and for valdrix the automaton too).
FOOTPRINT_PROBE = r"""
import ctypes, os, pathlib, sys, tempfile
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, os.path.dirname(sys.argv[1]))
from bench_lexgard import banned_words
from reference.lexgard import compile_words, load_words
from valdrix.lexgard import PromptBanChecker

def resident():
    ctypes.CDLL(None).malloc_trim(0)  # what was freed goes back, on both sides
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

count, what, side = int(sys.argv[2]), sys.argv[3], sys.argv[4]
path = pathlib.Path(tempfile.mkdtemp()) / "words.txt"
path.write_text("\n".join(banned_words(count)), encoding="utf-8")
words = sorted(dict.fromkeys(banned_words(count)), key=len, reverse=True)
before = resident()
if what == "load":
    if side == "ours":
        kept = PromptBanChecker(str(path))
    else:
        loaded = load_words(str(path))
        kept = loaded, compile_words(loaded, True)
elif side == "ours":
    kept = PromptBanChecker.__new__(PromptBanChecker)
    kept.banned_words, kept.ignore_case = words, True
    kept._build_regex()
else:
    kept = compile_words(words, True)
print(resident() - before)
"""


def probe(script, *arguments):
    out = subprocess.run([sys.executable, "-c", script, *map(str, arguments)], capture_output=True, text=True,
                         check=True).stdout
    return int(out.split()[-1])


def memory_report():
    here = pathlib.Path(__file__).resolve().parent
    print("\nlexgard memory, each side in a fresh process (ratio: valdrix / re)")
    for length in (10_000_000, 40_000_000):
        ours, plain = probe(PEAK_PROBE, "ours", length), probe(PEAK_PROBE, "re", length)
        print(f"  peak of a scan of {length:,} hits of one word   valdrix {ours / 1e6:8.1f} MB"
              f"   re findall {plain / 1e6:8.1f} MB   ratio {ours / plain:.3f}")
    for what, label in (("load", "checker (words and pattern)"), ("build", "pattern alone (build)")):
        for count in (10_000, 100_000):
            # the median of three runs of each side: resident memory moves by a few hundred kB
            ours = statistics.median(probe(FOOTPRINT_PROBE, here, count, what, "ours") for _ in range(3))
            plain = statistics.median(probe(FOOTPRINT_PROBE, here, count, what, "re") for _ in range(3))
            print(f"  {label}, {count:,} words{'':<6} valdrix {ours / 1e6:8.1f} MB   plain {plain / 1e6:8.1f} MB"
                  f"   ratio {ours / plain:.3f}")


def run():
    rows = adversarial_rows()
    memory_report()
    return ("lexgard: hostile prompts vs re's findall of the same pattern object", rows)
