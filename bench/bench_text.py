"""Real text in four scripts: the window's reads, the analysers and the history
dehydration over ASCII, Latin-1 mix, CJK and emoji text, each against the cheapest
Python expression over the same strs.

    python bench/bench_text.py                      # this build
    python bench/bench_text.py --baseline DIR       # also an older build, same run

With --baseline, the module built in DIR is loaded beside the current one and
every row is timed for both, alternating, so the before/after pairs share one
run of the machine. Run on its own, this script times with the thread's CPU
clock, which other processes on a shared machine disturb far less than the wall
clock; `bench/run.py` includes the same rows timed like every other benchmark.
"""
from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import random
import sys
import time
from pathlib import Path

from _timing import per_call, row

FAMILIES = ("ASCII", "Latin-1 mix", "CJK", "emoji")

_LATIN1 = "áàâãçéêíóôõúüñÁÉÇÕ"
_CJK = [chr(c) for c in range(0x4E00, 0x9FA0)]
_CJK_PUNCT = "。、，！？："
_EMOJI = [chr(c) for c in list(range(0x1F600, 0x1F650)) + list(range(0x1F300, 0x1F380))]


def _ascii_word(rng: random.Random) -> str:
    return "".join(rng.choice("etaoinshrdlucmfwypvbgk") for _ in range(rng.randint(1, 10)))


def _word(family: str, rng: random.Random) -> str:
    if family == "CJK":
        w = "".join(rng.choice(_CJK) for _ in range(rng.randint(1, 6)))
        return w + rng.choice(_CJK_PUNCT) if rng.random() < 0.2 else w
    w = _ascii_word(rng)
    if family == "Latin-1 mix":
        # About 3% of the letters become accented Latin-1 letters.
        w = "".join(rng.choice(_LATIN1) if rng.random() < 0.03 else c for c in w)
    elif family == "emoji" and rng.random() < 0.15:
        w = w + rng.choice(_EMOJI)
    return w


def text_of(family: str, utf8_bytes: int, rng: random.Random) -> str:
    """About `utf8_bytes` bytes of words of the family, separated by spaces and
    the odd newline; a vocabulary that keeps growing, like real traffic."""
    parts, n = [], 0
    while n < utf8_bytes:
        w = _word(family, rng) if rng.random() < 0.9 else f"id{rng.randrange(10**6)}"
        parts.append(w)
        parts.append("\n" if rng.random() < 0.05 else " ")
        n += len(w.encode()) + 1
    return "".join(parts[:-1])


def blocks_of(family: str, n: int, seed: int = 1) -> list:
    """`n` blocks of 50 to 2,000 UTF-8 bytes."""
    rng = random.Random(f"{family}/{seed}")
    return [text_of(family, rng.randint(50, 2000), rng) for _ in range(n)]


def load_module(directory: str):
    """The fenwa_micro extension module built in `directory`, loaded under its own
    name without replacing the one already imported."""
    paths = sorted(Path(directory).glob("fenwa_micro*.so")) + sorted(Path(directory).glob("fenwa_micro*.pyd"))
    if not paths:
        raise SystemExit(f"no fenwa_micro extension module in {directory}")
    saved = sys.modules.pop("fenwa_micro", None)
    try:
        loader = importlib.machinery.ExtensionFileLoader("fenwa_micro", str(paths[0]))
        loader_spec = importlib.util.spec_from_file_location("fenwa_micro", str(paths[0]), loader=loader)
        module = importlib.util.module_from_spec(loader_spec)
        loader.exec_module(module)
    finally:
        if saved is not None:
            sys.modules["fenwa_micro"] = saved
        else:
            sys.modules.pop("fenwa_micro", None)
    return module


def heap_bytes() -> int:
    """Bytes in use on the C heap (glibc's mallinfo2), or -1 where unavailable."""
    import ctypes

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]
    try:
        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = MallInfo2
    except (OSError, AttributeError):
        return -1
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def bytes_per_block(fm, texts) -> float:
    """Heap bytes a window holding `texts` uses per block, beyond the strs."""
    before = heap_bytes()
    w = fm.ContextApoptosis(capacity=len(texts))
    for t in texts:
        w.insert(t, fm.USER)
    used = heap_bytes() - before
    del w
    return used / len(texts)


def window_bytes_per_block(fm, texts) -> float:
    """Heap bytes per block of a window holding `texts`, with the strs' UTF-8
    cached beforehand (a throwaway window's insert() caches it where it encodes)."""
    warm = fm.ContextApoptosis(capacity=len(texts))
    for t in texts:
        warm.insert(t, fm.USER)  # encodes (and caches) where insert() encodes
    del warm
    return bytes_per_block(fm, texts)


def cases(quick: bool):
    """(name, family, setup(fm) -> (ours, base), target, higher_is_better) per row."""
    n_blocks = 2_000 if quick else 10_000
    out = []
    for family in FAMILIES:
        texts = blocks_of(family, n_blocks)
        facts = blocks_of(family, 64, seed=2)
        purpose = blocks_of(family, 1, seed=3)[0]

        def window(fm, texts=texts, facts=facts, purpose=purpose):
            w = fm.ContextApoptosis(capacity=len(texts), state_capacity=64)
            w.set_purpose(purpose)
            for f in facts:
                w.note_state(f)
            for t in texts:
                w.insert(t, fm.USER)
            return w

        def render(fm, texts=texts, facts=facts, purpose=purpose, window=window):
            w = window(fm)
            lines = [purpose, "STATE:"] + ["- " + f for f in facts] + texts
            assert w.render() == "\n".join(lines)
            return w.render, lambda: "\n".join(lines)

        def active(fm, texts=texts, window=window):
            w = window(fm)
            assert w.active_context() == texts
            return w.active_context, lambda: [s[:-1] for s in texts]

        def state(fm, facts=facts):
            w = fm.ContextApoptosis(state_capacity=len(facts) * 100)
            many = [f"{i} {facts[i % len(facts)]}" for i in range(len(facts) * 100)]
            for f in many:
                w.note_state(f)
            assert w.state_entries() == many
            return w.state_entries, lambda: [s[:-1] for s in many]

        rng = random.Random(f"{family}/analysers")
        small = text_of(family, 100_000, rng)
        big = text_of(family, 1_000_000, rng)

        def gauge(fm, small=small):
            return (lambda: fm.effort_gauge(small)), (lambda: len(set(small.lower().split())))

        def saturation(fm, big=big):
            return (lambda: fm.saturation_scan(big)), (lambda: len(set(big.split())))

        messages = [(t, (2, 4, 16, 32, 1, 8)[i % 6]) for i, t in enumerate(texts)]

        def dehydrate(fm, messages=messages):
            fm.dehydrate(messages)  # first call encodes and caches every str's UTF-8
            return (lambda: fm.dehydrate(messages)), (lambda: [c for c, _ in messages])

        out += [
            (f"render(), {n_blocks:,} blocks + 64 facts", family, render, '"\\n".join of the same', "<= 2x"),
            (f"active_context(), {n_blocks:,} blocks", family, active, "[s[:-1] for s in texts]", "<= 1.5x"),
            ("state_entries(), 6,400 entries", family, state, "[s[:-1] for s in texts]", "<= 1.5x"),
            ("effort_gauge, 100 KB", family, gauge, "len(set(text.lower().split()))", "<= 0.35x"),
            ("saturation_scan, 1 MB, window 8", family, saturation, "len(set(text.split()))", "<= 0.2x"),
            (f"dehydrate({n_blocks:,} msgs)", family, dehydrate, "[c for c, _ in messages]", "<= 2.5x"),
        ]
    return out


def run(quick=False, only=None):
    import fenwa_micro as fm
    reps = 3 if quick else 7
    rows = []
    for name, family, setup, baseline, target in cases(quick):
        if only and not any(o in name for o in only):
            continue
        ours_fn, base_fn = setup(fm)
        ours = per_call(ours_fn, 3, reps)
        base = per_call(base_fn, 3, reps)
        rows.append(row(f"{name} [{family}]", ours, baseline, base, target))
    return rows


def cpu_per_call(fn, number: int, repeat: int) -> float:
    """Best CPU seconds of this thread per call of `fn`."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.thread_time()
        for _ in range(number):
            fn()
        best = min(best, (time.thread_time() - t0) / number)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", help="build directory of the module to compare against")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds per row")
    parser.add_argument("--memory", action="store_true", help="heap bytes per stored block instead")
    parser.add_argument("only", nargs="*", help="substrings of the row names to run")
    args = parser.parse_args()
    import fenwa_micro as fm
    modules = [("after", fm)]
    if args.baseline:
        modules.insert(0, ("before", load_module(args.baseline)))
    reps = 3 if args.quick else 5
    if args.memory:
        # Heap growth per inserted block, two ways: with fresh strs (counting the
        # UTF-8 copy that encoding a str caches inside it, if insert() encodes)
        # and with strs whose UTF-8 is cached already (the window's own memory).
        print(f"{'heap bytes per block':<14} " + "  ".join(
            f"{label + ' fresh':>14} {label + ' window':>14}" for label, _ in modules) + "  UTF-8 bytes")
        for family in FAMILIES:
            texts = blocks_of(family, 10_000, seed=5)
            utf8 = sum(len(t.encode()) for t in texts) / len(texts)
            cells = []
            for _, m in modules:
                cells.append(f"{bytes_per_block(m, [t.encode().decode() for t in texts]):>14.1f}")
                encoded = [t.encode().decode() for t in texts]
                cells.append(f"{window_bytes_per_block(m, encoded):>14.1f}")
            print(f"{family:<14} {'  '.join(cells)}  {utf8:10.1f}")
        return 0
    print(f"{'benchmark':<44} {'family':<12} " + "  ".join(f"{label + ' (ratio range)':>22}" for label, _ in modules))
    for name, family, setup, baseline, target in cases(args.quick):
        if args.only and not any(o in name for o in args.only):
            continue
        ratios = {label: [] for label, _ in modules}
        setups = {label: setup(m) for label, m in modules}
        for _ in range(args.rounds):
            for label, _m in modules:
                ours_fn, base_fn = setups[label]
                ours = cpu_per_call(ours_fn, 3, reps)
                base = cpu_per_call(base_fn, 3, reps)
                ratios[label].append(ours / base)
        cells = "  ".join(f"{min(r):>9.2f}x - {max(r):5.2f}x   " for r in ratios.values())
        print(f"{name:<44} {family:<12} {cells} target {target}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
