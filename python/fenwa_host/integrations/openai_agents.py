"""The OpenAI Agents SDK: a `RunConfig(call_model_input_filter=...)`.

    from fenwa_host.integrations.openai_agents import input_filter
    config = RunConfig(call_model_input_filter=input_filter(max_tokens=6000))

The filter runs before every model call with the run's input items (Responses
API items) and instructions. It counts the instructions against the budget and
returns them unchanged, and returns the items trimmed to what is left ("trim"
mode), or the request of the session's `Conversation` ("conversation" mode).

The SDK's filter does not see the model call fail, so the context-overflow retry
of the other integrations is not available here.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Hashable, Optional

from ..conversation import Conversation
from ._core import Core, Mode, Sessions, Settings, count_text, item_key, require

__all__ = ["InputFilter", "input_filter"]

_FORMAT = "openai-responses"


def default_key(data: Any) -> Hashable:
    """The session of a filter call: the run's context object (by identity when it
    is not hashable), so each `Runner.run(..., context=...)` keeps its own
    Conversation; runs without a context share one."""
    context = getattr(data, "context", None)
    try:
        hash(context)
    except TypeError:
        return ("id", id(context))
    return context


@dataclass
class InputFilter:
    """A `call_model_input_filter` (see the module's text). Build it with
    `input_filter`."""

    settings: Settings
    purpose: Optional[str] = None
    key: Callable[[Any], Hashable] = default_key
    sessions: Sessions = field(default_factory=Sessions)

    def __post_init__(self) -> None:
        self._core = Core(self.settings)

    def __call__(self, data: Any) -> Any:
        run_config = require("agents.run_config", "openai-agents")
        model_data = data.model_data
        instructions = model_data.instructions
        beside = count_text(instructions, self.settings.counter)
        items = list(model_data.input)
        if self.settings.mode == "trim":
            messages = self._core.attempt(items, _FORMAT, beside).messages
        else:
            session = self.sessions.get(
                self.key(data),
                lambda: self._core.conversation(_FORMAT, beside, purpose=self.purpose),
            )
            messages = session.request(items, self._core.budget(beside), self._core.trim, beside=beside).messages
        return run_config.ModelInputData(input=messages, instructions=instructions)

    def conversation(self, key: Hashable) -> Optional[Conversation]:
        """The Conversation of a session (conversation mode), or None."""
        session = self.sessions.peek(key)
        return session.conversation if session is not None else None


def input_filter(
    *,
    max_tokens: int,
    mode: Mode = "trim",
    purpose: Optional[str] = None,
    key: Optional[Callable[[Any], Hashable]] = None,
    **options: Any,
) -> InputFilter:
    """A filter for `RunConfig(call_model_input_filter=...)` that keeps every model
    request within `max_tokens`, the run's instructions included.

    - `mode="trim"`: the run's items trimmed by `fenwa_host.trim` (its options
      pass through: `keep_last_turns`, `tool_results`, `token_counter`, ...).
    - `mode="conversation"`: one `Conversation` per session, chosen by `key` (a
      callable of the filter's `CallModelData`; by default the run's context
      object), with `purpose` and the options of `Conversation`. New items are
      found by their ids (`id`, `call_id`, else a content hash), not by position;
      a list that does not extend what the session has starts it over.
    """
    settings = Settings(max_tokens=max_tokens, mode=mode, options=options)
    if purpose is not None and mode != "conversation":
        raise TypeError("purpose is an option of mode='conversation'")
    return InputFilter(settings, purpose=purpose, key=key or default_key)
