"""The one place that decides whether a payload is a repetitive flood.

Trimming's elision placeholders, Conversation's report flags and the example's
flood alert all ask here, so the rule can change in one line. A payload's verdict
is computed once: a history re-trimmed before every model call asks about the
same tool outputs again and again.
"""

from __future__ import annotations

import threading
from typing import Dict

from .flood import flood_report

#: Bounds of the verdict cache: entries, and characters of the payloads it holds.
CACHE_ENTRIES = 4096
CACHE_CHARS = 32 << 20

_verdicts: Dict[str, bool] = {}
_chars = 0
_lock = threading.Lock()


def is_flood(text: str) -> bool:
    """Whether `text` is a repetitive flood (forged logs, spam, padding)."""
    verdict = _verdicts.get(text)
    if verdict is not None:
        return verdict
    verdict = flood_report(text).flagged
    if len(text) > CACHE_CHARS // 4:
        return verdict  # too large to hold: asked rarely, and costly to keep
    global _chars
    with _lock:
        if text not in _verdicts:
            # Oldest first out, until the new entry fits both bounds.
            while _verdicts and (len(_verdicts) >= CACHE_ENTRIES or _chars + len(text) > CACHE_CHARS):
                oldest = next(iter(_verdicts))
                _chars -= len(oldest)
                del _verdicts[oldest]
            _verdicts[text] = verdict
            _chars += len(text)
    return verdict


def clear_cache() -> None:
    """Forget every verdict (for tests and for changed thresholds)."""
    global _chars
    with _lock:
        _verdicts.clear()
        _chars = 0
