"""The native readers of LangChain messages and Responses items against the
formats' Python adapters, message by message, oddities and errors included."""
from __future__ import annotations

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fenwa_host as fh
from fenwa_host import _native
from fenwa_host.formats import FORMATS, IMAGE_TOKENS, MessageView, _shape
from fenwa_host.tokens import TOKENIZERS, Counting
from host_conversations import anthropic_messages, conversation_st, langchain_messages, responses_items

lcm = pytest.importorskip("langchain_core.messages")

ANTHROPIC = FORMATS["anthropic"]
LANGCHAIN = FORMATS["langchain"]
RESPONSES = FORMATS["openai-responses"]


class ContentProperty(lcm.HumanMessage):
    """A message class whose `content` is computed: its instance dict must not be read."""

    @property
    def shouted(self):  # pragma: no cover - never read
        return self.content.upper()


def _shadowing_class():
    class Shadow(lcm.AIMessage):
        pass

    Shadow.tool_call_id = property(lambda self: "shadowed")  # a class attribute of a read name
    return Shadow


def _with(m, **fields):
    return m.model_copy(update=fields)


LC_ODDITIES = {
    "as is": lambda m: m,
    "blocks": lambda m: _with(m, content=[{"type": "text", "text": m.content}]) if isinstance(m.content, str) else m,
    "tool_use block": lambda m: _with(m, content=[{"type": "tool_use", "id": c["id"], "name": c["name"], "input": c["args"]} for c in m.tool_calls]) if m.type == "ai" and m.tool_calls else m,
    "chunk": lambda m: lcm.AIMessageChunk(content=m.content, tool_calls=m.tool_calls) if m.type == "ai" and isinstance(m.content, str) else m,
    "human chunk": lambda m: lcm.HumanMessageChunk(content=m.content) if m.type == "human" else m,
    "chat message": lambda m: lcm.ChatMessage(role="user", content=m.content) if m.type == "human" else m,
    "invalid call": lambda m: _with(m, invalid_tool_calls=[{"name": "x", "args": "{", "id": "bad_1", "error": None, "type": "invalid_tool_call"}]) if m.type == "ai" else m,
    "args str": lambda m: _with(m, tool_calls=[dict(c, args=json.dumps(c["args"], default=sorted)) for c in m.tool_calls]) if m.type == "ai" and m.tool_calls else m,
    "args wide": lambda m: _with(m, tool_calls=[dict(c, args={"w": "ключ"}) for c in m.tool_calls]) if m.type == "ai" and m.tool_calls else m,
    "args nested": lambda m: _with(m, tool_calls=[dict(c, args={"q": "naïve \"quoted\"\n\ttab \x01", "n": [1, 2.5, None, True], "f": float("nan"), "big": 2**70, "neg": -7, "min": -2**63, "wide": "日志 \U0001f600", "ke\"y\\": 0}) for c in m.tool_calls]) if m.type == "ai" and m.tool_calls else m,
    "args odd": lambda m: _with(m, tool_calls=[dict(c, args={1: "int key", "s": {1, 2}}) for c in m.tool_calls]) if m.type == "ai" and m.tool_calls else m,
    "non-ascii": lambda m: _with(m, content=m.content + " ключ 日志 \U0001f600") if isinstance(m.content, str) else m,
    "lone surrogate": lambda m: _with(m, content="bad \ud800") if isinstance(m.content, str) else m,
    "bad type": lambda m: _with(m, type="robot"),
    "id not str": lambda m: _with(m, tool_call_id=3) if m.type == "tool" else m,
    "subclass": lambda m: ContentProperty(content=m.content) if m.type == "human" else m,
    "shadowing class": lambda m: _shadowing_class()(content=m.content) if m.type == "ai" and not m.tool_calls and isinstance(m.content, str) else m,
}


RESPONSES_ODDITIES = {
    "as is": lambda m: m,
    "str content": lambda m: dict(m, content=m["content"][0]["text"]) if isinstance(m.get("content"), list) else m,
    "no type": lambda m: {k: v for k, v in m.items() if k != "type"} if m.get("type") == "message" else m,
    "output parts": lambda m: dict(m, output=[{"type": "input_text", "text": m["output"]}]) if m.get("type") == "function_call_output" else m,
    "arguments dict": lambda m: dict(m, arguments={"n": 1}) if m.get("type") == "function_call" else m,
    "role as kind": lambda m: dict(m, role="function_call") if "role" in m else m,
    "custom call": lambda m: dict(m, type="custom_tool_call", input=m["arguments"]) if m.get("type") == "function_call" else m,
    "custom output": lambda m: dict(m, type="custom_tool_call_output") if m.get("type") == "function_call_output" else m,
    "hosted": lambda m: {"type": "web_search_call", "id": "ws", "status": "completed"} if m.get("type") == "reasoning" else m,
    "call_id not str": lambda m: dict(m, call_id=5) if "call_id" in m else m,
    "non-ascii": lambda m: dict(m, content=m["content"] + " ключ \U0001f600") if isinstance(m.get("content"), str) else m,
}


class BlockDict(dict):
    pass


def _blocks(m, edit):
    """`m` with its block list edited by `edit(blocks)` (messages with str content as they are)."""
    if not isinstance(m.get("content"), list):
        return m
    return dict(m, content=edit(list(m["content"])))


def _results(m, edit):
    """`m` with `edit(content)` applied to the content of each of its tool_result blocks."""
    return _blocks(m, lambda bs: [dict(b, content=edit(b.get("content"))) if b.get("type") == "tool_result" else b
                                  for b in bs])


def _calls(m, edit):
    return _blocks(m, lambda bs: [dict(b, input=edit(b["input"])) if b.get("type") == "tool_use" else b for b in bs])


def _thinking_to_redacted(b):
    return {"type": "redacted_thinking", "data": "opaque=="} if b.get("type") == "thinking" else b


ANTHROPIC_ODDITIES = {
    "as is": lambda m: m,
    "str content": lambda m: dict(m, content="\n".join(b["text"] for b in m["content"] if b.get("type") == "text"))
    if m["role"] == "assistant" and isinstance(m["content"], list) else m,
    "empty content": lambda m: dict(m, content=[]),
    "image": lambda m: _blocks(m, lambda bs: bs + [{"type": "image", "source": {"type": "url", "url": "u"}}]),
    "result blocks": lambda m: _results(m, lambda c: [{"type": "text", "text": c}, {"type": "text", "text": "tail"}]),
    "result empty blocks": lambda m: _results(m, lambda c: []),
    "result none": lambda m: _results(m, lambda c: None),
    "result image": lambda m: _results(m, lambda c: [{"type": "text", "text": c}, {"type": "image", "source": {}}]),
    "result tuple": lambda m: _results(m, lambda c: ({"type": "text", "text": c},)),
    "result int": lambda m: _results(m, lambda c: 5),
    "text after results": lambda m: _blocks(m, lambda bs: bs + [{"type": "text", "text": "and more"}])
    if m["role"] == "user" else m,
    "text before results": lambda m: _blocks(m, lambda bs: [{"type": "text", "text": "first"}] + bs)
    if m["role"] == "user" else m,
    "input str": lambda m: _calls(m, json.dumps),
    "input none": lambda m: _calls(m, lambda i: None),
    "input nested": lambda m: _calls(m, lambda i: {"q": "naïve \"quoted\"\n\ttab \x01", "n": [1, 2.5, None, True],
                                                   "f": float("inf"), "big": 2**70, "t": (1, "x")}),
    "input odd": lambda m: _calls(m, lambda i: {1: "int key", "s": {1, 2}}),
    "redacted": lambda m: _blocks(m, lambda bs: [_thinking_to_redacted(b) for b in bs]),
    "thinking in user": lambda m: _blocks(m, lambda bs: bs + [{"type": "thinking", "thinking": "t"}])
    if m["role"] == "user" else m,
    "tool_use in user": lambda m: _blocks(m, lambda bs: bs + [{"type": "tool_use", "id": "u1", "name": "f", "input": {}}])
    if m["role"] == "user" else m,
    "result in assistant": lambda m: _blocks(m, lambda bs: [{"type": "tool_result", "tool_use_id": "x", "content": "r"}] + bs)
    if m["role"] == "assistant" else m,
    "block subclass": lambda m: _blocks(m, lambda bs: [BlockDict(b) for b in bs]),
    "unknown block": lambda m: _blocks(m, lambda bs: bs + [{"type": "server_tool_use", "id": "s", "name": "web", "input": {}}]),
    "role tool_result": lambda m: dict(m, role="tool_result"),
    "role thinking": lambda m: dict(m, role="thinking"),
    "role not str": lambda m: dict(m, role=None),
    "id not str": lambda m: _blocks(m, lambda bs: [dict(b, tool_use_id=3) if b.get("type") == "tool_result" else b for b in bs]),
    "text not str": lambda m: _blocks(m, lambda bs: [dict(b, text=None) if b.get("type") == "text" else b for b in bs]),
    "non-ascii": lambda m: dict(m, content=m["content"] + " ключ 日志 \U0001f600") if isinstance(m["content"], str) else m,
    "lone surrogate": lambda m: _blocks(m, lambda bs: bs + [{"type": "text", "text": "bad \ud800"}]),
}


def _reference(adapter, messages):
    try:
        return [adapter.view(i, m, IMAGE_TOKENS, None) for i, m in enumerate(messages)], None
    except (TypeError, ValueError) as exc:
        return None, exc


TOKENIZER = st.sampled_from([None, *sorted(TOKENIZERS)])


def _compare(adapter, messages, tokenizer):
    expected, error = _reference(adapter, messages)
    if error is not None:
        with pytest.raises(type(error)) as got:
            adapter.read(messages, tokenizer=tokenizer)
        assert str(got.value) == str(error)
        return
    reading = adapter.read(messages, tokenizer=tokenizer)
    assert reading.views == expected
    assert all(type(v) is MessageView for v in reading.views)
    assert list(reading.shape) == [
        3 if i in reading.sealed else _shape(v) for i, v in enumerate(expected)
    ]
    # The tokens counted while reading are those the views count to afterwards.
    if tokenizer is None:
        assert reading.tokens is None
    else:
        assert list(reading.tokens) == list(Counting(adapter.framing, tokenizer).views(expected))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(conversation_st, st.lists(st.sampled_from(sorted(LC_ODDITIES)), max_size=4), st.data(), TOKENIZER)
def test_native_langchain_reader_equals_the_python_adapter(conversation, oddities, data, tokenizer):
    messages = langchain_messages(conversation)
    for name in oddities:
        k = data.draw(st.integers(0, len(messages) - 1))
        messages[k] = LC_ODDITIES[name](messages[k])
    _compare(LANGCHAIN, messages, tokenizer)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(conversation_st, st.lists(st.sampled_from(sorted(RESPONSES_ODDITIES)), max_size=4), st.data(), TOKENIZER)
def test_native_responses_reader_equals_the_python_adapter(conversation, oddities, data, tokenizer):
    messages = responses_items(conversation)
    for name in oddities:
        k = data.draw(st.integers(0, len(messages) - 1))
        messages[k] = RESPONSES_ODDITIES[name](messages[k])
    _compare(RESPONSES, messages, tokenizer)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(conversation_st, st.booleans(), st.lists(st.sampled_from(sorted(ANTHROPIC_ODDITIES)), max_size=4), st.data(),
       TOKENIZER)
def test_native_anthropic_reader_equals_the_python_adapter(conversation, thinking, oddities, data, tokenizer):
    messages = anthropic_messages(conversation, thinking=thinking)
    for name in oddities:
        k = data.draw(st.integers(0, len(messages) - 1))
        messages[k] = ANTHROPIC_ODDITIES[name](messages[k])
    _compare(ANTHROPIC, messages, tokenizer)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(conversation_st, st.one_of(st.none(), st.integers(0, 3000)), st.sampled_from(["elide", "drop"]))
def test_native_langchain_trim_equals_the_python_path(conversation, max_tokens, tool_results):
    messages = langchain_messages(conversation)
    native = fh.trim(messages, max_tokens=max_tokens, tool_results=tool_results)
    python = fh.trim(messages, max_tokens=max_tokens, tool_results=tool_results, classify=lambda m: None)
    assert [id(m) for m in native.messages if any(m is x for x in messages)] == [
        id(m) for m in python.messages if any(m is x for x in messages)]
    assert (native.decisions, native.tokens_before, native.tokens_after) == (
        python.decisions, python.tokens_before, python.tokens_after)


def test_view_fields_are_checked_by_the_native_reader():
    from typing import NamedTuple

    class Reordered(NamedTuple):
        role: str
        position: int
        bits: int
        text: str
        extra_tokens: int
        calls: tuple
        answers: tuple
        thinking: bool

    with pytest.raises(TypeError, match="view_type's fields must be"):
        _native.read_messages([], 0, {}, Reordered, None, None)


ID = st.sampled_from(["a", "b", "c", "d"])
RESPONSES_VIEW = st.tuples(
    st.sampled_from(["user", "assistant", "tool", "reasoning", "other", "system"]),
    st.lists(ID, max_size=2),
    st.booleans(),
    st.lists(ID, max_size=2),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(RESPONSES_VIEW, max_size=8), st.integers(0, 3))
def test_native_responses_pairing_equals_the_python_reference(rows, offset):
    from fenwa_host.formats import _MayWait, _pair_anywhere

    views = [
        MessageView(offset + i, role, 0, "", 0, (_MayWait if waits else tuple)(calls), tuple(answers), False)
        for i, (role, calls, waits, answers) in enumerate(rows)
    ]
    try:
        expected = tuple(_pair_anywhere(views, offset))
    except ValueError as exc:
        with pytest.raises(ValueError) as got:
            _native.pair_anywhere(views, offset)
        assert str(got.value) == str(exc)
        return
    assert _native.pair_anywhere(views, offset) == expected


@pytest.mark.parametrize("estimate, framing, error", [
    (b"short", (4, 3, 0, True), "table must be the bytes"),
    ("negative", (4, 3, 0, True), "must not be negative"),
    (None, None, None),  # no estimate: the framing is not read
    ("o200k", (4, 3), "framing must be a 4-tuple"),
    ("o200k", [4, 3, 0, True], "framing must be a 4-tuple"),
    ("o200k", (4, 3, 2**21, True), "framing counts must be small"),
    ("o200k", (4, -1, 0, True), None),  # refused by the int conversion
])
def test_read_messages_refuses_a_bad_estimate(estimate, framing, error):
    from fenwa_host.tokens import table

    messages = [{"role": "user", "content": "hi"}]
    coefficients = {"o200k": table("o200k"), "negative": b"\xff" * len(table("o200k"))}.get(estimate, estimate)
    args = (messages, 0, FORMATS["openai"].native_table, MessageView, coefficients, framing)
    if estimate is None:
        views, tokens, shape, todo = _native.read_messages(*args)
        assert tokens is None and len(views) == 1 and todo == []
        return
    with pytest.raises((ValueError, OverflowError, TypeError), match=error):
        _native.read_messages(*args)
