"""What the framework integrations share: overflow detection on the SDKs' own
errors, the retry, and syncing a framework-owned history by item keys."""

from __future__ import annotations

from typing import Any, List

import httpx
import pytest

import fenwa_host as fh
from fenwa_host.integrations import ContextOverflow, is_context_overflow
from fenwa_host.integrations._core import Core, Session, Settings, item_key


def _openai_error(code: str, message: str) -> Exception:
    import openai

    response = httpx.Response(400, request=httpx.Request("POST", "https://api.openai.com/v1/responses"))
    return openai.BadRequestError(message, response=response, body={"error": {"code": code, "message": message}})


def _anthropic_error(message: str) -> Exception:
    import anthropic

    response = httpx.Response(400, request=httpx.Request("POST", "https://api.anthropic.com/v1/messages"))
    body = {"type": "error", "error": {"type": "invalid_request_error", "message": message}}
    return anthropic.BadRequestError(message, response=response, body=body)


@pytest.mark.parametrize(
    "make, overflow",
    [
        (lambda: _openai_error("context_length_exceeded", "This model's maximum context length is 128000 tokens"), True),
        (lambda: _anthropic_error("prompt is too long: 210000 tokens > 200000 maximum"), True),
        (lambda: _openai_error("invalid_value", "Invalid 'input[3].content'"), False),
        (lambda: _anthropic_error("messages.0: roles must alternate"), False),
        (lambda: RuntimeError("wrapped"), False),
        (lambda: ContextOverflow((10, 8), (9, 7)), False),  # ours: never retried again
    ],
)
def test_overflow_is_recognised_on_the_sdks_errors(make: Any, overflow: bool) -> None:
    assert is_context_overflow(make()) is overflow


def test_overflow_is_recognised_through_a_wrapping_error() -> None:
    try:
        try:
            raise _anthropic_error("prompt is too long: 210000 tokens > 200000 maximum")
        except Exception as inner:
            raise RuntimeError("the framework's own error") from inner
    except RuntimeError as outer:
        assert is_context_overflow(outer)


def _history(n: int) -> List[Any]:
    out: List[Any] = []
    for k in range(n):
        out += [
            {"role": "user", "content": f"question {k}"},
            {"role": "assistant", "content": None, "tool_calls": [
                {"id": f"c{k}", "type": "function", "function": {"name": "read", "arguments": "{}"}}]},
            {"role": "tool", "tool_call_id": f"c{k}", "content": f"output {k} " * 400},
            {"role": "assistant", "content": f"answer {k}"},
        ]
    return out


def test_retry_trims_smaller_then_raises_with_the_counts() -> None:
    core = Core(Settings(max_tokens=2000))
    history = _history(12)
    first = core.attempt(history, "openai")
    assert first.tokens <= 2000
    second = first.retry(_openai_error("context_length_exceeded", "too long"))
    assert second.tokens <= int(min(first.budget, first.tokens) * 0.75)
    fh.validate(second.messages, "openai")
    with pytest.raises(ContextOverflow) as info:
        second.retry(_openai_error("context_length_exceeded", "too long"))
    assert info.value.tokens_sent == (first.tokens, second.tokens)
    assert info.value.budgets == (first.budget, second.budget)
    with pytest.raises(ValueError, match="not an overflow"):
        first.retry(ValueError("not an overflow"))  # any other error is the caller's


@pytest.mark.parametrize(
    "known, seen, expected",
    [
        ([], [1, 2], 0),                       # a new session takes everything
        ([1, 2, 3], [1, 2, 3, 4, 5], 3),       # an extension: only 4 and 5 are new
        ([1, 2, 3, 4], [3, 4, 5], 2),          # the oldest items let go: 5 is new
        ([1, 2, 3], [1, 2, 3], 3),             # nothing new
        ([1, 2, 3], [1, 9, 3, 4], None),       # rewritten in the middle
        ([1, 2, 3], [7, 8], None),             # another history altogether
        ([1, 2, 3], [], None),                 # emptied
    ],
)
def test_new_items_are_found_by_key_not_position(known: List[int], seen: List[int], expected: Any) -> None:
    session = Session(lambda: fh.Conversation(format="openai"))
    session.keys = list(known)
    assert session.new_items(list(seen)) == expected


def test_session_restarts_on_a_rewritten_history_and_says_so() -> None:
    core = Core(Settings(max_tokens=3000, mode="conversation"))
    session = Session(lambda: core.conversation("openai"))
    history = _history(3)
    assert not session.request(history, 3000, core.trim).restarted
    assert not session.request(history + _history(4)[12:], 3000, core.trim).restarted
    rewritten = [{"role": "user", "content": "a summary of what happened"}] + history[8:]
    synced = session.request(rewritten, 3000, core.trim)
    assert synced.restarted and "restarted" in session.conversation.last_report
    assert synced.messages[-len(rewritten):] == rewritten


@pytest.mark.parametrize(
    "a, b, same",
    [
        ({"type": "function_call", "id": "fc_1", "call_id": "c1"}, {"type": "function_call", "id": "fc_1", "call_id": "c1", "x": 1}, True),
        ({"type": "function_call_output", "call_id": "c1", "output": "a"}, {"type": "function_call_output", "call_id": "c1", "output": "b"}, True),
        ({"role": "user", "content": "hi"}, {"role": "user", "content": "hi"}, True),
        ({"role": "user", "content": "hi"}, {"role": "user", "content": "ho"}, False),
        ({"type": "function_call", "call_id": "c1"}, {"type": "function_call_output", "call_id": "c1"}, False),
    ],
)
def test_item_keys(a: Any, b: Any, same: bool) -> None:
    assert (item_key(a) == item_key(b)) is same


def test_key_cache_keeps_no_message_alive() -> None:
    import gc
    import weakref
    from dataclasses import dataclass

    from fenwa_host.integrations._core import KeyCache

    @dataclass(eq=False)
    class Message:  # an SDK message without an id: keyed by its content
        content: str

    calls: List[Any] = []
    cache = KeyCache(lambda m: (calls.append(m), item_key(m))[1])
    messages = [Message("x" * 1000 + str(k)) for k in range(50)]
    keys = [cache(m) for m in messages]
    assert [cache(m) for m in messages] == keys and len(calls) == 50  # hashed once each
    alive = weakref.ref(messages[0])
    del messages, calls[:]
    gc.collect()
    assert alive() is None and len(cache) == 0
    plain = {"role": "user", "content": "hi"}  # a dict cannot be held weakly: keyed every time
    assert cache(plain) == cache(plain) == item_key(plain) and len(cache) == 0


def _cycle(k: int) -> List[Any]:
    cid = f"call_{k}"
    return [{"role": "assistant", "content": None,
             "tool_calls": [{"id": cid, "type": "function", "function": {"name": "f", "arguments": "{}"}}]},
            {"role": "tool", "tool_call_id": cid, "content": f"output {k}"}]


@pytest.mark.parametrize("before, after", [(0, 0), (3, 0), (0, 5), (2, 200), (1, 2000)])
@pytest.mark.parametrize("as_tuple", [False, True])
def test_newest_user_is_found_however_far_back(before: int, after: int, as_tuple: bool) -> None:
    from fenwa_host.formats import FORMATS
    from fenwa_host.integrations._core import _newest_user

    messages: List[Any] = [{"role": "system", "content": "s"}]
    for k in range(before):
        messages += [{"role": "user", "content": f"old {k}"}, *_cycle(k)]
    question = len(messages)
    messages.append({"role": "user", "content": "the question"})
    for k in range(after):
        messages += _cycle(before + k)
    found = _newest_user(FORMATS["openai"], tuple(messages) if as_tuple else messages)
    assert found == question
    assert _newest_user(FORMATS["openai"], messages[:1] + messages[question + 1:]) is None


def test_newest_user_errors_name_the_message_in_the_whole_list() -> None:
    from fenwa_host.formats import FORMATS
    from fenwa_host.integrations._core import _newest_user

    messages: List[Any] = [{"role": "user", "content": "q"}]
    for k in range(40):
        messages += _cycle(k)
    messages[60] = {"role": "robot", "content": "?"}
    with pytest.raises(ValueError, match="message 60"):
        _newest_user(FORMATS["openai"], messages)
