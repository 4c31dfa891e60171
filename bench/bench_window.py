"""ContextApoptosis: a dehydration cycle, render and ledger appends, each against
the pure-Python code a host would otherwise write."""
import time
from collections import deque

import fenwa_micro as fm
from _timing import row

CLASSES = [fm.SYSTEM, fm.USER, fm.ASSISTANT, fm.FACT, fm.TOOL, fm.THINKING, 0]


def py_cycle(blocks, boost, decay, threshold):
    """One cycle over [content, oxygen, signal, tokens] records, in place."""
    for b in blocks:
        if b[2] & 0x09:
            b[1] += boost
        else:
            b[1] *= decay
    kept = []
    reclaimed = 0
    for b in blocks:
        if b[2] & 0x09 or b[1] >= threshold:
            kept.append(b)
        else:
            reclaimed += b[3]
    purged = len(blocks) - len(kept)
    blocks[:] = kept
    return purged, reclaimed


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def bench_cycle(quick):
    n = 100_000
    texts = [f"block {i} " + "x" * (i % 64) for i in range(n)]
    # A long half-life and a large oxygen: nothing is purged, every cycle does the
    # full pass over all blocks.
    w = fm.ContextApoptosis(half_life=64.0, capacity=n)
    for i, t in enumerate(texts):
        w.insert(t, CLASSES[i % len(CLASSES)], 1e30)
    blocks = [[t, 1e30, CLASSES[i % len(CLASSES)], len(t.encode()) // 4 + 1] for i, t in enumerate(texts)]
    decay = 2.0 ** (-1.0 / 64.0)
    repeat = 5 if quick else 15
    ours = best(lambda: w.dehydrate(0.5), repeat * 4)
    base = best(lambda: py_cycle(blocks, 0.5, decay, 0.35), repeat)
    assert len(w) == n and len(blocks) == n
    return [
        row("dehydrate() over 100,000 blocks", ours, "pure-Python cycle", base, ">= 50x",
            higher_is_better=True, note=f"{ours / n * 1e9:.2f} ns/block (aim < 5)"),
    ]


def bench_render(quick):
    n = 10_000
    texts = [f"turn {i}: " + "lorem ipsum dolor sit amet " * (1 + i % 8) for i in range(n)]
    facts = [f"decision {i}: keep the cache prefix stable" for i in range(64)]
    purpose = "You are a careful assistant. Follow the contract below."
    w = fm.ContextApoptosis(state_capacity=64)
    w.set_purpose(purpose)
    for f in facts:
        w.note_state(f)
    for t in texts:
        w.insert(t, fm.USER)
    lines = [purpose, "STATE:"] + ["- " + f for f in facts] + texts
    expected = "\n".join(lines)
    assert w.render() == expected
    repeat = 20 if quick else 100
    ours = best(w.render, repeat)
    base = best(lambda: "\n".join(lines), repeat)
    return [row("render() of 10,000 blocks + 64 facts", ours, '"\\n".join of the same', base, "<= 2x",
                note=f"{len(expected) / 1e6:.2f} MB")]


def py_ledger(capacity):
    entries, present = deque(), set()

    def note(fact):
        if fact in present:
            return False
        entries.append(fact)
        present.add(fact)
        if len(entries) > capacity:
            present.discard(entries.popleft())
        return True
    return note


def bench_ledger(quick):
    rows = []
    capacity = 50_000
    per_call = {}
    for calls in (50_000, 100_000):
        facts = [f"fact number {i}" for i in range(calls)]

        def ours_run():
            note = fm.ContextApoptosis(state_capacity=capacity).note_state
            for f in facts:
                note(f)

        def base_run():
            note = py_ledger(capacity)
            for f in facts:
                note(f)

        repeat = 3 if quick else 5
        ours = best(ours_run, repeat)
        base = best(base_run, repeat)
        per_call[calls] = ours / calls
        rows.append(row(f"{calls:,} note_state (state_capacity 50,000)", ours,
                        "deque + set ledger in Python", base, "report",
                        note=f"{ours / calls * 1e9:.0f} ns/call"))
    growth = per_call[100_000] / per_call[50_000]
    rows[-1]["note"] += f"; per-call cost x{growth:.2f} for 2x calls (linear: ~1)"
    return rows


def run(quick=False):
    return bench_cycle(quick) + bench_render(quick) + bench_ledger(quick)
