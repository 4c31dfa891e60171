"""reasoning_params(): `fenwa_micro.effort_gauge`'s tier as a provider's parameter."""

from __future__ import annotations

from typing import Any, Dict, Mapping, Optional

import fenwa_micro as fm

__all__ = [
    "ANTHROPIC_THINKING_BUDGET",
    "OPENAI_REASONING_EFFORT",
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

PROVIDERS = ("openai", "openai-responses", "anthropic")


def reasoning_params(
    text: str, provider: str, *, mapping: Optional[Mapping[str, Any]] = None
) -> Dict[str, Any]:
    """The request parameters that set reasoning effort for `text`.

    `effort_gauge(text)["tier"]` is looked up in `mapping` (by default
    `OPENAI_REASONING_EFFORT` for "openai" and "openai-responses",
    `ANTHROPIC_THINKING_BUDGET` for "anthropic") and returned as keyword arguments
    for the SDK call:

    - "openai": `{"reasoning_effort": effort}`
    - "openai-responses": `{"reasoning": {"effort": effort}}`
    - "anthropic": `{"thinking": {"type": "enabled", "budget_tokens": budget}}`, or
      `{"thinking": {"type": "disabled"}}` when the budget is 0.
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    if provider not in PROVIDERS:
        raise ValueError(f"provider must be one of {', '.join(map(repr, PROVIDERS))}, not {provider!r}")
    tier = fm.effort_gauge(text)["tier"]
    if mapping is None:
        mapping = ANTHROPIC_THINKING_BUDGET if provider == "anthropic" else OPENAI_REASONING_EFFORT
    if tier not in mapping:
        raise ValueError(f"mapping has no entry for tier {tier!r}")
    value = mapping[tier]
    if provider == "openai":
        return {"reasoning_effort": value}
    if provider == "openai-responses":
        return {"reasoning": {"effort": value}}
    if not isinstance(value, int) or isinstance(value, bool) or value < 0:
        raise ValueError(f"mapping[{tier!r}] must be a non-negative int budget, not {value!r}")
    if value == 0:
        return {"thinking": {"type": "disabled"}}
    return {"thinking": {"type": "enabled", "budget_tokens": value}}
