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
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Awaitable, Callable, Optional, Sequence, Tuple

from ._core import Attempt, Core, Mode, Settings, count_text, json_text, pin_first_user, require

__all__ = ["ContextMiddleware", "LangChainContext", "user_first"]

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


@dataclass
class LangChainContext:
    """The framework-free part of the middleware: maps a model request in, trims
    it, and gives back the messages to send. `ContextMiddleware` wraps it in
    LangChain's `AgentMiddleware`."""

    settings: Settings
    provider: str = "auto"

    def __post_init__(self) -> None:
        if self.provider not in _PROVIDERS:
            raise ValueError(f"provider must be one of {', '.join(map(repr, _PROVIDERS))}, not {self.provider!r}")
        if self.settings.mode != "trim":
            raise NotImplementedError(
                "ContextMiddleware supports mode='trim'; Conversation does not keep LangChain messages"
            )
        self._core = Core(self.settings)
        self._tools: Tuple[int, int] = (0, 0)  # (id of the last tool list, its tokens)

    def beside(self, request: Any) -> int:
        """Tokens sent beside the messages: the system message and the tools."""
        counter = self.settings.counter
        system = getattr(request, "system_message", None)
        tokens = 0
        if system is not None:
            text = system.text if isinstance(getattr(system, "text", None), str) else str(system.content)
            tokens += count_text(text, counter)
        tools = getattr(request, "tools", None) or ()
        if tools:
            key = id(tools)
            if self._tools[0] != key:
                self._tools = (key, count_text(tools_text(tools), counter))
            tokens += self._tools[1]
        return tokens

    def first(self, request: Any) -> Attempt:
        messages = list(request.messages)
        overrides = None
        if user_first(request.model, self.provider):
            overrides = {"classify": pin_first_user(messages, _FORMAT, self.settings.options.get("classify"))}
        return self._core.attempt(messages, _FORMAT, self.beside(request), overrides)

    def call(self, request: Any, handler: Callable[[Any], Any]) -> Any:
        attempt = self.first(request)
        while True:
            try:
                return handler(request.override(messages=attempt.messages))
            except Exception as exc:
                attempt = attempt.retry(exc)

    async def acall(self, request: Any, handler: Callable[[Any], Awaitable[Any]]) -> Any:
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

        class FenwaContextMiddleware(middleware.AgentMiddleware):  # type: ignore[misc,name-defined]
            """Keeps every model request within a token budget (fenwa_host.trim)."""

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
    *, max_tokens: int, mode: Mode = "trim", provider: str = "auto", **options: Any
) -> Any:
    """An `AgentMiddleware` that keeps each model request within `max_tokens`,
    counting the system message and the bound tools' schemas.

    `provider` is "auto" (from `request.model`), "anthropic" or "user-first" (the
    list must start with a user message), or "openai" / "any". The other options
    are `trim`'s (`keep_last_turns`, `tool_results`, `token_counter`, ...).
    """
    settings = Settings(max_tokens=max_tokens, mode=mode, options=options)
    return _middleware_class()(LangChainContext(settings, provider))
