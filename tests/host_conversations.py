"""One abstract agent conversation, written out in every provider format.

A conversation is a list of turns; each turn is a user text, then tool cycles (an
assistant message making calls, then one result per call), then an optional final
assistant text. The builders use the SDKs' own types where a host would meet them.
"""
from __future__ import annotations

import json

from hypothesis import strategies as st

TEXTS = [
    "ok",
    "Why does the checkout test fail on CI but not locally?",
    "Estou a investigar o erro de migração; a tabela de preços está bloqueada.",
    "Der Cache-Schlüssel hat sich geändert – deshalb die Fehlschläge.",
    "日志显示每个请求都重新计算了价格规则。",
    "x" * 400,
    "pricing 1620 ms on a cache miss " * 12,
]
PAYLOADS = ["ok", "ok", "row " * 300, "ERROR retry budget exhausted\n" * 200, "def f():\n    return 1\n" * 40]

calls_st = st.lists(
    st.tuples(st.sampled_from(["read_file", "grep", "run_tests"]), st.sampled_from(PAYLOADS)),
    min_size=1,
    max_size=3,
)
turn_st = st.fixed_dictionaries(
    {
        "user": st.sampled_from(TEXTS),
        "cycles": st.lists(st.tuples(st.sampled_from(["", "Let me check."]), calls_st), max_size=2),
        "final": st.one_of(st.none(), st.sampled_from(TEXTS)),
    }
)
conversation_st = st.lists(turn_st, min_size=1, max_size=8)


def _ids(conversation, prefix="call_"):
    n = 0
    for t, turn in enumerate(conversation):
        for c, (_, calls) in enumerate(turn["cycles"]):
            ids = []
            for _ in calls:
                ids.append(f"{prefix}{n}")
                n += 1
            yield t, c, ids


def openai_messages(conversation, system="You are a careful coding agent.", prefix="call_"):
    ids = {(t, c): i for t, c, i in _ids(conversation, prefix)}
    out = [{"role": "system", "content": system}] if system is not None else []
    for t, turn in enumerate(conversation):
        out.append({"role": "user", "content": turn["user"]})
        for c, (text, calls) in enumerate(turn["cycles"]):
            cids = ids[(t, c)]
            out.append(
                {
                    "role": "assistant",
                    "content": text or None,
                    "tool_calls": [
                        {"id": cid, "type": "function", "function": {"name": name, "arguments": json.dumps({"n": k})}}
                        for k, (cid, (name, _)) in enumerate(zip(cids, calls))
                    ],
                }
            )
            for cid, (_, payload) in zip(cids, calls):
                out.append({"role": "tool", "tool_call_id": cid, "content": payload})
        if turn["final"] is not None:
            out.append({"role": "assistant", "content": turn["final"]})
    return out


def anthropic_messages(conversation, thinking=False, prefix="call_"):
    ids = {(t, c): i for t, c, i in _ids(conversation, prefix)}
    out = []
    for t, turn in enumerate(conversation):
        out.append({"role": "user", "content": turn["user"]})
        for c, (text, calls) in enumerate(turn["cycles"]):
            cids = ids[(t, c)]
            blocks = []
            if thinking:
                blocks.append({"type": "thinking", "thinking": "Plan the next step.", "signature": f"sig{t}{c}"})
            if text:
                blocks.append({"type": "text", "text": text})
            blocks += [
                {"type": "tool_use", "id": cid, "name": name, "input": {"n": k}}
                for k, (cid, (name, _)) in enumerate(zip(cids, calls))
            ]
            out.append({"role": "assistant", "content": blocks})
            out.append(
                {
                    "role": "user",
                    "content": [
                        {"type": "tool_result", "tool_use_id": cid, "content": payload}
                        for cid, (_, payload) in zip(cids, calls)
                    ],
                }
            )
        if turn["final"] is not None:
            out.append({"role": "assistant", "content": [{"type": "text", "text": turn["final"]}]})
    return out


def responses_items(conversation, system="You are a careful coding agent.", prefix="call_"):
    ids = {(t, c): i for t, c, i in _ids(conversation, prefix)}
    out = [{"role": "developer", "content": system}] if system is not None else []
    for t, turn in enumerate(conversation):
        out.append({"type": "message", "role": "user", "content": [{"type": "input_text", "text": turn["user"]}]})
        for c, (text, calls) in enumerate(turn["cycles"]):
            cids = ids[(t, c)]
            out.append({"type": "reasoning", "id": f"rs_{prefix}{t}_{c}", "summary": [{"type": "summary_text", "text": "Look first."}]})
            if text:
                out.append({"role": "assistant", "content": [{"type": "output_text", "text": text}]})
            for k, (cid, (name, _)) in enumerate(zip(cids, calls)):
                out.append({"type": "function_call", "call_id": cid, "name": name, "arguments": json.dumps({"n": k})})
            for cid, (_, payload) in zip(cids, calls):
                out.append({"type": "function_call_output", "call_id": cid, "output": payload})
        if turn["final"] is not None:
            out.append({"role": "assistant", "content": turn["final"]})
    return out


def langchain_messages(conversation, system="You are a careful coding agent."):
    from langchain_core.messages import AIMessage, HumanMessage, SystemMessage, ToolMessage

    ids = {(t, c): i for t, c, i in _ids(conversation)}
    out = [SystemMessage(content=system)]
    for t, turn in enumerate(conversation):
        out.append(HumanMessage(content=turn["user"]))
        for c, (text, calls) in enumerate(turn["cycles"]):
            cids = ids[(t, c)]
            out.append(
                AIMessage(
                    content=text,
                    tool_calls=[
                        {"name": name, "args": {"n": k}, "id": cid, "type": "tool_call"}
                        for k, (cid, (name, _)) in enumerate(zip(cids, calls))
                    ],
                )
            )
            for cid, (_, payload) in zip(cids, calls):
                out.append(ToolMessage(content=payload, tool_call_id=cid))
        if turn["final"] is not None:
            out.append(AIMessage(content=turn["final"]))
    return out


def openai_sdk_messages(conversation):
    """OpenAI dicts, except that assistant messages are the SDK's response objects,
    appended as a host receives them."""
    from openai.types.chat import ChatCompletionMessage

    out = []
    for m in openai_messages(conversation):
        if m["role"] == "assistant":
            m = ChatCompletionMessage.model_validate(m)
        out.append(m)
    return out


def responses_sdk_items(conversation):
    """Responses items where the model's own output items are the SDK's objects,
    passed back as a host receives them."""
    from openai.types.responses import (
        ResponseFunctionToolCall,
        ResponseOutputMessage,
        ResponseOutputText,
        ResponseReasoningItem,
    )
    from openai.types.responses.response_reasoning_item import Summary

    out = []
    for k, m in enumerate(responses_items(conversation)):
        kind = m.get("type")
        if kind == "function_call":
            m = ResponseFunctionToolCall(id=f"fc_{k}", **m)
        elif kind == "reasoning":
            m = ResponseReasoningItem(id=m["id"], type="reasoning",
                                      summary=[Summary(**s) for s in m["summary"]])
        elif m.get("role") == "assistant":
            text = m["content"] if isinstance(m["content"], str) else m["content"][0]["text"]
            m = ResponseOutputMessage(id=f"msg_{k}", role="assistant", status="completed", type="message",
                                      content=[ResponseOutputText(text=text, type="output_text", annotations=[])])
        out.append(m)
    return out


def anthropic_sdk_messages(conversation):
    """Anthropic messages whose assistant content is the SDK's response blocks."""
    from anthropic.types import TextBlock, ThinkingBlock, ToolUseBlock

    kinds = {"text": TextBlock, "tool_use": ToolUseBlock, "thinking": ThinkingBlock}
    out = []
    for m in anthropic_messages(conversation, thinking=True):
        if m["role"] == "assistant":
            m = {"role": "assistant", "content": [kinds[b["type"]](**b) for b in m["content"]]}
        out.append(m)
    return out


BUILDERS = {
    "openai": openai_messages,
    "openai-sdk": openai_sdk_messages,
    "openai-responses": responses_items,
    "anthropic": anthropic_messages,
    "anthropic-thinking": lambda conv: anthropic_messages(conv, thinking=True),
    "langchain": langchain_messages,
    "openai-responses-sdk": responses_sdk_items,
    "anthropic-sdk": anthropic_sdk_messages,
}
