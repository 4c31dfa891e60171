"""Precision and recall of flood detectors on the labelled flood corpus.

    python bench/flood_accuracy.py                 # the held-out part
    python bench/flood_accuracy.py --split tune    # the tuning part
    python bench/flood_accuracy.py --metrics       # per-metric ranges by label
    python bench/flood_accuracy.py --errors        # the misclassified records

It also lists the tool outputs of the example transcript
(examples/data/transcript.json) that each detector flags: one forged log flood
at turn 16 among ordinary tool output.

Detectors: fenwa_host.flood_report at its default thresholds,
fenwa_micro.saturation_scan at a 0.5 cut, and datatrove's GopherRepetitionFilter
at its defaults when datatrove (the bench extra) is installed; skipped otherwise.
A positive is a text labelled "flood".
"""
from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Callable, Dict, List, Optional

import fenwa_micro
from fenwa_host import flood_report
from fenwa_host.flood import DEFAULT_THRESHOLDS

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT / "tests" / "data" / "flood_corpus.jsonl"
TRANSCRIPT = ROOT / "examples" / "data" / "transcript.json"


def transcript_tool_outputs() -> List[tuple]:
    turns = json.loads(TRANSCRIPT.read_text(encoding="utf-8"))["turns"]
    return [(i + 1, m["content"]) for i, turn in enumerate(turns) for m in turn if m["role"] == "tool"]


def load(split: Optional[str] = None) -> List[dict]:
    with CORPUS.open(encoding="utf-8") as f:
        records = [json.loads(line) for line in f]
    return [r for r in records if split is None or r["split"] == split]


def gopher() -> Optional[Callable[[str], bool]]:
    try:
        from datatrove.data import Document
        from datatrove.pipeline.filters import GopherRepetitionFilter

        flt = GopherRepetitionFilter()
        flt.filter(Document(text="warm up the tokenizer", id="0"))
    except Exception:  # not installed, or its tokenizer is missing
        return None

    def flags(text: str) -> bool:
        result = flt.filter(Document(text=text, id="x"))
        return not (result is True or (isinstance(result, tuple) and result[0]))

    return flags


def detectors() -> Dict[str, Callable[[str], bool]]:
    out: Dict[str, Callable[[str], bool]] = {
        "flood_report": lambda t: flood_report(t).flagged,
        "saturation_scan >= 0.5": lambda t: fenwa_micro.saturation_scan(t) >= 0.5,
    }
    g = gopher()
    if g is not None:
        out["GopherRepetitionFilter"] = g
    return out


def score(records: List[dict], flags: Callable[[str], bool]) -> Dict[str, object]:
    tp = fp = fn = tn = 0
    wrong = []
    for r in records:
        predicted = flags(r["text"])
        actual = r["label"] == "flood"
        tp += predicted and actual
        fp += predicted and not actual
        fn += actual and not predicted
        tn += not predicted and not actual
        if predicted != actual:
            wrong.append(r["id"])
    precision = tp / (tp + fp) if tp + fp else 1.0
    recall = tp / (tp + fn) if tp + fn else 1.0
    return {"tp": tp, "fp": fp, "fn": fn, "tn": tn, "precision": precision, "recall": recall,
            "wrong": wrong}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--split", default="heldout", choices=["tune", "heldout", "all"])
    parser.add_argument("--metrics", action="store_true", help="per-metric ranges by label and kind")
    parser.add_argument("--errors", action="store_true", help="list misclassified ids")
    args = parser.parse_args()
    records = load(None if args.split == "all" else args.split)
    floods = sum(r["label"] == "flood" for r in records)
    print(f"corpus: {CORPUS.name}, part: {args.split}, {len(records)} texts "
          f"({floods} floods, {len(records) - floods} natural)")
    if args.metrics:
        for label in ("natural", "flood"):
            group = [flood_report(r["text"]).metrics() for r in records if r["label"] == label]
            print(f"\n{label}: metric min / median / max")
            for name in DEFAULT_THRESHOLDS:
                vals = sorted(m[name] for m in group)
                print(f"  {name:<24} {vals[0]:.3f} / {vals[len(vals) // 2]:.3f} / {vals[-1]:.3f}")
        return 0
    print(f"{'detector':<26} {'precision':>9} {'recall':>7}   tp  fp  fn  tn")
    for name, flags in detectors().items():
        s = score(records, flags)
        print(f"{name:<26} {s['precision']:>9.3f} {s['recall']:>7.3f}  {s['tp']:>3} {s['fp']:>3} "
              f"{s['fn']:>3} {s['tn']:>3}")
        if args.errors and s["wrong"]:
            print("    wrong:", ", ".join(s["wrong"]))  # type: ignore[arg-type]
    outputs = transcript_tool_outputs()
    print(f"\nexample transcript, {len(outputs)} tool outputs: the turns each detector flags")
    for name, flags in detectors().items():
        print(f"  {name:<24} {[turn for turn, text in outputs if flags(text)]}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
