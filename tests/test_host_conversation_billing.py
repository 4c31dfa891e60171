"""Conversation under the providers' cache rules: request_params and its cache
breakpoints, the billing reports against hand-computed cases, the memory rule and
a restored conversation that bills identically."""
from __future__ import annotations

import copy
import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fenwa_host as fh
from fenwa_host.conversation import ConversationSettings
from fenwa_host.formats import FORMATS
from host_conversations import anthropic_messages, anthropic_sdk_messages, conversation_st, openai_messages

pytest.importorskip("anthropic")

BIG = "x" * 4000


def marks_of(params):
    """(where, block) of every cache_control in the parameters, in request order."""
    out = []
    for k, block in enumerate(params.get("system", [])):
        if "cache_control" in block:
            out.append(("system", block))
    for i, m in enumerate(params["messages"]):
        content = m["content"] if isinstance(m, dict) else m.content
        if isinstance(content, list):
            for block in content:
                mark = block.get("cache_control") if isinstance(block, dict) else getattr(block, "cache_control", None)
                if mark is not None:
                    out.append((i, block))
    return out


def _sizes(fmt, message):
    """One message's tokens in a request, the system prompt "p"'s, and the
    request's own framing."""
    framing = FORMATS[fmt].framing
    return (fh.count_tokens([message], fmt) - framing.per_request, fh.estimate_tokens("p\n") + framing.per_message,
            framing.per_request)


@pytest.mark.parametrize("fmt", ["openai", "anthropic"])
def test_billing_hand_computed(fmt):
    big = {"role": "user", "content": BIG}
    t, p, r = _sizes(fmt, big)
    assert p + t < 1024 <= p + 3 * t  # the first prefix is under the cache minimum, the second is not
    if fmt == "openai":
        # Nothing under 1,024 tokens is cached; then the shared p + 3t tokens are
        # read in whole 128-token steps.
        shared = p + 3 * t
        costs = [p + t + r, p + 3 * t + r, (shared - shared % 128) * 0.1 + (p + 5 * t - (shared - shared % 128)) + r]
    else:
        # The first request is under the minimum (no breakpoint); the second writes
        # its p + 3t tokens at 1.25x; the third reads them and writes the 2t new.
        costs = [p + t + r, (p + 3 * t) * 1.25 + r, (p + 3 * t) * 0.1 + 2 * t * 1.25 + r]
    conv = fh.Conversation("p", format=fmt)
    turns = [[big], [{"role": "assistant", "content": BIG}, big], [{"role": "assistant", "content": BIG}, big]]
    for turn, cost in zip(turns, costs):
        conv.extend(turn)
        conv.request_params()
        report = conv.last_report
        assert report["billing"]["request"]["cost"] == pytest.approx(cost)
        # Appending only: the full history with caching is billed the same.
        assert report["billing"]["full_history"]["cost"] == pytest.approx(cost)
        assert sum(report["billing"]["request"][k] for k in ("read_tokens", "write_tokens", "uncached_tokens")) \
            == report["tokens_sent"]
    summary = conv.billing()
    assert summary["billed"]["cost"] == pytest.approx(sum(costs))
    assert summary["cost_ratio"] == pytest.approx(1.0) and summary["requests"] == 3
    assert summary["provider"] == ("anthropic" if fmt == "anthropic" else "openai")


@pytest.mark.parametrize("ttl, write", [("5m", 1.25), ("1h", 2.0)])
def test_cache_ttl_sets_the_write_price_and_the_mark(ttl, write):
    conv = fh.Conversation("p", format="anthropic", cache_ttl=ttl)
    message = {"role": "user", "content": BIG + BIG}
    t, p, r = _sizes("anthropic", message)
    conv.append(message)
    params = conv.request_params()
    assert conv.last_report["billing"]["request"]["cost"] == pytest.approx((p + t) * write + r)
    [(_, block)] = marks_of(params)
    assert block["cache_control"] == ({"type": "ephemeral"} if ttl == "5m" else {"type": "ephemeral", "ttl": "1h"})


def test_request_params_shapes():
    for fmt, key in (("openai", "messages"), ("openai-responses", "input")):
        conv = fh.Conversation("p", format=fmt)
        conv.append({"role": "user", "content": "hi"})
        params = conv.request_params()
        assert set(params) == {key, "prompt_cache_key"} and params[key][0]["role"] == "system"
        again = fh.Conversation.from_dict(json.loads(json.dumps(conv.to_dict())))
        again.append({"role": "assistant", "content": "hello"})
        assert again.request_params()["prompt_cache_key"] == params["prompt_cache_key"]
        assert fh.Conversation(format=fmt).prompt_cache_key != conv.prompt_cache_key
    conv = fh.Conversation("Be careful.", format="anthropic", prompt_cache_key="mine")
    conv.note("the tests run on 3.11")
    conv.append({"role": "user", "content": "hi"})
    params = conv.request_params(consolidate=True)
    assert set(params) == {"system", "messages"} and conv.prompt_cache_key == "mine"
    assert [b["text"] for b in params["system"]] == ["Be careful.\n", "STATE:\n- the tests run on 3.11\n"]
    assert "".join(b["text"] for b in params["system"]) == conv.system_prompt
    fh.validate(params["messages"], format="anthropic")


def test_breakpoints_cover_a_long_new_part_and_keep_the_callers():
    purpose = "You are a careful coding agent. Keep every answer short and exact. " * 120
    assert fh.estimate_tokens(purpose) > 1024
    conv = fh.Conversation(purpose, format="anthropic")
    conv.extend([{"role": "user", "content": "start"}, {"role": "assistant", "content": "ok"}])
    conv.request_params()
    first_total = conv.last_report["tokens_sent"]
    caller = {"role": "user", "content": [{"type": "text", "text": "mine", "cache_control": {"type": "ephemeral"}}]}
    before = copy.deepcopy(caller)
    turns = []
    for k in range(15):  # 30 new blocks: more than the 20-block lookback
        turns += [{"role": "user", "content": f"step {k}"}, {"role": "assistant", "content": f"done {k}"}]
    conv.extend(turns + [caller])
    params = conv.request_params()
    marks = marks_of(params)
    assert len(marks) == 3 and caller in params["messages"] and caller == before
    # The system prompt, the end of what was sent before (31 blocks back), and the
    # caller's own mark, which serves as the rolling one.
    assert [w for w, _ in marks] == ["system", 1, len(params["messages"]) - 1]
    bill = conv.last_report["billing"]["request"]
    reply = FORMATS["anthropic"].framing.per_request  # the reply's start is never cached
    assert bill["read_tokens"] == first_total - reply and bill["uncached_tokens"] == reply


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(conversations=st.lists(conversation_st, min_size=1, max_size=4), thinking=st.booleans(),
       budget=st.one_of(st.none(), st.integers(200, 3000)), sdk=st.booleans())
def test_breakpoints_are_valid_on_every_request(conversations, thinking, budget, sdk):
    conv = fh.Conversation("You are a careful coding agent. " * 20, format="anthropic", max_tokens=budget,
                           cache_min_tokens=0)
    for k, turns in enumerate(conversations):
        messages = anthropic_sdk_messages(turns) if sdk else anthropic_messages(turns, thinking=thinking,
                                                                                 prefix=f"r{k}_")
        if sdk:
            for m in messages:  # ids unique across rounds
                if isinstance(m["content"], list):
                    for b in m["content"]:
                        for field in ("id", "tool_use_id"):
                            if isinstance(b, dict) and field in b:
                                b[field] = f"r{k}_{b[field]}"
                            elif hasattr(b, field):
                                setattr(b, field, f"r{k}_{getattr(b, field)}")
        conv.extend(messages)
        params = conv.request_params()
        marks = marks_of(params)
        assert 1 <= len(marks) <= 4 and conv.last_report["breakpoints"] == len(marks)
        for _, block in marks:
            kind = block.get("type") if isinstance(block, dict) else block.type
            assert kind not in ("thinking", "redacted_thinking")
        plain = [{**m, "content": [{k: v for k, v in b.items() if k != "cache_control"} if isinstance(b, dict)
                                   else b for b in m["content"]]} if isinstance(m["content"], list) else m
                 for m in params["messages"]]
        fh.validate(plain, format="anthropic")
        fh.validate(params["messages"], format="anthropic")


@pytest.mark.parametrize("fmt", ["openai", "anthropic"])
@pytest.mark.parametrize("tool_turns", [10, 60])
def test_user_statements_survive_tool_turns_while_the_text_fits(fmt, tool_turns):
    conv = fh.Conversation("You are a coding agent.", format=fmt, max_tokens=3000)
    fact = "Note for later: the staging database is db-staging-7.internal:5433."
    conv.extend([{"role": "user", "content": fact}, {"role": "assistant", "content": "Noted."}])
    conv.request_params()
    for k in range(tool_turns):
        turn = {"user": f"Read file {k}.", "cycles": [("", [("read_file", f"line {k} of the file\n" * 120)])],
                "final": "Read it."}
        messages = (openai_messages([turn], system=None, prefix=f"c{k}_") if fmt == "openai"
                    else anthropic_messages([turn], prefix=f"c{k}_"))
        conv.extend(messages)
        params = conv.request_params()
        report = conv.last_report
        assert report["tokens_sent"] <= 3000 and report["within_budget"]
        texts = json.dumps(params)
        assert fact in texts  # verbatim: the conversation text alone still fits
        assert report["user_turns_kept"] == k + 2 and report["user_turns_in_ledger"] == 0
    assert conv.ledger == []  # no acknowledgement digest pushed anything out


def test_user_statements_go_to_the_ledger_before_leaving_and_acks_do_not_push_them_out():
    conv = fh.Conversation("p", max_tokens=400, state_capacity=5)
    facts = [f"Remember: the tenant id number {k} is tn-{k:04d}." for k in range(4)]
    for k, fact in enumerate(facts):
        conv.extend([{"role": "user", "content": fact}, {"role": "assistant", "content": f"Noted, {k}. " * 10}])
        conv.request()
    for k in range(80):  # the conversation text no longer fits: old turns leave
        conv.extend([{"role": "user", "content": "Go on."},
                     {"role": "assistant", "content": f"Working on step {k} now. " * 8}])
        out = conv.request()
        assert conv.last_report["tokens_sent"] <= 400
    assert conv.ledger == facts + ["Go on."]  # one entry per distinct statement
    assert all(f"- {f}\n" in out[0]["content"] for f in facts)
    assert len(conv.recap) == 1 and conv.recap[0].startswith("Working on step")  # a quarter of 5
    assert conv.last_report["user_turns_in_ledger"] > len(facts)


@pytest.mark.parametrize("fmt", ["openai", "anthropic"])
def test_a_restored_conversation_bills_identically(fmt):
    def turns(k):
        turn = {"user": f"Step {k}: read it.", "cycles": [("", [("read_file", "code line\n" * (50 + 40 * k))])],
                "final": f"Done {k}."}
        return (openai_messages([turn], system=None, prefix=f"c{k}_") if fmt == "openai"
                else anthropic_messages([turn], prefix=f"c{k}_"))

    conv = fh.Conversation("You are a coding agent. " * 60, format=fmt, max_tokens=4000)
    for k in range(6):
        conv.extend(turns(k))
        conv.request_params()
    twin = fh.Conversation.from_dict(json.loads(json.dumps(conv.to_dict())))
    assert twin.billing() == conv.billing()
    for k in range(6, 14):
        outs = []
        for c in (conv, twin):
            c.extend(turns(k))
            outs.append(json.loads(json.dumps(c.request_params())))
        assert outs[0] == outs[1] and conv.last_report == twin.last_report
    assert twin.billing() == conv.billing() and conv.billing()["cost_ratio"] < 1.0


@pytest.mark.parametrize(
    "options, message",
    [
        ({"rewrite_target": 0}, "rewrite_target"),
        ({"rewrite_target": 1.5}, "rewrite_target"),
        ({"cache_ttl": "2h"}, "cache_ttl"),
        ({"cache_read_ratio": -1.0}, "read_ratio"),
        ({"cache_min_tokens": -5}, "min_tokens"),
        ({"format": "gemini"}, "format must be one of"),
    ],
)
def test_settings_are_checked(options, message):
    with pytest.raises(ValueError, match=message):
        fh.Conversation("p", **options)


def test_settings_object_and_overrides():
    base = ConversationSettings(format="anthropic", max_tokens=5000, model="claude-haiku-4-5")
    conv = fh.Conversation("p", base, cache_ttl="1h")
    assert conv.settings == ConversationSettings(format="anthropic", max_tokens=5000, model="claude-haiku-4-5",
                                                 cache_ttl="1h")
    assert (conv.rules.min_tokens, conv.rules.write_ratio) == (4096, 2.0)
    assert fh.Conversation("p", cache_read_ratio=0.5).rules.read_ratio == 0.5
    with pytest.raises(TypeError, match="unexpected keyword argument 'max_token'"):
        fh.Conversation("p", max_token=5)
