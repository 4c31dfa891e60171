"""fenwa_host.trim over a 10,000-message OpenAI agent history, with a token budget,
against langchain_core's trim_messages (count_tokens_approximately, the same budget)
and against the floor `[(m["role"], m["content"]) for m in messages]`.

The LangChain rows are skipped when langchain-core is not installed.
"""
import json
import random

import fenwa_host as fh
from _timing import per_call, row

BUDGET = 20_000


def make_openai_history(n=10_000, seed=11):
    """A coding agent's history: user turns, tool calls with results of a few
    hundred bytes to a few KB, assistant answers; some non-English text."""
    rng = random.Random(seed)
    english = ["checkout", "latency", "cache", "pricing", "retry", "the", "a", "is", "slow", "because",
               "of", "config", "ttl", "redis", "test", "fails", "on", "ci"]
    other = ["migração", "código", "lenteur", "ключ", "日志", "naïve", "Schlüssel"]
    code = ["def", "return", "self", "None", "import", "(", ")", ":", "=", "if", "for", "in", "ERROR",
            "INFO", "2026-12-08T09:12:03Z", "pricing.rules", "cache_miss", "1620ms"]

    def text(lo, hi, vocabulary=english):
        size = rng.randint(lo, hi)
        out = []
        length = 0
        while length < size:
            w = rng.choice(vocabulary)
            out.append(w)
            length += len(w) + 1
        return " ".join(out)

    def chat(lo, hi):
        # One conversational message in ten is not (only) English.
        return text(lo, hi, english + other if rng.random() < 0.1 else english)

    msgs = [{"role": "system", "content": "You are a coding agent for the payments service. " * 4}]
    k = 0
    while len(msgs) < n - 4:
        msgs.append({"role": "user", "content": chat(40, 300)})
        for _ in range(rng.choice([0, 1, 1, 2])):
            cid = f"call_{k}"
            k += 1
            args = json.dumps({"path": f"src/{text(5, 20).replace(' ', '_')}.py"})
            msgs.append({"role": "assistant", "content": None, "tool_calls": [
                {"id": cid, "type": "function", "function": {"name": "read_file", "arguments": args}}]})
            msgs.append({"role": "tool", "tool_call_id": cid, "content": text(200, 4000, code)})
        msgs.append({"role": "assistant", "content": chat(60, 600)})
    return msgs


def run(quick=False):
    msgs = make_openai_history()
    fh.validate(msgs)
    number = 3 if quick else 10
    result = fh.trim(msgs, max_tokens=BUDGET)
    ours = per_call(lambda: fh.trim(msgs, max_tokens=BUDGET), number)
    plain = per_call(lambda: fh.trim(msgs), number)
    floor = per_call(lambda: [(m["role"], m["content"]) for m in msgs], number * 5)
    note = f"{len(msgs)} msgs, {result.tokens_before} -> {result.tokens_after} tokens"
    rows = [
        row("trim(10k OpenAI msgs, max_tokens=20k)", ours, '[(m["role"], m["content"]) ...]', floor,
            "<= 20x", note=note),
        row("trim(10k OpenAI msgs), no budget", plain, '[(m["role"], m["content"]) ...]', floor, "report"),
    ]
    try:
        from langchain_core.messages import convert_to_messages, trim_messages
        from langchain_core.messages.utils import count_tokens_approximately
    except ImportError:
        rows.append({"benchmark": "trim vs langchain_core.trim_messages", "ours_s": ours,
                     "baseline": "langchain-core not installed", "baseline_s": float("nan"),
                     "ratio": float("nan"), "kind": "speed-up", "target": ">= 20x", "note": "skipped"})
        return rows

    def langchain(messages):
        return trim_messages(messages, max_tokens=BUDGET, token_counter=count_tokens_approximately,
                             strategy="last", include_system=True, start_on="human")

    lc_messages = convert_to_messages(msgs)
    kept = len(langchain(msgs))
    lc_dicts = per_call(lambda: langchain(msgs), max(1, number // 3), repeat=3)
    lc_objects = per_call(lambda: langchain(lc_messages), max(1, number // 3), repeat=3)
    rows += [
        row("trim(10k OpenAI msgs, max_tokens=20k)", ours, "trim_messages, same dicts", lc_dicts, ">= 20x",
            higher_is_better=True, note=f"langchain keeps {kept}, we keep {len(result.messages)}"),
        row("trim(10k OpenAI msgs, max_tokens=20k)", ours, "trim_messages, its own objects", lc_objects,
            "report", higher_is_better=True, note="conversion done beforehand, untimed"),
    ]
    return rows
