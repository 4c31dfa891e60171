"""fenwa_host.Conversation: cache-stable requests, digests, persistence, threads."""
from __future__ import annotations

import json
import threading

import fenwa_micro as fm
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import fenwa_host as fh
from fenwa_host.formats import FORMATS
from host_conversations import TEXTS, anthropic_messages, openai_messages, responses_items, turn_st
from test_host_trim import assert_provider_valid

pytest.importorskip("anthropic")


def one_turn(fmt, turn, prefix):
    if fmt == "openai":
        return openai_messages([turn], system=None, prefix=prefix)
    if fmt == "anthropic":
        return anthropic_messages([turn], prefix=prefix)
    return responses_items([turn], system=None, prefix=prefix)


def digest(text):
    words = " ".join(text.split())  # str.split() splits on the same White_Space set
    raw = words.encode()
    if len(raw) <= 120:
        return words
    cut = 120
    while cut < len(raw) and (raw[cut] & 0xC0) == 0x80:
        cut += 1
    return raw[:cut].decode() + ("…" if cut < len(raw) else "")


class Untried(fh.Conversation):
    """A Conversation whose rewrite runs every trim it tries, none taken from an
    earlier stage with the same outcome: it must send what the other sends."""

    def _trim_key(self, held, budget):
        return object(), budget


class ConversationMachine(RuleBasedStateMachine):
    @initialize(
        fmt=st.sampled_from(["openai", "anthropic", "openai-responses"]),
        max_tokens=st.one_of(st.none(), st.integers(150, 4000)),
        capacity=st.integers(1, 6),
        calls_ahead=st.sampled_from([1, 8, 50]),
        tool_results=st.sampled_from(["elide", "drop"]),
    )
    def start(self, fmt, max_tokens, capacity, calls_ahead, tool_results):
        self.fmt = fmt
        self.conv = fh.Conversation("You are a careful coding agent.", format=fmt, max_tokens=max_tokens,
                                    state_capacity=capacity, calls_ahead=calls_ahead, tool_results=tool_results)
        self.untried = Untried("You are a careful coding agent.", format=fmt, max_tokens=max_tokens,
                               state_capacity=capacity, calls_ahead=calls_ahead, tool_results=tool_results)
        self.twins = []
        self.turns = 0
        self.previous = None
        self.previous_system = None

    def each(self):
        return [self.conv, self.untried] + self.twins

    @rule(turn=turn_st)
    def add_turn(self, turn):
        messages = one_turn(self.fmt, turn, f"t{self.turns}_")
        self.turns += 1
        for c in self.each():
            c.extend(messages)

    @rule(fact=st.sampled_from(TEXTS))
    def note(self, fact):
        results = {c.note(fact) for c in self.each()}
        assert len(results) == 1

    @rule(text=st.sampled_from(TEXTS))
    def pin(self, text):
        message = {"role": "user", "content": "Pinned: " + text}
        for c in self.each():
            c.pin(message)

    @precondition(lambda self: self.turns > 0)
    @rule(force=st.booleans())
    def request(self, force):
        outs = [c.request(consolidate=force) for c in self.each()]
        reports = [c.last_report for c in self.each()]
        out, report = outs[0], reports[0]
        for other, other_report in zip(outs[1:], reports[1:]):  # restored twins behave identically
            assert json.loads(json.dumps(other)) == json.loads(json.dumps(out))
            assert other_report == report
        fh.validate(out, format=self.fmt)
        assert_provider_valid([m for m in out if m.get("role") != "system"] if self.fmt != "openai-responses"
                              else [m for m in out if m.get("role") != "system"], self.fmt)
        system = self.conv.system_prompt
        if self.fmt != "anthropic":
            assert out[0] == {"role": "system", "content": system}
        if self.conv.max_tokens is not None and not report["within_budget"]:
            assert report["consolidated"]
        if self.conv.max_tokens is not None and report["within_budget"]:
            assert report["tokens_sent"] <= self.conv.max_tokens
        body = out[1:] if self.fmt != "anthropic" else out
        if not report["consolidated"]:
            # The cached prefix is byte-identical: same system text, the previous
            # messages unchanged and in place; new ones only appended.
            assert system == self.previous_system
            assert len(body) >= len(self.previous)
            assert all(a is b for a, b in zip(body, self.previous))
            assert report["cache_stable_tokens"] > 0 or not self.previous
        else:
            assert report["reason"]
        # What was sent, counted afresh: the system message (a message's framing
        # also for Anthropic's system parameter), the body, the request's framing.
        framing = FORMATS[self.fmt].framing
        recount = fh.count_tokens(body, self.fmt)
        if system:
            recount += fh.estimate_tokens(system) + framing.per_message + (0 if body else framing.per_request)
        assert report["tokens_sent"] == recount
        self.previous = list(body)
        self.previous_system = system

    @rule()
    def roundtrip(self):
        data = json.loads(json.dumps(self.conv.to_dict()))
        self.twins = [fh.Conversation.from_dict(data)]
        assert self.twins[0].to_dict() == data

    @invariant()
    def bookkeeping_equals_a_fresh_read(self):
        # A consolidation reuses the views and counts of the messages it keeps
        # unchanged; they must be what reading the live history anew gives.
        if not hasattr(self, "conv"):
            return
        c = self.conv
        fresh = fh.Conversation.from_dict(json.loads(json.dumps(c.to_dict())))
        assert c._tokens == fresh._tokens and c._bytes == fresh._bytes
        assert [v[1:] for v in c._views] == [v[1:] for v in fresh._views]  # all but the position

    @invariant()
    def ledger_bounded_and_unique(self):
        if not hasattr(self, "conv"):
            return
        ledger = self.conv.ledger
        assert len(ledger) <= self.conv.state_capacity
        assert len(set(ledger)) == len(ledger)


ConversationMachine.TestCase.settings = settings(
    max_examples=40, stateful_step_count=25, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
TestConversation = ConversationMachine.TestCase


def test_leaving_turns_keep_the_user_text_and_digest_the_assistant():
    # A user turn that must leave keeps its text in the ledger (White_Space runs
    # collapsed); an assistant turn leaves the window's digest in the recap.
    conv = fh.Conversation("p", state_capacity=8, max_tokens=60, keep_last_turns=1)
    long_turn = "  Estou   a\tinvestigar\n" + "erro de migração " * 20
    long_answer = "  Verifiquei   a\ttabela\n" + "de preços bloqueada " * 20
    conv.extend([{"role": "user", "content": long_turn}, {"role": "assistant", "content": long_answer}])
    conv.request()
    conv.extend([{"role": "user", "content": "next " * 40}, {"role": "assistant", "content": "done " * 30}])
    conv.request()
    assert conv.last_report["consolidated"] and "budget" in conv.last_report["reason"]
    assert conv.ledger == [" ".join(long_turn.split())]
    assert conv.recap == [digest(long_answer)] and conv.recap[0].endswith("…")
    window = fm.ContextApoptosis()
    window.insert(long_answer, fm.USER, 0.0)
    window.dehydrate(absorb=True)
    assert window.state_entries() == [digest(long_answer)]
    assert conv.last_report["user_turns_in_ledger"] == 1
    # Neither fits the system prompt's share of a 60-token budget: both stay out
    # of the request, and the report says so.
    assert conv.system_prompt == "p\n" and conv.last_report["ledger_omitted"] == 2


def test_append_only_until_consolidation_pays():
    conv = fh.Conversation("You are a coding agent.", calls_ahead=2)
    sent = []
    reports = []
    for k in range(30):
        conv.extend([
            {"role": "user", "content": f"Step {k}: check file {k}."},
            {"role": "assistant", "content": None, "tool_calls": [
                {"id": f"c{k}", "type": "function", "function": {"name": "read", "arguments": "{}"}}]},
            {"role": "tool", "tool_call_id": f"c{k}", "content": "line of code\n" * 150},
            {"role": "assistant", "content": f"File {k} is fine."},
        ])
        sent.append(conv.request())
        reports.append(conv.last_report)
    consolidated = [r["consolidated"] for r in reports]
    assert consolidated[0] and any(consolidated[1:]) and not all(consolidated[1:])
    for k in range(1, 30):
        if not consolidated[k]:
            assert sent[k][: len(sent[k - 1])] == sent[k - 1]
            # The reply's start (the request's framing) is not part of the prefix.
            per_request = FORMATS["openai"].framing.per_request
            assert reports[k]["cache_stable_tokens"] == reports[k - 1]["tokens_sent"] - per_request
        else:
            assert reports[k]["reason"].startswith("rewriting pays")
            assert reports[k]["consolidation_gain"]["consolidate"]
    last = reports[-1]
    assert last["tokens_sent"] < last["tokens_full_history"]
    assert last["reasoning"] == fh.reasoning_params("Step 29: check file 29.", "openai")


def test_from_dict_rejects_tampering_and_builds_nothing():
    conv = fh.Conversation("p", state_capacity=3)
    conv.extend([{"role": "user", "content": "hi"}, {"role": "assistant", "content": "hello"}])
    conv.note("fact")
    conv.request()
    good = json.loads(json.dumps(conv.to_dict()))
    assert fh.Conversation.from_dict(good).to_dict() == good
    cases = [
        ("version", 4, "version"),
        ("version", 0, "version"),
        ("sent", 5, "sent"),
        ("sent", -1, "sent"),
        ("ledger", ["a", "a"], "ledger"),
        ("ledger", ["a", "b", "c", "d"], "ledger"),
        ("messages", [{"role": "user", "content": "hi"}, {"role": "tool", "tool_call_id": "x", "content": "r"}],
         "messages"),
        ("messages", [{"role": "user", "content": "hi"}, {"role": "robot", "content": "r"}], "messages"),
        ("pinned", [7], "pinned"),
        ("system_text", None, "system_text"),
        ("settings", {**good["settings"], "format": "gemini"}, "settings"),
        ("settings", {**good["settings"], "surprise": 1}, "settings.surprise"),
        ("full_tokens", "many", "full_tokens"),
    ]
    for key, value, name in cases:
        bad = json.loads(json.dumps(good))
        bad[key] = value
        with pytest.raises(ValueError, match=f"field '{name}"):
            fh.Conversation.from_dict(bad)
    del good["messages"]
    with pytest.raises(ValueError, match="field 'messages' is missing"):
        fh.Conversation.from_dict(good)


def _stored():
    conv = fh.Conversation("You are a coding agent.", state_capacity=3, max_tokens=500)
    conv.extend([{"role": "user", "content": "hi"}, {"role": "assistant", "content": "hello"}])
    conv.request()
    return json.loads(json.dumps(conv.to_dict()))


@pytest.mark.parametrize("key", sorted(_stored()))
def test_from_dict_refuses_every_missing_key(key):
    data = _stored()
    del data[key]
    with pytest.raises(ValueError, match=f"field '{key}' is missing"):
        fh.Conversation.from_dict(data)


@pytest.mark.parametrize("key", sorted(_stored()["settings"]) + ["cache.entries", "cache.billed.cost"])
def test_from_dict_refuses_a_missing_nested_key(key):
    data = _stored()
    where = data
    parts = ("settings." + key if "." not in key else key).split(".")
    for part in parts[:-1]:
        where = where[part]
    del where[parts[-1]]
    with pytest.raises(ValueError, match=f"field '{'.'.join(parts)}' is missing"):
        fh.Conversation.from_dict(data)


def test_from_dict_keeps_a_purpose_of_none_apart_from_a_missing_one():
    data = _stored()
    data["purpose"] = None
    assert fh.Conversation.from_dict(data).to_dict()["purpose"] is None


def test_bad_input_is_refused_whole():
    conv = fh.Conversation()
    conv.append({"role": "user", "content": "hi"})
    with pytest.raises(TypeError, match="message 2: 'content'"):
        conv.extend([{"role": "assistant", "content": "a"}, {"role": "user", "content": 3}])
    assert len(conv) == 1
    conv.append({"role": "assistant", "content": None, "tool_calls": [
        {"id": "x", "type": "function", "function": {"name": "f", "arguments": "{}"}}]})
    with pytest.raises(ValueError, match="call without its result"):
        conv.request()
    with pytest.raises(ValueError, match="format must be one of"):
        fh.Conversation(format="langchain")


def test_threads_share_one_conversation():
    conv = fh.Conversation("p", max_tokens=3000)
    errors = []

    def worker(w):
        try:
            for k in range(25):
                turn = {"user": TEXTS[(w + k) % len(TEXTS)], "cycles": [("", [("grep", "ok")])], "final": "done"}
                conv.extend(openai_messages([turn], system=None, prefix=f"w{w}k{k}_"))
                fh.validate(conv.request())
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert conv.to_dict()["appended"] == 4 * 25 * 4
    assert conv.last_report["tokens_sent"] <= 3000
