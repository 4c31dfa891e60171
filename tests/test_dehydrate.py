"""dehydrate(): one-pass history dehydration."""
import gc
import inspect
import math
import threading

import sys

import pytest

import fenwa_micro as fm
from fenwa_micro import ASSISTANT, FACT, SYSTEM, THINKING, TOOL, USER, dehydrate
from notes import expected_notes, notes

KEYS = ["kept", "blocks_in", "blocks_kept", "blocks_purged", "tokens_before", "tokens_after",
        "reduction", "stable_prefix_tokens", "kernel_latency_us"]


def history(flags, n):
    return [(f"m{i}", flags) for i in range(n)]


def test_signature_and_doc():
    assert str(inspect.signature(dehydrate)) == "(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0)"
    assert dehydrate.__doc__.startswith("Dehydrate a whole message history in a single pass (oldest → newest).\n\n")
    assert dehydrate.__doc__.endswith("byte-identical between calls. Apoptosis only acts on the mobile suffix.")


def test_result_keys_in_order_and_types():
    r = dehydrate([("hello", USER)])
    assert list(r) == KEYS
    assert [type(r[k]) for k in KEYS] == [list, int, int, int, int, int, float, int, float]


def test_empty_history():
    r = dehydrate([])
    assert r["kept"] == [] and r["reduction"] == 0.0 and r["kernel_latency_us"] >= 0.0
    assert [r[k] for k in KEYS[1:6] + ["stable_prefix_tokens"]] == [0] * 6


@pytest.mark.parametrize("flags,n,survivors", [
    (USER, 12, 10),           # ages 0..9 survive with the defaults
    (ASSISTANT, 12, 10),
    (USER | THINKING, 12, 10),  # conversational weight wins over THINKING
    (0, 6, 5),                # unclassed: ages 0..4
    (0x40, 6, 5),             # bits outside the table are ignored
    (TOOL, 1, 0),             # ballast never survives the defaults
    (THINKING, 3, 0),
    (TOOL | THINKING, 3, 0),
    (FACT, 50, 50),           # durable at any age
    (SYSTEM | TOOL, 50, 50),
    (USER | FACT, 50, 50),
])
def test_survival_with_defaults(flags, n, survivors):
    r = dehydrate(history(flags, n))
    assert r["kept"] == [f"m{i}" for i in range(n - survivors, n)]
    assert (r["blocks_in"], r["blocks_kept"], r["blocks_purged"]) == (n, survivors, n - survivors)


@pytest.mark.parametrize("flags,threshold,survivors", [
    # weight x 2^(-age/6) at the edge: TOOL+THINKING weighs 0.15, TOOL alone 0.25
    (TOOL | THINKING, 0.15, 1), (TOOL | THINKING, 0.1500001, 0),
    (TOOL, 0.25, 1), (THINKING, 0.15, 1), (TOOL, 0.15, 5),
])
def test_class_weights_at_the_threshold(flags, threshold, survivors):
    assert dehydrate(history(flags, 20), safe_threshold=threshold)["blocks_kept"] == survivors


@pytest.mark.parametrize("text,tokens", [
    ("", 1), ("a", 1), ("abc", 1), ("abcd", 2), ("abcdefg", 2), ("a" * 400, 101),
    ("é" * 3, 2),          # 6 bytes
    ("é" * 200, 101),      # 400 bytes
    ("€", 1), ("😀", 2),   # 3 and 4 bytes
])
def test_token_estimate_counts_utf8_bytes(text, tokens):
    r = dehydrate([(text, FACT)])
    assert r["tokens_before"] == r["tokens_after"] == tokens


@pytest.mark.parametrize("prefix", [0, 3, 12, 13, 2**64 - 1])
def test_stable_prefix(prefix):
    msgs = [("x" * 8, TOOL)] * 12  # 3 tokens each, all purged outside the prefix
    r = dehydrate(msgs, stable_prefix=prefix)
    protected = min(prefix, 12)
    assert r["blocks_kept"] == protected
    assert r["stable_prefix_tokens"] == 3 * protected
    assert r["tokens_after"] == 3 * protected and r["tokens_before"] == 36
    if protected == 12:
        assert r["reduction"] == 0.0 and r["stable_prefix_tokens"] == r["tokens_before"]


def test_prefix_messages_count_toward_age():
    # The two oldest of twelve USER messages are purged by age even though a
    # prefix of one protects the first: age counts protected messages too.
    r = dehydrate(history(USER, 12), stable_prefix=1)
    assert r["kept"] == ["m0"] + [f"m{i}" for i in range(2, 12)]


@pytest.mark.parametrize("half_life", [0.0, -3.0, float("nan"), 0.05, 0.1])
def test_half_life_floor(half_life):
    # With a half-life of 0.1 an unclassed message survives only at age 0.
    r = dehydrate(history(0, 4), half_life=half_life)
    assert r["kept"] == ["m3"]


def test_zero_and_nan_thresholds():
    msgs = history(TOOL, 5) + [("s", SYSTEM), ("f", FACT)]
    assert dehydrate(msgs, safe_threshold=0.0)["blocks_kept"] == 7
    # decay underflows to +0 for very old messages; +0 still meets a zero threshold
    assert dehydrate(history(TOOL, 400), half_life=1, safe_threshold=0.0)["blocks_kept"] == 400
    assert dehydrate(history(TOOL, 400), half_life=1, safe_threshold=1e-45)["blocks_kept"] == 148
    assert dehydrate(msgs, safe_threshold=-1.0)["blocks_kept"] == 7
    assert dehydrate(msgs, safe_threshold=float("nan"))["kept"] == ["s", "f"]
    assert dehydrate(msgs, safe_threshold=float("nan"), stable_prefix=2)["kept"] == ["m0", "m1", "s", "f"]


def test_reduction_is_double_precision():
    r = dehydrate([("a", TOOL), ("b", FACT), ("c", FACT)])
    assert r["reduction"] == 1.0 - 2 / 3


def test_sequences_and_subclasses_accepted():
    class Text(str):
        pass

    class Pair(tuple):
        pass

    class Flag(int):
        pass

    class Index:
        def __index__(self):
            return FACT

    class Zero:
        def __index__(self):
            return 0

    msgs = ((Text("a"), FACT), Pair(("b", Flag(FACT))), ("c", Index()), ("d", False), ("e", True))
    r = dehydrate(msgs, half_life=6, safe_threshold=1, stable_prefix=Zero())
    assert r["kept"] == ["a", "b", "c", "e"]
    assert all(type(s) is str for s in r["kept"])


@pytest.mark.parametrize("messages,exc,message", [
    ("abc", TypeError, "Can't extract `str` to `Vec`"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ({("a", 1): 1}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    ((m for m in []), TypeError, "'generator' object is not an instance of 'Sequence'"),
    (5, TypeError, "'int' object is not an instance of 'Sequence'"),
    ([["a", 1]], TypeError, "'list' object is not an instance of 'tuple'"),
    ([("a", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([("a",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ([(None, 1)], TypeError, "'None' is not an instance of 'str'"),
    ([(b"a", 1)], TypeError, "'bytes' object is not an instance of 'str'"),
    ([("a", -1)], OverflowError, "out of range integral type conversion attempted"),
    ([("a", 2**32)], OverflowError, "out of range integral type conversion attempted"),
    ([("a", 2**64)], OverflowError, None),
    ([("a", 1.0)], TypeError, None),
    ([("a", None)], TypeError, None),
    ([("ok", 1), ("\ud800", 1)], UnicodeEncodeError, None),
])
def test_messages_conversion_failures(messages, exc, message):
    with pytest.raises(exc) as info:
        dehydrate(messages)
    if message:
        assert str(info.value) == message
    assert notes(info.value) == expected_notes("messages")


def test_flags_upper_bound_accepted():
    assert dehydrate([("a", 4294967295)])["blocks_kept"] == 1  # has SYSTEM and FACT bits


class FailingSequence:
    """A sequence whose iteration fails midway and whose length fails."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < 2:
            return ("x", USER)
        raise KeyError("broken")


def test_length_failure_is_cleared_and_iteration_failure_raised():
    with pytest.raises(KeyError) as info:
        dehydrate(FailingSequence())
    assert notes(info.value) == expected_notes("messages")


class NoLength:
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < 3:
            return ("x", FACT)
        raise IndexError


def test_length_failure_alone_is_harmless():
    assert dehydrate(NoLength())["blocks_kept"] == 3


@pytest.mark.parametrize("claimed", [sys.maxsize, 2**40, 0, 1])
@pytest.mark.parametrize("actual", [0, 3, 70_000])
def test_length_is_only_a_hint(claimed, actual):
    # A lying __len__ sizes nothing: the items the iteration yields are converted.
    class Lying(list):
        def __len__(self):
            return claimed

    result = dehydrate(Lying([("a", FACT)] * actual))
    assert result["blocks_in"] == actual and result["blocks_kept"] == actual


@pytest.mark.parametrize("kwargs,exc,note", [
    ({"half_life": None}, TypeError, "half_life"),
    ({"half_life": "6"}, TypeError, "half_life"),
    ({"safe_threshold": None}, TypeError, "safe_threshold"),
    ({"stable_prefix": -1}, OverflowError, "stable_prefix"),
    ({"stable_prefix": 2**64}, OverflowError, "stable_prefix"),
    ({"stable_prefix": 1.5}, TypeError, "stable_prefix"),
])
def test_number_conversion_failures(kwargs, exc, note):
    with pytest.raises(exc) as info:
        dehydrate([("a", USER)], **kwargs)
    assert notes(info.value) == expected_notes(note)


@pytest.mark.parametrize("call,message", [
    (lambda: dehydrate(), "dehydrate() missing 1 required positional argument: 'messages'"),
    (lambda: dehydrate([], 1, 2, 3, 4), "dehydrate() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: dehydrate([], window=3), "dehydrate() got an unexpected keyword argument 'window'"),
    (lambda: dehydrate([], messages=[]), "dehydrate() got multiple values for argument 'messages'"),
    (lambda: dehydrate(half_life=1), "dehydrate() missing 1 required positional argument: 'messages'"),
])
def test_binding_failures(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_keywords_bind_in_any_order():
    r = dehydrate(stable_prefix=1, safe_threshold=math.inf, messages=history(USER, 3))
    assert r["kept"] == ["m0"]


def test_result_is_independent_of_later_mutation():
    msgs = history(FACT, 3)
    r = dehydrate(msgs)
    msgs.clear()
    assert r["kept"] == ["m0", "m1", "m2"]


def test_concurrent_mutation_never_changes_a_result():
    """Another thread rewrites the caller's list while calls run; every result
    matches one of the states the list can be observed in, and nothing crashes."""
    base = [(f"content {i} " * 3, FACT if i % 3 == 0 else USER) for i in range(300)]
    msgs = list(base)
    stop = threading.Event()

    def mutate():
        i = 0
        while not stop.is_set():
            msgs[i % len(base)] = (f"other {i}", TOOL)
            msgs[i % len(base)] = base[i % len(base)]
            i += 1

    class SwitchyFlag:
        """Runs Python code (and so lets the mutator run) during conversion."""

        def __index__(self):
            return USER

    msgs.append(("tail", SwitchyFlag()))
    expected_full = dehydrate(base + [("tail", USER)])
    worker = threading.Thread(target=mutate)
    worker.start()
    try:
        for _ in range(200):
            r = dehydrate(msgs)
            kept = r["kept"]
            assert r["blocks_in"] == 301
            assert r["blocks_kept"] == len(kept)
            assert r["tokens_before"] >= r["tokens_after"]
            # every kept text is one the list held at some point
            assert all(k.startswith(("content", "other", "tail")) for k in kept)
    finally:
        stop.set()
        worker.join()
    msgs[:300] = base
    assert dehydrate(msgs)["kept"] == expected_full["kept"]


def test_releases_the_interpreter_lock_safely_from_many_threads():
    msgs = [(f"m{i}", (USER, FACT, TOOL, 0)[i % 4]) for i in range(2000)]
    expected = dehydrate(msgs)
    del expected["kernel_latency_us"]
    errors = []

    def worker():
        for _ in range(50):
            r = dehydrate(msgs)
            del r["kernel_latency_us"]
            if r != expected:
                errors.append(r)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_no_reference_leak_on_failure():
    content = "leak check " * 10
    before = __import__("sys").getrefcount(content)
    for _ in range(100):
        with pytest.raises(ValueError):
            dehydrate([(content, USER), (content, USER, 3)])
        dehydrate([(content, USER)] * 3)
    gc.collect()
    assert __import__("sys").getrefcount(content) == before
