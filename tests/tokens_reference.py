"""A plain-Python reference of the token estimate's features.

The native kernel scans a text once and counts, per class of character and per
run, the features below; the estimate is their dot product with a tokenizer
family's coefficients. This module computes the same counts one character at a
time, slowly and plainly, for the comparison tests and for the fitting tool.
"""

from __future__ import annotations

from typing import List, Sequence

# Feature slots, in the order of the coefficient tables.
FEATURES = (
    "letters",           # ASCII letters
    "words",             # runs of ASCII letters
    "case_switches",     # lower->upper, or upper->lower after two uppers, inside a run
    "digits",
    "digit_runs",
    "mixed_words",       # an ASCII letter right after a non-ASCII character
    "spaces",
    "space_runs",        # runs of two or more spaces
    "newlines",
    "other_space",       # tab, carriage return, other ASCII controls
    "punctuation",       # other printable ASCII
    "punctuation_runs",
    "latin_ext",         # U+0080-U+037F (lead bytes C2-CD): Latin-1, Latin extended, IPA, combining marks
    "greek",             # U+0380-U+03FF (CE-CF)
    "cyrillic",          # U+0400-U+053F (D0-D4)
    "rtl",               # U+0540-U+07FF (D5-DF): Armenian, Hebrew, Arabic, Syriac, Thaana, NKo
    "indic_thai",        # U+0800-U+0FFF (E0): Indic scripts, Thai, Lao, Tibetan
    "lead_e1",           # U+1000-U+1FFF (E1): Myanmar, Georgian, Jamo, Ethiopic, Latin/Greek extended
    "symbols",           # U+2000-U+2FFF (E2): punctuation, arrows, maths, box drawing, dingbats
    "cjk",               # U+3000-U+9FFF (E3-E9): CJK punctuation, kana, ideographs
    "hangul",            # U+A000-U+DFFF (EA-ED): Yi, Hangul syllables
    "compat",            # U+E000-U+FFFF (EE-EF): private use, compatibility forms, variation selectors
    "astral",            # U+10000 and up (F0-F4): emoji, historic scripts, rare ideographs
    "non_ascii_runs",    # runs of non-ASCII characters
)
N_FEATURES = len(FEATURES)

# Character classes.
LOWER, UPPER, DIGIT, SPACE, NEWLINE, OTHER_SPACE, PUNCT = range(7)
_MULTI_BASE = 7  # class 7 + k is multi-byte group k (feature 12 + k)
# Upper bounds (exclusive) of the multi-byte groups, by code point.
# They fall on UTF-8 lead-byte boundaries: a group is a range of lead bytes.
GROUP_ENDS = (0x380, 0x400, 0x540, 0x800, 0x1000, 0x2000, 0x3000, 0xA000, 0xE000, 0x10000, 0x110000)


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
    for k, end in enumerate(GROUP_ENDS):
        if c < end:
            return _MULTI_BASE + k
    return _MULTI_BASE + len(GROUP_ENDS) - 1


def features(text: str) -> List[int]:
    f = [0] * N_FEATURES
    prev = -1  # class of the previous character
    prev2 = -1  # and of the one before it
    space_run = 0
    for ch in text:
        c = char_class(ord(ch))
        letter = c == LOWER or c == UPPER
        prev_letter = prev == LOWER or prev == UPPER
        if letter:
            f[0] += 1
            if not prev_letter:
                f[1] += 1
            elif (prev == LOWER and c == UPPER) or (prev == UPPER and c == LOWER and prev2 == UPPER):
                f[2] += 1
            if prev >= _MULTI_BASE:
                f[5] += 1
        elif c == DIGIT:
            f[3] += 1
            if prev != DIGIT:
                f[4] += 1
        elif c == SPACE:
            f[6] += 1
            space_run += 1
            if space_run == 2:
                f[7] += 1
        elif c == NEWLINE:
            f[8] += 1
        elif c == OTHER_SPACE:
            f[9] += 1
        elif c == PUNCT:
            f[10] += 1
            if prev != PUNCT:
                f[11] += 1
        else:
            f[12 + c - _MULTI_BASE] += 1
            if prev < _MULTI_BASE:
                f[23] += 1
        if c != SPACE:
            space_run = 0
        prev2 = prev
        prev = c
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
