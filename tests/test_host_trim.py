"""fenwa_host.trim / validate / reasoning_params over provider message lists."""
from __future__ import annotations

import copy
import json

import fenwa_micro as fm
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fenwa_host as fh
from fenwa_host.billing import OPENAI, rewrite_gain
from fenwa_host.tokens import OPENAI_CHAT_FRAMING
from host_conversations import BUILDERS, conversation_st, openai_messages

pytest.importorskip("openai")
pytest.importorskip("anthropic")
pytest.importorskip("langchain_core")


def get(m, name):
    return m.get(name) if isinstance(m, dict) else getattr(m, name, None)


def shape(messages, fmt):
    """(role, call ids, answered ids) per message, read straight from the raw
    messages: an oracle independent of fenwa_host's adapters."""
    out = []
    for m in messages:
        if fmt.startswith("anthropic"):
            blocks = m["content"] if isinstance(m["content"], list) else []
            out.append(
                (
                    m["role"],
                    [get(b, "id") for b in blocks if get(b, "type") == "tool_use"],
                    [get(b, "tool_use_id") for b in blocks if get(b, "type") == "tool_result"],
                )
            )
        elif fmt.startswith("openai-responses"):
            kind = get(m, "type") or "message"
            out.append(
                (
                    get(m, "role") or kind,
                    [get(m, "call_id")] if kind == "function_call" else [],
                    [get(m, "call_id")] if kind == "function_call_output" else [],
                )
            )
        elif fmt == "langchain":
            out.append((m.type, [c["id"] for c in m.tool_calls] if m.type == "ai" else [],
                        [m.tool_call_id] if m.type == "tool" else []))
        else:
            out.append((get(m, "role"), [get(c, "id") for c in get(m, "tool_calls") or []],
                        [get(m, "tool_call_id")] if get(m, "role") == "tool" else []))
    return out


def assert_provider_valid(messages, fmt):
    rows = shape(messages, fmt)
    if fmt.startswith("openai-responses"):
        called, answered = [], []
        for _, calls, answers in rows:
            called += calls
            for a in answers:
                assert a in called, f"orphan output {a}"
                answered.append(a)
        assert sorted(called) == sorted(answered)
        return
    if fmt.startswith("anthropic") and rows:
        assert rows[0][0] == "user"
    open_calls = []
    for role, calls, answers in rows:
        if answers:
            for a in answers:
                assert a in open_calls, f"orphan result {a}"
                open_calls.remove(a)
            if fmt.startswith("anthropic"):
                assert not open_calls, "results split across messages"
            continue
        assert not open_calls, f"calls without results: {open_calls}"
        open_calls = list(calls)
    assert not open_calls


FORMATS = list(BUILDERS)
CONVERSATION = [
    {"user": "Why is checkout slow?", "cycles": [("", [("grep", "row " * 300)])], "final": "Pricing misses its cache."},
    {"user": "Estou a investigar o erro.", "cycles": [("Let me check.", [("read_file", "ok"), ("grep", "ok")])],
     "final": None},
    {"user": "ok", "cycles": [("", [("run_tests", "ERROR retry budget exhausted\n" * 200)])], "final": "Fixed."},
    {"user": "And now?", "cycles": [("", [("grep", "ok")])], "final": "All green."},
]


def fmt_name(fmt):
    return fmt[: -len("-sdk")] if fmt.endswith("-sdk") else "anthropic" if fmt == "anthropic-thinking" else fmt


@pytest.mark.parametrize("fmt", FORMATS)
def test_every_format_is_detected_and_valid(fmt):
    messages = BUILDERS[fmt](CONVERSATION)
    fh.validate(messages)
    assert fh.detect_format(messages) == fmt_name(fmt)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("tool_results", ["elide", "drop"])
@pytest.mark.parametrize("max_tokens", [None, 0, 60, 400])
def test_trim_keeps_pairs_identity_and_input(fmt, tool_results, max_tokens):
    messages = BUILDERS[fmt](CONVERSATION)
    snapshot = copy.deepcopy(messages)
    ids = [id(m) for m in messages]
    r = fh.trim(messages, max_tokens=max_tokens, tool_results=tool_results)
    assert messages == snapshot and [id(m) for m in messages] == ids  # nothing mutated
    assert_provider_valid(r.messages, fmt)
    fh.validate(r.messages, format=fmt_name(fmt))
    decisions = r.decisions
    assert len(decisions) == len(messages)
    survivors = [i for i, d in enumerate(decisions) if d.action != "dropped"]
    assert len(survivors) == len(r.messages)
    for i, out in zip(survivors, r.messages):
        assert (out is messages[i]) == (decisions[i].action == "kept"), (i, decisions[i])
    if max_tokens is not None:
        # The default estimate keeps its margin: the limit is under max_tokens.
        assert 0.95 * max_tokens - 1 <= r.limit <= max_tokens
        assert r.within_budget == (r.tokens_after <= r.limit)
        if not r.within_budget:
            assert "budget" in r.note
    if tool_results == "drop":
        assert r.elided == 0
    # The last user turn and what follows it stay as they were.
    last_user = max(i for i, (role, _, answers) in enumerate(shape(messages, fmt))
                    if role in ("user", "human") and not answers)
    assert all(decisions[i].action == "kept" for i in range(last_user, len(messages)))


def test_elided_result_says_what_was_there():
    messages = openai_messages(CONVERSATION)
    r = fh.trim(messages, max_tokens=250)
    elided = [m for m, d in zip(messages, r.decisions) if d.action == "elided"]
    by_id = {m["tool_call_id"]: m for m in r.messages if m["role"] == "tool"}
    assert elided
    for original in elided:
        text = by_id[original["tool_call_id"]]["content"]
        size = len(original["content"].encode())
        assert text.startswith(f"[tool output elided: {size} bytes")
        assert ("repetitive flood" in text) == fh.flood_report(original["content"]).flagged
    assert any("flood" in by_id[m["tool_call_id"]]["content"] for m in elided)


def test_duplicate_contents_map_back_by_identity():
    msgs = [{"role": "system", "content": "s"}]
    for k in range(4):
        msgs += [
            {"role": "user", "content": "ok"},
            {"role": "assistant", "content": None,
             "tool_calls": [{"id": f"c{k}", "type": "function", "function": {"name": "f", "arguments": "{}"}}]},
            {"role": "tool", "tool_call_id": f"c{k}", "content": "ok"},
            {"role": "assistant", "content": "ok"},
        ]
    expected = [0, 1, 4, 5, 8, 9, 12, 13, 14, 15, 16]
    budget = fh.count_tokens([msgs[i] for i in expected])
    # The estimate as an exact counter: no margin, the budget is met exactly.
    r = fh.trim(msgs, max_tokens=budget, tool_results="drop", token_counter=fh.estimate_tokens)
    kept = [i for i, d in enumerate(r.decisions) if d.action == "kept"]
    assert [id(m) for m in r.messages] == [id(msgs[i]) for i in kept]
    # Old tool cycles (weight 0.25) leave first, each with its call; the pinned
    # last turn stays whole.
    assert kept == expected
    assert r.tokens_after == budget


def test_drop_strips_calls_but_keeps_text():
    msgs = openai_messages(CONVERSATION)
    r = fh.trim(msgs, max_tokens=10_000, tool_results="drop", keep_last_turns=1, half_life=1.0)
    assert r.within_budget and r.first_changed is None  # fits: nothing to do
    # Force the results of the text-bearing assistant message out.
    r = fh.trim(msgs, tool_results="drop", safe_threshold=0.3, half_life=100.0)
    text_call = next(i for i, m in enumerate(msgs) if m.get("tool_calls") and m["content"])
    d = r.decisions[text_call]
    assert d.action == "stripped" and d.reason == "its tool results left"
    stripped = next(m for m in r.messages if m.get("content") == msgs[text_call]["content"] and m["role"] == "assistant")
    assert "tool_calls" not in stripped and "tool_calls" in msgs[text_call]


@pytest.mark.parametrize("half_life, threshold, prefix", [(6.0, 0.35, 0), (2.0, 0.2, 3), (0.0, 0.0, 0), (50.0, 0.9, 5)])
def test_without_budget_agrees_with_dehydrate(half_life, threshold, prefix):
    pairs = [(f"m{i} " * (i % 7), b) for i, b in enumerate([fm.SYSTEM, fm.USER, fm.ASSISTANT, 0, fm.FACT,
                                                              fm.THINKING, fm.USER | fm.TOOL] * 6)]
    r = fh.trim(pairs, half_life=half_life, safe_threshold=threshold, stable_prefix=prefix, keep_last_turns=0)
    expected = fm.dehydrate(pairs, half_life, threshold, prefix)
    assert [t for t, _ in r.messages] == expected["kept"]
    # Pairs have no framing: the counts are the estimate's of the texts.
    assert (r.tokens_before, r.tokens_after) == (
        sum(fh.estimate_tokens(t) for t, _ in pairs), sum(fh.estimate_tokens(t) for t in expected["kept"])
    )
    # With pins, the survivors are a superset, and the recent turn is whole.
    pinned = fh.trim(pairs, half_life=half_life, safe_threshold=threshold, stable_prefix=prefix)
    assert set(map(id, r.messages)) <= set(map(id, pinned.messages))


def test_openai_plain_history_agrees_with_dehydrate():
    msgs = [{"role": "system", "content": "s"}] + [
        {"role": "user" if i % 2 == 0 else "assistant", "content": f"turn {i}"} for i in range(40)
    ]
    r = fh.trim(msgs, keep_last_turns=0)
    pairs = [(m["content"], {"system": 1, "user": 2, "assistant": 4}[m["role"]]) for m in msgs]
    assert [m["content"] for m in r.messages] == fm.dehydrate(pairs)["kept"]


def test_budget_removes_lowest_score_oldest_first():
    msgs = [("sys!", fm.SYSTEM)] + [(f"u{i:03d}", fm.USER) for i in range(10)] + [("tool", fm.TOOL)] * 3
    r = fh.trim(msgs, max_tokens=10, keep_last_turns=0, token_counter=lambda s: 2)
    # 14 messages of 2 tokens: 9 leave. The TOOL messages (0.25) first even though
    # newer, then the oldest USER messages.
    assert [t for t, _ in r.messages] == ["sys!"] + [f"u{i:03d}" for i in range(6, 10)]
    assert r.tokens_after == 10 and r.within_budget


def test_pins_alone_over_budget_is_reported_not_raised():
    msgs = openai_messages(CONVERSATION)
    r = fh.trim(msgs, max_tokens=5, stable_prefix=3)
    assert not r.within_budget and "over the budget of 5" in r.note
    assert [d.reason for d in r.decisions[:3]] == ["pinned: system or developer message", "pinned: stable prefix",
                                                   "pinned: stable prefix"]
    assert r.messages[:3] == msgs[:3]


def test_custom_counter_and_classify():
    msgs = openai_messages(CONVERSATION)
    words = lambda s: len(s.split())  # noqa: E731
    r = fh.trim(msgs, token_counter=words, max_tokens=80)
    framing = OPENAI_CHAT_FRAMING
    calls = [c for m in msgs for c in m.get("tool_calls", [])]
    ids = [c["id"] for c in calls] + [m["tool_call_id"] for m in msgs if m["role"] == "tool"]
    # Content, then OpenAI's framing: per message, per call, the ids, per request.
    assert r.tokens_before == (
        sum(words(t) for t in [m["content"] or "" for m in msgs]
            + [c["function"]["name"] + "\n" + c["function"]["arguments"] for c in calls])
        + framing.per_message * len(msgs) + framing.per_call * len(calls)
        + sum(words(i) for i in ids) + framing.per_request
    )
    assert r.within_budget
    fact = msgs[1]
    r = fh.trim(msgs, max_tokens=0, classify=lambda m: fm.FACT if m is fact else None)
    assert r.decisions[1] == fh.Decision("kept", "pinned: durable class")
    with pytest.raises(TypeError, match="token_counter .* must return an int"):
        fh.trim(msgs, token_counter=lambda s: "many")
    with pytest.raises(TypeError, match="message 0: classify"):
        fh.trim(msgs, classify=lambda m: -1)


def test_first_changed_and_consolidation():
    msgs = openai_messages(CONVERSATION * 3)
    whole = fh.trim(msgs, max_tokens=10**9)
    assert whole.first_changed is None and whole.messages == msgs
    assert whole.consolidation["consolidate"] is False
    r = fh.trim(msgs, max_tokens=300)
    first = r.first_changed
    assert r.decisions[first].action != "kept" and all(d.action == "kept" for d in r.decisions[:first])
    # The request's own framing is counted once, in the part that stays cached.
    rewritten = r.tokens_before - fh.count_tokens(msgs[:first])
    assert r.consolidation == rewrite_gain(OPENAI, rewritten, r.tokens_before - r.tokens_after)


def test_anthropic_starts_with_user_and_keeps_running_thinking_turn():
    conv = CONVERSATION + [{"user": "Run the tests again.", "cycles": [("", [("run_tests", "ok")])], "final": None}]
    msgs = BUILDERS["anthropic-thinking"](conv)
    r = fh.trim(msgs, max_tokens=0, keep_last_turns=0)
    assert r.messages[0]["role"] == "user"
    assert r.messages[-2] is msgs[-2] and r.messages[-1] is msgs[-1]  # thinking, tool_use, results
    assert r.messages[-2]["content"][0]["type"] == "thinking"
    fh.validate(r.messages)


def test_responses_reasoning_leaves_with_its_calls():
    msgs = BUILDERS["openai-responses"](CONVERSATION)
    r = fh.trim(msgs, max_tokens=0, tool_results="drop")
    kinds = [get(m, "type") for m in r.messages]
    for i, m in enumerate(r.messages):
        if get(m, "type") == "reasoning":
            assert kinds[i + 1] in ("function_call", None)
    dropped = {i for i, d in enumerate(r.decisions) if d.action == "dropped"}
    for i, m in enumerate(msgs):
        if get(m, "type") == "reasoning" and i in dropped:
            assert i + 1 in dropped


INVALID = [
    ("openai", [{"role": "user", "content": "hi"}, {"role": "tool", "tool_call_id": "x", "content": "r"}],
     ValueError, r"message 1: .*'x'.*orphan tool result"),
    ("openai", [{"role": "user", "content": "hi"},
                {"role": "assistant", "tool_calls": [{"id": "a", "type": "function",
                                                      "function": {"name": "f", "arguments": "{}"}}]},
                {"role": "user", "content": "?"}],
     ValueError, r"message 1: tool call 'a' has no result before message 2"),
    ("openai", [{"role": "robot", "content": "hi"}], ValueError, r"message 0: unknown role 'robot'"),
    ("openai", [{"role": "user", "content": 5}], TypeError, r"message 0: 'content' must be .*not int"),
    ("openai", [{"role": "user", "content": [{"type": "video"}]}], ValueError, r"message 0: unknown content part"),
    ("anthropic", [{"role": "assistant", "content": [{"type": "text", "text": "hi"}]}],
     ValueError, r"message 0: the first message must be a user message.*wrong first role"),
    ("anthropic", [{"role": "user", "content": [{"type": "text", "text": "a"},
                                                {"type": "tool_result", "tool_use_id": "t", "content": "r"}]}],
     ValueError, r"message 0: tool_result blocks must come first"),
    ("openai-responses", [{"type": "function_call_output", "call_id": "z", "output": "r"}],
     ValueError, r"message 0: .*'z' has no earlier function_call"),
    ("openai-responses", [{"type": "function_call", "call_id": "z", "name": "f", "arguments": "{}"}],
     ValueError, r"message 0: function call 'z' has no function_call_output"),
    ("openai-responses", [{"type": 5}], TypeError, r"message 0: 'type' must be a str"),
    ("openai-responses", [{"role": "user", "content": "q"}, {"type": "reasoning", "id": "r", "summary": []}],
     ValueError, r"message 1: a reasoning item must be followed .*at the end of the list"),
    ("openai-responses", [{"type": "reasoning", "id": "r", "summary": []}, {"role": "user", "content": "q"}],
     ValueError, r"message 0: a reasoning item must be followed .*by message 1"),
    ("openai-responses", [{"type": "shell_call", "call_id": "s", "action": {"commands": ["ls"]}}],
     ValueError, r"message 0: function call 's' has no function_call_output or other output"),
    ("openai-responses", [{"type": "local_shell_call_output", "id": "s", "output": "{}"}],
     ValueError, r"message 0: the output for call 's' has no earlier"),
    ("pairs", [("a", -1)], TypeError, r"message 0: 'class_bits'"),
]


@pytest.mark.parametrize("fmt, messages, error, pattern", INVALID)
def test_validate_and_trim_name_the_index_and_rule(fmt, messages, error, pattern):
    with pytest.raises(error, match=pattern):
        fh.validate(messages, format=fmt)
    with pytest.raises(error, match=pattern):
        fh.trim(messages, format=fmt)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"tool_results": "keep"}, ValueError),
        ({"max_tokens": -1}, ValueError),
        ({"stable_prefix": 1.5}, ValueError),
        ({"format": "gemini"}, ValueError),
        ({"token_counter": 3}, TypeError),
    ],
)
def test_bad_arguments(kwargs, error):
    with pytest.raises(error):
        fh.trim([{"role": "user", "content": "hi"}], **kwargs)
    with pytest.raises(TypeError, match="messages must be a list"):
        fh.trim("hello")


@pytest.mark.parametrize(
    "text, provider, expected",
    [
        ("ok thanks", "openai", {"reasoning_effort": "minimal"}),
        ("ok thanks", "anthropic", {"thinking": {"type": "disabled"}}),
        ("Design and implement a migration plan; it must never lose data and must always be "
         "reversible. Compare two architectures, analyse failure modes, debug the integration "
         "and validate every invariant with `assert` checks: def migrate(): return plan()",
         "anthropic", None),
    ],
)
def test_reasoning_params(text, provider, expected):
    tier = fm.effort_gauge(text)["tier"]
    got = fh.reasoning_params(text, provider)
    if expected is None:
        budget = fh.ANTHROPIC_THINKING_BUDGET[tier]
        expected = {"thinking": {"type": "enabled", "budget_tokens": budget}} if budget else {"thinking": {"type": "disabled"}}
    assert got == expected
    assert fh.reasoning_params(text, "openai-responses") == {"reasoning": {"effort": fh.OPENAI_REASONING_EFFORT[tier]}}
    custom = {t: f"custom-{t}" for t in ("off", "low", "medium", "high")}
    assert fh.reasoning_params(text, "openai", mapping=custom) == {"reasoning_effort": f"custom-{tier}"}
    with pytest.raises(ValueError, match="provider must be one of"):
        fh.reasoning_params(text, "gemini")


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    conversation=conversation_st,
    fmt=st.sampled_from(FORMATS),
    max_tokens=st.one_of(st.none(), st.integers(0, 3000)),
    tool_results=st.sampled_from(["elide", "drop"]),
    stable_prefix=st.integers(0, 6),
    keep_last_turns=st.integers(0, 3),
    half_life=st.sampled_from([0.5, 2.0, 6.0, 30.0]),
)
def test_trim_properties(conversation, fmt, max_tokens, tool_results, stable_prefix, keep_last_turns, half_life):
    messages = BUILDERS[fmt](conversation)
    snapshot = copy.deepcopy(messages)
    # Plain text turns read alike in every format: name it (auto-detection takes
    # such a list as OpenAI, which has no first-role rule).
    r = fh.trim(messages, max_tokens=max_tokens, tool_results=tool_results, stable_prefix=stable_prefix,
                keep_last_turns=keep_last_turns, half_life=half_life, format=fmt_name(fmt))
    assert messages == snapshot
    assert_provider_valid(r.messages, fmt)
    decisions = r.decisions
    survivors = [i for i, d in enumerate(decisions) if d.action != "dropped"]
    assert [(out is messages[i]) for i, out in zip(survivors, r.messages)] == \
        [decisions[i].action == "kept" for i in survivors]
    # Pins hold: pinned messages are sent unchanged.
    for i, d in enumerate(decisions):
        if d.reason.startswith("pinned"):
            assert d.action == "kept"
    for i in range(min(stable_prefix, len(messages))):
        assert decisions[i].action == "kept"
    if max_tokens is not None and not r.within_budget:
        pinned = sum(1 for d in decisions if d.reason.startswith("pinned"))
        assert pinned or r.elided or r.stripped or decisions[0].reason.startswith("restored")
    if max_tokens is not None and r.within_budget:
        assert r.tokens_after <= max_tokens
    recount = fh.trim(r.messages, keep_last_turns=0, safe_threshold=float("-inf"), format=fmt_name(fmt))
    assert recount.tokens_before == r.tokens_after


def test_anthropic_elision_keeps_the_error_flag():
    msgs = [
        {"role": "user", "content": "Run it."},
        {"role": "assistant", "content": [{"type": "tool_use", "id": "t1", "name": "run", "input": {}}]},
        {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "t1", "is_error": True,
                                      "content": [{"type": "text", "text": "Traceback ...\n" * 100}]}]},
        {"role": "assistant", "content": "It failed."},
        {"role": "user", "content": "Why?"},
    ]
    r = fh.trim(msgs, max_tokens=60)
    block = r.messages[2]["content"][0]
    assert r.decisions[2].action == "elided" and block["is_error"] is True
    assert block["content"].startswith("[tool output elided: 1400 bytes")
    assert msgs[2]["content"][0]["content"][0]["text"].startswith("Traceback")


@pytest.mark.parametrize("fmt", ["auto", "openai", "openai-responses", "anthropic"])
@pytest.mark.parametrize(
    "messages",
    [
        [{"role": "user", "content": [{"type": ["text"]}]}],
        [{"role": "user", "content": [{"type": {"x": 1}, "text": "hi"}]}],
        [{"type": ["message"], "role": "user", "content": "hi"}],
    ],
)
def test_unhashable_part_or_item_type_is_a_clear_error(messages, fmt):
    # A type field holding a list or dict is bad input to report, not a crash in a
    # set lookup.
    try:
        fh.validate(messages, format=fmt)
    except (TypeError, ValueError) as e:
        assert str(e).startswith("message 0:")


# An agent's running turn: one question, then tool cycles whose outputs together
# are several times the budget.
TOOL_LOOP = [{
    "user": "Investigate the outage.",
    "cycles": [("", [("read_file", f"<out{k}> " + "".join(f"{i} of cycle {k}: pool idle\n" for i in range(60)))])
               for k in range(10)],
    "final": None,
}]


def _outputs(messages):
    """The cycle numbers whose output each message carries in full."""
    return [{k for k in range(10) if f"<out{k}>" in repr(m)} for m in messages]


@pytest.mark.parametrize("fmt", sorted(BUILDERS))
@pytest.mark.parametrize("tool_results", ["elide", "drop"])
def test_a_running_turn_over_the_budget_elides_its_oldest_results(fmt, tool_results):
    history = BUILDERS[fmt](TOOL_LOOP)
    budget = 1500
    r = fh.trim(history, max_tokens=budget, tool_results=tool_results)
    fh.validate(r.messages)
    assert r.within_budget and r.tokens_after <= budget
    sent = set().union(*_outputs(r.messages))
    # The newest outputs stay whole, the oldest became placeholders: a suffix survives.
    assert 9 in sent and sent == set(range(min(sent), 10)) and min(sent) > 0
    assert any("Investigate the outage." in repr(m) for m in r.messages)
    elided = [i for i, d in enumerate(r.decisions) if d.action == "elided"]
    assert elided and all(r.decisions[i].reason == "the recent turn alone was over the budget"
                          for i in elided)
    # Under a budget the turn fits, nothing is touched.
    assert fh.trim(history, max_tokens=2 * r.tokens_before).messages == list(history)


def test_a_conversation_in_a_tool_loop_stays_within_its_budget():
    conv = fh.Conversation("You are an agent.", max_tokens=1500)
    for m in BUILDERS["openai"](TOOL_LOOP)[1:]:
        conv.append(m)
        if m["role"] == "assistant":
            continue  # its result comes next
        request = conv.request()
        fh.validate(request)
        assert conv.last_report["tokens_sent"] <= 1500
    assert 9 in set().union(*_outputs(request))


@pytest.mark.parametrize("fmt", ["openai", "anthropic", "langchain", "openai-responses"])
def test_held_as_durable_reads_as_the_same_classify_callable(fmt):
    from fenwa_host.formats import FORMATS, HeldAsDurable
    history = BUILDERS[fmt](TOOL_LOOP + [{"user": "ok", "cycles": [], "final": "Done."}])
    held = {id(m) for m in history[::3]}
    adapter = FORMATS[fmt]
    fast = adapter.read(history, classify=HeldAsDurable(held), tokenizer="o200k")
    slow = adapter.read(history, classify=lambda m: fm.FACT if id(m) in held else None, tokenizer="o200k")
    assert fast.views == slow.views and list(fast.tokens) == list(slow.tokens)
    assert sum(v.bits == fm.FACT for v in fast.views) >= len(held) - 1
