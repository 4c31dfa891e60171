"""The README's example replays its bundled transcript; its summary must add up."""
import importlib.util
import json
import struct
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "agent_host.py"


@pytest.fixture(scope="module")
def summary():
    loader_spec = importlib.util.spec_from_file_location("agent_host", EXAMPLE)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    transcript = json.loads(module.TRANSCRIPT.read_text(encoding="utf-8"))
    return module.replay(transcript, show=lambda *_: None), transcript


def test_flood_is_flagged_once(summary):
    s, transcript = summary
    flood_turns = [i + 1 for i, t in enumerate(transcript["turns"]) if "flood" in t]
    assert [a["turn"] for a in s["alerts"]] == flood_turns
    assert all(a["saturation"] > 0.9 for a in s["alerts"])
    assert all(r["saturation"] < 0.5 for r in s["rows"] if r["turn"] not in flood_turns)


def test_stable_prefix_holds(summary):
    s, _ = summary
    # The purpose contract and the STATE ledger lead every rendered prompt.
    assert all(r["stable_prefix_bytes"] >= s["purpose_bytes"] for r in s["rows"][1:])
    assert s["stable_prefix_bytes_min"] >= s["purpose_bytes"]


def test_accounting_adds_up(summary):
    s, _ = summary
    assert s["tokens_inserted"] - s["tokens_live"] == s["tokens_reclaimed"] > 0
    f32 = lambda x: struct.unpack("f", struct.pack("f", x))[0]  # noqa: E731
    assert s["reduction_ratio"] == f32(f32(s["tokens_reclaimed"]) / f32(s["tokens_inserted"]))
    assert sum(s["bus_events_drained"].values()) == s["bus_secretions"]
    assert s["bus_events_drained"]["alert"] == len(s["alerts"])
    assert sum(s["tiers"].values()) == s["turns"] >= 20


def test_command_line_json():
    out = subprocess.run([sys.executable, str(EXAMPLE), "--json"], capture_output=True, text=True, check=True)
    data = json.loads(out.stdout)
    assert data["turns"] >= 20 and data["alerts"]
