"""valdrix.lexgard: prompt checks and word-list loads against the same work in plain Python with re.

The plain-Python baseline is the checker written in Python: its check runs
findall of the very pattern object the checker holds, and its load reads,
cleans and sorts the file and compiles the pattern. re's cache is emptied
before every load, on both sides, so each load really compiles.

Targets (table "check targets"): at 10,000 banned words of 5-12 letters
with IGNORECASE, check at least 20,000x faster than re on realistic
2,000-character prompts of everyday prompt words (clean, and with five
banned words), at least 1,000x on hit-dense prompts (hundreds of hits among
2,000 random characters of a small alphabet), and no slower per character
at 100,000 words than at 10,000. Load (re.compile plus the automaton's build)
within 1.05x of the plain-Python load, and within 1.1x of building the re
pattern alone (rows "vs re.compile alone": only re.compile of the finished
pattern text, no file work). Hostile word lists and memory:
bench_lexgard_adversarial.py.
"""

import os
import pathlib
import random
import re
import statistics
import tempfile
import time

from _harness import Row, compare, per_call_ns
from reference.lexgard import check as python_check, load as python_load

from valdrix.exceptions import PromptBanError
from valdrix.lexgard import PromptBanChecker

ASCII = "abcdefghijklmnopqrstuvwxyz"
WORD_COUNTS = (1_000, 10_000, 100_000)
PROMPT_LENGTHS = (200, 2_000)


def random_char(rng, kind):
    if kind == "cjk" and rng.random() < 0.5:
        return chr(rng.randint(0x4E00, 0x9FFF))
    return rng.choice(ASCII)


def make_words(count, kind, seed=7):
    rng = random.Random(seed)
    return ["".join(random_char(rng, kind) for _ in range(rng.randint(4, 10))) for _ in range(count)]


def make_prompt(length, kind, words, seed=11):
    """Mostly clean text in the words' alphabet, mixed case, with one banned word."""
    rng = random.Random(seed)
    pieces = []
    while sum(map(len, pieces)) < length:
        piece = "".join(random_char(rng, kind) for _ in range(rng.randint(2, 7)))
        pieces.append(piece.upper() if rng.random() < 0.2 else piece)
    text = " ".join(pieces)[: length - 12]
    return text + " " + words[len(words) // 2].upper() + " "


# --- the plain-Python checker -----------------------------------------------------------


def checking(check, prompt):
    def call():
        try:
            check(prompt)
        except PromptBanError:
            pass
    return call


def uneven(name, ours, baseline, ours_number, baseline_number, repeat):
    """compare() for calls whose costs differ by orders of magnitude: each side
    gets its own batch size, and the batches alternate."""
    ours_samples, baseline_samples = [], []
    for _ in range(repeat):
        ours_samples.append(per_call_ns(ours, ours_number, 1))
        baseline_samples.append(per_call_ns(baseline, baseline_number, 1))
    return Row(name, statistics.median(ours_samples), statistics.median(baseline_samples))


# --- target rows: realistic and hit-dense prompts ---------------------------------------

# Words of everyday image prompts; none of them is five letters of random text.
PROMPT_VOCABULARY = (
    "a an the of in on with and at by for from portrait photo painting illustration render close-up "
    "wide shot woman man girl boy child old young smiling face eyes hair long short red blue green "
    "golden silver black white soft warm cold light lighting cinematic dramatic studio natural sunset "
    "sunrise morning night city street forest mountain river lake ocean beach desert snow rain fog "
    "cloudy sky stars moon garden flowers trees house castle tower bridge road car train boat cat dog "
    "horse bird dragon robot spaceship futuristic ancient medieval fantasy realistic highly detailed "
    "sharp focus depth field bokeh lens 35mm 85mm canon nikon sony film grain vintage retro modern "
    "minimalist colorful pastel vibrant muted dark bright shadows reflections glowing neon lights "
    "trending artstation concept art digital oil watercolor sketch pencil ink anime style manga "
    "comic 3d octane unreal engine 8k 4k hdr masterpiece best quality ultra intricate elegant "
    "beautiful serene peaceful epic majestic cozy interior room window wooden table chair book cup "
    "coffee tea bread fruit dress suit hat glasses jacket standing sitting walking running looking "
    "viewer camera background foreground center symmetrical composition rule thirds golden hour "
    "blue hour overcast atmospheric volumetric rays dust particles smoke fire water ice crystal"
).split()


def banned_words(count, alphabet=ASCII, seed=5):
    """Distinct words of 5-12 letters."""
    rng = random.Random(seed)
    words = {}
    while len(words) < count:
        words["".join(rng.choice(alphabet) for _ in range(rng.randint(5, 12)))] = None
    return list(words)


def realistic_prompt(words, hits, length=2_000, seed=13):
    """Everyday prompt words to `length` characters, with `hits` banned words
    spread through it (upper-cased, so that IGNORECASE matters)."""
    rng = random.Random(seed)
    text = ""
    while len(text) < length:
        word = rng.choice(PROMPT_VOCABULARY)
        text += (word.capitalize() if rng.random() < 0.1 else word) + (", " if rng.random() < 0.15 else " ")
    text = text[:length]
    for i in range(hits):
        word = words[rng.randrange(len(words))].upper()
        at = text.rfind(" ", 0, (i + 1) * length // (hits + 1)) + 1
        text = text[:at] + word + " " + text[at + len(word) + 1:]
    return text[:length]


def dense_prompt(alphabet, length=2_000, seed=17):
    rng = random.Random(seed)
    return "".join(rng.choice(alphabet + alphabet.upper()) for _ in range(length))


def target_rows(folder):
    rows, checkers = [], {}
    for count in (10_000, 100_000):
        words = banned_words(count)
        path = folder / f"target-{count}.txt"
        path.write_text("\n".join(words), encoding="utf-8")
        checker = PromptBanChecker(str(path))
        prompts = [("clean", realistic_prompt(words, 0)), ("5 hits", realistic_prompt(words, 5))]
        checkers[count] = checker, dict(prompts)
        if count == 10_000:
            dense_words = banned_words(count, "abcd")
            dense_path = folder / "target-dense.txt"
            dense_path.write_text("\n".join(dense_words), encoding="utf-8")
            dense = PromptBanChecker(str(dense_path))
            text = dense_prompt("abcd")
            prompts.append((f"dense {len(dense.find_matched_words(text))} distinct hits", text))
        for label, prompt in prompts:
            owner = dense if label.startswith("dense") else checker
            assert sorted(owner.find_matched_words(prompt)) == sorted(set(owner._ban_regex.findall(prompt)))
            ours = checking(owner.check, prompt)
            baseline = checking(lambda p, owner=owner: python_check(owner._ban_regex, p), prompt)
            name = f"check {count // 1000}k realistic 2000 chars {label}" if not label.startswith("dense") \
                else f"check {count // 1000}k {label} (2000 chars)"
            rows.append(uneven(name, ours, baseline, 5000, 1, 3 if count == 100_000 else 5))
    per_character(checkers)
    return rows


def per_character(checkers):
    """The two word counts alternate batch by batch, away from re's runs,
    whose large patterns would leave the caches cold for one side only; the
    fastest batch of each is its cost without interference from other work."""
    for label in ("clean", "5 hits"):
        samples = {count: [] for count in checkers}
        for _ in range(9):
            for count, (checker, prompts) in checkers.items():
                prompt = prompts[label]
                samples[count].append(per_call_ns(checking(checker.check, prompt), 5000, 1) / len(prompt))
        ten, hundred = (min(samples[count]) for count in (10_000, 100_000))
        print(f"  lexgard per character, {label}: 10k words {ten:.2f} ns, 100k words {hundred:.2f} ns"
              f" (100k / 10k = {hundred / ten:.2f})")


# --- rows -------------------------------------------------------------------------------


def check_rows(folder):
    rows = []
    for count in WORD_COUNTS:
        for kind in ("ascii", "cjk"):
            words = make_words(count, kind)
            path = folder / f"{kind}-{count}.txt"
            path.write_text("\n".join(words), encoding="utf-8")
            for ignore_case in (True, False):
                checker = PromptBanChecker(str(path), ignore_case)
                for length in PROMPT_LENGTHS:
                    prompt = make_prompt(length, kind, words)
                    ours = checking(checker.check, prompt)
                    baseline = checking(lambda p: python_check(checker._ban_regex, p), prompt)
                    repeat = 3 if count == 100_000 else 5
                    name = f"check {count // 1000}k {kind} {length} chars {'IGNORECASE' if ignore_case else 'exact'}"
                    rows.append(uneven(name, ours, baseline, 2000, 1, repeat))
    return rows


def load_rows(folder):
    rows = []
    for count in WORD_COUNTS:
        for kind in ("ascii", "cjk"):
            words = make_words(count, kind, seed=23)
            path = str(folder / f"load-{kind}-{count}.txt")
            pathlib.Path(path).write_text("\n".join(words), encoding="utf-8")
            for ignore_case in (True, False):
                if count == 100_000 and not ignore_case:
                    continue  # the slowest rows; IGNORECASE is the harder build

                def ours():
                    re.purge()
                    PromptBanChecker(path, ignore_case)

                def baseline():
                    re.purge()
                    python_load(path, ignore_case)

                number = 1 if count == 100_000 else (3 if count == 10_000 else 20)
                repeat = 3 if count == 100_000 else 5
                name = f"load {count // 1000}k {kind} {'IGNORECASE' if ignore_case else 'exact'}"
                rows.append(compare(name, ours, baseline, number=number, repeat=repeat))
                if ignore_case and not (count == 100_000 and kind == "cjk"):
                    rows.append(compare(name + " vs re.compile alone", ours,
                                        compile_alone(python_load(path, ignore_case).pattern, ignore_case),
                                        number=number, repeat=repeat))
    return rows


def compile_alone(pattern_text, ignore_case):
    def call():
        re.purge()
        re.compile(pattern_text, flags=re.IGNORECASE if ignore_case else 0)
    return call


def run():
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        started = time.perf_counter()
        targets = target_rows(folder)
        if os.environ.get("LEXGARD_BENCH") == "targets":
            return [("lexgard: check targets vs findall of the same pattern (plain Python)", targets)]
        checks = check_rows(folder)
        loads = load_rows(folder)
    print(f"  (benchmark took {time.perf_counter() - started:.0f} s)")
    return [("lexgard: check targets vs findall of the same pattern (plain Python)", targets),
            ("lexgard: PromptBanChecker.check vs findall of the same pattern (plain Python)", checks),
            ("lexgard: load (file, clean, sort, compile) vs the plain-Python load", loads)]
