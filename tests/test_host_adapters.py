"""Adapters: every Responses item kind, LangChain's message variants, and
placeholders that trimming never elides twice."""
from __future__ import annotations

import copy
import json
import random

import pytest

import fenwa_host as fh
from fenwa_host import _screen
from fenwa_host.trim import is_placeholder

lc = pytest.importorskip("langchain_core.messages")

BIG = "result line with some words in it\n" * 120
FLOOD = "2026-12-09T04:00:00Z ERROR retry budget exhausted for job 17\n" * 400


def user(text):
    return {"role": "user", "content": text}


def responses_history():
    """One turn per client tool kind and per hosted tool kind, each after a
    reasoning item, as the Responses API returns them."""
    items = [{"role": "developer", "content": "You are an agent."}]
    calls = [
        ({"type": "function_call", "call_id": "f1", "name": "read", "arguments": '{"p": "a.py"}'},
         {"type": "function_call_output", "call_id": "f1", "output": BIG}),
        ({"type": "custom_tool_call", "call_id": "c1", "name": "grep", "input": "TODO"},
         {"type": "custom_tool_call_output", "call_id": "c1", "output": BIG}),
        ({"type": "computer_call", "call_id": "k1", "action": {"type": "screenshot"}, "pending_safety_checks": []},
         {"type": "computer_call_output", "call_id": "k1",
          "output": {"type": "computer_screenshot", "image_url": "data:image/png;base64," + "A" * 4000}}),
        ({"type": "local_shell_call", "id": "ls1", "call_id": "l1", "status": "completed",
          "action": {"type": "exec", "command": ["ls"], "env": {}}},
         {"type": "local_shell_call_output", "id": "l1", "output": BIG}),
        ({"type": "shell_call", "call_id": "s1", "action": {"commands": ["cat a.py"]}},
         {"type": "shell_call_output", "call_id": "s1",
          "output": [{"stdout": BIG, "stderr": "", "outcome": {"type": "exit", "exit_code": 0}}]}),
        ({"type": "apply_patch_call", "call_id": "p1", "status": "completed",
          "operation": {"type": "update_file", "path": "a.py", "diff": "-a\n+b"}},
         {"type": "apply_patch_call_output", "call_id": "p1", "status": "completed", "output": BIG}),
        ({"type": "mcp_approval_request", "id": "m1", "name": "deploy", "arguments": "{}", "server_label": "ops"},
         {"type": "mcp_approval_response", "approval_request_id": "m1", "approve": True}),
    ]
    hosted = [
        {"type": "web_search_call", "id": "w1", "status": "completed", "action": {"type": "search", "query": "x"}},
        {"type": "file_search_call", "id": "fs1", "status": "completed", "queries": ["q"], "results": None},
        {"type": "code_interpreter_call", "id": "ci1", "status": "completed", "code": "print(1)",
         "container_id": "c", "outputs": [{"type": "logs", "logs": BIG}]},
        {"type": "image_generation_call", "id": "ig1", "status": "completed", "result": "B" * 20000},
        {"type": "mcp_call", "id": "mc1", "name": "search", "arguments": "{}", "server_label": "docs", "output": BIG},
        {"type": "mcp_list_tools", "id": "ml1", "server_label": "docs", "tools": [{"name": "search", "input_schema": {}}]},
        {"type": "item_reference", "id": "msg_old"},
        {"type": "some_future_call", "id": "u1", "payload": BIG},
    ]
    for k, (call, output) in enumerate(calls):
        items += [user(f"question {k}"), {"type": "reasoning", "id": f"rs{k}", "summary": [], "encrypted_content": "e" * 200},
                  call, output, {"role": "assistant", "content": [{"type": "output_text", "text": f"answer {k}"}]}]
    for k, item in enumerate(hosted):
        items += [user(f"hosted {k}"), {"type": "reasoning", "id": f"rh{k}", "summary": [{"type": "summary_text", "text": "s"}]},
                  item, {"role": "assistant", "content": f"done {k}"}]
    items.append({"type": "compaction", "id": "cp1", "encrypted_content": "z" * 300})
    items.append(user("last question"))
    return items


def responses_rules(items):
    """The provider's pairing and reasoning rules, checked straight on the items."""
    call_fields = {"function_call": "call_id", "custom_tool_call": "call_id", "computer_call": "call_id",
                   "local_shell_call": "call_id", "shell_call": "call_id", "apply_patch_call": "call_id",
                   "mcp_approval_request": "id"}
    output_fields = {"function_call_output": "call_id", "custom_tool_call_output": "call_id",
                     "computer_call_output": "call_id", "local_shell_call_output": "id",
                     "shell_call_output": "call_id", "apply_patch_call_output": "call_id",
                     "mcp_approval_response": "approval_request_id"}
    called, answered = [], []
    for k, item in enumerate(items):
        kind = item.get("type")
        if kind in call_fields:
            called.append(item[call_fields[kind]])
        if kind in output_fields:
            assert item[output_fields[kind]] in called, f"orphan output at {k}"
            answered.append(item[output_fields[kind]])
        if kind == "reasoning":
            assert k + 1 < len(items) and items[k + 1].get("type") not in (None, "message", "reasoning") \
                or (k + 1 < len(items) and items[k + 1].get("role") == "assistant"), f"reasoning alone at {k}"
    assert sorted(called) == sorted(answered)


def test_every_responses_item_kind_reads_and_validates():
    items = responses_history()
    fh.validate(items)
    assert fh.formats.detect_format(items) == "openai-responses"
    result = fh.trim(items)
    responses_rules(result.messages)


@pytest.mark.parametrize("budget", [400, 1500, 3000, 6000, 12000])
@pytest.mark.parametrize("tool_results", ["elide", "drop"])
def test_trimmed_responses_history_stays_valid(budget, tool_results):
    items = responses_history()
    before = copy.deepcopy(items)
    result = fh.trim(items, max_tokens=budget, tool_results=tool_results)
    assert items == before
    fh.validate(result.messages)
    responses_rules(result.messages)
    sent = {id(m) for m in result.messages}
    for m in items:
        kind = m.get("type")
        if kind in ("some_future_call", "image_generation_call", "compaction", "computer_call_output"):
            # Kinds without a text payload are kept or dropped whole.
            copies = [c for c in result.messages if c.get("id") == m.get("id") and c.get("type") == kind]
            assert not copies or id(m) in sent
    for c in result.messages:
        if c.get("type") == "computer_call_output":
            assert c["output"]["type"] == "computer_screenshot"


def test_reasoning_leaves_with_the_hosted_call_after_it():
    items = [user("q"), {"type": "reasoning", "id": "r", "summary": []},
             {"type": "web_search_call", "id": "w", "status": "completed", "action": {"query": "x" * 4000}},
             {"role": "assistant", "content": "a"}, user("q2"), {"role": "assistant", "content": "a2"}]
    result = fh.trim(items, max_tokens=60, keep_last_turns=1)
    kinds = [m.get("type") for m in result.messages]
    assert "reasoning" not in kinds and "web_search_call" not in kinds
    fh.validate(result.messages)


def test_unknown_item_is_counted_by_its_json():
    payload = {"type": "some_future_call", "id": "u", "payload": "word " * 400}
    result = fh.trim([user("q"), payload, user("r")])
    expected = fh.estimate_tokens(json.dumps({"payload": payload["payload"]}, separators=(",", ":")))
    assert result.tokens_before >= expected


def test_sdk_hosted_items_are_read():
    types = pytest.importorskip("openai.types.responses")
    web = types.ResponseFunctionWebSearch.model_validate(
        {"id": "w", "type": "web_search_call", "status": "completed", "action": {"type": "search", "query": "x"}})
    items = [user("q"), {"type": "reasoning", "id": "r", "summary": []}, web, {"role": "assistant", "content": "a"}]
    fh.validate(items)
    assert fh.trim(items).messages[2] is web


# --- LangChain -------------------------------------------------------------------


def call(cid, name="read", args=None):
    return {"name": name, "args": args or {"path": "a.py"}, "id": cid, "type": "tool_call"}


def test_langchain_chunks_and_chat_messages_read_as_their_roles():
    msgs = [
        lc.ChatMessage(role="system", content="be brief"),
        lc.HumanMessageChunk(content="question"),
        lc.AIMessageChunk(content="", tool_call_chunks=[
            {"name": "read", "args": '{"path": "a.py"}', "id": "t1", "index": 0, "type": "tool_call_chunk"}]),
        lc.ToolMessage(content=BIG, tool_call_id="t1"),
        lc.ChatMessage(role="assistant", content="answer"),
        lc.ChatMessage(role="user", content="thanks"),
    ]
    fh.validate(msgs)
    result = fh.trim(msgs, max_tokens=60)
    assert [type(m).__name__ for m in result.messages][:1] == ["ChatMessage"]
    assert result.decisions[0].reason.startswith("pinned: system")
    with pytest.raises(ValueError, match=r"message 0: unknown ChatMessage role 'wizard'"):
        fh.validate([lc.ChatMessage(role="wizard", content="x")])


def test_invalid_tool_calls_need_their_results():
    ai = lc.AIMessage(content="", invalid_tool_calls=[
        {"name": "read", "args": "{bad json", "id": "t9", "error": "bad", "type": "invalid_tool_call"}])
    with pytest.raises(ValueError, match=r"'t9' has no result"):
        fh.validate([lc.HumanMessage(content="q"), ai])
    fh.validate([lc.HumanMessage(content="q"), ai, lc.ToolMessage(content="error: bad json", tool_call_id="t9")])


@pytest.mark.parametrize("raw_calls", [True, False])
def test_dropped_calls_leave_every_copy_of_the_call(raw_calls):
    kwargs = {"tool_calls": [
        {"id": cid, "type": "function", "function": {"name": "read", "arguments": "{}"}} for cid in ("a", "b")
    ]} if raw_calls else {}
    ai = lc.AIMessage(
        content=[{"type": "text", "text": "reading"}, {"type": "tool_use", "id": "a", "name": "read", "input": {}},
                 {"type": "tool_use", "id": "b", "name": "read", "input": {}}],
        tool_calls=[call("a"), call("b")], additional_kwargs=kwargs)
    msgs = [lc.HumanMessage(content="q"), ai, lc.ToolMessage(content=BIG, tool_call_id="a"),
            lc.ToolMessage(content="small", tool_call_id="b"), lc.HumanMessage(content="next")]
    result = fh.trim(msgs, max_tokens=40, tool_results="drop", keep_last_turns=1)
    fh.validate(result.messages)
    for m in result.messages:
        if m.type == "ai":
            ids = {c["id"] for c in m.tool_calls}
            assert {c["id"] for c in m.additional_kwargs.get("tool_calls", [])} <= ids
            assert {b["id"] for b in m.content if isinstance(b, dict) and b.get("type") == "tool_use"} <= ids
    assert ai.additional_kwargs == kwargs and len(ai.tool_calls) == 2


@pytest.mark.parametrize("block", [
    {"type": "tool_use", "id": "t1", "name": "get_weather", "input": {"city": "Paris"}},
    {"type": "tool_call", "id": "t1", "name": "get_weather", "args": {"city": "Paris"}},
])
def test_tool_call_blocks_count_as_their_text(block):
    as_blocks = lc.AIMessage(content=[{"type": "text", "text": "checking"}, block], tool_calls=[
        call("t1", "get_weather", {"city": "Paris"})])
    as_str = lc.AIMessage(content="checking", tool_calls=[call("t1", "get_weather", {"city": "Paris"})])
    tail = [lc.ToolMessage(content="sunny", tool_call_id="t1")]
    count = [fh.trim([lc.HumanMessage(content="q"), m, *tail]).tokens_before for m in (as_blocks, as_str)]
    assert count[0] == count[1]
    # A block without a matching call is counted as its own name and arguments.
    lone = lc.AIMessage(content=[block])
    assert fh.trim([lc.HumanMessage(content="q"), lone]).tokens_before < 30


# --- placeholders ----------------------------------------------------------------


def chat_history(payloads):
    msgs = [{"role": "system", "content": "agent"}]
    for k, p in enumerate(payloads):
        msgs += [user(f"q{k}"), {"role": "assistant", "content": None, "tool_calls": [
            {"id": f"c{k}", "type": "function", "function": {"name": "read", "arguments": "{}"}}]},
            {"role": "tool", "tool_call_id": f"c{k}", "content": p}, {"role": "assistant", "content": f"a{k}"}]
    return msgs + [user("last")]


def placeholders(messages):
    return [m["content"] for m in messages if m.get("role") == "tool" and is_placeholder(m["content"])]


@pytest.mark.parametrize("preview_chars", [0, 40])
@pytest.mark.parametrize("budget", [None, 200, 600])
def test_a_trimmed_list_trims_to_the_same_placeholders(preview_chars, budget):
    msgs = chat_history([BIG, FLOOD, BIG + "x", FLOOD + "y"] * 3)
    first = fh.trim(msgs, max_tokens=budget, preview_chars=preview_chars)
    shown = placeholders(first.messages)
    assert shown and any("repetitive flood" in p for p in shown)
    again = fh.trim(first.messages, max_tokens=budget, preview_chars=preview_chars)
    assert set(placeholders(again.messages)) <= set(shown)
    for m in again.messages:
        if m.get("role") == "tool" and is_placeholder(m["content"]):
            assert any(m is n for n in first.messages)  # the very object, not a new copy


def test_preview_keeps_head_and_tail_within_the_budget():
    rng = random.Random(5)
    words = ["cache", "ttl", "redis", "pricing", "latency", "retry", "config", "because", "slow", "the"]
    text = "HEAD " + " ".join(rng.choice(words) + str(rng.randint(0, 99)) for _ in range(500)) + " TAIL"
    msgs = chat_history([text, FLOOD])
    result = fh.trim(msgs, max_tokens=200, preview_chars=60)
    tool = [m["content"] for m in result.messages if m.get("role") == "tool"]
    plain, flood = tool
    assert plain.startswith("[tool output elided: ") and "\nHEAD " in plain and plain.endswith(" TAIL")
    assert flood.count("\n") == 1 and "a repetitive flood" in flood.split("\n")[0]
    assert len(flood.split("\n")[1]) <= 60
    # The previews are counted: the list as sent counts what trim reported.
    assert fh.trim(result.messages).tokens_before == result.tokens_after <= 200


@pytest.mark.parametrize("text, expected", [
    ("[tool output elided: 12 bytes]", True),
    ("[tool output elided: 12 bytes, a repetitive flood]", True),
    ("[tool output elided: 12 bytes]\nhead\n\u2026\ntail", True),
    ("[tool output elided: many bytes]", False),
    ("[tool output elided: 12 bytes] and then some", False),
    ("result: [tool output elided: 12 bytes]", False),
])
def test_placeholders_are_recognised_by_their_first_line(text, expected):
    assert is_placeholder(text) is expected


def test_flood_verdicts_are_cached_and_bounded(monkeypatch):
    calls = []
    real = _screen.flood_report
    monkeypatch.setattr(_screen, "flood_report", lambda t: calls.append(t) or real(t))
    monkeypatch.setattr(_screen, "CACHE_ENTRIES", 8)
    _screen.clear_cache()
    texts = [FLOOD + str(k) for k in range(20)]
    for _ in range(3):
        for t in texts[:5]:
            assert _screen.is_flood(t)
    assert len(calls) == 5
    for t in texts:
        _screen.is_flood(t)
    assert len(_screen._verdicts) <= 8
    _screen.clear_cache()
