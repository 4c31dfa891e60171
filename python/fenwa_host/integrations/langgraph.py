"""LangGraph's prebuilt agent: a node for `create_react_agent(..., pre_model_hook=...)`.

    from fenwa_host.integrations.langgraph import pre_model_hook
    agent = create_react_agent(model, tools, pre_model_hook=pre_model_hook(max_tokens=6000))

The node trims the state's messages to the budget and returns them as
`llm_input_messages`: the model sees the trimmed list and the state keeps every
message. With `compact_state=True` it returns state updates instead (a
`RemoveMessage` for each message that left, a same-id replacement for each one
that was shortened), so the state itself stays small.

With `mode="conversation"` each thread (`thread_id`) keeps one `Conversation`,
returned to the graph state under `STATE_KEY` at every step, so a checkpointer
keeps it: build the agent with `state_schema=conversation_state()`. Its purpose
and ledger go to the model as a system message after the agent's prompt.

The hook runs before the agent's prompt is added and does not see the model call,
so the prompt and the tools are counted when passed as `prompt=` and `tools=`.
For the context-overflow retry, pass the model through the hook as well:

    agent = create_react_agent(hook.model(model), tools, pre_model_hook=hook)

`hook.model(model)` is a runnable around the chat model (tools bind through it):
when the provider refuses a request as too long for its context window, it sends
the same request trimmed to a smaller budget; a second refusal raises
`ContextOverflow`.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence

from ..tokens import count_tokens
from ._core import Attempt, Core, Mode, Settings, count_text, pin_first_user, require
from .langchain import STATE_KEY, LangChainContext, tools_text

__all__ = ["STATE_KEY", "PreModelHook", "conversation_state", "pre_model_hook"]


def conversation_state() -> Any:
    """The state schema for `create_react_agent(..., state_schema=...)` that holds
    the thread's Conversation (conversation mode)."""
    return require("fenwa_host.integrations._langgraph_state", "langgraph").FenwaGraphState


@dataclass
class _HookRequest:
    """What the LangChain middleware's conversation core reads of a model request."""

    messages: List[Any]
    state: Any
    model: Any = None
    tools: Sequence[Any] = ()
    system_message: Any = None
    beside_tokens: int = 0

    def override(self, **changes: Any) -> _HookRequest:
        return dataclasses.replace(self, **changes)

_FORMAT = "langchain"


@dataclass
class PreModelHook:
    """A pre-model node (see the module's text). Build it with `pre_model_hook`."""

    settings: Settings
    compact_state: bool = False
    user_first: bool = False
    prompt: Optional[str] = None
    tools: Sequence[Any] = field(default_factory=tuple)

    purpose: Optional[str] = None

    def __post_init__(self) -> None:
        if self.settings.mode == "conversation" and self.compact_state:
            raise ValueError("compact_state is for mode='trim': the Conversation keeps its own history")
        self._core = Core(self.settings)
        counter = self.settings.counter
        self._beside = count_text(self.prompt, counter) + count_text(tools_text(self.tools), counter)
        self._conversations = LangChainContext(
            self.settings, "user-first" if self.user_first else "any", self.purpose
        ) if self.settings.mode == "conversation" else None

    def __call__(self, state: Any) -> Dict[str, Any]:
        messages = list(state["messages"] if isinstance(state, dict) else state.messages)
        if self._conversations is not None:
            return self._converse(messages, state)
        overrides = None
        if self.user_first:
            overrides = {"classify": pin_first_user(messages, _FORMAT, self.settings.options.get("classify"))}
        attempt = self._core.attempt(messages, _FORMAT, self._beside, overrides)
        if not self.compact_state:
            return {"llm_input_messages": attempt.messages}
        return {"messages": self._updates(messages, attempt.messages)}

    def _converse(self, messages: List[Any], state: Any) -> Dict[str, Any]:
        assert self._conversations is not None
        stored = state.get(STATE_KEY) if isinstance(state, dict) else getattr(state, STATE_KEY, None)
        request = _HookRequest(messages, {STATE_KEY: stored}, beside_tokens=self._beside)
        session = self._conversations.session(request)
        # The newest response's reported usage is of the request made before it.
        newest = next((m for m in reversed(messages) if getattr(m, "type", None) == "ai"), None)
        if newest is not None and getattr(newest, "usage_metadata", None):
            session.record_usage(newest.id, newest.usage_metadata)
        sent, session = self._conversations.converse(request)
        out = list(sent.messages)
        if sent.system_message is not None:
            out.insert(0, sent.system_message)
        return {"llm_input_messages": out, STATE_KEY: session.to_dict()}

    def model(self, chat_model: Any) -> Any:
        """`chat_model` wrapped so that a context overflow is retried once on a
        smaller trim of the request (see the module's text)."""
        return _retrying_class()(chat_model, self)

    def first_attempt(self, messages: List[Any]) -> Attempt:
        """The request as the model wrapper received it, as a first attempt."""
        tokens = count_tokens(messages, format=_FORMAT, token_counter=self.settings.counter)
        budget = self._core.budget(count_text(tools_text(self.tools), self.settings.counter))
        return Attempt(self._core, messages, _FORMAT, messages, tokens, budget, None, None)

    @staticmethod
    def _updates(before: List[Any], after: List[Any]) -> List[Any]:
        """State updates that turn `before` into `after`: removals by id for the
        messages that left, same-id replacements for the shortened copies."""
        remove = require("langchain_core.messages", "langgraph").RemoveMessage
        kept = {id(m) for m in after}
        updates: List[Any] = [remove(id=m.id) for m in before if id(m) not in kept and m.id]
        originals = {id(m) for m in before}
        updates.extend(m for m in after if id(m) not in originals)
        return updates


_RETRYING: Optional[type] = None


def _as_messages(value: Any) -> Optional[List[Any]]:
    """The message list of a chat model's input (a list, or a prompt value)."""
    if isinstance(value, list):
        return value
    to_messages = getattr(value, "to_messages", None)
    return list(to_messages()) if callable(to_messages) else None


def _retrying_class() -> type:
    """A LangChain Runnable around a chat model, made on first use so that
    importing this module needs no LangChain."""
    global _RETRYING
    if _RETRYING is None:
        runnables = require("langchain_core.runnables", "langgraph")

        class OverflowRetryingModel(runnables.Runnable):  # type: ignore[misc,name-defined]
            """A chat model whose context-overflow errors are retried once on a
            smaller trim of the request (the pre-model hook's settings)."""

            def __init__(self, inner: Any, hook: PreModelHook) -> None:
                self.inner = inner
                self.hook = hook

            def bind_tools(self, tools: Any, **kwargs: Any) -> Any:
                return OverflowRetryingModel(self.inner.bind_tools(tools, **kwargs), self.hook)

            def invoke(self, input: Any, config: Any = None, **kwargs: Any) -> Any:
                messages = _as_messages(input)
                attempt = None
                while True:
                    try:
                        return self.inner.invoke(input if attempt is None else attempt.messages, config, **kwargs)
                    except Exception as exc:
                        if messages is None:
                            raise
                        attempt = (attempt or self.hook.first_attempt(messages)).retry(exc)

            async def ainvoke(self, input: Any, config: Any = None, **kwargs: Any) -> Any:
                messages = _as_messages(input)
                attempt = None
                while True:
                    try:
                        sent = input if attempt is None else attempt.messages
                        return await self.inner.ainvoke(sent, config, **kwargs)
                    except Exception as exc:
                        if messages is None:
                            raise
                        attempt = (attempt or self.hook.first_attempt(messages)).retry(exc)

        _RETRYING = OverflowRetryingModel
    return _RETRYING


def pre_model_hook(
    *,
    max_tokens: int,
    mode: Mode = "trim",
    compact_state: bool = False,
    user_first: bool = False,
    prompt: Optional[str] = None,
    tools: Sequence[Any] = (),
    purpose: Optional[str] = None,
    **options: Any,
) -> PreModelHook:
    """A pre-model hook that keeps each model request within `max_tokens`.

    `prompt` and `tools` (the agent's own) are counted against the budget;
    `user_first=True` holds the first user message, for providers whose list must
    start with one (Anthropic). The other options are `trim`'s, or with
    `mode="conversation"` `Conversation`'s (and `purpose`).
    """
    settings = Settings(max_tokens=max_tokens, mode=mode, options=options)
    if purpose is not None and mode != "conversation":
        raise TypeError("purpose is an option of mode='conversation'")
    return PreModelHook(settings, compact_state, user_first, prompt, tuple(tools), purpose)
