"""The one place that decides whether a payload is a repetitive flood.

Trimming's elision placeholders, Conversation's report flags and the example's
flood alert all ask here, so the rule can change in one line.
"""

from __future__ import annotations

from .flood import flood_report


def is_flood(text: str) -> bool:
    """Whether `text` is a repetitive flood (forged logs, spam, padding)."""
    return flood_report(text).flagged
