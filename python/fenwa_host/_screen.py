"""The one place that decides whether a payload is a repetitive flood.

Trimming's elision placeholders and the example's flood alert both ask here, so
the rule can change in one line.
"""

from __future__ import annotations

import fenwa_micro as fm

#: A payload whose word shingles repeat this much is a flood, not information.
FLOOD_SATURATION = 0.5


def is_flood(text: str) -> bool:
    """Whether `text` is a repetitive flood (forged logs, spam, padding)."""
    return fm.saturation_scan(text) >= FLOOD_SATURATION
