"""Conversation: a cache-stable, self-summarising context kept between requests.

The host appends provider messages as they happen and asks `request()` for the
list to send. Between requests the rendered prefix (the system message and every
message already sent) stays byte-identical, so the provider's prompt cache keeps
paying, and new messages are only appended. Each request asks
`fenwa_micro.consolidation_gain` whether rewriting the prefix now beats paying the
cached read of its ballast over the next `calls_ahead` calls; only then (or when
the budget forces it) is the history trimmed as `trim` does, with the user and
assistant turns that leave leaving one-line digests in the STATE ledger.

The purpose and the ledger live in a `fenwa_micro.ContextApoptosis` window, whose
rules they follow exactly: the ledger is deduplicated by content hash and its
oldest entries roll off past `state_capacity`; digests collapse White_Space runs
and are cut at the first character boundary at or after byte 120, with "…".

Threads: every public method takes one lock, so a Conversation may be shared by
several threads; each call sees and leaves a consistent state.
"""

from __future__ import annotations

import math
import operator
import threading
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

import fenwa_micro as fm

from . import _native
from ._screen import is_flood
from .formats import FORMATS, IMAGE_TOKENS, Adapter, MessageView
from .reasoning import reasoning_params
from .tokens import CountCache, Counting, TokenCounter, longest_placeholder, placeholder_costs
from .trim import trim

__all__ = ["Conversation"]

_FORMATS = ("openai", "openai-responses", "anthropic")
_VERSION = 1
_CONVERSATIONAL = fm.USER | fm.ASSISTANT
_DURABLE = fm.SYSTEM | fm.FACT
# Classes whose messages decay, with their weights (as in the one-pass rule).
_CLASSES: Tuple[Tuple[int, float], ...] = ((_CONVERSATIONAL, 1.0), (fm.THINKING, 0.15), (fm.TOOL, 0.25))
_OTHER_WEIGHT = 0.6


#: The share of the budget the system message (purpose and ledger) may take.
LEDGER_SHARE = 0.25
#: record_usage: bounds of the provider/counted ratio, its largest move per
#: report (a factor), and the smoothing of each report.
USAGE_RATIO_MIN = 0.5
USAGE_RATIO_MAX = 2.0
USAGE_STEP = 1.25
USAGE_SMOOTHING = 0.5


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


class Conversation:
    """A provider conversation that trims itself and keeps its prompt cache warm.

    `format` is "openai" (Chat Completions), "openai-responses" or "anthropic".
    `max_tokens` bounds every request: the system message (purpose and ledger;
    ledger entries that do not fit are left out of the request, oldest first),
    the messages, the format's framing, `reserve_tokens` (room for the reply, or
    what the host sends outside the list and does not pass here), and `tools` and
    `instructions` when given. `token_counter` is a `str -> int` callable or an
    encoding (tiktoken's `Encoding`), each distinct text counted once per
    conversation; without it, the estimate of `tokenizer` ("o200k", "cl100k" or
    "claude"). `record_usage` corrects the estimate from the provider's own
    counts. `half_life`,
    `safe_threshold`, `keep_last_turns`, `tool_results` and `image_tokens` are
    those of `trim`. `calls_ahead`, `cache_read_ratio` and `cache_write_ratio` feed
    `fenwa_micro.consolidation_gain`.
    """

    def __init__(
        self,
        purpose: Optional[str] = None,
        *,
        format: str = "openai",
        max_tokens: Optional[int] = None,
        token_counter: Any = None,
        tokenizer: str = "o200k",
        reserve_tokens: int = 0,
        tools: Any = None,
        instructions: Any = None,
        half_life: float = 6.0,
        safe_threshold: float = 0.35,
        state_capacity: int = 64,
        calls_ahead: int = 8,
        keep_last_turns: int = 1,
        tool_results: str = "elide",
        image_tokens: int = IMAGE_TOKENS,
        cache_read_ratio: float = 0.1,
        cache_write_ratio: float = 1.25,
    ) -> None:
        if format not in _FORMATS:
            raise ValueError(f"format must be one of {', '.join(map(repr, _FORMATS))}, not {format!r}")
        if purpose is not None and not isinstance(purpose, str):
            raise TypeError(f"purpose must be a str or None, not {type(purpose).__name__}")
        for name, value in (
            ("state_capacity", state_capacity),
            ("calls_ahead", calls_ahead),
            ("keep_last_turns", keep_last_turns),
            ("image_tokens", image_tokens),
            ("reserve_tokens", reserve_tokens),
        ):
            if not isinstance(value, int) or isinstance(value, bool) or value < 0:
                raise ValueError(f"{name} must be a non-negative int, not {value!r}")
        if max_tokens is not None and (
            not isinstance(max_tokens, int) or isinstance(max_tokens, bool) or max_tokens < 0
        ):
            raise ValueError(f"max_tokens must be a non-negative int or None, not {max_tokens!r}")
        if tool_results not in ("elide", "drop"):
            raise ValueError(f"tool_results must be 'elide' or 'drop', not {tool_results!r}")
        self._lock = threading.RLock()
        self.format = format
        self.max_tokens = max_tokens
        self.half_life = float(half_life)
        self.safe_threshold = float(safe_threshold)
        self.state_capacity = max(1, state_capacity)
        self.calls_ahead = calls_ahead
        self.keep_last_turns = keep_last_turns
        self.tool_results = tool_results
        self.image_tokens = image_tokens
        self.cache_read_ratio = float(cache_read_ratio)
        self.cache_write_ratio = float(cache_write_ratio)
        self._counter = token_counter
        self._adapter: Adapter = FORMATS[format]
        # Every text is counted once per conversation (the cache is bounded).
        self._counting = Counting(
            self._adapter.framing, tokenizer, CountCache(token_counter) if token_counter is not None else None
        )
        self.tokenizer = tokenizer
        self.reserve_tokens = reserve_tokens
        self.tools = tools
        self.instructions = instructions
        # What every request sends outside the history and the system message.
        self._outside = reserve_tokens + self._counting.outside(tools, instructions)
        # Provider tokens per counted token, from record_usage (1.0 until then).
        self._usage_ratio = 1.0
        self._provider_tokens: Optional[int] = None
        self._ledger_omitted = 0
        self._last_counted = 0  # what the last request sent, counted
        self._purpose = purpose
        self._window = fm.ContextApoptosis(state_capacity=self.state_capacity)
        if purpose is not None:
            self._window.set_purpose(purpose)
        self._reset_history([], [])
        self._system_text = ""
        self._system_tokens = 0
        self._system_message: Optional[Dict[str, Any]] = None
        self._requests = 0
        self._appended = 0
        self._full_tokens = 0  # every message ever appended, by the counter
        self._consolidations = 0
        self.last_report: Dict[str, Any] = {}

    # -- history bookkeeping ------------------------------------------------------------

    def _reset_history(
        self, messages: Sequence[Any], pinned: Sequence[bool], origins: Optional[List[int]] = None
    ) -> None:
        """Start the history anew with `messages`. `origins`, when given, is the
        live position each message had before: a consolidation keeps the caller's
        objects where it can, and where every message is still that same object
        its view and counts are reused rather than read again."""
        reused = self._previous_counts(messages, origins) if origins is not None else None
        self._live: List[Any] = []
        self._views: List[MessageView] = []
        self._tokens: List[int] = []
        self._bytes: List[int] = []
        self._pinned: List[bool] = []
        self._turn_starts: List[int] = []
        self._live_tokens = 0
        # The cached prefix: how many live messages were sent, their tokens and bytes.
        self._sent = 0
        self._sent_tokens = 0
        self._sent_bytes = 0
        # Per decaying class: (position, tokens a purge would save) of sent messages,
        # a pointer to the first not yet counted as purgeable, and the running sum.
        self._classes: List[List[Tuple[int, int]]] = [[], [], [], []]
        self._class_pointer = [0, 0, 0, 0]
        self._purgeable = 0
        self._checked = 0  # pairing is checked up to here (no call waits there)
        if not messages:
            return
        if reused is not None:
            views, tokens, nbytes = reused
        else:
            # In bulk: the adapter's fast path for the views, one pass for the counts.
            pinned_ids = {id(m) for m, p in zip(messages, pinned) if p}
            views = self._adapter.views(
                messages,
                self.image_tokens,
                (lambda m: fm.FACT if id(m) in pinned_ids else None) if pinned_ids else None,
            )
            texts = [v.text for v in views]
            nbytes = [len(t) if t.isascii() else len(t.encode("utf-8")) for t in texts]
            tokens = self._counting.views(views).tolist()
        self._live = list(messages)
        self._views = views
        self._tokens = tokens
        self._bytes = nbytes
        self._pinned = list(pinned)
        self._live_tokens = sum(tokens)
        self._turn_starts = [i for i, v in enumerate(views) if v.role == "user" and not v.answers]

    def _previous_counts(
        self, messages: Sequence[Any], origins: List[int]
    ) -> Optional[Tuple[List[MessageView], List[int], List[int]]]:
        """The views, tokens and bytes of the live messages at `origins`, if
        `messages` are those very objects. (A reused view keeps the position it
        was read at; the history never reads positions back.)"""
        if len(origins) != len(messages) or not all(
            map(operator.is_, messages, map(self._live.__getitem__, origins))
        ):
            return None
        return (
            list(map(self._views.__getitem__, origins)),
            list(map(self._tokens.__getitem__, origins)),
            list(map(self._bytes.__getitem__, origins)),
        )

    def _count(self, text: str) -> int:
        return self._counting.text(text)

    def _add(self, message: Any, pinned: bool) -> int:
        position = len(self._live)
        view = self._adapter.view(
            position, message, self.image_tokens, (lambda m: fm.FACT) if pinned else None
        )
        tokens = self._counting.view(view, position)
        self._live.append(message)
        self._views.append(view)
        self._tokens.append(tokens)
        self._bytes.append(_text_bytes(view.text))
        self._pinned.append(pinned)
        self._live_tokens += tokens
        if view.role == "user" and not view.answers:
            self._turn_starts.append(position)
        return tokens

    def _truncate(self, mark: int) -> None:
        self._live_tokens -= sum(self._tokens[mark:])
        del self._live[mark:], self._views[mark:], self._tokens[mark:], self._bytes[mark:]
        del self._pinned[mark:]
        while self._turn_starts and self._turn_starts[-1] >= mark:
            self._turn_starts.pop()

    def _mark_sent(self, upto: Optional[int] = None) -> None:
        """Everything live (or the first `upto` messages) is now sent: extend the
        prefix and file the new messages into the decay tables (each message once)."""
        start = self._sent
        end = len(self._live) if upto is None else upto
        if end <= start:
            return
        elide = self.tool_results == "elide"
        if self._counter is None:  # every message of a consolidation passes here: natively
            tokens, size, parts = _native.file_sent(
                self._views, self._tokens, self._bytes, start, end, elide, placeholder_costs(self.tokenizer)[0]
            )
        else:
            tokens, size, parts = _file_sent(self._views, self._tokens, self._bytes, start, end, elide, self._count)
        self._sent_tokens += tokens
        self._sent_bytes += size
        for table, part in zip(self._classes, parts):
            table.extend(part)
        self._sent = end

    def _purgeable_estimate(self) -> int:
        """Tokens of the cached prefix that a consolidation now would purge, by the
        one-pass rule: a message of weight w leaves once its age exceeds
        half_life * log2(w / threshold), and never inside the recent turns. Ages
        only grow, so each class advances a pointer: O(new messages) per request."""
        n = len(self._live)
        recent = n
        if self.keep_last_turns and self._turn_starts:
            recent = self._turn_starts[-min(self.keep_last_turns, len(self._turn_starts))]
        limit = min(recent, self._sent)
        hl = self.half_life if self.half_life >= 0.1 else 0.1
        weights = [w for _, w in _CLASSES] + [_OTHER_WEIGHT]
        for k, weight in enumerate(weights):
            if self.safe_threshold <= 0:
                continue  # nothing decays below a threshold of zero
            ratio = weight / self.safe_threshold
            oldest_kept_age = math.floor(hl * math.log2(ratio)) if ratio >= 1 else -1
            cutoff = min(limit, n - 1 - oldest_kept_age)
            entries = self._classes[k]
            p = self._class_pointer[k]
            while p < len(entries) and entries[p][0] < cutoff:
                self._purgeable += entries[p][1]
                p += 1
            self._class_pointer[k] = p
        return self._purgeable

    def _check_new(self) -> None:
        if self._checked < len(self._views):
            self._adapter.check(self._views[self._checked :], self._checked)
            self._checked = len(self._views)

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
            mark = len(self._live)
            added = 0
            try:
                for message in messages:
                    added += self._add(message, False)
            except BaseException:
                self._truncate(mark)
                raise
            self._full_tokens += added
            self._appended += len(self._live) - mark

    def pin(self, message: Any) -> None:
        """Append a durable FACT message: it is never trimmed."""
        with self._lock:
            self._full_tokens += self._add(message, True)
            self._appended += 1

    def note(self, fact: str) -> bool:
        """Add a fact to the STATE ledger; returns whether it was new.

        The ledger reaches the system message at the next consolidation, so the
        cached prefix stays intact until then; `pin` a message to say something now,
        or `request(consolidate=True)`."""
        if not isinstance(fact, str):
            raise TypeError(f"fact must be a str, not {type(fact).__name__}")
        with self._lock:
            return self._window.note_state(fact)

    @property
    def ledger(self) -> List[str]:
        """The STATE ledger, oldest first."""
        with self._lock:
            return self._window.state_entries()

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
            return len(self._live)

    # -- requests ---------------------------------------------------------------------------

    def _set_system(self, text: str) -> None:
        self._system_text = text
        # The system text is sent as a message (Anthropic: the system parameter),
        # with a message's framing.
        self._system_tokens = self._count(text) + self._counting.framing.per_message if text else 0
        if not text or self.format == "anthropic":
            self._system_message = None
        else:
            self._system_message = {"role": "system", "content": text}

    def _with_digests(self, dropped: Sequence[int]) -> Any:
        """A copy of the ledger window with the digests of the user and assistant
        turns at the live positions `dropped`: the window's own digest and ledger
        rules."""
        window = fm.ContextApoptosis(state_capacity=self.state_capacity)
        if self._purpose is not None:
            window.set_purpose(self._purpose)
        for entry in self._window.state_entries():
            window.note_state(entry)
        digests = 0
        for i in dropped:
            v = self._views[i]
            if v.bits & _CONVERSATIONAL and not v.bits & _DURABLE and not v.calls and not v.answers:
                window.insert(v.text, fm.USER, 0.0)
                digests += 1
        if digests:
            window.dehydrate(absorb=True)  # oxygen 0 falls below any positive threshold
        return window

    def _trim(self, messages: List[Any], max_tokens: Optional[int], pinned_ids: Any) -> Any:
        return trim(
            messages,
            max_tokens=max_tokens,
            token_counter=self._counting.cache,
            tokenizer=self.tokenizer,
            half_life=self.half_life,
            safe_threshold=self.safe_threshold,
            keep_last_turns=self.keep_last_turns,
            tool_results=self.tool_results,
            format=self.format,
            classify=(lambda m: fm.FACT if id(m) in pinned_ids else None) if pinned_ids else None,
            image_tokens=self.image_tokens,
            calls_ahead=self.calls_ahead,
        )

    def _consolidate(self) -> Tuple[int, int, bool]:
        """Rewrite the prefix: the one-pass rule over the live history (as `trim`
        without a budget), then, if the request would still exceed `max_tokens`,
        removal by score until it fits; the user and assistant turns that leave are
        digested into the ledger and the system message is rendered anew.
        Returns the elided and dropped counts and whether the budget holds."""
        pinned_ids = {id(m) for m, p in zip(self._live, self._pinned) if p}
        decayed = self._trim(self._live, None, pinned_ids)
        survivors, gone = decayed._sent_and_dropped()
        messages = decayed.messages
        elided = decayed.elided
        limit = self._limit()
        # The system message (purpose and ledger) takes at most LEDGER_SHARE of the
        # budget: the oldest ledger entries beyond it stay out of the request.
        share = None if limit is None else max(0, int(limit * LEDGER_SHARE))
        window = self._with_digests(gone)
        text, omitted = self._render(window, share)
        system = self._system_cost(text)
        if limit is not None and decayed.tokens_after + system > limit:
            budget = max(0, limit - system)
            for _ in range(4):
                fitted = self._trim(decayed.messages, budget, pinned_ids)
                sent, dropped = fitted._sent_and_dropped()
                kept = [survivors[j] for j in sent]
                left = gone + [survivors[j] for j in dropped]
                window = self._with_digests(sorted(left))
                text, omitted = self._render(window, share)
                system = self._system_cost(text)
                over = fitted.tokens_after + system - limit
                if over <= 0 or not fitted.within_budget or budget == 0:
                    break
                budget = max(0, budget - over)  # the digests took room: trim further
            messages = fitted.messages
            elided += fitted.elided
            survivors, gone = kept, sorted(left)
        self._ledger_omitted = omitted
        self._window = window
        self._reset_history(messages, [self._pinned[i] for i in survivors], survivors)
        self._checked = len(self._live)  # trim returns valid lists
        self._set_system(text)
        self._consolidations += 1
        return elided, len(gone), self._fits(self._request_tokens())

    def _limit(self) -> Optional[int]:
        """The budget for the counted system message, messages and request
        framing: max_tokens less what is sent outside them, in counted tokens
        (the provider's tokens divided by the usage ratio), less the estimate's
        margin when no exact counter counts."""
        if self.max_tokens is None:
            return None
        return self._counting.limit(max(0, int(self.max_tokens / self._usage_ratio) - self._outside))

    def _fits(self, request_tokens: int) -> bool:
        limit = self._limit()
        return limit is None or request_tokens <= limit

    def _render(self, window: Any, room: Optional[int]) -> Tuple[str, int]:
        """The system text of `window` within `room` counted tokens (framing
        included), and how many ledger entries it leaves out: the oldest go first;
        the purpose always stays."""
        text = window.render()
        entries = window.state_entries()
        if room is None or not entries or self._system_cost(text) <= room:
            return text, 0

        def rendered(keep: int) -> str:
            w = fm.ContextApoptosis(state_capacity=self.state_capacity)
            if self._purpose is not None:
                w.set_purpose(self._purpose)
            for entry in entries[len(entries) - keep:] if keep else ():
                w.note_state(entry)
            return str(w.render())

        lo, hi = 0, len(entries) - 1  # the most entries that fit lie in [lo, hi]
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if self._system_cost(rendered(mid)) <= room:
                lo = mid
            else:
                hi = mid - 1
        return rendered(lo), len(entries) - lo

    def _system_cost(self, text: str) -> int:
        return self._count(text) + self._counting.framing.per_message if text else 0

    def _request_tokens(self) -> int:
        """What the next request sends: the system message, the live messages,
        and the request's own framing."""
        n = self._system_tokens + self._live_tokens
        if self._live or self._system_tokens:
            n += self._counting.framing.per_request
        return n

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

    def _request(self, force: bool) -> List[Any]:
        self._check_new()
        saturation = []
        for i in range(self._sent, len(self._live)):
            v = self._views[i]
            if v.answers or (v.role == "user" and v.text):
                saturation.append(
                    {
                        "position": i,
                        "bytes": self._bytes[i],
                        "saturation": fm.saturation_scan(v.text),
                        "flood": is_flood(v.text),
                    }
                )
        prefix_tokens = self._system_tokens + self._sent_tokens
        append_tokens = self._request_tokens()
        purgeable = self._purgeable_estimate()
        gain = fm.consolidation_gain(
            prefix_tokens, purgeable, self.calls_ahead, self.cache_read_ratio, self.cache_write_ratio
        )
        first = self._requests == 0
        if force:
            reason = "asked to consolidate"
        elif first:
            reason = "first request: nothing is cached yet"
        elif not self._fits(append_tokens):
            reason = f"the budget forces it: appending would send {append_tokens} tokens"
        elif gain["consolidate"]:
            reason = (
                f"rewriting pays: {purgeable} purgeable tokens, gain "
                f"{gain['gain_token_equiv']:.1f} token-equivalents over {self.calls_ahead} calls"
            )
        else:
            reason = ""
        elided = dropped = 0
        if reason:
            stable_bytes = stable_tokens = 0
            elided, dropped, fits = self._consolidate()
            consolidated = True
        else:
            stable_bytes = _text_bytes(self._system_text) + self._sent_bytes
            stable_tokens = prefix_tokens
            fits = self._fits(append_tokens)
            consolidated = False
            reason = (
                "kept the cached prefix: nothing to purge"
                if not purgeable
                else f"kept the cached prefix: rewriting {purgeable} purgeable tokens does not pay yet"
            )
        self._mark_sent()
        self._requests += 1
        out: List[Any] = []
        if self._system_message is not None:
            out.append(self._system_message)
        out.extend(self._live)
        sent_tokens = self._request_tokens()
        newest_user = self._views[self._turn_starts[-1]].text if self._turn_starts else ""
        full = self._full_tokens + self._system_tokens + self._counting.framing.per_request
        self.last_report = {
            "tokens_sent": sent_tokens,
            "tokens_full_history": full,
            "reduction": 1.0 - sent_tokens / full if full else 0.0,
            "cache_stable_bytes": stable_bytes,
            "cache_stable_tokens": stable_tokens,
            "consolidated": consolidated,
            "reason": reason,
            "consolidation_gain": dict(gain),
            "elided": elided,
            "dropped": dropped,
            "ledger_size": len(self._window.state_entries()),
            "effort_tier": fm.effort_gauge(newest_user)["tier"],
            "reasoning": reasoning_params(newest_user, self.format),
            "saturation": saturation,
            "within_budget": fits,
            "ledger_omitted": self._ledger_omitted,
            # Everything the request sends as the provider counts it, by the
            # correction record_usage learnt (1.0 until then): the counted
            # request, what is sent outside it, and the usage ratio.
            "tokens_outside": self._outside,
            "usage_ratio": self._usage_ratio,
            "tokens_provider_estimate": int(math.ceil((sent_tokens + self._outside) * self._usage_ratio)),
            "provider_input_tokens": self._provider_tokens,
        }
        self._last_counted = sent_tokens + self._outside
        return out

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

    # -- persistence ------------------------------------------------------------------------

    def to_dict(self) -> Dict[str, Any]:
        """The whole state as plain JSON data; `from_dict` restores it exactly.
        SDK message objects are stored as their `model_dump()` dicts."""
        with self._lock:
            return {
                "version": _VERSION,
                "settings": {
                    "format": self.format,
                    "max_tokens": self.max_tokens,
                    "half_life": self.half_life,
                    "safe_threshold": self.safe_threshold,
                    "state_capacity": self.state_capacity,
                    "calls_ahead": self.calls_ahead,
                    "keep_last_turns": self.keep_last_turns,
                    "tool_results": self.tool_results,
                    "image_tokens": self.image_tokens,
                    "cache_read_ratio": self.cache_read_ratio,
                    "cache_write_ratio": self.cache_write_ratio,
                    "tokenizer": self.tokenizer,
                    "reserve_tokens": self.reserve_tokens,
                    "tools": _plain(self.tools),
                    "instructions": _plain(self.instructions),
                },
                "usage_ratio": self._usage_ratio,
                "purpose": self._purpose,
                "ledger": self._window.state_entries(),
                "system_text": self._system_text,
                "messages": [_plain(m) for m in self._live],
                "pinned": [i for i, p in enumerate(self._pinned) if p],
                "sent": self._sent,
                "requests": self._requests,
                "consolidations": self._consolidations,
                "appended": self._appended,
                "full_tokens": self._full_tokens,
            }

    @classmethod
    def from_dict(cls, d: Mapping[str, Any], *, token_counter: Optional[TokenCounter] = None) -> Conversation:
        """Rebuild a Conversation from `to_dict()` data (pass the same
        `token_counter` if one was used). Raises `ValueError` naming the field when
        the data is malformed or inconsistent; nothing is half-built."""
        if not isinstance(d, Mapping):
            raise ValueError(f"Conversation.from_dict: expected a dict, not {type(d).__name__}")

        def field(name: str, kind: Any, where: Mapping[str, Any] = d) -> Any:
            if name not in where:
                raise ValueError(f"Conversation.from_dict: field {name!r} is missing")
            value = where[name]
            if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
                raise ValueError(f"Conversation.from_dict: field {name!r} has the wrong type")
            return value

        def count(name: str) -> int:
            value: int = field(name, int)
            if value < 0:
                raise ValueError(f"Conversation.from_dict: field {name!r} must not be negative")
            return value

        if field("version", int) != _VERSION:
            raise ValueError(f"Conversation.from_dict: field 'version' must be {_VERSION}")
        settings = field("settings", Mapping)
        allowed = {
            "format", "max_tokens", "half_life", "safe_threshold", "state_capacity", "calls_ahead",
            "keep_last_turns", "tool_results", "image_tokens", "cache_read_ratio", "cache_write_ratio",
        }
        # Settings that data written before they existed lacks.
        optional = {"tokenizer", "reserve_tokens", "tools", "instructions"}
        unknown = set(settings) - allowed - optional
        if unknown or not allowed <= set(settings):
            name = sorted(unknown or allowed - set(settings))[0]
            raise ValueError(f"Conversation.from_dict: field 'settings.{name}' is unexpected or missing")
        purpose = d.get("purpose")
        if purpose is not None and not isinstance(purpose, str):
            raise ValueError("Conversation.from_dict: field 'purpose' has the wrong type")
        try:
            conv = cls(purpose, token_counter=token_counter, **dict(settings))
        except (TypeError, ValueError) as exc:
            raise ValueError(f"Conversation.from_dict: field 'settings': {exc}") from None
        ledger = field("ledger", list)
        if not all(isinstance(e, str) for e in ledger) or len(ledger) > conv.state_capacity:
            raise ValueError("Conversation.from_dict: field 'ledger' must be at most state_capacity strs")
        for entry in ledger:
            if not conv._window.note_state(entry):
                raise ValueError("Conversation.from_dict: field 'ledger' holds a duplicate entry")
        system_text = field("system_text", str)
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
        pinned = set(pinned_positions)
        try:
            conv._reset_history(messages, [i in pinned for i in range(len(messages))])
            conv._adapter.check(conv._views[:sent])
        except (TypeError, ValueError) as exc:
            raise ValueError(f"Conversation.from_dict: field 'messages': {exc}") from None
        conv._set_system(system_text)
        conv._checked = sent
        conv._mark_sent(sent)
        conv._requests = requests
        conv._consolidations = consolidations
        conv._appended = appended
        conv._full_tokens = full_tokens
        ratio = d.get("usage_ratio", 1.0)
        if (
            not isinstance(ratio, (int, float)) or isinstance(ratio, bool)
            or not USAGE_RATIO_MIN <= ratio <= USAGE_RATIO_MAX
        ):
            raise ValueError(
                f"Conversation.from_dict: field 'usage_ratio' must be a number from {USAGE_RATIO_MIN} "
                f"to {USAGE_RATIO_MAX}"
            )
        conv._usage_ratio = float(ratio)
        return conv


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
