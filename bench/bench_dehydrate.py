"""dehydrate() over a 10,000-message history against a pure-Python implementation of
the same rule and against the floor `[c for c, _ in messages]`."""
import random
import statistics
import struct

import fenwa_micro as fm
from _timing import per_call, row

F32 = struct.Struct("f")


def f32(x):
    return F32.unpack(F32.pack(x))[0]


def weight(flags):
    if flags & 0x09:
        return 4.0
    if flags & 0x06:
        return 1.0
    if flags & 0x20:
        return f32(0.15)
    if flags & 0x10:
        return 0.25
    return f32(0.6)


def python_dehydrate(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0):
    """What a user would otherwise write (float32 emulated with struct)."""
    half_life = f32(half_life)
    if not half_life >= f32(0.1):
        half_life = f32(0.1)
    threshold = f32(safe_threshold)
    n = len(messages)
    prefix = min(n, stable_prefix)
    kept, before, after, prefix_tokens = [], 0, 0, 0
    for k, (content, flags) in enumerate(messages):
        tokens = len(content.encode("utf-8")) // 4 + 1
        before += tokens
        if k < prefix:
            prefix_tokens += tokens
            keep = True
        elif flags & 0x09:
            keep = True
        else:
            d = f32(2.0 ** f32(-f32(n - 1 - k) / half_life))
            keep = f32(d * weight(flags)) >= threshold
        if keep:
            kept.append(content)
            after += tokens
    return {
        "kept": kept, "blocks_in": n, "blocks_kept": len(kept), "blocks_purged": n - len(kept),
        "tokens_before": before, "tokens_after": after,
        "reduction": 1.0 - after / before if before else 0.0,
        "stable_prefix_tokens": prefix_tokens, "kernel_latency_us": 0.0,
    }


def make_history(n=10_000, seed=7):
    rng = random.Random(seed)
    classes = [fm.USER, fm.ASSISTANT, fm.TOOL, fm.THINKING, 0, fm.FACT, fm.SYSTEM]
    weights = [30, 30, 15, 10, 10, 3, 2]
    words = ["agent", "context", "cache", "prompt", "tool", "result", "ação", "código", "naïve", "日本"]
    messages = []
    for _ in range(n):
        size = rng.randint(50, 500)
        text = ""
        while len(text.encode()) < size:
            text += rng.choice(words) + " "
        messages.append((text, rng.choices(classes, weights)[0]))
    return messages


def run(quick=False):
    msgs = make_history()
    number = 5 if quick else 20
    ours = per_call(lambda: fm.dehydrate(msgs, stable_prefix=16), number)
    python = per_call(lambda: python_dehydrate(msgs, stable_prefix=16), max(1, number // 5), repeat=3)
    floor = per_call(lambda: [c for c, _ in msgs], number)
    ref = python_dehydrate(msgs, stable_prefix=16)
    got = fm.dehydrate(msgs, stable_prefix=16)
    same = all(got[k] == ref[k] for k in ref if k != "kernel_latency_us")
    latency = statistics.median(fm.dehydrate(msgs)["kernel_latency_us"] for _ in range(51))
    return [
        row("dehydrate(10k msgs)", ours, "pure-Python dehydrate", python, ">= 30x",
            higher_is_better=True, note=f"same result: {same}"),
        row("dehydrate(10k msgs)", ours, "[c for c, _ in messages]", floor, "<= 4x",
            note=f"median kernel_latency_us {latency:.1f}"),
    ]
