"""Plain-Python versions of the three request analysers, written from their rules
and kept deliberately simple: the tests compare the native functions with them,
and the benchmarks time them as the baseline.

Single-precision steps round through struct; the Unicode properties (lowercase,
Final_Sigma, alphanumeric) come from the same generator that builds the native
tables, so that both sides use one Unicode version.
"""
from __future__ import annotations

import importlib.util
import math
import re
import struct
from functools import lru_cache
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

WHITE_SPACE = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
_WORD = re.compile("[^" + re.escape(WHITE_SPACE) + "]+")

HARD_WORDS = {"why", "how", "bug", "plan", "erro", "gere", "prove", "error", "falha", "monte", "prova",
              "broken", "depure", "compare"}
HARD_STEMS = ("design", "architect", "optimi", "refactor", "implement", "analy", "compar", "debug", "deriv",
              "evaluat", "integrat", "migrat", "audit", "projet", "arquitet", "otimiz", "refator", "analis",
              "planej", "avali", "estud", "viabilid", "estrateg", "constru", "desenvolv", "valid", "verific",
              "revis", "integr", "corrij", "corrig", "diagnostic", "investig")
CONSTRAINT_WORDS = {"must", "never", "always", "without", "ensure", "require", "requirement", "constraint",
                    "invariant", "except", "deve", "nunca", "sempre", "sem", "garanta", "requisito",
                    "restrição", "restricao", "invariante", "exceto", "obrigatório", "obrigatorio"}
CODE_WORDS = {"fn", "def", "class", "import", "return", "const", "let", "select", "async", "struct", "impl",
              "function", "var", "pub"}
TRIVIAL_WORDS = {"ok", "okay", "yes", "no", "thanks", "continue", "sure", "great", "good", "sim", "não",
                 "nao", "obrigado", "obrigada", "prossiga", "segue", "beleza", "certo", "show", "valeu"}
CODE_PUNCTUATION = set("();<=>`{}")


def f32(x: float) -> float:
    return struct.unpack("f", struct.pack("f", x))[0]


UCD_DIR = Path("/usr/share/unicode")


@lru_cache(maxsize=None)
def generator():
    """tools/gen_unicode_tables.py as a module."""
    loader_spec = importlib.util.spec_from_file_location("gen_unicode_tables", ROOT / "tools/gen_unicode_tables.py")
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


def ucd_unusable():
    """Why the installed database cannot serve as the reference, or None."""
    try:
        generator().ucd_version(UCD_DIR)
    except FileNotFoundError:
        return "Unicode Character Database files not installed"
    except generator().UnicodeVersionError as e:
        return str(e)
    return None


@lru_cache(maxsize=None)
def ucd():
    return generator().Ucd(UCD_DIR)


@lru_cache(maxsize=None)
def alnum_set() -> frozenset:
    u = ucd()
    return frozenset(u.alphabetic | {cp for cp, gc in u.category.items() if gc in ("Nd", "Nl", "No")})


def split_words(text: str) -> list[str]:
    return _WORD.findall(text)


def trim(word: str, alnum) -> str:
    i, j = 0, len(word)
    while i < j and ord(word[i]) not in alnum:
        i += 1
    while j > i and ord(word[j - 1]) not in alnum:
        j -= 1
    return word[i:j]


def effort_gauge(text: str, lower=None) -> dict:
    """`lower` defaults to the generator's lowercasing (the kernel's Unicode
    version); the benchmark passes str.lower."""
    low = (lower or ucd().lower_text)(text)
    alnum = alnum_set()
    words = split_words(low)
    n = len(words)
    hard = constraint = code = trivial = 0
    for w in words:
        t = trim(w, alnum)
        if t in HARD_WORDS or t.startswith(HARD_STEMS):
            hard += 1
        constraint += t in CONSTRAINT_WORDS
        code += t in CODE_WORDS
        trivial += t in TRIVIAL_WORDS
    code += sum(c in CODE_PUNCTUATION for c in low) // 6
    size = len(low.encode("utf-8"))
    digits = sum("0" <= c <= "9" for c in low)
    digit_ratio = f32(f32(digits) / f32(size)) if size else 0.0
    novelty = f32(f32(len(set(words))) / f32(n)) if n else 0.0
    len_score = min(f32(f32(n) / f32(400)), 1.0)

    def m1(x):
        return x if x < 1.0 else 1.0

    H = m1(f32(f32(hard) / 3.0))
    C = m1(f32(f32(constraint) / 6.0))
    K = m1(f32(f32(code) / 12.0))
    G = m1(f32(8.0 * digit_ratio))
    S = f32(f32(0.3) * len_score)
    S = f32(S + f32(f32(0.25) * H))
    S = f32(S + f32(f32(0.2) * C))
    S = f32(S + f32(f32(0.15) * K))
    S = f32(S + f32(f32(0.1) * G))
    F = f32(0.5 + f32(0.5 * novelty))
    score = min(max(f32(F * S), 0.0), 1.0)
    if (n <= 7 and hard == 0 and code == 0) or (n < 4 and trivial > 0):
        score = min(score, f32(0.05))
    if score < f32(0.15):
        tier = ("low", 1024) if hard > 0 and n >= 4 and score > f32(0.05) else ("off", 0)
    elif score < f32(0.4):
        tier = ("low", 1024)
    elif score < f32(0.7):
        tier = ("medium", 4096)
    else:
        tier = ("high", 16384)
    return {
        "score": score, "tier": tier[0], "budget_tokens": tier[1],
        "signals": {"words": n, "len_score": len_score, "hard_hits": hard, "constraint_hits": constraint,
                    "code_hits": code, "digit_ratio": digit_ratio, "novelty": novelty, "trivial_hits": trivial},
    }


def saturation_scan(text: str, window: int = 8) -> float:
    words = split_words(text)
    n, w = len(words), max(window, 1)
    if n < 2 * w:
        return 0.0
    shingles = n - w + 1
    seen = set()
    repeated = 0
    for i in range(shingles):
        h = hash(tuple(words[i:i + w]))
        if h in seen:
            repeated += 1
        else:
            seen.add(h)
    return f32(f32(repeated) / f32(shingles))


def _div(a: float, b: float) -> float:
    if b != 0.0 or math.isnan(b):
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def consolidation_gain(prefix_tokens, purgeable_tokens, calls_ahead=8, cache_read_ratio=0.1,
                       cache_write_ratio=1.25) -> dict:
    r, w = float(cache_read_ratio), float(cache_write_ratio)
    n = float(calls_ahead or 1)
    u = min(purgeable_tokens, prefix_tokens)
    P, R = float(prefix_tokens), float(prefix_tokens - u)
    break_even = math.inf if u == 0 else _div((w - r) * R, (P - R) * r)
    cost_consolidate = ((n + -1.0) * R) * r + w * R
    cost_keep = (P * n) * r
    gain = cost_keep - cost_consolidate
    return {"consolidate": gain > 0, "gain_token_equiv": gain, "cost_keep": cost_keep,
            "cost_consolidate": cost_consolidate, "break_even_calls": break_even}
