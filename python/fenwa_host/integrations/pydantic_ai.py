"""pydantic-ai: a capability for `Agent(..., capabilities=[...])`.

    from fenwa_host.integrations.pydantic_ai import ContextCapability
    agent = Agent(model, capabilities=[ContextCapability(max_tokens=6000)])

Before each attempt at a model request (`prepare_model_request`, once the
serving model is known) the capability fits the request's messages so that they
and the instructions, counted as the model's own mapping renders them, stay
within `max_tokens`:

- `mode="trim"`: the messages trimmed by `fenwa_host.trim`;
- `mode="conversation"`: the request of the session's `Conversation` (a
  cache-stable prefix and a ledger of what left). The session is the run's
  `conversation_id` (pydantic-ai carries it on the message history from run to
  run), or what `key=` picks from the run context. New messages are found by
  content, not by position; a history that does not extend what the session took
  starts it over. `store=` (any mutable mapping: a dict, a shelf) keeps each
  session as JSON data after every request, so that a restarted process sends
  the same requests.

Only the request is edited: the run's history stays whole, unless
`persist=True`, which writes the fitted list back to it.

The provider's reported usage (`ModelResponse.usage`) calibrates the session's
counting. When the model refuses an attempt as too long for its context window,
the capability asks pydantic-ai for another attempt (`RetryModelRequest`) and
sends it trimmed to a smaller budget; a second refusal raises `ContextOverflow`.
"""

from __future__ import annotations

import dataclasses
import hashlib
import threading
from dataclasses import dataclass
from typing import Any, Callable, Dict, Hashable, List, MutableMapping, Optional, Sequence, Tuple

from ..pydantic_ai_messages import _content_text, _json
from ._core import (
    Attempt,
    Core,
    KeyCache,
    Mode,
    Session,
    Sessions,
    Settings,
    count_text,
    is_context_overflow,
    json_text,
    pin_first_user,
    require,
)

__all__ = ["ContextCapability", "PydanticAIContext", "message_key"]

_FORMAT = "pydantic-ai"
# Tags of the Chat dicts a session keeps: the key of the pydantic-ai message a
# dict comes from, the parts it holds, and a tool return's tool name.
_KEY = "_pa_key"
_PARTS = "_pa_parts"
_TOOL = "_pa_tool"
_MEDIA = ("image-url", "audio-url", "video-url", "document-url", "binary", "uploaded-file")


def instructions_text(request_context: Any) -> str:
    """The instructions of a request as its model renders them (the model's own
    instruction parts, the framework's announcements included)."""
    params = request_context.model_request_parameters
    model = request_context.model
    parts = None
    render = getattr(model, "_get_instruction_parts", None)
    if callable(render):
        try:
            parts = render(request_context.messages, params)
        except Exception:  # a model whose mapping needs more than the request: the plain parts
            parts = None
    if parts is None:
        parts = getattr(params, "instruction_parts", None) or ()
    return "\n\n".join(str(getattr(p, "content", "")) for p in parts)


# --- pydantic-ai messages as the Chat dicts a Conversation keeps ---------------------


def message_key(message: Any) -> str:
    """A key of a pydantic-ai message by what it says (its kind and each part's
    kind, tool, call id and content), not by timestamps or run ids, so that it
    survives storing the history and loading it back."""
    parts = [
        [getattr(p, "part_kind", None), getattr(p, "tool_name", None), getattr(p, "tool_call_id", None),
         _content_text(getattr(p, "content", None)) if hasattr(p, "content") else None,
         _args_text(getattr(p, "args", None))]
        for p in getattr(message, "parts", ())
    ]
    data = json_text([getattr(message, "kind", None), parts])
    return "pa:" + hashlib.blake2b(data.encode("utf-8", "surrogatepass"), digest_size=16).hexdigest()


def _args_text(args: Any) -> str:
    return args if isinstance(args, str) else "" if args is None else _json(args)


def _answers(part: Any) -> Optional[str]:
    kind = getattr(part, "part_kind", None)
    if kind == "tool-return" or (kind == "retry-prompt" and getattr(part, "tool_name", None)):
        cid = getattr(part, "tool_call_id", None)
        return cid if isinstance(cid, str) else None
    return None


def _user_content(content: Any) -> Any:
    if isinstance(content, str):
        return content
    out: List[Dict[str, Any]] = []
    for item in content or ():
        if isinstance(item, str):
            out.append({"type": "text", "text": item})
        elif isinstance(getattr(item, "content", None), str) and getattr(item, "kind", None) not in _MEDIA:
            out.append({"type": "text", "text": item.content})
        else:  # media: counted as an image
            out.append({"type": "image_url", "image_url": {"url": str(getattr(item, "url", "") or "")}})
    return out


def to_chat(message: Any, key: str) -> List[Dict[str, Any]]:
    """A pydantic-ai message as OpenAI Chat dicts, each tagged with the message's
    key and the parts it holds. A request becomes one dict per tool return and
    per run of other parts of one role; a response one assistant dict."""
    parts = list(getattr(message, "parts", ()))
    out: List[Dict[str, Any]] = []
    if getattr(message, "kind", None) == "response":
        texts: List[str] = []
        calls: List[Dict[str, Any]] = []
        for part in parts:
            kind = getattr(part, "part_kind", None)
            if kind == "tool-call":
                calls.append({"id": part.tool_call_id, "type": "function",
                              "function": {"name": str(part.tool_name), "arguments": _args_text(part.args)}})
            elif kind in ("builtin-tool-call",):
                texts.append(f"{getattr(part, 'tool_name', '')}\n{_args_text(getattr(part, 'args', None))}")
            elif kind != "file":
                texts.append(_content_text(getattr(part, "content", None)))
        reply: Dict[str, Any] = {"role": "assistant", "content": "\n".join(t for t in texts if t)}
        if calls:
            reply["tool_calls"] = calls
        reply[_KEY] = key
        reply[_PARTS] = list(range(len(parts)))
        return [reply]
    for k, part in enumerate(parts):
        kind = getattr(part, "part_kind", None)
        cid = _answers(part)
        if cid is not None:
            out.append({"role": "tool", "tool_call_id": cid, "content": _content_text(part.content),
                        _KEY: key, _PARTS: [k], _TOOL: str(part.tool_name)})
            continue
        role = "system" if kind == "system-prompt" else "user"
        content = _user_content(part.content) if kind == "user-prompt" else _content_text(getattr(part, "content", None))
        previous = out[-1] if out else None
        if previous is not None and previous["role"] == role and isinstance(previous["content"], str) \
                and isinstance(content, str):
            previous["content"] += "\n" + content
            previous[_PARTS].append(k)
        else:
            out.append({"role": role, "content": content, _KEY: key, _PARTS: [k]})
    return out


def _rebuilt(sent: Sequence[Dict[str, Any]], kind: str) -> Any:
    """A pydantic-ai message for Chat dicts whose message the history no longer
    holds (a session restored without it)."""
    messages = require("pydantic_ai.messages", "pydantic-ai")
    if kind == "response":
        d = sent[0]
        parts: List[Any] = [messages.TextPart(d["content"])] if d.get("content") else []
        for call in d.get("tool_calls") or ():
            parts.append(messages.ToolCallPart(call["function"]["name"], call["function"]["arguments"],
                                               tool_call_id=call["id"]))
        return messages.ModelResponse(parts=parts)
    parts = []
    for d in sent:
        if d["role"] == "tool":
            parts.append(messages.ToolReturnPart(d.get(_TOOL, ""), d["content"], tool_call_id=d["tool_call_id"]))
        elif d["role"] == "system":
            parts.append(messages.SystemPromptPart(d["content"]))
        else:
            content = d["content"]
            if not isinstance(content, str):
                content = "\n".join(p.get("text", "") for p in content if p.get("type") == "text")
            parts.append(messages.UserPromptPart(content))
    return messages.ModelRequest(parts=parts)


def from_chat(sent: Sequence[Any], originals: Dict[str, Any]) -> Tuple[List[Any], Optional[str]]:
    """The pydantic-ai messages for a Conversation's request, and the text of
    the Conversation's own system message (its purpose and ledger), if any.

    Each message sent whole is the history's own object; one that lost parts
    (results dropped with their calls) or whose tool returns were elided is a
    copy made with `dataclasses.replace`."""
    system: Optional[str] = None
    groups: Dict[str, List[Dict[str, Any]]] = {}
    for d in sent:
        key = d.get(_KEY) if isinstance(d, dict) else None
        if key is None:
            if isinstance(d, dict) and d.get("role") == "system":
                system = str(d.get("content") or "")
            continue
        groups.setdefault(key, []).append(d)
    out: List[Any] = []
    for key, dicts in groups.items():
        original = originals.get(key)
        if original is None:
            out.append(_rebuilt(dicts, "response" if dicts[0]["role"] == "assistant" else "request"))
            continue
        parts = list(original.parts)
        kept: Dict[int, Any] = {}
        for d in dicts:
            for k in d[_PARTS]:
                kept[k] = parts[k]
            if d["role"] == "tool":
                k = d[_PARTS][0]
                if d["content"] != _content_text(parts[k].content):  # elided
                    kept[k] = dataclasses.replace(parts[k], content=d["content"])
            elif d["role"] == "assistant":
                calls = {c["id"] for c in d.get("tool_calls") or ()}
                for k in d[_PARTS]:
                    if getattr(parts[k], "part_kind", None) == "tool-call" and parts[k].tool_call_id not in calls:
                        del kept[k]
        new = [kept[k] for k in sorted(kept)]
        if len(new) == len(parts) and all(a is b for a, b in zip(new, parts)):
            out.append(original)
        else:
            out.append(dataclasses.replace(original, parts=new))
    return out, system


# --- the capability's core ------------------------------------------------------------


#: Providers whose message list must start with a user message, as a
#: pydantic-ai model names its `system`.
_USER_FIRST = ("anthropic", "bedrock", "google", "vertex")


def _user_first(model: Any) -> bool:
    system = getattr(model, "system", None)
    return isinstance(system, str) and any(p in system.lower() for p in _USER_FIRST)


def _is_user(message: Any) -> bool:
    return isinstance(message, dict) and message.get("role") == "user"


def default_key(ctx: Any) -> Hashable:
    """The session of a run: its `conversation_id` (pydantic-ai takes it from the
    message history, so the runs of one conversation share it), else the run."""
    for name in ("conversation_id", "run_id"):
        value = getattr(ctx, name, None)
        if value is not None:
            return str(value)
    return ("id", id(ctx))


@dataclass
class PydanticAIContext:
    """The framework-free part of the capability; `ContextCapability` wraps it."""

    settings: Settings
    persist: bool = False
    purpose: Optional[str] = None
    key: Callable[[Any], Hashable] = default_key
    store: Optional[MutableMapping[str, Any]] = None

    def __post_init__(self) -> None:
        if self.settings.mode != "conversation" and (self.purpose is not None or self.store is not None):
            raise TypeError("purpose and store are options of mode='conversation'")
        self._core = Core(self.settings)
        self._lock = threading.Lock()
        # Per run: the last attempt sent, and the smaller one to send after an overflow.
        self._sent: Dict[Any, Attempt] = {}
        self._retry: Dict[Any, Attempt] = {}
        self.sessions = Sessions()
        self.message_key = KeyCache(message_key)

    # -- trim mode ---------------------------------------------------------------------

    def trimmed(self, request_context: Any) -> Attempt:
        beside = count_text(instructions_text(request_context), self.settings.counter)
        messages = list(request_context.messages)
        overrides = None
        if _user_first(request_context.model):
            # The provider takes a list that starts with a user message.
            overrides = {"classify": pin_first_user(messages, _FORMAT, self.settings.options.get("classify"))}
        return self._core.attempt(messages, _FORMAT, beside, overrides)

    # -- conversation mode ---------------------------------------------------------------

        self.sessions = Sessions()
        self.message_key = KeyCache(message_key)
    def session(self, ctx: Any, beside: int) -> Tuple[Hashable, Session]:
        """The session of a run, taken back from `store` when this process has
        not seen it yet."""
        key = self.key(ctx)
        fresh = key not in self.sessions
        session = self.sessions.get(
            key, lambda: self._core.conversation("openai", beside, purpose=self.purpose)
        )
        if fresh and self.store is not None:
            stored = self.store.get(str(key))
            if stored is not None:
                session.restore(stored, self.settings.counter)
        return key, session

    def converse(self, ctx: Any, request_context: Any) -> Attempt:
        """The Conversation's request for this model request, as pydantic-ai messages."""
        beside = count_text(instructions_text(request_context), self.settings.counter)
        budget = self._core.budget(beside)
        history = list(request_context.messages)
        key, session = self.session(ctx, beside)
        keys = {id(m): self.message_key(m) for m in history}
        originals = {keys[id(m)]: m for m in history}
        synced = session.request(
            history, budget, self._core.trim, key=lambda m: keys[id(m)],
            convert=lambda m: to_chat(m, keys[id(m)]), hold=_is_user if _user_first(request_context.model) else None,
            many=True, beside=beside,
        )
        messages, system = from_chat(synced.messages, originals)
        if system:
            parts = require("pydantic_ai.messages", "pydantic-ai")
            messages.insert(0, parts.ModelRequest(parts=[parts.SystemPromptPart(system)]))
        if self.persist:
            kept = [m for m in messages if not (system and m is messages[0])]
            ctx.messages[:] = kept
            with session.lock:
                session.keys = [self.message_key(m) for m in kept]
        if self.store is not None:
            self.store[str(key)] = session.to_dict()
        return Attempt(self._core, messages, _FORMAT, messages, synced.tokens, budget, None, None)

    def record_usage(self, ctx: Any, response: Any) -> None:
        """The provider's count of the request's input, fed to the session."""
        if self.settings.mode != "conversation":
            return
        usage = getattr(response, "usage", None)
        tokens = getattr(usage, "input_tokens", None)
        if not isinstance(tokens, int) or tokens <= 0:
            return
        session = self.sessions.peek(self.key(ctx))
        if session is not None and session.record_usage(getattr(response, "provider_response_id", None),
                                                        {"input_tokens": tokens}):
            if self.store is not None:
                self.store[str(self.key(ctx))] = session.to_dict()

    # -- the hooks ---------------------------------------------------------------------

    def prepare(self, run: Any, request_context: Any, ctx: Any = None) -> Any:
        with self._lock:
            attempt = self._retry.pop(run, None)
        if attempt is None:
            if self.settings.mode == "conversation":
                attempt = self.converse(ctx, request_context)
            else:
                attempt = self.trimmed(request_context)
        with self._lock:
            self._sent[run] = attempt
        request_context.messages = list(attempt.messages)
        return request_context

    def persist_history(self, ctx: Any, request_context: Any) -> Any:
        attempt = self.trimmed(request_context)
        ctx.messages[:] = attempt.messages
        request_context.messages = list(attempt.messages)
        return request_context

    def failed(self, run: Any, error: Exception) -> None:
        """After a failed attempt: on a context overflow, the smaller attempt to
        make next (raising `ContextOverflow` on the second); other errors raise."""
        with self._lock:
            sent = self._sent.get(run)
        if sent is None or not is_context_overflow(error):
            raise error
        retry = sent.retry(error)
        with self._lock:
            self._retry[run] = retry

    def finished(self, run: Any, ctx: Any = None, response: Any = None) -> None:
        with self._lock:
            self._sent.pop(run, None)
            self._retry.pop(run, None)
        if response is not None:
            self.record_usage(ctx, response)


_CAPABILITY: Optional[type] = None


def _capability_class() -> type:
    """pydantic-ai's AbstractCapability subclass, made on first use so that
    importing this module needs no pydantic-ai."""
    global _CAPABILITY
    if _CAPABILITY is None:
        abstract = require("pydantic_ai.capabilities.abstract", "pydantic-ai")
        exceptions = require("pydantic_ai.exceptions", "pydantic-ai")

        class FenwaContextCapability(abstract.AbstractCapability):  # type: ignore[misc,name-defined]
            """Keeps every model request within a token budget (fenwa_host.trim or
            a Conversation per session)."""

            def __init__(self, context: PydanticAIContext) -> None:
                self.context = context

            @classmethod
            def get_serialization_name(cls) -> Optional[str]:
                return None

            async def before_model_request(self, ctx: Any, request_context: Any) -> Any:
                if self.context.persist and self.context.settings.mode == "trim":
                    return self.context.persist_history(ctx, request_context)
                return request_context

            async def prepare_model_request(self, ctx: Any, request_context: Any) -> Any:
                return self.context.prepare(_run_key(ctx), request_context, ctx)

            async def on_model_request_error(self, ctx: Any, *, request_context: Any, error: Exception) -> Any:
                self.context.failed(_run_key(ctx), error)
                raise exceptions.RetryModelRequest()

            async def after_model_request(self, ctx: Any, *, request_context: Any, response: Any) -> Any:
                self.context.finished(_run_key(ctx), ctx, response)
                return response

        _CAPABILITY = FenwaContextCapability
    return _CAPABILITY


def _run_key(ctx: Any) -> Any:
    run_id = getattr(ctx, "run_id", None)
    return run_id if run_id is not None else id(ctx)


def ContextCapability(
    *,
    max_tokens: int,
    mode: Mode = "trim",
    persist: bool = False,
    purpose: Optional[str] = None,
    key: Optional[Callable[[Any], Hashable]] = None,
    store: Optional[MutableMapping[str, Any]] = None,
    **options: Any,
) -> Any:
    """A capability that keeps each model request within `max_tokens`, the
    instructions included.

    - `mode="trim"`: the options are `trim`'s (`keep_last_turns`,
      `tool_results`, `token_counter`, ...).
    - `mode="conversation"`: one `Conversation` per session (with `purpose` and
      `Conversation`'s options); `key(ctx)` picks the session from the run
      context (by default its `conversation_id`); `store` keeps each session as
      JSON data under `str(key)`, so a restarted process goes on where it was.
    - `persist=True` writes the fitted list back to the run's history.
    """
    settings = Settings(max_tokens=max_tokens, mode=mode, options=options)
    context = PydanticAIContext(settings, persist, purpose, key or default_key, store)
    return _capability_class()(context)
