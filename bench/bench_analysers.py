"""Request analysers against plain-Python versions of the same rules, timed in the
same process (the Python versions live in tests/analysers_reference.py)."""
import random
import sys
from pathlib import Path

import fenwa_micro as fm
from _timing import per_call, per_loop, row

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import analysers_reference as ref  # noqa: E402

ENGLISH = ("Why does the migration fail when the cache is cold? We must ensure the invariant holds "
           "without locking the table. Please design a plan to refactor the loader and compare the "
           "two approaches, then evaluate the error rate over 30 days.").split()
PORTUGUESE = ("Por que a migração falha quando o cache está frio? A solução deve garantir a restrição "
              "sem bloquear a tabela. Otimização e validação são obrigatórias; não use estratégias "
              "frágeis, ok? Valeu, obrigado pela análise detalhada.").split()
CODE = ("def load(path): return {k: v for k, v in parse(path)} ; const x = await fetch(url); "
        "fn main() { let v: Vec<u8> = vec![1, 2, 3]; } SELECT id FROM users WHERE age >= 18;").split()


def mixed_text(size, seed=1, pools=(ENGLISH, PORTUGUESE, CODE)):
    rng = random.Random(seed)
    parts, n = [], 0
    while n < size:
        pool = rng.choice(pools)
        start = rng.randrange(len(pool))
        words = pool[start:start + rng.randint(4, 14)]
        # Fresh identifiers and numbers keep the vocabulary growing like real traffic.
        words.append(f"item{rng.randrange(100000)}")
        line = " ".join(words) + rng.choice([" ", "\n", ". ", "\n\n"])
        parts.append(line)
        n += len(line)
    return "".join(parts)[:size]


def run(quick=False):
    reps = 3 if quick else 7
    rows = []

    mixed = mixed_text(100_000)
    assert fm.effort_gauge(mixed) == ref.effort_gauge(mixed, lower=str.lower)
    ours = per_call(lambda: fm.effort_gauge(mixed), 20, reps)
    base = per_call(lambda: ref.effort_gauge(mixed, lower=str.lower), 3, reps)
    rows.append(row("effort_gauge, 100 KB mixed en/pt/code", ours, "plain Python", base, ">= 30x", True,
                    f"{len(mixed.encode()) / ours / 1e6:.0f} MB/s"))

    ascii_text = mixed_text(1_000_000, seed=2, pools=(ENGLISH, CODE))
    assert ascii_text.isascii()
    ours = per_call(lambda: fm.effort_gauge(ascii_text), 3, reps)
    rows.append(row("effort_gauge, 1 MB ASCII", ours, "(throughput)", ours, "report", True,
                    f"{len(ascii_text) / ours / 1e6:.0f} MB/s (aim 150)"))

    big = mixed_text(1_000_000, seed=3)
    assert fm.saturation_scan(big) == ref.saturation_scan(big)
    ours = per_call(lambda: fm.saturation_scan(big), 3, reps)
    base = per_call(lambda: ref.saturation_scan(big), 1, reps)
    rows.append(row("saturation_scan, 1 MB, window 8", ours, "plain Python (tuple hashes)", base, ">= 30x",
                    True, f"{len(big.encode()) / ours / 1e6:.0f} MB/s"))

    n = 20_000 if quick else 100_000
    ours = per_loop("f(10000, 4000, 20)", {"f": fm.consolidation_gain}, n, reps)
    base = per_loop("f(10000, 4000, 20)", {"f": ref.consolidation_gain}, n, reps)
    rows.append(row("consolidation_gain per call", ours, "plain Python", base, ">= 3x", True))
    return rows
