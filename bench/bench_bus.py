"""HormonalBus hot paths against math.copysign, and the native event queue.

The Python rows time one call of `secrete`, `inject` and `sense` (each releases
and re-takes the interpreter lock) against `math.copysign(1.0, 2.0)`, a C builtin
of the same arity that also returns a new float; both statements look their
callable up by one name. The bus keeps its default 4096-event buffer and is not
drained, so after the first 4096 calls every event is dropped: the full-buffer
offer is one failed stamp check, as cheap as a successful one.

The native rows come from bench/native/bench_event_queue.cpp when a build
directory holds the compiled `bench_event_queue` (configure with
-DFENWA_NATIVE_BENCH=ON); they compare the lock-free queue with a
std::mutex + std::deque queue of the same capacity.
"""
import math
import subprocess
from pathlib import Path

import fenwa_micro as fm
from _timing import per_loop, row

ROOT = Path(__file__).resolve().parent.parent


def native_binary():
    found = sorted(ROOT.glob("build*/bench_event_queue"), key=lambda p: p.stat().st_mtime)
    return found[-1] if found else None


def native_rows(quick):
    binary = native_binary()
    if binary is None:
        return []
    out = subprocess.run([str(binary)] + (["--quick"] if quick else []), check=True,
                         capture_output=True, text=True).stdout
    rows = []
    for line in out.splitlines():
        case, ours, mutex = line.split()
        label = {"single": "event queue offer+take, 1 thread",
                 "contended": "event queue, 2 producers + 1 consumer"}[case]
        target = ">= 3x" if case == "contended" else "report"
        rows.append(row(label, float(ours), "std::mutex + std::deque", float(mutex), target,
                        higher_is_better=True, note=f"per event ({binary.parent.name})"))
    return rows


def interleaved(stmts, g, n, rounds):
    """Best seconds per execution of each statement, the statements taking turns
    round after round so that a drifting machine affects them alike."""
    best = [float("inf")] * len(stmts)
    for _ in range(rounds):
        for i, stmt in enumerate(stmts):
            best[i] = min(best[i], per_loop(stmt, g, n, repeat=1))
    return best


def run(quick=False):
    n, rounds = (100_000, 5) if quick else (300_000, 11)
    g = {"bus": fm.HormonalBus(), "sig": fm.HormonalSignal(5, 2.0), "copysign": math.copysign}
    base, secrete, inject, sense = interleaved(
        ["copysign(1.0, 2.0)", "bus.secrete(5, 2.0)", "bus.inject(sig)", "bus.sense(7)"], g, n, rounds)
    return [
        row("bus.secrete(5, 2.0)", secrete, "math.copysign(1.0, 2.0)", base, "<= 2.5x"),
        row("bus.inject(sig)", inject, "math.copysign(1.0, 2.0)", base, "<= 2.5x"),
        row("bus.sense(7)", sense, "math.copysign(1.0, 2.0)", base, "<= 2.5x"),
    ] + native_rows(quick)
