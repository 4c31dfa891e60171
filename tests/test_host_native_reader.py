"""The native reader, pairing and budget walk behind fenwa_host.trim, against
their plain-Python references."""
from __future__ import annotations

import gc
import json
import math
import re
import sys
import weakref
from collections.abc import Sequence

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fenwa_host as fh
from fenwa_host import _native
from fenwa_host.tokens import TOKENIZERS, Counting, placeholder_costs
from fenwa_host.formats import (
    FORMATS,
    IMAGE_TOKENS,
    MessageView,
    _pair_adjacent,
    _shape,
)
from host_conversations import conversation_st, openai_messages

pytest.importorskip("openai")

OPENAI = FORMATS["openai"]


class DictSub(dict):
    pass


class StrSub(str):
    pass


def _sdk(m):
    from openai.types.chat import ChatCompletionMessage

    if m.get("role") != "assistant":
        return m
    try:
        return ChatCompletionMessage.model_validate(m)
    except ValueError:  # an earlier oddity made it invalid for the SDK
        return m


def _args_as_dict(m):
    if not isinstance(m.get("tool_calls"), list) or not all(
        isinstance(c, dict) and isinstance(c.get("function"), dict) for c in m["tool_calls"]
    ):
        return m
    def loaded(arguments):
        return json.loads(arguments) if isinstance(arguments, str) else arguments

    calls = [dict(c, function=dict(c["function"], arguments=loaded(c["function"]["arguments"])))
             for c in m["tool_calls"]]
    return dict(m, tool_calls=calls)


# Ways a message can leave the shape the native reader takes: each must reach the
# Python adapter and come out as it would there, errors included.
ODDITIES = {
    "as is": lambda m: m,
    "parts": lambda m: dict(m, content=[{"type": "text", "text": m["content"]}]) if isinstance(m.get("content"), str) else m,
    "dict subclass": DictSub,
    "str subclass": lambda m: dict(m, content=StrSub(m["content"])) if isinstance(m.get("content"), str) else m,
    "sdk object": _sdk,
    "arguments dict": _args_as_dict,
    "calls tuple": lambda m: dict(m, tool_calls=tuple(m["tool_calls"])) if isinstance(m.get("tool_calls"), list) and m["tool_calls"] else m,
    "empty calls": lambda m: dict(m, tool_calls=[]) if m.get("role") == "assistant" and not m.get("tool_calls") else m,
    "none content": lambda m: dict(m, content=None) if m.get("role") in ("user", "tool") else m,
    "developer": lambda m: dict(m, role="developer") if m.get("role") == "system" else m,
    "non-ascii": lambda m: dict(m, content=m["content"] + " naïve ключ 日志 \U0001f600") if isinstance(m.get("content"), str) else m,
    "lone surrogate": lambda m: dict(m, content="bad \ud800") if isinstance(m.get("content"), str) else m,
    "int content": lambda m: dict(m, content=7),
    "bad role": lambda m: dict(m, role="robot"),
    "role not str": lambda m: dict(m, role=None),
    "id not str": lambda m: dict(m, tool_call_id=3) if m.get("role") == "tool" else m,
}


def _reference(messages):
    """Views by the checked per-message path, or the error it raises."""
    try:
        return [OPENAI.view(i, m, IMAGE_TOKENS, None) for i, m in enumerate(messages)], None
    except (TypeError, ValueError) as exc:
        return None, exc


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(conversation_st, st.lists(st.sampled_from(sorted(ODDITIES)), max_size=4), st.data(), st.booleans(),
       st.sampled_from([None, *sorted(TOKENIZERS)]))
def test_native_reader_equals_the_python_adapter(conversation, oddities, data, as_tuple, tokenizer):
    messages = openai_messages(conversation)
    for name in oddities:
        k = data.draw(st.integers(0, len(messages) - 1))
        if isinstance(messages[k], dict):
            messages[k] = ODDITIES[name](messages[k])
    if as_tuple:
        messages = tuple(messages)
    expected, error = _reference(messages)
    if error is not None:
        with pytest.raises(type(error)) as got:
            OPENAI.read(messages, tokenizer=tokenizer)
        assert str(got.value) == str(error)
        return
    reading = OPENAI.read(messages, tokenizer=tokenizer)
    assert reading.views == expected
    assert all(type(v) is MessageView for v in reading.views)
    assert reading.shape == bytearray(_shape(v) for v in expected)
    # Read lazily, the views are the same, and the entry points read the same.
    lazy = OPENAI.read(messages, tokenizer=tokenizer, lazy=True).views
    assert type(lazy) is _native.Views
    assert list(lazy) == expected and len(lazy) == len(expected)
    assert _native.durable_views(lazy, 0x2A, "system") == _native.durable_views(expected, 0x2A, "system")
    pinned = bytearray(len(expected))
    assert _native.removal_order(lazy, pinned, 6.0) == _native.removal_order(expected, pinned, 6.0)
    for pair in (_native.pair_adjacent, _native.pair_anywhere):
        try:
            paired = pair(expected, 0)
        except ValueError as exc:
            with pytest.raises(ValueError, match=re.escape(str(exc))):
                pair(lazy, 0)
        else:
            assert pair(lazy, 0) == paired
    # Counted while read, the tokens are what the views count to afterwards.
    if tokenizer is None:
        assert reading.tokens is None
    else:
        assert list(reading.tokens) == list(Counting(OPENAI.framing, tokenizer).views(expected))


def _outcome(result, messages):
    """A trim result with copies by value and the caller's objects by index."""
    def name(m):
        for i, x in enumerate(messages):
            if m is x:
                return ("same", i)
        return ("copy", json.dumps(m, sort_keys=True, default=str))

    return (
        [name(m) for m in result.messages],
        result.decisions,
        result.tokens_before,
        result.tokens_after,
        result.first_changed,
        result.note,
    )


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    conversation_st,
    st.one_of(st.none(), st.integers(0, 3000)),
    st.sampled_from(["elide", "drop"]),
    st.integers(0, 4),
    st.integers(0, 3),
    st.sampled_from([0.0, 0.5, 3.0, 6.0, 40.0, math.inf, math.nan]),
    st.booleans(),
)
def test_native_trim_equals_the_python_path(conversation, max_tokens, tool_results, prefix, turns, half_life, sdk):
    messages = openai_messages(conversation)
    if sdk:
        messages[-1] = _sdk(messages[-1])  # one message through the adapter
    kwargs = dict(max_tokens=max_tokens, tool_results=tool_results, stable_prefix=prefix,
                  keep_last_turns=turns, half_life=half_life)
    native = fh.trim(messages, **kwargs)
    # A classify that changes nothing sends every message through the Python path.
    python = fh.trim(messages, classify=lambda m: None, **kwargs)
    assert _outcome(native, messages) == _outcome(python, messages)


class Id(str):
    """An id of a str subclass: the pairing must treat it as the equal str."""


# Ids as the same objects, as equal strs that are other objects, and (now and then)
# as a str subclass, which sends the interning through a dict.
ID = st.builds(
    lambda name, form: {"same": name, "copy": "".join([name[:3], name[3:]]), "subclass": Id(name)}[form],
    st.sampled_from(["call_a", "call_b", "call_c", "call_d"]),
    st.sampled_from(["same", "same", "copy", "copy", "subclass"]),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.lists(ID, max_size=2), st.lists(ID, max_size=2)), max_size=8), st.integers(0, 3))
def test_native_pairing_equals_the_python_loop(rows, offset):
    views = [MessageView(offset + i, "assistant", 4, "", 0, tuple(c), tuple(a), False)
             for i, (c, a) in enumerate(rows)]
    try:
        expected = _pair_adjacent(views, offset)
    except ValueError as exc:
        with pytest.raises(ValueError) as got:
            _native.pair_adjacent(views, offset)
        assert str(got.value) == str(exc)
        return
    assert _native.pair_adjacent(views, offset) == tuple(expected)


@pytest.mark.parametrize("pair", [_native.pair_adjacent, _native.pair_anywhere])
def test_pairing_indices_reach_the_largest_offset(pair):
    views = [MessageView(0, "assistant", 4, "", 0, ("c",), (), False),
             MessageView(1, "tool", 4, "", 0, (), ("c",), False)]
    top = sys.maxsize - 2
    assert pair(views, top) == ({"c": top}, {"c": [top + 1]})
    with pytest.raises(OverflowError):
        pair(views, top + 1)


@settings(max_examples=200, deadline=None)
@given(
    st.lists(st.tuples(st.sampled_from([0, 1, 2, 4, 8, 16, 32, 48, 17]), st.booleans()), max_size=40),
    st.floats(0.1, 1e6),
)
def test_removal_order_equals_the_python_sort(rows, half_life):
    from fenwa_host.trim import _weight

    views = [MessageView(i, "user", b, "", 0, (), (), False) for i, (b, _) in enumerate(rows)]
    pinned = bytearray(p for _, p in rows)
    keys = [half_life * math.log2(_weight(b)) + i for i, (b, _) in enumerate(rows)]
    expected = sorted((i for i, (_, p) in enumerate(rows) if not p), key=keys.__getitem__)
    order = _native.removal_order(views, pinned, half_life)
    assert list(memoryview(order).cast("I")) == expected


ROLES = ["user", "assistant", "tool", "system", "reasoning"]


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.tuples(st.sampled_from(ROLES), st.sampled_from([0, 1, 2, 4, 8, 16, 32, 48, 17, 0x2A]),
                       st.integers(0, 3), st.integers(0, 10**6), st.integers(0, 4 * 10**9)), max_size=30),
    st.data(),
    st.booleans(),
)
def test_filing_of_sent_messages_equals_the_python_loop(rows, data, elide):
    from fenwa_host.conversation import _file_sent

    views = [MessageView(i, role, bits, "", 0, (), tuple(f"c{k}" for k in range(answers)), False)
             for i, (role, bits, answers, _, _) in enumerate(rows)]
    tokens = [row[3] for row in rows]
    sizes = [row[4] for row in rows]
    start = data.draw(st.integers(0, len(rows)))
    end = data.draw(st.integers(start, len(rows)))
    expected = _file_sent(views, tokens, sizes, start, end, elide, fh.estimate_tokens)
    costs = placeholder_costs("o200k")[0]
    assert _native.file_sent(views, tokens, sizes, start, end, elide, costs) == expected


class ClearsViews:
    """A count whose __index__ empties the views list the call is reading."""

    def __init__(self, views):
        self.views = views

    def __index__(self):
        self.views.clear()
        return 5


def _filing_case(mutate):
    views = [MessageView(i, "user", 2, "", 0, (), (), False) for i in range(3)]
    tokens, sizes = [5, 5, 5], [20, 20, 20]
    return mutate(views, tokens, sizes) or (views, tokens, sizes, 0, 3, True, placeholder_costs("o200k")[0])


@pytest.mark.parametrize("mutate, error", [
    (lambda v, t, s: (v, t, s, 0, 4, True, placeholder_costs("o200k")[0]), ValueError),  # end past the lists
    (lambda v, t, s: (v, t[:2], s, 0, 3, True, placeholder_costs("o200k")[0]), ValueError),
    (lambda v, t, s: (tuple(v), t, s, 0, 3, True, placeholder_costs("o200k")[0]), TypeError),
    (lambda v, t, s: (v, t, s, 0, 3, True, b"short"), ValueError),  # not a cost table
    (lambda v, t, s: v.__setitem__(1, "not a view"), TypeError),
    (lambda v, t, s: v.__setitem__(1, MessageView(1, "user", 2, "", 0, (), None, False)), TypeError),
    (lambda v, t, s: t.__setitem__(1, -1), OverflowError),
    (lambda v, t, s: t.__setitem__(1, 2**63), OverflowError),
    (lambda v, t, s: t.__setitem__(slice(0, 2), [2**62, 2**62]), OverflowError),  # the sum
    (lambda v, t, s: v.__setitem__(1, MessageView(1, "user", 2**40, "", 0, (), (), False)), OverflowError),
    (lambda v, t, s: t.__setitem__(0, ClearsViews(v)), ValueError),  # the list shrinks mid-call
])
def test_filing_refuses_bad_input(mutate, error):
    with pytest.raises(error):
        _native.file_sent(*_filing_case(mutate))


@pytest.mark.parametrize(
    "message, error, pattern",
    [
        ({"role": "tool", "tool_call_id": "c", "content": 5}, TypeError, r"message 2: 'content' must be"),
        ({"role": "wizard", "content": "hi"}, ValueError, r"message 2: unknown role 'wizard' in 'role'"),
        ({"role": 3, "content": "hi"}, TypeError, r"message 2: 'role' must be a str, not int"),
        ({"role": "assistant", "content": None, "tool_calls": [{"id": 1, "function": {"name": "f", "arguments": "{}"}}]},
         TypeError, r"message 2: 'tool_calls\[0\].id' must be a str"),
        ({"role": "assistant", "content": None, "tool_calls": [{"id": "x"}]},
         ValueError, r"message 2: 'tool_calls\[0\].function' is missing"),
    ],
)
def test_bad_input_still_names_index_and_field(message, error, pattern):
    messages = [{"role": "system", "content": "s"}, {"role": "user", "content": "u"}, message]
    with pytest.raises(error, match=pattern):
        fh.trim(messages, max_tokens=10, format="openai")


def test_orphan_and_missing_results_are_still_reported():
    call = {"role": "assistant", "content": None,
            "tool_calls": [{"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}]}
    with pytest.raises(ValueError, match=r"message 1: tool result for call 'zz' .*orphan tool result"):
        fh.validate([{"role": "user", "content": "u"}, {"role": "tool", "tool_call_id": "zz", "content": "x"}])
    with pytest.raises(ValueError, match=r"message 1: tool call 'c1' has no result before message 2"):
        fh.validate([{"role": "user", "content": "u"}, call, {"role": "user", "content": "again"}])
    with pytest.raises(ValueError, match=r"message 1: tool call 'c1' has no result \(call"):
        fh.validate([{"role": "user", "content": "u"}, call])


def test_native_pairing_of_many_calls_equals_the_python_loop():
    # Hundreds of ids (the interning table grows several times), answered by
    # equal strs that are other objects.
    views = []
    for k in range(300):
        ids = (f"call_{k}_a", f"call_{k}_b")
        views.append(MessageView(len(views), "assistant", 4, "", 0, ids, (), False))
        for cid in ids:
            views.append(MessageView(len(views), "tool", 4, "", 0, (), ("".join([cid[:5], cid[5:]]),), False))
    expected = _pair_adjacent(views, 0)
    assert _native.pair_adjacent(views, 0) == tuple(expected)


class _Seq(Sequence):
    """A sequence that is not a list: trim reads and walks it in Python."""

    def __init__(self, items):
        self._items = items

    def __len__(self):
        return len(self._items)

    def __getitem__(self, i):
        return self._items[i]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(conversation_st, st.integers(0, 400), st.sampled_from(["elide", "drop"]), st.integers(0, 3))
def test_exact_counts_through_the_native_walk_are_exact_and_valid(conversation, max_tokens, tool_results, turns):
    # A caller's counter through the native reader and walk, and through the
    # Python ones: the decisions may differ (the walks price a placeholder before
    # making it), but each result is valid, counted exactly, and within the budget
    # whenever it says so.
    messages = openai_messages(conversation)

    def words(text):
        return len(text.split()) + 1

    for history in (messages, _Seq(messages)):
        r = fh.trim(history, max_tokens=max_tokens, token_counter=words, tool_results=tool_results,
                    keep_last_turns=turns)
        fh.validate(r.messages)
        assert r.tokens_after == (fh.count_tokens(r.messages, token_counter=words) if r.messages else 0)
        assert r.within_budget == (r.tokens_after <= max_tokens)


def _lazy(messages):
    return OPENAI.read(messages, lazy=True).views


def test_views_are_a_sequence_of_views():
    messages = [
        {"role": "system", "content": "be brief"},
        {"role": "user", "content": "hi"},
        {"role": "assistant", "content": None, "tool_calls": [
            {"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}]},
        {"role": "tool", "tool_call_id": "c1", "content": "out"},
    ]
    views = _lazy(messages)
    expected = OPENAI.read(messages).views
    assert isinstance(views, Sequence)
    assert [views[i] for i in range(-4, 4)] == expected + expected
    assert views[1:3] == expected[1:3] and views[::-2] == expected[::-2] and views[9:] == []
    assert list(reversed(views)) == expected[::-1]
    assert expected[3] in views and views[3].answers == ("c1",)
    # An assigned view stands in for the one read; anything else is refused.
    views[-1] = expected[3]._replace(bits=1)
    assert views[3].bits == 1 and _native.durable_views(views, 1, "system") == [0, 3]
    for key, value, error in [
        (4, expected[0], IndexError), (-5, expected[0], IndexError), ("1", expected[0], TypeError),
        (0, ("too", "short"), TypeError), (0, None, TypeError), (slice(0, 1), [expected[0]], TypeError),
    ]:
        with pytest.raises(error):
            views[key] = value
    with pytest.raises(TypeError):
        del views[0]
    with pytest.raises(IndexError):
        views[2**70]
    with pytest.raises(TypeError, match="read_messages"):
        type(views)()


def test_views_left_to_the_adapter_are_none_until_assigned():
    messages = [{"role": "user", "content": "hi"}, {"role": "user", "content": [{"type": "text", "text": "x"}]}]
    views, _, _, todo = _native.read_messages(messages, 0, OPENAI.native_table, MessageView, None, None, True)
    assert todo == [1] and views[1] is None
    with pytest.raises(TypeError, match="message views"):
        _native.pair_adjacent(views, 0)
    # The adapter's reading fills them in.
    assert list(OPENAI.read(messages, lazy=True).views) == OPENAI.read(messages).views


def test_views_release_what_they_hold():
    messages = [{"role": "user", "content": "x" * 100}]
    views = _lazy(messages)
    # A view a caller assigns may reach back to the views: the collector frees both.
    class Marker:
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    holder = [marker]
    views[0] = MessageView(0, "user", 0, "x", 0, (), (), holder)
    holder.append(views)
    del views, holder, marker
    gc.collect()
    assert alive() is None


def test_positions_past_the_kept_ints_are_exact():
    n = 2**17 + 3
    messages = [{"role": "user", "content": "hi"}] * n
    for lazy in (False, True):
        views = OPENAI.read(messages, lazy=lazy).views
        assert [views[i].position for i in (0, 2**17 - 1, 2**17, n - 1)] == [0, 2**17 - 1, 2**17, n - 1]
        assert _native.durable_views(views, 0, "user")[-2:] == [n - 2, n - 1]
