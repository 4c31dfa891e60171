"""Stress: eight threads hammer one shared HormonalBus and one shared ContextApoptosis
with mixed operations for a fixed time, then the totals are checked exactly.

    python bench/stress.py --seconds 10

Every thread keeps its own tally of what it did (injections per channel, tokens it
inserted); afterwards channel totals, the secretion counter, the drained events and
the window's token accounting must match those tallies exactly. A thread that does
not finish within a grace period counts as stuck.
"""
from __future__ import annotations

import argparse
import sys
import threading
import time

import fenwa_micro as fm

THREADS = 8
CHANNELS = 8


def tokens(text: str) -> int:
    return len(text.encode("utf-8")) // 4 + 1


def worker(index: int, bus, window, deadline: float, tally: dict, drained: list, lock) -> None:
    rng_state = index * 2654435761 % 2**32
    signal = fm.HormonalSignal(1 << (index % CHANNELS), 1.0)
    inject = secrete = inserted = cycles = renders = 0
    per_channel = [0] * CHANNELS
    texts = [f"thread {index} note {k} " * (1 + k % 5) for k in range(16)]
    classes = [fm.USER, fm.ASSISTANT, fm.TOOL, fm.THINKING, fm.FACT, 0]
    local_events = []
    while time.monotonic() < deadline:
        for _ in range(64):
            rng_state = (rng_state * 1103515245 + 12345) % 2**31
            op = rng_state % 10
            if op <= 2:
                bus.inject(signal)  # intensity 1.0: channel totals stay exact below 2**24
                inject += 1
                per_channel[index % CHANNELS] += 1
            elif op == 3:
                ch = rng_state % CHANNELS
                bus.secrete(1 << ch, 1.0)
                secrete += 1
                per_channel[ch] += 1
            elif op == 4:
                bus.sense(0xFF)
                bus.snapshot()
            elif op == 5:
                local_events += bus.drain_events(32)
            elif op <= 7:
                text = texts[rng_state % len(texts)]
                window.insert(text, classes[rng_state % len(classes)])
                inserted += tokens(text)
            elif op == 8:
                window.dehydrate(reinforce_boost=0.0, absorb=bool(rng_state & 1))
                cycles += 1
            else:
                window.render()
                window.note_state(f"fact {rng_state % 50}")
                renders += 1
    with lock:
        drained.extend(local_events)
        tally["inject"] += inject
        tally["secrete"] += secrete
        tally["inserted"] += inserted
        tally["cycles"] += cycles
        tally["renders"] += renders
        for ch in range(CHANNELS):
            tally["channels"][ch] += per_channel[ch]


def run(seconds: float) -> int:
    bus = fm.HormonalBus(num_signals=CHANNELS, event_capacity=1 << 22)
    window = fm.ContextApoptosis(half_life=1.0, state_capacity=64)
    tally = {"inject": 0, "secrete": 0, "inserted": 0, "cycles": 0, "renders": 0,
             "channels": [0] * CHANNELS}
    drained: list = []
    lock = threading.Lock()
    deadline = time.monotonic() + seconds
    threads = [threading.Thread(target=worker, args=(i, bus, window, deadline, tally, drained, lock))
               for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=seconds + 30)
    stuck = [t.name for t in threads if t.is_alive()]
    drained += bus.drain_events(1 << 30)

    calls = tally["inject"] + tally["secrete"]
    stats = bus.stats()
    snapshot = bus.snapshot()
    problems = []
    if stuck:
        problems.append(f"stuck threads: {stuck}")
    if stats["secretions"] != float(calls):
        problems.append(f"secretions {stats['secretions']} != {calls}")
    if len(drained) != calls:
        problems.append(f"drained {len(drained)} events != {calls} injections")
    for ch in range(CHANNELS):
        if snapshot[ch] != float(tally["channels"][ch]):
            problems.append(f"channel {ch}: {snapshot[ch]} != {tally['channels'][ch]}")
    if window.inserted_tokens() != tally["inserted"]:
        problems.append(f"inserted_tokens {window.inserted_tokens()} != {tally['inserted']}")
    live = window.active_tokens()
    if live != sum(tokens(t) for t in window.active_context()) or len(window) != len(window.active_context()):
        problems.append("active accounting disagrees with the live blocks")

    print(f"stress: {THREADS} threads, {seconds:.0f} s: {calls} injections "
          f"({tally['inject']} inject, {tally['secrete']} secrete), {len(drained)} events drained, "
          f"{tally['inserted']} tokens inserted, {live} live, {tally['cycles']} cycles, "
          f"{tally['renders']} renders")
    print("channel totals:", snapshot)
    if problems:
        print("FAILED:", *problems, sep="\n  ")
        return 1
    print("all counts exact, no thread stuck")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0)
    return run(parser.parse_args().seconds)


if __name__ == "__main__":
    sys.exit(main())
