"""Flood detection: repetition metrics of a payload and a verdict.

``flood_report(text)`` measures how much of a text is repetition, in one native
pass, and flags it when a metric is over its threshold. It catches the floods
that an exact-shingle scan misses: log lines that differ only in counters and
timestamps, records of a JSON array, templated spam, scripts written without
spaces, and runs of one character.

Ordinary tool output repeats too: a metric timeline, a trace or a stats dump is
one row layout with new values in every row. What sets a flood apart is scale
and verbatim content. So the metrics over normalised tokens, which see every
row of one layout as the same, count only when the text repeats its commonest
template (word 4-gram) at least ``min_repeats`` times (32 by default: a page of
tool output holds fewer rows, a flood hundreds), or half that when it also
repeats text verbatim (``raw_token_saturation`` over ``VERBATIM_SHARE``, as
templated spam and injections do). Verbatim repetition, character shingles and
runs count at any scale.

Every metric is a fraction in [0, 1]. Characters are code points; tokens are the
maximal runs of non-White_Space characters, compared in a normalised form where
UUIDs, runs of 8 or more hex digits and runs of decimal digits each become one
placeholder (so ISO-8601 timestamps of one layout and IPv4 addresses compare
alike). Unless said otherwise a fraction of characters is over the characters
of the text's tokens (the text without its White_Space).

=========================  ==================================================
metric                     meaning
=========================  ==================================================
dup_line_frac              lines (token sequences between line feeds) equal
                           to an earlier line, over all lines with a token
dup_para_frac              the same for paragraphs (split at two or more
                           line feeds)
dup_line_char_frac         characters of those duplicate lines
dup_para_char_frac         characters of those duplicate paragraphs
top_{2,3,4}_gram_char_frac characters covered by the most frequent word
                           n-gram (occurring at least twice)
dup_{5..10}_gram_char_frac characters covered by word n-grams that repeat an
                           earlier n-gram
token_saturation           of the overlapping 8-token shingles, the fraction
                           that repeat an earlier one (0 below 16 tokens)
raw_token_saturation       the same over the tokens as written: verbatim
                           repetition
char_saturation            16-character shingles of tokens of 32 characters
                           or more (a run of digits reading as one character)
                           that repeat an earlier one, per character: floods
                           in scripts without spaces, compact records, or one
                           long run
longest_run_frac           characters of the longest run of one unit of 1 to
                           32 bytes repeated back to back (extending at least
                           128 bytes past its first unit), over the characters
                           of the whole text, White_Space included
=========================  ==================================================

The report also holds ``repeats``, the occurrences of the most frequent
normalised word 4-gram (0 below 4 tokens).

A metric flags the text when it is strictly greater than its threshold (and,
for the normalised-token metrics, the text repeats its template often enough);
a threshold of 1.0 turns a metric off. The defaults (``DEFAULT_THRESHOLDS``) are
the published Gopher repetition thresholds (Rae et al. 2021, "Scaling Language
Models: Methods, Analysis & Insights from Training Gopher", MassiveText quality
filters) where they hold on agent traffic, and values measured on the tuning
part of the project's labelled corpus (tests/data/flood_corpus.jsonl) for the
others: Gopher tuned its values on web prose, and ordinary source code repeats
lines and n-grams well past them. ``min_repeats`` and ``VERBATIM_SHARE`` are
measured on the same tuning part, which holds natural tool output (timelines,
traces, stats dumps, tables, API responses, stack traces, listings, test runs,
diffs, log excerpts) beside the floods.
A JSON document (an object or an array) is measured by its values alone, in
document order: the keys and the layout repeat once per record in any page of
records, so they say nothing about whether the records repeat, and a page must
not read as a flood for being pretty-printed.
Texts shorter than ``min_chars`` characters are never flagged: they cannot
exhaust a context window, and a few repeated short lines ("ok", "ok") would
otherwise count as a flood.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, Dict, List, Mapping, Optional, Tuple

from fenwa_host import _native

__all__ = [
    "DEFAULT_THRESHOLDS",
    "DEFAULT_MIN_CHARS",
    "DEFAULT_MIN_REPEATS",
    "VERBATIM_SHARE",
    "FloodReport",
    "flood_report",
]

#: Thresholds by metric name: Gopher's published values for the metrics it has,
#: measured values for the saturations and longest_run_frac.
DEFAULT_THRESHOLDS: Mapping[str, float] = MappingProxyType(
    {
        # G: Gopher's published value. M: measured on the corpus's tuning part,
        # where Gopher's value (in brackets) flags ordinary code, or bug reports
        # quoting a few log lines, which repeat far more than web prose.
        "dup_line_frac": 0.50,  # M (0.30)
        "dup_para_frac": 0.30,  # G
        "dup_line_char_frac": 0.30,  # M (0.20)
        "dup_para_char_frac": 0.20,  # G
        "top_2_gram_char_frac": 0.20,  # G
        "top_3_gram_char_frac": 0.18,  # G
        "top_4_gram_char_frac": 0.22,  # M (0.16)
        "dup_5_gram_char_frac": 0.35,  # M (0.15)
        "dup_6_gram_char_frac": 0.35,  # M (0.14)
        "dup_7_gram_char_frac": 0.35,  # M (0.13)
        "dup_8_gram_char_frac": 0.35,  # M (0.12)
        "dup_9_gram_char_frac": 0.35,  # M (0.11)
        "dup_10_gram_char_frac": 0.35,  # M (0.10)
        "token_saturation": 0.40,  # M, no Gopher counterpart
        "raw_token_saturation": 0.50,  # M, no Gopher counterpart
        "char_saturation": 0.45,  # M, no Gopher counterpart
        "longest_run_frac": 0.30,  # M, no Gopher counterpart
    }
)

#: Texts with fewer characters are never flagged.
DEFAULT_MIN_CHARS = 256

#: The metrics over normalised tokens count from this many repeats of the
#: commonest word 4-gram (or half as many with verbatim repetition).
DEFAULT_MIN_REPEATS = 32

#: A raw_token_saturation over this share is verbatim repetition, which halves
#: the repeats the normalised-token metrics need.
VERBATIM_SHARE = 0.03

# The metrics over normalised tokens: the ones gated by the repeats.
_TEMPLATE_METRICS = frozenset(
    name
    for name in DEFAULT_THRESHOLDS
    if name not in ("raw_token_saturation", "char_saturation", "longest_run_frac")
)


@dataclass(frozen=True)
class FloodReport:
    """The repetition metrics of one text, each a fraction in [0, 1], and the verdict.

    ``reasons`` names the metrics that flag the text, in field order;
    ``flagged`` is true when there is at least one. ``repeats`` is the count of
    the most frequent normalised word 4-gram.
    """

    dup_line_frac: float
    dup_para_frac: float
    dup_line_char_frac: float
    dup_para_char_frac: float
    top_2_gram_char_frac: float
    top_3_gram_char_frac: float
    top_4_gram_char_frac: float
    dup_5_gram_char_frac: float
    dup_6_gram_char_frac: float
    dup_7_gram_char_frac: float
    dup_8_gram_char_frac: float
    dup_9_gram_char_frac: float
    dup_10_gram_char_frac: float
    token_saturation: float
    raw_token_saturation: float
    char_saturation: float
    longest_run_frac: float
    repeats: int
    flagged: bool
    reasons: Tuple[str, ...]

    def metrics(self) -> Dict[str, float]:
        """The metrics by name, in field order."""
        return {name: getattr(self, name) for name in DEFAULT_THRESHOLDS}


def _thresholds(thresholds: Optional[Mapping[str, float]]) -> Mapping[str, float]:
    if thresholds is None:
        return DEFAULT_THRESHOLDS
    if not isinstance(thresholds, Mapping):
        raise TypeError(
            "flood_report() argument 'thresholds' must be a mapping of metric names to "
            f"floats or None, not {type(thresholds).__name__}"
        )
    merged = dict(DEFAULT_THRESHOLDS)
    for name, value in thresholds.items():
        if name not in DEFAULT_THRESHOLDS:
            raise ValueError(
                f"flood_report() argument 'thresholds' has an unknown metric {name!r}; "
                f"known: {', '.join(DEFAULT_THRESHOLDS)}"
            )
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(
                f"flood_report() argument 'thresholds' must map {name!r} to a float, "
                f"not {type(value).__name__}"
            )
        if not (0.0 <= value <= 1.0):  # NaN fails this too
            raise ValueError(
                f"flood_report() argument 'thresholds': {name!r} must be in [0, 1], got {value!r}"
            )
        merged[name] = float(value)
    return merged


def _json_values(text: str) -> Optional[str]:
    """The values of a JSON document (an object or an array), in document order
    and separated by spaces; None for anything else.

    A page of records repeats its keys and its layout once per record: that is
    the shape of the data, not repetition of what it says. Measured as written,
    an API page of a few dozen records pretty-printed one field per line reads as
    a flood (every record's lines repeat), while the same page on one line does
    not. The values alone are what a flood of records repeats (the same record
    with new ids and timestamps), and they read the same in any layout. Strings
    keep their own line feeds, so a log flood inside a string is still one."""
    start = text.lstrip()[:1]
    if start not in ("{", "["):
        return None
    try:
        document = json.loads(text)
    except (ValueError, RecursionError):  # not JSON, or nested past the parser's depth
        return None
    if not isinstance(document, (dict, list)):
        return None
    values: List[str] = []
    stack: List[Any] = [document]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            stack.extend(reversed(list(item.values())))
        elif isinstance(item, list):
            stack.extend(reversed(item))
        elif isinstance(item, str):
            values.append(item)
        else:
            values.append(json.dumps(item))
    return " ".join(values)


def _metrics(text: str) -> Dict[str, Any]:
    values = _json_values(text)
    if values is not None:
        text = values
    try:
        return _native.flood_metrics(text)
    except UnicodeEncodeError:
        # Lone surrogates (from surrogateescape decoding, say) have no UTF-8 form:
        # each becomes U+FFFD, one character for one, and the text is measured.
        return _native.flood_metrics(text.encode("utf-8", "replace").decode("utf-8"))


def flood_report(
    text: str,
    *,
    thresholds: Optional[Mapping[str, float]] = None,
    min_chars: int = DEFAULT_MIN_CHARS,
    min_repeats: int = DEFAULT_MIN_REPEATS,
) -> FloodReport:
    """Measure how much of ``text`` is repetition, and flag it as a flood.

    ``thresholds`` maps metric names to thresholds in [0, 1] that replace the
    defaults (``DEFAULT_THRESHOLDS``); a metric over its threshold flags the
    text. The metrics over normalised tokens count only when the text repeats
    its commonest word 4-gram at least ``min_repeats`` times, or half as many
    with verbatim repetition. Texts shorter than ``min_chars`` characters are
    never flagged.
    """
    if not isinstance(text, str):
        raise TypeError(f"flood_report() argument 'text' must be str, not {type(text).__name__}")
    if isinstance(min_chars, bool) or not isinstance(min_chars, int):
        raise TypeError(
            f"flood_report() argument 'min_chars' must be int, not {type(min_chars).__name__}"
        )
    if min_chars < 0:
        raise ValueError(f"flood_report() argument 'min_chars' must be >= 0, got {min_chars}")
    if isinstance(min_repeats, bool) or not isinstance(min_repeats, int):
        raise TypeError(
            f"flood_report() argument 'min_repeats' must be int, not {type(min_repeats).__name__}"
        )
    if min_repeats < 0:
        raise ValueError(f"flood_report() argument 'min_repeats' must be >= 0, got {min_repeats}")
    limits = _thresholds(thresholds)
    values = _metrics(text)
    reasons: Tuple[str, ...] = ()
    if len(text) >= min_chars:
        repeats = values["repeats"]
        verbatim = values["raw_token_saturation"] > VERBATIM_SHARE
        templated = repeats >= min_repeats or (verbatim and 2 * repeats >= min_repeats)
        reasons = tuple(
            name
            for name, limit in limits.items()
            if values[name] > limit and (templated or name not in _TEMPLATE_METRICS)
        )
    fields: Dict[str, Any] = dict(values)
    return FloodReport(**fields, flagged=bool(reasons), reasons=reasons)

