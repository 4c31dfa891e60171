"""A plain-Python reference of the token estimate's features.

The native kernel scans a text once and counts, per class of character and per
run, the features below; the estimate is their dot product with a tokenizer
family's coefficients. This module computes the same counts one character at a
time, slowly and plainly, for the comparison tests and for the fitting tool.
"""

from __future__ import annotations

from typing import FrozenSet, List, Sequence, Tuple

# Feature slots, in the order of the coefficient tables.
FEATURES = (
    "letters",           # ASCII letters
    "words",             # runs of ASCII letters
    "case_switches",     # lower->upper, or upper->lower after two uppers, inside a run
    "capitalised",       # runs of ASCII letters that start with an upper-case letter
    "digit_runs",
    "digit_groups",      # one per three digits of a run, from its start: 1234567 is 3
    "spaced_digits",     # digit runs right after a space (which stays a token of its own)
    "spaces",
    "space_runs",        # runs of two or more spaces (counted once, at the second)
    "newline_runs",
    "other_space",       # tab, carriage return, other ASCII controls
    "punctuation",       # other printable ASCII
    "punctuation_runs",
    "foreign_pairs",     # two ASCII letters in a row, case-folded, that FOREIGN_PAIRS holds
    "rare_letters",      # j k q v w x y z, either case
    "accented_words",    # characters of the words (runs of ASCII letters and Latin
                         # characters) that hold at least one Latin character
    "symbols",           # U+0080-U+00BF, U+2000-U+2FFF: Latin-1 signs, punctuation, arrows, maths, box drawing
    "latin",             # U+00C0-U+036F, U+1E00-U+1EFF: accented Latin letters, IPA, combining marks, Vietnamese
    "greek",             # U+0370-U+03FF, U+1F00-U+1FFF
    "cyrillic",          # U+0410-U+044F: the 32 letters of Russian, both cases
    "cyrillic_other",    # U+0400-U+040F, U+0450-U+052F: ё, і, ї, є, ў, ђ, ј, љ, њ, ћ, џ and the rest
    "hebrew",            # U+0530-U+05FF: Armenian, Hebrew
    "arabic",            # U+0600-U+08FF: Arabic, Syriac, Thaana, NKo, Samaritan
    "indic",             # U+0900-U+0DFF: Devanagari to Sinhala
    "thai",              # U+0E00-U+0FFF: Thai, Lao, Tibetan
    "georgian",          # U+1000-U+10FF: Myanmar, Georgian
    "ethiopic",          # U+1200-U+1DFF: Ethiopic, Cherokee, Canadian syllabics, Khmer, Mongolian, ...
    "cjk",               # U+3000-U+9FFF: CJK punctuation, kana, ideographs
    "hangul",            # U+1100-U+11FF, U+A000-U+D7FF: Jamo, Yi, Hangul syllables
    "compat",            # U+D800-U+FFFF: surrogates, private use, compatibility forms, variation selectors
    "astral",            # U+10000 and up: emoji, historic scripts, rare ideographs
    "non_ascii_runs",    # runs of non-ASCII characters
)
N_FEATURES = len(FEATURES)
_F = {name: k for k, name in enumerate(FEATURES)}

# Letter pairs (case-folded) that European languages other than English use far
# more than English and code do: the pair's share among the Latin-family training
# texts is at least 1.5 times its share among the English and code ones (with one
# added to every count). tools/fit_token_estimate.py derives it from the corpus;
# the native kernel holds the same table. By first letter, the second letters.
FOREIGN_PAIR_ROWS: Tuple[str, ...] = (
    "afhjkoqvz",  # a
    "bghinqtvwz",  # b
    "ijsxz",  # c
    "aehjkmnopqrtuvz",  # d
    "bghijknuz",  # e
    "egjkwz",  # f
    "abdgjkoqwxyz",  # g
    "bdjklnvyz",  # h
    "aehijkquwy",  # i
    "abdefgijklmnorstvwxyz",  # j
    "abcghijklmoqrtuvxyz",  # k
    "abghjkmnvxz",  # l
    "dghiklnqyz",  # m
    "behimquwz",  # n
    "ahijkqsvyz",  # o
    "bcgjkmnovz",  # p
    "bcdefghjkmptvwxyz",  # q
    "abhjquz",  # r
    "abcdjklovz",  # s
    "ajknqvz",  # t
    "dhijkoquvwxyz",  # u
    "abcdfghijklnopqrsuvwyz",  # v
    "gkquvxyz",  # w
    "bgjknoqruvz",  # x
    "abcdefghjklmquwyz",  # y
    "abcdeghijklmnopqrstuvwxyz",  # z
)
FOREIGN_PAIRS: FrozenSet[str] = frozenset(
    chr(0x61 + k) + second for k, row in enumerate(FOREIGN_PAIR_ROWS) for second in row
)

# Character classes.
LOWER, UPPER, DIGIT, SPACE, NEWLINE, OTHER_SPACE, PUNCT, MULTI = range(8)

# The non-ASCII groups: (first code point, end exclusive, feature), covering
# U+0080 to U+10FFFF without gaps. Every bound is a multiple of 16.
GROUP_RANGES = (
    (0x80, 0xC0, "symbols"),
    (0xC0, 0x370, "latin"),
    (0x370, 0x400, "greek"),
    (0x400, 0x410, "cyrillic_other"),
    (0x410, 0x450, "cyrillic"),
    (0x450, 0x530, "cyrillic_other"),
    (0x530, 0x600, "hebrew"),
    (0x600, 0x900, "arabic"),
    (0x900, 0xE00, "indic"),
    (0xE00, 0x1000, "thai"),
    (0x1000, 0x1100, "georgian"),
    (0x1100, 0x1200, "hangul"),
    (0x1200, 0x1E00, "ethiopic"),
    (0x1E00, 0x1F00, "latin"),
    (0x1F00, 0x2000, "greek"),
    (0x2000, 0x3000, "symbols"),
    (0x3000, 0xA000, "cjk"),
    (0xA000, 0xD800, "hangul"),
    (0xD800, 0x10000, "compat"),
    (0x10000, 0x110000, "astral"),
)
RARE = frozenset("jkqvwxyzJKQVWXYZ")


def char_class(c: int) -> int:
    if c < 0x80:
        if 0x61 <= c <= 0x7A:
            return LOWER
        if 0x41 <= c <= 0x5A:
            return UPPER
        if 0x30 <= c <= 0x39:
            return DIGIT
        if c == 0x20:
            return SPACE
        if c == 0x0A:
            return NEWLINE
        if c < 0x20 or c == 0x7F:
            return OTHER_SPACE
        return PUNCT
    return MULTI


def group_of(c: int) -> int:
    """The feature slot of a non-ASCII code point."""
    for lo, hi, name in GROUP_RANGES:
        if lo <= c < hi:
            return _F[name]
    return _F["astral"]


def features(text: str, pairs: FrozenSet[str] = FOREIGN_PAIRS) -> List[int]:
    f = [0] * N_FEATURES
    prev = -1  # class of the previous character
    prev2 = -1  # and of the one before it
    prev_char = ""
    space_run = 0
    digit_run = 0
    word = 0  # characters of the current word (ASCII letters and Latin characters)
    accented = False  # whether the current word holds a Latin character
    for ch in text:
        o = ord(ch)
        c = char_class(o)
        letter = c == LOWER or c == UPPER
        prev_letter = prev == LOWER or prev == UPPER
        latin = False
        if letter:
            f[_F["letters"]] += 1
            if not prev_letter:
                f[_F["words"]] += 1
                if c == UPPER:
                    f[_F["capitalised"]] += 1
            else:
                if (prev == LOWER and c == UPPER) or (prev == UPPER and c == LOWER and prev2 == UPPER):
                    f[_F["case_switches"]] += 1
                if (prev_char + ch).lower() in pairs:
                    f[_F["foreign_pairs"]] += 1
            if ch in RARE:
                f[_F["rare_letters"]] += 1
        elif c == DIGIT:
            if prev != DIGIT:
                f[_F["digit_runs"]] += 1
                digit_run = 0
                if prev == SPACE:
                    f[_F["spaced_digits"]] += 1
            if digit_run % 3 == 0:
                f[_F["digit_groups"]] += 1
            digit_run += 1
        elif c == SPACE:
            f[_F["spaces"]] += 1
            space_run += 1
            if space_run == 2:
                f[_F["space_runs"]] += 1
        elif c == NEWLINE:
            if prev != NEWLINE:
                f[_F["newline_runs"]] += 1
        elif c == OTHER_SPACE:
            f[_F["other_space"]] += 1
        elif c == PUNCT:
            f[_F["punctuation"]] += 1
            if prev != PUNCT:
                f[_F["punctuation_runs"]] += 1
        else:
            g = group_of(o)
            f[g] += 1
            latin = g == _F["latin"]
            if prev != MULTI:
                f[_F["non_ascii_runs"]] += 1
        if c != SPACE:
            space_run = 0
        if letter or latin:
            word += 1
            if latin and not accented:
                accented = True
                f[_F["accented_words"]] += word - 1  # the characters before it
            if accented:
                f[_F["accented_words"]] += 1
        else:
            word = 0
            accented = False
        prev2 = prev
        prev = c
        prev_char = ch
    return f


SCALE_BITS = 16


def estimate(text: str, coefficients: Sequence[int]) -> int:
    """The estimate from the features and fixed-point coefficients (units of
    2**-16 tokens): the dot product, rounded half up, at least 1 for a text that
    is not empty."""
    if not text:
        return 0
    total = sum(n * w for n, w in zip(features(text), coefficients))
    return max(1, (total + (1 << (SCALE_BITS - 1))) >> SCALE_BITS)
