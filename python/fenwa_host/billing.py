"""What a provider bills for the input of a request, and whether rewriting a cached prefix pays.

Prices are in input-token-equivalents: one uncached input token costs 1.0. Each
provider's prompt-cache rules are one frozen `CacheRules` table (`OPENAI`,
`ANTHROPIC`, or one of the `openai_rules` / `anthropic_rules` variants for a
model). Everything that weighs cache cost reads such a table:

- `bill_request` prices one request from the prefix it shares with earlier
  requests and, for providers that cache only what is marked, its breakpoints;
- `place_breakpoints` chooses where a request marks its cache breakpoints;
- `rewrite_gain` decides whether rewriting the cached prefix now beats reading its
  ballast from cache over the next calls (the cost model of
  `fenwa_micro.consolidation_gain`, with the provider's cache minimum and steps).

The functions are pure: a request is described by the cumulative token count at
the end of each of its blocks (the provider's unit of caching: a system block, a
message content block), in the order the provider reads them.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Literal, Optional, Sequence, Tuple, TypedDict

__all__ = [
    "ANTHROPIC",
    "NEUTRAL",
    "OPENAI",
    "Bill",
    "CacheRules",
    "CacheTTL",
    "RewriteGain",
    "add_bills",
    "anthropic_rules",
    "bill_request",
    "empty_bill",
    "place_breakpoints",
    "rewrite_gain",
    "rules_for_format",
    "worth_writing",
]

#: Anthropic's two cache lifetimes: five minutes (the default) or one hour.
CacheTTL = Literal["5m", "1h"]


@dataclass(frozen=True)
class CacheRules:
    """One provider's prompt-cache billing rules."""

    #: A name for reports ("openai", "anthropic", or the caller's own).
    provider: str
    #: Price of an input token read from the cache.
    read_ratio: float
    #: Price of an input token written to the cache (1.0: no write premium).
    write_ratio: float
    #: Shortest prefix the provider caches; shorter ones are neither read nor written.
    min_tokens: int
    #: A cached prefix is counted in whole steps of this many tokens.
    step_tokens: int = 1
    #: True when only prefixes ending at a marked breakpoint are cached (Anthropic's
    #: `cache_control`); False when every prefix of a request is (OpenAI).
    explicit: bool = False
    #: Most breakpoints one request may carry (explicit caching only).
    max_breakpoints: int = 4
    #: A cached prefix is found only if it ends at one of the request's breakpoints
    #: or at most this many blocks before one (explicit caching only).
    lookback_blocks: int = 20
    #: The cache lifetime the write price belongs to (explicit caching only).
    ttl: CacheTTL = "5m"

    def __post_init__(self) -> None:
        if not isinstance(self.provider, str) or not self.provider:
            raise ValueError(f"provider must be a non-empty str, not {self.provider!r}")
        for name in ("read_ratio", "write_ratio"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
                raise ValueError(f"{name} must be a finite non-negative number, not {value!r}")
        for name, least in (("min_tokens", 0), ("step_tokens", 1), ("max_breakpoints", 1), ("lookback_blocks", 1)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < least:
                raise ValueError(f"{name} must be an int of at least {least}, not {value!r}")
        if self.ttl not in ("5m", "1h"):
            raise ValueError(f"ttl must be '5m' or '1h', not {self.ttl!r}")

    def cached_part(self, prefix_tokens: int) -> int:
        """How many tokens of a shared prefix of this length the provider bills as cached."""
        if prefix_tokens < self.min_tokens or prefix_tokens <= 0:
            return 0
        return prefix_tokens - prefix_tokens % self.step_tokens

    def to_dict(self) -> Dict[str, Any]:
        """The table as plain data; `CacheRules(**d)` rebuilds it."""
        return dataclasses.asdict(self)


#: OpenAI: automatic caching of every prefix from 1,024 tokens on, in 128-token
#: steps, at 0.1x the input price (the GPT-5 family; older models 0.25x-0.5x: use
#: `dataclasses.replace(OPENAI, read_ratio=...)`), with no write premium.
OPENAI = CacheRules("openai", read_ratio=0.1, write_ratio=1.0, min_tokens=1024, step_tokens=128)

#: Anthropic: only marked prefixes are cached, at most 4 breakpoints, a 20-block
#: lookback, from 1,024 tokens on (most models), read at 0.1x, written at 1.25x for
#: the five-minute cache (2x for the one-hour cache: `anthropic_rules(ttl="1h")`).
ANTHROPIC = CacheRules(
    "anthropic", read_ratio=0.1, write_ratio=1.25, min_tokens=1024, explicit=True, max_breakpoints=4,
    lookback_blocks=20, ttl="5m",
)

#: For formats that name no provider: the ratios of `fenwa_micro.consolidation_gain`'s
#: defaults, with no cache minimum, so decisions are those the module gives.
NEUTRAL = CacheRules("neutral", read_ratio=0.1, write_ratio=1.25, min_tokens=0)

# Models whose cache minimum differs from 1,024 tokens, by name prefix.
_ANTHROPIC_MINIMUMS: Tuple[Tuple[str, int], ...] = (
    ("claude-3-haiku", 2048),
    ("claude-3-5-haiku", 2048),
    ("claude-haiku-4-5", 4096),
    ("claude-opus-4-5", 4096),
)
_ANTHROPIC_WRITE = {"5m": 1.25, "1h": 2.0}


def anthropic_rules(model: Optional[str] = None, *, ttl: CacheTTL = "5m") -> CacheRules:
    """Anthropic's rules for `model` (its cache minimum) and cache lifetime `ttl`."""
    if ttl not in _ANTHROPIC_WRITE:
        raise ValueError(f"cache_ttl must be '5m' or '1h', not {ttl!r}")
    minimum = ANTHROPIC.min_tokens
    if model is not None:
        for prefix, tokens in _ANTHROPIC_MINIMUMS:
            if model.startswith(prefix):
                minimum = tokens
                break
    return dataclasses.replace(ANTHROPIC, write_ratio=_ANTHROPIC_WRITE[ttl], min_tokens=minimum, ttl=ttl)


def rules_for_format(format: str) -> CacheRules:
    """The default rules of the provider a message format is sent to."""
    if format in ("openai", "openai-responses"):
        return OPENAI
    if format == "anthropic":
        return ANTHROPIC
    return NEUTRAL


class Bill(TypedDict):
    """Billed input of one or more requests."""

    #: Input tokens read from the cache.
    read_tokens: int
    #: Input tokens written to the cache (explicit caching only).
    write_tokens: int
    #: Input tokens billed at the plain input price.
    uncached_tokens: int
    #: Everything, in input-token-equivalents (uncached input = 1.0).
    cost: float


def empty_bill() -> Bill:
    return {"read_tokens": 0, "write_tokens": 0, "uncached_tokens": 0, "cost": 0.0}


def add_bills(bills: Iterable[Bill]) -> Bill:
    total = empty_bill()
    for b in bills:
        total["read_tokens"] += b["read_tokens"]
        total["write_tokens"] += b["write_tokens"]
        total["uncached_tokens"] += b["uncached_tokens"]
        total["cost"] += b["cost"]
    return total


def _price(rules: CacheRules, read: int, written: int, uncached: int) -> Bill:
    return {
        "read_tokens": read,
        "write_tokens": written,
        "uncached_tokens": uncached,
        "cost": read * rules.read_ratio + written * rules.write_ratio + uncached,
    }


def bill_request(
    rules: CacheRules,
    ends: Sequence[int],
    *,
    cached: Sequence[int] = (),
    marks: Sequence[int] = (),
) -> Tuple[Bill, List[int]]:
    """The bill of one request, and the block ends the cache holds afterwards.

    `ends[i]` is the cumulative token count through block i (the last one is the
    request's total). `cached` lists blocks whose prefix an earlier request left
    in the cache and which this request repeats byte for byte. `marks` are the
    request's breakpoints (explicit caching). The cache entries returned are the
    valid `cached` ones and those this request writes.

    Automatic caching (OpenAI) reads the longest cached prefix, in whole steps from
    the minimum on, and then holds every prefix of this request. Explicit caching
    (Anthropic) reads the longest cached prefix that ends at a breakpoint or at most
    `lookback_blocks` blocks before one, writes up to the last breakpoint whose
    prefix reaches the minimum, and bills the rest uncached.
    """
    total = ends[-1] if ends else 0
    if not ends:
        return empty_bill(), list(cached)
    if not rules.explicit:
        shared = max((ends[c] for c in cached), default=0)
        read = rules.cached_part(min(shared, total))
        return _price(rules, read, 0, total - read), [len(ends) - 1]
    hit = -1
    ordered = sorted(set(marks))
    for c in cached:
        if ends[c] < rules.min_tokens or ends[c] <= (ends[hit] if hit >= 0 else 0):
            continue
        if any(c <= m < c + rules.lookback_blocks for m in ordered):
            hit = c
    read = ends[hit] if hit >= 0 else 0
    written_to = read
    for m in ordered:
        if ends[m] >= rules.min_tokens and ends[m] > written_to:
            written_to = ends[m]
    written = written_to - read
    entries = sorted(set(cached) | {m for m in ordered if ends[m] >= rules.min_tokens and ends[m] > 0})
    return _price(rules, read, written, total - read - written), entries


def place_breakpoints(
    ends: Sequence[int],
    markable: Sequence[bool],
    rules: CacheRules,
    *,
    system: int = 0,
    stable: int = 0,
    keep: int = 0,
    caller_marks: Sequence[int] = (),
    end: Optional[int] = None,
) -> List[int]:
    """Where a request marks its cache breakpoints (block indices, ascending).

    `ends` are the cumulative tokens through each block, `markable[i]` says whether
    block i may carry a breakpoint (thinking blocks may not), the first `system`
    blocks are the system prompt, the first `stable` blocks repeat the previous
    request byte for byte, and `caller_marks` are breakpoints the caller set, which
    stay and count against the limit. `end` (default: the last block) is the last
    block worth writing to the cache: what follows it is sent uncached, since the
    next request is not expected to repeat it. In order of what each is worth:

    1. block `end` (rolling): the next request reads everything sent up to it;
    2. the end of the stable prefix, when the last breakpoint's lookback does not
       reach it (more than `lookback_blocks` new blocks): this request reads it;
    3. the end of the first `keep` blocks, the part the next rewrite will keep
       (when the caller can tell): that rewrite reads it;
    4. the end of the system prompt: what survives any rewrite of the messages.

    A breakpoint whose prefix is under the cache minimum is not placed (it would be
    neither read nor written), nor a second one where one already is. A wanted
    block that cannot be marked gives its place to the nearest markable block
    before it.
    """
    n = len(ends)
    chosen: List[int] = []
    present = set(caller_marks)
    room = rules.max_breakpoints - len(present)
    if n == 0 or room <= 0:
        return chosen

    def usable(i: int, floor: int = 0) -> Optional[int]:
        while i >= floor:
            if markable[i]:
                return i if ends[i] >= rules.min_tokens and ends[i] > 0 else None
            i -= 1
        return None

    def add(i: Optional[int]) -> None:
        if i is not None and i not in present and len(chosen) < room:
            chosen.append(i)
            present.add(i)

    last = usable(n - 1 if end is None else min(max(end, -1), n - 1))
    add(last)
    if stable > 0:
        end = stable - 1
        covering = [m for m in present if end <= m < end + rules.lookback_blocks]
        if not covering:
            add(usable(end))
    if keep > 0:
        add(usable(min(keep, n) - 1))
    if system > 0:
        add(usable(min(system, n) - 1))
    return sorted(chosen)


def _divide(a: float, b: float) -> float:
    """a / b as IEEE-754 division gives it (infinities and NaN instead of an error)."""
    if b != 0 or math.isnan(b):
        return a / b
    if a == 0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


class RewriteGain(TypedDict):
    """Whether rewriting the cached prefix now pays over the next calls, in
    input-token-equivalents (the keys of `fenwa_micro.consolidation_gain`)."""

    consolidate: bool
    gain_token_equiv: float
    cost_keep: float
    cost_consolidate: float
    break_even_calls: float


def worth_writing(rules: CacheRules, repeat_share: float) -> bool:
    """Whether new input pays to be written to the cache when the next request
    repeats it with probability `repeat_share`: the write premium (write - 1) now
    against what a repeat then saves (writing it later, at write - read more)."""
    premium = rules.write_ratio - 1.0
    if premium <= 0:
        return True
    return repeat_share * (rules.write_ratio - rules.read_ratio) > premium


def rewrite_gain(
    rules: CacheRules, prefix_tokens: int, purgeable_tokens: int, calls_ahead: int = 8, kept_tokens: int = 0
) -> RewriteGain:
    """Keeping the cached prefix (P tokens) costs its cached read on each of the
    next n calls; rewriting it without its U purgeable tokens costs, once, writing
    the R = P - U left (reading the first `kept_tokens` of them from the cache when
    the rewrite leaves those unchanged), then reading R on the n - 1 calls after.
    A prefix under the cache minimum is billed at the full price, and only whole
    cache steps are read. With no minimum, single-token steps and nothing kept this
    is exactly `fenwa_micro.consolidation_gain(P, U, n, read_ratio, write_ratio)`."""
    n = float(max(1, calls_ahead))
    p = max(0, prefix_tokens)
    u = min(max(0, purgeable_tokens), p)
    r = p - u
    k = min(max(0, kept_tokens), r)
    read, write = rules.read_ratio, rules.write_ratio
    p_cached, r_cached, k_cached = rules.cached_part(p), rules.cached_part(r), rules.cached_part(k)
    # Grouped as the module groups them, so the two agree to the last bit.
    cost_keep = (p_cached * n) * read + n * (p - p_cached)
    written = write * (r - k) if r_cached else float(r - k)
    write_first = written + k_cached * read + (k - k_cached) if k else written
    cost_consolidate = ((n + -1.0) * r_cached) * read + write_first + (n + -1.0) * (r - r_cached)
    gain = cost_keep - cost_consolidate
    keep_each = p_cached * read + (p - p_cached)
    later_each = r_cached * read + (r - r_cached)
    if u == 0:
        break_even = math.inf
    elif r_cached == r and p_cached == p and not k:
        break_even = _divide((write - read) * r, float(p - r) * read)
    elif keep_each <= later_each:
        break_even = math.inf
    else:
        break_even = max(0.0, (write_first - later_each) / (keep_each - later_each))
    return {
        "consolidate": gain > 0,
        "gain_token_equiv": gain,
        "cost_keep": cost_keep,
        "cost_consolidate": cost_consolidate,
        "break_even_calls": break_even,
    }
