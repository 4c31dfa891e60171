"""A scripted tool-using agent session for the framework integration tests.

The same script drives every framework's offline model: user questions, tool
calls whose outputs run from 2 to 20 KB (every third one a log flood), and a
final answer per question. Everything is derived from the turn number, so a run
and its restart see the same texts.
"""

from __future__ import annotations

import json
from typing import List

#: Model calls per user question: four tool calls, then the answer.
CALLS_PER_QUESTION = 5
QUESTIONS = 8  # 8 x 5 = 40 model calls per session
BUDGET = 6000


def question(k: int, session: str = "a") -> str:
    return f"[{session}] question {k}: what does module m{k} log when the cache misses?"


def tool_output(turn: int) -> str:
    """2-20 KB of tool output; every third one is a repetitive log flood."""
    size = 2000 + (turn * 3719) % 18000
    if turn % 3 == 0:
        line = f"2026-12-09T04:{turn % 60:02d}:00 WARN cache miss for key user:{turn}\n"
        return (line * (size // len(line) + 1))[:size]
    rows = []
    i = 0
    while sum(len(r) for r in rows) < size:
        rows.append(json.dumps({"turn": turn, "row": i, "path": f"src/m{turn}/f{i}.py", "lines": i * 7 % 311}))
        i += 1
    return "\n".join(rows)[:size]


def answer(k: int, session: str = "a") -> str:
    return f"[{session}] module m{k} logs a WARN line per miss; nothing else changed."


def call_id(session: str, k: int, step: int) -> str:
    return f"call_{session}_{k}_{step}"


def script_steps(k: int) -> List[int]:
    """The tool-call steps of question k (the last model call answers)."""
    return list(range(CALLS_PER_QUESTION - 1))
