"""What the framework integrations share.

Each framework module maps its framework's data to a message list, asks a `Core`
for the list to send, and maps the answer back. The core holds everything that
does not depend on the framework:

- the settings (`Settings`: budget, mode, the options of `trim` or `Conversation`);
- the budget left for the list once the text sent beside it (instructions, a
  system message, tool schemas) is counted;
- the overflow fallback: when the provider refuses a request as too long for its
  context window, the list is trimmed to a smaller budget and sent once more; a
  second refusal raises `ContextOverflow` with the counts of both attempts;
- the sessions of "conversation" mode: one `Conversation` per key, fed from a
  history the framework owns, synchronised by stable item keys, not by position.

Sync and async hooks share one core: `Core.attempt` makes the first request, and
`Attempt.retry` the second after an overflow, so a hook only loops over its
framework's handler, with or without `await`.
"""

from __future__ import annotations

import hashlib
import inspect
import json
import operator
import threading
import weakref
from collections import OrderedDict
from dataclasses import dataclass, field
from typing import (
    Any,
    Callable,
    Dict,
    Hashable,
    List,
    Literal,
    Mapping,
    Optional,
    Sequence,
    Tuple,
)

import fenwa_micro as fm

from ..conversation import Conversation, _input_tokens
from ..formats import IMAGE_TOKENS, Adapter, HeldAsDurable, adapter_for
from ..trim import TrimResult, estimate_tokens, trim

__all__ = [
    "Attempt",
    "ContextOverflow",
    "Core",
    "Mode",
    "Sessions",
    "Settings",
    "count_text",
    "is_context_overflow",
    "item_key",
    "KeyCache",
    "require",
]

Mode = Literal["trim", "conversation"]
_MODES = ("trim", "conversation")

#: The options `trim` takes besides the list, the budget and the format.
TRIM_OPTIONS = frozenset(
    name
    for name, p in inspect.signature(trim).parameters.items()
    if p.kind is inspect.Parameter.KEYWORD_ONLY and name not in ("max_tokens", "format")
)
#: The options `Conversation` takes besides the budget and the format.
CONVERSATION_OPTIONS = frozenset(
    name
    for name in inspect.signature(Conversation.__init__).parameters
    if name not in ("self", "max_tokens", "format")
)


def require(module: str, extra: str) -> Any:
    """Import a framework module, or say which extra installs it."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"this integration needs {module.split('.')[0]}: pip install \"fenwa_micro[{extra}]\""
        ) from exc


def count_text(text: Optional[str], counter: Optional[Callable[[str], int]] = None) -> int:
    """Tokens of a text sent beside the message list (0 for none), by the
    caller's counter or the module's estimate."""
    if not text:
        return 0
    return counter(text) if counter is not None else estimate_tokens(text)


def json_text(value: Any) -> str:
    """Compact JSON of a value, for counting what is sent as JSON (tool schemas,
    items of unknown kinds)."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True, default=str)


# --- the overflow fallback ---------------------------------------------------------

_OVERFLOW_CODES = frozenset({"context_length_exceeded", "string_above_max_length"})
_OVERFLOW_TEXTS = (
    "context_length_exceeded",
    "prompt is too long",
    "maximum context length",
    "context window",
    "too many tokens",
)


def _error_code(exc: BaseException) -> Optional[str]:
    code = getattr(exc, "code", None)
    if isinstance(code, str):
        return code
    body = getattr(exc, "body", None)
    if isinstance(body, Mapping):
        error = body.get("error", body)
        if isinstance(error, Mapping):
            inner = error.get("code") or error.get("type")
            if isinstance(inner, str):
                return inner
    return None


def is_context_overflow(exc: BaseException) -> bool:
    """Whether an exception (or one it was raised from) is a provider refusing a
    request too long for the model's context window: OpenAI's
    `context_length_exceeded`, Anthropic's "prompt is too long"."""
    seen = set()
    current: Optional[BaseException] = exc
    while current is not None and id(current) not in seen:
        seen.add(id(current))
        if isinstance(current, ContextOverflow):
            return False  # already ours: never retried again
        if _error_code(current) in _OVERFLOW_CODES:
            return True
        text = str(current).lower()
        body = getattr(current, "body", None)
        if body is not None:
            text += " " + str(body).lower()
        if any(t in text for t in _OVERFLOW_TEXTS):
            return True
        current = current.__cause__ or current.__context__
    return False


class ContextOverflow(Exception):
    """The provider refused the request as too long twice: once as trimmed to the
    budget, once more after trimming to a smaller one.

    `tokens_sent` holds the estimated tokens of both attempts, `budgets` the
    budgets they were trimmed to; the provider's last error is the cause.
    """

    def __init__(self, tokens_sent: Tuple[int, int], budgets: Tuple[int, int]) -> None:
        self.tokens_sent = tokens_sent
        self.budgets = budgets
        super().__init__(
            f"the provider refused the request as too long twice: {tokens_sent[0]} estimated tokens "
            f"(budget {budgets[0]}), then {tokens_sent[1]} (budget {budgets[1]}); lower max_tokens "
            "or pass a token_counter that matches the model"
        )


# --- settings ------------------------------------------------------------------------


@dataclass(frozen=True)
class Settings:
    """The settings every integration takes.

    - `max_tokens`: the budget of each model request, everything counted: the
      message list, and the instructions, system message and tool schemas the
      framework sends beside it.
    - `mode`: "trim" (each request is the framework's history trimmed to the
      budget) or "conversation" (one `Conversation` per session keeps a
      cache-stable prefix and a ledger of what left).
    - `retry_ratio`: after a context overflow the request is trimmed once more to
      this share of what was sent.
    - `options`: keyword options of `trim` (trim mode) or `Conversation`
      (conversation mode).
    """

    max_tokens: int
    mode: Mode = "trim"
    retry_ratio: float = 0.75
    options: Mapping[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if not isinstance(self.max_tokens, int) or isinstance(self.max_tokens, bool) or self.max_tokens <= 0:
            raise ValueError(f"max_tokens must be a positive int, not {self.max_tokens!r}")
        if self.mode not in _MODES:
            raise ValueError(f"mode must be 'trim' or 'conversation', not {self.mode!r}")
        if not 0.0 < self.retry_ratio < 1.0:
            raise ValueError(f"retry_ratio must be between 0 and 1, not {self.retry_ratio!r}")
        known = TRIM_OPTIONS if self.mode == "trim" else CONVERSATION_OPTIONS
        unknown = sorted(set(self.options) - known)
        if unknown:
            raise TypeError(
                f"unknown option(s) for mode {self.mode!r}: {', '.join(unknown)} "
                f"(known: {', '.join(sorted(known))})"
            )
        object.__setattr__(self, "options", dict(self.options))

    @property
    def counter(self) -> Optional[Callable[[str], int]]:
        counter = self.options.get("token_counter")
        return counter if callable(counter) else None


# --- one request and its retry --------------------------------------------------------


class Attempt:
    """One request: the list to send and the figures behind it. `retry(error)`
    returns the second attempt after a context overflow, or raises."""

    __slots__ = ("messages", "tokens", "budget", "result", "_core", "_source", "_format", "_first", "_overrides")

    def __init__(
        self,
        core: Core,
        source: Sequence[Any],
        format: str,
        messages: List[Any],
        tokens: int,
        budget: int,
        result: Optional[TrimResult],
        first: Optional[Attempt],
        overrides: Optional[Mapping[str, Any]] = None,
    ) -> None:
        self._overrides = overrides
        self._core = core
        self._source = source
        self._format = format
        self.messages = messages
        self.tokens = tokens
        self.budget = budget
        self.result = result
        self._first = first

    def retry(self, error: BaseException) -> Attempt:
        """The attempt to make after `error`: a smaller trim of the same list on the
        first context overflow. Any other error, and a second overflow (as
        `ContextOverflow`, chained to the provider's error), is raised."""
        if not is_context_overflow(error):
            raise error
        if self._first is not None:
            raise ContextOverflow((self._first.tokens, self.tokens), (self._first.budget, self.budget)) from error
        budget = max(1, int(min(self.budget, self.tokens) * self._core.settings.retry_ratio))
        result = self._core.trim(self._source, self._format, budget, self._overrides)
        return Attempt(self._core, self._source, self._format, result.messages, result.tokens_after,
                       budget, result, self, self._overrides)


@dataclass
class Core:
    """The framework-independent part of an integration (see the module's text)."""

    settings: Settings

    def budget(self, beside: int) -> int:
        """What is left of `max_tokens` for the list when `beside` tokens are sent
        next to it (at least 1, so that a list is still trimmed, not refused)."""
        return max(1, self.settings.max_tokens - beside)

    def trim(
        self, messages: Sequence[Any], format: str, budget: int, overrides: Optional[Mapping[str, Any]] = None
    ) -> TrimResult:
        """`messages` trimmed to `budget`.

        Unless the caller set `keep_last_turns`, no recent turn is pinned whole:
        the newest user message (the question being worked on) is held, and the
        rest leaves by score, newest last. An agent's running turn piles up tool
        outputs, and pinning it whole would put the request over the budget."""
        options = self.settings.options
        if overrides:
            options = {**options, **overrides}
        if "keep_last_turns" not in self.settings.options:
            options = _newest_user_pinned(messages, format, options)
        return trim(messages, max_tokens=budget, format=format, **options)

    def attempt(
        self,
        messages: Sequence[Any],
        format: str,
        beside: int = 0,
        overrides: Optional[Mapping[str, Any]] = None,
    ) -> Attempt:
        """The first attempt: `messages` trimmed to the budget left by `beside`
        (with `overrides` of the trim options, for this call only)."""
        budget = self.budget(beside)
        result = self.trim(messages, format, budget, overrides)
        return Attempt(self, messages, format, result.messages, result.tokens_after, budget, result, None,
                       overrides)

    def conversation(self, format: str, beside: int = 0, **extra: Any) -> Conversation:
        """A new Conversation with this integration's options, its budget less `beside`."""
        options = dict(self.settings.options)
        options.update(extra)
        return Conversation(format=format, max_tokens=self.budget(beside), **options)


def _holding(target: Any, own: Any) -> Callable[[Any], Optional[int]]:
    """A `classify` that holds `target` as durable and asks `own` (the caller's
    classify, or None) about every other message."""
    if own is None:
        return HeldAsDurable({id(target)})  # the readers look it up, with no call per message

    def classify(message: Any) -> Optional[int]:
        if message is target:
            return int(fm.USER | fm.FACT)
        return own(message) if own is not None else None

    return classify


def pin_first_user(messages: Sequence[Any], format: str, own: Any = None) -> Any:
    """A `classify` that holds the list's first user message as durable, so that
    a trimmed list still starts with a user message (Anthropic and the other
    providers that require it, when the list comes in a format that does not
    say so); `own` is the caller's classify. Reads only up to that message."""
    adapter = adapter_for(messages, format)
    for i, message in enumerate(messages):
        view = adapter.view(i, message, IMAGE_TOKENS, None)
        if view.role == "system":
            continue
        if view.role != "user" or view.answers:
            return own
        return _holding(message, own)
    return own


def _newest_user_pinned(messages: Sequence[Any], format: str, options: Mapping[str, Any]) -> Dict[str, Any]:
    """`options` with no recent turn pinned but the newest user message (the
    question being worked on) held as durable."""
    adapter = adapter_for(messages, format)
    out = dict(options, keep_last_turns=0)
    newest = _newest_user(adapter, messages)
    if newest is not None:
        out["classify"] = _holding(messages[newest], options.get("classify"))
    return out


def _newest_user(adapter: Adapter, messages: Sequence[Any]) -> Optional[int]:
    """The index of the newest user message that answers no call. A natively read
    format reads growing stretches from the end (an agent's running turn may hold
    many calls since its question); any other, or a stretch the native reader
    refuses, is read view by view, whose errors name the message's own index."""
    n = len(messages)
    if adapter.native_table is not None and type(messages) in (list, tuple):
        size = 16
        try:
            while True:
                start = max(0, n - size)
                views = adapter.read(messages[start:], lazy=True).views
                for k in range(len(views) - 1, -1, -1):
                    v = views[k]
                    if v.role == "user" and not v.answers:
                        return start + k
                if start == 0:
                    return None
                size *= 8
        except (TypeError, ValueError):
            pass
    for i in range(n - 1, -1, -1):
        view = adapter.view(i, messages[i], IMAGE_TOKENS, None)
        if view.role == "user" and not view.answers:
            return i
    return None


# --- sessions and history sync ------------------------------------------------------------


def item_key(item: Any) -> str:
    """A key that stays with a history item however the list around it changes:
    its `id` (Responses items, LangChain messages), else its type and `call_id`,
    else a hash of its content. Keys are str, so that they persist as JSON."""

    def get(name: str) -> Any:
        return item.get(name) if isinstance(item, Mapping) else getattr(item, name, None)

    ident = get("id")
    if isinstance(ident, str) and ident:
        return "id:" + ident
    call_id = get("call_id")
    if isinstance(call_id, str) and call_id:
        return f"call:{get('type')}:{call_id}"
    dump = getattr(item, "model_dump", None)
    data = dump() if callable(dump) and not isinstance(item, Mapping) else item
    return "hash:" + hashlib.blake2b(json_text(data).encode("utf-8", "surrogatepass"), digest_size=16).hexdigest()


class KeyCache:
    """`key(item)` remembered by object for the items alive: a framework hands
    the same message objects from call to call, and a key without an id hashes
    the whole message. Items are held weakly (an entry leaves with its item), so
    the cache keeps no history alive; an item that cannot be referred to weakly
    is keyed afresh every time."""

    def __init__(self, key: Callable[[Any], str] = item_key) -> None:
        self.key = key
        self._known: Dict[int, Tuple[Any, str]] = {}

    def _forget(self, ident: int, ref: Any) -> None:
        entry = self._known.get(ident)
        if entry is not None and entry[0] is ref:
            del self._known[ident]

    def __call__(self, item: Any) -> str:
        ident = id(item)
        entry = self._known.get(ident)
        if entry is not None and entry[0]() is item:
            return entry[1]
        key = self.key(item)
        try:
            ref = weakref.ref(item, lambda r: self._forget(ident, r))
        except TypeError:
            return key
        self._known[ident] = (ref, key)
        return key

    def keys(self, items: Sequence[Any]) -> List[Hashable]:
        """`self(item)` for each item: the keys of items already seen are read
        in this loop, without a call per item."""
        known = self._known
        out: List[Hashable] = []
        append = out.append
        for item in items:
            entry = known.get(id(item))
            append(entry[1] if entry is not None and entry[0]() is item else self(item))
        return out

    def __len__(self) -> int:
        return len(self._known)


class Synced:
    """A conversation-mode request: what to send and the figures behind it."""

    __slots__ = ("messages", "tokens", "budget", "format", "restarted")

    def __init__(self, messages: List[Any], tokens: int, budget: int, format: str, restarted: bool) -> None:
        self.messages = messages
        self.tokens = tokens
        self.budget = budget
        self.format = format
        self.restarted = restarted


class Session:
    """One Conversation fed from a history the framework owns.

    `keys` are the stable keys of the history items the Conversation has taken.
    Each call hands the framework's whole list: if it extends what was taken
    (possibly with its oldest items gone, as a session that limits its items
    does), only the new items are appended; otherwise the Conversation starts over
    from the list, and its `last_report` says so."""

    __slots__ = ("conversation", "keys", "lock", "make", "usage_from", "usage_scale", "_items", "_item_keys")

    def __init__(self, make: Callable[[], Conversation]) -> None:
        self.make = make
        self.conversation = make()
        self.keys: List[Hashable] = []
        # The list the last sync was given and its keys: a framework hands the
        # same objects again, followed by the new ones.
        self._items: List[Any] = []
        self._item_keys: List[Hashable] = []
        self.lock = threading.Lock()
        #: The id of the response whose usage was recorded last (None: none yet).
        self.usage_from: Optional[str] = None
        #: The Conversation's count of its request per token of what was sent
        #: (after the fallback, with what went beside): it turns the provider's
        #: count of the request into a count of the Conversation's own.
        self.usage_scale = 1.0

    def new_items(self, keys: List[Hashable]) -> Optional[int]:
        """The index in `keys` from which items are new, or None when the list is
        not an extension of what the Conversation has."""
        known = self.keys
        if not known:
            return 0
        if not keys:
            return None
        if keys[: len(known)] == known:
            return len(known)
        # The framework may have let its oldest items go: find where the list's
        # first item sits in what was taken, and check the rest lines up.
        first = keys[0]
        for start in range(len(known) - 1, -1, -1):
            if known[start] == first:
                overlap = len(known) - start
                if keys[:overlap] == known[start:]:
                    return overlap
                break
        return None

    def sync(
        self,
        items: Sequence[Any],
        key: Callable[[Any], Hashable] = item_key,
        convert: Optional[Callable[[Any], Any]] = None,
        hold: Optional[Callable[[Any], bool]] = None,
        many: bool = False,
    ) -> bool:
        """Bring the Conversation up to `items`; returns True when it started over.
        `convert` turns a new item into the Conversation's message format (only
        new items are converted; with `many`, into a list of messages);
        `hold(message)` says a message is to be pinned (appended as durable)
        rather than appended."""
        keys = self._keys_of(items, key)
        start = self.new_items(keys)
        restarted = start is None
        if start is None:
            self.conversation = self.make()
            self.keys = []
            start = 0
        if convert is None:
            new = list(items[start:])
        elif many:
            new = [m for i in items[start:] for m in convert(i)]
        else:
            new = [convert(i) for i in items[start:]]
        if hold is not None and not self.keys:
            conversation = self.conversation
            for k, message in enumerate(new):
                if hold(message):
                    conversation.extend(new[:k])
                    conversation.pin(message)
                    new = new[k + 1:]
                    break
        if new:
            self.conversation.extend(new)
        self.keys.extend(keys[start:])
        self._items, self._item_keys = list(items), keys
        return restarted

    @property
    def item_keys(self) -> List[Hashable]:
        """The keys of the list the last sync was given, in its order."""
        return self._item_keys

    def _keys_of(self, items: Sequence[Any], key: Callable[[Any], Hashable]) -> List[Hashable]:
        """The keys of `items`: those of the objects the last sync was given, in
        the same places, as they were then; the rest by `key`."""
        last = self._items
        n = len(last)
        if n and len(items) >= n and all(map(operator.is_, items, last)):
            rest = items[n:]
            return self._item_keys + (key.keys(rest) if isinstance(key, KeyCache) else [key(i) for i in rest])
        return key.keys(items) if isinstance(key, KeyCache) else [key(i) for i in items]

    def request(
        self,
        items: Sequence[Any],
        budget: int,
        fit: Callable[[Sequence[Any], str, int], TrimResult],
        key: Callable[[Any], Hashable] = item_key,
        convert: Optional[Callable[[Any], Any]] = None,
        hold: Optional[Callable[[Any], bool]] = None,
        many: bool = False,
        beside: int = 0,
    ) -> Synced:
        """The Conversation's request for `items`, `beside` tokens being sent next
        to it. When even the Conversation's pinned messages are over `budget`
        (as the provider counts, once its usage reports have been learnt), what
        it would send is trimmed by `fit` (the integration's over-budget
        fallback) and the report says so."""
        with self.lock:
            restarted = self.sync(items, key, convert, hold, many)
            conversation = self.conversation
            messages = conversation.request()
            report = conversation.last_report
            if restarted:
                report["restarted"] = "the history is not an extension of the conversation: started over from it"
            counted = tokens = int(report.get("tokens_sent", 0))
            ratio = conversation.usage_ratio
            limit = budget if ratio <= 1.0 else max(1, int((budget + beside) / ratio) - beside)
            if tokens > limit:
                fitted = fit(messages, conversation.format, limit)
                messages, tokens = fitted.messages, fitted.tokens_after
                report["fallback"] = f"over the budget: the request was trimmed to {tokens} tokens"
                report["within_budget"] = fitted.within_budget
            # The provider counts what was sent and what went beside it; the
            # Conversation learns from the share of that its own request is.
            self.usage_scale = counted / max(1, tokens + beside)
            return Synced(messages, tokens, budget, conversation.format, restarted)

    def to_dict(self) -> Dict[str, Any]:
        """The session as plain JSON data: its Conversation and the keys it took."""
        with self.lock:
            return {"conversation": self.conversation.to_dict(), "keys": list(self.keys),
                    "usage_from": self.usage_from, "usage_scale": self.usage_scale}

    def restore(self, data: Mapping[str, Any], token_counter: Any = None) -> None:
        """Take back a session stored by `to_dict` (a restarted process)."""
        keys = data.get("keys")
        if not isinstance(keys, list) or not all(isinstance(k, str) for k in keys):
            raise ValueError("a stored session needs its 'keys', a list of str")
        with self.lock:
            self.conversation = Conversation.from_dict(data["conversation"], token_counter=token_counter)
            self.keys = list(keys)
            self._items, self._item_keys = [], []
            usage_from = data.get("usage_from")
            self.usage_from = usage_from if isinstance(usage_from, str) else None
            scale = data.get("usage_scale", 1.0)
            self.usage_scale = float(scale) if isinstance(scale, (int, float)) and scale > 0 else 1.0

    def record_usage(self, response_id: Optional[str], usage: Any) -> bool:
        """Feed the provider's reported usage of the last request to the
        Conversation, once per response; returns whether it was used."""
        if usage is None or (response_id is not None and response_id == self.usage_from):
            return False
        provider = _input_tokens(usage)
        if provider is None:
            return False
        with self.lock:
            self.usage_from = response_id
            return self.conversation.record_usage({"input_tokens": int(round(provider * self.usage_scale))})


class Sessions:
    """Sessions by key, the least recently used leaving past `capacity`."""

    def __init__(self, capacity: int = 1024) -> None:
        self.capacity = capacity
        self._sessions: OrderedDict[Hashable, Session] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: Hashable, make: Callable[[], Conversation]) -> Session:
        with self._lock:
            session = self._sessions.get(key)
            if session is None:
                session = self._sessions[key] = Session(make)
                while len(self._sessions) > self.capacity:
                    self._sessions.popitem(last=False)
            else:
                self._sessions.move_to_end(key)
            return session

    def peek(self, key: Hashable) -> Optional[Session]:
        with self._lock:
            return self._sessions.get(key)

    def __len__(self) -> int:
        return len(self._sessions)

    def __contains__(self, key: object) -> bool:
        return key in self._sessions
