"""A long coding session for the billing benchmark, generated from real files.

Tool outputs are real source files of the running interpreter's standard library
(read_file), real `grep` hits over them, and test-run logs. In passing, the user
states facts ("Note for later: ...") and asks about each of them once, some tens of
turns later; the assistant acknowledges the facts and answers the questions from
what it was told. The same seed gives the same session on the same interpreter.

`session(turns, seed)` returns abstract turns; `openai_turns` and `anthropic_turns`
render them as provider messages.
"""
from __future__ import annotations

import json
import random
import re
import sysconfig
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

MAX_FILE_BYTES = 20_000  # a read tool that returns at most this much of a file

# (statement, question, value pattern): the value is what the request must still hold.
FACTS = (
    ("Note for later: the staging database is {v}.", "What was the staging database I told you about?",
     "db-staging-{n}.internal:{p}"),
    ("Remember that our release branch this cycle is {v}.", "Which release branch did I say we use?",
     "release/{w}-{n}"),
    ("FYI the test tenant id is {v}; we'll need it when we seed fixtures.", "What is the test tenant id again?",
     "tn-{h}"),
    ("By the way, the CI runner label for this repo is {v}.", "Which CI runner label did I mention?",
     "runner-{w}-{n}"),
    ("Keep in mind: the feature flag for the new parser is {v}.", "What was the feature flag name for the parser?",
     "ff_{w}_parser_{n}"),
    ("For the record, the on-call reviewer this week is {v}.", "Who did I say is the on-call reviewer?",
     "{W} {L}{n}"),
    ("Note: the metrics dashboard lives at {v}.", "Where did I say the metrics dashboard is?",
     "https://grafana.example.net/d/{h}"),
    ("Heads-up, the vendored zlib is pinned at {v}.", "Which zlib version did I say is vendored?",
     "1.{n}.{p}"),
)
WORDS = ("amber", "basalt", "cobalt", "delta", "ember", "fjord", "garnet", "harbor", "indigo", "juniper",
         "kestrel", "lumen", "mistral", "nimbus", "onyx", "pepper", "quartz", "raven", "sierra", "tundra")
NAMES = ("Ana", "Bilal", "Chen", "Dara", "Elif", "Farah", "Goran", "Hana", "Ivo", "Jun")
SURNAMES = ("Okafor", "Lindqvist", "Moreau", "Tanaka", "Novak", "Quispe", "Haddad", "Kowalski")
CHAT = ("Thanks, that helps.", "OK, keep going.", "Looks right to me.", "Good, next one.",
        "Hmm, let's not change that yet.", "Fine. Carry on with the refactor.")
ACKS = ("Noted, I'll keep that in mind.", "Got it.", "Understood, noted for later.", "Thanks, noted.")


class Turn(NamedTuple):
    user: str
    #: (tool name, arguments, output) per call, made in one assistant message.
    calls: List[Tuple[str, Dict[str, Any], str]]
    answer: str
    #: The fact value stated in this turn, or asked for (then `asks` is True).
    fact: Optional[str]
    asks: bool


def _sources() -> List[Path]:
    root = Path(sysconfig.get_paths()["stdlib"])
    files = sorted(p for p in root.glob("*.py") if 2_000 <= p.stat().st_size)
    files += sorted(p for p in root.glob("*/*.py") if 2_000 <= p.stat().st_size and "test" not in p.parts)
    return files


def _value(rng: random.Random, pattern: str) -> str:
    return pattern.format(
        n=rng.randrange(2, 999), p=rng.randrange(1024, 65535), w=rng.choice(WORDS),
        h=f"{rng.getrandbits(40):010x}", W=rng.choice(NAMES), L=rng.choice(SURNAMES),
    )


def _log(rng: random.Random, path: str) -> str:
    lines = [f"============================= test session starts ==============================",
             f"collected {rng.randrange(80, 400)} items", ""]
    for k in range(rng.randrange(40, 160)):
        lines.append(f"tests/test_{Path(path).stem}.py::test_case_{k} PASSED{' ' * 20}[{k % 100:3d}%]")
    lines.append(f"======================= {len(lines) - 3} passed in {rng.uniform(1, 40):.2f}s =======================")
    return "\n".join(lines)


def session(turns: int = 200, seed: int = 7, facts: Optional[int] = None) -> List[Turn]:
    """`turns` turns with `facts` facts (default: one per seven turns) stated and
    asked about once each, 10 to 120 turns after they were stated."""
    rng = random.Random(seed)
    files = _sources()
    root = Path(sysconfig.get_paths()["stdlib"])
    count = facts if facts is not None else turns // 7
    slots = list(range(turns))
    plan: Dict[int, Tuple[str, int]] = {}
    made = 0
    for _ in range(count * 20):
        if made == count:
            break
        say = rng.randrange(0, max(1, turns - 12))
        ask = say + rng.randrange(10, 121)
        if ask >= turns or say in plan or ask in plan:
            continue
        plan[say] = ("say", made)
        plan[ask] = ("ask", made)
        made += 1
    kinds = [rng.randrange(len(FACTS)) for _ in range(made)]
    values = [_value(rng, FACTS[k][2]) for k in kinds]
    out: List[Turn] = []
    for t in slots:
        if t in plan:
            what, f = plan[t]
            statement, question, _ = FACTS[kinds[f]]
            if what == "say":
                out.append(Turn(statement.format(v=values[f]), [], rng.choice(ACKS), values[f], False))
            else:
                out.append(Turn(question, [], f"You told me: {values[f]}.", values[f], True))
            continue
        if rng.random() < 0.12:
            out.append(Turn(rng.choice(CHAT), [], "Sure, continuing.", None, False))
            continue
        path = rng.choice(files)
        rel = str(path.relative_to(root))
        text = path.read_text(encoding="utf-8", errors="replace")[:MAX_FILE_BYTES]
        names = re.findall(r"^(?:def|class) (\w+)", text, re.M) or ["the module"]
        name = rng.choice(names)
        calls = [("read_file", {"path": rel}, text)]
        roll = rng.random()
        if roll < 0.25:
            hits = [f"{rel}:{i + 1}:{line}" for i, line in enumerate(text.splitlines()) if name in line][:40]
            calls.append(("grep", {"pattern": name, "path": rel}, "\n".join(hits) or "(no matches)"))
        elif roll < 0.4:
            calls.append(("run_tests", {"path": rel}, _log(rng, rel)))
        user = rng.choice((
            f"Open {rel} and tell me what {name} does.",
            f"Can you check {name} in {rel}? I think it has an edge case.",
            f"Look at {rel}; is {name} safe to call from several threads?",
        ))
        line = next((ln for ln in text.splitlines() if name in ln), "")
        answer = (f"`{name}` in {rel} is defined as `{line.strip()[:100]}`. It is used from "
                  f"{len(re.findall(re.escape(name), text))} places in that file; I see no problem in the "
                  f"{rng.choice(('error path', 'fast path', 'loop', 'locking'))} for now.")
        out.append(Turn(user, calls, answer, None, False))
    return out


def openai_turns(turns: List[Turn]) -> List[List[Dict[str, Any]]]:
    out = []
    for k, t in enumerate(turns):
        msgs: List[Dict[str, Any]] = [{"role": "user", "content": t.user}]
        if t.calls:
            ids = [f"call_{k}_{j}" for j in range(len(t.calls))]
            msgs.append({"role": "assistant", "content": None, "tool_calls": [
                {"id": i, "type": "function", "function": {"name": n, "arguments": json.dumps(a)}}
                for i, (n, a, _) in zip(ids, t.calls)]})
            msgs += [{"role": "tool", "tool_call_id": i, "content": o} for i, (_, _, o) in zip(ids, t.calls)]
        msgs.append({"role": "assistant", "content": t.answer})
        out.append(msgs)
    return out


def anthropic_turns(turns: List[Turn]) -> List[List[Dict[str, Any]]]:
    out = []
    for k, t in enumerate(turns):
        msgs: List[Dict[str, Any]] = [{"role": "user", "content": t.user}]
        if t.calls:
            ids = [f"toolu_{k}_{j}" for j in range(len(t.calls))]
            msgs.append({"role": "assistant", "content": [
                {"type": "tool_use", "id": i, "name": n, "input": a} for i, (n, a, _) in zip(ids, t.calls)]})
            msgs.append({"role": "user", "content": [
                {"type": "tool_result", "tool_use_id": i, "content": o} for i, (_, _, o) in zip(ids, t.calls)]})
        msgs.append({"role": "assistant", "content": t.answer})
        out.append(msgs)
    return out
