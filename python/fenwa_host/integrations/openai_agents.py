"""The OpenAI Agents SDK: a `RunConfig(call_model_input_filter=...)`.

    from fenwa_host.integrations.openai_agents import input_filter
    config = RunConfig(call_model_input_filter=input_filter(max_tokens=6000))

The filter runs before every model call with the run's input items (Responses
API items) and instructions. It counts the instructions against the budget and
returns them unchanged, and returns the items trimmed to what is left ("trim"
mode), or the request of the session's `Conversation` ("conversation" mode).

The filter does not see the model call, so two more pieces are offered:

- `flt.run_config(**options)` is a `RunConfig` with the filter and a model
  retry policy (`ModelSettings(retry=...)`): when the provider refuses a request
  as too long for its context window, the SDK's retry sends the same request
  trimmed to a smaller budget; a second refusal raises `ContextOverflow`.
- `flt.hooks()` are `RunHooks` for `Runner.run(..., hooks=...)` that feed each
  response's usage to the session's Conversation (conversation mode).

    flt = input_filter(max_tokens=6000, mode="conversation")
    result = await Runner.run(agent, prompt, run_config=flt.run_config(), hooks=flt.hooks())
"""

from __future__ import annotations

import contextvars
from dataclasses import dataclass, field
from typing import Any, Callable, Hashable, Optional

from ..conversation import Conversation
from ._core import Attempt, Core, Mode, Session, Sessions, Settings, count_text, is_context_overflow, require

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
        session: Optional[Session] = None
        if self.settings.mode == "trim":
            attempt = self._core.attempt(items, _FORMAT, beside)
        else:
            session = self.sessions.get(
                self.key(data),
                lambda: self._core.conversation(_FORMAT, beside, purpose=self.purpose),
            )
            synced = session.request(items, self._core.budget(beside), self._core.trim, beside=beside)
            attempt = Attempt(self._core, synced.messages, _FORMAT, synced.messages, synced.tokens, synced.budget,
                              None, None)
        out = run_config.ModelInputData(input=list(attempt.messages), instructions=instructions)
        # The SDK sends `out.input` on every attempt of this model call, in this
        # task: the retry policy and the hooks find the call here.
        _CALL.set(_Call(self, out, attempt, session))
        return out

    # -- the overflow retry ---------------------------------------------------------------

    def retry_policy(self, context: Any) -> Any:
        """A `ModelRetrySettings(policy=...)`: on a context overflow, the request
        of this model call trimmed to a smaller budget, sent at once; on the
        second, `ContextOverflow` with the counts. Other errors go to `policy`
        (the one given to `retry_settings`), else are not retried."""
        retry = require("agents.retry", "openai-agents")
        error = context.error
        call = _CALL.get()
        if call is None or call.filter is not self or not is_context_overflow(error):
            if self._policy is not None:
                return self._policy(context)
            return retry.RetryDecision(retry=False)
        call.attempt = call.attempt.retry(error)  # raises ContextOverflow on the second
        call.data.input = list(call.attempt.messages)
        return retry.RetryDecision(retry=True, delay=0.0, reason="context overflow: trimmed to a smaller budget")

    def retry_settings(self, policy: Optional[Callable[[Any], Any]] = None, max_retries: int = 2) -> Any:
        """`ModelRetrySettings` with the overflow retry, and `policy` (any other
        retry policy of the application) for every other error. At least two
        retries: the second overflow must reach the policy, to be raised as
        `ContextOverflow` rather than as the provider's error."""
        retry = require("agents.retry", "openai-agents")
        self._policy = policy
        return retry.ModelRetrySettings(max_retries=max(2, max_retries), policy=_Policy(self))

    def run_config(self, **options: Any) -> Any:
        """A `RunConfig` with this filter and the overflow retry in its model
        settings (merged into `model_settings=` when one is given)."""
        run_config = require("agents.run_config", "openai-agents")
        settings_module = require("agents.model_settings", "openai-agents")
        given = options.pop("model_settings", None)
        retry = self.retry_settings()
        settings = settings_module.ModelSettings(retry=retry)
        if given is not None:
            settings = given.resolve(settings)
        return run_config.RunConfig(call_model_input_filter=self, model_settings=settings, **options)

    # -- usage ------------------------------------------------------------------------------

    def record_usage(self, response: Any) -> bool:
        """Feed a model response's usage (an SDK `ModelResponse`) to the session of
        the model call it answers; returns whether it was used. Call it from
        your own `on_llm_end` hook, or pass `hooks()` to `Runner.run`."""
        call = _CALL.get()
        if call is None or call.filter is not self or call.session is None:
            return False
        return call.session.record_usage(getattr(response, "response_id", None), getattr(response, "usage", None))

    def hooks(self) -> Any:
        """`RunHooks` that feed each response's usage to its session."""
        lifecycle = require("agents.lifecycle", "openai-agents")
        owner = self

        class UsageHooks(lifecycle.RunHooks):  # type: ignore[misc,name-defined]
            async def on_llm_end(self, context: Any, agent: Any, response: Any) -> None:
                owner.record_usage(response)

        return UsageHooks()

    _policy: Optional[Callable[[Any], Any]] = field(default=None, init=False, repr=False)

    def __deepcopy__(self, memo: Any) -> InputFilter:
        # The SDK copies run and model settings; a copy of the filter would split
        # its sessions (and their locks do not copy).
        return self

    def conversation(self, key: Hashable) -> Optional[Conversation]:
        """The Conversation of a session (conversation mode), or None."""
        session = self.sessions.peek(key)
        return session.conversation if session is not None else None


class _Policy:
    """The filter's retry policy as the SDK keeps it: model settings are copied
    (deep) on the way, and every copy must reach the same filter."""

    __slots__ = ("filter",)

    def __init__(self, flt: InputFilter) -> None:
        self.filter = flt

    def __call__(self, context: Any) -> Any:
        return self.filter.retry_policy(context)

    def __deepcopy__(self, memo: Any) -> _Policy:
        return self

    def __copy__(self) -> _Policy:
        return self


class _Call:
    """One model call as the filter shaped it: the input data the SDK sends (the
    same object on every attempt), the attempt it holds, and its session."""

    __slots__ = ("filter", "data", "attempt", "session")

    def __init__(self, flt: InputFilter, data: Any, attempt: Attempt, session: Optional[Session]) -> None:
        self.filter = flt
        self.data = data
        self.attempt = attempt
        self.session = session


_CALL: contextvars.ContextVar[Optional[_Call]] = contextvars.ContextVar("fenwa_openai_agents_call", default=None)


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
