"""LangGraph's prebuilt agent: a node for `create_react_agent(..., pre_model_hook=...)`.

    from fenwa_host.integrations.langgraph import pre_model_hook
    agent = create_react_agent(model, tools, pre_model_hook=pre_model_hook(max_tokens=6000))

The node trims the state's messages to the budget and returns them as
`llm_input_messages`: the model sees the trimmed list and the state keeps every
message. With `compact_state=True` it returns state updates instead (a
`RemoveMessage` for each message that left, a same-id replacement for each one
that was shortened), so the state itself stays small.

The hook runs before the agent's prompt is added and does not see the model call,
so the prompt and the tools are counted when passed as `prompt=` and `tools=`, and
the context-overflow retry of the other integrations is not available here.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence

from ._core import Core, Mode, Settings, count_text, pin_first_user, require
from .langchain import tools_text

__all__ = ["PreModelHook", "pre_model_hook"]

_FORMAT = "langchain"


@dataclass
class PreModelHook:
    """A pre-model node (see the module's text). Build it with `pre_model_hook`."""

    settings: Settings
    compact_state: bool = False
    user_first: bool = False
    prompt: Optional[str] = None
    tools: Sequence[Any] = field(default_factory=tuple)

    def __post_init__(self) -> None:
        if self.settings.mode != "trim":
            raise NotImplementedError(
                "pre_model_hook supports mode='trim'; Conversation does not keep LangChain messages"
            )
        self._core = Core(self.settings)
        counter = self.settings.counter
        self._beside = count_text(self.prompt, counter) + count_text(tools_text(self.tools), counter)

    def __call__(self, state: Any) -> Dict[str, Any]:
        messages = list(state["messages"] if isinstance(state, dict) else state.messages)
        overrides = None
        if self.user_first:
            overrides = {"classify": pin_first_user(messages, _FORMAT, self.settings.options.get("classify"))}
        attempt = self._core.attempt(messages, _FORMAT, self._beside, overrides)
        if not self.compact_state:
            return {"llm_input_messages": attempt.messages}
        return {"messages": self._updates(messages, attempt.messages)}

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


def pre_model_hook(
    *,
    max_tokens: int,
    mode: Mode = "trim",
    compact_state: bool = False,
    user_first: bool = False,
    prompt: Optional[str] = None,
    tools: Sequence[Any] = (),
    **options: Any,
) -> PreModelHook:
    """A pre-model hook that keeps each model request within `max_tokens`.

    `prompt` and `tools` (the agent's own) are counted against the budget;
    `user_first=True` holds the first user message, for providers whose list must
    start with one (Anthropic). The other options are `trim`'s.
    """
    settings = Settings(max_tokens=max_tokens, mode=mode, options=options)
    return PreModelHook(settings, compact_state, user_first, prompt, tuple(tools))
