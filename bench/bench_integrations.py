"""The cost of each framework integration per model call, against `trim` of the
same history to the same result: the budget less what is sent beside the list,
with the newest user message held and no turn pinned whole (what the
integrations do unless `keep_last_turns` is given).

The history is an agent session of 40 questions, each with four tool calls whose
outputs run from 2 to 20 KB, in the framework's own message types; the budget is
6,000 tokens. The "conversation" rows time one model call in that mode: a
session that has taken all but the newest items (a call and its result, the
answer) takes them and makes its request. Every framework that is not installed
is skipped.
"""
from __future__ import annotations

import json

from _timing import interleaved

BUDGET = 6000
QUESTIONS = 40
STEPS = 4
SYSTEM = "You answer questions about the repository, using the read_log tool. " * 8


def _output(turn):
    size = 2000 + (turn * 3719) % 18000
    if turn % 3 == 0:
        line = f"2026-12-09T04:{turn % 60:02d}:00 WARN cache miss for key user:{turn}\n"
        return (line * (size // len(line) + 1))[:size]
    rows, i = [], 0
    while sum(len(r) for r in rows) < size:
        rows.append(json.dumps({"turn": turn, "row": i, "path": f"src/m{turn}/f{i}.py"}))
        i += 1
    return "\n".join(rows)[:size]


def _script():
    """(question, [(call_id, args, output)], answer) per question."""
    for k in range(QUESTIONS):
        calls = [(f"call_{k}_{s}", {"turn": k * STEPS + s}, _output(k * STEPS + s)) for s in range(STEPS)]
        yield f"question {k}: what does module m{k} log?", calls, f"module m{k} logs a WARN line per miss."


def _responses_items():
    items = []
    for q, calls, a in _script():
        items.append({"role": "user", "content": q})
        for cid, args, out in calls:
            items.append({"type": "reasoning", "id": f"rs_{cid}", "summary": []})
            items.append({"type": "function_call", "id": f"fc_{cid}", "call_id": cid, "name": "read_log",
                          "arguments": json.dumps(args)})
            items.append({"type": "function_call_output", "call_id": cid, "output": out})
        items.append({"type": "message", "role": "assistant", "id": f"msg_{q[:12]}",
                      "content": [{"type": "output_text", "text": a, "annotations": []}]})
    return items


def _langchain_messages():
    from langchain_core.messages import AIMessage, HumanMessage, ToolMessage

    out = []
    for q, calls, a in _script():
        out.append(HumanMessage(q))
        for cid, args, result in calls:
            out.append(AIMessage("", tool_calls=[{"name": "read_log", "args": args, "id": cid, "type": "tool_call"}]))
            out.append(ToolMessage(result, tool_call_id=cid))
        out.append(AIMessage(a))
    return out


def _pydantic_messages():
    from pydantic_ai.messages import ModelRequest, ModelResponse, TextPart, ToolCallPart, ToolReturnPart, UserPromptPart

    out = []
    for q, calls, a in _script():
        pending = [UserPromptPart(q)]
        for cid, args, result in calls:
            out.append(ModelRequest(parts=pending))
            out.append(ModelResponse(parts=[ToolCallPart("read_log", args, tool_call_id=cid)]))
            pending = [ToolReturnPart("read_log", result, tool_call_id=cid)]
        out.append(ModelRequest(parts=pending))
        out.append(ModelResponse(parts=[TextPart(a)]))
    out.append(ModelRequest(parts=[UserPromptPart("and now?")]))
    return out


def _same_trim(messages, fmt, beside_text=""):
    """The baseline: `trim` with the integration's effective options."""
    import fenwa_host as fh
    from fenwa_host.integrations._core import _newest_user_pinned

    options = _newest_user_pinned(messages, fmt, {})
    budget = BUDGET - (fh.estimate_tokens(beside_text) if beside_text else 0)
    return lambda: fh.trim(messages, format=fmt, max_tokens=budget, **options)


_CONVERSATION_NOTE = "a model call of a session holding all but its newest items"


class _Run:
    """The part of a run context the pydantic-ai capability reads."""

    conversation_id = "bench"
    run_id = "bench"
    messages: list = []


def _fresh(make, number, repeat):
    """A call that takes one of `number * repeat` integrations made beforehand
    (by `make`, each holding a session that has taken all but the newest items)
    and makes its model call: each timed call brings new items, as in a run."""
    pool = iter([make() for _ in range(number * repeat)])
    return lambda call: (lambda: call(next(pool)))


def _row(name, ours, baseline, note=""):
    return {"benchmark": f"integration: {name}", "ours_s": ours, "baseline": "trim, same history",
            "ratio": ours / baseline, "kind": "cost", "target": "<= 1.5x", "note": note}


def _skipped(name, why):
    return {"benchmark": f"integration: {name}", "ours_s": float("nan"), "baseline": "trim, same history",
            "ratio": float("nan"), "kind": "cost", "target": "<= 1.5x", "note": f"skipped: {why}"}


def run(quick=False):
    import fenwa_host as fh

    repeat = 3 if quick else 11
    rows = []

    try:
        from agents import Agent
        from agents.run_config import CallModelData, ModelInputData

        from fenwa_host.integrations.openai_agents import input_filter
    except ImportError as exc:
        rows.append(_skipped("openai-agents input_filter", exc))
    else:
        items = _responses_items()
        flt = input_filter(max_tokens=BUDGET)
        data = CallModelData(model_data=ModelInputData(input=items, instructions=SYSTEM), agent=Agent(name="b"),
                             context=None)
        before = CallModelData(model_data=ModelInputData(input=items[:-4], instructions=SYSTEM),
                               agent=Agent(name="b"), context=None)

        def conversation():
            made = input_filter(max_tokens=BUDGET, mode="conversation")
            made(before)
            return made

        ours, mode, base = interleaved([
            (lambda: flt(data), 8),
            (_fresh(conversation, 8, repeat)(lambda made: made(data)), 8),
            (_same_trim(items, "openai-responses", SYSTEM), 8),
        ], repeat)
        rows.append(_row("openai-agents input_filter", ours, base, f"{len(items)} Responses items"))
        rows.append(_row("openai-agents input_filter, conversation", mode, base, _CONVERSATION_NOTE))

    try:
        from langchain.agents.middleware.types import ModelRequest
        from langchain_core.language_models.fake_chat_models import FakeMessagesListChatModel
        from langchain_core.messages import SystemMessage
        from langchain_core.tools import tool

        from fenwa_host.integrations.langchain import ContextMiddleware
        from fenwa_host.integrations.langgraph import pre_model_hook
    except ImportError as exc:
        rows.append(_skipped("langchain ContextMiddleware", exc))
    else:
        @tool
        def read_log(turn: int) -> str:
            """Read the log of one turn."""
            return ""

        messages = _langchain_messages()
        middleware = ContextMiddleware(max_tokens=BUDGET)
        request = ModelRequest(model=FakeMessagesListChatModel(responses=[]), messages=messages,
                               system_message=SystemMessage(SYSTEM), tools=[read_log], state={"messages": messages})
        calls = [
            (lambda: middleware.wrap_model_call(request, lambda r: r), 8),
            (_same_trim(messages, "langchain", SYSTEM), 8),
        ]
        ours, base = interleaved(calls, repeat)
        rows.append(_row("langchain ContextMiddleware", ours, base, f"{len(messages)} LangChain messages"))
        earlier = request.override(messages=messages[:-3])

        def middleware_session():
            made = ContextMiddleware(max_tokens=BUDGET, mode="conversation")
            made.context.converse(earlier)
            return made

        ours, base = interleaved([
            (_fresh(middleware_session, 8, repeat)(lambda made: made.context.converse(request)), 8), calls[1],
        ], repeat)
        rows.append(_row("langchain ContextMiddleware, conversation", ours, base, _CONVERSATION_NOTE))
        hook = pre_model_hook(max_tokens=BUDGET, prompt=SYSTEM, tools=[read_log])
        state = {"messages": messages}
        ours, base = interleaved([(lambda: hook(state), 8), calls[1]], repeat)
        rows.append(_row("langgraph pre_model_hook", ours, base, f"{len(messages)} LangChain messages"))
        def hook_session():
            made = pre_model_hook(max_tokens=BUDGET, prompt=SYSTEM, tools=[read_log], mode="conversation")
            made({"messages": messages[:-3]})
            return made

        ours, base = interleaved([(_fresh(hook_session, 8, repeat)(lambda made: made(state)), 8), calls[1]], repeat)
        rows.append(_row("langgraph pre_model_hook, conversation", ours, base, _CONVERSATION_NOTE))

    try:
        from pydantic_ai.models import ModelRequestContext, ModelRequestParameters
        from pydantic_ai.models.function import FunctionModel

        from fenwa_host.integrations.pydantic_ai import ContextCapability
    except ImportError as exc:
        rows.append(_skipped("pydantic-ai ContextCapability", exc))
    else:
        messages = _pydantic_messages()
        capability = ContextCapability(max_tokens=BUDGET)
        model = FunctionModel(lambda m, i: None)
        params = ModelRequestParameters()

        def request(upto=None):
            return ModelRequestContext(model=model, messages=messages[:upto], model_settings=None,
                                       model_request_parameters=params)

        def capability_session():
            made = ContextCapability(max_tokens=BUDGET, mode="conversation")
            made.context.prepare("run", request(-2), _Run())
            return made

        ours, mode, base = interleaved([
            (lambda: capability.context.prepare("run", request()), 8),
            (_fresh(capability_session, 8, repeat)(lambda made: made.context.prepare("run", request(), _Run())), 8),
            (_same_trim(messages, "pydantic-ai"), 8),
        ], repeat)
        rows.append(_row("pydantic-ai ContextCapability", ours, base, f"{len(messages)} pydantic-ai messages"))
        rows.append(_row("pydantic-ai ContextCapability, conversation", mode, base, _CONVERSATION_NOTE))
    return rows
