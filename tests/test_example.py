"""The README's example replays its bundled transcript; its summary must add up
against an independent recount of what each request sent."""
import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest

from fenwa_host import count_tokens, flood_report
from fenwa_host.formats import FORMATS

from test_host_trim import assert_provider_valid

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "agent_host.py"


PER_REQUEST = FORMATS["openai"].framing.per_request


def tokens(m):
    """One message's tokens in a request: its content and framing."""
    return count_tokens([m], "openai") - PER_REQUEST


def text_of(m):
    """The text a request spends tokens on: content, then each call's name and
    arguments."""
    parts = [m["content"]] if m.get("content") else []
    for call in m.get("tool_calls") or []:
        parts += [call["function"]["name"], call["function"]["arguments"]]
    return "\n".join(parts)


@pytest.fixture(scope="module")
def replayed():
    loader_spec = importlib.util.spec_from_file_location("agent_host", EXAMPLE)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    transcript = json.loads(module.TRANSCRIPT.read_text(encoding="utf-8"))
    requests = []
    summary = module.replay(transcript, show=lambda *_: None,
                            on_request=lambda number, messages: requests.append(list(messages)))
    return summary, transcript, requests, module


def test_transcript_is_realistic(replayed):
    _, transcript, _, _ = replayed
    turns = transcript["turns"]
    assert len(turns) >= 20
    results = [m["content"] for t in turns for m in t if m["role"] == "tool"]
    assert sum(len(r.encode()) > 1500 for r in results) >= 5
    assert sum(flood_report(r).flagged for r in results) == 1
    assert sum(not m["content"].isascii() for t in turns for m in t if m["role"] == "user") >= 2


def test_every_request_is_valid_and_within_budget(replayed):
    summary, _, requests, module = replayed
    assert len(requests) == summary["turns"]
    for messages, row in zip(requests, summary["rows"]):
        assert messages[0]["role"] == "system"
        assert_provider_valid(messages, "openai")
        assert row["tokens_sent"] <= module.MAX_TOKENS


def test_tokens_recount(replayed):
    summary, transcript, requests, _ = replayed
    history = 0
    for turn, messages, row in zip(transcript["turns"], requests, summary["rows"]):
        history += sum(tokens(m) for m in turn)
        sent = count_tokens(messages, "openai")
        assert row["tokens_sent"] == sent
        assert row["tokens_full_history"] == history + tokens(messages[0]) + PER_REQUEST
    assert summary["tokens_sent"] == sum(r["tokens_sent"] for r in summary["rows"])
    assert summary["tokens_full_history"] == sum(r["tokens_full_history"] for r in summary["rows"])
    assert summary["reduction"] == 1 - summary["tokens_sent"] / summary["tokens_full_history"]
    assert 0.3 < summary["reduction"] < 0.95


def test_cache_stable_prefix_and_consolidations(replayed):
    summary, _, requests, _ = replayed
    rows = summary["rows"]
    assert rows[0]["consolidated"] and rows[0]["cache_stable_tokens"] == 0
    for k in range(1, len(rows)):
        previous, current = requests[k - 1], requests[k]
        same = 0
        while same < min(len(previous), len(current)) and previous[same] == current[same]:
            same += 1
        if rows[k]["consolidated"]:
            assert rows[k]["reason"]
        else:
            assert same == len(previous)  # only appended
        # A rewrite keeps what it did not change: the system message and the
        # messages before the first one it elided or dropped.
        assert rows[k]["cache_stable_tokens"] == sum(tokens(m) for m in current[:same])
        assert rows[k]["cache_stable_bytes"] == sum(len(text_of(m).encode()) for m in current[:same])
    consolidated = [r for r in rows if r["consolidated"]]
    assert summary["consolidations"] == len(consolidated) < len(rows)
    assert sum(summary["consolidation_reasons"].values()) == len(consolidated)
    assert summary["cache_stable_tokens"] == sum(r["cache_stable_tokens"] for r in rows) > 0


@pytest.mark.parametrize("provider", ["openai", "anthropic"])
def test_billed_cost_never_above_the_full_history(replayed, provider):
    summary, _, _, _ = replayed
    billing = summary["billing"][provider]
    assert billing["provider"] == provider and billing["requests"] == summary["turns"]
    assert billing["cost_ratio"] == billing["billed"]["cost"] / billing["full_history"]["cost"] < 1.0
    billed = billing["billed"]
    assert 0.5 < billing["cache_read_share"] <= 1.0
    if provider == "openai":  # the rows are the OpenAI replay
        assert billed["read_tokens"] + billed["write_tokens"] + billed["uncached_tokens"] == summary["tokens_sent"]
        assert billed["cost"] == pytest.approx(sum(r["billed"] for r in summary["rows"]))
        assert billed["read_tokens"] == sum(r["billed_read_tokens"] for r in summary["rows"])
        assert billed["write_tokens"] == 0


def test_user_turns_stay_verbatim(replayed):
    summary, transcript, requests, _ = replayed
    said = [m["content"] for t in transcript["turns"] for m in t if m["role"] == "user"]
    assert summary["user_turns"] == len(said)
    kept = [m["content"] for m in requests[-1] if m["role"] == "user"]
    assert summary["user_turns_kept"] == len(kept)
    ledger = requests[-1][0]["content"]
    for text in said:  # every user statement is in the last request, verbatim or in the ledger
        assert text in kept or " ".join(text.split()) in ledger


def test_flood_alert_and_bus(replayed):
    summary, transcript, _, _ = replayed
    flood_turns = [i + 1 for i, t in enumerate(transcript["turns"])
                   if any(m["role"] == "tool" and flood_report(m["content"]).flagged for m in t)]
    assert [a["turn"] for a in summary["alerts"]] == flood_turns
    assert all(a["saturation"] > 0.9 for a in summary["alerts"])
    assert sum(summary["bus_events_drained"].values()) == summary["bus_secretions"]
    assert summary["bus_events_drained"]["alert"] == len(summary["alerts"])
    assert sum(summary["tiers"].values()) == summary["turns"]


def test_command_line_json():
    out = subprocess.run([sys.executable, str(EXAMPLE), "--json"], capture_output=True, text=True, check=True)
    data = json.loads(out.stdout)
    assert data["turns"] >= 20 and data["alerts"] and data["consolidations"] >= 1
