"""An agent host replaying a recorded coding session through fenwa_micro.

    python examples/agent_host.py                 # per-turn table and summary
    python examples/agent_host.py --json          # the summary as JSON
    python examples/agent_host.py --plot out.png  # live and reclaimed tokens per turn

The host keeps its prompt in a ContextApoptosis window (a purpose contract, noted
facts, one dehydration cycle with absorb per turn and one render per turn), gauges
the reasoning effort of every user turn, screens every input for repetitive floods,
asks whether rewriting the cached prompt prefix pays off, and has two worker threads
signal load and alerts on a HormonalBus while a third drains the events.
"""
from __future__ import annotations

import argparse
import json
import queue
import sys
import threading
from collections import Counter
from pathlib import Path
from typing import Any, Callable

import fenwa_micro as fm

TRANSCRIPT = Path(__file__).resolve().parent / "data" / "transcript.json"

# Bus channels used by this host.
LOAD, ALERT, EFFORT = 0, 1, 2
FLOOD_SATURATION = 0.5  # a payload this repetitive is a flood, not information


def tokens(text: str) -> int:
    """The module's token estimate: UTF-8 bytes / 4 + 1."""
    return len(text.encode("utf-8")) // 4 + 1


def common_prefix_bytes(a: str, b: str) -> int:
    ab, bb = a.encode("utf-8"), b.encode("utf-8")
    n = min(len(ab), len(bb))
    i = 0
    while i < n and ab[i] == bb[i]:
        i += 1
    return i


class Signals:
    """Two producer threads secrete load and alert signals; a consumer drains them."""

    def __init__(self) -> None:
        self.bus = fm.HormonalBus(num_signals=8, event_capacity=4096)
        self.load_jobs: queue.Queue[float | None] = queue.Queue()
        self.alert_jobs: queue.Queue[float | None] = queue.Queue()
        self.stop = threading.Event()
        self.drained: list[tuple[int, float]] = []
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

    def _produce(self, jobs: queue.Queue[float | None], channel: int) -> None:
        signal = fm.HormonalSignal(1 << channel)
        while (intensity := jobs.get()) is not None:
            signal.intensity = intensity
            self.bus.inject(signal)

    def _drain(self) -> None:
        while not self.stop.wait(0.002):
            self.drained += self.bus.drain_events(256)


def replay(transcript: dict[str, Any], show: Callable[..., None] = print) -> dict[str, Any]:
    window = fm.ContextApoptosis(half_life=2.0, safe_threshold=0.35, state_capacity=64)
    window.set_purpose(transcript["system"])
    for fact in transcript["facts"]:
        window.note_state(fact)

    kinds: dict[str, int] = {}  # text -> class bits, to know what is ballast
    rows: list[dict[str, Any]] = []
    tiers: Counter[str] = Counter()
    alerts: list[dict[str, Any]] = []
    previous_prompt: str | None = None
    stable: list[int] = []

    def insert(text: str, bits: int) -> None:
        kinds[text] = bits
        window.insert(text, bits)

    with Signals() as signals:
        show(f"{'turn':>4} {'tier':<6} {'score':>6} {'budget':>6} {'satur.':>6} {'purged':>6} "
             f"{'live':>6} {'reclaimed':>9} {'stable B':>8} {'rewrite?':>8}")
        for number, turn in enumerate(transcript["turns"], start=1):
            user = turn["user"]
            gauge = fm.effort_gauge(user)
            tiers[gauge["tier"]] += 1
            signals.bus.secrete(1 << EFFORT, gauge["score"])
            inputs = [user] + turn.get("tools", [])
            if "flood" in turn:
                inputs.append(turn["flood"] * turn.get("flood_repeat", 1))
            saturation = 0.0
            insert(user, fm.USER)
            if "thinking" in turn:
                insert(turn["thinking"], fm.THINKING)
            for text in inputs[1:]:
                s = fm.saturation_scan(text)
                saturation = max(saturation, s)
                signals.load_jobs.put(tokens(text) / 1000.0)
                if s >= FLOOD_SATURATION:
                    alerts.append({"turn": number, "saturation": s, "bytes": len(text.encode())})
                    signals.alert_jobs.put(s)
                    insert(f"[flood suppressed: {len(text.encode())} bytes, saturation {s:.2f}]", fm.TOOL)
                else:
                    insert(text, fm.TOOL)
            saturation = max(saturation, fm.saturation_scan(user))
            insert(turn["assistant"], fm.ASSISTANT)

            purged = window.dehydrate(absorb=True)
            prompt = window.render()
            if previous_prompt is not None:
                stable.append(common_prefix_bytes(previous_prompt, prompt))
            previous_prompt = prompt

            live = window.active_tokens()
            ballast = sum(tokens(t) for t in window.active_context()
                          if kinds.get(t, 0) & (fm.TOOL | fm.THINKING))
            gain = fm.consolidation_gain(tokens(prompt), ballast)
            row = {
                "turn": number, "tier": gauge["tier"], "score": gauge["score"],
                "budget_tokens": gauge["budget_tokens"], "saturation": saturation,
                "purged": purged, "live_tokens": live,
                "reclaimed_tokens": window.inserted_tokens() - live,
                "stable_prefix_bytes": stable[-1] if stable else 0,
                "consolidate": gain["consolidate"],
            }
            rows.append(row)
            show(f"{number:>4} {row['tier']:<6} {row['score']:>6.3f} {row['budget_tokens']:>6} "
                 f"{saturation:>6.2f} {purged:>6} {live:>6} {row['reclaimed_tokens']:>9} "
                 f"{row['stable_prefix_bytes']:>8} {'yes' if gain['consolidate'] else 'no':>8}")

    events: Counter[str] = Counter()
    for flags, _ in signals.drained:
        events[{1 << LOAD: "load", 1 << ALERT: "alert", 1 << EFFORT: "effort"}.get(flags, "other")] += 1
    stats = signals.bus.stats()
    purpose_bytes = len(transcript["system"].encode("utf-8")) + 1
    summary = {
        "turns": len(rows),
        "tokens_inserted": window.inserted_tokens(),
        "tokens_live": window.active_tokens(),
        "tokens_reclaimed": window.inserted_tokens() - window.active_tokens(),
        "reduction_ratio": window.reduction_ratio(),
        "purpose_bytes": purpose_bytes,
        "stable_prefix_bytes_min": min(stable) if stable else 0,
        "stable_prefix_bytes_mean": sum(stable) / len(stable) if stable else 0.0,
        "ledger_entries": len(window.state_entries()),
        "tiers": dict(sorted(tiers.items())),
        "alerts": alerts,
        "bus_secretions": int(stats["secretions"]),
        "bus_events_drained": dict(sorted(events.items())),
        "rows": rows,
    }
    return summary


def print_summary(s: dict[str, Any]) -> None:
    print()
    print(f"tokens inserted {s['tokens_inserted']}, live {s['tokens_live']}, "
          f"reclaimed {s['tokens_reclaimed']} (reduction {s['reduction_ratio']:.1%})")
    print(f"rendered prompt: the first {s['stable_prefix_bytes_min']} bytes stayed identical from turn "
          f"to turn (mean {s['stable_prefix_bytes_mean']:.0f}; the purpose alone is {s['purpose_bytes']})")
    print(f"STATE ledger entries: {s['ledger_entries']}")
    print("effort tiers:", ", ".join(f"{k} {v}" for k, v in s["tiers"].items()))
    for a in s["alerts"]:
        print(f"ALERT turn {a['turn']}: repetitive flood of {a['bytes']} bytes (saturation {a['saturation']:.2f})")
    print(f"bus: {s['bus_secretions']} secretions, events drained:",
          ", ".join(f"{k} {v}" for k, v in s["bus_events_drained"].items()))


def plot(summary: dict[str, Any], path: str) -> int:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("--plot needs matplotlib, which is not installed: pip install matplotlib", file=sys.stderr)
        return 1
    turns = [r["turn"] for r in summary["rows"]]
    fig, ax = plt.subplots(figsize=(8, 4))
    ax.plot(turns, [r["live_tokens"] for r in summary["rows"]], marker="o", label="live tokens")
    ax.plot(turns, [r["reclaimed_tokens"] for r in summary["rows"]], marker="s", label="reclaimed tokens")
    for a in summary["alerts"]:
        ax.axvline(a["turn"], color="red", linestyle=":", label="flood alert")
    ax.set_xlabel("turn")
    ax.set_ylabel("tokens (estimate)")
    ax.set_title("ContextApoptosis: live and reclaimed tokens per turn")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"wrote {path}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")
    parser.add_argument("--plot", metavar="FILE.png", help="draw live and reclaimed tokens per turn")
    parser.add_argument("--transcript", default=str(TRANSCRIPT), help="the transcript to replay")
    args = parser.parse_args(argv)
    transcript = json.loads(Path(args.transcript).read_text(encoding="utf-8"))
    print(f"{fm.__doc__} (version {fm.__version__})", file=sys.stderr if args.json else sys.stdout)
    summary = replay(transcript, show=(lambda *_: None) if args.json else print)
    if args.json:
        print(json.dumps(summary, indent=2))
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
