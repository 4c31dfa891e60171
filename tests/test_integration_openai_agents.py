"""fenwa_host.integrations.openai_agents on the Agents SDK's own run loop, with a
scripted model built on its Model interface."""

from __future__ import annotations

import asyncio
import copy
from typing import Any, List

import pytest

agents = pytest.importorskip("agents")

from agents import Agent, RunConfig, Runner, function_tool  # noqa: E402
from agents.run_config import CallModelData, ModelInputData  # noqa: E402
from agents.items import ItemHelpers, ModelResponse  # noqa: E402
from agents.models.chatcmpl_converter import Converter  # noqa: E402
from agents.models.interface import Model  # noqa: E402
from agents.usage import Usage  # noqa: E402
from openai.types.responses import (  # noqa: E402
    ResponseFunctionToolCall,
    ResponseOutputMessage,
    ResponseOutputText,
    ResponseReasoningItem,
)

import fenwa_host as fh  # noqa: E402
from fenwa_host.integrations import ContextOverflow  # noqa: E402
from fenwa_host.integrations.openai_agents import input_filter  # noqa: E402

from agent_script import BUDGET, CALLS_PER_QUESTION, QUESTIONS, answer, question, tool_output  # noqa: E402

INSTRUCTIONS = "You answer questions about the repository, using the read_log tool. " * 8


@function_tool
def read_log(turn: int) -> str:
    """Read the log of one turn."""
    return tool_output(turn)


def _tokens(items: List[Any], instructions: str) -> int:
    return fh.trim(items, format="openai-responses", max_tokens=2**62).tokens_before + fh.estimate_tokens(instructions)


class ScriptedModel(Model):
    """Answers by the script: per question, tool calls (each after a reasoning
    item), then a message; it records every request it receives."""

    def __init__(self, session: str, reasoning: bool = True, usage_ratio: float = 1.0) -> None:
        self.session = session
        self.reasoning = reasoning
        self.usage_ratio = usage_ratio  # the input tokens it reports per estimated one
        self.overflows = 0  # refuse this many calls as too long
        self.requests: List[List[Any]] = []
        self.instructions: List[str] = []
        self.calls = 0

    async def get_response(self, system_instructions, input, model_settings, tools, output_schema,
                           handoffs, tracing, *, previous_response_id=None, conversation_id=None,
                           prompt=None, **_: Any) -> ModelResponse:
        items = ItemHelpers.input_to_new_input_list(input)
        if self.overflows:
            self.overflows -= 1
            raise _overflow()
        self.requests.append(copy.deepcopy(items))
        self.instructions.append(system_instructions or "")
        n = self.calls
        self.calls += 1
        step = n % CALLS_PER_QUESTION
        k = n // CALLS_PER_QUESTION
        out: List[Any] = []
        if step < CALLS_PER_QUESTION - 1:
            if self.reasoning:
                out.append(ResponseReasoningItem(id=f"rs_{self.session}_{n}", type="reasoning", summary=[]))
            out.append(ResponseFunctionToolCall(
                id=f"fc_{self.session}_{n}", call_id=f"call_{self.session}_{n}", type="function_call",
                name="read_log", arguments=f'{{"turn": {n}}}',
            ))
        else:
            out.append(ResponseOutputMessage(
                id=f"msg_{self.session}_{n}", type="message", role="assistant", status="completed",
                content=[ResponseOutputText(type="output_text", text=answer(k, self.session), annotations=[])],
            ))
        tokens = int(_tokens(items, system_instructions or "") * self.usage_ratio)
        usage = Usage(requests=1, input_tokens=tokens, output_tokens=20, total_tokens=0)
        return ModelResponse(output=out, usage=usage, response_id=f"resp_{self.session}_{n}")

    def stream_response(self, *args: Any, **kwargs: Any) -> Any:  # pragma: no cover - not streamed
        raise NotImplementedError


def _overflow() -> Exception:
    import httpx
    import openai

    response = httpx.Response(400, request=httpx.Request("POST", "https://api.openai.com/v1/responses"))
    message = "Your input exceeds the context window of this model."
    return openai.BadRequestError(message, response=response,
                                  body={"error": {"code": "context_length_exceeded", "message": message}})


async def _session(model: ScriptedModel, config: RunConfig, context: Any, questions: Any = QUESTIONS,
                   hooks: Any = None, history: Any = None) -> List[Any]:
    agent = Agent(name="repo", instructions=INSTRUCTIONS, model=model, tools=[read_log])
    history = list(history or [])
    for k in range(questions) if isinstance(questions, int) else questions:
        result = await Runner.run(agent, history + [{"role": "user", "content": question(k, model.session)}],
                                  run_config=config, context=context, max_turns=CALLS_PER_QUESTION + 1,
                                  hooks=hooks)
        history = result.to_input_list()
    return history


def _check_requests(model: ScriptedModel, chat: bool) -> None:
    assert len(model.requests) == QUESTIONS * CALLS_PER_QUESTION
    for items, instructions in zip(model.requests, model.instructions):
        assert instructions == INSTRUCTIONS  # returned unchanged
        fh.validate(items, "openai-responses")
        if chat:
            # The SDK's own Chat Completions converter: what a chat model would be sent.
            fh.validate(Converter.items_to_messages(items), "openai")
        assert _tokens(items, instructions) <= BUDGET
        # The newest question is always there.
        assert any(isinstance(i, dict) and i.get("role") == "user" for i in items)


@pytest.mark.parametrize("mode", ["trim", "conversation"])
def test_scripted_agent_stays_valid_and_within_budget(mode: str) -> None:
    model = ScriptedModel("a")
    config = RunConfig(call_model_input_filter=input_filter(max_tokens=BUDGET, mode=mode))
    asyncio.run(_session(model, config, context={"user": "a"} if mode == "trim" else None))
    _check_requests(model, chat=True)
    # The history did need trimming: the full history is far over the budget.
    full = model.requests[-1]
    assert sum(len(str(i)) for i in full) < 40 * 2000


def test_two_sessions_stay_isolated_in_conversation_mode() -> None:
    class Ctx:  # one context object per user, as hosts pass them
        def __init__(self, user: str) -> None:
            self.user = user

    flt = input_filter(max_tokens=BUDGET, mode="conversation")
    config = RunConfig(call_model_input_filter=flt)
    a, b = ScriptedModel("a"), ScriptedModel("b")

    async def both() -> None:
        await asyncio.gather(_session(a, config, Ctx("a"), 3), _session(b, config, Ctx("b"), 3))

    asyncio.run(both())
    assert len(flt.sessions) == 2
    for model, other in ((a, "[b]"), (b, "[a]")):
        for items in model.requests:
            assert other not in repr(items)


def test_session_that_limits_its_items_is_synced_by_key_not_position() -> None:
    flt = input_filter(max_tokens=BUDGET, mode="conversation")
    model = ScriptedModel("a", reasoning=False)
    agent = Agent(name="repo", instructions="short", model=model, tools=[read_log])
    config = RunConfig(call_model_input_filter=flt)

    async def run() -> None:
        history: List[Any] = []
        for k in range(4):
            # A session that keeps only its last 12 items, as SDK sessions with a limit do.
            history = history[-12:]
            result = await Runner.run(agent, history + [{"role": "user", "content": question(k)}],
                                      run_config=config, max_turns=CALLS_PER_QUESTION + 1)
            history = result.to_input_list()

    asyncio.run(run())
    for n, items in enumerate(model.requests):
        users = [i["content"] for i in items if isinstance(i, dict) and i.get("role") == "user"]
        # The question being answered is the newest user item of every request.
        assert users[-1] == question(n // CALLS_PER_QUESTION)


HOSTED_ITEMS = [
    {"type": "web_search_call", "id": "ws_1", "status": "completed", "action": {"type": "search", "query": "q"}},
    {"type": "file_search_call", "id": "fs_1", "status": "completed", "queries": ["q"], "results": None},
    {"type": "mcp_call", "id": "mcp_1", "server_label": "s", "name": "n", "arguments": "{}", "output": "x" * 3000},
    {"type": "custom_tool_call", "id": "ctc_1", "call_id": "ct_1", "name": "patch", "input": "diff " * 400},
    {"type": "custom_tool_call_output", "call_id": "ct_1", "output": "ok " * 1500},
    {"type": "item_reference", "id": "ref_1"},
]


def test_hosted_tool_items_are_kept_valid_not_raised_on() -> None:
    """A history holding hosted and custom tool items goes through the filter."""
    try:
        fh.validate([{"role": "user", "content": "x"}, *HOSTED_ITEMS], "openai-responses")
    except ValueError as exc:  # the Responses adapter does not know these kinds yet
        pytest.skip(f"the Responses adapter refuses hosted items: {exc}")
    flt = input_filter(max_tokens=1500)
    items: List[Any] = []
    for k in range(6):
        items.append({"role": "user", "content": question(k)})
        items.extend(copy.deepcopy(HOSTED_ITEMS))
        items = [dict(i, id=f"{i['id']}_{k}") if "id" in i else dict(i) for i in items[:-len(HOSTED_ITEMS)]] + [
            dict(i, **({"id": f"{i['id']}_{k}"} if "id" in i else {}), **({"call_id": f"{i['call_id']}_{k}"} if "call_id" in i else {}))
            for i in HOSTED_ITEMS
        ]
    data = CallModelData(model_data=ModelInputData(input=items, instructions="be brief"),
                                agent=Agent(name="x"), context=None)
    out = flt(data)
    fh.validate(out.input, "openai-responses")
    assert _tokens(out.input, "be brief") <= 1500
    assert out.instructions == "be brief"


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"max_tokens": 0}, ValueError),
        ({"max_tokens": 100, "mode": "summarise"}, ValueError),
        ({"max_tokens": 100, "keep_last": 2}, TypeError),
        ({"max_tokens": 100, "purpose": "p"}, TypeError),  # purpose is for conversation mode
        ({"max_tokens": 100, "mode": "conversation", "stable_prefix": 2}, TypeError),  # trim's, not Conversation's
    ],
)
def test_bad_settings_are_refused_when_built(kwargs: Any, error: type) -> None:
    with pytest.raises(error):
        input_filter(**kwargs)


def _referenced_history() -> List[Any]:
    """Calls the server keeps, named by item_reference items, with their outputs
    inline: one call answered right after its reference, two made together."""
    return [
        {"role": "user", "content": "q"},
        {"type": "item_reference", "id": "msg_0"},  # a message, answers nothing
        {"role": "user", "content": "q2"},
        {"type": "item_reference", "id": "fc_1"},
        {"type": "item_reference", "id": "fc_2"},
        {"type": "function_call_output", "call_id": "call_1", "output": "x" * 9000},
        {"type": "function_call_output", "call_id": "call_2", "output": "y"},
        {"role": "user", "content": "next"},
        {"type": "item_reference", "id": "fc_3"},
        {"type": "function_call_output", "call_id": "call_3", "output": "z " * 3000},
        {"role": "user", "content": "last"},
    ]


#: Which reference each output goes with: in order within a run of references.
_REFERENCED = {"call_1": "fc_1", "call_2": "fc_2", "call_3": "fc_3"}


@pytest.mark.parametrize("tool_results", ["elide", "drop"])
@pytest.mark.parametrize("budget", [5000, 200, 40, 5])
def test_outputs_of_referenced_calls_stay_with_their_reference(budget: int, tool_results: str) -> None:
    history = _referenced_history()
    fh.validate(history, "openai-responses")
    out = fh.trim(history, format="openai-responses", max_tokens=budget, tool_results=tool_results).messages
    fh.validate(out, "openai-responses")
    kept = {i.get("id") for i in out if i.get("type") == "item_reference"}
    for item in out:
        if item.get("type") == "function_call_output":
            assert _REFERENCED[item["call_id"]] in kept
    for cid, ref in _REFERENCED.items():  # and no reference of a call is left without its output
        if ref in kept:
            assert any(i.get("call_id") == cid for i in out)
    assert out[-1] == history[-1]


@pytest.mark.parametrize(
    "history",
    [
        [{"role": "user", "content": "q"}, {"type": "function_call_output", "call_id": "c1", "output": "x"}],
        [{"type": "function_call_output", "call_id": "c1", "output": "x"}, {"type": "item_reference", "id": "fc_1"}],
        [{"type": "item_reference", "id": "fc_1"}, {"type": "function_call_output", "call_id": "c1", "output": "x"},
         {"type": "function_call_output", "call_id": "c2", "output": "x"}],  # two outputs, one reference
    ],
    ids=["no-reference", "reference-after", "more-outputs-than-references"],
)
def test_outputs_without_a_call_or_reference_are_refused(history: List[Any]) -> None:
    with pytest.raises(ValueError, match="orphan tool result"):
        fh.validate(history, "openai-responses")


@pytest.mark.parametrize("mode", ["trim", "conversation"])
@pytest.mark.parametrize("overflows, raises", [(0, False), (1, False), (2, True)])
def test_context_overflow_retries_once_smaller(mode: str, overflows: int, raises: bool) -> None:
    model = ScriptedModel("a")
    flt = input_filter(max_tokens=BUDGET, mode=mode)
    config = flt.run_config()
    history = asyncio.run(_session(model, config, None, 2))
    model.overflows = overflows
    before = len(model.requests)
    if raises:
        with pytest.raises(ContextOverflow) as info:
            asyncio.run(_session(model, config, None, [2], history=history))
        assert info.value.tokens_sent[1] < info.value.tokens_sent[0]
        assert info.value.budgets[1] < info.value.budgets[0]
        return
    asyncio.run(_session(model, config, None, [2], history=history))
    retried = model.requests[before]
    fh.validate(retried, "openai-responses")
    limit = int(BUDGET * 0.75) if overflows else BUDGET
    assert _tokens(retried, "") <= limit
    assert len(model.requests) == before + CALLS_PER_QUESTION  # the run went on


def test_retry_settings_leave_other_errors_to_the_applications_policy() -> None:
    from agents.retry import RetryDecision

    seen: List[Any] = []

    def policy(context: Any) -> Any:
        seen.append(context.error)
        return RetryDecision(retry=False)

    flt = input_filter(max_tokens=BUDGET)
    settings = flt.retry_settings(policy=policy)

    class Context:
        error = RuntimeError("rate limited")

    assert settings.policy(Context()).retry is False and len(seen) == 1
    Context.error = _overflow()  # an overflow outside a filtered call: not this filter's to retry
    assert settings.policy(Context()).retry is False and len(seen) == 2


@pytest.mark.parametrize("ratio", [1.4, 0.7])
def test_conversation_learns_from_the_reported_usage_through_the_hooks(ratio: float) -> None:
    model = ScriptedModel("a", usage_ratio=ratio)
    flt = input_filter(max_tokens=BUDGET, mode="conversation")
    asyncio.run(_session(model, flt.run_config(), None, 3, hooks=flt.hooks()))
    learnt = flt.conversation(None).usage_ratio  # runs without a context share the key None
    assert (learnt > 1.1) if ratio > 1 else (learnt < 0.9)
    # Without the hooks nothing is reported.
    plain = input_filter(max_tokens=BUDGET, mode="conversation")
    asyncio.run(_session(ScriptedModel("a", usage_ratio=ratio), RunConfig(call_model_input_filter=plain), None, 1))
    assert plain.conversation(None).usage_ratio == 1.0


@pytest.mark.parametrize("steps, raises", [(1, False), (2, True)])
def test_overflow_retry_on_the_sdks_own_scripted_model(steps: int, raises: bool) -> None:
    """The SDK's ScriptedModel copies the model settings of every call (the retry
    policy with them); the retry reaches the filter all the same."""
    from agents.testing import ScriptedModel as SDKScriptedModel, assistant_message

    model = SDKScriptedModel([_overflow() for _ in range(steps)] + [[assistant_message("hello")]])
    items: List[Any] = []
    for k in range(12):
        items += [{"role": "user", "content": question(k)},
                  {"type": "function_call", "call_id": f"c{k}", "name": "read_log", "arguments": "{}"},
                  {"type": "function_call_output", "call_id": f"c{k}", "output": tool_output(k)},
                  {"role": "assistant", "content": answer(k)}]
    items.append({"role": "user", "content": "and now?"})
    agent = Agent(name="repo", instructions="be brief", model=model)
    config = input_filter(max_tokens=BUDGET).run_config()
    if raises:
        with pytest.raises(ContextOverflow):
            Runner.run_sync(agent, items, run_config=config)
        return
    assert Runner.run_sync(agent, items, run_config=config).final_output == "hello"
    first, second = (ItemHelpers.input_to_new_input_list(c.input) for c in model.calls)
    assert _tokens(first, "be brief") <= BUDGET
    assert _tokens(second, "be brief") <= int(min(BUDGET, _tokens(first, "")) * 0.75) + 10
    fh.validate(second, "openai-responses")
