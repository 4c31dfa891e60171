"""pydantic-ai: a capability for `Agent(..., capabilities=[...])`.

    from fenwa_host.integrations.pydantic_ai import ContextCapability
    agent = Agent(model, capabilities=[ContextCapability(max_tokens=6000)])

Before each attempt at a model request (`prepare_model_request`, once the
serving model is known) the capability trims the request's messages so that they
and the instructions, counted as the model's own mapping renders them, fit
`max_tokens`. Only the request is edited: the run's history stays whole, unless
`persist=True`, which writes the trimmed list back to it (`before_model_request`).

When the model refuses an attempt as too long for its context window, the
capability asks pydantic-ai for another attempt (`RetryModelRequest`) and sends it
trimmed to a smaller budget; a second refusal raises `ContextOverflow`.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Any, Dict, Optional

from ._core import Attempt, Core, Mode, Settings, count_text, is_context_overflow, require

__all__ = ["ContextCapability", "PydanticAIContext"]

_FORMAT = "pydantic-ai"


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


@dataclass
class PydanticAIContext:
    """The framework-free part of the capability; `ContextCapability` wraps it."""

    settings: Settings
    persist: bool = False

    def __post_init__(self) -> None:
        if self.settings.mode != "trim":
            raise NotImplementedError(
                "ContextCapability supports mode='trim'; Conversation does not keep pydantic-ai messages"
            )
        self._core = Core(self.settings)
        self._lock = threading.Lock()
        # Per run: the last attempt sent, and the smaller one to send after an overflow.
        self._sent: Dict[Any, Attempt] = {}
        self._retry: Dict[Any, Attempt] = {}

    def trimmed(self, request_context: Any) -> Attempt:
        beside = count_text(instructions_text(request_context), self.settings.counter)
        return self._core.attempt(list(request_context.messages), _FORMAT, beside)

    def prepare(self, run: Any, request_context: Any) -> Any:
        with self._lock:
            attempt = self._retry.pop(run, None)
        if attempt is None:
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

    def finished(self, run: Any) -> None:
        with self._lock:
            self._sent.pop(run, None)
            self._retry.pop(run, None)


_CAPABILITY: Optional[type] = None


def _capability_class() -> type:
    """pydantic-ai's AbstractCapability subclass, made on first use so that
    importing this module needs no pydantic-ai."""
    global _CAPABILITY
    if _CAPABILITY is None:
        abstract = require("pydantic_ai.capabilities.abstract", "pydantic-ai")
        exceptions = require("pydantic_ai.exceptions", "pydantic-ai")

        class FenwaContextCapability(abstract.AbstractCapability):  # type: ignore[misc,name-defined]
            """Keeps every model request within a token budget (fenwa_host.trim)."""

            def __init__(self, context: PydanticAIContext) -> None:
                self.context = context

            @classmethod
            def get_serialization_name(cls) -> Optional[str]:
                return None

            async def before_model_request(self, ctx: Any, request_context: Any) -> Any:
                if self.context.persist:
                    return self.context.persist_history(ctx, request_context)
                return request_context

            async def prepare_model_request(self, ctx: Any, request_context: Any) -> Any:
                return self.context.prepare(_run_key(ctx), request_context)

            async def on_model_request_error(self, ctx: Any, *, request_context: Any, error: Exception) -> Any:
                self.context.failed(_run_key(ctx), error)
                raise exceptions.RetryModelRequest()

            async def after_model_request(self, ctx: Any, *, request_context: Any, response: Any) -> Any:
                self.context.finished(_run_key(ctx))
                return response

        _CAPABILITY = FenwaContextCapability
    return _CAPABILITY


def _run_key(ctx: Any) -> Any:
    run_id = getattr(ctx, "run_id", None)
    return run_id if run_id is not None else id(ctx)


def ContextCapability(*, max_tokens: int, mode: Mode = "trim", persist: bool = False, **options: Any) -> Any:
    """A capability that keeps each model request within `max_tokens`, the
    instructions included. `persist=True` also rewrites the run's history; the
    other options are `trim`'s (`keep_last_turns`, `tool_results`, ...)."""
    settings = Settings(max_tokens=max_tokens, mode=mode, options=options)
    return _capability_class()(PydanticAIContext(settings, persist))
