"""fenwa_host.integrations.pydantic_ai in pydantic-ai's own agent loop, on its
FunctionModel, and the "pydantic-ai" message format."""

from __future__ import annotations

import asyncio
import dataclasses
from typing import Any, List

import pytest

pydantic_ai = pytest.importorskip("pydantic_ai")

from pydantic_ai import Agent  # noqa: E402
from pydantic_ai.exceptions import ModelHTTPError  # noqa: E402
from pydantic_ai.messages import (  # noqa: E402
    ModelMessage,
    ModelRequest,
    ModelResponse,
    TextPart,
    ThinkingPart,
    ToolCallPart,
    ToolReturnPart,
    UserPromptPart,
)
from pydantic_ai.models import ModelRequestParameters  # noqa: E402
from pydantic_ai.models.function import AgentInfo, FunctionModel  # noqa: E402

import fenwa_host as fh  # noqa: E402
from fenwa_host.integrations import ContextOverflow  # noqa: E402
from fenwa_host.integrations.pydantic_ai import ContextCapability  # noqa: E402

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


class Script:
    def __init__(self, session: str = "a", overflows: int = 0) -> None:
        self.session = session
        self.overflows = overflows
        self.requests: List[List[ModelMessage]] = []
        self.calls = 0

    def __call__(self, messages: List[ModelMessage], info: AgentInfo) -> ModelResponse:
        if self.overflows:
            self.overflows -= 1
            raise ModelHTTPError(400, "gpt-4o", body={"error": {"code": "context_length_exceeded"}})
        self.requests.append(list(messages))
        n = self.calls
        self.calls += 1
        if n % CALLS_PER_QUESTION < CALLS_PER_QUESTION - 1:
            return ModelResponse(parts=[
                ThinkingPart(content=f"look at turn {n}"),
                ToolCallPart("read_log", {"turn": n}, tool_call_id=f"call_{self.session}_{n}"),
            ])
        return ModelResponse(parts=[TextPart(answer(n // CALLS_PER_QUESTION, self.session))])


def _agent(script: Script, **options: Any) -> Agent:
    agent = Agent(FunctionModel(script), instructions=INSTRUCTIONS,
                  capabilities=[ContextCapability(max_tokens=BUDGET, **options)])

    @agent.tool_plain
    def read_log(turn: int) -> str:
        """Read the log of one turn."""
        return tool_output(turn)

    return agent


def _tokens(messages: List[ModelMessage]) -> int:
    return fh.trim(messages, format="pydantic-ai", max_tokens=2**62).tokens_before + fh.estimate_tokens(INSTRUCTIONS)


def _session(agent: Agent, session: str, questions: int = QUESTIONS, use_async: bool = False) -> List[ModelMessage]:
    history: List[ModelMessage] = []
    for k in range(questions):
        if use_async:
            result = asyncio.run(agent.run(question(k, session), message_history=history))
        else:
            result = agent.run_sync(question(k, session), message_history=history)
        history = result.all_messages()
    return history


@pytest.mark.parametrize("use_async", [False, True], ids=["run_sync", "run"])
def test_scripted_agent_stays_valid_and_within_budget(use_async: bool) -> None:
    script = Script()
    history = _session(_agent(script), "a", use_async=use_async)
    assert len(script.requests) == QUESTIONS * CALLS_PER_QUESTION
    for messages in script.requests:
        fh.validate(_openai_payload(messages), "openai")
        fh.validate(messages, "pydantic-ai")
        assert _tokens(messages) <= BUDGET
    # Only the requests were edited: the run's history holds every tool output whole.
    returns = [p for m in history if isinstance(m, ModelRequest) for p in m.parts if isinstance(p, ToolReturnPart)]
    assert len(returns) == QUESTIONS * (CALLS_PER_QUESTION - 1)
    assert all(p.content == tool_output(int(p.tool_call_id.rsplit("_", 1)[1])) for p in returns)


def test_persist_rewrites_the_history() -> None:
    script = Script()
    history = _session(_agent(script, persist=True), "a", 3)
    assert any("[tool output elided" in str(p.content) for m in history for p in m.parts
               if isinstance(p, ToolReturnPart))


def test_two_sessions_stay_isolated() -> None:
    a, b = Script("a"), Script("b")
    capability = ContextCapability(max_tokens=BUDGET)  # one capability, two agents and histories
    agents = []
    for script in (a, b):
        agent = Agent(FunctionModel(script), instructions=INSTRUCTIONS, capabilities=[capability])
        agent.tool_plain(lambda turn: tool_output(turn), name="read_log")
        agents.append(agent)

    async def both() -> None:
        async def one(agent: Agent, session: str) -> None:
            history: List[ModelMessage] = []
            for k in range(2):
                history = (await agent.run(question(k, session), message_history=history)).all_messages()
        await asyncio.gather(one(agents[0], "a"), one(agents[1], "b"))

    asyncio.run(both())
    assert all("[b]" not in repr(m) for m in a.requests) and all("[a]" not in repr(m) for m in b.requests)


@pytest.mark.parametrize("overflows, raises", [(1, False), (2, True)])
def test_context_overflow_retries_once_smaller(overflows: int, raises: bool) -> None:
    script = Script()
    agent = _agent(script)
    history = _session(agent, "a", 2)
    script.overflows = overflows
    if raises:
        with pytest.raises(ContextOverflow) as info:
            agent.run_sync(question(2), message_history=history)
        assert info.value.tokens_sent[1] < info.value.tokens_sent[0]
    else:
        agent.run_sync(question(2), message_history=history)
        assert _tokens(script.requests[2 * CALLS_PER_QUESTION]) <= int(BUDGET * 0.75) + fh.estimate_tokens(INSTRUCTIONS)


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
