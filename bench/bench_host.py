"""fenwa_host.trim over a 10,000-message OpenAI agent history, with a token budget,
against langchain_core's trim_messages (count_tokens_approximately, the same budget)
and against the floor `[(m["role"], m["content"]) for m in messages]`.

The LangChain rows are skipped when langchain-core is not installed.
"""
import json
import random

import fenwa_host as fh
from fenwa_host import _native
from _timing import interleaved, per_call, row

BUDGET = 20_000


def make_openai_history(n=10_000, seed=11):
    """A coding agent's history: user turns, tool calls with results of a few
    hundred bytes to a few KB, assistant answers; some non-English text."""
    rng = random.Random(seed)
    english = ["checkout", "latency", "cache", "pricing", "retry", "the", "a", "is", "slow", "because",
               "of", "config", "ttl", "redis", "test", "fails", "on", "ci"]
    other = ["migração", "código", "lenteur", "ключ", "日志", "naïve", "Schlüssel"]
    code = ["def", "return", "self", "None", "import", "(", ")", ":", "=", "if", "for", "in", "ERROR",
            "INFO", "2026-12-08T09:12:03Z", "pricing.rules", "cache_miss", "1620ms"]

    def text(lo, hi, vocabulary=english):
        size = rng.randint(lo, hi)
        out = []
        length = 0
        while length < size:
            w = rng.choice(vocabulary)
            out.append(w)
            length += len(w) + 1
        return " ".join(out)

    def chat(lo, hi):
        # One conversational message in ten is not (only) English.
        return text(lo, hi, english + other if rng.random() < 0.1 else english)

    msgs = [{"role": "system", "content": "You are a coding agent for the payments service. " * 4}]
    k = 0
    while len(msgs) < n - 4:
        msgs.append({"role": "user", "content": chat(40, 300)})
        for _ in range(rng.choice([0, 1, 1, 2])):
            cid = f"call_{k}"
            k += 1
            args = json.dumps({"path": f"src/{text(5, 20).replace(' ', '_')}.py"})
            msgs.append({"role": "assistant", "content": None, "tool_calls": [
                {"id": cid, "type": "function", "function": {"name": "read_file", "arguments": args}}]})
            msgs.append({"role": "tool", "tool_call_id": cid, "content": text(200, 4000, code)})
        msgs.append({"role": "assistant", "content": chat(60, 600)})
    return msgs


def run(quick=False):
    return run_trim(quick) + run_formats(quick) + run_conversation(quick)


def responses_items(msgs):
    """The same history as Responses input items."""
    out = []
    for m in msgs:
        if m["role"] == "tool":
            out.append({"type": "function_call_output", "call_id": m["tool_call_id"], "output": m["content"]})
        elif m.get("tool_calls"):
            for c in m["tool_calls"]:
                out.append({"type": "function_call", "call_id": c["id"], "name": c["function"]["name"],
                            "arguments": c["function"]["arguments"]})
        else:
            out.append({"role": m["role"], "content": m["content"]})
    return out


def anthropic_messages(msgs):
    """The same history as Anthropic messages (the system prompt is a separate
    parameter there, so it is left out; the calls' arguments as dicts)."""
    out = []
    for m in msgs:
        if m["role"] == "system":
            continue
        if m["role"] == "tool":
            block = {"type": "tool_result", "tool_use_id": m["tool_call_id"], "content": m["content"]}
            if out and out[-1]["role"] == "user" and isinstance(out[-1]["content"], list):
                out[-1]["content"].append(block)
            else:
                out.append({"role": "user", "content": [block]})
        elif m.get("tool_calls"):
            out.append({"role": "assistant", "content": [
                {"type": "tool_use", "id": c["id"], "name": c["function"]["name"],
                 "input": json.loads(c["function"]["arguments"])} for c in m["tool_calls"]]})
        else:
            out.append({"role": m["role"], "content": m["content"]})
    return out


def run_formats(quick=False):
    """trim over LangChain's own message objects against trim_messages on the same
    objects, and Responses items against the same history as Chat dicts."""
    msgs = make_openai_history()
    number = 3 if quick else 10
    items = responses_items(msgs)
    fh.validate(items)
    ours, chat = interleaved([
        (lambda: fh.trim(items, max_tokens=BUDGET), number),
        (lambda: fh.trim(msgs, max_tokens=BUDGET), number),
    ])
    rows = [row("trim(Responses items of the 10k history, max_tokens=20k)", ours,
                "trim of the same history as Chat dicts", chat, "<= 1.3x", note=f"{len(items)} items")]
    anthropic = anthropic_messages(msgs)
    fh.validate(anthropic, format="anthropic")
    ours, chat = interleaved([
        (lambda: fh.trim(anthropic, max_tokens=BUDGET), number),
        (lambda: fh.trim(msgs, max_tokens=BUDGET), number),
    ])
    rows.append(row("trim(Anthropic messages of the 10k history, max_tokens=20k)", ours,
                    "trim of the same history as Chat dicts", chat, "report",
                    note=f"{len(anthropic)} messages; the walk over them is Python's"))
    try:
        from langchain_core.messages import convert_to_messages, trim_messages
        from langchain_core.messages.utils import count_tokens_approximately
    except ImportError:
        return rows
    lc_messages = convert_to_messages(msgs)

    def langchain():
        return trim_messages(lc_messages, max_tokens=BUDGET, token_counter=count_tokens_approximately,
                             strategy="last", include_system=True, start_on="human")

    ours, theirs = interleaved([
        (lambda: fh.trim(lc_messages, max_tokens=BUDGET), number),
        (langchain, max(1, number // 3)),
    ], repeat=3 if quick else 5)
    rows.append(row("trim(10k LangChain messages, max_tokens=20k)", ours,
                    "trim_messages, same objects", theirs, ">= 5x", higher_is_better=True,
                    note="count_tokens_approximately"))
    from fenwa_host.formats import FORMATS
    reader = FORMATS["langchain"]
    counted, bare = interleaved([
        (lambda: reader.read(lc_messages, tokenizer="o200k"), number),
        (lambda: reader.read(lc_messages), number),
    ])
    rows.append(row("LangChain reader with the o200k estimate", counted, "the same reader, no estimate", bare,
                    "report", note=f"the estimate is {(counted - bare) / ours:.0%} of trim"))
    return rows


def run_trim(quick=False):
    msgs = make_openai_history()
    fh.validate(msgs)
    number = 3 if quick else 10
    result = fh.trim(msgs, max_tokens=BUDGET)
    # Interleaved, so that a burst of load on the shared machine reaches each
    # operation and its baseline alike.
    ours, plain, floor = interleaved(
        [
            (lambda: fh.trim(msgs, max_tokens=BUDGET), number),
            (lambda: fh.trim(msgs), number),
            (lambda: [(m["role"], m["content"]) for m in msgs], number * 5),
        ]
    )
    # As the first trim of a history: no text's estimate is known yet.
    first = cold(lambda: fh.trim(msgs, max_tokens=BUDGET), number)
    note = f"{len(msgs)} msgs, {result.tokens_before} -> {result.tokens_after} tokens"
    rows = [
        row("trim(10k OpenAI msgs, max_tokens=20k)", ours, '[(m["role"], m["content"]) ...]', floor,
            "<= 20x", note=note),
        row("trim(10k OpenAI msgs), no budget", plain, '[(m["role"], m["content"]) ...]', floor, "report"),
    ]
    try:
        from langchain_core.messages import convert_to_messages, trim_messages
        from langchain_core.messages.utils import count_tokens_approximately
    except ImportError:
        rows.append({"benchmark": "trim vs langchain_core.trim_messages", "ours_s": ours,
                     "baseline": "langchain-core not installed", "baseline_s": float("nan"),
                     "ratio": float("nan"), "kind": "speed-up", "target": ">= 20x", "note": "skipped"})
        return rows

    def langchain(messages):
        return trim_messages(messages, max_tokens=BUDGET, token_counter=count_tokens_approximately,
                             strategy="last", include_system=True, start_on="human")

    lc_messages = convert_to_messages(msgs)
    # Where trim's time goes: the reader alone, and the reader counting the estimate.
    from fenwa_host.formats import FORMATS
    chat = FORMATS["openai"]
    counted, bare = interleaved([
        (lambda: chat.read(msgs, tokenizer="o200k"), number),
        (lambda: chat.read(msgs), number),
    ])
    chars = sum(len(v.text) for v in chat.read(msgs).views)
    rows.append(row("Chat reader with the o200k estimate", counted, "the same reader, no estimate", bare,
                    "report", note=f"estimate {(counted - bare) * 1e9 / chars:.2f} ns per character, "
                                   f"{(counted - bare) / ours:.0%} of trim"))
    cold_counted = cold(lambda: chat.read(msgs, tokenizer="o200k"), number)
    rows.append(row("Chat reader with the o200k estimate, cold cache", cold_counted, "the same reader, no estimate",
                    bare, "report", note=f"estimate {(cold_counted - bare) * 1e9 / chars:.2f} ns per character"))
    kept = len(langchain(msgs))
    lc_dicts = per_call(lambda: langchain(msgs), max(1, number // 3), repeat=3)
    lc_objects = per_call(lambda: langchain(lc_messages), max(1, number // 3), repeat=3)
    rows += [
        row("trim(10k OpenAI msgs, max_tokens=20k)", ours, "trim_messages, same dicts", lc_dicts, ">= 20x",
            higher_is_better=True, note=f"langchain keeps {kept}, we keep {len(result.messages)}"),
        row("trim(10k OpenAI msgs, max_tokens=20k)", ours, "trim_messages, its own objects", lc_objects,
            "report", higher_is_better=True, note="conversion done beforehand, untimed"),
        row("trim(10k OpenAI msgs, max_tokens=20k), first trim", first, "trim_messages, same dicts", lc_dicts,
            "report", higher_is_better=True, note="estimate cache emptied before each call"),
    ]
    return rows


def _turn(k, rng_text):
    cid = f"call_{k}"
    return [
        {"role": "user", "content": rng_text(40, 300)},
        {"role": "assistant", "content": None, "tool_calls": [
            {"id": cid, "type": "function", "function": {"name": "read_file", "arguments": json.dumps({"k": k})}}]},
        {"role": "tool", "tool_call_id": cid, "content": "def f():\n    return %d\n" % k * 60},
        {"role": "assistant", "content": rng_text(60, 400)},
    ]


def _anthropic_turn(k, rng_text):
    cid = f"toolu_{k}"
    return [
        {"role": "user", "content": rng_text(40, 300)},
        {"role": "assistant", "content": [{"type": "tool_use", "id": cid, "name": "read_file", "input": {"k": k}}]},
        {"role": "user", "content": [{"type": "tool_result", "tool_use_id": cid,
                                      "content": "def f():\n    return %d\n" % k * 60}]},
        {"role": "assistant", "content": rng_text(60, 400)},
    ]


def _text_maker(seed):
    rng = random.Random(seed)
    words = ["checkout", "latency", "cache", "pricing", "retry", "config", "ttl", "redis", "test", "fails"]

    def text(lo, hi):
        return " ".join(rng.choice(words) for _ in range(rng.randint(lo, hi) // 7 + 1))
    return text


def _single(fn, prepare, repeat):
    """Best time of `fn(state)` over `repeat` fresh states from `prepare()`."""
    import time
    best = float("inf")
    for _ in range(repeat):
        state = prepare()
        t0 = time.perf_counter()
        fn(state)
        best = min(best, time.perf_counter() - t0)
    return best


def cold(fn, repeat):
    """Best time of `fn()` with the estimate cache emptied before each call (not
    timed): as for texts never counted before."""
    return _single(lambda _: fn(), lambda: _native.estimate_cache(True), repeat)


def run_conversation(quick=False):
    text = _text_maker(5)
    repeat = 3 if quick else 7
    turns = [_turn(k, text) for k in range(201)]
    history = [m for t in turns[:200] for m in t]
    full_history = history + turns[200]
    rows = []
    # A 200-turn conversation kept the usual way (a request after every turn),
    # against trimming its whole history, as a host without it would per request.
    settings = {"max_tokens": 20_000}
    base = fh.Conversation("You are a coding agent.", **settings)
    for t in turns[:200]:
        base.extend(t)
        base.request()
    data = json.loads(json.dumps(base.to_dict()))

    def prepared(data=data):
        c = fh.Conversation.from_dict(data)
        c.extend(turns[200])
        return c

    rewrite = _single(lambda c: c.request(consolidate=True), prepared, repeat)
    append = _single(lambda c: c.request(), prepared, repeat)
    # A restored conversation's texts are new objects (read from JSON), which the
    # estimate cache does not know: the trims it is compared with start cold too.
    trim_full = cold(lambda: fh.trim(full_history, max_tokens=20_000), repeat)
    live = len(fh.Conversation.from_dict(data))
    rows += [
        row("Conversation.request(), 200 turns, rewrite", rewrite, "trim(the 804-msg history)", trim_full,
            "<= 2x", note=f"{live} msgs live after its own trims"),
        row("Conversation.request(), 200 turns, append", append, "trim(the 804-msg history)", trim_full,
            "report"),
    ]
    # The same when nothing decays (threshold 0): the whole history stays live, so
    # a rewrite trims all of it; compared with trim of that same live history.
    keep_all = fh.Conversation("You are a coding agent.", safe_threshold=0.0)
    keep_all.extend(history)
    keep_all.request()
    data_all = json.loads(json.dumps(keep_all.to_dict()))
    rewrite_all = _single(lambda c: c.request(consolidate=True), lambda: prepared(data_all), repeat)
    trim_all = cold(lambda: fh.trim(full_history, safe_threshold=0.0), repeat)
    rows.append(row("Conversation.request(), 200 turns all live, rewrite", rewrite_all,
                    "trim(same history, same rule)", trim_all, "<= 2x"))
    # request_params() places cache breakpoints and bills the request on top: the
    # same all-live rewrite, for OpenAI Chat and for Anthropic (blocks and marks).
    params_all = _single(lambda c: c.request_params(consolidate=True), lambda: prepared(data_all), repeat)
    rows.append(row("Conversation.request_params(), 200 turns all live, rewrite", params_all,
                    "trim(same history, same rule)", trim_all, "<= 2x"))
    a_turns = [_anthropic_turn(k, text) for k in range(201)]
    a_history = [m for t in a_turns[:200] for m in t]
    a_conv = fh.Conversation("You are a coding agent.", format="anthropic", safe_threshold=0.0)
    a_conv.extend(a_history)
    a_conv.request_params()
    a_data = json.loads(json.dumps(a_conv.to_dict()))

    def a_prepared():
        c = fh.Conversation.from_dict(a_data)
        c.extend(a_turns[200])
        return c

    a_rewrite = _single(lambda c: c.request_params(consolidate=True), a_prepared, repeat)
    a_trim = cold(lambda: fh.trim(a_history + a_turns[200], safe_threshold=0.0), repeat)
    rows.append(row("request_params(), Anthropic, 200 turns all live, rewrite", a_rewrite,
                    "trim(same history, same rule)", a_trim, "<= 2x"))
    a_growth = []
    for n in (100, 10_000):
        conv = fh.Conversation("You are a coding agent.", format="anthropic", safe_threshold=0.0, calls_ahead=1)
        for k in range(n):
            conv.extend(_anthropic_turn(k, text))
        conv.request_params()
        counter = [n]

        def one_params(c, counter=counter):
            c.extend(_anthropic_turn(counter[0], text))
            counter[0] += 1
            c.request_params()
        a_growth.append((n, _single(one_params, lambda conv=conv: conv, repeat * 3)))
    for n, t in a_growth:
        rows.append(row(f"append 1 turn + request_params(), Anthropic, {n:,} turns", t, "the same at 100 turns",
                        a_growth[0][1], "O(new msgs)", note=f"{4 * n:,} msgs"))
    # Growth of an appending request with the size of the cached history (nothing
    # decays, so all of it stays live). The returned list is a new list: its
    # reference copy is the only part that grows, shown in the note.
    growth = []
    for n in (100, 1_000, 10_000):
        conv = fh.Conversation("You are a coding agent.", safe_threshold=0.0, calls_ahead=1)
        for k in range(n):
            conv.extend(_turn(k, text))
        conv.request()
        counter = [n]

        def one_turn(c, counter=counter):
            c.extend(_turn(counter[0], text))
            counter[0] += 1
            c.request()
        extend_only = _single(lambda c: c.extend(_turn(0, text)) or c._history.truncate(len(c) - 4),
                              lambda conv=conv: conv, repeat)
        copy = per_call(lambda conv=conv: list(conv._history.messages), 20)
        growth.append((n, _single(one_turn, lambda conv=conv: conv, repeat * 3), copy, extend_only))
    small = growth[0][1]
    for n, t, copy, extend_only in growth:
        rows.append(row(f"append 1 turn + request(), {n:,} turns live", t, "the same at 100 turns", small,
                        "O(new msgs)", note=f"{4 * n:,} msgs; list copy {copy * 1e6:.0f} us, "
                                            f"extend alone {extend_only * 1e6:.0f} us"))
    return rows
