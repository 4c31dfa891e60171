"""fenwa_host.integrations.langchain in LangChain's own create_agent loop, with a
scripted chat model built on BaseChatModel."""

from __future__ import annotations

import asyncio
from typing import Any, List, Optional

import pytest

pytest.importorskip("langchain.agents")
lc_openai = pytest.importorskip("langchain_openai.chat_models.base")
lc_anthropic = pytest.importorskip("langchain_anthropic.chat_models")

from langchain.agents import create_agent  # noqa: E402
from langchain_core.callbacks import CallbackManagerForLLMRun  # noqa: E402
from langchain_core.language_models.chat_models import BaseChatModel  # noqa: E402
from langchain_core.messages import AIMessage, BaseMessage, HumanMessage, SystemMessage  # noqa: E402
from langchain_core.outputs import ChatGeneration, ChatResult  # noqa: E402
from langchain_core.tools import tool  # noqa: E402
from langgraph.checkpoint.memory import InMemorySaver  # noqa: E402

import fenwa_host as fh  # noqa: E402
from fenwa_host.integrations import ContextOverflow  # noqa: E402
from fenwa_host.integrations.langchain import STATE_KEY, ContextMiddleware, tools_text  # noqa: E402
from fenwa_host.trim import is_placeholder  # noqa: E402

from agent_script import BUDGET, CALLS_PER_QUESTION, QUESTIONS, answer, question, tool_output  # noqa: E402
from test_integration_core import _anthropic_error, _openai_error  # noqa: E402

SYSTEM = "You answer questions about the repository, using the read_log tool. " * 8


@tool
def read_log(turn: int) -> str:
    """Read the log of one turn."""
    return tool_output(turn)


class ScriptedChat(BaseChatModel):
    """Per question: four read_log calls, then an answer. `anthropic=True` shapes
    its messages as ChatAnthropic returns them (content blocks with tool_use) and
    names itself as an Anthropic model, so the middleware applies its rules."""

    session: str = "a"
    anthropic: bool = False
    overflow_first: int = 0  # refuse this many calls as too long
    overflow_as: str = "openai"  # with the error of this provider's SDK
    usage_ratio: float = 0.0  # report usage: this many provider tokens per counted one
    requests: List[List[BaseMessage]] = []
    systems: List[Optional[str]] = []
    calls: int = 0

    @property
    def _llm_type(self) -> str:
        return "anthropic-chat" if self.anthropic else "openai-chat"

    def bind_tools(self, tools: Any, **kwargs: Any) -> Any:
        return self

    def _generate(self, messages: List[BaseMessage], stop: Any = None,
                  run_manager: Optional[CallbackManagerForLLMRun] = None, **kwargs: Any) -> ChatResult:
        if self.overflow_first > 0:
            self.overflow_first -= 1
            if self.overflow_as == "anthropic":
                raise _anthropic_error("prompt is too long: 210000 tokens > 200000 maximum")
            raise _openai_error("context_length_exceeded", "This model's maximum context length is 128000 tokens")
        system = [m for m in messages if isinstance(m, SystemMessage)]
        rest = [m for m in messages if not isinstance(m, SystemMessage)]
        self.requests = [*self.requests, rest]
        self.systems = [*self.systems, "\n\n".join(m.text for m in system) if system else None]
        n = self.calls
        self.calls += 1
        k = n // CALLS_PER_QUESTION
        if n % CALLS_PER_QUESTION < CALLS_PER_QUESTION - 1:
            cid = f"call_{self.session}_{n}"
            args = {"turn": n}
            if self.anthropic:
                content: Any = [{"type": "text", "text": "Reading the log."},
                                {"type": "tool_use", "id": cid, "name": "read_log", "input": args}]
            else:
                content = ""
            message = AIMessage(content=content, id=f"ai_{self.session}_{n}",
                                tool_calls=[{"name": "read_log", "args": args, "id": cid, "type": "tool_call"}])
        else:
            message = AIMessage(content=answer(k, self.session), id=f"ai_{self.session}_{n}")
        if self.usage_ratio:
            counted = fh.count_tokens(messages, format="langchain")
            tokens = int(counted * self.usage_ratio)
            message.usage_metadata = {"input_tokens": tokens, "output_tokens": 10, "total_tokens": tokens + 10}
        return ChatResult(generations=[ChatGeneration(message=message)])


def _payload_tokens(messages: List[BaseMessage], system: Optional[str]) -> int:
    return (fh.trim(messages, format="langchain", max_tokens=2**62).tokens_before
            + (fh.estimate_tokens(system) if system else 0) + fh.estimate_tokens(tools_text([read_log])))


def _check(model: ScriptedChat) -> None:
    assert len(model.requests) == QUESTIONS * CALLS_PER_QUESTION
    for messages, system in zip(model.requests, model.systems):
        assert system is not None and system.startswith(SYSTEM)
        if model.anthropic:
            # ChatAnthropic's own converter, then the Anthropic rules.
            _, payload = lc_anthropic._format_messages(messages, model="claude-sonnet-4-5")
            fh.validate(payload, "anthropic")
        else:
            payload = [lc_openai._convert_message_to_dict(m) for m in messages]
            fh.validate(payload, "openai")
        beside = fh.estimate_tokens(system) + fh.estimate_tokens(tools_text([read_log]))
        # Within the budget as counted, and within 5% of it counted as the provider receives it.
        assert fh.count_tokens(messages, format="langchain") + beside <= BUDGET
        fmt = "anthropic" if model.anthropic else "openai"
        assert fh.count_tokens(payload, format=fmt) + beside <= BUDGET * 1.05
        assert isinstance(messages[-1], (HumanMessage,)) or messages[-1].type in ("tool", "human")


def _agent(model: ScriptedChat, **options: Any) -> Any:
    return create_agent(model, [read_log], system_prompt=SYSTEM,
                        middleware=[ContextMiddleware(max_tokens=BUDGET, **options)], checkpointer=InMemorySaver())


def _run(agent: Any, session: str, questions: int = QUESTIONS, use_async: bool = False) -> None:
    config = {"configurable": {"thread_id": session}, "recursion_limit": 100}
    for k in range(questions):
        payload = {"messages": [HumanMessage(question(k, session))]}
        if use_async:
            asyncio.run(agent.ainvoke(payload, config))
        else:
            agent.invoke(payload, config)


@pytest.mark.parametrize("anthropic", [False, True], ids=["openai-shaped", "anthropic-shaped"])
@pytest.mark.parametrize("use_async", [False, True], ids=["invoke", "ainvoke"])
def test_scripted_agent_stays_valid_and_within_budget(anthropic: bool, use_async: bool) -> None:
    model = ScriptedChat(session="a", anthropic=anthropic)
    _run(_agent(model), "a", use_async=use_async)
    _check(model)


def test_two_threads_stay_isolated() -> None:
    model = ScriptedChat(session="a")
    agent = _agent(model)
    _run(agent, "a", 2)
    model.session = "b"
    _run(agent, "b", 2)
    for messages in model.requests[2 * CALLS_PER_QUESTION:]:
        assert "[a]" not in "".join(str(m.content) for m in messages)


@pytest.mark.parametrize("provider", ["openai", "anthropic"])
@pytest.mark.parametrize("refusals, raises", [(1, False), (2, True)])
def test_context_overflow_retries_once_smaller(refusals: int, raises: bool, provider: str) -> None:
    model = ScriptedChat(session="a", overflow_as=provider)
    agent = _agent(model)
    _run(agent, "a", 2)
    model.overflow_first = refusals
    before = len(model.requests)
    if raises:
        with pytest.raises(ContextOverflow) as info:
            _run(agent, "a", 1)
        first, second = info.value.tokens_sent
        assert second < first and info.value.budgets[1] < info.value.budgets[0]
    else:
        _run(agent, "a", 1)
        assert len(model.requests) > before
        # The retried request was trimmed to a smaller budget than the budget itself.
        retried = model.requests[before]
        assert _payload_tokens(retried, SYSTEM) <= BUDGET


def test_provider_option_overrides_the_model() -> None:
    model = ScriptedChat(session="a")  # an OpenAI-shaped model, sent as to Anthropic
    _run(_agent(model, provider="anthropic"), "a", 3)
    for messages in model.requests:
        assert messages[0].type == "human"


def _payloads(model: ScriptedChat) -> List[Any]:
    return [[lc_openai._convert_message_to_dict(m) for m in r] for r in model.requests]


@pytest.mark.parametrize("anthropic", [False, True], ids=["openai-shaped", "anthropic-shaped"])
def test_conversation_mode_stays_valid_and_within_budget(anthropic: bool) -> None:
    model = ScriptedChat(session="a", anthropic=anthropic)
    _run(_agent(model, mode="conversation", purpose="Answer questions about the repository."), "a",
         use_async=anthropic)
    _check(model)


def test_conversation_mode_keeps_threads_apart_and_in_the_state() -> None:
    model = ScriptedChat(session="a")
    agent = _agent(model, mode="conversation")
    _run(agent, "a", 2)
    model.session = "b"
    _run(agent, "b", 2)
    for messages in model.requests[2 * CALLS_PER_QUESTION:]:
        assert "[a]" not in "".join(str(m.content) for m in messages)
    for thread in ("a", "b"):
        stored = agent.get_state({"configurable": {"thread_id": thread}}).values[STATE_KEY]
        assert stored["keys"] and fh.Conversation.from_dict(stored["conversation"])


def test_conversation_mode_restarted_from_checkpoint_sends_identical_requests() -> None:
    straight = ScriptedChat(session="a")
    _run(_agent(straight, mode="conversation"), "a", 4)
    saver = InMemorySaver()
    first = ScriptedChat(session="a")
    config = {"configurable": {"thread_id": "a"}, "recursion_limit": 100}

    def agent_for(model: ScriptedChat) -> Any:
        return create_agent(model, [read_log], system_prompt=SYSTEM, checkpointer=saver,
                            middleware=[ContextMiddleware(max_tokens=BUDGET, mode="conversation")])

    for k in range(3):
        agent_for(first).invoke({"messages": [HumanMessage(question(k))]}, config)
    # A new process: new agent, middleware and model over the same checkpoints.
    again = ScriptedChat(session="a", calls=first.calls)
    agent_for(again).invoke({"messages": [HumanMessage(question(3))]}, config)
    assert _payloads(again) == _payloads(straight)[-CALLS_PER_QUESTION:]


def test_conversation_mode_starts_over_on_a_rewritten_state() -> None:
    from langchain_core.messages import RemoveMessage

    model = ScriptedChat(session="a")
    agent = _agent(model, mode="conversation")
    _run(agent, "a", 2)
    config = {"configurable": {"thread_id": "a"}}
    state = agent.get_state(config).values["messages"]
    agent.update_state(config, {"messages": [RemoveMessage(id=m.id) for m in state[:-1]]})
    agent.invoke({"messages": [HumanMessage(question(5))]}, {**config, "recursion_limit": 100})
    # The first request after the rewrite holds nothing of what was removed.
    after = model.requests[2 * CALLS_PER_QUESTION]
    assert question(0) not in "".join(str(m.content) for m in after)
    assert [m.content for m in after] == [state[-1].content, question(5)]


def test_conversation_mode_learns_from_the_reported_usage() -> None:
    model = ScriptedChat(session="a", usage_ratio=1.3)
    agent = _agent(model, mode="conversation")
    _run(agent, "a", 3)
    stored = agent.get_state({"configurable": {"thread_id": "a"}}).values[STATE_KEY]
    assert fh.Conversation.from_dict(stored["conversation"]).usage_ratio > 1.02  # 1.0 without the reports


@pytest.mark.parametrize("with_ids", [False, True], ids=["no ids", "ids"])
def test_conversation_mode_maps_the_request_back_to_the_callers_messages(with_ids: bool) -> None:
    """Messages a caller built need not carry ids: each sent message is still the
    caller's own object (or a copy of that one), in the Conversation's order."""
    from langchain.agents.middleware.types import ModelRequest
    from langchain_core.messages import ToolMessage

    messages: List[BaseMessage] = []
    for k in range(6):
        messages.append(HumanMessage(question(k), id=f"h{k}" if with_ids else None))
        for s in range(2):
            cid = f"call_{k}_{s}"
            messages.append(AIMessage("", tool_calls=[{"name": "read_log", "args": {"turn": s}, "id": cid}],
                                      id=f"a{k}{s}" if with_ids else None))
            messages.append(ToolMessage(tool_output(4 * k + s), tool_call_id=cid, id=f"t{k}{s}" if with_ids else None))
        messages.append(AIMessage(answer(k, "a"), id=f"r{k}" if with_ids else None))
    middleware = ContextMiddleware(max_tokens=BUDGET, mode="conversation")
    model = ScriptedChat()
    for end in (len(messages) - 3, len(messages)):
        request = ModelRequest(model=model, messages=messages[:end], system_message=SystemMessage(SYSTEM),
                               tools=[read_log], state={"messages": messages[:end]})
        sent, _ = middleware.context.converse(request)
        positions = []
        for got in sent.messages:
            same = [i for i, m in enumerate(messages[:end]) if m is got]
            if same:
                positions += same
            else:  # a copy: an elided result, or a call message without some calls
                assert got.type == "tool" and is_placeholder(got.content) or got.type == "ai"
        assert positions == sorted(set(positions)) and len(positions) >= 2
        fh.validate(sent.messages, format="langchain")
