"""Conversation: what it writes to the cache, what counts as purgeable, placeholder
previews, and stored documents of earlier layouts."""
from __future__ import annotations

import json
import json.decoder
from pathlib import Path

import pytest

import fenwa_host as fh
from fenwa_host import billing
from fenwa_host.conversation import ConversationSettings
from fenwa_host.trim import is_placeholder

SOURCE = Path(json.decoder.__file__).read_text(encoding="utf-8")[:6000]  # real code, no flood
PURPOSE = "You are a coding agent. " * 250


def _call(k, r):
    return {"role": "assistant", "content": [{"type": "tool_use", "id": f"t{k}_{r}", "name": "read_file",
                                              "input": {"path": f"f{k}_{r}.py"}}]}


def _result(k, r, lines=300):
    return {"role": "user", "content": [{"type": "tool_result", "tool_use_id": f"t{k}_{r}",
                                         "content": "".join(f"code line {k}.{r}.{i}\n" for i in range(lines))}]}


def _last_block_marked(params):
    content = params["messages"][-1]["content"]
    return isinstance(content, list) and "cache_control" in content[-1]


@pytest.mark.parametrize("rounds, writes_fresh_output", [(1, False), (3, True)])
def test_fresh_tool_output_is_written_only_while_the_next_request_repeats_it(rounds, writes_fresh_output):
    # One tool round a turn: the next turn lets the output go, so after a few turns
    # it is sent uncached. Three rounds a turn: the next request mostly repeats it.
    conv = fh.Conversation(PURPOSE, format="anthropic", max_tokens=200_000)
    marked = []
    for k in range(12):
        conv.append({"role": "user", "content": f"Turn {k}: read the files."})
        for r in range(rounds):
            conv.extend([_call(k, r), _result(k, r)])
            params = conv.request_params()
            marked.append(_last_block_marked(params))
            bill = conv.last_report["billing"]["request"]
            if not marked[-1]:
                assert bill["uncached_tokens"] > 1000 and bill["read_tokens"] > 0
        conv.append({"role": "assistant", "content": f"Done with turn {k}."})
    assert marked[0]  # one repeat is assumed before any is seen
    assert all(marked[-6:]) is writes_fresh_output and any(marked[-6:]) is writes_fresh_output
    assert (conv.repeat_share > 0.5) is writes_fresh_output
    twin = fh.Conversation.from_dict(json.loads(json.dumps(conv.to_dict())))
    assert twin.repeat_share == conv.repeat_share


@pytest.mark.parametrize(
    "write, read, share, expected",
    [(1.25, 0.1, 0.2, False), (1.25, 0.1, 0.25, True), (1.0, 0.1, 0.0, True), (2.0, 0.1, 0.5, False),
     (2.0, 0.1, 0.6, True)],
)
def test_worth_writing_weighs_the_premium_against_a_repeat(write, read, share, expected):
    rules = billing.CacheRules("t", read_ratio=read, write_ratio=write, min_tokens=0, explicit=True)
    assert billing.worth_writing(rules, share) is expected


@pytest.mark.parametrize("end, expected", [(None, [3]), (2, [2]), (0, []), (-1, [])])
def test_place_breakpoints_rolls_up_to_the_last_block_worth_writing(end, expected):
    rules = billing.CacheRules("t", read_ratio=0.1, write_ratio=1.25, min_tokens=100, explicit=True)
    ends = [50, 200, 300, 900]  # block 0 is under the minimum
    assert billing.place_breakpoints(ends, [True] * 4, rules, end=end) == expected


@pytest.mark.parametrize("fmt", ["openai", "anthropic"])
def test_placeholders_and_tiny_results_are_not_purgeable(fmt):
    # Once every old result is a placeholder (or too small to shrink), chat-only
    # turns find nothing to purge: no rewrite is made to look like it pays.
    conv = fh.Conversation("p", format=fmt, max_tokens=50_000)
    for k in range(6):
        payload = "ok" if k % 2 else "".join(f"row {k}.{i}\n" for i in range(400))
        if fmt == "openai":
            conv.extend([{"role": "user", "content": f"read {k}"},
                         {"role": "assistant", "content": None, "tool_calls": [
                             {"id": f"c{k}", "type": "function", "function": {"name": "read", "arguments": "{}"}}]},
                         {"role": "tool", "tool_call_id": f"c{k}", "content": payload},
                         {"role": "assistant", "content": f"done {k}"}])
        else:
            conv.extend([{"role": "user", "content": f"read {k}"}, _call(k, 0),
                         {"role": "user", "content": [{"type": "tool_result", "tool_use_id": f"t{k}_0",
                                                       "content": payload}]},
                         {"role": "assistant", "content": f"done {k}"}])
        conv.request()
    conv.request(consolidate=True)  # every big result is a placeholder now
    for k in range(3):
        conv.extend([{"role": "user", "content": f"chat {k}"}, {"role": "assistant", "content": "sure"}])
        conv.request()
        assert conv.last_report["reason"] == "kept the cached prefix: nothing to purge"
        assert not conv.last_report["consolidated"]


# -- previews ---------------------------------------------------------------------------------


def _tool_turns(n, payload):
    out = []
    for k in range(n):
        out += [{"role": "user", "content": f"read {k}"},
                {"role": "assistant", "content": None, "tool_calls": [
                    {"id": f"c{k}", "type": "function", "function": {"name": "read", "arguments": "{}"}}]},
                {"role": "tool", "tool_call_id": f"c{k}", "content": payload(k)},
                {"role": "assistant", "content": f"done {k}"}]
    return out


@pytest.mark.parametrize(
    "payload, flood",
    [(lambda k: f"# file {k}\n" + SOURCE, False),
     (lambda k: f"ERROR retry {k} exhausted\n" * 400, True)],
)
@pytest.mark.parametrize("chars", [0, 60])
def test_previews_are_counted_persisted_and_never_elided_again(payload, flood, chars):
    conv = fh.Conversation("p", max_tokens=6000, preview_chars=chars)
    conv.extend(_tool_turns(5, payload))
    out = conv.request()
    assert conv.last_report["tokens_sent"] <= 6000 and conv.last_report["within_budget"]
    placeholders = [m["content"] for m in out if m["role"] == "tool" and is_placeholder(m["content"])]
    assert placeholders
    for text in placeholders:
        first, _, rest = text.partition("\n")
        assert first.endswith(", a repetitive flood]") is flood
        if not chars:
            assert rest == ""
        elif flood:  # one line of it
            assert "\n" not in rest and 0 < len(rest) <= chars and rest.startswith("ERROR retry ")
        else:  # head and tail
            assert rest.startswith("# file ") and "\u2026" in rest and len(rest) <= chars + 3
    # Re-trimming, by trim or by a later rewrite, leaves every placeholder as it is.
    for budget in (None, 1200, 300):
        again = fh.trim(out, max_tokens=budget, preview_chars=chars)
        assert {m["content"] for m in again.messages if m["role"] == "tool"} - set(placeholders) <= {
            m["content"] for m in out if m["role"] == "tool"}
        assert all(m["content"] in placeholders for m in again.messages
                   if m["role"] == "tool" and is_placeholder(m["content"]))
    twin = fh.Conversation.from_dict(json.loads(json.dumps(conv.to_dict())))
    assert twin.settings.preview_chars == chars
    for c in (conv, twin):
        c.extend(_tool_turns(1, payload)[:1])
    later = conv.request(consolidate=True)
    assert later == twin.request(consolidate=True)
    assert [m["content"] for m in later if m["role"] == "tool"][0] == placeholders[0]


def test_preview_chars_is_checked():
    with pytest.raises(ValueError, match="preview_chars"):
        ConversationSettings(preview_chars=-1)


# -- stored documents of earlier layouts ------------------------------------------------------


def _version_1(extra_settings=False, **changes):
    """A document as version 1's to_dict wrote it."""
    settings = {"format": "openai", "max_tokens": 3000, "half_life": 4.0, "safe_threshold": 0.3,
                "state_capacity": 8, "calls_ahead": 6, "keep_last_turns": 2, "tool_results": "elide",
                "image_tokens": 900, "cache_read_ratio": 0.25, "cache_write_ratio": None}
    if extra_settings:  # the release that counted with a tokenizer and reserve
        settings.update({"tokenizer": "cl100k", "reserve_tokens": 200, "tools": [{"name": "read"}],
                         "instructions": None})
    messages = [{"role": "user", "content": "Note: the tenant is tn-42."}, {"role": "assistant", "content": "Noted."},
                {"role": "user", "content": "Read it."}]
    d = {"version": 1, "settings": settings, "purpose": "You review code.",
         "ledger": ["the user said: staging is db-7", "assistant: looked at pstats"],
         "system_text": "You review code.\nSTATE:\n- the user said: staging is db-7\n",
         "messages": messages, "pinned": [0], "sent": 2, "requests": 3, "consolidations": 1, "appended": 5,
         "full_tokens": 410}
    if extra_settings:
        d["usage_ratio"] = 1.2
    d.update(changes)
    return d


@pytest.mark.parametrize("extra_settings", [False, True])
def test_a_version_1_document_keeps_its_content_and_restarts_its_cache(extra_settings):
    stored = _version_1(extra_settings)
    conv = fh.Conversation.from_dict(json.loads(json.dumps(stored)))
    s = conv.settings
    for name, value in stored["settings"].items():
        assert getattr(s, name) == value
    assert s.cache_ttl == "5m" and s.preview_chars == 0  # not in version 1: the defaults
    assert conv.ledger == stored["ledger"] and conv.recap == []
    assert len(conv) == 3 and conv.consolidations == 0
    assert conv.usage_ratio == (1.2 if extra_settings else 1.0)
    assert conv.billing()["requests"] == 0 and conv.billing()["billed"]["cost"] == 0
    assert conv.prompt_cache_key.startswith("fenwa-")
    out = conv.request()
    report = conv.last_report
    assert report["reason"] == "first request: nothing is cached yet"
    assert out[0]["role"] == "system" and out[0]["content"].startswith("You review code.\n")
    assert "tn-42" in json.dumps(out) and "staging is db-7" in out[0]["content"]
    assert report["billing"]["request"]["read_tokens"] == 0
    # What it stores now is today's layout, restored exactly.
    again = conv.to_dict()
    assert again["version"] == 3 and fh.Conversation.from_dict(json.loads(json.dumps(again))).to_dict() == again
    assert 0 in again["pinned"]


@pytest.mark.parametrize(
    "change, field",
    [({"purpose": None}, None), ("-purpose", "purpose"), ("-ledger", "ledger"), ("-settings.calls_ahead",
     "settings.calls_ahead"), ({"settings": {"format": "openai", "bogus": 1}}, "settings.bogus"),
     ({"ledger": ["a", "a"]}, "ledger"), ({"pinned": [9]}, "pinned"), ({"full_tokens": -1}, "full_tokens")],
)
def test_a_version_1_document_is_checked(change, field):
    stored = _version_1()
    if isinstance(change, str):  # "-a.b": delete key b of a
        *parents, key = change[1:].split(".")
        where = stored
        for name in parents:
            where = where[name]
        del where[key]
    else:
        stored.update(change)
    if field is None:
        assert fh.Conversation.from_dict(stored).ledger == stored["ledger"]  # no purpose is a valid purpose
        return
    with pytest.raises(ValueError, match=f"field '{field}'"):
        fh.Conversation.from_dict(stored)


def test_a_version_2_document_is_kept_whole():
    conv = fh.Conversation(PURPOSE, format="anthropic", max_tokens=20_000)
    for k in range(4):
        conv.extend([{"role": "user", "content": f"Turn {k}."}, _call(k, 0), _result(k, 0)])
        conv.request_params()
        conv.append({"role": "assistant", "content": "ok"})
    stored = json.loads(json.dumps(conv.to_dict()))
    stored["version"] = 2
    del stored["cache"]["fresh"], stored["settings"]["preview_chars"]
    twin = fh.Conversation.from_dict(stored)
    assert twin.billing() == conv.billing() and twin.ledger == conv.ledger
    assert twin.to_dict()["cache"]["entries"] == conv.to_dict()["cache"]["entries"]
    assert twin.repeat_share == 1.0  # learnt anew
