"""Fit the token estimate's coefficient tables and write the report.

Reads the corpus of tools/token_corpus.py (with --count), computes each text's
features with the plain-Python reference (tests/tokens_reference.py), and fits one
coefficient per feature for o200k_base and cl100k_base by least squares on the
relative error (each row divided by its real count, each family weighted alike),
without negative coefficients (a feature whose coefficient comes out negative is
left out and the rest fitted again). The fit sees only the training sources; the
report gives real / estimate on the held-out ones, per family and per language.

    python tools/token_corpus.py --count -o /tmp/token_corpus.jsonl
    python tools/fit_token_estimate.py /tmp/token_corpus.jsonl --report tools/token_fit_report.md
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
from typing import Dict, List, Sequence

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from tokens_reference import FEATURES, SCALE_BITS, estimate, features  # noqa: E402

TOKENIZERS = ("o200k", "cl100k")


def fit(x: np.ndarray, y: np.ndarray, w: np.ndarray) -> np.ndarray:
    active = list(range(x.shape[1]))
    while True:
        a = x[:, active] * (w / y)[:, None]
        b = w  # (x.c) / y ~ 1
        c, *_ = np.linalg.lstsq(a, b, rcond=None)
        if (c >= 0).all():
            out = np.zeros(x.shape[1])
            out[active] = c
            return out
        active = [f for f, v in zip(active, c) if v >= 0]


def quantiles(values: Sequence[float]) -> str:
    v = sorted(values)
    return f"{statistics.median(v):.2f}, {v[int(0.9 * (len(v) - 1))]:.2f}"


def main(argv: List[str]) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("corpus")
    ap.add_argument("--report", default=None)
    args = ap.parse_args(argv)
    rows = [json.loads(line) for line in open(args.corpus, encoding="utf-8")]
    feats = np.array([features(r["text"]) for r in rows], dtype=float)
    train = np.array([not r["held_out"] for r in rows])
    families = sorted({r["family"] for r in rows})
    per_family = {f: sum(1 for r in rows if r["family"] == f and not r["held_out"]) for f in families}
    weight = np.array([1.0 / per_family[r["family"]] for r in rows])
    tables: Dict[str, List[float]] = {}
    for tok in TOKENIZERS:
        y = np.array([max(1, r[tok]) for r in rows], dtype=float)
        c = fit(feats[train], y[train], np.sqrt(weight[train]))
        tables[tok] = [round(float(v), 5) for v in c]
    lines = ["# Token estimate: fit report", "",
             f"{len(rows)} texts ({int(train.sum())} training, {int((~train).sum())} held out, split by source file);",
             "regenerate with `python tools/token_corpus.py --count -o /tmp/token_corpus.jsonl` and",
             "`python tools/fit_token_estimate.py /tmp/token_corpus.jsonl --report tools/token_fit_report.md`.", "",
             "Held-out real tokens / estimate (median, p90), against UTF-8 bytes // 4 + 1:", "",
             "| family | n | o200k: estimate | o200k: bytes//4+1 | cl100k: estimate | cl100k: bytes//4+1 |",
             "|---|---|---|---|---|---|"]
    scaled = {tok: [int(round(v * (1 << SCALE_BITS))) for v in tables[tok]] for tok in TOKENIZERS}

    def ratios(select: List[int], tok: str, baseline: bool) -> List[float]:
        out = []
        for i in select:
            text = rows[i]["text"]
            est = len(text.encode("utf-8")) // 4 + 1 if baseline else estimate(text, scaled[tok])
            out.append(max(1, rows[i][tok]) / max(1, est))
        return out

    held = [i for i in range(len(rows)) if rows[i]["held_out"]]
    for fam in families + ["all"]:
        sel = [i for i in held if fam == "all" or rows[i]["family"] == fam]
        cells = [quantiles(ratios(sel, tok, b)) for tok in TOKENIZERS for b in (False, True)]
        lines.append(f"| {fam} | {len(sel)} | " + " | ".join(cells) + " |")
    lines += ["", "Per language (all sources of the language, training and held out; o200k estimate, cl100k estimate):", "",
              "| language | n | o200k | cl100k |", "|---|---|---|---|"]
    langs = sorted({rows[i]["source"].split("/")[0] for i in range(len(rows))
                    if rows[i]["family"] in ("latin", "cyrillic", "other_scripts")})
    for lang in langs:
        sel = [i for i in range(len(rows)) if rows[i]["source"].split("/")[0] == lang
               and rows[i]["family"] in ("latin", "cyrillic", "other_scripts")]
        lines.append(f"| {lang} | {len(sel)} | {quantiles(ratios(sel, 'o200k', False))} | "
                     f"{quantiles(ratios(sel, 'cl100k', False))} |")
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
