"""Do budgets hold in real tokens? Realistic OpenAI Chat histories, trimmed to a
budget by the default estimate and by an exact counter, recounted exactly.

A history is built from the samples of tools/token_corpus.py: user questions
(English and other languages), assistant answers (prose and code), tool calls with
JSON arguments and ids as the SDK makes them, and tool results of every content
family (logs, JSON, code, base64, listings, emoji chat). The real count of what
`trim` returns is o200k_base over the content plus OpenAI's framing (3 per message
and the role, 3 per request, the call ids that are sent), through tiktoken
offline (tools/offline_tiktoken.py).

    python tools/token_budgets.py            # the table: over budget, worst, median use
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
from typing import Any, Callable, Dict, List, Sequence

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from token_corpus import build  # noqa: E402

BUDGETS = (4096, 16384, 65536)


def histories(count: int = 20, seed: int = 7) -> List[List[Dict[str, Any]]]:
    """`count` OpenAI Chat histories of 50 to 400 messages."""
    samples = build(seed, 120)
    by_family: Dict[str, List[str]] = {}
    for family, _, text in samples:
        by_family.setdefault(family, []).append(text)
    rng = random.Random(seed)
    questions = [t[:400] for f in ("english", "latin", "cyrillic", "other_scripts") for t in by_family[f]]
    answers = [t[:1500] for f in ("english", "code") for t in by_family[f]]
    results = [t for f in ("logs", "json", "code", "base64_hex", "emoji_chat", "english") for t in by_family[f]]
    out = []
    for k in range(count):
        n = rng.randrange(50, 401)
        # Each history leans on some content more than others, as real sessions do.
        lean = rng.choice(("logs", "json", "code", "base64_hex", "emoji_chat", "english"))
        msgs: List[Dict[str, Any]] = [{"role": "system", "content": "You are an agent. " + rng.choice(answers)[:300]}]
        call = 0
        while len(msgs) < n:
            msgs.append({"role": "user", "content": rng.choice(questions)})
            for _ in range(rng.randrange(0, 4)):
                call += 1
                cid = "call_" + "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
                                        for _ in range(24))
                args = '{"path": "src/module_%d.py", "query": "%s", "limit": %d}' % (
                    rng.randrange(100), rng.choice(("timeout", "cache miss", "retry", "Ошибка")), rng.randrange(1, 50))
                msgs.append({"role": "assistant", "content": None, "tool_calls": [
                    {"id": cid, "type": "function", "function": {"name": rng.choice(("read_file", "grep", "run")),
                                                                 "arguments": args}}]})
                pool = by_family[lean] if rng.random() < 0.5 else results
                msgs.append({"role": "tool", "tool_call_id": cid, "content": rng.choice(pool)})
            msgs.append({"role": "assistant", "content": rng.choice(answers)})
        out.append(msgs)
    return out


def real_count(messages: Sequence[Any], encode: Callable[[str], int]) -> int:
    """o200k tokens of an OpenAI Chat request: content, framing and ids, exactly."""
    import fenwa_host as fh

    return fh.count_tokens(messages, "openai", token_counter=encode)


def measure(hs: List[List[Dict[str, Any]]], enc: Any, budgets: Sequence[int] = BUDGETS) -> List[Dict[str, Any]]:
    import fenwa_host as fh

    def exact(text: str) -> int:
        return len(enc.encode_ordinary(text))

    rows = []
    for budget in budgets:
        for name, counter in (("default estimate", None), ("exact counter", enc)):
            over = 0
            claimed = 0  # over the budget while within_budget said it holds
            worst = 0.0
            worst_claimed = 0.0  # the worst real/B among those within_budget said hold
            uses = []
            reported_ok = 0
            for h in hs:
                r = fh.trim(h, max_tokens=budget, token_counter=counter)
                real = real_count(r.messages, exact)
                if real > budget:
                    over += 1
                    claimed += r.within_budget
                worst = max(worst, real / budget)
                if r.within_budget:
                    worst_claimed = max(worst_claimed, real / budget)
                if real_count(h, exact) > budget:
                    uses.append(real / budget)
                reported_ok += r.within_budget == (real <= budget)
            rows.append({
                "budget": budget, "counter": name, "histories": len(hs), "over": over, "claimed": claimed, "worst": worst,
                "worst_claimed": worst_claimed,
                "median_use": statistics.median(uses) if uses else None, "trimmed": len(uses),
                "within_budget_true": reported_ok,
            })
    return rows


def main(argv: List[str]) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--histories", type=int, default=20)
    args = ap.parse_args(argv)
    from offline_tiktoken import encodings

    enc = encodings()["o200k"]
    hs = histories(args.histories) + histories(8, seed=3)
    sizes = [len(h) for h in hs]
    print(f"{len(hs)} histories of {min(sizes)}-{max(sizes)} messages")
    print("| budget | counter | over budget | of them reported within | worst real/B | worst real/B reported within | median real/B (trimmed) | within_budget true |")
    print("|---|---|---|---|---|---|---|---|")
    for r in measure(hs, enc):
        use = f"{r['median_use']:.3f} ({r['trimmed']})" if r["median_use"] else "-"
        print(f"| {r['budget']} | {r['counter']} | {r['over']} of {r['histories']} | {r['claimed']} | {r['worst']:.3f} | {r['worst_claimed']:.3f} | {use} | "
              f"{r['within_budget_true']} of {r['histories']} |")


if __name__ == "__main__":
    main(sys.argv[1:])
