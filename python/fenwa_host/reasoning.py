"""reasoning_params(): `fenwa_micro.effort_gauge`'s tier as a provider's parameter.

Without `model=` the tier maps through the fixed tables below, as it always has.
With `model=` it goes through a table of what each model family accepts: a
value the model refuses is never returned (no "minimal" for a model that has
none, no thinking budget for a Claude model without extended thinking), and a
model the table does not know, or one that takes no reasoning setting at all,
gets no reasoning parameter: `{}`.
"""

from __future__ import annotations

from typing import Any, Dict, Mapping, Optional, Tuple

import fenwa_micro as fm

__all__ = [
    "ANTHROPIC_THINKING_BUDGET",
    "MODEL_EFFORTS",
    "OPENAI_REASONING_EFFORT",
    "TARGETS",
    "model_efforts",
    "reasoning_params",
]

#: Tier -> OpenAI `reasoning_effort` (Chat Completions) / `reasoning.effort`
#: (Responses). "off" maps to "minimal", the least effort a reasoning model takes.
OPENAI_REASONING_EFFORT: Mapping[str, str] = {
    "off": "minimal",
    "low": "low",
    "medium": "medium",
    "high": "high",
}

#: Tier -> Anthropic extended-thinking budget in tokens; 0 turns thinking off.
#: The other tiers take the gauge's own budgets (1024 is Anthropic's minimum).
ANTHROPIC_THINKING_BUDGET: Mapping[str, int] = {
    "off": 0,
    "low": 1024,
    "medium": 4096,
    "high": 16384,
}

#: What each target is called with, and by whom:
#: "openai" / "openai-responses" / "anthropic": the SDKs' create() keywords;
#: "openai-agents": `ModelSettings(**params)`; "pydantic-ai": model settings
#: (`Agent(model_settings=params)`); "langchain": the chat model's keywords
#: (`ChatOpenAI(**params)`, `model.bind(**params)`, `ChatAnthropic(**params)`).
TARGETS = ("openai", "openai-responses", "anthropic", "openai-agents", "pydantic-ai", "langchain")
PROVIDERS = TARGETS

_LOW_MEDIUM_HIGH = ("low", "medium", "high")
#: Model-name prefixes (longest first wins) -> the reasoning efforts the model
#: accepts, least first; () for a model that takes no reasoning setting. Claude
#: models list "thinking" when they take an extended-thinking budget.
MODEL_EFFORTS: Mapping[str, Tuple[str, ...]] = {
    # OpenAI
    "o1-mini": (),
    "o1-preview": (),
    "o1": _LOW_MEDIUM_HIGH,
    "o3-mini": _LOW_MEDIUM_HIGH,
    "o3-pro": _LOW_MEDIUM_HIGH,
    "o3": _LOW_MEDIUM_HIGH,
    "o4-mini": _LOW_MEDIUM_HIGH,
    "gpt-5-chat": (),
    "gpt-5-pro": ("high",),
    "gpt-5-codex": _LOW_MEDIUM_HIGH,
    "gpt-5": ("minimal", "low", "medium", "high"),
    "gpt-5.1-codex": _LOW_MEDIUM_HIGH,
    "gpt-5.1": ("none", "low", "medium", "high"),
    "gpt-4.1": (),
    "gpt-4o": (),
    "gpt-4": (),
    "gpt-3.5": (),
    # Anthropic
    "claude-3-7-sonnet": ("thinking",),
    "claude-sonnet-4": ("thinking",),
    "claude-opus-4": ("thinking",),
    "claude-haiku-4": ("thinking",),
    "claude-3-5": (),
    "claude-3": (),
}
_PREFIXES = sorted(MODEL_EFFORTS, key=len, reverse=True)
_TIERS = ("off", "low", "medium", "high")


def model_efforts(model: str) -> Optional[Tuple[str, ...]]:
    """The efforts `model` accepts (least first; "thinking" for a Claude thinking
    budget), `()` for a model without a reasoning setting, None for one the table
    does not know. A provider prefix ("openai:", "anthropic/") is ignored."""
    name = model.lower().rsplit(":", 1)[-1].rsplit("/", 1)[-1]
    for prefix in _PREFIXES:
        if name.startswith(prefix):
            return MODEL_EFFORTS[prefix]
    return None


def _effort_for(tier: str, accepted: Tuple[str, ...]) -> str:
    """The tier's effort among those the model accepts: "off" is the least one;
    any other tier its own name, or the nearest accepted one below it, or the
    least one above."""
    if tier == "off":
        return accepted[0]
    wanted = _TIERS.index(tier)
    ranked = [(_TIERS.index(e) if e in _TIERS else 0, e) for e in accepted]
    below = [e for rank, e in ranked if rank <= wanted]
    return below[-1] if below else accepted[0]


def _openai_agents(effort: str) -> Dict[str, Any]:
    from openai.types.shared import Reasoning  # openai-agents depends on openai

    return {"reasoning": Reasoning(effort=effort)}  # type: ignore[arg-type]


def _thinking(budget: int) -> Dict[str, Any]:
    if budget == 0:
        return {"thinking": {"type": "disabled"}}
    return {"thinking": {"type": "enabled", "budget_tokens": budget}}


def reasoning_params(
    text: str,
    provider: str,
    *,
    model: Optional[str] = None,
    mapping: Optional[Mapping[str, Any]] = None,
) -> Dict[str, Any]:
    """The request parameters that set reasoning effort for `text`.

    `effort_gauge(text)["tier"]` is looked up in `mapping` (by default
    `OPENAI_REASONING_EFFORT` for OpenAI models, `ANTHROPIC_THINKING_BUDGET` for
    Anthropic ones) and returned as keyword arguments for `provider`, the target
    (one of `TARGETS`):

    - "openai": `{"reasoning_effort": effort}`
    - "openai-responses": `{"reasoning": {"effort": effort}}`
    - "anthropic": `{"thinking": {"type": "enabled", "budget_tokens": budget}}`, or
      `{"thinking": {"type": "disabled"}}` when the budget is 0.
    - "openai-agents": `{"reasoning": Reasoning(effort=effort)}` for `ModelSettings`
    - "pydantic-ai": `{"thinking": effort}` (`False` for "off": the least the
      model allows), pydantic-ai's unified setting
    - "langchain": `{"reasoning_effort": effort}` for an OpenAI model,
      `{"thinking": {...}}` for a Claude model

    With `model=` (a model name, such as "gpt-5.1" or "claude-sonnet-4-5"), only
    values that model accepts are returned: "off" becomes its least effort, a tier
    it lacks the nearest one below, and a model without a reasoning setting, or
    one not in `MODEL_EFFORTS`, gets `{}`. "pydantic-ai" and "langchain" need
    `model=`, since the provider follows from it. A `mapping` is used as given.
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    if provider not in TARGETS:
        raise ValueError(f"provider must be one of {', '.join(map(repr, TARGETS))}, not {provider!r}")
    if model is not None and not isinstance(model, str):
        raise TypeError(f"model must be a str or None, not {type(model).__name__}")
    if model is None and provider in ("pydantic-ai", "langchain"):
        raise ValueError(f"target {provider!r} needs model= (the provider follows from the model)")
    tier = fm.effort_gauge(text)["tier"]
    accepted = model_efforts(model) if model is not None else None
    if model is not None and not accepted:
        return {}  # unknown, or no reasoning setting: sending one would be refused
    anthropic = (
        provider == "anthropic" if accepted is None else accepted == ("thinking",)
    )
    if anthropic and provider in ("openai", "openai-responses", "openai-agents"):
        return {}  # a Claude model through an OpenAI-only target: nothing it takes
    if not anthropic and provider == "anthropic":
        return {}
    if mapping is None:
        mapping = ANTHROPIC_THINKING_BUDGET if anthropic else OPENAI_REASONING_EFFORT
        if accepted is not None and not anthropic:
            mapping = {t: _effort_for(t, accepted) for t in _TIERS}
    if tier not in mapping:
        raise ValueError(f"mapping has no entry for tier {tier!r}")
    value = mapping[tier]
    if anthropic:
        if not isinstance(value, int) or isinstance(value, bool) or value < 0:
            raise ValueError(f"mapping[{tier!r}] must be a non-negative int budget, not {value!r}")
        if provider == "pydantic-ai":
            # pydantic-ai's unified setting turns an effort into the model's budget itself.
            return {"thinking": False} if value == 0 else {"thinking": tier}
        return _thinking(value)
    if provider == "openai":
        return {"reasoning_effort": value}
    if provider == "openai-responses":
        return {"reasoning": {"effort": value}}
    if provider == "openai-agents":
        return _openai_agents(str(value))
    if provider == "pydantic-ai":
        return {"thinking": False if tier == "off" else value}
    return {"reasoning_effort": value}  # langchain, an OpenAI model
