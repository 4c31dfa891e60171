"""An agent host replaying a recorded coding session through fenwa_host.Conversation.

    python examples/agent_host.py                 # per-turn table and summary
    python examples/agent_host.py --json          # the summary as JSON
    python examples/agent_host.py --plot out.png  # billed cost per turn against the full history

The transcript is in OpenAI Chat Completions format, tool calls and results
included. The host appends each turn to a Conversation (purpose, noted facts, a
token budget), asks it for the next request's parameters, validates the messages
as the provider would, and records what was sent and what it is billed against
the full history sent with the provider's caching. The same session replays as
Anthropic Messages (cache breakpoints included) to price it under both providers'
rules. Two worker threads signal load and flood alerts on a HormonalBus while a
third drains the events; the effort gauge sets each request's reasoning parameters.
"""
from __future__ import annotations

import argparse
import json
import queue
import sys
import threading
from collections import Counter
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

import fenwa_micro as fm

import fenwa_host as fh

TRANSCRIPT = Path(__file__).resolve().parent / "data" / "transcript.json"
MAX_TOKENS = 4000  # every request, system message included, stays within this
CALLS_AHEAD = 8  # the horizon over which a prefix rewrite must pay for itself

# Bus channels used by this host.
LOAD, ALERT, EFFORT = 0, 1, 2


class Signals:
    """Two producer threads secrete load and alert signals; a consumer drains them."""

    def __init__(self) -> None:
        self.bus = fm.HormonalBus(num_signals=8, event_capacity=4096)
        self.load_jobs: queue.Queue[Optional[float]] = queue.Queue()
        self.alert_jobs: queue.Queue[Optional[float]] = queue.Queue()
        self.stop = threading.Event()
        self.drained: List[Tuple[int, float]] = []
        self.threads = [
            threading.Thread(target=self._produce, args=(self.load_jobs, LOAD), name="load"),
            threading.Thread(target=self._produce, args=(self.alert_jobs, ALERT), name="alerts"),
            threading.Thread(target=self._drain, name="drain"),
        ]

    def __enter__(self) -> "Signals":
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.load_jobs.put(None)
        self.alert_jobs.put(None)
        self.threads[0].join()
        self.threads[1].join()
        self.stop.set()
        self.threads[2].join()
        self.drained += self.bus.drain_events(1 << 20)

    def _produce(self, jobs: "queue.Queue[Optional[float]]", channel: int) -> None:
        signal = fm.HormonalSignal(1 << channel)
        while True:
            intensity = jobs.get()
            if intensity is None:
                return
            signal.intensity = intensity
            self.bus.inject(signal)

    def _drain(self) -> None:
        while not self.stop.wait(0.002):
            self.drained += self.bus.drain_events(256)


def consolidation_kind(reason: str) -> str:
    """The report's reason, reduced to its kind for counting."""
    for kind in ("first request", "budget", "rewriting pays", "asked"):
        if kind in reason:
            return kind
    return "other"


def as_anthropic(turn: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
    """One OpenAI Chat turn as Anthropic Messages: tool calls become tool_use blocks,
    and the results of one assistant message one user message of tool_result blocks."""
    out: List[Dict[str, Any]] = []
    for m in turn:
        if m["role"] == "tool":
            block = {"type": "tool_result", "tool_use_id": m["tool_call_id"], "content": m["content"]}
            if out and out[-1]["role"] == "user" and isinstance(out[-1]["content"], list):
                out[-1]["content"].append(block)
            else:
                out.append({"role": "user", "content": [block]})
        elif m["role"] == "assistant" and m.get("tool_calls"):
            blocks: List[Dict[str, Any]] = [{"type": "text", "text": m["content"]}] if m.get("content") else []
            blocks += [{"type": "tool_use", "id": c["id"], "name": c["function"]["name"],
                        "input": json.loads(c["function"]["arguments"])} for c in m["tool_calls"]]
            out.append({"role": "assistant", "content": blocks})
        else:
            out.append({"role": m["role"], "content": m["content"]})
    return out


def price_as_anthropic(transcript: Dict[str, Any]) -> Dict[str, Any]:
    """The same session as Anthropic requests: their billing summary."""
    conversation = fh.Conversation(transcript["purpose"], format="anthropic", max_tokens=MAX_TOKENS,
                                   calls_ahead=CALLS_AHEAD, state_capacity=64)
    for fact in transcript["facts"]:
        conversation.note(fact)
    for turn in transcript["turns"]:
        conversation.extend(as_anthropic(turn))
        params = conversation.request_params()
        fh.validate(params["messages"], format="anthropic")
    return dict(conversation.billing())


def replay(
    transcript: Dict[str, Any],
    show: Callable[..., None] = print,
    on_request: Optional[Callable[[int, List[Any]], None]] = None,
) -> Dict[str, Any]:
    conversation = fh.Conversation(
        transcript["purpose"], max_tokens=MAX_TOKENS, calls_ahead=CALLS_AHEAD, state_capacity=64
    )
    for fact in transcript["facts"]:
        conversation.note(fact)

    rows: List[Dict[str, Any]] = []
    tiers: Counter[str] = Counter()
    alerts: List[Dict[str, Any]] = []
    with Signals() as signals:
        show(f"{'turn':>4} {'tier':<6} {'sent':>6} {'full':>6} {'stable':>6} {'billed':>7} {'full b.':>7} "
             f"{'elided':>6} {'dropped':>7} {'ledger':>6}  request")
        for number, turn in enumerate(transcript["turns"], start=1):
            conversation.extend(turn)
            params = conversation.request_params()  # client.chat.completions.create(model=..., **params)
            messages = params["messages"]
            fh.validate(messages)  # what the provider would check, before it is sent
            if on_request is not None:
                on_request(number, messages)
            report = conversation.last_report
            tiers[report["effort_tier"]] += 1
            user = next(m["content"] for m in turn if m["role"] == "user")
            signals.bus.secrete(1 << EFFORT, fm.effort_gauge(user)["score"])
            for payload in report["saturation"]:
                signals.load_jobs.put(payload["saturation"])
                if payload["flood"]:
                    alerts.append({"turn": number, "saturation": payload["saturation"],
                                   "bytes": payload["bytes"]})
                    signals.alert_jobs.put(payload["saturation"])
            row = {
                "turn": number,
                "tier": report["effort_tier"],
                "reasoning": report["reasoning"],
                "tokens_sent": report["tokens_sent"],
                "tokens_full_history": report["tokens_full_history"],
                "cache_stable_tokens": report["cache_stable_tokens"],
                "cache_stable_bytes": report["cache_stable_bytes"],
                "consolidated": report["consolidated"],
                "reason": report["reason"],
                "elided": report["elided"],
                "dropped": report["dropped"],
                "ledger_size": report["ledger_size"],
                "user_turns_kept": report["user_turns_kept"],
                "billed": report["billing"]["request"]["cost"],
                "billed_read_tokens": report["billing"]["request"]["read_tokens"],
                "billed_full_history": report["billing"]["full_history"]["cost"],
            }
            rows.append(row)
            action = report["reason"] if report["consolidated"] else "appended"
            show(f"{number:>4} {row['tier']:<6} {row['tokens_sent']:>6} {row['tokens_full_history']:>6} "
                 f"{row['cache_stable_tokens']:>6} {row['billed']:>7.0f} {row['billed_full_history']:>7.0f} "
                 f"{row['elided']:>6} {row['dropped']:>7} {row['ledger_size']:>6}  {action}")

    events: Counter[str] = Counter()
    for flags, _ in signals.drained:
        events[{1 << LOAD: "load", 1 << ALERT: "alert", 1 << EFFORT: "effort"}.get(flags, "other")] += 1
    sent = sum(r["tokens_sent"] for r in rows)
    full = sum(r["tokens_full_history"] for r in rows)
    stable = sum(r["cache_stable_tokens"] for r in rows)
    reasons = Counter(consolidation_kind(r["reason"]) for r in rows if r["consolidated"])
    openai_billing = dict(conversation.billing())
    user_turns = sum(1 for t in transcript["turns"] for m in t if m["role"] == "user")
    return {
        "turns": len(rows),
        "max_tokens": MAX_TOKENS,
        "tokens_sent": sent,
        "tokens_full_history": full,
        "reduction": 1.0 - sent / full if full else 0.0,
        "last_tokens_sent": rows[-1]["tokens_sent"] if rows else 0,
        "last_tokens_full_history": rows[-1]["tokens_full_history"] if rows else 0,
        "cache_stable_tokens": stable,
        "cache_stable_share": stable / sent if sent else 0.0,
        "consolidations": sum(1 for r in rows if r["consolidated"]),
        "consolidation_reasons": dict(sorted(reasons.items())),
        "ledger_entries": len(conversation.ledger),
        "recap_entries": len(conversation.recap),
        "user_turns": user_turns,
        "user_turns_kept": rows[-1]["user_turns_kept"] if rows else 0,
        "user_turns_in_ledger": conversation.last_report["user_turns_in_ledger"] if rows else 0,
        "billing": {"openai": openai_billing, "anthropic": price_as_anthropic(transcript)},
        "tiers": dict(sorted(tiers.items())),
        "alerts": alerts,
        "bus_secretions": int(signals.bus.stats()["secretions"]),
        "bus_events_drained": dict(sorted(events.items())),
        "rows": rows,
    }


def print_summary(s: Dict[str, Any]) -> None:
    print()
    print(f"tokens sent over {s['turns']} requests: {s['tokens_sent']}, against {s['tokens_full_history']} "
          f"for the full history every time (reduction {s['reduction']:.1%}; budget {s['max_tokens']} per request)")
    print(f"last request: {s['last_tokens_sent']} tokens sent, full history {s['last_tokens_full_history']}")
    print(f"cache-stable prefix: {s['cache_stable_tokens']} of the tokens sent "
          f"({s['cache_stable_share']:.1%}) repeated the previous request byte for byte")
    for provider, b in s["billing"].items():
        print(f"billed input, {provider} cache rules: {b['billed']['cost']:.0f} token-equivalents against "
              f"{b['full_history']['cost']:.0f} for the full history with caching ({b['cost_ratio']:.2f}x); "
              f"{b['cache_read_share']:.1%} of the tokens sent read from cache")
    print(f"consolidations: {s['consolidations']} (" +
          ", ".join(f"{k} {v}" for k, v in s["consolidation_reasons"].items()) + ")")
    print(f"STATE ledger entries: {s['ledger_entries']} (user statements and noted facts), recap "
          f"{s['recap_entries']}; user turns sent verbatim in the last request: {s['user_turns_kept']} "
          f"of {s['user_turns']}, in the ledger: {s['user_turns_in_ledger']}")
    print("effort tiers:", ", ".join(f"{k} {v}" for k, v in s["tiers"].items()))
    for a in s["alerts"]:
        print(f"ALERT turn {a['turn']}: repetitive flood of {a['bytes']} bytes (saturation {a['saturation']:.2f})")
    print(f"bus: {s['bus_secretions']} secretions, events drained:",
          ", ".join(f"{k} {v}" for k, v in s["bus_events_drained"].items()))


def plot(summary: Dict[str, Any], path: str) -> int:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("--plot needs matplotlib, which is not installed: pip install matplotlib", file=sys.stderr)
        return 1
    rows = summary["rows"]
    turns = [r["turn"] for r in rows]
    fig, ax = plt.subplots(figsize=(8, 4))
    ax.plot(turns, [r["billed_full_history"] for r in rows], marker="s", label="full history, cached")
    ax.plot(turns, [r["billed"] for r in rows], marker="o", label="Conversation")
    ax.plot(turns, [r["tokens_sent"] for r in rows], linestyle="--", label="tokens sent")
    for a in summary["alerts"]:
        ax.axvline(a["turn"], color="red", linestyle=":", label="flood alert")
    ax.set_xlabel("turn")
    ax.set_ylabel("input-token-equivalents (OpenAI cache rules)")
    ax.set_title("fenwa_host.Conversation: billed input per request")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"wrote {path}")
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")
    parser.add_argument("--plot", metavar="FILE.png", help="draw billed input per turn against the full history")
    parser.add_argument("--transcript", default=str(TRANSCRIPT), help="the transcript to replay")
    args = parser.parse_args(argv)
    transcript = json.loads(Path(args.transcript).read_text(encoding="utf-8"))
    print(f"{fm.__doc__} (version {fm.__version__})", file=sys.stderr if args.json else sys.stdout)
    summary = replay(transcript, show=(lambda *_: None) if args.json else print)
    if args.json:
        print(json.dumps(summary, indent=2, ensure_ascii=False))
    else:
        print_summary(summary)
    if args.plot:
        return plot(summary, args.plot)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:  # the reader went away (`| head`): stop quietly
        sys.stderr.close()
        sys.exit(0)
