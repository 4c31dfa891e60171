"""reasoning_params: the framework targets and the model-aware table."""

from __future__ import annotations

import pytest

import fenwa_micro as fm
import fenwa_host as fh
from fenwa_host.reasoning import MODEL_EFFORTS, model_efforts

EASY = "ok thanks"
HARD = ("Design and implement a migration plan; it must never lose data and must always be reversible. "
        "Compare two architectures, analyse failure modes, debug the integration and validate every "
        "invariant with `assert` checks: def migrate(): return plan()")


def test_texts_cover_two_tiers() -> None:
    assert fm.effort_gauge(EASY)["tier"] == "off"
    assert fm.effort_gauge(HARD)["tier"] != "off"


@pytest.mark.parametrize(
    "model, target, expected",
    [
        # "off" is the least effort each model takes: never "minimal" where it has none.
        ("gpt-5", "openai", {"reasoning_effort": "minimal"}),
        ("gpt-5.1", "openai", {"reasoning_effort": "none"}),
        ("o3-mini", "openai", {"reasoning_effort": "low"}),
        ("o4-mini", "openai-responses", {"reasoning": {"effort": "low"}}),
        ("gpt-5-pro", "openai", {"reasoning_effort": "high"}),
        ("openai:gpt-5.1", "langchain", {"reasoning_effort": "none"}),
        ("gpt-5", "pydantic-ai", {"thinking": False}),
        ("claude-sonnet-4-5", "anthropic", {"thinking": {"type": "disabled"}}),
        ("claude-sonnet-4-5", "langchain", {"thinking": {"type": "disabled"}}),
        ("anthropic:claude-opus-4-1", "pydantic-ai", {"thinking": False}),
        # Models without a reasoning setting, models the table does not know, and a
        # model through a target of another provider: nothing rather than a refusal.
        ("gpt-4o", "openai", {}),
        ("o1-mini", "openai", {}),
        ("claude-3-5-haiku", "anthropic", {}),
        ("gemini-2.5-pro", "langchain", {}),
        ("my-finetune", "openai", {}),
        ("claude-sonnet-4-5", "openai", {}),
        ("gpt-5", "anthropic", {}),
    ],
)
def test_off_tier_by_model(model: str, target: str, expected: dict) -> None:
    assert fh.reasoning_params(EASY, target, model=model) == expected


@pytest.mark.parametrize("model", sorted(MODEL_EFFORTS))
@pytest.mark.parametrize("text", [EASY, HARD])
def test_every_value_is_one_the_model_accepts(model: str, text: str) -> None:
    accepted = model_efforts(model)
    for target in ("openai", "openai-responses", "langchain", "anthropic"):
        got = fh.reasoning_params(text, target, model=model)
        if "reasoning_effort" in got:
            assert got["reasoning_effort"] in accepted
        elif "reasoning" in got:
            assert got["reasoning"]["effort"] in accepted
        elif "thinking" in got:
            assert accepted == ("thinking",)
            if got["thinking"]["type"] == "enabled":
                assert got["thinking"]["budget_tokens"] >= 1024
        else:
            assert got == {}


def test_hard_text_keeps_its_tier_where_the_model_has_it() -> None:
    tier = fm.effort_gauge(HARD)["tier"]
    assert fh.reasoning_params(HARD, "openai", model="gpt-5") == {"reasoning_effort": tier}
    assert fh.reasoning_params(HARD, "pydantic-ai", model="claude-sonnet-4-5") == {"thinking": tier}
    assert fh.reasoning_params(HARD, "anthropic", model="claude-opus-4") == {
        "thinking": {"type": "enabled", "budget_tokens": fh.ANTHROPIC_THINKING_BUDGET[tier]}}


def test_openai_agents_target_builds_its_model_settings() -> None:
    agents = pytest.importorskip("agents")
    params = fh.reasoning_params(HARD, "openai-agents", model="gpt-5.1")
    settings = agents.ModelSettings(**params)
    assert settings.reasoning is not None and settings.reasoning.effort == fm.effort_gauge(HARD)["tier"]
    assert fh.reasoning_params(EASY, "openai-agents", model="gpt-4.1") == {}


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"provider": "langchain"}, ValueError, "needs model="),
        ({"provider": "pydantic-ai"}, ValueError, "needs model="),
        ({"provider": "gemini"}, ValueError, "provider must be one of"),
        ({"provider": "openai", "model": 5}, TypeError, "model must be a str"),
    ],
)
def test_bad_arguments(kwargs: dict, error: type, match: str) -> None:
    with pytest.raises(error, match=match):
        fh.reasoning_params(EASY, **kwargs)
