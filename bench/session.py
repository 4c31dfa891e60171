"""Billed cost of a long coding session, strategy against strategy, under both
providers' cache rules.

    python bench/session.py                      # 200 and 400 turns, 16k and 32k budgets
    python bench/session.py --turns 200 --budget 16000 --json

The session (bench/session_data.py) reads real files as tool outputs and states
facts that the user asks about later. Each strategy builds the request of every
turn; each request is billed by `fenwa_host.billing` from the blocks it repeats
byte for byte from the cache left by the requests before it, every message
counted as the provider bills it (the estimate of its text plus the format's
framing: role, wrappers, call and result ids):

- full history: every message, every time;
- trim every call: `trim(history, max_tokens=B)` before each call;
- trim to half: append, and when over B, `trim(..., max_tokens=B // 2)`;
- clear tool results: when over B, every tool result but the last 3 becomes a
  placeholder (as Anthropic's context editing does); conversation text stays;
- Conversation: `fenwa_host.Conversation(max_tokens=B).request_params()`.

The baselines get ideal Anthropic breakpoints (`billing.place_breakpoints`); the
Conversation is billed on the breakpoints it sets itself. Costs are in
input-token-equivalents; "x full" is against the full history with caching.
"""
from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

import fenwa_host as fh  # noqa: E402
from fenwa_host import billing  # noqa: E402
from fenwa_host.formats import FORMATS  # noqa: E402
from fenwa_host.tokens import Counting  # noqa: E402
from session_data import anthropic_turns, openai_turns, session  # noqa: E402

PURPOSE = ("You are a coding agent working in the CPython standard library. Read files with read_file, "
           "search with grep, run tests with run_tests. Answer briefly and precisely.")
PROVIDERS = {"openai": ("openai", billing.OPENAI), "anthropic": ("anthropic", billing.ANTHROPIC)}
KEEP_TOOL_RESULTS = 3


class Counter:
    """Tokens per message as the provider bills them: the default estimate of its
    text plus the format's framing (role, wrappers, call and result ids), once
    per message object."""

    def __init__(self, fmt: str) -> None:
        self.adapter = FORMATS[fmt]
        self.counting = Counting(self.adapter.framing)
        self.memo: Dict[int, Tuple[Any, int]] = {}

    def __call__(self, m: Any) -> int:
        hit = self.memo.get(id(m))
        if hit is not None and hit[0] is m:
            return hit[1]
        n = self.counting.view(self.adapter.view(0, m, fh.IMAGE_TOKENS, None))
        self.memo[id(m)] = (m, n)
        return n


def _plain(m: Any) -> Any:
    """A message as sent, without cache_control marks (they are not content)."""
    content = m.get("content") if isinstance(m, dict) else None
    if not isinstance(content, list) or not any(isinstance(b, dict) and "cache_control" in b for b in content):
        return m
    blocks = [{k: v for k, v in b.items() if k != "cache_control"} for b in content]
    if len(blocks) == 1 and blocks[0].get("type") == "text" and set(blocks[0]) == {"type", "text"}:
        return {**m, "content": blocks[0]["text"]}
    return {**m, "content": blocks}


class Biller:
    """Bills one strategy's requests in order, keeping the provider's cache state."""

    def __init__(self, provider: str, count: Counter) -> None:
        self.fmt, self.rules = PROVIDERS[provider]
        self.count = count
        self.previous: List[Any] = []  # blocks of the previous request, as sent
        self.cached: List[int] = []
        self.bills: List[billing.Bill] = []
        self.sent = 0
        self.max_sent = 0

    def bill(self, system: Sequence[str], messages: Sequence[Any], marks: Optional[List[int]] = None) -> int:
        """`system`: the system prompt's blocks; `messages` as sent. With `marks`
        None, ideal breakpoints are placed."""
        blocks: List[Any] = [("system", s) for s in system]
        ends: List[int] = []
        markable: List[bool] = []
        total = 0
        for s in system:
            total += fh.estimate_tokens(s)
            ends.append(total)
            markable.append(True)
        for m in messages:
            plain = _plain(m)
            content = plain.get("content") if isinstance(plain, dict) else None
            parts = len(content) if isinstance(content, list) and content else 1
            for k in range(parts):
                blocks.append((id(plain), k, plain))
                markable.append(not (isinstance(content, list) and content
                                     and content[k].get("type") in ("thinking", "redacted_thinking")))
                if k == parts - 1:
                    total += self.count(m if plain is m else plain)
                ends.append(total)
        stable = 0
        for a, b in zip(blocks, self.previous):
            if a[0] == "system" or b[0] == "system":
                if a != b:
                    break
            elif not (a[2] is b[2] or a[2] == b[2]) or a[1] != b[1]:
                break
            stable += 1
        if marks is None and self.rules.explicit:
            marks = billing.place_breakpoints(ends, markable, self.rules, system=len(system), stable=stable)
        if self.rules.explicit:
            cached = [c for c in self.cached if c < stable]
        else:  # every prefix of the previous request is cached
            cached = [stable - 1] if stable else []
        bill, self.cached = billing.bill_request(self.rules, ends, cached=cached, marks=marks or [])
        self.previous = blocks
        self.bills.append(bill)
        self.sent += total
        self.max_sent = max(self.max_sent, total)
        return total


def texts(system: Sequence[str], messages: Sequence[Any]) -> str:
    return "\n".join(system) + json.dumps(messages, ensure_ascii=False)


def conversation_marks(params: Dict[str, Any]) -> Tuple[List[str], List[Any], List[int]]:
    """The system blocks, messages and breakpoint block indices of request_params()."""
    system = params.get("system", [])
    system_texts = [b["text"] for b in system] if isinstance(system, list) else [system]
    marks = [i for i, b in enumerate(system) if isinstance(b, dict) and "cache_control" in b] if isinstance(system, list) else []
    messages = params.get("messages", params.get("input", []))
    k = len(system_texts)
    for m in messages:
        content = m.get("content")
        if isinstance(content, list) and content:
            for b in content:
                if isinstance(b, dict) and "cache_control" in b:
                    marks.append(k)
                k += 1
        else:
            k += 1
    return system_texts, messages, marks


def run_strategy(name: str, provider: str, turns: List[Any], rendered: List[List[Any]], budget: int
                 ) -> Dict[str, Any]:
    fmt, rules = PROVIDERS[provider]
    count = Counter(fmt)
    biller = Biller(provider, count)
    history: List[Any] = []
    working: List[Any] = []
    cleared: Dict[int, Any] = {}
    conv = None
    if name == "Conversation":
        conv = fh.Conversation(PURPOSE, format=fmt, max_tokens=budget)
    asked = present = over = 0
    requests = 0

    def call(new: List[Any], fact: Optional[str]) -> None:
        """One model call, with `new` appended to the history first."""
        nonlocal working, asked, present, over, requests
        history.extend(new)
        system: List[str] = [PURPOSE]
        marks = None
        request_msgs: List[Any]
        if name == "full history":
            request_msgs = list(history)
        elif name == "trim every call":
            request_msgs = fh.trim(history, max_tokens=max(0, budget - fh.estimate_tokens(PURPOSE)),
                                   format=fmt).messages
        elif name == "trim to half":
            working.extend(new)
            if sum(map(count, working)) + fh.estimate_tokens(PURPOSE) > budget:
                working = fh.trim(working, max_tokens=budget // 2, format=fmt).messages
            request_msgs = list(working)
        elif name == "clear tool results":
            working.extend(new)
            if sum(map(count, working)) + fh.estimate_tokens(PURPOSE) > budget:
                results = [i for i, m in enumerate(working) if _is_result(m, fmt)]
                for i in results[:-KEEP_TOOL_RESULTS]:
                    if i not in cleared:
                        working[i] = _cleared(working[i], fmt)
                        cleared[i] = True
            request_msgs = list(working)
        else:
            assert conv is not None
            conv.extend(new)
            params = conv.request_params() if hasattr(conv, "request_params") else _plain_params(conv, fmt)
            system, request_msgs, marks = conversation_marks(params)
        if fmt == "openai":
            if name != "Conversation":
                request_msgs = [{"role": "system", "content": PURPOSE}] + request_msgs
                system_msg = request_msgs[0]
                if biller.previous and biller.previous[0][2] == system_msg:
                    request_msgs[0] = biller.previous[0][2]  # the same system message object
            system = []
        sent = biller.bill(system, request_msgs, marks)
        requests += 1
        if sent > budget and name != "full history":
            over += 1
        if fact is not None:
            asked += 1
            present += fact in texts(system, request_msgs)

    pending: List[Any] = []
    for turn, msgs in zip(turns, rendered):
        # msgs: user, [assistant call, results...], answer. The answer is the reply
        # to the last call of the turn and joins the history before the next turn.
        call(pending + msgs[:1], turn.fact if turn.asks else None)
        if turn.calls:
            call(msgs[1:-1], None)
        pending = msgs[-1:]
    total = billing.add_bills(biller.bills)
    return {
        "strategy": name, "provider": provider, "turns": len(turns), "budget": budget,
        "cost": total["cost"], "read_tokens": total["read_tokens"], "write_tokens": total["write_tokens"],
        "uncached_tokens": total["uncached_tokens"], "tokens_sent": biller.sent,
        "cache_read_share": total["read_tokens"] / biller.sent if biller.sent else 0.0,
        "requests": requests, "facts_asked": asked, "facts_present": present, "over_budget": over, "max_request": biller.max_sent,
    }


def _plain_params(conv: Any, fmt: str) -> Dict[str, Any]:
    out = conv.request()
    if fmt == "anthropic":
        return {"system": [{"type": "text", "text": conv.system_prompt}], "messages": out}
    return {"messages": out}


def _is_result(m: Any, fmt: str) -> bool:
    if fmt == "openai":
        return m.get("role") == "tool"
    content = m.get("content")
    return isinstance(content, list) and any(b.get("type") == "tool_result" for b in content)


def _cleared(m: Any, fmt: str) -> Any:
    text = "[tool result cleared]"
    if fmt == "openai":
        return {**m, "content": text}
    return {**m, "content": [{**b, "content": text} if b.get("type") == "tool_result" else b for b in m["content"]]}


STRATEGIES = ("full history", "trim every call", "trim to half", "clear tool results", "Conversation")


def measure(turns: int, budget: int, provider: str, seed: int = 7) -> List[Dict[str, Any]]:
    plan = session(turns, seed)
    fmt = PROVIDERS[provider][0]
    rendered = openai_turns(plan) if fmt == "openai" else anthropic_turns(plan)
    rows = [run_strategy(name, provider, plan, rendered, budget) for name in STRATEGIES]
    full = rows[0]["cost"]
    for r in rows:
        r["x_full"] = r["cost"] / full if full else 0.0
    return rows


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--turns", type=int, nargs="*", default=[200, 400])
    parser.add_argument("--budget", type=int, nargs="*", default=[16_000, 32_000])
    parser.add_argument("--provider", nargs="*", default=["openai", "anthropic"], choices=sorted(PROVIDERS))
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args(argv)
    rows = [r for p in args.provider for t in args.turns for b in args.budget for r in measure(t, b, p, args.seed)]
    if args.json:
        print(json.dumps(rows, indent=2))
        return 0
    head = (f"{'provider':<9} {'turns':>5} {'budget':>6}  {'strategy':<19} {'cost':>11} {'x full':>7} "
            f"{'read share':>10} {'facts':>7} {'over':>4} {'max req':>8}")
    print(head)
    print("-" * len(head))
    for r in rows:
        print(f"{r['provider']:<9} {r['turns']:>5} {r['budget']:>6}  {r['strategy']:<19} {r['cost']:>11.0f} "
              f"{r['x_full']:>7.3f} {r['cache_read_share']:>10.1%} {r['facts_present']:>3}/{r['facts_asked']:<3} "
              f"{r['over_budget']:>4} {r['max_request']:>8}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
