"""LangChain v1 agents: an `AgentMiddleware` for `create_agent(..., middleware=[...])`.

    from fenwa_host.integrations.langchain import ContextMiddleware
    agent = create_agent(model, tools, middleware=[ContextMiddleware(max_tokens=6000)])

Before each model call the middleware trims `request.messages` so that they, the
system message and the bound tools' schemas fit `max_tokens`, and hands the
trimmed request on; the agent's state keeps every message. It has both
`wrap_model_call` and `awrap_model_call`, so `invoke` and `ainvoke` work alike.

The target provider's rules come from `request.model` or from `provider=`: for
Anthropic and the other providers whose list must start with a user message, the
first user message is held. A context-overflow error from the model makes it trim
to a smaller budget and call once more; a second one raises `ContextOverflow`.

With `mode="conversation"` each thread keeps one `Conversation` (a cache-stable
prefix and a ledger of what left), persisted in the agent state.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Awaitable, Callable, Dict, Hashable, List, Mapping, Optional, Sequence, Tuple, cast

from ..formats import FORMATS
from ..trim import is_placeholder
from ._core import (
    Attempt,
    Core,
    KeyCache,
    Mode,
    Session,
    Sessions,
    Settings,
    count_text,
    json_text,
    pin_first_user,
    require,
)

__all__ = ["STATE_KEY", "ContextMiddleware", "LangChainContext", "user_first"]

#: The agent-state key that holds a thread's Conversation (conversation mode).
STATE_KEY = "fenwa_conversation"

_FORMAT = "langchain"
#: Providers whose message list must start with a user message, as they appear in
#: a chat model's `_llm_type` or class name.
_USER_FIRST = ("anthropic", "bedrock", "claude", "google", "gemini", "vertex")
_PROVIDERS = ("auto", "openai", "anthropic", "user-first", "any")


def user_first(model: Any, provider: str = "auto") -> bool:
    """Whether the list sent to `model` must start with a user message."""
    if provider != "auto":
        return provider in ("anthropic", "user-first")
    names = [type(model).__name__.lower()]
    llm_type = getattr(model, "_llm_type", None)
    if isinstance(llm_type, str):
        names.append(llm_type.lower())
    for attr in ("model", "model_name", "model_id"):
        value = getattr(model, attr, None)
        if isinstance(value, str):
            names.append(value.lower())
    return any(p in n for n in names for p in _USER_FIRST)


def tools_text(tools: Sequence[Any]) -> str:
    """The bound tools' schemas as the provider receives them (OpenAI's function
    schema, as JSON), for counting."""
    if not tools:
        return ""
    convert = require("langchain_core.utils.function_calling", "langchain").convert_to_openai_tool
    schemas = []
    for tool in tools:
        try:
            schemas.append(convert(tool))
        except Exception:  # a provider's built-in tool dict: counted as it is
            schemas.append(tool)
    return json_text(schemas)


def thread_key() -> Hashable:
    """The thread of the running graph (its `thread_id`), or None outside one."""
    try:
        config = require("langgraph.config", "langchain").get_config()
    except Exception:  # not inside a graph run
        return None
    return (config.get("configurable") or {}).get("thread_id")


def _to_chat(message: Any, key: Hashable) -> Dict[str, Any]:
    """A LangChain message as the OpenAI Chat dict the Conversation keeps, tagged
    with the message's id and its session key (`item_key`: its id, or a hash of
    what it says when it has none) so that the request maps back to the state's
    objects."""
    convert = require("langchain_core.messages", "langchain").convert_to_openai_messages
    out: Dict[str, Any] = dict(convert(message))
    out["_lc_id"] = message.id
    out["_lc_key"] = key
    return out


def _original_key(sent: Mapping[str, Any]) -> Optional[Hashable]:
    """The session key of the message a Conversation dict was made from (dicts
    stored before they carried one name the message's id)."""
    key = sent.get("_lc_key")
    if key is not None:
        return cast(Hashable, key)
    lc_id = sent.get("_lc_id")
    return "id:" + lc_id if isinstance(lc_id, str) and lc_id else None


def _is_user(message: Mapping[str, Any]) -> bool:
    return message.get("role") == "user"


def _back(sent: Mapping[str, Any], originals: Mapping[Any, Any]) -> Any:
    """The LangChain message for one message of the Conversation's request: the
    state's own object where the Conversation sent it unchanged, else a copy of
    it made by the LangChain adapter (elided, or with some calls removed)."""
    key = _original_key(sent)
    original = originals.get(key) if key is not None else None
    if original is None:  # not from the state: rebuilt from the dict
        plain = {k: v for k, v in sent.items() if k not in ("_lc_id", "_lc_key")}
        return require("langchain_core.messages", "langchain").convert_to_messages([plain])[0]
    adapter = FORMATS["langchain"]
    content = sent.get("content")
    if (
        original.type == "tool"
        and isinstance(content, str)
        and is_placeholder(content)
        and content != original.content
    ):
        return adapter.elide(original, lambda _text: content)
    calls = getattr(original, "tool_calls", None) or []
    sent_calls = {c.get("id") for c in sent.get("tool_calls") or ()}
    if len(sent_calls) != len(calls):
        stripped = adapter.remove_calls(original, frozenset(c["id"] for c in calls if c["id"] not in sent_calls))
        return stripped if stripped is not None else original
    return original


@dataclass
class LangChainContext:
    """The framework-free part of the middleware: maps a model request in, trims
    it (or asks the thread's Conversation), and gives back the request to send.
    `ContextMiddleware` wraps it in LangChain's `AgentMiddleware`."""

    settings: Settings
    provider: str = "auto"
    purpose: Optional[str] = None
    sessions: Sessions = field(default_factory=Sessions)

    def __post_init__(self) -> None:
        if self.provider not in _PROVIDERS:
            raise ValueError(f"provider must be one of {', '.join(map(repr, _PROVIDERS))}, not {self.provider!r}")
        if self.purpose is not None and self.settings.mode != "conversation":
            raise TypeError("purpose is an option of mode='conversation'")
        self._core = Core(self.settings)
        self._tools: Tuple[Tuple[int, ...], int] = ((), 0)  # (ids of the last tools, their tokens)
        self._key = KeyCache()

    def beside(self, request: Any) -> int:
        """Tokens sent beside the messages: the system message and the tools."""
        counter = self.settings.counter
        system = getattr(request, "system_message", None)
        tokens = int(getattr(request, "beside_tokens", 0))  # counted by the caller
        if system is not None:
            text = system.text if isinstance(getattr(system, "text", None), str) else str(system.content)
            tokens += count_text(text, counter)
        tools = getattr(request, "tools", None) or ()
        if tools:
            key = tuple(map(id, tools))
            if self._tools[0] != key:
                self._tools = (key, count_text(tools_text(tools), counter))
            tokens += self._tools[1]
        return tokens

    # -- trim mode ---------------------------------------------------------------------

    def first(self, request: Any) -> Attempt:
        messages = list(request.messages)
        overrides = None
        if user_first(request.model, self.provider):
            overrides = {"classify": pin_first_user(messages, _FORMAT, self.settings.options.get("classify"))}
        return self._core.attempt(messages, _FORMAT, self.beside(request), overrides)

    # -- conversation mode ---------------------------------------------------------------

    def session(self, request: Any) -> Session:
        """The thread's session, taken back from the agent state when this process
        has not seen the thread yet or the state holds another version of it (a
        restart, time travel)."""
        beside = self.beside(request)
        session = self.sessions.get(
            thread_key(), lambda: self._core.conversation("openai", beside, purpose=self.purpose)
        )
        state = getattr(request, "state", None) or {}
        stored = state.get(STATE_KEY) if isinstance(state, Mapping) else None
        if isinstance(stored, Mapping) and stored.get("keys") != session.keys:
            session.restore(stored, self.settings.counter)
        return session

    def converse(self, request: Any) -> Tuple[Any, Session]:
        """The request to send in conversation mode, and the session to persist."""
        session = self.session(request)
        messages = list(request.messages)
        beside = self.beside(request)
        budget = self._core.budget(beside)
        hold = _is_user if user_first(request.model, self.provider) else None
        key = self._key
        synced = session.request(messages, budget, self._core.trim, key, lambda m: _to_chat(m, key(m)), hold,
                                 beside=beside)
        sent: List[Any] = list(synced.messages)
        system = request.system_message
        if sent and isinstance(sent[0], Mapping) and sent[0].get("role") == "system" and "_lc_id" not in sent[0]:
            # The Conversation's purpose and ledger join the agent's system message.
            text = str(sent.pop(0).get("content") or "")
            system_message = require("langchain_core.messages", "langchain").SystemMessage
            system = system_message(f"{system.text}\n\n{text}" if system is not None else text)
        # By key, not by id: messages a caller built need not have one.
        originals = dict(zip(session.item_keys, messages))
        out = [_back(m, originals) for m in sent]
        return request.override(messages=out, system_message=system), session

    @staticmethod
    def persisted(response: Any, session: Session) -> Any:
        """The model's response with the session stored in the agent state."""
        types = require("langchain.agents.middleware.types", "langchain")
        command = require("langgraph.types", "langchain").Command
        model_response = response.model_response if isinstance(response, types.ExtendedModelResponse) else response
        for message in getattr(model_response, "result", None) or [model_response]:
            usage = getattr(message, "usage_metadata", None)
            if usage:
                # The provider's own count of this request's input calibrates the estimate.
                session.record_usage(getattr(message, "id", None), usage)
                break
        update: Dict[str, Any] = {STATE_KEY: session.to_dict()}
        if isinstance(response, types.ExtendedModelResponse):
            inner = response.command
            if inner is not None and isinstance(inner.update, Mapping):
                update = {**inner.update, **update}
            return types.ExtendedModelResponse(model_response=response.model_response, command=command(update=update))
        if not isinstance(response, types.ModelResponse):
            response = types.ModelResponse(result=[response])
        return types.ExtendedModelResponse(model_response=response, command=command(update=update))

    # -- the hooks ------------------------------------------------------------------------

    def call(self, request: Any, handler: Callable[[Any], Any]) -> Any:
        if self.settings.mode == "conversation":
            prepared, session = self.converse(request)
            return self.persisted(handler(prepared), session)
        attempt = self.first(request)
        while True:
            try:
                return handler(request.override(messages=attempt.messages))
            except Exception as exc:
                attempt = attempt.retry(exc)

    async def acall(self, request: Any, handler: Callable[[Any], Awaitable[Any]]) -> Any:
        if self.settings.mode == "conversation":
            prepared, session = self.converse(request)
            return self.persisted(await handler(prepared), session)
        attempt = self.first(request)
        while True:
            try:
                return await handler(request.override(messages=attempt.messages))
            except Exception as exc:
                attempt = attempt.retry(exc)


_MIDDLEWARE: Optional[type] = None


def _middleware_class() -> type:
    """LangChain's AgentMiddleware subclass, made on first use so that importing
    this module needs no LangChain."""
    global _MIDDLEWARE
    if _MIDDLEWARE is None:
        middleware = require("langchain.agents.middleware", "langchain")
        state = require("fenwa_host.integrations._langchain_state", "langchain")

        class FenwaContextMiddleware(middleware.AgentMiddleware):  # type: ignore[misc,name-defined]
            """Keeps every model request within a token budget (fenwa_host.trim or
            a Conversation per thread)."""

            state_schema = state.FenwaAgentState

            def __init__(self, context: LangChainContext) -> None:
                super().__init__()
                self.context = context

            @property
            def name(self) -> str:
                return "FenwaContextMiddleware"

            def wrap_model_call(self, request: Any, handler: Callable[[Any], Any]) -> Any:
                return self.context.call(request, handler)

            async def awrap_model_call(self, request: Any, handler: Callable[[Any], Awaitable[Any]]) -> Any:
                return await self.context.acall(request, handler)

        _MIDDLEWARE = FenwaContextMiddleware
    return _MIDDLEWARE


def ContextMiddleware(
    *,
    max_tokens: int,
    mode: Mode = "trim",
    provider: str = "auto",
    purpose: Optional[str] = None,
    **options: Any,
) -> Any:
    """An `AgentMiddleware` that keeps each model request within `max_tokens`,
    counting the system message and the bound tools' schemas.

    `provider` is "auto" (from `request.model`), "anthropic" or "user-first" (the
    list must start with a user message), or "openai" / "any". In trim mode the
    other options are `trim`'s (`keep_last_turns`, `tool_results`,
    `token_counter`, ...). In `mode="conversation"` each thread (`thread_id`) has
    one `Conversation` (with `purpose` and `Conversation`'s options), stored in the
    agent state under `STATE_KEY` after every model call, so a checkpointer keeps
    it and a restarted agent goes on where it was; a history that was rewritten
    (`RemoveMessage`, a summary, time travel) starts it over.
    """
    settings = Settings(max_tokens=max_tokens, mode=mode, options=options)
    return _middleware_class()(LangChainContext(settings, provider, purpose))
