"""fenwa_host.integrations.pydantic_ai in pydantic-ai's own agent loop, on its
FunctionModel, and the "pydantic-ai" message format."""

from __future__ import annotations

import asyncio
import dataclasses
import json
from typing import Any, Dict, List

import pytest

pydantic_ai = pytest.importorskip("pydantic_ai")

from pydantic_ai import Agent  # noqa: E402
from pydantic_ai.exceptions import ModelHTTPError  # noqa: E402
from pydantic_ai.messages import (  # noqa: E402
    ModelMessage,
    ModelRequest,
    ModelMessagesTypeAdapter,
    ModelResponse,
    SystemPromptPart,
    TextPart,
    ThinkingPart,
    ToolCallPart,
    ToolReturnPart,
    UserPromptPart,
)
from pydantic_ai.models import ModelRequestParameters  # noqa: E402
from pydantic_ai.models.function import AgentInfo, FunctionModel  # noqa: E402
from pydantic_ai.usage import RequestUsage  # noqa: E402

import fenwa_host as fh  # noqa: E402
from fenwa_host.integrations import ContextOverflow  # noqa: E402
from fenwa_host.integrations.pydantic_ai import ContextCapability, message_key  # noqa: E402

from agent_script import BUDGET, CALLS_PER_QUESTION, QUESTIONS, answer, question, tool_output  # noqa: E402

INSTRUCTIONS = "You answer questions about the repository, using the read_log tool. " * 8


_MAPPER: List[Any] = []


def _openai_payload(messages: List[ModelMessage]) -> List[Any]:
    """pydantic-ai's own OpenAI Chat mapping of a request (no network: the client is never called)."""
    if not _MAPPER:
        from pydantic_ai.models.openai import OpenAIChatModel
        from pydantic_ai.providers.openai import OpenAIProvider

        _MAPPER.append(OpenAIChatModel("gpt-4o", provider=OpenAIProvider(api_key="offline")))
    return asyncio.run(_MAPPER[0]._map_messages(messages, ModelRequestParameters()))


def _anthropic_payload(messages: List[ModelMessage]) -> List[Any]:
    """pydantic-ai's own Anthropic mapping of a request (the client is never called)."""
    from pydantic_ai.models.anthropic import AnthropicModel
    from pydantic_ai.providers.anthropic import AnthropicProvider

    model = AnthropicModel("claude-sonnet-4-5", provider=AnthropicProvider(api_key="offline"))
    _, payload = asyncio.run(model._map_message(messages, ModelRequestParameters(), {}))
    return payload


class Script:
    """Per question: four read_log calls (each after a thinking part), then an
    answer. It reports the request's input tokens as `usage_ratio` times the
    estimate, as a provider counting with another tokenizer would."""

    def __init__(self, session: str = "a", overflows: int = 0, calls: int = 0, usage_ratio: float = 1.0) -> None:
        self.session = session
        self.overflows = overflows
        self.overflow_as = "openai"
        self.requests: List[List[ModelMessage]] = []
        self.calls = calls
        self.usage_ratio = usage_ratio

    def __call__(self, messages: List[ModelMessage], info: AgentInfo) -> ModelResponse:
        if self.overflows:
            self.overflows -= 1
            if self.overflow_as == "anthropic":
                raise ModelHTTPError(400, "claude-sonnet-4-5", body={"type": "error", "error": {
                    "type": "invalid_request_error", "message": "prompt is too long: 210000 tokens > 200000 maximum"}})
            raise ModelHTTPError(400, "gpt-4o", body={"error": {"code": "context_length_exceeded"}})
        self.requests.append(list(messages))
        n = self.calls
        self.calls += 1
        usage = RequestUsage(input_tokens=int(_tokens(messages) * self.usage_ratio), output_tokens=20)
        if n % CALLS_PER_QUESTION < CALLS_PER_QUESTION - 1:
            return ModelResponse(parts=[
                ThinkingPart(content=f"look at turn {n}"),
                ToolCallPart("read_log", {"turn": n}, tool_call_id=f"call_{self.session}_{n}"),
            ], usage=usage)
        return ModelResponse(parts=[TextPart(answer(n // CALLS_PER_QUESTION, self.session))], usage=usage)


def _agent(script: Script, capability: Any = None, system: str = "function", **options: Any) -> Agent:
    capability = capability or ContextCapability(max_tokens=BUDGET, **options)
    model = FunctionModel(script)
    model._system = system  # the provider the model names: "anthropic" applies its rules
    agent = Agent(model, instructions=INSTRUCTIONS, capabilities=[capability])

    @agent.tool_plain
    def read_log(turn: int) -> str:
        """Read the log of one turn."""
        return tool_output(turn)

    return agent


def _tokens(messages: List[ModelMessage]) -> int:
    return fh.trim(messages, format="pydantic-ai", max_tokens=2**62).tokens_before + fh.estimate_tokens(INSTRUCTIONS)


def _session(agent: Agent, session: str, questions: Any = QUESTIONS, use_async: bool = False,
             history: Any = None) -> List[ModelMessage]:
    history = list(history or [])
    for k in range(questions) if isinstance(questions, int) else questions:
        if use_async:
            result = asyncio.run(agent.run(question(k, session), message_history=history))
        else:
            result = agent.run_sync(question(k, session), message_history=history)
        history = result.all_messages()
    return history


def _whole_returns(history: List[ModelMessage], questions: int = QUESTIONS) -> None:
    """The run's history holds every tool output whole: only the requests were edited."""
    returns = [p for m in history if isinstance(m, ModelRequest) for p in m.parts if isinstance(p, ToolReturnPart)]
    assert len(returns) == questions * (CALLS_PER_QUESTION - 1)
    assert all(p.content == tool_output(int(p.tool_call_id.rsplit("_", 1)[1])) for p in returns)


@pytest.mark.parametrize("mode", ["trim", "conversation"])
@pytest.mark.parametrize("use_async", [False, True], ids=["run_sync", "run"])
def test_scripted_agent_stays_valid_and_within_budget(mode: str, use_async: bool) -> None:
    script = Script()
    capability = ContextCapability(max_tokens=BUDGET, mode=mode)
    history = _session(_agent(script, capability), "a", use_async=use_async)
    assert len(script.requests) == QUESTIONS * CALLS_PER_QUESTION
    for messages in script.requests:
        fh.validate(_openai_payload(messages), "openai")
        fh.validate(messages, "pydantic-ai")
        assert _tokens(messages) <= BUDGET
        assert messages[-1].parts[-1].part_kind in ("user-prompt", "tool-return")
    _whole_returns(history)
    if mode == "conversation":
        # One session for the eight runs (they share the history's conversation_id),
        # fed by extension every time, never started over.
        (session,) = [capability.context.sessions.peek(k) for k in {m.conversation_id for m in history}]
        assert len(capability.context.sessions) == 1 and "restarted" not in session.conversation.last_report
        # The ledger went out as the first message once tool outputs left.
        assert any(isinstance(r[0].parts[0], SystemPromptPart) and "STATE:" in r[0].parts[0].content
                   for r in script.requests)


@pytest.mark.parametrize("mode", ["trim", "conversation"])
def test_a_model_served_by_anthropic_gets_a_list_that_starts_with_the_user(mode: str) -> None:
    script = Script()
    _session(_agent(script, system="anthropic", mode=mode), "a", 4)
    for messages in script.requests:
        payload = _anthropic_payload(messages)
        fh.validate(payload, "anthropic")
        assert payload[0]["role"] == "user" and _tokens(messages) <= BUDGET
    # The question the session opened with is held.
    assert all(question(0) in repr(m) for m in script.requests)


@pytest.mark.parametrize("mode", ["trim", "conversation"])
def test_persist_rewrites_the_history(mode: str) -> None:
    script = Script()
    capability = ContextCapability(max_tokens=BUDGET, mode=mode, persist=True)
    history = _session(_agent(script, capability), "a", 4)
    assert any("[tool output elided" in str(p.content) for m in history for p in m.parts
               if isinstance(p, ToolReturnPart))
    for messages in script.requests:
        fh.validate(messages, "pydantic-ai")
        assert _tokens(messages) <= BUDGET
    if mode == "conversation":
        assert len(capability.context.sessions) == 1
        (session,) = [capability.context.sessions.peek(m.conversation_id) for m in history[:1]]
        assert "restarted" not in session.conversation.last_report  # the rewritten history is its own


@pytest.mark.parametrize("mode", ["trim", "conversation"])
def test_two_sessions_stay_isolated(mode: str) -> None:
    a, b = Script("a"), Script("b")
    capability = ContextCapability(max_tokens=BUDGET, mode=mode)  # one capability, two agents and histories
    agents = [_agent(script, capability) for script in (a, b)]

    async def both() -> None:
        async def one(agent: Agent, session: str) -> None:
            history: List[ModelMessage] = []
            for k in range(3):
                history = (await agent.run(question(k, session), message_history=history)).all_messages()
        await asyncio.gather(one(agents[0], "a"), one(agents[1], "b"))

    asyncio.run(both())
    assert all("[b]" not in repr(m) for m in a.requests) and all("[a]" not in repr(m) for m in b.requests)
    if mode == "conversation":
        assert len(capability.context.sessions) == 2


def _payloads(script: Script) -> List[Any]:
    return [_openai_payload(m) for m in script.requests]


def test_conversation_restarted_from_its_store_sends_identical_requests() -> None:
    straight = Script()
    _session(_agent(straight, mode="conversation"), "a", 4)
    store: Dict[str, Any] = {}
    first = Script()
    history = _session(_agent(first, mode="conversation", store=store), "a", 3)
    # A new process: the history and the store come back from JSON, with a new
    # capability, agent and model.
    history = ModelMessagesTypeAdapter.validate_json(ModelMessagesTypeAdapter.dump_json(history))
    store = json.loads(json.dumps(store))
    again = Script(calls=first.calls)
    _session(_agent(again, mode="conversation", store=store), "a", [3], history=history)
    assert _payloads(again) == _payloads(straight)[-CALLS_PER_QUESTION:]
    # Without the store the session starts from the history: valid, but not the same requests.
    other = Script(calls=first.calls)
    _session(_agent(other, mode="conversation"), "a", [3], history=history)
    assert _payloads(other) != _payloads(straight)[-CALLS_PER_QUESTION:]


def test_conversation_starts_over_on_a_rewritten_history() -> None:
    script = Script()
    capability = ContextCapability(max_tokens=BUDGET, mode="conversation")
    agent = _agent(script, capability)
    history = _session(agent, "a", 2)
    # The app keeps only the last answer (a summary would do the same).
    _session(agent, "a", [5], history=history[-1:])
    after = script.requests[2 * CALLS_PER_QUESTION]
    assert question(0) not in repr(after) and question(5) in repr(after)
    fh.validate(after, "pydantic-ai")
    (session,) = [capability.context.sessions.peek(m.conversation_id) for m in history[:1]]
    assert session.keys[0] == message_key(history[-1])  # taken from the kept answer on


@pytest.mark.parametrize("ratio", [1.4, 0.7])
def test_conversation_learns_from_the_reported_usage(ratio: float) -> None:
    script = Script(usage_ratio=ratio)
    capability = ContextCapability(max_tokens=BUDGET, mode="conversation")
    history = _session(_agent(script, capability), "a", 3)
    (session,) = [capability.context.sessions.peek(k) for k in {m.conversation_id for m in history}]
    learnt = session.conversation.usage_ratio
    assert (learnt > 1.1) if ratio > 1 else (learnt < 0.9)
    # Budgeted with the provider's count, once learnt: a provider that counts more
    # gets smaller requests than one that counts as the estimate does, within 10%
    # of the budget as it counts them.
    plain = Script()
    _session(_agent(plain, mode="conversation"), "a", 3)
    if ratio > 1:
        largest = max(_tokens(m) for m in script.requests[CALLS_PER_QUESTION:])
        assert largest < max(_tokens(m) for m in plain.requests[CALLS_PER_QUESTION:])
        assert largest * ratio <= BUDGET * 1.1


@pytest.mark.parametrize("mode, provider", [("trim", "openai"), ("conversation", "anthropic")])
@pytest.mark.parametrize("overflows, raises", [(1, False), (2, True)])
def test_context_overflow_retries_once_smaller(mode: str, provider: str, overflows: int, raises: bool) -> None:
    script = Script()
    agent = _agent(script, mode=mode)
    history = _session(agent, "a", 2)
    script.overflows = overflows
    script.overflow_as = provider
    if raises:
        with pytest.raises(ContextOverflow) as info:
            agent.run_sync(question(2), message_history=history)
        assert info.value.tokens_sent[1] < info.value.tokens_sent[0]
        assert info.value.budgets[1] < info.value.budgets[0]
    else:
        agent.run_sync(question(2), message_history=history)
        retried = script.requests[2 * CALLS_PER_QUESTION]
        fh.validate(retried, "pydantic-ai")
        assert _tokens(retried) <= int(BUDGET * 0.75) + fh.estimate_tokens(INSTRUCTIONS)


def _history() -> List[ModelMessage]:
    return [
        ModelRequest(parts=[UserPromptPart("q")]),
        ModelResponse(parts=[TextPart("let me look"), ToolCallPart("read_log", {"turn": 1}, tool_call_id="c1"),
                             ToolCallPart("read_log", '{"turn": 2}', tool_call_id="c2")]),
        ModelRequest(parts=[ToolReturnPart("read_log", "x" * 8000, tool_call_id="c1"),
                            ToolReturnPart("read_log", {"rows": list(range(2000))}, tool_call_id="c2")]),
        ModelResponse(parts=[TextPart("done")]),
        ModelRequest(parts=[UserPromptPart("next")]),
    ]


@pytest.mark.parametrize("tool_results", ["elide", "drop"])
def test_trim_makes_copies_and_keeps_pairs(tool_results: str) -> None:
    history = _history()
    snapshot = [dataclasses.replace(m) for m in history]
    result = fh.trim(history, format="pydantic-ai", max_tokens=60, tool_results=tool_results)
    fh.validate(result.messages, "pydantic-ai")
    assert history == snapshot and history[2].parts[0].content == "x" * 8000  # never mutated
    if tool_results == "elide":
        parts = result.messages[2].parts
        assert [p.tool_call_id for p in parts] == ["c1", "c2"]
        assert all(p.content.startswith("[tool output elided") for p in parts)
    else:
        assert all(not isinstance(p, (ToolCallPart, ToolReturnPart)) for m in result.messages for p in m.parts)


@pytest.mark.parametrize(
    "broken, message",
    [
        (lambda h: h[:2] + h[3:], "call without its result"),
        (lambda h: [h[0], h[2], h[3]], "orphan tool result"),
    ],
)
def test_validate_refuses_broken_pairs(broken: Any, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        fh.validate(broken(_history()), "pydantic-ai")
