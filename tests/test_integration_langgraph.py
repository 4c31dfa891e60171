"""fenwa_host.integrations.langgraph as the pre_model_hook of LangGraph's prebuilt
agent, on a scripted chat model built on BaseChatModel."""

from __future__ import annotations

import asyncio
from typing import Any, List

import pytest

prebuilt = pytest.importorskip("langgraph.prebuilt")
pytest.importorskip("langchain_openai")
pytest.importorskip("langchain_anthropic")

from langchain_core.messages import BaseMessage, HumanMessage  # noqa: E402
from langgraph.checkpoint.memory import InMemorySaver  # noqa: E402

import fenwa_host as fh  # noqa: E402
from fenwa_host.integrations import ContextOverflow  # noqa: E402
from fenwa_host.integrations.langgraph import STATE_KEY, conversation_state, pre_model_hook  # noqa: E402
from fenwa_host.integrations.langchain import tools_text  # noqa: E402

from agent_script import BUDGET, CALLS_PER_QUESTION, QUESTIONS, question  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:create_react_agent has been moved")
from test_integration_langchain import SYSTEM, ScriptedChat, lc_anthropic, lc_openai, read_log  # noqa: E402


def _agent(model: ScriptedChat, saver: Any, wrap: bool = False, **options: Any) -> Any:
    hook = pre_model_hook(max_tokens=BUDGET, prompt=SYSTEM, tools=[read_log], **options)
    extra = {"state_schema": conversation_state()} if options.get("mode") == "conversation" else {}
    return prebuilt.create_react_agent(hook.model(model) if wrap else model, [read_log], prompt=SYSTEM,
                                       pre_model_hook=hook, checkpointer=saver, **extra)


def _run(agent: Any, session: str, questions: range, use_async: bool = False) -> None:
    config = {"configurable": {"thread_id": session}, "recursion_limit": 100}
    for k in questions:
        payload = {"messages": [HumanMessage(question(k, session))]}
        if use_async:
            asyncio.run(agent.ainvoke(payload, config))
        else:
            agent.invoke(payload, config)


def _plain(messages: List[BaseMessage]) -> List[Any]:
    return [(m.type, m.content, getattr(m, "tool_calls", None), getattr(m, "tool_call_id", None)) for m in messages]


def _check(model: ScriptedChat, count: int) -> None:
    assert len(model.requests) == count
    tools = fh.estimate_tokens(tools_text([read_log]))
    for messages, system in zip(model.requests, model.systems):
        assert system is not None and system.startswith(SYSTEM)
        if model.anthropic:
            _, payload = lc_anthropic._format_messages(messages, model="claude-sonnet-4-5")
            fmt = "anthropic"
        else:
            payload, fmt = [lc_openai._convert_message_to_dict(m) for m in messages], "openai"
        fh.validate(payload, fmt)
        beside = fh.estimate_tokens(system) + tools
        # Within the budget as counted, and within 5% of it counted as the provider receives it.
        assert fh.count_tokens(messages, format="langchain") + beside <= BUDGET
        assert fh.count_tokens(payload, format=fmt) + beside <= BUDGET * 1.05


@pytest.mark.parametrize("compact_state", [False, True], ids=["llm_input", "compact_state"])
@pytest.mark.parametrize("anthropic", [False, True], ids=["openai-shaped", "anthropic-shaped"])
def test_scripted_agent_stays_valid_and_within_budget(compact_state: bool, anthropic: bool) -> None:
    model = ScriptedChat(session="a", anthropic=anthropic)
    saver = InMemorySaver()
    agent = _agent(model, saver, compact_state=compact_state, user_first=anthropic)
    _run(agent, "a", range(QUESTIONS), use_async=compact_state)
    _check(model, QUESTIONS * CALLS_PER_QUESTION)
    state = agent.get_state({"configurable": {"thread_id": "a"}}).values["messages"]
    full = 2 * QUESTIONS + (CALLS_PER_QUESTION - 1) * 2 * QUESTIONS  # every message of the run
    if compact_state:
        # The state itself was trimmed: placeholders and removals, not the full history.
        assert fh.trim(state, format="langchain", max_tokens=2**62).tokens_before < 2 * BUDGET
    else:
        assert len(state) == full


@pytest.mark.parametrize("compact_state", [False, True])
def test_restart_from_checkpoint_sends_identical_requests(compact_state: bool) -> None:
    straight = ScriptedChat(session="a")
    _run(_agent(straight, InMemorySaver(), compact_state=compact_state), "a", range(4))
    saver = InMemorySaver()
    first = ScriptedChat(session="a")
    _run(_agent(first, saver, compact_state=compact_state), "a", range(3))
    # A new process: a new agent, hook and model over the same checkpoints.
    again = ScriptedChat(session="a", calls=first.calls)
    _run(_agent(again, saver, compact_state=compact_state), "a", range(3, 4))
    assert [_plain(r) for r in again.requests] == [_plain(r) for r in straight.requests[-CALLS_PER_QUESTION:]]


def test_two_threads_stay_isolated() -> None:
    model = ScriptedChat(session="a")
    agent = _agent(model, InMemorySaver())
    _run(agent, "a", range(2))
    model.session = "b"
    _run(agent, "b", range(2))
    for messages in model.requests[2 * CALLS_PER_QUESTION:]:
        assert "[a]" not in "".join(str(m.content) for m in messages)


@pytest.mark.parametrize("anthropic", [False, True], ids=["openai-shaped", "anthropic-shaped"])
def test_conversation_mode_stays_valid_within_budget_and_in_the_state(anthropic: bool) -> None:
    model = ScriptedChat(session="a", anthropic=anthropic)
    agent = _agent(model, InMemorySaver(), mode="conversation", user_first=anthropic,
                   purpose="Answer questions about the repository.")
    _run(agent, "a", range(QUESTIONS), use_async=anthropic)
    _check(model, QUESTIONS * CALLS_PER_QUESTION)
    stored = agent.get_state({"configurable": {"thread_id": "a"}}).values[STATE_KEY]
    assert fh.Conversation.from_dict(stored["conversation"]).system_prompt.startswith("Answer questions")


def test_conversation_mode_restarted_from_checkpoint_sends_identical_requests() -> None:
    straight = ScriptedChat(session="a")
    _run(_agent(straight, InMemorySaver(), mode="conversation"), "a", range(4))
    saver = InMemorySaver()
    first = ScriptedChat(session="a")
    _run(_agent(first, saver, mode="conversation"), "a", range(3))
    again = ScriptedChat(session="a", calls=first.calls)
    _run(_agent(again, saver, mode="conversation"), "a", range(3, 4))
    assert [_plain(r) for r in again.requests] == [_plain(r) for r in straight.requests[-CALLS_PER_QUESTION:]]
    assert again.systems == straight.systems[-CALLS_PER_QUESTION:]


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"mode": "conversation", "compact_state": True}, ValueError),
        ({"purpose": "p"}, TypeError),
        ({"mode": "conversation", "stable_prefix": 1}, TypeError),
    ],
)
def test_bad_settings_are_refused_when_built(kwargs: Any, error: type) -> None:
    with pytest.raises(error):
        pre_model_hook(max_tokens=BUDGET, **kwargs)


def test_conversation_mode_learns_from_the_reported_usage() -> None:
    model = ScriptedChat(session="a", usage_ratio=1.3)
    agent = _agent(model, InMemorySaver(), mode="conversation")
    _run(agent, "a", range(3))
    stored = agent.get_state({"configurable": {"thread_id": "a"}}).values[STATE_KEY]
    assert fh.Conversation.from_dict(stored["conversation"]).usage_ratio > 1.02  # 1.0 without the reports


@pytest.mark.parametrize("use_async", [False, True], ids=["invoke", "ainvoke"])
@pytest.mark.parametrize("mode", ["trim", "conversation"])
@pytest.mark.parametrize("refusals, raises", [(1, False), (2, True)])
def test_context_overflow_retries_once_smaller_through_the_model_wrapper(
    refusals: int, raises: bool, mode: str, use_async: bool
) -> None:
    model = ScriptedChat(session="a", overflow_as="anthropic" if use_async else "openai")
    agent = _agent(model, InMemorySaver(), wrap=True, mode=mode)
    _run(agent, "a", range(2), use_async)
    _check(model, 2 * CALLS_PER_QUESTION)  # the wrapper changes nothing until a refusal
    model.overflow_first = refusals
    before = len(model.requests)
    if raises:
        with pytest.raises(ContextOverflow) as info:
            _run(agent, "a", range(2, 3), use_async)
        first, second = info.value.tokens_sent
        assert second < first and info.value.budgets[1] < info.value.budgets[0]
        return
    _run(agent, "a", range(2, 3), use_async)
    retried = model.requests[before]
    assert model.systems[before].startswith(SYSTEM)  # the prompt is held
    fh.validate([lc_openai._convert_message_to_dict(m) for m in retried], "openai")
    tools = fh.estimate_tokens(tools_text([read_log]))
    assert fh.count_tokens(retried, format="langchain") + fh.estimate_tokens(SYSTEM) + tools <= BUDGET * 0.75 + tools
