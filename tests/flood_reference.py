"""Plain-Python reference of the flood metrics, written for clarity, not speed:
the native kernel must agree with it on every text."""
from __future__ import annotations

import re
from collections import Counter
from typing import Dict, List, Sequence, Tuple

WHITE_SPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)

_HEX = "[0-9A-Fa-f]"
_NORMALISE = re.compile(
    rf"(?<!{_HEX})(?P<uuid>{_HEX}{{8}}-{_HEX}{{4}}-{_HEX}{{4}}-{_HEX}{{4}}-{_HEX}{{12}})(?!{_HEX})"
    rf"|(?<!{_HEX})(?P<hex>{_HEX}{{8,}})"
    r"|(?P<digits>[0-9]+)"
)
# Placeholders outside the alphabet of the generated texts.
_MARKS = {"uuid": "\U000F0002", "hex": "\U000F0001", "digits": "\U000F0000"}


_DIGIT_RUN = re.compile("[0-9]+")


def normalise(token: str) -> str:
    return _NORMALISE.sub(lambda m: _MARKS[m.lastgroup or ""], token)


def tokens(text: str) -> Tuple[List[str], List[int]]:
    """The White_Space-separated tokens and the line feeds in the gap before each."""
    out: List[str] = []
    newlines: List[int] = []
    word: List[str] = []
    gap = 0
    for ch in text:
        if ch in WHITE_SPACE:
            if word:
                out.append("".join(word))
                word = []
            gap += ch == "\n"
        else:
            if not word:
                newlines.append(gap)
                gap = 0
            word.append(ch)
    if word:
        out.append("".join(word))
    return out, newlines


def _duplicates(items: Sequence[Tuple[Tuple[str, ...], int]]) -> Tuple[int, int]:
    seen = set()
    dup = dup_chars = 0
    for key, chars in items:
        if key in seen:
            dup += 1
            dup_chars += chars
        else:
            seen.add(key)
    return dup, dup_chars


def _covered(starts: Sequence[int], n: int, chars: Sequence[int]) -> int:
    covered = set()
    for p in starts:
        covered.update(range(p, p + n))
    return sum(chars[i] for i in covered)


def longest_run(text: str) -> float:
    data = text.encode("utf-8")
    best_len = best_start = 0
    for p in range(1, 33):
        if p >= len(data):
            break
        run = start = 0
        for i in range(len(data) - p + 1):
            if i < len(data) - p and data[i] == data[i + p]:
                if run == 0:
                    start = i
                run += 1
                continue
            if run >= 128 and run >= p and run + p > best_len:
                best_len, best_start = run + p, start
            run = 0
    if best_len == 0:
        return 0.0
    piece = data[best_start:best_start + best_len]
    return sum((b & 0xC0) != 0x80 for b in piece) / len(text)


def flood_metrics(text: str) -> Dict[str, float]:
    toks, newlines = tokens(text)
    norm = [normalise(t) for t in toks]
    chars = [len(t) for t in toks]
    total = sum(chars)
    m: Dict[str, float] = {}

    lines: List[Tuple[Tuple[str, ...], int]] = []
    paras: List[Tuple[Tuple[str, ...], int]] = []
    line: List[int] = []
    para: List[int] = []
    for i, nl in enumerate(newlines):
        if nl >= 1 and line:
            lines.append((tuple(norm[j] for j in line), sum(chars[j] for j in line)))
            line = []
        if nl >= 2 and para:
            paras.append((tuple(norm[j] for j in para), sum(chars[j] for j in para)))
            para = []
        line.append(i)
        para.append(i)
    if line:
        lines.append((tuple(norm[j] for j in line), sum(chars[j] for j in line)))
    if para:
        paras.append((tuple(norm[j] for j in para), sum(chars[j] for j in para)))
    for name, items in (("line", lines), ("para", paras)):
        dup, dup_chars = _duplicates(items)
        m[f"dup_{name}_frac"] = dup / len(items) if items else 0.0
        m[f"dup_{name}_char_frac"] = dup_chars / total if items else 0.0
    m = {k: m[k] for k in ("dup_line_frac", "dup_para_frac", "dup_line_char_frac", "dup_para_char_frac")}

    n_tokens = len(norm)
    for n in (2, 3, 4):
        grams = [tuple(norm[p:p + n]) for p in range(n_tokens - n + 1)]
        counts = Counter(grams)
        value = 0.0
        if counts and max(counts.values()) >= 2:
            top = max(counts.values())
            first = next(g for g in grams if counts[g] == top)
            starts = [p for p, g in enumerate(grams) if g == first]
            value = _covered(starts, n, chars) / total
        m[f"top_{n}_gram_char_frac"] = value
    for n in range(5, 11):
        seen = set()
        repeats = []
        for p in range(n_tokens - n + 1):
            g = tuple(norm[p:p + n])
            if g in seen:
                repeats.append(p)
            seen.add(g)
        m[f"dup_{n}_gram_char_frac"] = _covered(repeats, n, chars) / total if repeats else 0.0
    for name, seq in (("token_saturation", norm), ("raw_token_saturation", toks)):
        m[name] = 0.0
        if n_tokens >= 16:
            shingles = [tuple(seq[p:p + 8]) for p in range(n_tokens - 7)]
            m[name] = (len(shingles) - len(set(shingles))) / len(shingles)

    seen_shingles = set()
    repeated = 0
    for t in toks:
        if len(t) >= 32:
            chars_read = _DIGIT_RUN.sub(_MARKS["digits"], t)
            for i in range(len(chars_read) - 15):
                s = chars_read[i:i + 16]
                repeated += s in seen_shingles
                seen_shingles.add(s)
    m["char_saturation"] = repeated / total if total else 0.0
    m["longest_run_frac"] = longest_run(text)
    fours = Counter(tuple(norm[p:p + 4]) for p in range(n_tokens - 3))
    m["repeats"] = max(fours.values()) if fours else 0
    return m
