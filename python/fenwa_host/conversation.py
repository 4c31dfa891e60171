"""Conversation: a cache-stable, self-summarising context kept between requests.

The host appends provider messages as they happen and asks `request()` (the list
to send) or `request_params()` (the provider call's keyword arguments, with cache
breakpoints) for the next call. Between requests the rendered prefix stays
byte-identical, so the provider's prompt cache keeps paying, and new messages are
only appended. What each request is billed, and whether rewriting the prefix pays,
comes from one table of the provider's cache rules (`fenwa_host.billing`).

What the user says is memory; tool output is ballast. A rewrite first turns older
tool results into placeholders; conversation text leaves only when it alone no
longer fits the budget, assistant turns before user turns, and a user turn that
leaves keeps its content in the STATE ledger. Assistant turns that leave are
digested into a recap of their own, so acknowledgements never push the user's
statements out of the ledger.

The system prompt is the purpose, then the ledger (and recap). The purpose comes
first and changes never; the ledger changes only when conversation text leaves,
which rewrites the messages from their start anyway. So a rewrite that only elides
tool results keeps the whole system prompt and every message before the first
elided result cached, and one that drops turns still keeps the purpose cached
(for Anthropic it is a system block of its own with a breakpoint).

For Anthropic, whose cache writes cost a premium, tool output that ends a
request is written to the cache only while the next request tends to repeat it
(an agent loop calling tools several times a turn); when the next turn usually
lets it go, it is sent uncached behind the rolling breakpoint
(`Conversation.repeat_share`, `billing.worth_writing`).

The ledger follows `fenwa_micro.ContextApoptosis`'s rules: deduplicated by content
hash, the oldest entries roll off past `state_capacity`; assistant digests collapse
White_Space runs and are cut at the first character boundary at or after byte
120, with "…".

Threads: every public method takes one lock, so a Conversation may be shared by
several threads; each call sees and leaves a consistent state.
"""

from __future__ import annotations

import dataclasses
import math
from bisect import bisect_right
import operator
import secrets
import threading
from dataclasses import dataclass
from itertools import accumulate
from typing import (
    Any,
    Callable,
    Dict,
    FrozenSet,
    List,
    Literal,
    Mapping,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    TypedDict,
    cast,
)

import fenwa_micro as fm

from . import _native
from ._screen import is_flood
from .billing import (
    Bill,
    CacheRules,
    CacheTTL,
    RewriteGain,
    add_bills,
    anthropic_rules,
    bill_request,
    empty_bill,
    place_breakpoints,
    rewrite_gain,
    rules_for_format,
    worth_writing,
)
from .formats import FORMATS, IMAGE_TOKENS, Adapter, HeldAsDurable, MessageView, _field, _replace
from .reasoning import reasoning_params
from .tokens import PLACEHOLDER_START, CountCache, Counting, TokenCounter, longest_placeholder, placeholder_costs
from .trim import TrimResult, _preview, is_placeholder, trim

__all__ = ["Conversation", "ConversationSettings", "RequestReport", "BillingSummary"]

#: The providers a Conversation speaks.
Format = Literal["openai", "openai-responses", "anthropic"]
ToolResults = Literal["elide", "drop"]
_FORMATS = ("openai", "openai-responses", "anthropic")
_VERSION = 3
_CONVERSATIONAL = fm.USER | fm.ASSISTANT
_DURABLE = fm.SYSTEM | fm.FACT
# Classes whose messages decay, with their weights (as in the one-pass rule).
_CLASSES: Tuple[Tuple[int, float], ...] = ((_CONVERSATIONAL, 1.0), (fm.THINKING, 0.15), (fm.TOOL, 0.25))
_OTHER_WEIGHT = 0.6
#: Anthropic block kinds that must not carry a cache breakpoint.
_UNMARKABLE = frozenset({"thinking", "redacted_thinking"})
#: The share of the budget the system prompt (purpose and ledger) may take.
LEDGER_SHARE = 0.25
#: record_usage: bounds of the provider/counted ratio, its largest move per
#: report (a factor), and the smoothing of each report.
USAGE_RATIO_MIN = 0.5
USAGE_RATIO_MAX = 2.0
USAGE_STEP = 1.25
USAGE_SMOOTHING = 0.5
# How every elision placeholder starts.
# More than any format's framing of one message or one tool result, in tokens.
_FRAMING_BOUND = 32
# A user turn kept in the ledger keeps at most this many bytes of its text.
_LEDGER_ENTRY_BYTES = 1024


def _class_of(bits: int) -> int:
    """Index of a non-durable message's class in the decay tables (3: unclassed)."""
    for k, (mask, _) in enumerate(_CLASSES):
        if bits & mask:
            return k
    return 3


def _file_sent(
    views: List[MessageView],
    tokens: List[int],
    sizes: List[int],
    start: int,
    end: int,
    elide: bool,
    count: Callable[[str], int],
) -> Tuple[int, int, List[List[Tuple[int, int]]]]:
    """The messages views[start:end] join the cached prefix: their token and byte
    sums, and per decay class the (position, tokens a purge would save) of each
    that can leave. A tool result that would be elided saves its tokens less one
    longest placeholder per answered call. `_native.file_sent` does the same with
    the module's estimate as `count`; this loop serves other token counters."""
    parts: List[List[Tuple[int, int]]] = [[], [], [], []]
    for position in range(start, end):
        view = views[position]
        bits = view.bits
        if bits & _DURABLE or view.role == "system":
            continue
        saving = tokens[position]
        if elide and view.answers:
            placeholder = count(longest_placeholder(sizes[position]))
            saving = max(0, saving - placeholder * len(view.answers))
        if saving:
            parts[_class_of(bits)].append((position, saving))
    return sum(tokens[start:end]), sum(sizes[start:end]), parts


def _text_bytes(text: str) -> int:
    return len(text) if text.isascii() else len(text.encode("utf-8"))


def _cut(text: str, limit: int) -> str:
    """`text` with White_Space runs collapsed, cut at a character boundary at or
    after `limit` bytes, with "…" when something was cut."""
    words = " ".join(text.split())
    raw = words.encode("utf-8")
    if len(raw) <= limit:
        return words
    cut = limit
    while cut < len(raw) and (raw[cut] & 0xC0) == 0x80:
        cut += 1
    return raw[:cut].decode("utf-8") + "…"


def _is_user_turn(view: MessageView) -> bool:
    return view.role == "user" and not view.answers and not view.bits & fm.TOOL


def _ballast_only(view: MessageView) -> bool:
    """Held in a rewrite that lets only ballast go: every conversation message."""
    return bool(view.bits & _CONVERSATIONAL) and not view.answers


def _nothing(view: MessageView) -> bool:
    return False


# -- settings ---------------------------------------------------------------------------------


@dataclass(frozen=True)
class ConversationSettings:
    """Everything that shapes a Conversation's requests, persisted with it."""

    #: "openai" (Chat Completions), "openai-responses" or "anthropic".
    format: str = "openai"
    #: Bound of every request: the system prompt (ledger entries that do not fit
    #: its share are left out, oldest first), the messages, the format's framing,
    #: `reserve_tokens` (room for the reply, or what the host sends outside the list
    #: and does not pass here), and `tools` and `instructions` when given.
    max_tokens: Optional[int] = None
    #: The estimate's tokenizer family ("o200k", "cl100k" or "claude"), used when
    #: no `token_counter` is given.
    tokenizer: str = "o200k"
    reserve_tokens: int = 0
    tools: Any = None
    instructions: Any = None
    #: `trim`'s decay and pinning options.
    half_life: float = 6.0
    safe_threshold: float = 0.35
    keep_last_turns: int = 1
    tool_results: str = "elide"
    image_tokens: int = IMAGE_TOKENS
    #: Characters of an elided tool output its placeholder keeps (head and tail; of
    #: a repetitive flood, its first line), counted in the budget; 0: none.
    preview_chars: int = 0
    #: Entries of the STATE ledger (user statements and noted facts); assistant
    #: digests have a recap of a quarter of that (at least one).
    state_capacity: int = 64
    #: Horizon over which a prefix rewrite must pay for itself.
    calls_ahead: int = 8
    #: A rewrite the budget forces trims to this share of `max_tokens`, so the
    #: appends after it fit without another rewrite.
    rewrite_target: float = 0.5
    #: The model the requests go to (Anthropic's cache minimum depends on it).
    model: Optional[str] = None
    #: Anthropic's cache lifetime, "5m" or "1h" (writes at 1.25x or 2x).
    cache_ttl: str = "5m"
    #: Overrides of the provider's cache table (None: the table's value).
    cache_read_ratio: Optional[float] = None
    cache_write_ratio: Optional[float] = None
    cache_min_tokens: Optional[int] = None

    def __post_init__(self) -> None:
        if self.format not in _FORMATS:
            raise ValueError(f"format must be one of {', '.join(map(repr, _FORMATS))}, not {self.format!r}")
        for name in ("state_capacity", "calls_ahead", "keep_last_turns", "image_tokens", "reserve_tokens",
                     "preview_chars"):
            value = getattr(self, name)
            if not isinstance(value, int) or isinstance(value, bool) or value < 0:
                raise ValueError(f"{name} must be a non-negative int, not {value!r}")
        mt = self.max_tokens
        if mt is not None and (not isinstance(mt, int) or isinstance(mt, bool) or mt < 0):
            raise ValueError(f"max_tokens must be a non-negative int or None, not {mt!r}")
        if self.tool_results not in ("elide", "drop"):
            raise ValueError(f"tool_results must be 'elide' or 'drop', not {self.tool_results!r}")
        for name in ("half_life", "safe_threshold"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ValueError(f"{name} must be a number, not {value!r}")
            object.__setattr__(self, name, float(value))
        target = self.rewrite_target
        if isinstance(target, bool) or not isinstance(target, (int, float)) or not 0 < target <= 1:
            raise ValueError(f"rewrite_target must be a number in (0, 1], not {target!r}")
        if self.model is not None and not isinstance(self.model, str):
            raise ValueError(f"model must be a str or None, not {self.model!r}")
        if self.cache_ttl not in ("5m", "1h"):
            raise ValueError(f"cache_ttl must be '5m' or '1h', not {self.cache_ttl!r}")
        self.rules()  # the overrides are checked by the table itself

    def rules(self) -> CacheRules:
        """The provider's cache table with this conversation's overrides."""
        if self.format == "anthropic":
            base = anthropic_rules(self.model, ttl=cast(CacheTTL, self.cache_ttl))
        else:
            base = rules_for_format(self.format)
        changes: Dict[str, Any] = {}
        if self.cache_read_ratio is not None:
            changes["read_ratio"] = self.cache_read_ratio
        if self.cache_write_ratio is not None:
            changes["write_ratio"] = self.cache_write_ratio
        if self.cache_min_tokens is not None:
            changes["min_tokens"] = self.cache_min_tokens
        return dataclasses.replace(base, **changes) if changes else base


_SETTINGS = tuple(f.name for f in dataclasses.fields(ConversationSettings))


# -- reports ----------------------------------------------------------------------------------


class RequestBilling(TypedDict):
    """One request's billed input, and the full history's with the same caching."""

    request: Bill
    full_history: Bill


class _RequestReport(TypedDict):
    """What one request sent, why, and what it is billed."""

    #: Tokens of the request (system prompt included), by the counter in use.
    tokens_sent: int
    #: Tokens the full history would have been, with this request's system prompt.
    tokens_full_history: int
    reduction: float
    #: What repeats the previous request byte for byte, from its start.
    cache_stable_bytes: int
    cache_stable_tokens: int
    #: Whether the prefix was rewritten, and why (or why not).
    consolidated: bool
    reason: str
    #: The rewrite decision under the provider's cache table.
    consolidation_gain: RewriteGain
    elided: int
    dropped: int
    ledger_size: int
    #: User turns sent verbatim, and those whose content is in the ledger.
    user_turns_kept: int
    user_turns_in_ledger: int
    #: Cache breakpoints the request carries (request_params, explicit caching).
    breakpoints: int
    effort_tier: str
    reasoning: Dict[str, Any]
    saturation: List[Dict[str, Any]]
    within_budget: bool
    billing: RequestBilling
    #: Ledger and recap entries left out of the system prompt to keep it within
    #: LEDGER_SHARE of the budget.
    ledger_omitted: int
    #: What is sent outside the list (reserve_tokens, tools, instructions), counted.
    tokens_outside: int
    #: Provider tokens per counted token (record_usage), and the request in them.
    usage_ratio: float
    tokens_provider_estimate: int
    #: The provider's own count of the previous request, when reported.
    provider_input_tokens: Optional[int]


class RequestReport(_RequestReport, total=False):
    """What one request sent, why, and what it is billed; the framework
    integrations add why they started over or trimmed further."""

    restarted: str
    fallback: str


class BillingSummary(TypedDict):
    """Billed input of every request so far against the full history with caching."""

    provider: str
    requests: int
    #: What the requests were billed (input-token-equivalents in `cost`).
    billed: Bill
    #: The full history, sent every time with the provider's caching.
    full_history: Bill
    #: billed cost / full-history cost.
    cost_ratio: float
    #: Share of the tokens sent that were read from the cache.
    cache_read_share: float
    rules: Dict[str, Any]


# -- decisions --------------------------------------------------------------------------------


class RewriteState(NamedTuple):
    """What the rewrite decision looks at."""

    forced: bool
    first: bool
    prefix_tokens: int
    purgeable_tokens: int
    append_tokens: int
    max_tokens: Optional[int]
    calls_ahead: int
    #: Tokens at the start of the prefix that a rewrite leaves unchanged.
    kept_tokens: int = 0


class Verdict(NamedTuple):
    rewrite: bool
    #: Why the budget forces it (trim to `rewrite_target`), or the decision said so.
    budget: bool
    reason: str
    gain: RewriteGain


def decide(state: RewriteState, rules: CacheRules) -> Verdict:
    """Rewrite the prefix now, or append to it? A pure function of the counts and
    the provider's cache table."""
    gain = rewrite_gain(rules, state.prefix_tokens, state.purgeable_tokens, state.calls_ahead, state.kept_tokens)
    if state.forced:
        return Verdict(True, False, "asked to consolidate", gain)
    if state.first:
        return Verdict(True, False, "first request: nothing is cached yet", gain)
    if state.max_tokens is not None and state.append_tokens > state.max_tokens:
        return Verdict(True, True, f"the budget forces it: appending would send {state.append_tokens} tokens", gain)
    if gain["consolidate"]:
        return Verdict(
            True,
            False,
            f"rewriting pays: {state.purgeable_tokens} purgeable tokens, gain "
            f"{gain['gain_token_equiv']:.1f} token-equivalents over {state.calls_ahead} calls",
            gain,
        )
    if not state.purgeable_tokens:
        return Verdict(False, False, "kept the cached prefix: nothing to purge", gain)
    return Verdict(
        False, False, f"kept the cached prefix: rewriting {state.purgeable_tokens} purgeable tokens does not pay yet", gain
    )


# -- the history ------------------------------------------------------------------------------


class _History:
    """The live messages and their per-message columns, their cacheable blocks
    (cumulative tokens, whether a breakpoint may sit there, the caller's own
    breakpoints), and the cached prefix: how many were sent, their sums, and the
    decay tables of the sent ones."""

    __slots__ = (
        "messages", "views", "tokens", "bytes", "pinned", "turn_starts", "total", "explicit",
        "block_starts", "ends", "markable", "caller",
        "sent", "sent_tokens", "sent_bytes", "classes", "class_pointer", "purgeable", "checked", "elidable",
    )

    def __init__(self, explicit: bool) -> None:
        self.messages: List[Any] = []
        self.views: List[MessageView] = []
        self.tokens: List[int] = []
        self.bytes: List[int] = []
        self.pinned: List[bool] = []
        self.turn_starts: List[int] = []
        self.total = 0
        #: Whether a message is cached block by block (explicit caching) or whole.
        self.explicit = explicit
        #: Per message, the index of its first block; per block, the tokens of the
        #: messages through it, and whether it may carry a breakpoint; the blocks
        #: the caller marked.
        self.block_starts: List[int] = []
        self.ends: List[int] = []
        self.markable: List[bool] = []
        self.caller: List[int] = []
        self.sent = 0
        self.sent_tokens = 0
        self.sent_bytes = 0
        # Per decaying class: (position, tokens a purge would save) of sent messages,
        # a pointer to the first not yet counted as purgeable, and the running sum.
        self.classes: List[List[Tuple[int, int]]] = [[], [], [], []]
        self.class_pointer = [0, 0, 0, 0]
        self.purgeable = 0
        self.checked = 0  # pairing is checked up to here (no call waits there)
        self.elidable = 0  # no tool result before here is still whole

    def fill(self, messages: Sequence[Any], views: List[MessageView], tokens: List[int], nbytes: List[int],
             pinned: Sequence[bool]) -> None:
        self.messages = list(messages)
        self.views = views
        self.tokens = tokens
        self.bytes = nbytes
        self.pinned = list(pinned)
        self.total = sum(tokens)
        tool = fm.TOOL
        self.turn_starts = [
            i for i, v in enumerate(views) if v.role == "user" and not v.answers and not v.bits & tool
        ]  # _is_user_turn, written out: a rewrite refills every view
        if not self.explicit:
            self.block_starts = list(range(len(messages)))
            self.ends = list(accumulate(tokens))
            self.markable = [True] * len(messages)
            return
        # _blocks for every message, written out once: a rewrite refills the whole
        # history, and plain dicts are read without the generic field access.
        ends, markable, starts, caller = self.ends, self.markable, self.block_starts, self.caller
        before = ends[-1] if ends else 0
        for message, n in zip(messages, tokens):
            start = len(ends)
            starts.append(start)
            content = message.get("content") if type(message) is dict else _field(message, "content")
            if not isinstance(content, (list, tuple)) or not content:
                before += n
                ends.append(before)
                markable.append(True)
                continue
            last = len(content) - 1
            for k, block in enumerate(content):
                if type(block) is dict:
                    kind, mark = block.get("type"), block.get("cache_control")
                else:
                    kind, mark = _field(block, "type"), _field(block, "cache_control")
                ends.append(before + n if k == last else before)
                markable.append(kind not in _UNMARKABLE)
                if mark is not None:
                    caller.append(start + k)
            before += n

    def _blocks(self, message: Any, tokens: int) -> None:
        start = len(self.ends)
        self.block_starts.append(start)
        before = self.ends[-1] if self.ends else 0
        if not self.explicit:
            self.ends.append(before + tokens)
            self.markable.append(True)
            return
        content = _field(message, "content")
        if not isinstance(content, (list, tuple)) or not content:
            self.ends.append(before + tokens)
            self.markable.append(True)
            return
        last = len(content) - 1
        for k, block in enumerate(content):
            self.ends.append(before + tokens if k == last else before)
            self.markable.append(_field(block, "type") not in _UNMARKABLE)
            if _field(block, "cache_control") is not None:
                self.caller.append(start + k)

    def append(self, message: Any, view: MessageView, tokens: int, pinned: bool) -> None:
        position = len(self.messages)
        self.messages.append(message)
        self.views.append(view)
        self.tokens.append(tokens)
        self.bytes.append(_text_bytes(view.text))
        self.pinned.append(pinned)
        self._blocks(message, tokens)
        self.total += tokens
        if _is_user_turn(view):
            self.turn_starts.append(position)

    def truncate(self, mark: int) -> None:
        self.total -= sum(self.tokens[mark:])
        if mark < len(self.block_starts):
            block = self.block_starts[mark]
            del self.block_starts[mark:], self.ends[block:], self.markable[block:]
            self.caller = [c for c in self.caller if c < block]
        for column in (self.messages, self.views, self.tokens, self.bytes, self.pinned):
            del column[mark:]
        while self.turn_starts and self.turn_starts[-1] >= mark:
            self.turn_starts.pop()

    def recent_start(self, keep_last_turns: int) -> int:
        """Where the last `keep_last_turns` turns start (the end when none is kept)."""
        if keep_last_turns and self.turn_starts:
            return self.turn_starts[-min(keep_last_turns, len(self.turn_starts))]
        return len(self.messages)

    def blocks_before(self, message: int) -> int:
        """How many blocks the first `message` messages are."""
        return self.block_starts[message] if message < len(self.block_starts) else len(self.ends)


class _Joined(Sequence[Any]):
    """The system prompt's blocks followed by the messages' blocks (whose cumulative
    tokens are shifted by the system prompt's), without copying either."""

    def __init__(self, head: List[Any], tail: List[Any], shift: Optional[int] = None) -> None:
        self.head, self.tail, self.shift = head, tail, shift

    def __len__(self) -> int:
        return len(self.head) + len(self.tail)

    def __getitem__(self, i: Any) -> Any:
        if isinstance(i, slice):
            return [self[k] for k in range(*i.indices(len(self)))]
        if i < 0:
            i += len(self)
        if i < len(self.head):
            return self.head[i]
        value = self.tail[i - len(self.head)]
        return value + self.shift if self.shift is not None else value


def _marked(block: Any, mark: Dict[str, str]) -> Any:
    if isinstance(block, Mapping):
        return {**block, "cache_control": mark}
    dump = getattr(block, "model_dump", None)
    if callable(dump):
        return {**dump(mode="json", exclude_none=True), "cache_control": mark}
    return _replace(block, cache_control=mark)


class Conversation:
    """A provider conversation that trims itself and keeps its prompt cache warm.

    Settings are those of `ConversationSettings`, given as a `settings` object or as
    keywords (`format="anthropic", max_tokens=16000, ...`). `token_counter` is any
    `str -> int` or an encoding such as tiktoken's (default: the estimate of the
    `tokenizer` setting). `prompt_cache_key` is the OpenAI `prompt_cache_key` sent
    with every request (default: a random key made once and persisted with the
    conversation).
    """

    def __init__(
        self,
        purpose: Optional[str] = None,
        settings: Optional[ConversationSettings] = None,
        *,
        token_counter: Optional[TokenCounter] = None,
        prompt_cache_key: Optional[str] = None,
        **options: Any,
    ) -> None:
        if purpose is not None and not isinstance(purpose, str):
            raise TypeError(f"purpose must be a str or None, not {type(purpose).__name__}")
        if settings is not None and not isinstance(settings, ConversationSettings):
            raise TypeError(f"settings must be a ConversationSettings, not {type(settings).__name__}")
        unknown = sorted(set(options) - set(_SETTINGS))
        if unknown:
            raise TypeError(f"Conversation() got an unexpected keyword argument {unknown[0]!r}")
        if settings is None:
            settings = ConversationSettings(**options)
        elif options:
            settings = dataclasses.replace(settings, **options)
        if prompt_cache_key is not None and (not isinstance(prompt_cache_key, str) or not prompt_cache_key):
            raise ValueError("prompt_cache_key must be a non-empty str or None")
        self._lock = threading.RLock()
        self.settings = settings
        self.rules = settings.rules()
        self.prompt_cache_key = prompt_cache_key or f"fenwa-{secrets.token_hex(8)}"
        self._capacity = max(1, settings.state_capacity)
        self._counter = token_counter
        self._adapter: Adapter = FORMATS[settings.format]
        # Every text is counted once per conversation (the cache is bounded).
        self._counting = Counting(
            self._adapter.framing, settings.tokenizer, CountCache(token_counter) if token_counter is not None else None
        )
        # What every request sends outside the history and the system prompt.
        self._outside = settings.reserve_tokens + self._counting.outside(settings.tools, settings.instructions)
        # Provider tokens per counted token, from record_usage (1.0 until then).
        self._usage_ratio = 1.0
        self._provider_tokens: Optional[int] = None
        self._ledger_omitted = 0
        self._last_counted = 0  # what the last request sent, counted
        self._purpose = purpose
        self._window = self._new_window([])
        self._recap = fm.ContextApoptosis(state_capacity=max(1, self._capacity // 4))
        self._history = _History(self.rules.explicit)
        self._user_in_ledger = 0
        self._system_text = ""
        self._purpose_text = ""
        self._system_tokens = 0
        self._purpose_tokens = 0
        self._system_message: Optional[Dict[str, Any]] = None
        self._requests = 0
        self._appended = 0
        self._full_tokens = 0  # every message ever appended, by the counter
        self._consolidations = 0
        # The provider's cache: block indices of cached prefix ends, in this lineage.
        self._cache_entries: List[int] = []
        self._previous_full = 0  # tokens of the previous full-history request
        self._billed = empty_bill()
        self._billed_full = empty_bill()
        self._sent_total = 0
        # Whether tool output a request ends with is repeated by the next one (it is
        # not when the next turn lets it go): rounds seen, rounds repeated, and where
        # the last request's fresh tool output ended (0: it had none).
        self._fresh_rounds = 0
        self._fresh_repeats = 0
        self._fresh_end = 0
        self._marks: List[Tuple[int, int]] = []  # (message or -1 - system block, block offset)
        self.last_report: RequestReport = cast(RequestReport, {})

    # -- settings, read-only ----------------------------------------------------------------

    @property
    def format(self) -> str:
        return self.settings.format

    @property
    def max_tokens(self) -> Optional[int]:
        return self.settings.max_tokens

    @property
    def state_capacity(self) -> int:
        return self._capacity

    @property
    def tokenizer(self) -> str:
        return self.settings.tokenizer

    def _new_window(self, entries: Sequence[str]) -> Any:
        window = fm.ContextApoptosis(state_capacity=self._capacity)
        if self._purpose is not None:
            window.set_purpose(self._purpose)
        for entry in entries:
            window.note_state(entry)
        return window

    # -- history bookkeeping ------------------------------------------------------------

    def _reset_history(
        self, messages: Sequence[Any], pinned: Sequence[bool], origins: Optional[List[int]] = None
    ) -> None:
        """Start the history anew with `messages`. `origins`, when given, is the
        live position each message had before: a consolidation keeps the caller's
        objects where it can, and where every message is still that same object
        its view and counts are reused rather than read again."""
        reused = self._previous_counts(messages, origins) if origins is not None else None
        h = self._history = _History(self.rules.explicit)
        if not messages:
            return
        if reused is not None:
            views, tokens, nbytes = reused
        else:
            # In bulk: the adapter's fast path for the views, one pass for the counts.
            pinned_ids = {id(m) for m, p in zip(messages, pinned) if p}
            views = self._adapter.views(
                messages,
                self.settings.image_tokens,
                (lambda m: fm.FACT if id(m) in pinned_ids else None) if pinned_ids else None,
            )
            texts = [v.text for v in views]
            nbytes = [len(t) if t.isascii() else len(t.encode("utf-8")) for t in texts]
            tokens = self._counting.views(views).tolist()
        h.fill(messages, views, tokens, nbytes, pinned)

    def _previous_counts(
        self, messages: Sequence[Any], origins: List[int]
    ) -> Optional[Tuple[List[MessageView], List[int], List[int]]]:
        """The views, tokens and bytes of the live messages at `origins`, if
        `messages` are those very objects. (A reused view keeps the position it
        was read at; the history never reads positions back.)"""
        h = self._history
        if len(origins) != len(messages) or not all(
            map(operator.is_, messages, map(h.messages.__getitem__, origins))
        ):
            return None
        return (
            list(map(h.views.__getitem__, origins)),
            list(map(h.tokens.__getitem__, origins)),
            list(map(h.bytes.__getitem__, origins)),
        )

    # The history's columns, by the names the bookkeeping checks use.
    @property
    def _views(self) -> List[MessageView]:
        return self._history.views

    @property
    def _tokens(self) -> List[int]:
        return self._history.tokens

    @property
    def _bytes(self) -> List[int]:
        return self._history.bytes

    def _count(self, text: str) -> int:
        return self._counting.text(text)

    def _system_cost(self, text: str) -> int:
        """The system prompt's tokens: sent as a message (for Anthropic, the system
        parameter), with a message's framing."""
        return self._count(text) + self._counting.framing.per_message if text else 0

    def _limit(self) -> Optional[int]:
        """The budget for the counted system prompt, messages and request framing:
        max_tokens less what is sent outside them, in counted tokens (the
        provider's tokens divided by the usage ratio), less the estimate's margin
        when no exact counter counts."""
        if self.settings.max_tokens is None:
            return None
        return self._counting.limit(max(0, int(self.settings.max_tokens / self._usage_ratio) - self._outside))

    def _request_tokens(self) -> int:
        """What the next request sends: the system prompt, the live messages and
        the request's own framing."""
        n = self._system_tokens + self._history.total
        if self._history.messages or self._system_tokens:
            n += self._counting.framing.per_request
        return n

    def _add(self, message: Any, pinned: bool) -> int:
        h = self._history
        view = self._adapter.view(
            len(h.messages), message, self.settings.image_tokens, (lambda m: fm.FACT) if pinned else None
        )
        tokens = self._counting.view(view, len(h.messages))
        h.append(message, view, tokens, pinned)
        return tokens

    def _mark_sent(self, upto: Optional[int] = None) -> None:
        """Everything live (or the first `upto` messages) is now sent: extend the
        prefix and file the new messages into the decay tables (each message once)."""
        h = self._history
        start = h.sent
        end = len(h.messages) if upto is None else upto
        if end <= start:
            return
        elide = self.settings.tool_results == "elide"
        if self._counter is None:  # every message of a consolidation passes here: natively
            tokens, size, parts = _native.file_sent(
                h.views, h.tokens, h.bytes, start, end, elide, placeholder_costs(self.settings.tokenizer)[0]
            )
        else:
            tokens, size, parts = _file_sent(h.views, h.tokens, h.bytes, start, end, elide, self._count)
        h.sent_tokens += tokens
        h.sent_bytes += size
        views = h.views
        saving_of = self._elision_saving
        for table, part in zip(h.classes, parts):
            # Only tool results save other than what was filed: the rest go in as
            # they are, without a call per message.
            for entry in part:
                if views[entry[0]].answers:
                    realised = saving_of(entry)
                    if realised is not None:
                        table.append(realised)
                else:
                    table.append(entry)
        h.sent = end

    def _elision_saving(self, entry: Tuple[int, int]) -> Optional[Tuple[int, int]]:
        """A filed (position, saving) as trimming would realise it: a tool result
        saves what eliding it saves, its framing counted as trim counts it, and a
        placeholder (elided already: a rewrite leaves it as it is) saves nothing.
        An entry that saves nothing must not make a rewrite look like it pays."""
        position, saving = entry
        view = self._history.views[position]
        if not view.answers or self.settings.tool_results != "elide":
            return entry
        if is_placeholder(view.text):
            return None
        if not self.settings.preview_chars and saving > _FRAMING_BOUND * (1 + len(view.answers)):
            return entry  # the framing left out of the filed saving does not change what it is worth
        size = self._history.bytes[position]
        f = self._counting.framing  # the message's framing, as Counting.view counts it
        framing = f.per_message + f.per_call * len(view.calls) + f.per_result * len(view.answers)
        if f.count_ids:
            framing += sum(self._counting.text(cid, position) for cid in view.calls + view.answers)
        longest = longest_placeholder(size)
        if self.settings.preview_chars:
            longest += "\n" + _preview(view.text, self.settings.preview_chars, False)
        estimate = framing + self._count(longest) * len(view.answers)
        saving = min(saving, self._history.tokens[position] - estimate)
        return (position, saving) if saving > 0 else None

    def _purgeable_estimate(self) -> int:
        """Tokens of the cached prefix that a rewrite now would purge: ballast (tool
        results, thinking, unclassed messages) that the one-pass rule lets go, a
        message of weight w once its age exceeds half_life * log2(w / threshold),
        and never inside the recent turns. Conversation text is not ballast. Ages
        only grow, so each class advances a pointer: O(new messages) per request."""
        h = self._history
        s = self.settings
        n = len(h.messages)
        recent = h.recent_start(s.keep_last_turns)
        limit = min(recent, h.sent)
        hl = s.half_life if s.half_life >= 0.1 else 0.1
        weights = [w for _, w in _CLASSES] + [_OTHER_WEIGHT]
        for k, weight in enumerate(weights):
            if s.safe_threshold <= 0 or k == 0:
                continue  # nothing decays below a threshold of zero; conversation text stays
            ratio = weight / s.safe_threshold
            oldest_kept_age = math.floor(hl * math.log2(ratio)) if ratio >= 1 else -1
            cutoff = min(limit, n - 1 - oldest_kept_age)
            entries = h.classes[k]
            p = h.class_pointer[k]
            while p < len(entries) and entries[p][0] < cutoff:
                h.purgeable += entries[p][1]
                p += 1
            h.class_pointer[k] = p
        return h.purgeable

    def _check_new(self) -> None:
        h = self._history
        if h.checked < len(h.views):
            self._adapter.check(h.views[h.checked :], h.checked)
            h.checked = len(h.views)

    # -- filling it -------------------------------------------------------------------------

    def append(self, message: Any) -> None:
        """Append one provider message (any shape `trim` takes for this format)."""
        with self._lock:
            self._full_tokens += self._add(message, False)
            self._appended += 1

    def extend(self, messages: Sequence[Any]) -> None:
        """Append several messages; if one is malformed, none is appended."""
        if isinstance(messages, (str, bytes)):
            raise TypeError("messages must be a sequence of messages, not a str")
        with self._lock:
            h = self._history
            mark = len(h.messages)
            added = 0
            try:
                for message in messages:
                    added += self._add(message, False)
            except BaseException:
                h.truncate(mark)
                raise
            self._full_tokens += added
            self._appended += len(h.messages) - mark

    def pin(self, message: Any) -> None:
        """Append a durable FACT message: it is never trimmed."""
        with self._lock:
            self._full_tokens += self._add(message, True)
            self._appended += 1

    def note(self, fact: str) -> bool:
        """Add a fact to the STATE ledger; returns whether it was new.

        The ledger reaches the system prompt at the next rewrite, so the cached
        prefix stays intact until then; `pin` a message to say something now, or
        `request(consolidate=True)`."""
        if not isinstance(fact, str):
            raise TypeError(f"fact must be a str, not {type(fact).__name__}")
        with self._lock:
            return bool(self._window.note_state(fact))

    @property
    def ledger(self) -> List[str]:
        """The STATE ledger: the user's statements that left the messages, and noted
        facts, oldest first."""
        with self._lock:
            return list(self._window.state_entries())

    @property
    def recap(self) -> List[str]:
        """Digests of the assistant turns that left, oldest first (listed in the
        system prompt after the ledger)."""
        with self._lock:
            return list(self._recap.state_entries())

    @property
    def system_prompt(self) -> str:
        """The system text of the last request (for Anthropic, the `system` parameter)."""
        with self._lock:
            return self._system_text

    @property
    def consolidations(self) -> int:
        """How many requests rewrote the prefix."""
        with self._lock:
            return self._consolidations

    def __len__(self) -> int:
        with self._lock:
            return len(self._history.messages)

    # -- the system prompt ------------------------------------------------------------------

    def _render(self, window: Any, recap: Any) -> Tuple[str, str]:
        """The purpose text and the ledger text (purpose first, so it stays cached),
        within LEDGER_SHARE of the budget: recap entries leave first, then the
        oldest ledger entries; how many left is `_ledger_omitted`."""
        purpose = f"{self._purpose}\n" if self._purpose is not None else ""
        ledger, recaps = list(window.state_entries()), list(recap.state_entries())
        limit = self._limit()
        room = None if limit is None else max(0, int(limit * LEDGER_SHARE))

        def text(drop: int) -> str:
            kept = ledger[max(0, drop - len(recaps)):] + recaps[drop:]
            return "STATE:\n" + "".join(f"- {e}\n" for e in kept) if kept else ""

        total = len(ledger) + len(recaps)
        self._ledger_omitted = 0
        if room is None or not total or self._system_cost(purpose + text(0)) <= room:
            return purpose, text(0)
        lo, hi = 1, total  # the fewest entries to leave out lie in [lo, hi]
        while lo < hi:
            mid = (lo + hi) // 2
            if self._system_cost(purpose + text(mid)) <= room:
                hi = mid
            else:
                lo = mid + 1
        self._ledger_omitted = lo
        return purpose, text(lo)

    def _set_system(self, purpose: str, ledger: str) -> None:
        text = purpose + ledger
        self._purpose_text = purpose
        self._system_text = text
        self._system_tokens = self._system_cost(text)
        self._purpose_tokens = min(self._system_tokens, self._system_cost(purpose)) if purpose else 0
        if not text or self.settings.format == "anthropic":
            self._system_message = None
        else:
            self._system_message = {"role": "system", "content": text}

    # -- rewriting --------------------------------------------------------------------------

    def _held(self, max_tokens: Optional[int], keep: Callable[[MessageView], bool]) -> FrozenSet[int]:
        """The ids of the live messages `_trim` holds as durable: every pinned one
        and every one `keep` accepts."""
        h = self._history
        if max_tokens is None and keep is _ballast_only and not self._text_decays():
            keep = _nothing  # the one-pass rule leaves every conversation message anyway
        if keep is _nothing:
            return frozenset(id(m) for m, p in zip(h.messages, h.pinned) if p)
        return frozenset(id(m) for m, v, p in zip(h.messages, h.views, h.pinned) if p or keep(v))

    def _trim_key(self, held: FrozenSet[int], budget: Optional[int]) -> Tuple[FrozenSet[int], Optional[int]]:
        """What of `_trim`'s input can change its outcome within one rewrite: the
        budget, and which live messages are held. A budget walk leaves the recent
        turns, which trim pins anyway, as they are whether they are held or not,
        but for their tool results: a held one stays whole when the recent turn
        alone is over the budget. (Without a budget the one-pass rule weighs every
        message by its class, so all of `held` counts.)"""
        h = self._history
        views = h.views
        n = len(views)
        start = n
        turns = self.settings.keep_last_turns
        if budget is not None and turns:
            # Where trim's pin of the last `turns` user turns starts.
            found = 0
            for i in range(n - 1, -1, -1):
                v = views[i]
                if v.role == "user" and not v.answers:
                    start = i
                    found += 1
                    if found == turns:
                        break
        return frozenset(
            k for k, (m, v) in enumerate(zip(h.messages, views)) if id(m) in held and (k < start or v.answers)
        ), budget

    def _trim(
        self,
        messages: List[Any],
        max_tokens: Optional[int],
        keep: Callable[[MessageView], bool],
        held: Optional[FrozenSet[int]] = None,
    ) -> TrimResult:
        """`trim` over the live history with every message `keep` accepts (and every
        pinned one) held as durable (`held`, when the caller has them)."""
        if held is None:
            held = self._held(max_tokens, keep)
        s = self.settings
        return trim(
            messages,
            max_tokens=max_tokens,
            token_counter=self._counting.cache,
            tokenizer=s.tokenizer,
            half_life=s.half_life,
            safe_threshold=s.safe_threshold,
            keep_last_turns=s.keep_last_turns,
            tool_results=s.tool_results,
            format=s.format,
            classify=HeldAsDurable(held) if held else None,
            image_tokens=s.image_tokens,
            calls_ahead=s.calls_ahead,
            preview_chars=s.preview_chars,
        )

    def _text_decays(self) -> bool:
        """Whether the one-pass rule would let a conversation message go now: the
        oldest one is older than a weight of 1.0 survives, and not a recent turn."""
        h = self._history
        s = self.settings
        if s.safe_threshold <= 0:
            return False
        first = next((i for i, v in enumerate(h.views) if _ballast_only(v) and not v.bits & _DURABLE), None)
        if first is None:
            return False
        ratio = 1.0 / s.safe_threshold
        hl = s.half_life if s.half_life >= 0.1 else 0.1
        oldest_kept_age = math.floor(hl * math.log2(ratio)) if ratio >= 1 else -1
        recent = h.recent_start(s.keep_last_turns)
        return first < recent and len(h.messages) - 1 - first > oldest_kept_age

    def _with_gone(self, gone: Sequence[int]) -> Tuple[Any, Any, int]:
        """Copies of the ledger and the recap with the turns at the live positions
        `gone`: a user turn keeps its text (up to 1 KB) in the ledger, an assistant
        turn leaves the window's digest in the recap. Returns both and how many
        user turns went to the ledger."""
        h = self._history
        window = self._new_window(self._window.state_entries())
        recap = fm.ContextApoptosis(state_capacity=max(1, self._capacity // 4))
        for entry in self._recap.state_entries():
            recap.note_state(entry)
        users = digests = 0
        for i in gone:
            v = h.views[i]
            if v.bits & _DURABLE or v.calls or v.answers or not v.bits & _CONVERSATIONAL or not v.text.strip():
                continue
            if _is_user_turn(v):
                window.note_state(_cut(v.text, _LEDGER_ENTRY_BYTES))
                users += 1
            else:
                recap.insert(v.text, fm.ASSISTANT, 0.0)
                digests += 1
        if digests:
            recap.dehydrate(absorb=True)  # oxygen 0 falls below any positive threshold
        return window, recap, users

    def _rewrite(self, budget_forced: bool) -> Tuple[int, int, bool, int]:
        """Rewrite the prefix. Ballast goes first: tool results become placeholders
        (by the one-pass rule, or oldest first down to `rewrite_target` of the budget
        when the budget forces the rewrite) while all conversation text stays. Only
        if the conversation text alone does not fit the budget do assistant turns
        leave (their digests to the recap), then user turns (their text to the
        ledger), down to `rewrite_target`. Returns the elided and dropped counts,
        whether the budget holds, and how many messages kept their place."""
        h = self._history
        s = self.settings
        live = h.messages
        limit = self._limit()
        stages: List[Callable[[MessageView], bool]] = [
            _ballast_only,
            _is_user_turn,  # assistant turns too
            _nothing,  # user turns too
        ]
        attempts: List[Tuple[Callable[[MessageView], bool], Optional[int]]] = []
        if limit is None or not budget_forced:
            attempts.append((stages[0], None))  # the one-pass rule
        if limit is not None:
            goal = int(limit * s.rewrite_target)
            attempts += [(keep, goal) for keep in stages]
        result: Optional[TrimResult] = None
        window, recap, users = self._window, self._recap, 0
        purpose, ledger = self._render(window, recap)
        system = 0
        gone: List[int] = []
        kept: List[int] = []
        # A stage that holds the same messages as an earlier one, at the same
        # budget, comes to the same trim: its outcome is taken as it was.
        tried: Dict[Tuple[FrozenSet[int], Optional[int]], Tuple[Any, ...]] = {}
        for keep, goal_tokens in attempts:
            system = self._system_cost(purpose + ledger)
            budget = None if goal_tokens is None else max(0, goal_tokens - system)
            for _ in range(4):
                held = self._held(budget, keep)
                known = tried.get(self._trim_key(held, budget))
                if known is None:
                    result = self._trim(live, budget, keep, held)
                    kept, gone = result._sent_and_dropped()
                    window, recap, users = self._with_gone(gone)
                    purpose, ledger = self._render(window, recap)
                    system = self._system_cost(purpose + ledger)
                    tried[self._trim_key(held, budget)] = (result, kept, gone, window, recap, users, purpose, ledger, system,
                                             self._ledger_omitted)
                else:
                    result, kept, gone, window, recap, users, purpose, ledger, system, omitted = known
                    self._ledger_omitted = omitted
                if budget is None or goal_tokens is None or not result.within_budget or budget == 0:
                    break
                over = result.tokens_after + system - goal_tokens
                if over <= 0:
                    break
                budget = max(0, budget - over)  # the new ledger entries took room: trim further
            assert result is not None
            if limit is None or result.tokens_after + system <= limit:
                break
        assert result is not None
        first = result.first_changed
        unchanged = len(live) if first is None else first
        self._window, self._recap = window, recap
        self._user_in_ledger += users
        self._reset_history(result.messages, [h.pinned[i] for i in kept], kept)
        self._history.checked = len(self._history.messages)  # trim returns valid lists
        self._set_system(purpose, ledger)
        self._consolidations += 1
        fits = limit is None or self._request_tokens() <= limit
        return result.elided, len(gone), fits, unchanged

    # -- requests ---------------------------------------------------------------------------

    def request(self, *, consolidate: bool = False) -> List[Any]:
        """The provider-ready message list for the next call.

        The system message (purpose and STATE ledger) comes first, except for
        Anthropic, whose system text is `system_prompt`. `last_report` says what
        this request cost and why it did or did not rewrite the prefix;
        `consolidate=True` rewrites it now. Raises `ValueError` if the history is
        not a valid request (for example a tool call still waiting for its result).
        """
        with self._lock:
            return self._request(consolidate)

    def request_params(self, *, consolidate: bool = False) -> Dict[str, Any]:
        """The next request as the provider call's keyword arguments, ready to pass on:
        `client.messages.create(model=..., **params)` for Anthropic (`system` blocks and
        `messages`, with cache breakpoints), `client.chat.completions.create(...)` for
        OpenAI Chat (`messages`) and `client.responses.create(...)` for Responses
        (`input`), both with `prompt_cache_key`. Advances the conversation as
        `request()` does; the caller's messages are never mutated (a message that
        carries a breakpoint is sent as a copy)."""
        with self._lock:
            messages = self._request(consolidate)
            if self.settings.format == "openai":
                return {"messages": messages, "prompt_cache_key": self.prompt_cache_key}
            if self.settings.format == "openai-responses":
                return {"input": messages, "prompt_cache_key": self.prompt_cache_key}
            return self._anthropic_params(messages)

    def _anthropic_params(self, messages: List[Any]) -> Dict[str, Any]:
        mark: Dict[str, str] = {"type": "ephemeral"}
        if self.rules.ttl == "1h":
            mark["ttl"] = "1h"
        system: List[Dict[str, Any]] = [
            {"type": "text", "text": t} for t in (self._purpose_text, self._system_text[len(self._purpose_text):]) if t
        ]
        by_message: Dict[int, List[int]] = {}
        for where, offset in self._marks:
            if where < 0:
                system[-1 - where]["cache_control"] = mark
            else:
                by_message.setdefault(where, []).append(offset)
        out = messages  # a new list already: marked messages are replaced by copies
        for i, offsets in by_message.items():
            message = out[i]
            content = _field(message, "content")
            if isinstance(content, str):
                blocks: List[Any] = [{"type": "text", "text": content, "cache_control": mark}]
            else:
                blocks = list(content)
                for k in offsets:
                    blocks[k] = _marked(blocks[k], mark)
            out[i] = _replace(message, content=blocks)
        params: Dict[str, Any] = {"messages": out}
        if system:
            params["system"] = system
        return params

    def _state(self, force: bool) -> RewriteState:
        h = self._history
        purgeable = self._purgeable_estimate()
        kept = 0
        if purgeable:
            # The rewrite changes nothing before the oldest message it purges.
            first = min(h.classes[k][0][0] for k in range(4) if h.class_pointer[k])
            if self.settings.tool_results == "drop":
                while first > 0 and (h.views[first].answers or h.views[first].calls):
                    first -= 1
            kept = self._system_tokens + sum(h.tokens[:first])
        return RewriteState(
            forced=force,
            first=self._requests == 0,
            prefix_tokens=self._system_tokens + h.sent_tokens,
            purgeable_tokens=purgeable,
            append_tokens=self._request_tokens(),
            max_tokens=self._limit(),
            calls_ahead=self.settings.calls_ahead,
            kept_tokens=kept,
        )

    def _saturation(self) -> List[Dict[str, Any]]:
        h = self._history
        out = []
        for i in range(h.sent, len(h.messages)):
            v = h.views[i]
            if v.answers or (v.role == "user" and v.text):
                out.append(
                    {
                        "position": i,
                        "bytes": h.bytes[i],
                        "saturation": fm.saturation_scan(v.text),
                        "flood": is_flood(v.text),
                    }
                )
        return out

    def _request(self, force: bool) -> List[Any]:
        self._check_new()
        saturation = self._saturation()
        verdict = decide(self._state(force), self.rules)
        previous_purpose, previous_system = self._purpose_text, self._system_text
        sent_before = self._history.sent
        if verdict.rewrite:
            elided, dropped, fits, unchanged = self._rewrite(verdict.budget)
            kept_messages = min(unchanged, sent_before)
        else:
            elided = dropped = 0
            limit = self._limit()
            fits = limit is None or self._request_tokens() <= limit
            kept_messages = sent_before
        if self._requests == 0:
            same_purpose = same_system = False
        else:
            same_purpose = self._purpose_text == previous_purpose
            same_system = same_purpose and self._system_text == previous_system
        if self._fresh_end:
            self._fresh_rounds += 1
            self._fresh_repeats += kept_messages >= self._fresh_end
        bills = self._bill(same_purpose, same_system, kept_messages if same_system else 0)
        h = self._history
        if not same_system:
            stable = (0, 0)
        elif kept_messages == h.sent:  # appended: the prefix sums are at hand
            stable = (_text_bytes(self._system_text) + h.sent_bytes, self._system_tokens + h.sent_tokens)
        else:
            stable = (_text_bytes(self._system_text) + sum(h.bytes[:kept_messages]),
                      self._system_tokens + sum(h.tokens[:kept_messages]))
        self._mark_sent()
        self._requests += 1
        out: List[Any] = []
        if self._system_message is not None:
            out.append(self._system_message)
        out.extend(self._history.messages)
        self.last_report = self._report(verdict, elided, dropped, fits, stable, bills, saturation)
        self._last_counted = self.last_report["tokens_sent"] + self._outside
        return out

    def _bill(self, same_purpose: bool, same_system: bool, kept_messages: int) -> RequestBilling:
        """Bill this request from the blocks it repeats, place its breakpoints
        (explicit caching), and bill the full history the same way."""
        h = self._history
        rules = self.rules
        head: List[int] = []
        purpose_tokens = self._purpose_tokens
        if self._purpose_text:
            head.append(purpose_tokens)
        if len(self._system_text) > len(self._purpose_text):
            head.append(self._system_tokens)
        system_blocks = len(head)
        ends = _Joined(head, h.ends, self._system_tokens)
        stable = 0
        if same_purpose and self._purpose_text:
            stable = 1
        if same_system:
            stable = system_blocks + h.blocks_before(kept_messages)
        caller = [system_blocks + c for c in h.caller]
        marks: List[int] = []
        fresh = self._fresh_start(kept_messages)
        self._fresh_end = len(h.messages) if fresh is not None else 0
        if rules.explicit:
            end = None
            if fresh is not None and not worth_writing(rules, self.repeat_share):
                end = system_blocks + h.blocks_before(fresh) - 1  # the fresh output goes uncached
            marks = place_breakpoints(
                ends, _Joined([True] * system_blocks, h.markable), rules, system=1 if self._purpose_text else 0,
                stable=stable, keep=self._next_kept(system_blocks), caller_marks=caller, end=end,
            )
        self._marks = [self._where(m, system_blocks) for m in marks]
        if rules.explicit:
            cached = [c for c in self._cache_entries if c < stable]
        else:  # every prefix of the previous request is cached
            cached = [stable - 1] if stable and self._requests else []
        request, entries = bill_request(rules, ends, cached=cached, marks=sorted(marks + caller))
        reply = self._counting.framing.per_request  # the reply's start, after every cached block
        # Old entries matter only as long as a rewrite may still read them: keep the
        # first few (the system prompt) and the latest.
        self._cache_entries = entries if len(entries) <= 64 else entries[:4] + entries[-60:]
        full_now = self._purpose_tokens + self._full_tokens
        previous = self._previous_full
        full, _ = bill_request(
            rules, [previous, full_now], cached=[0] if previous else [], marks=[0, 1] if previous else [1]
        )
        for bill in (request, full):
            bill["uncached_tokens"] += reply
            bill["cost"] += reply
        self._previous_full = full_now
        self._billed = add_bills([self._billed, request])
        self._billed_full = add_bills([self._billed_full, full])
        self._sent_total += (ends[-1] if len(ends) else 0) + reply
        return {"request": request, "full_history": full}

    @property
    def repeat_share(self) -> float:
        """How often the tool output a request ends with was repeated by the next
        request, with one repeat assumed before any is seen. Fresh tool output is
        written to the cache only while this makes the write premium pay
        (`billing.worth_writing`): an agent loop that calls tools several times a
        turn keeps writing it, a session whose next turn lets it go stops."""
        return (self._fresh_repeats + 1) / (self._fresh_rounds + 1)

    def _fresh_start(self, kept: int) -> Optional[int]:
        """Where the whole tool results that end the history start, when all of
        them are new in this request (None when it does not end with any)."""
        h = self._history
        views = h.views
        i = len(views)
        while i > kept and views[i - 1].answers and not is_placeholder(views[i - 1].text):
            i -= 1
        return i if i < len(views) and i >= kept and i > 0 else None

    def _where(self, block: int, system_blocks: int) -> Tuple[int, int]:
        """A block of the request as (message, offset), or (-1 - k, 0) for system block k."""
        if block < system_blocks:
            return (-1 - block, 0)
        block -= system_blocks
        message = bisect_right(self._history.block_starts, block) - 1
        return (message, block - self._history.block_starts[message])

    def _next_kept(self, system_blocks: int) -> int:
        """How many blocks the next rewrite will likely keep: those before the oldest
        tool result (with the message that called it) that is not a placeholder yet
        and is older than the recent turns, since ballast leaves oldest first."""
        h = self._history
        s = self.settings
        recent = h.recent_start(s.keep_last_turns)
        i = h.elidable
        while i < recent and not (h.views[i].answers and not h.views[i].text.startswith(PLACEHOLDER_START)):
            i += 1
        h.elidable = i
        if i >= recent:
            return 0
        while i > 0 and (h.views[i].answers or h.views[i].calls):
            i -= 1  # the results run and the call that opened it change together
        if i == 0:
            return 0
        return system_blocks + h.blocks_before(i)

    def _report(
        self,
        verdict: Verdict,
        elided: int,
        dropped: int,
        fits: bool,
        stable: Tuple[int, int],
        bills: RequestBilling,
        saturation: List[Dict[str, Any]],
    ) -> RequestReport:
        h = self._history
        sent_tokens = self._request_tokens()
        stable_bytes, stable_tokens = stable
        newest_user = h.views[h.turn_starts[-1]].text if h.turn_starts else ""
        full = self._full_tokens + self._system_tokens + self._counting.framing.per_request
        return {
            "tokens_sent": sent_tokens,
            "tokens_full_history": full,
            "reduction": 1.0 - sent_tokens / full if full else 0.0,
            "cache_stable_bytes": stable_bytes,
            "cache_stable_tokens": stable_tokens,
            "consolidated": verdict.rewrite,
            "reason": verdict.reason,
            "consolidation_gain": verdict.gain,
            "elided": elided,
            "dropped": dropped,
            "ledger_size": len(self._window.state_entries()) + len(self._recap.state_entries()),
            "user_turns_kept": len(h.turn_starts),
            "user_turns_in_ledger": self._user_in_ledger,
            "breakpoints": len(self._marks),
            "effort_tier": fm.effort_gauge(newest_user)["tier"],
            "reasoning": reasoning_params(newest_user, self.settings.format),
            "saturation": saturation,
            "within_budget": fits,
            "billing": bills,
            "ledger_omitted": self._ledger_omitted,
            # Everything the request sends as the provider counts it, by the
            # correction record_usage learnt (1.0 until then).
            "tokens_outside": self._outside,
            "usage_ratio": self._usage_ratio,
            "tokens_provider_estimate": int(math.ceil((sent_tokens + self._outside) * self._usage_ratio)),
            "provider_input_tokens": self._provider_tokens,
        }

    # -- calibration -------------------------------------------------------------------------

    def record_usage(self, usage: Any) -> bool:
        """Correct the estimate from the input tokens the provider counted for the
        last request: `usage` is the SDK's usage object or its dict (OpenAI
        `prompt_tokens` or `input_tokens`; Anthropic `input_tokens` plus
        `cache_creation_input_tokens` and `cache_read_input_tokens`). The
        conversation keeps a smoothed ratio of provider to counted tokens, bounded
        to [USAGE_RATIO_MIN, USAGE_RATIO_MAX] and moving at most by a factor
        USAGE_STEP per report, and budgets with it. Returns whether the report was
        used (a report without a positive count, or before any request, is not)."""
        provider = _input_tokens(usage)
        with self._lock:
            counted = self._last_counted
            if provider is None or provider <= 0 or counted <= 0:
                return False
            self._provider_tokens = provider
            old = self._usage_ratio
            observed = min(max(provider / counted, old / USAGE_STEP), old * USAGE_STEP)
            ratio = old + USAGE_SMOOTHING * (observed - old)
            self._usage_ratio = min(max(ratio, USAGE_RATIO_MIN), USAGE_RATIO_MAX)
            return True

    @property
    def usage_ratio(self) -> float:
        """Provider tokens per counted token, as record_usage learnt it."""
        with self._lock:
            return self._usage_ratio

    def billing(self) -> BillingSummary:
        """What the requests so far were billed under the provider's cache rules,
        against the full history sent every time with the same caching."""
        with self._lock:
            billed, full = dict(self._billed), dict(self._billed_full)
            return {
                "provider": self.rules.provider,
                "requests": self._requests,
                "billed": cast(Bill, billed),
                "full_history": cast(Bill, full),
                "cost_ratio": self._billed["cost"] / self._billed_full["cost"] if self._billed_full["cost"] else 0.0,
                "cache_read_share": self._billed["read_tokens"] / self._sent_total if self._sent_total else 0.0,
                "rules": self.rules.to_dict(),
            }

    # -- persistence ------------------------------------------------------------------------

    def to_dict(self) -> Dict[str, Any]:
        """The whole state as plain JSON data; `from_dict` restores it exactly.
        SDK message objects are stored as their `model_dump()` dicts."""
        with self._lock:
            h = self._history
            return {
                "version": _VERSION,
                "settings": {**dataclasses.asdict(self.settings), "tools": _plain(self.settings.tools),
                             "instructions": _plain(self.settings.instructions)},
                "usage_ratio": self._usage_ratio,
                "purpose": self._purpose,
                "prompt_cache_key": self.prompt_cache_key,
                "ledger": self._window.state_entries(),
                "recap": self._recap.state_entries(),
                "user_turns_in_ledger": self._user_in_ledger,
                "ledger_omitted": self._ledger_omitted,
                "system_text": self._system_text,
                "purpose_text": self._purpose_text,
                "messages": [_plain(m) for m in h.messages],
                "pinned": [i for i, p in enumerate(h.pinned) if p],
                "sent": h.sent,
                "requests": self._requests,
                "consolidations": self._consolidations,
                "appended": self._appended,
                "full_tokens": self._full_tokens,
                "cache": {
                    "entries": list(self._cache_entries),
                    "previous_full": self._previous_full,
                    "billed": dict(self._billed),
                    "billed_full": dict(self._billed_full),
                    "sent_total": self._sent_total,
                    "fresh": {"rounds": self._fresh_rounds, "repeats": self._fresh_repeats,
                              "end": self._fresh_end},
                },
            }

    @classmethod
    def from_dict(cls, d: Mapping[str, Any], *, token_counter: Optional[TokenCounter] = None) -> Conversation:
        """Rebuild a Conversation from `to_dict()` data (pass the same
        `token_counter` if one was used). Raises `ValueError` naming the field when
        a field is missing or the data is malformed or inconsistent; nothing is
        half-built."""
        if not isinstance(d, Mapping):
            raise ValueError(f"Conversation.from_dict: expected a dict, not {type(d).__name__}")

        def field(name: str, kind: Any, where: Optional[Mapping[str, Any]] = None, label: str = "") -> Any:
            where = d if where is None else where
            label = label or name
            if name not in where:
                raise ValueError(f"Conversation.from_dict: field {label!r} is missing")
            value = where[name]
            if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
                raise ValueError(f"Conversation.from_dict: field {label!r} has the wrong type")
            return value

        def count(name: str, where: Optional[Mapping[str, Any]] = None, label: str = "") -> int:
            value: int = field(name, int, where, label)
            if value < 0:
                raise ValueError(f"Conversation.from_dict: field {(label or name)!r} must not be negative")
            return value

        version = field("version", int)
        if version == 1:
            d = _from_version_1(d)
        elif version == 2:
            d = _from_version_2(d)
        elif version != _VERSION:
            raise ValueError(f"Conversation.from_dict: field 'version' must be 1 to {_VERSION}, not {version}")
        settings = field("settings", Mapping, d)
        for name in sorted(set(settings) - set(_SETTINGS)):
            raise ValueError(f"Conversation.from_dict: field 'settings.{name}' is unexpected")
        for name in _SETTINGS:
            if name not in settings:
                raise ValueError(f"Conversation.from_dict: field 'settings.{name}' is missing")
        purpose = field("purpose", (str, type(None)))
        key = field("prompt_cache_key", str)
        try:
            conv = cls(purpose, ConversationSettings(**dict(settings)), token_counter=token_counter,
                       prompt_cache_key=key)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"Conversation.from_dict: field 'settings': {exc}") from None
        for name, window in (("ledger", conv._window), ("recap", conv._recap)):
            entries = field(name, list)
            capacity = conv._capacity if name == "ledger" else max(1, conv._capacity // 4)
            if not all(isinstance(e, str) for e in entries) or len(entries) > capacity:
                raise ValueError(f"Conversation.from_dict: field {name!r} must be at most {capacity} strs")
            for entry in entries:
                if not window.note_state(entry):
                    raise ValueError(f"Conversation.from_dict: field {name!r} holds a duplicate entry")
        users = count("user_turns_in_ledger")
        omitted = count("ledger_omitted")
        system_text = field("system_text", str)
        purpose_text = field("purpose_text", str)
        if not system_text.startswith(purpose_text):
            raise ValueError("Conversation.from_dict: field 'purpose_text' does not start 'system_text'")
        messages = field("messages", list)
        pinned_positions = field("pinned", list)
        if not all(isinstance(i, int) and not isinstance(i, bool) and 0 <= i < len(messages)
                   for i in pinned_positions):
            raise ValueError("Conversation.from_dict: field 'pinned' must list message positions")
        sent = count("sent")
        if sent > len(messages):
            raise ValueError("Conversation.from_dict: field 'sent' exceeds the number of messages")
        requests = count("requests")
        consolidations = count("consolidations")
        appended = count("appended")
        full_tokens = count("full_tokens")
        if consolidations > requests or appended < len(messages) or (sent and not requests):
            raise ValueError("Conversation.from_dict: fields 'requests', 'consolidations', 'appended' "
                             "and 'sent' disagree")
        cache = field("cache", Mapping)
        entries = field("entries", list, cache, "cache.entries")
        if not all(isinstance(e, int) and not isinstance(e, bool) and e >= 0 for e in entries):
            raise ValueError("Conversation.from_dict: field 'cache.entries' must list block indices")
        previous_full = count("previous_full", cache, "cache.previous_full")
        sent_total = count("sent_total", cache, "cache.sent_total")
        fresh = field("fresh", Mapping, cache, "cache.fresh")
        rounds, repeats, fresh_end = (count(k, fresh, f"cache.fresh.{k}") for k in ("rounds", "repeats", "end"))
        if repeats > rounds or fresh_end > len(messages):
            raise ValueError("Conversation.from_dict: field 'cache.fresh' is inconsistent")
        bills = []
        for name in ("billed", "billed_full"):
            bill = field(name, Mapping, cache, f"cache.{name}")
            for key_name, kind in (("read_tokens", int), ("write_tokens", int), ("uncached_tokens", int),
                                   ("cost", (int, float))):
                value = field(key_name, kind, bill, f"cache.{name}.{key_name}")
                if value < 0 or (kind is int and isinstance(value, bool)):
                    raise ValueError(f"Conversation.from_dict: field 'cache.{name}.{key_name}' must not be negative")
            bills.append(cast(Bill, {k: bill[k] for k in ("read_tokens", "write_tokens", "uncached_tokens", "cost")}))
        pinned = set(pinned_positions)
        try:
            conv._reset_history(messages, [i in pinned for i in range(len(messages))])
            conv._adapter.check(conv._history.views[:sent])
        except (TypeError, ValueError) as exc:
            raise ValueError(f"Conversation.from_dict: field 'messages': {exc}") from None
        conv._set_system(purpose_text, system_text[len(purpose_text):])
        conv._history.checked = sent
        conv._mark_sent(sent)
        conv._user_in_ledger = users
        conv._ledger_omitted = omitted
        conv._requests = requests
        conv._consolidations = consolidations
        conv._appended = appended
        conv._full_tokens = full_tokens
        conv._cache_entries = list(entries)
        conv._previous_full = previous_full
        conv._billed, conv._billed_full = bills[0], {**bills[1]}
        conv._billed["cost"] = float(conv._billed["cost"])
        conv._billed_full["cost"] = float(conv._billed_full["cost"])
        conv._sent_total = sent_total
        conv._fresh_rounds, conv._fresh_repeats, conv._fresh_end = rounds, repeats, fresh_end
        ratio = field("usage_ratio", (int, float))
        if isinstance(ratio, bool) or not USAGE_RATIO_MIN <= ratio <= USAGE_RATIO_MAX:
            raise ValueError(
                f"Conversation.from_dict: field 'usage_ratio' must be a number from {USAGE_RATIO_MIN} "
                f"to {USAGE_RATIO_MAX}"
            )
        conv._usage_ratio = float(ratio)
        return conv


# -- earlier layouts ---------------------------------------------------------------------------

#: The settings a version-1 document stores: these always, and the counting ones
#: when it comes from a release that had them.
_V1_SETTINGS = ("format", "max_tokens", "half_life", "safe_threshold", "state_capacity", "calls_ahead",
                "keep_last_turns", "tool_results", "image_tokens", "cache_read_ratio", "cache_write_ratio")
_V1_OPTIONAL = ("tokenizer", "reserve_tokens", "tools", "instructions")


def _from_version_1(d: Mapping[str, Any]) -> Dict[str, Any]:
    """A version-1 document in today's layout. Kept: the settings (those version 1
    did not have take their defaults), the purpose, the ledger, the messages and
    which are pinned, the appended count and the full history's tokens, and the
    usage ratio when stored. Restarted, since version 1 kept no cache state: the
    conversation counts as never sent (its next request is a first request that
    renders the system prompt anew and writes the cache), its request and billing
    totals start at zero, the recap is empty, and a new prompt_cache_key is made."""
    def need(name: str, where: Mapping[str, Any] = d, label: str = "") -> Any:
        if name not in where:
            raise ValueError(f"Conversation.from_dict: field {(label or name)!r} is missing")
        return where[name]

    settings = need("settings")
    if not isinstance(settings, Mapping):
        raise ValueError("Conversation.from_dict: field 'settings' has the wrong type")
    for name in sorted(set(settings) - set(_V1_SETTINGS) - set(_V1_OPTIONAL)):
        raise ValueError(f"Conversation.from_dict: field 'settings.{name}' is unexpected")
    upgraded = dataclasses.asdict(ConversationSettings())
    upgraded.update({name: need(name, settings, f"settings.{name}") for name in _V1_SETTINGS})
    upgraded.update({name: settings[name] for name in _V1_OPTIONAL if name in settings})
    return {
        "version": _VERSION,
        "settings": upgraded,
        "usage_ratio": d.get("usage_ratio", 1.0),
        "purpose": need("purpose"),
        "prompt_cache_key": f"fenwa-{secrets.token_hex(8)}",
        "ledger": need("ledger"),
        "recap": [],
        "user_turns_in_ledger": 0,
        "ledger_omitted": 0,
        "system_text": "",
        "purpose_text": "",
        "messages": need("messages"),
        "pinned": need("pinned"),
        "sent": 0,
        "requests": 0,
        "consolidations": 0,
        "appended": need("appended"),
        "full_tokens": need("full_tokens"),
        "cache": {
            "entries": [],
            "previous_full": 0,
            "billed": empty_bill(),
            "billed_full": empty_bill(),
            "sent_total": 0,
            "fresh": {"rounds": 0, "repeats": 0, "end": 0},
        },
    }


def _from_version_2(d: Mapping[str, Any]) -> Dict[str, Any]:
    """A version-2 document in today's layout: everything is kept, placeholders
    keep no preview (version 2 had none), and whether fresh tool output is
    repeated, which version 2 did not track, is learnt anew."""
    out = {**d, "version": _VERSION}
    settings, cache = d.get("settings"), d.get("cache")
    if isinstance(settings, Mapping):  # otherwise the checks that follow name the field
        out["settings"] = {**settings, "preview_chars": 0}
    if isinstance(cache, Mapping):
        out["cache"] = {**cache, "fresh": {"rounds": 0, "repeats": 0, "end": 0}}
    return out


def _input_tokens(usage: Any) -> Optional[int]:
    """The input tokens a provider's usage report counts (None when it has none)."""

    def get(name: str) -> Any:
        if isinstance(usage, Mapping):
            return usage.get(name)
        return getattr(usage, name, None)

    def number(value: Any) -> Optional[int]:
        if isinstance(value, bool) or not isinstance(value, (int, float)) or value != value:
            return None
        return int(value)

    prompt = number(get("prompt_tokens"))
    if prompt is not None:
        return prompt
    base = number(get("input_tokens"))
    if base is None:
        return None
    # Anthropic counts cached input apart; OpenAI's input_tokens already holds it.
    for name in ("cache_creation_input_tokens", "cache_read_input_tokens"):
        extra = number(get(name))
        if extra is not None and extra > 0:
            base += extra
    return base


def _plain(value: Any) -> Any:
    """A message as JSON data: SDK (pydantic) objects become their dumps."""
    if isinstance(value, (str, int, float, bool)) or value is None:
        return value
    if isinstance(value, Mapping):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    dump = getattr(value, "model_dump", None)
    if callable(dump):
        return dump(mode="json", exclude_none=True)
    raise TypeError(f"cannot store a {type(value).__name__} in a message as JSON data")
