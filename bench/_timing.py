"""Timing helpers shared by the benchmark scripts.

Every benchmark times the operation and its baseline in the same process, so the
ratio is meaningful on a noisy machine; absolute times are only indicative.
"""
from __future__ import annotations

import time
from typing import Callable


def per_call(fn: Callable[[], object], number: int, repeat: int = 7) -> float:
    """Best seconds per call of `fn` over `repeat` runs of `number` calls."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def interleaved(calls: "list[tuple[Callable[[], object], int]]", repeat: int = 7) -> "list[float]":
    """Best seconds per call of each `(fn, number)`, the runs taken in turn (one
    run of each per round), so that a change of load on the machine reaches all
    of them alike."""
    best = [float("inf")] * len(calls)
    for _ in range(repeat):
        for k, (fn, number) in enumerate(calls):
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            best[k] = min(best[k], (time.perf_counter() - t0) / number)
    return best


def per_loop(stmt: str, setup_globals: dict, number: int, repeat: int = 7) -> float:
    """Best seconds per execution of `stmt` (a timeit loop, no Python call overhead)."""
    import timeit

    timer = timeit.Timer(stmt, globals=setup_globals)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def row(name: str, ours: float, baseline_name: str, baseline: float, target: str,
        higher_is_better: bool = False, note: str = "") -> dict:
    """One table row. `ratio` is ours/baseline for costs (lower is better) or
    baseline/ours for speed-ups (higher is better)."""
    ratio = baseline / ours if higher_is_better else ours / baseline
    return {
        "benchmark": name,
        "ours_s": ours,
        "baseline": baseline_name,
        "baseline_s": baseline,
        "ratio": ratio,
        "kind": "speed-up" if higher_is_better else "cost ratio",
        "target": target,
        "note": note,
    }
