"""One adapter per message format, behind one small protocol.

An adapter is the only code that knows a provider's message shapes. It turns each
message into a read-only `MessageView` (class bits, the text to count, the tool-call
ids it makes and answers), checks the provider's pairing rules over a list of views,
and makes the few copies that trimming needs: a tool result with its payload
replaced by a placeholder, or a message with some of its tool calls (or tool
results) removed. Everything else in `fenwa_host` works on views alone.

Messages are read through `_field`, which accepts dicts (the providers' request
shapes) and attribute objects (the SDKs' pydantic models, LangChain's messages)
alike, and copies are made by `_replace`, which never touches the original.
"""

from __future__ import annotations

import copy
import json
from array import array
from typing import (
    AbstractSet,
    Any,
    Callable,
    Dict,
    Final,
    FrozenSet,
    List,
    Mapping,
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
from .tokens import (
    ANTHROPIC_FRAMING,
    LANGCHAIN_FRAMING,
    NO_FRAMING,
    OPENAI_CHAT_FRAMING,
    OPENAI_RESPONSES_FRAMING,
    Counting,
    Framing,
)

__all__ = [
    "FORMATS",
    "IMAGE_TOKENS",
    "Adapter",
    "MessageView",
    "Pairing",
    "Reading",
    "adapter_for",
    "detect_format",
]

#: The fixed token cost of one image (or other non-text part: audio, file,
#: document) in a message: the cost of a 1024 x 1024 image in high detail on
#: OpenAI's models. Callers with other images pass `image_tokens=`.
IMAGE_TOKENS = 765

#: A caller's class override: returns class bits for a message, or None to keep
#: the adapter's own classification.
Classify = Callable[[Any], Optional[int]]
Placeholder = Callable[[str], str]

_NO_IDS: Tuple[str, ...] = ()


class MessageView(NamedTuple):
    """What trimming needs to know about one message."""

    position: int
    #: "system" (also developer), "user", "assistant", "tool" or "reasoning".
    role: str
    bits: int
    #: The text the token counter reads: text parts, tool-call names and
    #: arguments, tool-result payloads, reasoning summaries.
    text: str
    #: Fixed tokens added to the counted text (images and other attachments).
    extra_tokens: int
    #: Ids of the tool calls this message makes.
    calls: Tuple[str, ...]
    #: Ids of the tool calls this message answers.
    answers: Tuple[str, ...]
    #: Whether it holds thinking blocks (or is a reasoning item).
    thinking: bool


# Slots of the view fields that hot loops read by position (literals, so that the
# type checker knows each slot's type), checked against the fields' names here.
_ROLE: Final = 1
_BITS: Final = 2
_TEXT: Final = 3
_EXTRA: Final = 4
_CALLS: Final = 5
_ANSWERS: Final = 6
_SLOTS = {"role": _ROLE, "bits": _BITS, "text": _TEXT, "extra_tokens": _EXTRA, "calls": _CALLS, "answers": _ANSWERS}
if any(MessageView._fields.index(name) != slot for name, slot in _SLOTS.items()):
    raise ImportError(f"MessageView's slots moved: {MessageView._fields}")
# The native readers fill views slot by slot and check the fields' order; here
# once at import (an empty list reads to nothing).
_native.read_messages([], 0, {}, MessageView, None, None)


#: Views of a message list: a list, or the native reader's `Views`, which makes
#: each view only when it is asked for (the native entry points read its parts
#: as they are).
ViewList = Union[List[MessageView], _native.Views]
Sequence.register(_native.Views)


class Reading(NamedTuple):
    """Views of a message list, and what the native reader found out with them."""

    views: ViewList
    #: Tokens per view by the estimate of the tokenizer `read` was given, extra
    #: tokens and the format's framing included, as `Counting.views` counts
    #: them (None when no tokenizer was given).
    tokens: Optional[MutableSequence[int]]
    #: Per view: 0 no calls and no answers, 1 calls only, 2 one answer and no
    #: calls, 3 anything else.
    shape: Optional[bytearray]
    #: The results a placeholder cannot stand in for (`Adapter.elidable`).
    sealed: FrozenSet[int] = frozenset()


def _shape(v: MessageView) -> int:
    if v.answers:
        return 2 if len(v.answers) == 1 and not v.calls else 3
    return 1 if v.calls else 0


class Pairing(NamedTuple):
    """Who makes each tool call, and which messages answer it."""

    owner: Dict[str, int]
    results: Dict[str, List[int]]


def _field(message: Any, name: str) -> Any:
    if type(message) is dict:
        return message.get(name)
    if isinstance(message, Mapping):
        return message.get(name)
    return getattr(message, name, None)


def _replace(message: Any, **fields: Any) -> Any:
    """A shallow copy of `message` with `fields` set; the original is untouched."""
    if isinstance(message, Mapping):
        out = dict(message)
        out.update(fields)
        return out
    model_copy = getattr(message, "model_copy", None)
    if callable(model_copy):
        return model_copy(update=fields)
    out = copy.copy(message)
    for name, value in fields.items():
        setattr(out, name, value)
    return out


def _type_name(value: Any) -> str:
    return type(value).__name__


def _bad_type(index: int, field: str, value: Any, expected: str) -> TypeError:
    return TypeError(f"message {index}: '{field}' must be {expected}, not {_type_name(value)}")


def _require_str(index: int, field: str, value: Any) -> str:
    if not isinstance(value, str):
        raise _bad_type(index, field, value, "a str")
    return value


def _arguments_text(index: int, field: str, value: Any) -> str:
    """Tool-call arguments as counted text: a JSON string as it stands, a dict as JSON."""
    if isinstance(value, str):
        return value
    if value is None:
        return ""
    try:
        return json.dumps(value, ensure_ascii=False, separators=(",", ":"), default=str)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"message {index}: '{field}' is not JSON-serialisable: {exc}") from None


def _with_calls(
    index: int, text: str, tool_calls: Any, call_parts: Callable[[int, int, Any], Tuple[str, str]]
) -> Tuple[str, Tuple[str, ...]]:
    """The counted text of an assistant message with its tool calls (the text,
    then each call's name and arguments, one per line) and the calls' ids.
    `call_parts(index, k, call)` reads the name and arguments of call k."""
    ids: List[str] = []
    pieces = [text] if text else []
    for k, call in enumerate(tool_calls):
        ids.append(_require_str(index, f"tool_calls[{k}].id", _field(call, "id")))
        pieces.extend(call_parts(index, k, call))
    return "\n".join(pieces), tuple(ids)


def _chat_call_parts(index: int, k: int, call: Any) -> Tuple[str, str]:
    """An OpenAI Chat tool call's function name and arguments."""
    function = _field(call, "function")
    if function is None:
        raise ValueError(f"message {index}: 'tool_calls[{k}].function' is missing")
    name = _require_str(index, f"tool_calls[{k}].function.name", _field(function, "name"))
    field = f"tool_calls[{k}].function.arguments"
    return name, _arguments_text(index, field, _field(function, "arguments"))


def _lc_call_parts(index: int, k: int, call: Any) -> Tuple[str, str]:
    """A LangChain tool call's name and args."""
    name = _require_str(index, f"tool_calls[{k}].name", _field(call, "name"))
    return name, _arguments_text(index, f"tool_calls[{k}].args", _field(call, "args"))


class HeldAsDurable:
    """A `classify` that makes the messages it holds (by identity) durable (FACT)
    and leaves every other message its format's class. Readers recognise it and
    look each message up by id instead of calling into Python per message."""

    __slots__ = ("ids",)

    def __init__(self, ids: AbstractSet[int]) -> None:
        self.ids = ids

    def __call__(self, message: Any) -> Optional[int]:
        return fm.FACT if id(message) in self.ids else None


def _held_durable(views: ViewList, messages: Sequence[Any], ids: AbstractSet[int]) -> None:
    """`views` with the bits of the messages whose ids are in `ids` set to FACT."""
    fact = fm.FACT
    new = tuple.__new__
    for i, m in enumerate(messages):
        if id(m) in ids:
            v = views[i]
            if v[_BITS] != fact:
                views[i] = new(MessageView, (v[0], v[1], fact) + v[3:])


def _classify(bits: int, message: Any, classify: Optional[Classify], index: int) -> int:
    if classify is None:
        return bits
    chosen = classify(message)
    if chosen is None:
        return bits
    if not isinstance(chosen, int) or isinstance(chosen, bool) or not 0 <= chosen <= 0xFFFFFFFF:
        raise TypeError(
            f"message {index}: classify() must return class bits (an int from 0 to 4294967295) "
            f"or None, not {chosen!r}"
        )
    return chosen


def _check_adjacent(
    views: Sequence[MessageView], first_role: Optional[str], offset: int = 0
) -> Pairing:
    """Pairing for formats whose results directly follow the message that made the calls.

    Every answered id must be a call of the nearest earlier message that made calls,
    with only result messages between them; every call must be answered before the
    next message that is not a result.
    """
    if first_role is not None and offset == 0 and views and views[0].role != first_role:
        raise ValueError(
            f"message 0: the first message must be a {first_role} message, not {views[0].role} "
            "(wrong first role)"
        )
    if type(views) is list or type(views) is _native.Views:
        owner, results = _native.pair_adjacent(views, offset)
        return Pairing(owner, results)
    return _pair_adjacent(views, offset)


def _pair_adjacent(views: Sequence[MessageView], offset: int) -> Pairing:
    """The pairing loop of `_check_adjacent` in Python (`_native.pair_adjacent`
    is the same over a list)."""
    owner: Dict[str, int] = {}
    results: Dict[str, List[int]] = {}
    open_owner = -1
    pending: Dict[str, None] = {}
    # Views are read by slot: this loop runs per message.
    for i, v in enumerate(views, offset):
        answers = v[_ANSWERS]
        calls = v[_CALLS]
        if answers:
            for cid in answers:
                if open_owner < 0 or owner.get(cid) != open_owner:
                    raise ValueError(
                        f"message {i}: tool result for call {cid!r} does not answer a call "
                        "of the message right before it (orphan tool result)"
                    )
                if cid not in pending:
                    raise ValueError(f"message {i}: call {cid!r} is answered twice (orphan tool result)")
                del pending[cid]
                results[cid].append(i)
            if not calls:
                continue
        if pending:
            cid = next(iter(pending))
            raise ValueError(
                f"message {open_owner}: tool call {cid!r} has no result before message {i} "
                "(call without its result)"
            )
        open_owner = -1
        if calls:
            open_owner = i
            for cid in calls:
                if cid in owner:
                    raise ValueError(f"message {i}: tool call id {cid!r} is used twice")
                owner[cid] = i
                results[cid] = []
                pending[cid] = None
    if pending:
        cid = next(iter(pending))
        raise ValueError(
            f"message {open_owner}: tool call {cid!r} has no result (call without its result)"
        )
    return Pairing(owner, results)


class Adapter:
    """The protocol every format implements.

    `views` reads a message list; `check` enforces the provider's pairing and order
    rules and returns who calls and who answers; `elide`, `remove_calls` and
    `remove_answers` return new shallow copies (or None when nothing worth sending
    would be left). `pin_running_cycle` says whether the provider requires the last,
    still running tool-use cycle to be sent back unchanged; `results_alone` that a
    message answering a call holds nothing but that one result; `user_first` that
    the list must start with a user message; `reasoning_groups` that a reasoning
    item and the output items after it are sent together or not at all.
    `elidable` says whether a placeholder can stand in for a result's payload
    (otherwise the result leaves whole, with its call); it is asked only of
    adapters with `sealed_results`.
    `framing` is what the format sends around the counted texts (fenwa_host.tokens
    counts it).
    """

    name = ""
    pin_running_cycle = False
    results_alone = True
    framing: Framing = NO_FRAMING
    user_first = False
    reasoning_groups = False
    sealed_results = False
    #: The native reader of the format's common shapes (`_native.read_messages`)
    #: and its table of (kind, class bits) by role or type; None: read in Python.
    native_reader = 0
    native_table: Optional[Dict[str, Tuple[str, int]]] = None

    def views(
        self,
        messages: Sequence[Any],
        image_tokens: int = IMAGE_TOKENS,
        classify: Optional[Classify] = None,
    ) -> List[MessageView]:
        if self._native_reads(messages, classify):
            views = self.read(messages, image_tokens).views
            assert isinstance(views, list)  # the reader's Views only when asked for
            return views
        return [self.view(i, m, image_tokens, classify) for i, m in enumerate(messages)]

    def _native_reads(self, messages: Sequence[Any], classify: Optional[Classify]) -> bool:
        return self.native_table is not None and classify is None and type(messages) in (list, tuple)

    def view(
        self, index: int, message: Any, image_tokens: int, classify: Optional[Classify]
    ) -> MessageView:
        raise NotImplementedError

    def read(
        self,
        messages: Sequence[Any],
        image_tokens: int = IMAGE_TOKENS,
        classify: Optional[Classify] = None,
        tokenizer: Union[str, Counting, None] = None,
        lazy: bool = False,
    ) -> Reading:
        """The views of `messages`, with what a fast reader learnt on the way: the
        tokens of each view (when `tokenizer` is given: the estimate of that
        family, or a Counting's counts) and its `Shape` (None when unknown).
        With `lazy`, natively read views come as a `Views` rather than a list."""
        table = self.native_table
        if classify is not None and table is not None and self._native_reads(messages, None):
            # The class a caller chooses changes the bits only: the text, the
            # tokens and the shape are those the native reading gives.
            reading = self.read(messages, image_tokens, None, tokenizer, lazy)
            views = reading.views
            if isinstance(classify, HeldAsDurable):
                _held_durable(views, messages, classify.ids)
                return reading
            for i, v in enumerate(views):
                bits = _classify(v.bits, messages[i], classify, i)
                if bits != v.bits:
                    views[i] = v._replace(bits=bits)
            return reading
        counting: Optional[Counting] = None
        if isinstance(tokenizer, Counting):
            counting = Counting(self.framing, tokenizer.tokenizer, tokenizer.cache)
        elif tokenizer is not None:
            counting = Counting(self.framing, tokenizer)
        if table is None or not self._native_reads(messages, classify):
            views = [self.view(i, m, image_tokens, classify) for i, m in enumerate(messages)]
            tokens = None if counting is None else counting.views(views)
            return Reading(views, tokens, None, self._sealed(messages, views, range(len(views))))
        # Well-formed common shapes are read (and counted) natively; the rest
        # (SDK objects, content parts, odd types, bad input) by `view`, which
        # also reports what is wrong.
        views, counts, shape, todo = _native.read_messages(
            messages, self.native_reader, table, MessageView,
            None if counting is None else counting.native, self.framing.native(), lazy,
        )
        estimates: Optional[array[int]] = None
        if counts is not None:
            estimates = array("q")
            estimates.frombytes(counts)
        if not todo:
            return Reading(views, estimates, shape)
        for i in todo:
            views[i] = self.view(i, messages[i], image_tokens, None)
        for i in todo:
            shape[i] = _shape(views[i])
        sealed = self._sealed(messages, views, todo)
        for i in sealed:
            shape[i] = 3  # the walks hand it back: it leaves whole
        if estimates is not None and counting is not None:
            if counting.cache is None:
                rest: Sequence[int] = counting.views([views[i] for i in todo])
            else:
                # One by one, so that a counter's error names the message's index.
                rest = [counting.view(views[i], i) for i in todo]
            for i, n in zip(todo, rest):
                estimates[i] = n
        return Reading(views, estimates, shape, sealed)

    def _sealed(self, messages: Sequence[Any], views: ViewList, indices: Any) -> FrozenSet[int]:
        if not self.sealed_results:
            return frozenset()
        return frozenset(i for i in indices if views[i][_ANSWERS] and not self.elidable(messages[i]))

    def check(self, views: Sequence[MessageView], offset: int = 0) -> Pairing:
        """Pairing of `views`, the messages from position `offset` on (a suffix that
        starts where no call is waiting for its result)."""
        return _check_adjacent(views, None, offset)

    def elidable(self, message: Any) -> bool:
        return True

    def elide(self, message: Any, placeholder: Placeholder) -> Any:
        return message

    def remove_calls(self, message: Any, ids: FrozenSet[str]) -> Optional[Any]:
        return None

    def remove_answers(self, message: Any, ids: FrozenSet[str]) -> Optional[Any]:
        return None


# --- OpenAI Chat Completions -------------------------------------------------------

_CHAT_ROLES: Dict[str, Tuple[str, int]] = {
    "system": ("system", fm.SYSTEM),
    "developer": ("system", fm.SYSTEM),
    "user": ("user", fm.USER),
    "assistant": ("assistant", fm.ASSISTANT),
    "tool": ("tool", fm.TOOL),
}
_CHAT_PART_TEXT = {"text": "text", "refusal": "refusal"}
_CHAT_PART_ATTACHMENT = frozenset({"image_url", "input_audio", "file"})


def _parts(
    index: int,
    parts: Any,
    image_tokens: int,
    field: str,
    text_keys: Mapping[str, str],
    attachments: FrozenSet[str],
) -> Tuple[str, int]:
    """The text of a list of content parts (joined by line feeds) and the tokens
    its attachments cost. `text_keys` maps a text part's type to the key of its
    text; `attachments` are the part types counted at `image_tokens` each."""
    texts: List[str] = []
    extra = 0
    for k, part in enumerate(parts):
        kind = _field(part, "type")
        known = isinstance(kind, str)
        key = text_keys.get(kind) if known else None
        if key is not None:
            texts.append(_require_str(index, f"{field}[{k}].{key}", _field(part, key)))
        elif known and kind in attachments:
            extra += image_tokens
        else:
            raise ValueError(f"message {index}: unknown content part type {kind!r} in '{field}[{k}]'")
    return "\n".join(texts), extra


def _chat_parts(index: int, parts: Any, image_tokens: int) -> Tuple[str, int]:
    return _parts(index, parts, image_tokens, "content", _CHAT_PART_TEXT, _CHAT_PART_ATTACHMENT)


def _chat_content(index: int, content: Any, image_tokens: int) -> Tuple[str, int]:
    if type(content) is str:
        return content, 0
    if content is None:
        return "", 0
    if isinstance(content, str):
        return str(content), 0
    if isinstance(content, (list, tuple)):
        return _chat_parts(index, content, image_tokens)
    raise _bad_type(index, "content", content, "a str, a list of parts or None")


class OpenAIChat(Adapter):
    """OpenAI Chat Completions `messages`: dicts or the SDK's message objects."""

    name = "openai"
    framing = OPENAI_CHAT_FRAMING
    native_reader = 0
    native_table = _CHAT_ROLES

    def view(
        self, index: int, message: Any, image_tokens: int, classify: Optional[Classify]
    ) -> MessageView:
        role = _field(message, "role")
        entry = _CHAT_ROLES.get(role) if isinstance(role, str) else None
        if entry is None:
            if not isinstance(role, str):
                raise _bad_type(index, "role", role, "a str")
            raise ValueError(f"message {index}: unknown role {role!r} in 'role'")
        kind, bits = entry
        text, extra = _chat_content(index, _field(message, "content"), image_tokens)
        calls = _NO_IDS
        answers = _NO_IDS
        if kind == "assistant":
            tool_calls = _field(message, "tool_calls")
            if tool_calls:
                if not isinstance(tool_calls, (list, tuple)):
                    raise _bad_type(index, "tool_calls", tool_calls, "a list")
                text, calls = _with_calls(index, text, tool_calls, _chat_call_parts)
        elif kind == "tool":
            answers = (_require_str(index, "tool_call_id", _field(message, "tool_call_id")),)
        return MessageView(
            index, kind, _classify(bits, message, classify, index), text, extra, calls, answers, False
        )

    def elide(self, message: Any, placeholder: Placeholder) -> Any:
        text, _ = _chat_content(0, _field(message, "content"), 0)
        return _replace(message, content=placeholder(text))

    def remove_calls(self, message: Any, ids: FrozenSet[str]) -> Optional[Any]:
        kept = [c for c in _field(message, "tool_calls") or () if _field(c, "id") not in ids]
        if kept:
            return _replace(message, tool_calls=kept)
        content = _field(message, "content")
        if not content:
            return None
        # An assistant message without calls must not carry an empty tool_calls list.
        if isinstance(message, Mapping):
            out = {k: v for k, v in message.items() if k != "tool_calls"}
            return out
        return _replace(message, tool_calls=None)


# --- LangChain messages ----------------------------------------------------------

_LC_ROLES: Dict[str, Tuple[str, int]] = {
    "system": ("system", fm.SYSTEM),
    "human": ("user", fm.USER),
    "ai": ("assistant", fm.ASSISTANT),
    "tool": ("tool", fm.TOOL),
    # Chunks (an accumulated stream) read as the messages they add up to.
    "SystemMessageChunk": ("system", fm.SYSTEM),
    "HumanMessageChunk": ("user", fm.USER),
    "AIMessageChunk": ("assistant", fm.ASSISTANT),
    "ToolMessageChunk": ("tool", fm.TOOL),
}
#: A ChatMessage's `role`, as the chat models map it to a provider role.
_LC_CHAT_ROLES: Dict[str, Tuple[str, int]] = {
    "system": ("system", fm.SYSTEM),
    "developer": ("system", fm.SYSTEM),
    "user": ("user", fm.USER),
    "human": ("user", fm.USER),
    "assistant": ("assistant", fm.ASSISTANT),
    "ai": ("assistant", fm.ASSISTANT),
}
_LC_CHAT_TYPES = frozenset({"chat", "ChatMessageChunk"})
#: Content blocks that carry text, and the key of their text.
_LC_TEXT_BLOCKS = {
    "text": "text",
    "text-plain": "text",
    "refusal": "refusal",
    "reasoning": "reasoning",
    "thinking": "thinking",
    "redacted_thinking": "data",
}
#: Content blocks that state a tool call (ChatAnthropic's tool_use, LangChain's
#: standard tool_call blocks and their stream chunks, server-side calls): counted
#: as the name and arguments they carry, once; a block of a call the message also
#: lists in `tool_calls` is counted there.
_LC_CALL_BLOCKS = frozenset({
    "tool_use", "server_tool_use", "tool_call", "tool_call_chunk", "invalid_tool_call",
    "server_tool_call", "server_tool_call_chunk", "function_call", "input_json_delta",
})
#: Blocks priced at a fixed cost per attachment.
_LC_ATTACHMENTS = frozenset({
    "image", "image_url", "audio", "input_audio", "video", "file", "document", "input_image", "input_file",
})
_LC_CALL_ARGS = ("input", "args", "arguments", "partial_json")


def _lc_block_call(index: int, k: int, block: Any) -> str:
    """The counted text of a tool-call content block: its name and arguments."""
    pieces = []
    name = _field(block, "name")
    if isinstance(name, str) and name:
        pieces.append(name)
    for key in _LC_CALL_ARGS:
        value = _field(block, key)
        if value is not None:
            pieces.append(_arguments_text(index, f"content[{k}].{key}", value))
            break
    return "\n".join(pieces)


def _lc_content(
    index: int, content: Any, image_tokens: int, calls: Tuple[str, ...] = _NO_IDS
) -> Tuple[str, int]:
    if isinstance(content, str):
        return content, 0
    if isinstance(content, (list, tuple)):
        texts: List[str] = []
        extra = 0
        for k, block in enumerate(content):
            if isinstance(block, str):
                texts.append(block)
                continue
            kind = _field(block, "type")
            key = _LC_TEXT_BLOCKS.get(kind) if isinstance(kind, str) else None
            if key is not None:
                value = _field(block, key)
                if value is None and kind == "reasoning":
                    # Some providers put a reasoning summary's parts in `summary`.
                    value = "\n".join(_field(s, "text") or "" for s in _field(block, "summary") or ())
                texts.append(_require_str(index, f"content[{k}].{key}", value or ""))
            elif kind in _LC_CALL_BLOCKS:
                if _field(block, "id") not in calls:
                    texts.append(_lc_block_call(index, k, block))
            elif kind in _LC_ATTACHMENTS:
                extra += image_tokens
            else:
                # A provider's own block (a server tool's result, a citation, a
                # non-standard block): counted as the JSON it is sent as.
                texts.append(_json_text(index, block, _LC_BLOCK_FRAME))
        return "\n".join(t for t in texts if t), extra
    raise _bad_type(index, "content", content, "a str or a list of content blocks")


_LC_BLOCK_FRAME = frozenset({"type", "id", "index"})


def _lc_calls(index: int, message: Any) -> List[Any]:
    """The calls an AI message makes: its `tool_calls`, then the `invalid_tool_calls`
    (the chat models still send those as calls, and they need their results)."""
    calls = list(getattr(message, "tool_calls", None) or ())
    invalid = getattr(message, "invalid_tool_calls", None)
    if invalid:
        calls.extend(invalid)
    return calls


def _lc_invalid_call_parts(index: int, k: int, call: Any) -> Tuple[str, str]:
    name = _field(call, "name")
    return (name if isinstance(name, str) else ""), _arguments_text(index, f"tool_calls[{k}].args", _field(call, "args"))


def _lc_any_call_parts(index: int, k: int, call: Any) -> Tuple[str, str]:
    if _field(call, "type") == "invalid_tool_call":
        return _lc_invalid_call_parts(index, k, call)
    return _lc_call_parts(index, k, call)


def _lc_kind(index: int, message: Any) -> Tuple[str, int]:
    type_name = getattr(message, "type", None)
    entry = _LC_ROLES.get(type_name) if isinstance(type_name, str) else None
    if entry is not None:
        return entry
    if type_name in _LC_CHAT_TYPES:
        role = getattr(message, "role", None)
        entry = _LC_CHAT_ROLES.get(role) if isinstance(role, str) else None
        if entry is None:
            raise ValueError(f"message {index}: unknown ChatMessage role {role!r} in 'role'")
        return entry
    raise ValueError(f"message {index}: unknown message type {type_name!r} in 'type'")


def _keep_ids(items: Any, ids: FrozenSet[str], key: str = "id") -> List[Any]:
    return [c for c in items or () if _field(c, key) not in ids]


class LangChain(Adapter):
    """LangChain messages, duck-typed on `.type`: system, human, ai (with
    `tool_calls` and `invalid_tool_calls`) and tool (with `tool_call_id`), their
    chunks, and ChatMessage by its `role`."""

    name = "langchain"
    framing = LANGCHAIN_FRAMING
    native_reader = 2
    native_table = _LC_ROLES

    def view(
        self, index: int, message: Any, image_tokens: int, classify: Optional[Classify]
    ) -> MessageView:
        kind, bits = _lc_kind(index, message)
        calls = _NO_IDS
        answers = _NO_IDS
        tool_calls: List[Any] = []
        if kind == "assistant":
            tool_calls = _lc_calls(index, message)
            if tool_calls:
                calls = tuple(
                    _require_str(index, f"tool_calls[{k}].id", _field(c, "id")) for k, c in enumerate(tool_calls)
                )
        text, extra = _lc_content(index, getattr(message, "content", None), image_tokens, calls)
        if tool_calls:
            text, calls = _with_calls(index, text, tool_calls, _lc_any_call_parts)
        elif kind == "tool":
            answers = (_require_str(index, "tool_call_id", getattr(message, "tool_call_id", None)),)
        return MessageView(
            index, kind, _classify(bits, message, classify, index), text, extra, calls, answers, False
        )

    def elide(self, message: Any, placeholder: Placeholder) -> Any:
        text, _ = _lc_content(0, getattr(message, "content", ""), 0)
        return _replace(message, content=placeholder(text))

    def remove_calls(self, message: Any, ids: FrozenSet[str]) -> Optional[Any]:
        kept = _keep_ids(getattr(message, "tool_calls", None), ids)
        invalid = _keep_ids(getattr(message, "invalid_tool_calls", None), ids)
        content = getattr(message, "content", None)
        if isinstance(content, list):
            # Tool-call blocks in the content go with their calls.
            content = [b for b in content if not (_field(b, "type") in _LC_CALL_BLOCKS and _field(b, "id") in ids)]
        if not kept and not invalid and not content:
            return None
        update: Dict[str, Any] = {"tool_calls": kept, "invalid_tool_calls": invalid, "content": content}
        chunks = getattr(message, "tool_call_chunks", None)
        if chunks:
            update["tool_call_chunks"] = _keep_ids(chunks, ids)
        extra = getattr(message, "additional_kwargs", None)
        if isinstance(extra, Mapping) and "tool_calls" in extra:
            # The chat models fall back to the raw calls here: they must match.
            raw = _keep_ids(extra["tool_calls"], ids)
            extra = {k: v for k, v in extra.items() if k != "tool_calls"}
            if raw:
                extra["tool_calls"] = raw
            update["additional_kwargs"] = extra
        return _replace(message, **update)


# --- Anthropic Messages ------------------------------------------------------------

_ANTHROPIC_ATTACHMENT = frozenset({"image", "document"})


def _anthropic_result_text(index: int, k: int, content: Any, image_tokens: int) -> Tuple[str, int]:
    if content is None:
        return "", 0
    if isinstance(content, str):
        return content, 0
    if isinstance(content, (list, tuple)):
        texts: List[str] = []
        extra = 0
        for j, block in enumerate(content):
            kind = _field(block, "type")
            if kind == "text":
                texts.append(_require_str(index, f"content[{k}].content[{j}].text", _field(block, "text")))
            elif isinstance(kind, str) and kind in _ANTHROPIC_ATTACHMENT:
                extra += image_tokens
            else:
                raise ValueError(
                    f"message {index}: unknown block type {kind!r} in 'content[{k}].content[{j}]'"
                )
        return "\n".join(texts), extra
    raise _bad_type(index, f"content[{k}].content", content, "a str, a list of blocks or None")


class Anthropic(Adapter):
    """Anthropic Messages `messages` (the system prompt is a separate parameter):
    dicts or the SDK's objects, with text, image, document, tool_use, tool_result,
    thinking and redacted_thinking blocks."""

    name = "anthropic"
    framing = ANTHROPIC_FRAMING
    pin_running_cycle = True
    results_alone = False
    user_first = True
    native_reader = 3
    # By role, and for a user message that carries tool results and an assistant
    # message that holds thinking blocks.
    native_table = {
        "user": ("user", fm.USER),
        "assistant": ("assistant", fm.ASSISTANT),
        "tool_result": ("user", fm.TOOL),
        "thinking": ("assistant", fm.ASSISTANT | fm.THINKING),
    }

    def view(
        self, index: int, message: Any, image_tokens: int, classify: Optional[Classify]
    ) -> MessageView:
        role = _field(message, "role")
        if role not in ("user", "assistant"):
            if not isinstance(role, str):
                raise _bad_type(index, "role", role, "a str")
            raise ValueError(f"message {index}: unknown role {role!r} in 'role'")
        content = _field(message, "content")
        if isinstance(content, str):
            bits = fm.USER if role == "user" else fm.ASSISTANT
            return MessageView(
                index, role, _classify(bits, message, classify, index), content, 0, _NO_IDS, _NO_IDS, False
            )
        if not isinstance(content, (list, tuple)):
            raise _bad_type(index, "content", content, "a str or a list of blocks")
        texts: List[str] = []
        extra = 0
        calls: List[str] = []
        answers: List[str] = []
        thinking = False
        for k, block in enumerate(content):
            kind = _field(block, "type")
            if kind == "tool_result" and len(answers) != k:
                raise ValueError(
                    f"message {index}: tool_result blocks must come first in the content ('content[{k}]')"
                )
            if kind == "text":
                texts.append(_require_str(index, f"content[{k}].text", _field(block, "text")))
            elif isinstance(kind, str) and kind in _ANTHROPIC_ATTACHMENT:
                extra += image_tokens
            elif kind == "tool_use" and role == "assistant":
                calls.append(_require_str(index, f"content[{k}].id", _field(block, "id")))
                texts.append(_require_str(index, f"content[{k}].name", _field(block, "name")))
                texts.append(_arguments_text(index, f"content[{k}].input", _field(block, "input")))
            elif kind == "tool_result" and role == "user":
                answers.append(_require_str(index, f"content[{k}].tool_use_id", _field(block, "tool_use_id")))
                text, more = _anthropic_result_text(index, k, _field(block, "content"), image_tokens)
                texts.append(text)
                extra += more
            elif kind == "thinking" and role == "assistant":
                thinking = True
                texts.append(_require_str(index, f"content[{k}].thinking", _field(block, "thinking")))
            elif kind == "redacted_thinking" and role == "assistant":
                thinking = True
                texts.append(_require_str(index, f"content[{k}].data", _field(block, "data")))
            else:
                raise ValueError(
                    f"message {index}: block type {kind!r} is not valid in a {role} message ('content[{k}]')"
                )
        if answers:
            kind_name, bits = "user", fm.TOOL
        elif role == "user":
            kind_name, bits = "user", fm.USER
        else:
            kind_name, bits = "assistant", fm.ASSISTANT | (fm.THINKING if thinking else 0)
        return MessageView(
            index,
            kind_name,
            _classify(bits, message, classify, index),
            "\n".join(texts),
            extra,
            tuple(calls),
            tuple(answers),
            thinking,
        )

    def check(self, views: Sequence[MessageView], offset: int = 0) -> Pairing:
        pairing = _check_adjacent(views, "user", offset)
        for cid, carriers in pairing.results.items():
            owner = pairing.owner[cid]
            if carriers != [owner + 1]:
                raise ValueError(
                    f"message {owner}: the results of tool call {cid!r} must all be in the next "
                    "user message (call without its result)"
                )
        return pairing

    def elide(self, message: Any, placeholder: Placeholder) -> Any:
        blocks = []
        for block in _field(message, "content"):
            if _field(block, "type") == "tool_result":
                text, _ = _anthropic_result_text(0, 0, _field(block, "content"), 0)
                block = _replace(block, content=placeholder(text))  # keeps is_error
            blocks.append(block)
        return _replace(message, content=blocks)

    def remove_calls(self, message: Any, ids: FrozenSet[str]) -> Optional[Any]:
        blocks = [
            b
            for b in _field(message, "content")
            if not (_field(b, "type") == "tool_use" and _field(b, "id") in ids)
        ]
        if not any(_field(b, "type") in ("text", "tool_use") for b in blocks):
            return None
        return _replace(message, content=blocks)

    def remove_answers(self, message: Any, ids: FrozenSet[str]) -> Optional[Any]:
        blocks = [
            b
            for b in _field(message, "content")
            if not (_field(b, "type") == "tool_result" and _field(b, "tool_use_id") in ids)
        ]
        if not blocks:
            return None
        return _replace(message, content=blocks)


# --- OpenAI Responses input items --------------------------------------------------

_RESPONSES_ROLES: Dict[str, Tuple[str, int]] = {
    "system": ("system", fm.SYSTEM),
    "developer": ("system", fm.SYSTEM),
    "user": ("user", fm.USER),
    "assistant": ("assistant", fm.ASSISTANT),
}
_RESPONSES_TEXT_PARTS = {"input_text": "text", "output_text": "text", "text": "text", "refusal": "refusal"}
_RESPONSES_ATTACHMENTS = frozenset({"input_image", "input_file", "input_audio"})

#: Items that make a call the client answers with an output item: the kind, the
#: field holding the call's id, and whether the provider refuses the call when
#: no output follows it (an approval request may wait for its answer; a tool
#: search the server ran has none of its own).
_RESPONSES_CALLS: Dict[str, Tuple[str, bool]] = {
    "function_call": ("call_id", True),
    "custom_tool_call": ("call_id", True),
    "computer_call": ("call_id", True),
    "local_shell_call": ("call_id", True),
    "shell_call": ("call_id", True),
    "apply_patch_call": ("call_id", True),
    "mcp_approval_request": ("id", False),
    "tool_search_call": ("call_id", False),
    "program": ("call_id", False),
}
#: Output items: the kind, the field naming the call it answers, and the field
#: that holds its payload when a placeholder can stand in for it (None: the
#: output has a fixed shape, a screenshot or a decision, and leaves whole).
_RESPONSES_OUTPUTS: Dict[str, Tuple[str, Optional[str]]] = {
    "function_call_output": ("call_id", "output"),
    "custom_tool_call_output": ("call_id", "output"),
    "local_shell_call_output": ("id", "output"),
    "shell_call_output": ("call_id", "output"),
    "apply_patch_call_output": ("call_id", "output"),
    "program_output": ("call_id", "result"),
    "computer_call_output": ("call_id", None),
    "mcp_approval_response": ("approval_request_id", None),
    "tool_search_output": ("call_id", None),
}
#: Items the model produced whose work the server did (hosted tools), or that
#: only name an earlier item: they stand alone, with the reasoning before them.
_RESPONSES_HOSTED = frozenset({
    "web_search_call", "file_search_call", "code_interpreter_call", "image_generation_call",
    "mcp_call", "mcp_list_tools", "item_reference",
})
#: Fields that say what an item is rather than what it holds: not counted.
_RESPONSES_FRAME = frozenset({"type", "id", "call_id", "status"})
#: Item kinds that are read, for the format's detection.
_RESPONSES_KINDS = frozenset(
    {"message", "reasoning", "compaction", "compaction_trigger", "additional_tools"}
    | set(_RESPONSES_CALLS) | set(_RESPONSES_OUTPUTS) | _RESPONSES_HOSTED
)


class _MayWait(tuple):  # type: ignore[type-arg]
    """The ids of calls the provider accepts without an answer yet (an MCP
    approval request): pairing keeps them with their answer when there is one."""

    __slots__ = ()


class _Reference(_MayWait):
    """The calls of an `item_reference` item: none that the list shows, but an
    output whose call is not in the list answers a call the reference may name
    (the item lives on the server); pairing gives such outputs to the nearest
    reference before them, so that they are kept and dropped with it."""

    __slots__ = ()


_REFERENCE = _Reference()


def _responses_content(index: int, content: Any, image_tokens: int, field: str) -> Tuple[str, int]:
    if isinstance(content, str):
        return content, 0
    if content is None:
        return "", 0
    if isinstance(content, (list, tuple)):
        return _parts(index, content, image_tokens, field, _RESPONSES_TEXT_PARTS, _RESPONSES_ATTACHMENTS)
    raise _bad_type(index, field, content, "a str or a list of parts")


def _plain(item: Any) -> Any:
    """An item as plain data: dicts as they are, the SDK's models dumped."""
    if isinstance(item, Mapping):
        return item
    dump = getattr(item, "model_dump", None)
    if callable(dump):
        return dump(mode="json", exclude_none=True)
    return getattr(item, "__dict__", item)


def _json_text(index: int, item: Any, skip: FrozenSet[str] = _RESPONSES_FRAME) -> str:
    """The counted text of an item read as data: its JSON without the framing fields."""
    data = _plain(item)
    if isinstance(data, Mapping):
        data = {k: v for k, v in data.items() if k not in skip and v is not None}
    return _arguments_text(index, "item", data)


def _call_text(index: int, kind: str, item: Any) -> str:
    if kind == "function_call":
        name = _require_str(index, "name", _field(item, "name"))
        return name + "\n" + _arguments_text(index, "arguments", _field(item, "arguments"))
    if kind == "custom_tool_call":
        name = _require_str(index, "name", _field(item, "name"))
        return name + "\n" + _require_str(index, "input", _field(item, "input"))
    return _json_text(index, item)


def _output_text(index: int, kind: str, item: Any, image_tokens: int) -> Tuple[str, int]:
    if kind == "computer_call_output":
        return "", image_tokens  # a screenshot
    if kind == "shell_call_output":
        output = _field(item, "output") or ()
        if isinstance(output, str):
            return output, 0
        if not isinstance(output, (list, tuple)):
            raise _bad_type(index, "output", output, "a list")
        pieces = []
        for k, chunk in enumerate(output):
            for key in ("stdout", "stderr"):
                value = _field(chunk, key)
                if value:
                    pieces.append(_require_str(index, f"output[{k}].{key}", value))
        return "\n".join(pieces), 0
    field = _RESPONSES_OUTPUTS[kind][1]
    if field is None:
        return _json_text(index, item, _RESPONSES_FRAME | {"approval_request_id"}), 0
    return _responses_content(index, _field(item, field), image_tokens, field)


class OpenAIResponses(Adapter):
    """OpenAI Responses `input` items, as dicts or the SDK's objects: messages,
    reasoning, the calls of client tools (function, custom, computer, shell,
    apply_patch, ...) with their outputs, hosted tool calls (web and file search,
    code interpreter, image generation, MCP) and compaction items. An item kind
    it does not know is counted by its JSON and kept or dropped whole."""

    name = "openai-responses"
    framing = OPENAI_RESPONSES_FRAMING
    reasoning_groups = True
    sealed_results = True
    native_reader = 1
    native_table = {
        **_RESPONSES_ROLES,
        "function_call": ("assistant", fm.ASSISTANT),
        "function_call_output": ("tool", fm.TOOL),
    }

    def view(
        self, index: int, message: Any, image_tokens: int, classify: Optional[Classify]
    ) -> MessageView:
        kind = _field(message, "type")
        if kind is None or kind == "message":
            role = _field(message, "role")
            if role is None and kind is None and isinstance(_field(message, "id"), str):
                kind = "item_reference"  # {"id": ...} names an earlier item
            else:
                entry = _RESPONSES_ROLES.get(role) if isinstance(role, str) else None
                if entry is None:
                    if not isinstance(role, str):
                        raise _bad_type(index, "role", role, "a str")
                    raise ValueError(f"message {index}: unknown role {role!r} in 'role'")
                text, extra = _responses_content(index, _field(message, "content"), image_tokens, "content")
                return MessageView(
                    index, entry[0], _classify(entry[1], message, classify, index), text, extra,
                    _NO_IDS, _NO_IDS, False,
                )
        if not isinstance(kind, str):
            raise _bad_type(index, "type", kind, "a str")
        call = _RESPONSES_CALLS.get(kind)
        if call is not None:
            field, required = call
            cid = _field(message, field)
            if cid is None and not required:
                calls = _NO_IDS  # a server-side tool search: nothing to answer
            elif required:
                calls = (_require_str(index, field, cid),)
            else:
                calls = _MayWait((_require_str(index, field, cid),))
            return MessageView(
                index, "assistant", _classify(fm.ASSISTANT, message, classify, index),
                _call_text(index, kind, message), 0, calls, _NO_IDS, False,
            )
        output = _RESPONSES_OUTPUTS.get(kind)
        if output is not None:
            cid = _field(message, output[0])
            answers = _NO_IDS if cid is None and kind == "tool_search_output" else (
                _require_str(index, output[0], cid),
            )
            text, extra = _output_text(index, kind, message, image_tokens)
            return MessageView(
                index, "tool", _classify(fm.TOOL, message, classify, index), text, extra,
                _NO_IDS, answers, False,
            )
        if kind == "reasoning":
            summary = _field(message, "summary") or ()
            if not isinstance(summary, (list, tuple)):
                raise _bad_type(index, "summary", summary, "a list")
            texts = [
                _require_str(index, f"summary[{k}].text", _field(s, "text")) for k, s in enumerate(summary)
            ]
            for k, part in enumerate(_field(message, "content") or ()):
                texts.append(_require_str(index, f"content[{k}].text", _field(part, "text")))
            encrypted = _field(message, "encrypted_content")
            if isinstance(encrypted, str):
                texts.append(encrypted)
            return MessageView(
                index, "reasoning", _classify(fm.THINKING, message, classify, index), "\n".join(texts), 0,
                _NO_IDS, _NO_IDS, True,
            )
        extra = 0
        skip = _RESPONSES_FRAME
        if kind == "image_generation_call":
            extra, skip = image_tokens, _RESPONSES_FRAME | {"result"}
        if kind == "item_reference":
            return MessageView(
                index, "assistant", _classify(fm.ASSISTANT, message, classify, index),
                _json_text(index, message, skip), extra, _REFERENCE, _NO_IDS, False,
            )
        if kind in _RESPONSES_HOSTED:
            role, bits = "assistant", fm.ASSISTANT  # an output item: it joins its reasoning group
        elif kind == "additional_tools":
            role, bits = "system", fm.SYSTEM
        else:
            # Compaction items, and kinds this adapter does not know: counted by
            # their JSON, kept or dropped whole, in no group.
            role, bits = "other", fm.ASSISTANT
        return MessageView(
            index, role, _classify(bits, message, classify, index), _json_text(index, message, skip), extra,
            _NO_IDS, _NO_IDS, False,
        )

    def check(self, views: Sequence[MessageView], offset: int = 0) -> Pairing:
        try:
            return _pair_responses(views, offset)
        except ValueError:
            # Outputs whose call is only named by an item_reference: the reference
            # takes the call (looked for only when the plain pairing fails). The
            # views are completed in place, so that a trim over them moves the
            # reference and its output together.
            if not isinstance(views, (list, _native.Views)):
                views = list(views)
            if not _reference_outputs(views):
                raise
            return _pair_responses(views, offset)

    def _sealed(self, messages: Sequence[Any], views: ViewList, indices: Any) -> FrozenSet[int]:
        sealed = super()._sealed(messages, views, indices)
        # References are read by `view` (never natively), so they are among
        # `indices`; those that take an output are handed back from the native
        # walk, which reads no calls into them.
        references = [i for i in indices if type(views[i][_CALLS]) is _Reference]
        if not references or not _reference_outputs(views):
            return sealed
        return sealed | frozenset(i for i in references if views[i][_CALLS])

    def elidable(self, message: Any) -> bool:
        output = _RESPONSES_OUTPUTS.get(_field(message, "type") or "function_call_output")
        return output is not None and output[1] is not None

    def elide(self, message: Any, placeholder: Placeholder) -> Any:
        kind = _field(message, "type") or "function_call_output"
        output = _RESPONSES_OUTPUTS.get(kind)
        if output is None or output[1] is None:
            return message
        text, _ = _output_text(0, kind, message, 0)
        short = placeholder(text)
        field = output[1]
        value: Any = short
        if kind == "shell_call_output":
            chunks = _field(message, "output") or ()
            outcome = _field(chunks[-1], "outcome") if chunks else None
            value = [{"stdout": short, "stderr": "", "outcome": _plain(outcome) or {"type": "exit", "exit_code": 0}}]
        if isinstance(message, Mapping):
            return _replace(message, **{field: value})
        data = dict(_plain(message))
        data[field] = value
        return data


def _pair_responses(views: Sequence[MessageView], offset: int) -> Pairing:
    if type(views) is list or type(views) is _native.Views:
        owner, results = _native.pair_anywhere(views, offset)
        return Pairing(owner, results)
    return _pair_anywhere(views, offset)


def _reference_outputs(views: ViewList) -> bool:
    """Make each output whose call is not in `views` the answer to an
    `item_reference` before it, one output per reference: in order within the
    run of references right before the outputs (calls are answered in the order
    they were made), else the nearest free reference. Returns whether a view
    changed (if none did, the plain pairing's error stands)."""
    known: Set[str] = set()
    run: List[int] = []  # the references of the current run that have no output yet
    free: List[int] = []  # every reference without an output, oldest first
    previous_output = False
    changed = False
    for i, v in enumerate(views):
        calls = v[_CALLS]
        if type(calls) is _Reference:
            if not previous_output and (i == 0 or type(views[i - 1][_CALLS]) is not _Reference):
                run = []
            if calls:  # completed by an earlier reading
                known.update(calls)
            else:
                run.append(i)
                free.append(i)
            previous_output = False
            continue
        known.update(calls)
        answers = v[_ANSWERS]
        previous_output = bool(answers)
        if not answers:
            run = []
        for cid in answers:
            if cid in known or not free:
                continue
            reference = run.pop(0) if run else free[-1]
            free.remove(reference)
            views[reference] = views[reference]._replace(calls=_Reference((cid,)))
            known.add(cid)
            changed = True
    return changed


def _no_follower(reasoning: int, follower: Optional[int]) -> ValueError:
    where = "at the end of the list" if follower is None else f"followed by message {follower}"
    return ValueError(
        f"message {reasoning}: a reasoning item must be followed by the output item it "
        f"produced, not {where} (reasoning without its following item)"
    )


def _pair_anywhere(views: Sequence[MessageView], offset: int) -> Pairing:
    """Responses pairing in Python (`_native.pair_anywhere` is the same over a
    list): an output anywhere after its call and once, every call answered unless
    it may wait, and a reasoning item followed by an output item."""
    owner: Dict[str, int] = {}
    results: Dict[str, List[int]] = {}
    optional: Set[str] = set()
    reasoning = -1  # the first item of a run of reasoning items still waiting for its follower
    for i, v in enumerate(views, offset):
        role = v.role
        if role == "reasoning":
            if reasoning < 0:
                reasoning = i
        elif reasoning >= 0:
            if role not in ("assistant", "other"):
                raise _no_follower(reasoning, i)
            reasoning = -1
        if isinstance(v.calls, _MayWait):
            optional.update(v.calls)
        for cid in v.calls:
            if cid in owner:
                raise ValueError(f"message {i}: call id {cid!r} is used twice")
            owner[cid] = i
            results[cid] = []
        for cid in v.answers:
            if cid not in owner:
                raise ValueError(
                    f"message {i}: the output for call {cid!r} has no earlier function_call "
                    "or other call item (orphan tool result)"
                )
            if results[cid]:
                raise ValueError(f"message {i}: call {cid!r} is answered twice (orphan tool result)")
            results[cid].append(i)
    if reasoning >= 0:
        raise _no_follower(reasoning, None)
    for cid, carriers in results.items():
        if not carriers and cid not in optional:
            raise ValueError(
                f"message {owner[cid]}: function call {cid!r} has no function_call_output "
                "or other output item (call without its result)"
            )
    return Pairing(owner, results)


# --- plain (text, class_bits) pairs ------------------------------------------------


class Pairs(Adapter):
    """Plain `(text, class_bits)` pairs, as `fenwa_micro.dehydrate` takes them."""

    name = "pairs"

    def view(
        self, index: int, message: Any, image_tokens: int, classify: Optional[Classify]
    ) -> MessageView:
        if not isinstance(message, tuple) or len(message) != 2:
            raise _bad_type(index, "message", message, "a (text, class_bits) tuple")
        text, bits = message
        _require_str(index, "text", text)
        if not isinstance(bits, int) or isinstance(bits, bool) or not 0 <= bits <= 0xFFFFFFFF:
            raise TypeError(f"message {index}: 'class_bits' must be an int from 0 to 4294967295, not {bits!r}")
        bits = _classify(bits, message, classify, index)
        role = (
            "system" if bits & (fm.SYSTEM | fm.FACT)
            else "user" if bits & fm.USER
            else "assistant" if bits & fm.ASSISTANT
            else "reasoning" if bits & fm.THINKING
            else "tool" if bits & fm.TOOL
            else "other"
        )
        return MessageView(index, role, bits, text, 0, _NO_IDS, _NO_IDS, bool(bits & fm.THINKING))

    def check(self, views: Sequence[MessageView], offset: int = 0) -> Pairing:
        return Pairing({}, {})


FORMATS: Dict[str, Adapter] = {
    a.name: a for a in (OpenAIChat(), OpenAIResponses(), Anthropic(), LangChain(), Pairs())
}



def register_format(adapter: Adapter) -> None:
    """Make `adapter` the one named `adapter.name` (formats of frameworks with
    message types of their own live in modules of their own and register here)."""
    FORMATS[adapter.name] = adapter


_RESPONSES_TYPES = _RESPONSES_KINDS
_ANTHROPIC_BLOCKS = frozenset({"tool_use", "tool_result", "thinking", "redacted_thinking", "image", "document"})
_RESPONSES_PARTS = frozenset({"input_text", "output_text", "input_image", "input_file"})


def detect_format(messages: Sequence[Any]) -> str:
    """The format of a message list, from the first message that tells.

    Lists of plain user, assistant and system messages with str content read the
    same in every provider format; they are taken as OpenAI Chat Completions.
    """
    for m in messages:
        if type(m) is dict:
            if "tool_calls" in m or m.get("role") == "tool":
                return "openai"
            kind = m.get("type")
            if isinstance(kind, str) and (kind in _RESPONSES_TYPES or "role" not in m):
                # Only Responses items have a type and no role (a kind it may not know yet).
                return "openai-responses"
            content = m.get("content")
            if type(content) is str:
                continue
        elif isinstance(m, tuple):
            return "pairs"
        elif not isinstance(m, Mapping):
            kind = getattr(m, "type", None)
            if isinstance(kind, str) and hasattr(m, "content") and (
                (kind in _LC_ROLES and not hasattr(m, "role")) or kind in _LC_CHAT_TYPES
            ):
                return "langchain"
            if _field(m, "tool_calls"):
                return "openai"
        kind = _field(m, "type")
        if isinstance(kind, str) and kind in _RESPONSES_TYPES:
            return "openai-responses"
        if _field(m, "role") == "tool":
            return "openai"
        content = _field(m, "content")
        if isinstance(content, (list, tuple)):
            for part in content:
                part_type = _field(part, "type")
                if not isinstance(part_type, str):
                    continue
                if part_type in _ANTHROPIC_BLOCKS:
                    return "anthropic"
                if part_type in _RESPONSES_PARTS:
                    return "openai-responses"
                if part_type in _CHAT_PART_ATTACHMENT or part_type == "refusal":
                    return "openai"
    return "openai"


def adapter_for(messages: Sequence[Any], format: str = "auto") -> Adapter:
    """The adapter named by `format`, or the detected one for "auto"."""
    if format == "auto":
        return FORMATS[detect_format(messages)]
    try:
        return FORMATS[format]
    except (KeyError, TypeError):
        names = ", ".join(repr(n) for n in ("auto", *FORMATS))
        raise ValueError(f"format must be one of {names}, not {format!r}") from None
