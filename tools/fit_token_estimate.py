"""Fit the token estimate's coefficient tables and write the report.

Reads the corpus of tools/token_corpus.py (with --count), derives the table of
foreign letter pairs from the training texts, computes each text's features with
the plain-Python reference (tests/tokens_reference.py), and fits one coefficient
per feature for o200k_base and cl100k_base by non-negative least squares on the
relative error (each row divided by its real count). Every content family weighs
alike and, inside a family, every language alike; the Latin family weighs
LATIN_WEIGHT times as much, because its texts share the ASCII-letter features
with English and code and would otherwise be fitted as English is. The fit sees
only the training sources; the report gives real / estimate on the held-out ones,
per family and per language.

    python tools/token_corpus.py --count -o /tmp/token_corpus.jsonl
    python tools/fit_token_estimate.py /tmp/token_corpus.jsonl --report tools/token_fit_report.md
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import re
import statistics
import sys
from typing import Dict, FrozenSet, List, Sequence, Tuple

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from tokens_reference import FEATURES, FOREIGN_PAIRS, SCALE_BITS, features  # noqa: E402

TOKENIZERS = ("o200k", "cl100k")
LATIN_WEIGHT = 4.0
PAIR_RATIO = 1.5  # a pair is foreign when its Latin share is this many times its English one
SCRIPT_FAMILIES = ("latin", "cyrillic", "other_scripts")
_LETTERS = "abcdefghijklmnopqrstuvwxyz"


def letter_pairs(text: str) -> List[str]:
    return [w[i : i + 2] for w in re.findall(r"[a-z]+", text.lower()) for i in range(len(w) - 1)]


def foreign_pairs(rows: Sequence[Dict[str, object]]) -> FrozenSet[str]:
    english: collections.Counter[str] = collections.Counter()
    latin: collections.Counter[str] = collections.Counter()
    for r in rows:
        if r["held_out"]:
            continue
        if r["family"] in ("english", "code"):
            english.update(letter_pairs(str(r["text"])))
        elif r["family"] == "latin":
            latin.update(letter_pairs(str(r["text"])))
    te, tl = sum(english.values()), sum(latin.values())
    return frozenset(a + b for a in _LETTERS for b in _LETTERS
                     if (latin[a + b] + 1) / tl >= PAIR_RATIO * (english[a + b] + 1) / te)


def pair_rows(pairs: FrozenSet[str]) -> Tuple[str, ...]:
    return tuple("".join(b for b in _LETTERS if a + b in pairs) for a in _LETTERS)


def nnls(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """min |a x - b| with x >= 0 (Lawson and Hanson's active-set method)."""
    n = a.shape[1]
    x = np.zeros(n)
    passive: List[int] = []
    for _ in range(10 * n):
        grad = a.T @ (b - a @ x)
        free = [j for j in range(n) if j not in passive]
        if not free or max(grad[free]) <= 1e-10:
            break
        passive.append(free[int(np.argmax(grad[free]))])
        while True:
            s = np.zeros(n)
            s[passive] = np.linalg.lstsq(a[:, passive], b, rcond=None)[0]
            if (s[passive] > 0).all():
                x = s
                break
            neg = [j for j in passive if s[j] <= 0]
            alpha = min(x[j] / (x[j] - s[j]) for j in neg)
            x = x + alpha * (s - x)
            passive = [j for j in passive if x[j] > 1e-12]
    return x


def row_weights(rows: Sequence[Dict[str, object]], train: np.ndarray) -> np.ndarray:
    family = [str(r["family"]) for r in rows]
    lang = [language(r) for r in rows]
    w = np.zeros(len(rows))
    for fam in set(family):
        langs = collections.Counter(lang[i] for i in range(len(rows)) if train[i] and family[i] == fam)
        for i in range(len(rows)):
            if train[i] and family[i] == fam:
                w[i] = (LATIN_WEIGHT if fam == "latin" else 1.0) / langs[lang[i]] / len(langs)
    return w / w[train].mean()


def language(r: Dict[str, object]) -> str:
    return str(r["source"]).split("/")[0] if r["family"] in SCRIPT_FAMILIES else str(r["family"])


def quantiles(values: Sequence[float]) -> str:
    v = sorted(values)
    return f"{statistics.median(v):.2f}, {v[int(0.9 * (len(v) - 1))]:.2f}"


def estimate_of(f: np.ndarray, scaled: Sequence[int]) -> np.ndarray:
    total = f.astype(np.int64) @ np.array(scaled, dtype=np.int64)
    return np.maximum(1, (total + (1 << (SCALE_BITS - 1))) >> SCALE_BITS)


def main(argv: List[str]) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("corpus")
    ap.add_argument("--report", default=None)
    args = ap.parse_args(argv)
    rows = [json.loads(line) for line in open(args.corpus, encoding="utf-8")]
    pairs = foreign_pairs(rows)
    if pairs != FOREIGN_PAIRS:
        print("The corpus gives another table of foreign pairs; fitted with it. FOREIGN_PAIR_ROWS =")
        print(json.dumps(pair_rows(pairs), indent=0))
    feats = np.array([features(r["text"], pairs) for r in rows], dtype=float)
    train = np.array([not r["held_out"] for r in rows])
    families = sorted({r["family"] for r in rows})
    weight = np.sqrt(row_weights(rows, train))
    tables: Dict[str, List[float]] = {}
    for tok in TOKENIZERS:
        y = np.array([max(1, r[tok]) for r in rows], dtype=float)
        a = feats[train] * (weight[train] / y[train])[:, None]
        tables[tok] = [round(float(v), 5) for v in nnls(a, weight[train])]
    scaled = {tok: [int(round(v * (1 << SCALE_BITS))) for v in tables[tok]] for tok in TOKENIZERS}
    real = {tok: np.array([max(1, r[tok]) for r in rows], dtype=float) for tok in TOKENIZERS}
    ratio = {tok: real[tok] / estimate_of(feats, scaled[tok]) for tok in TOKENIZERS}
    size = np.array([len(r["text"].encode("utf-8")) // 4 + 1 for r in rows], dtype=float)
    base = {tok: real[tok] / size for tok in TOKENIZERS}
    lines = ["# Token estimate: fit report", "",
             f"{len(rows)} texts ({int(train.sum())} training, {int((~train).sum())} held out, split by source file);",
             "regenerate with `python tools/token_corpus.py --count -o /tmp/token_corpus.jsonl` and",
             "`python tools/fit_token_estimate.py /tmp/token_corpus.jsonl --report tools/token_fit_report.md`.",
             f"The Latin family weighs {LATIN_WEIGHT:g} times as much as each other family in the fit.", "",
             "Held-out real tokens / estimate (median, p90), against UTF-8 bytes // 4 + 1:", "",
             "| family | n | o200k: estimate | o200k: bytes//4+1 | cl100k: estimate | cl100k: bytes//4+1 |",
             "|---|---|---|---|---|---|"]
    held = [i for i in range(len(rows)) if rows[i]["held_out"]]
    for fam in families + ["all"]:
        sel = [i for i in held if fam == "all" or rows[i]["family"] == fam]
        cells = [quantiles(list((ratio if b == 0 else base)[tok][sel])) for tok in TOKENIZERS for b in (0, 1)]
        lines.append(f"| {fam} | {len(sel)} | " + " | ".join(cells) + " |")
    lines += ["", "Per language (all sources of the language, training and held out; o200k estimate, cl100k estimate):", "",
              "| language | n | o200k | cl100k |", "|---|---|---|---|"]
    for lang in sorted({language(r) for r in rows if r["family"] in SCRIPT_FAMILIES}):
        sel = [i for i in range(len(rows)) if rows[i]["family"] in SCRIPT_FAMILIES and language(rows[i]) == lang]
        lines.append(f"| {lang} | {len(sel)} | {quantiles(list(ratio['o200k'][sel]))} | "
                     f"{quantiles(list(ratio['cl100k'][sel]))} |")
    lines += ["", "Coefficients (tokens per feature):", "", "| feature | o200k | cl100k |", "|---|---|---|"]
    for k, name in enumerate(FEATURES):
        lines.append(f"| {name} | {tables['o200k'][k]} | {tables['cl100k'][k]} |")
    report = "\n".join(lines) + "\n"
    print(report)
    print("TABLES = " + json.dumps(tables))
    if args.report:
        with open(args.report, "w", encoding="utf-8") as f:
            f.write(report)


if __name__ == "__main__":
    main(sys.argv[1:])
