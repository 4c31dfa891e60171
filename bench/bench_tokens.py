"""fenwa_host.tokens: the estimate against tiktoken's encode_ordinary per text,
and an exact counter's trim against the default estimate's on a history trimmed
again before every model call (tiktoken offline through bpe-openai's files; the
rows are skipped when either is absent)."""
from __future__ import annotations

import sys
from pathlib import Path

import fenwa_host as fh
from fenwa_host import _native
from _timing import interleaved, row

TOOLS = Path(__file__).resolve().parent.parent / "tools"


def _encoding():
    sys.path.insert(0, str(TOOLS))
    try:
        from offline_tiktoken import encodings

        return encodings()["o200k"]
    except ImportError:
        return None
    finally:
        sys.path.remove(str(TOOLS))


def _texts():
    sys.path.insert(0, str(TOOLS))
    try:
        from token_corpus import build

        return [text for _, _, text in build(11, 30)]
    finally:
        sys.path.remove(str(TOOLS))


def _skipped(name, target):
    return {"benchmark": name, "ours_s": float("nan"), "baseline": "tiktoken or bpe-openai missing",
            "baseline_s": float("nan"), "ratio": float("nan"), "kind": "speed-up", "target": target,
            "note": "skipped"}


def run(quick=False):
    enc = _encoding()
    if enc is None:
        return [_skipped("estimate_tokens per text", ">= 20x"),
                _skipped("trim, exact counter, re-trimmed history", "<= 3x")]
    texts = _texts()
    size = sum(len(t.encode()) for t in texts)
    estimate = fh.estimate_tokens
    encode = enc.encode_ordinary

    def estimate_all():
        # The estimate itself, not the cache of estimates: emptied before the pass.
        _native.estimate_cache(True)
        return [estimate(t) for t in texts]

    ours, theirs = interleaved([
        (estimate_all, 2 if quick else 5),
        (lambda: [encode(t) for t in texts], 1 if quick else 2),
    ], repeat=3 if quick else 5)
    n = len(texts)
    rows = [row("estimate_tokens per text", ours / n, "tiktoken o200k encode_ordinary", theirs / n, ">= 20x",
                higher_is_better=True, note=f"{n} corpus texts, {size // n} bytes on average")]

    # A session: a turn is added, the whole history is trimmed, as before every call.
    sys.path.insert(0, str(TOOLS))
    try:
        from token_budgets import histories
    finally:
        sys.path.remove(str(TOOLS))
    history = histories(1, seed=5)[0]
    turns = [i for i, m in enumerate(history) if m["role"] == "user"][1:] + [len(history)]

    def session(counter):
        for end in turns:
            fh.trim(history[:end], max_tokens=16384, token_counter=counter)

    def fresh_exact():
        # A new counter object per session: its cache starts empty, so every text
        # is encoded once in the session, as in a real one.
        def exact(text):
            return len(encode(text))

        return exact

    fresh_exact()(history[0]["content"])  # the encoding is loaded before timing
    default_s, exact_s = interleaved([(lambda: session(None), 1), (lambda: session(fresh_exact()), 1)],
                                     repeat=2 if quick else 4)
    rows.append(row("trim, exact counter, re-trimmed history", exact_s, "the same with the default estimate",
                    default_s, "<= 3x", note=f"{len(turns)} calls over {len(history)} msgs, o200k via tiktoken"))
    # Where the exact counter's time goes: tiktoken encoding each text once (the
    # floor of any exact count), and the rest with every count already known.
    warm = fresh_exact()
    session(warm)
    known_s, default_s = interleaved([(lambda: session(warm), 1), (lambda: session(None), 1)],
                                     repeat=2 if quick else 4)
    rows.append(row("trim, exact counter, every count known", known_s, "the same with the default estimate",
                    default_s, "report", note="the session again with a counter that has counted every text"))
    return rows
