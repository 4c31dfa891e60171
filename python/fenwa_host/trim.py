"""trim(), validate() and TrimResult over provider message lists.

`trim` decides, message by message, what stays in a history: without a budget by
the module's one-pass rule (`fenwa_micro.dehydrate`), with a budget by removing the
lowest metabolic scores first. Either way it then enforces the provider's pairing
rules, so the list it returns is always one the provider accepts, and it returns the
caller's own message objects wherever they did not have to change.
"""

from __future__ import annotations

import math
import re
import threading
from functools import partial
from array import array
from itertools import compress, islice
from typing import (
    Any,
    Callable,
    Dict,
    FrozenSet,
    List,
    MutableSequence,
    NamedTuple,
    Optional,
    Sequence,
    Set,
    Tuple,
    Union,
)

import fenwa_micro as fm

from . import _native
from ._screen import is_flood
from .billing import RewriteGain, rewrite_gain, rules_for_format
from .formats import (
    _ANSWERS,
    _BITS,
    _CALLS,
    _EXTRA,
    _ROLE,
    _TEXT,
    IMAGE_TOKENS,
    Adapter,
    Classify,
    MessageView,
    Pairing,
    Reading,
    ViewList,
    adapter_for,
)
from .tokens import (
    BYTES_PER_TOKEN,
    NO_FRAMING,
    PLACEHOLDER,
    PLACEHOLDER_FLOOD,
    PLACEHOLDER_START,
    CountCache,
    Counting,
    TokenCounter,
    estimate_tokens,
    longest_placeholder,
    make_counting,
    placeholder_costs,
    placeholder_text,
)

__all__ = ["Decision", "TrimResult", "estimate_tokens", "is_placeholder", "trim", "validate"]

# What happened to a message, as stored per index while a trim runs.
_KEPT, _ELIDED, _STRIPPED, _DROPPED = 0, 1, 2, 3
_ACTIONS = ("kept", "elided", "stripped", "dropped")

# Why.
PINNED_SYSTEM = "pinned: system or developer message"
PINNED_DURABLE = "pinned: durable class"
PINNED_PREFIX = "pinned: stable prefix"
PINNED_RECENT = "pinned: recent user turn"
PINNED_RUNNING = "pinned: tool-use cycle still running"
PINNED_PAIRED = "pinned: paired with a pinned message"
SURVIVED = "survived the one-pass rule"
FITS = "fits the budget"
DECAYED = "decayed below the threshold"
OVER_BUDGET = "lowest score while over the budget"
CALL_LEFT = "its tool call left"
RESULTS_LEFT = "its tool results left"
GROUP_LEFT = "its reasoning group left"
FIRST_ROLE = "the list must start with a user message"
RESTORED = "restored: the list must start with a user message"
RECENT_OVER = "the recent turn alone was over the budget"

_DURABLE = fm.SYSTEM | fm.FACT
# Per action: whether the message is sent (0 only for _DROPPED).
_SURVIVES = bytes(0 if a == _DROPPED else 1 for a in range(256))


class Decision(NamedTuple):
    """What happened to one input message: its `action` ("kept", "elided",
    "stripped" for a copy without some tool calls or results, or "dropped") and
    the `reason`."""

    action: str
    reason: str


# A placeholder's first line, recognised from the one placeholder text (tokens.py).
_PLACEHOLDER_LINE = re.compile(
    re.escape(PLACEHOLDER)
    .replace(re.escape("{size}"), "[0-9]+")
    .replace(re.escape("{flood}"), "(?:" + re.escape(PLACEHOLDER_FLOOD) + ")?")
)
#: Where a preview leaves out the middle of the payload.
_PREVIEW_GAP = "\n\u2026\n"


def is_placeholder(text: str) -> bool:
    """Whether `text` is a placeholder that trimming left for an elided tool
    output (its first line), with or without a preview after it."""
    if not text.startswith(PLACEHOLDER_START):
        return False
    end = text.find("\n")
    return _PLACEHOLDER_LINE.fullmatch(text if end < 0 else text[:end]) is not None


def _preview(text: str, chars: int, flood: bool) -> str:
    """What a placeholder keeps of its payload: the first and last characters,
    `chars` in all; of a flood, its first line (a flood is one line many times)."""
    if flood:
        stripped = text.lstrip()
        line = stripped.split("\n", 1)[0]
        return line[:chars]
    if len(text) <= chars:
        return text
    head = (chars + 1) // 2
    tail = chars - head
    return text[:head] + _PREVIEW_GAP + (text[len(text) - tail:] if tail else "")


def _placeholder(text: str, preview_chars: int = 0) -> str:
    """The placeholder of an elided tool output: its size, whether it is a flood,
    and with `preview_chars` its head and tail. A placeholder stays as it is."""
    if is_placeholder(text):
        return text
    size = len(text) if text.isascii() else len(text.encode("utf-8"))
    flood = is_flood(text)
    line = placeholder_text(size, flood)
    if not preview_chars:
        return line
    return line + "\n" + _preview(text, preview_chars, flood)


class TrimResult:
    """The outcome of `trim`.

    - `messages`: the list to send; the caller's own objects where unchanged,
      shallow copies where a tool result was elided or calls were removed.
    - `decisions`: one `Decision` per input index.
    - `tokens_before`, `tokens_after`: by the counter in use.
    - `within_budget` and `note`: whether the budget holds, and if not, why:
      `tokens_after` within `limit`, which is `max_tokens` less the default
      estimate's margin (`fenwa_host.tokens.ESTIMATE_MARGIN`), or `max_tokens`
      itself with an exact counter.
    - `first_changed`: the first input index that is not sent unchanged at the
      same position (None when the list is returned whole): the provider's
      prompt-cache prefix survives up to it.
    - `consolidation`: `billing.rewrite_gain` of rewriting the prompt from
      `first_changed` on, against keeping the old one cached, under the cache
      rules of the format's provider (`billing.rules_for_format`): the keys and,
      without a cache minimum, the figures of `fenwa_micro.consolidation_gain`.
    """

    __slots__ = (
        "messages",
        "tokens_before",
        "tokens_after",
        "max_tokens",
        "limit",
        "within_budget",
        "note",
        "first_changed",
        "consolidation",
        "format",
        "_actions",
        "_reasons",
        "_decisions",
    )

    def __init__(
        self,
        messages: List[Any],
        actions: bytearray,
        reasons: List[str],
        tokens_before: int,
        tokens_after: int,
        max_tokens: Optional[int],
        note: str,
        first_changed: Optional[int],
        consolidation: RewriteGain,
        format: str,
        limit: Optional[int] = None,
    ) -> None:
        self.messages = messages
        self.tokens_before = tokens_before
        self.tokens_after = tokens_after
        self.max_tokens = max_tokens
        #: The count the request may reach: max_tokens less the estimate's margin
        #: (max_tokens itself with an exact counter).
        self.limit = max_tokens if limit is None else limit
        self.within_budget = self.limit is None or tokens_after <= self.limit
        self.note = note
        self.first_changed = first_changed
        self.consolidation = consolidation
        self.format = format
        self._actions = actions
        self._reasons = reasons
        self._decisions: Optional[List[Decision]] = None

    @property
    def decisions(self) -> List[Decision]:
        if self._decisions is None:
            cache: Dict[Tuple[int, str], Decision] = {}
            out: List[Decision] = []
            for action, reason in zip(self._actions, self._reasons):
                d = cache.get((action, reason))
                if d is None:
                    d = cache[(action, reason)] = Decision(_ACTIONS[action], reason)
                out.append(d)
            self._decisions = out
        return list(self._decisions)

    def _sent_and_dropped(self) -> Tuple[List[int], List[int]]:
        """The input indices that are sent, in the order of `messages`, and those
        that are dropped."""
        actions = self._actions
        if _DROPPED not in actions:
            return list(range(len(actions))), []
        return (
            [i for i, a in enumerate(actions) if a != _DROPPED],
            [i for i, a in enumerate(actions) if a == _DROPPED],
        )

    @property
    def kept(self) -> int:
        """Messages sent unchanged."""
        return self._actions.count(_KEPT)

    @property
    def elided(self) -> int:
        return self._actions.count(_ELIDED)

    @property
    def stripped(self) -> int:
        return self._actions.count(_STRIPPED)

    @property
    def dropped(self) -> int:
        return self._actions.count(_DROPPED)

    def __repr__(self) -> str:
        return (
            f"TrimResult(format={self.format!r}, messages={len(self.messages)}, kept={self.kept}, "
            f"elided={self.elided}, stripped={self.stripped}, dropped={self.dropped}, "
            f"tokens_before={self.tokens_before}, tokens_after={self.tokens_after}, "
            f"within_budget={self.within_budget}, first_changed={self.first_changed})"
        )


_INDEX_TEXTS: List[str] = []
_INDEX_LOCK = threading.Lock()


def _index_texts(n: int) -> List[str]:
    """"0", "1", ... as message texts for `fenwa_micro.dehydrate`, whose decision
    depends only on class bits and age: its survivors then name their own index."""
    texts = _INDEX_TEXTS
    if len(texts) < n:
        with _INDEX_LOCK:
            if len(texts) < n:
                texts.extend([str(i) for i in range(len(texts), n)])
    return texts


def _check_messages(messages: Any) -> Sequence[Any]:
    if isinstance(messages, (str, bytes)) or not isinstance(messages, Sequence):
        raise TypeError(f"messages must be a list of messages, not {type(messages).__name__}")
    return messages


def _check_count(name: str, value: Any, allow_none: bool = False) -> None:
    if value is None and allow_none:
        return
    if not isinstance(value, int) or isinstance(value, bool) or value < 0:
        raise ValueError(f"{name} must be a non-negative int, not {value!r}")


def _read(
    messages: Sequence[Any],
    format: str,
    image_tokens: int,
    classify: Optional[Classify],
    tokenizer: Union[str, Counting, None] = None,
) -> Tuple[Adapter, Reading, Pairing]:
    _check_count("image_tokens", image_tokens)
    adapter = adapter_for(messages, format)
    reading = adapter.read(messages, image_tokens, classify, tokenizer, lazy=True)
    return adapter, reading, adapter.check(reading.views)


def validate(
    messages: Sequence[Any], format: str = "auto", *, image_tokens: int = IMAGE_TOKENS
) -> None:
    """Check that a message list is one its provider accepts.

    Raises `ValueError` naming the message index and the rule broken (an orphan tool
    result, a call without its result, a wrong first role), or `TypeError` /
    `ValueError` for a malformed message. `trim` always returns lists that pass.
    """
    _read(_check_messages(messages), format, image_tokens, None)


def _count_all(views: ViewList, counting: Counting) -> Sequence[int]:
    """Tokens per view, framing included."""
    return counting.views(views if isinstance(views, list) else list(views))


def _reasoning_groups(views: ViewList) -> Dict[int, List[int]]:
    """Responses reasoning items and the output items that followed them: the
    provider refuses one without the other, so they stay or leave together. A run
    of reasoning items shares the output items after it."""
    groups: Dict[int, List[int]] = {}
    if not _native.durable_views(views, 0, "reasoning"):
        return groups  # read natively, without building a view per item
    current: Optional[List[int]] = None
    thinking = False  # whether `current` has only reasoning items so far
    for v in views:
        if v.role == "reasoning":
            if current is None or not thinking:
                current = []
                thinking = True
            current.append(v.position)
            groups[v.position] = current
        elif current is not None and v.role == "assistant":
            current.append(v.position)
            groups[v.position] = current
            thinking = False
        else:
            current = None
    return {i: g for i, g in groups.items() if len(g) > 1}


class _Plan:
    """The per-index state of one trim and the moves that keep it valid."""

    def __init__(
        self,
        adapter: Adapter,
        messages: Sequence[Any],
        views: ViewList,
        pairing: Pairing,
        tokens: Sequence[int],
        counting: Counting,
        image_tokens: int,
        drop_results: bool,
        shape: Optional[bytearray] = None,
        preview_chars: int = 0,
        sealed: FrozenSet[int] = frozenset(),
    ) -> None:
        n = len(views)
        self.adapter = adapter
        self.messages = messages
        self.views = views
        self.owner = pairing.owner
        self.results = pairing.results
        self.tokens: Sequence[int] = tokens
        self.current: MutableSequence[int] = list(tokens)
        self.counting = counting
        self.counter = counting.cache
        self.image_tokens = image_tokens
        self.drop_results = drop_results
        self.total = sum(tokens)
        self.initial = self.total  # before any move
        self.action = bytearray(n)
        self.pinned = bytearray(n)
        self.reasons: List[str] = []
        self.copies: Dict[int, Any] = {}
        self.gone: Set[str] = set()
        self.groups = _reasoning_groups(views) if adapter.reasoning_groups else {}
        self.pending: List[int] = []
        self.default_reason = SURVIVED
        self.preview_chars = preview_chars
        self.placeholder: Callable[[str], str] = (
            partial(_placeholder, preview_chars=preview_chars) if preview_chars else _placeholder
        )
        # Results a placeholder cannot stand in for leave whole, with their call
        # (their shape sends them back from the native walk).
        self.sealed = sealed
        # The walks elide single results inline, from the size of the payload alone.
        self.inline_results = not preview_chars
        # The native walk needs the shape of every message (its counts fit in 64
        # bits: a caller's counter's are at most 2**53); it writes `current` in
        # place.
        self.shape = shape if not self.groups else None
        if self.shape is not None:
            self.tokens = tokens if isinstance(tokens, array) else array("q", tokens)
            self.current = self.tokens[:]

    # -- pins ---------------------------------------------------------------------

    def pin(self, stable_prefix: int, keep_last_turns: int) -> None:
        views = self.views
        n = len(views)
        reasons = self.reasons
        pinned = self.pinned
        stack: List[int] = []

        def add(i: int, reason: str) -> None:
            if not pinned[i]:
                pinned[i] = 1
                reasons[i] = reason
                stack.append(i)

        # Views by slot (these run once per message).
        for i in _native.durable_views(views, _DURABLE, "system"):
            add(i, PINNED_SYSTEM if views[i].role == "system" else PINNED_DURABLE)
        for i in range(min(n, stable_prefix)):
            add(i, PINNED_PREFIX)
        if keep_last_turns:
            # The start of the keep_last_turns-th user turn from the end (or of the
            # first one, when there are fewer).
            start = -1
            found = 0
            for i in range(n - 1, -1, -1):
                v = views[i]
                if v[_ROLE] == "user" and not v[_ANSWERS]:
                    start = i
                    found += 1
                    if found == keep_last_turns:
                        break
            if start >= 0:
                for i in range(start, n):
                    add(i, PINNED_RECENT)
        if self.adapter.pin_running_cycle and n and views[-1].answers:
            add(n - 1, PINNED_RUNNING)
            for cid in views[-1].answers:
                add(self.owner[cid], PINNED_RUNNING)
        while stack:
            v = views[stack.pop()]
            for cid in v.answers:
                add(self.owner[cid], PINNED_PAIRED)
            if self.drop_results:
                for cid in v.calls:
                    for j in self.results[cid]:
                        add(j, PINNED_PAIRED)
            for j in self.groups.get(v.position, ()):
                add(j, PINNED_PAIRED)

    # -- moves ----------------------------------------------------------------------

    def _recount(self, i: int, message: Any) -> int:
        v = self.adapter.view(i, message, self.image_tokens, None)
        return self.counting.view(v, i)

    def _set(self, i: int, action: int, reason: str, tokens: int) -> None:
        self.action[i] = action
        self.reasons[i] = reason
        self.total += tokens - self.current[i]
        self.current[i] = tokens

    def drop(self, i: int, reason: str) -> None:
        if self.action[i] == _DROPPED:
            return
        self._set(i, _DROPPED, reason, 0)
        self.copies.pop(i, None)
        v = self.views[i]
        for cid in v.calls:
            if cid not in self.gone:
                self.gone.add(cid)
                for j in self.results[cid]:
                    self._lose_answers(j, CALL_LEFT)
        for cid in v.answers:
            if cid not in self.gone:
                self.gone.add(cid)
                self._lose_calls(self.owner[cid])
        for j in self.groups.get(i, ()):
            self.drop(j, GROUP_LEFT)

    def _removed(self, ids: Tuple[str, ...]) -> FrozenSet[str]:
        return frozenset(c for c in ids if c in self.gone)

    def _lose_answers(self, j: int, reason: str) -> None:
        if self.action[j] == _DROPPED:
            return
        removed = self._removed(self.views[j].answers)
        copy = self.adapter.remove_answers(self.copies.get(j, self.messages[j]), removed)
        if copy is None:
            self.drop(j, reason)
            return
        self.copies[j] = copy
        action = _ELIDED if self.action[j] == _ELIDED else _STRIPPED
        self._set(j, action, reason if action == _STRIPPED else self.reasons[j], self._recount(j, copy))

    def _lose_calls(self, o: int) -> None:
        if self.action[o] == _DROPPED:
            return
        copy = self.adapter.remove_calls(self.messages[o], self._removed(self.views[o].calls))
        if copy is None:
            self.drop(o, RESULTS_LEFT)
            return
        self.copies[o] = copy
        self._set(o, _STRIPPED, RESULTS_LEFT, self._recount(o, copy))

    def elide(self, i: int, reason: str) -> None:
        """Mark a tool result as elided. The copy is made later, for survivors only
        (`materialize`); until then its tokens are an estimate of the placeholder."""
        if self.action[i] != _KEPT:
            return
        v = self.views[i]
        if is_placeholder(v.text):
            return  # elided already: it stays as it is
        # The placeholder of every result it carries, and the message's framing.
        framing = self.counting.view(v._replace(text="", extra_tokens=0), i)
        estimate = framing + self._estimate_placeholder(v.text) * len(v.answers)
        if estimate < self.current[i]:
            self._set(i, _ELIDED, reason, estimate)
            self.pending.append(i)

    def _estimate_placeholder(self, text: str) -> int:
        size = len(text) if text.isascii() else len(text.encode("utf-8"))
        longest = longest_placeholder(size)
        if self.preview_chars:
            longest += "\n" + _preview(text, self.preview_chars, False)
        return self.counting.text(longest)

    def materialize(self) -> None:
        """Make the copies of the elided messages that survived, and count them exactly."""
        for i in self.pending:
            if self.action[i] != _ELIDED or i in self.copies:
                continue
            copy = self.adapter.elide(self.messages[i], self.placeholder)
            tokens = self._recount(i, copy)
            if tokens < self.tokens[i]:
                self.copies[i] = copy
                self._set(i, _ELIDED, self.reasons[i], tokens)
            else:
                self._set(i, _KEPT, self.default_reason, self.tokens[i])
        self.pending = []

    def leave(self, i: int, reason: str) -> None:
        """Message `i` would leave: tool results are elided (or dropped with their
        call), anything else is dropped with whatever depends on it."""
        if self.views[i].answers and not self.drop_results and i not in self.sealed:
            self.elide(i, reason)
        else:
            self.drop(i, reason)

    # -- the two strategies -----------------------------------------------------------

    def decay(self, half_life: float, safe_threshold: float, stable_prefix: int) -> None:
        views = self.views
        n = len(views)
        texts = _index_texts(n)
        survivors = fm.dehydrate(
            list(zip(islice(texts, n), [v[_BITS] for v in views])),
            half_life=half_life,
            safe_threshold=safe_threshold,
            stable_prefix=stable_prefix,
        )["kept"]
        keep = bytearray(self.pinned)
        for k in map(int, survivors):
            keep[k] = 1
        for group in self.groups.values():
            if any(keep[j] for j in group):
                for j in group:
                    keep[j] = 1
        # Messages first, so that a result whose call left goes with it; then the
        # results that would leave on their own.
        shape = self.shape
        if shape is not None and self.adapter.results_alone and not self.drop_results:
            # In the native walk, in index order: it drops plain messages, and calls
            # with the results that follow them, and hands back anything else.
            order = array("I", [i for i in range(n) if not keep[i] and shape[i] < 2]).tobytes()
            candidates = memoryview(order).cast("I")
            position = 0
            while position < len(candidates):
                position, self.total, stopped, _ = _native.budget_walk(
                    order, position, 0, self.total, self.action, self.current,
                    self.tokens, shape, True, self.reasons, (DECAYED, CALL_LEFT),
                    self.counting.placeholder_costs(),
                )
                if not stopped:
                    # Done, or nothing is left to count: the rest are gone already.
                    for i in candidates[position:]:
                        self.drop(i, DECAYED)
                    break
                self.drop(candidates[position - 1], DECAYED)
        else:
            for i in range(n):
                if not keep[i] and not views[i].answers:
                    self.drop(i, DECAYED)
        for i in range(n):
            if not keep[i] and views[i].answers:
                self.leave(i, DECAYED)
        self.materialize()

    def fit(self, max_tokens: int, half_life: float) -> None:
        if self.total <= max_tokens:
            return
        views = self.views
        pinned = self.pinned
        hl = half_life if half_life >= 0.1 else 0.1  # as the module floors it; NaN too
        # score = weight * 2^(-age / half_life); hl * log2(score) + (n - 1) orders
        # the same way, and is weight offset + index.
        if (
            self.shape is not None
            and self.adapter.results_alone
            and not self.drop_results
            and math.isfinite(hl)
        ):
            self._fit_native(max_tokens, hl)
            return
        bits = [v[_BITS] for v in views]
        offset = {b: hl * math.log2(_weight(b)) for b in set(bits)}
        keys = [offset[b] + i for i, b in enumerate(bits)]
        candidates = [i for i, p in enumerate(pinned) if not p]
        candidates.sort(key=keys.__getitem__)
        position = 0
        while True:
            position = self._walk(candidates, position, max_tokens)
            self.materialize()
            if self.total <= max_tokens or position >= len(candidates):
                return

    def elide_recent(self, max_tokens: int) -> None:
        """While the count is still over `max_tokens`, elide the tool results that
        only the recent turn pins, oldest first. An agent's running turn piles up
        tool outputs until the turn alone is over the budget, and the provider then
        refuses the whole request; placeholders keep every call and result paired
        and the turn's text whole. The newest call's results stay: the model is
        about to read them. System, durable and stable-prefix messages, and
        results a placeholder cannot stand in for, are never touched."""
        if self.total <= max_tokens:
            return
        views = self.views
        newest = next((i for i in range(len(views) - 1, -1, -1) if views[i].calls), -1)
        keep = set()
        if newest >= 0:
            for cid in views[newest].calls:
                keep.update(self.results[cid])
        recent = (PINNED_RECENT, PINNED_PAIRED, PINNED_RUNNING)
        for i, v in enumerate(views):
            if (
                v.answers
                and self.pinned[i]
                and self.reasons[i] in recent
                and i not in keep
                and i not in self.sealed
                and v.bits & _DURABLE == 0
            ):
                self.elide(i, RECENT_OVER)
                if self.pending:
                    self.materialize()
                    if self.total <= max_tokens:
                        return

    def _fit_native(self, max_tokens: int, hl: float) -> None:
        """`fit` with the order and the walk in the native kernel; it hands back
        only the messages that need the adapter (`leave`)."""
        shape = self.shape
        assert shape is not None
        order = _native.removal_order(self.views, self.pinned, hl)
        candidates = memoryview(order).cast("I")
        end = len(candidates)
        texts = (OVER_BUDGET, CALL_LEFT)
        costs = self.counting.placeholder_costs()
        position = 0
        while True:
            while True:
                position, self.total, stopped, elided = _native.budget_walk(
                    order, position, max_tokens, self.total, self.action, self.current,
                    self.tokens, shape, self.inline_results, self.reasons, texts, costs,
                )
                self.pending += elided
                if not stopped:
                    break
                self.leave(candidates[position - 1], OVER_BUDGET)
            self.materialize()
            if self.total <= max_tokens or position >= end:
                return

    def _walk(self, candidates: List[int], position: int, max_tokens: int) -> int:
        """Remove candidates in order from `position` until the estimate fits.

        Plain messages, and calls whose results are separate messages (elide mode),
        are handled inline: this loop runs once per removed message.
        """
        views = self.views
        action = self.action
        current = self.current
        reasons = self.reasons
        results = self.results
        groups = self.groups
        inline_calls = self.adapter.results_alone and not self.drop_results and not groups
        # Results are elided inline with the default counter, whose estimate of the
        # placeholder needs only the digits of the payload's size.
        inline_results = inline_calls and self.counter is None and self.inline_results
        costs = placeholder_costs(self.counting.tokenizer)[1]
        tokens = self.tokens
        pending = self.pending
        sealed = self.sealed
        total = self.total
        end = len(candidates)
        while position < end and total > max_tokens:
            i = candidates[position]
            position += 1
            a = action[i]
            if a == _DROPPED or a == _ELIDED:
                continue
            v = views[i]
            calls = v[_CALLS]
            answers = v[_ANSWERS]
            if inline_results and answers and not a and len(answers) == 1 and i not in sealed:
                # A tool result message that would leave stays as a placeholder;
                # the copy is made only if it survives (`materialize`).
                estimate = costs[min(20, len(str(BYTES_PER_TOKEN * tokens[i])))]
                if estimate < current[i]:
                    action[i] = _ELIDED
                    total += estimate - current[i]
                    current[i] = estimate
                    reasons[i] = OVER_BUDGET
                    pending.append(i)
                continue
            if answers or (calls and not inline_calls) or i in groups or a:
                if v.role == "reasoning" and i in groups:
                    continue  # it leaves with the items that followed it
                self.total = total
                self.leave(i, OVER_BUDGET)
                total = self.total
                continue
            action[i] = _DROPPED
            total -= current[i]
            current[i] = 0
            reasons[i] = OVER_BUDGET
            for cid in calls:
                for j in results[cid]:
                    if action[j] != _DROPPED:
                        action[j] = _DROPPED
                        total -= current[j]
                        current[j] = 0
                        reasons[j] = CALL_LEFT
        self.total = total
        return position

    def first_role(self) -> None:
        """Anthropic's list starts with a user message."""
        n = len(self.views)
        while True:
            first = next((i for i in range(n) if self.action[i] != _DROPPED), None)
            if first is None or self.views[first].role == "user":
                return
            if not self.pinned[first]:
                self.drop(first, FIRST_ROLE)
                continue
            # A pinned assistant message would lead: bring back the opening user
            # message (it makes no calls and answers none, so nothing else moves).
            self._set(0, _KEPT, RESTORED, self.tokens[0])
            return


def _weight(bits: int) -> float:
    if bits & 0x06:
        return 1.0
    if bits & fm.THINKING:
        return 0.15
    if bits & fm.TOOL:
        return 0.25
    return 0.6


def trim(
    messages: Sequence[Any],
    *,
    max_tokens: Optional[int] = None,
    token_counter: Any = None,
    tokenizer: str = "o200k",
    reserve_tokens: int = 0,
    tools: Any = None,
    instructions: Any = None,
    half_life: float = 6.0,
    safe_threshold: float = 0.35,
    stable_prefix: int = 0,
    keep_last_turns: int = 1,
    tool_results: str = "elide",
    format: str = "auto",
    classify: Optional[Classify] = None,
    image_tokens: int = IMAGE_TOKENS,
    calls_ahead: int = 8,
    preview_chars: int = 0,
) -> TrimResult:
    """Trim a provider message list and keep it valid for its provider.

    Without `max_tokens`, messages survive by `fenwa_micro.dehydrate`'s one-pass
    rule with the same `half_life`, `safe_threshold` and `stable_prefix`. With it,
    messages leave lowest metabolic score first (class weight x 2^(-age/half_life),
    oldest first on ties) until the count fits. System and developer messages,
    durable classes (FACT, via `classify`), the first `stable_prefix` messages and
    the last `keep_last_turns` user turns with everything after them never leave;
    when those alone are over the budget, their older tool results become
    placeholders, oldest first, until it holds (the newest call's results stay).

    A tool result that would leave is elided to a short placeholder
    (`tool_results="elide"`), or leaves with its call (`"drop"`). With
    `preview_chars`, the placeholder keeps that many characters of the payload (its
    head and tail; of a flood, its first line), counted in the budget. A placeholder
    in `messages` is never elided again. No result is ever
    returned without its call, nor a call without its results. The caller's list
    and messages are never mutated. `format` is "auto", "openai",
    "openai-responses", "anthropic", "langchain" or "pairs".

    Counts are the format's framing plus the content by `token_counter` (a
    `str -> int` callable or an encoding such as tiktoken's `Encoding`, each
    distinct text counted once per call) or by the estimate of `tokenizer`
    ("o200k", "cl100k" or "claude"). `max_tokens` bounds the whole request: the
    list, the request's framing, `reserve_tokens` (room for the reply, or what is
    sent outside the list and not given here) and `tools` (tool schemas, counted
    as JSON) and `instructions` (a str or a list of messages) when given.
    """
    messages = _check_messages(messages)
    if tool_results not in ("elide", "drop"):
        raise ValueError(f"tool_results must be 'elide' or 'drop', not {tool_results!r}")
    _check_count("max_tokens", max_tokens, allow_none=True)
    _check_count("stable_prefix", stable_prefix)
    _check_count("keep_last_turns", keep_last_turns)
    _check_count("calls_ahead", calls_ahead)
    _check_count("preview_chars", preview_chars)
    _check_count("reserve_tokens", reserve_tokens)
    counting = _counting(token_counter, tokenizer)
    half_life = float(half_life)
    safe_threshold = float(safe_threshold)
    # Texts are counted as the messages are read.
    adapter, reading, pairing = _read(messages, format, image_tokens, classify, counting)
    counting = Counting(adapter.framing, counting.tokenizer, counting.cache)
    views = reading.views
    tokens = reading.tokens if reading.tokens is not None else _count_all(views, counting)
    n = len(views)
    # What the request sends besides the messages' own tokens.
    fixed = reserve_tokens + counting.outside(tools, instructions)
    fixed += adapter.framing.per_request if n else 0
    plan = _Plan(
        adapter, messages, views, pairing, tokens, counting, image_tokens,
        tool_results == "drop", reading.shape, preview_chars, reading.sealed,
    )
    plan.default_reason = SURVIVED if max_tokens is None else FITS
    plan.reasons = [plan.default_reason] * n
    plan.pin(stable_prefix, keep_last_turns)
    if max_tokens is None:
        plan.decay(half_life, safe_threshold, stable_prefix)
    else:
        budget = counting.limit(max(0, max_tokens - fixed))
        plan.fit(budget, half_life)
        plan.elide_recent(budget)
    if adapter.user_first:
        plan.first_role()

    action = plan.action
    if n and action.count(_KEPT) == n:
        out = list(messages)
    else:
        source = messages
        if plan.copies:
            source = list(messages)
            for i, c in plan.copies.items():
                source[i] = c
        out = list(compress(source, action.translate(_SURVIVES)))
    first = n - len(action.lstrip(b"\x00"))
    first_changed = first if first < n else None
    before = plan.initial + fixed
    after = plan.total + fixed
    if not out and n:
        after -= adapter.framing.per_request  # nothing is sent: no request framing either
    rewritten = before - fixed - sum(tokens[:first]) if first_changed is not None else 0
    note = ""
    limit = None
    if max_tokens is not None:
        limit = min(max_tokens, fixed + counting.limit(max(0, max_tokens - fixed)))
    if limit is not None and after > limit:
        note = (
            f"the pinned messages and tool-result placeholders alone count {after} tokens, "
            f"over the budget of {max_tokens}"
        )
        if max_tokens is not None and limit < max_tokens:
            note += f" less the estimate's margin ({limit})"
        if fixed:
            note += f" ({fixed} of them outside the messages: request framing, tools, instructions, reserve)"
    return TrimResult(
        out,
        action,
        plan.reasons,
        before,
        after,
        max_tokens,
        note,
        first_changed,
        rewrite_gain(rules_for_format(adapter.name), rewritten, before - after, calls_ahead),
        adapter.name,
        limit,
    )


def _counting(token_counter: Any, tokenizer: str) -> Counting:
    """The counting of one call, before its format is known: a caller's counter
    through a cache of its own (or through the one passed in, a Conversation's),
    or the estimate of `tokenizer`."""
    if isinstance(token_counter, CountCache):
        return Counting(NO_FRAMING, tokenizer, token_counter)
    return make_counting(NO_FRAMING, tokenizer, token_counter)
