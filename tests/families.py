"""Texts in the four families the window and the analysers are measured on:
ASCII, mostly ASCII with Latin-1 letters, CJK, and ASCII with emoji. Each family
keeps every str at one width (1, 1, 2 and 4 bytes per code point) and mixes in
the separators the word splitter knows."""
import random

from hypothesis import strategies as st

import analysers_reference as ref

FAMILIES = ("ascii", "latin1", "cjk", "emoji")

_ASCII = [chr(c) for c in range(0x21, 0x7F)]
_LATIN1 = [chr(c) for c in range(0xA1, 0x100)]
_CJK = [chr(c) for c in (*range(0x4E00, 0x4E40), *range(0x9F80, 0x9FA0), 0x3001, 0x3002, 0xFF01)]
_EMOJI = [chr(c) for c in (*range(0x1F600, 0x1F610), 0x1F44D, 0x1F680, 0x1F9E0, 0x10000, 0x10FFFF)]
_SPACES = [" ", " ", " ", "\n", "\t", *ref.WHITE_SPACE]


def _alphabet(family):
    extra = {"ascii": [], "latin1": _LATIN1, "cjk": _CJK, "emoji": _EMOJI}[family]
    return _ASCII, extra


def family_text(family, max_size=60):
    """A hypothesis strategy of texts of `family`."""
    base, extra = _alphabet(family)
    char = st.sampled_from(base) if not extra else st.one_of(
        st.sampled_from(base), st.sampled_from(extra), st.sampled_from(extra))
    return st.lists(st.one_of(char, char, st.sampled_from(_SPACES)), max_size=max_size).map("".join)


def any_family_text(max_size=60):
    return st.sampled_from(FAMILIES).flatmap(lambda f: family_text(f, max_size))


def random_text(family, size, seed):
    """About `size` code points of words of `family`, with a vocabulary small
    enough that words and shingles repeat."""
    rng = random.Random(f"{family}/{seed}")
    base, extra = _alphabet(family)
    vocab = []
    for _ in range(200):
        word = "".join(rng.choice(extra) if extra and rng.random() < 0.3 else rng.choice(base)
                       for _ in range(rng.randint(1, 8)))
        vocab.append(word)
    parts, n = [], 0
    while n < size:
        word = rng.choice(vocab)
        parts.append(word)
        parts.append(rng.choice(_SPACES))
        n += len(word) + 1
    return "".join(parts)
