"""Every callable's signature, docstring and argument-binding errors, compared
with a recorded copy (tests/data/callables.json), so that a change in how the
native module declares its callables cannot alter what callers see.

Regenerate the record only for an intended change of the public surface:
``python tests/test_callables.py > tests/data/callables.json``.
"""

from __future__ import annotations

import inspect
import json
import sys
from pathlib import Path

import pytest

import fenwa_micro as fm

RECORD = Path(__file__).resolve().parent / "data" / "callables.json"

# Instances on which the methods are looked up and called.
INSTANCES = {
    "HormonalBus": lambda: fm.HormonalBus(),
    "HormonalSignal": lambda: fm.HormonalSignal(1),
    "ContextApoptosis": lambda: fm.ContextApoptosis(),
}


def callables():
    """(qualified name, callable) for every public function, class and method."""
    for name in sorted(fm.__all__):
        obj = getattr(fm, name)
        if isinstance(obj, type):
            yield name, obj
            inst = INSTANCES[name]()
            for attr in sorted(vars(obj)):
                member = getattr(inst, attr)
                if not attr.startswith("_") and callable(member):
                    yield f"{name}.{attr}", member
        elif callable(obj):
            yield name, obj


def outcome(fn, *args, **kwargs):
    """The exception type and message of a call, or "ok"."""
    try:
        fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - the message is what is recorded
        return f"{type(e).__name__}: {e}"
    return "ok"


def describe(fn):
    try:
        signature = str(inspect.signature(fn))
    except ValueError as e:
        signature = f"ValueError: {e}"
    return {
        "doc": fn.__doc__,
        "text_signature": getattr(fn, "__text_signature__", None),
        "signature": signature,
        "unknown_keyword": outcome(fn, zz_unknown=1),
        "too_many": outcome(fn, *range(9)),
        "none_first": outcome(fn, None),
        "no_args": outcome(fn),
    }


def current():
    return {name: describe(fn) for name, fn in callables()}


RECORDED = json.loads(RECORD.read_text(encoding="utf-8"))


def test_the_same_callables():
    assert sorted(current()) == sorted(RECORDED)


# Before 3.10 a class's inspect.signature comes from its __init__, not from its
# text signature, so only the raw texts are compared there.
FIELDS = ["doc", "text_signature", "unknown_keyword", "too_many", "none_first", "no_args"]
if sys.version_info >= (3, 10):
    FIELDS.append("signature")


@pytest.mark.parametrize("name", sorted(RECORDED))
@pytest.mark.parametrize("field", FIELDS)
def test_unchanged(name, field):
    fn = dict(callables())[name]
    assert describe(fn)[field] == RECORDED[name][field]


if __name__ == "__main__":
    json.dump(current(), sys.stdout, indent=1, sort_keys=True, ensure_ascii=False)
    sys.stdout.write("\n")


def window_run(w):
    w.set_purpose("purpose")
    for i in range(40):
        w.insert(f"user turn {i} " * 3, fm.USER)
        w.insert("tool output " * 4, fm.TOOL)
    for i in range(80):
        w.note_state(f"fact {i}")
    for _ in range(3):
        w.dehydrate()
    return w.render(), len(w), w.reduction_ratio(), w.state_entries()


def bus_run(bus):
    for _ in range(5000):
        bus.secrete(0xFFFFFFFF, 0.5)
    return bus.snapshot(), bus.stats(), len(bus.drain_events(10**6))


def window_after(method):
    def run(**kw):
        w = fm.ContextApoptosis(safe_threshold=0.6)
        w.insert("durable fact", fm.FACT)
        w.insert("a user turn " * 5, fm.USER)
        getattr(w, method)(*(["plain block"] if method == "insert" else []), **kw)
        for _ in range(2):
            w.dehydrate(absorb=True)
        return w.render(), w.state_entries(), w.reduction_ratio()
    return run


def without_latency(result):
    return {k: v for k, v in result.items() if k != "kernel_latency_us"}


MESSAGES = [(f"message {i} " * 4, (fm.USER, fm.FACT, fm.TOOL, fm.ASSISTANT)[i % 4]) for i in range(30)]

# A call of each callable with defaults, whose result depends on every default.
DEFAULT_RUNS = {
    "consolidation_gain": lambda **kw: fm.consolidation_gain(12000, 3000, **kw),
    "saturation_scan": lambda **kw: fm.saturation_scan("one two three four five six seven " * 9, **kw),
    "dehydrate": lambda **kw: without_latency(fm.dehydrate(MESSAGES, **kw)),
    "ContextApoptosis": lambda **kw: window_run(fm.ContextApoptosis(**kw)),
    "ContextApoptosis.insert": window_after("insert"),
    "ContextApoptosis.dehydrate": window_after("dehydrate"),
    "HormonalSignal": lambda **kw: fm.HormonalSignal(3, **kw).intensity,
    "HormonalBus": lambda **kw: bus_run(fm.HormonalBus(**kw)),
}


@pytest.mark.parametrize("name", sorted(DEFAULT_RUNS))
def test_omitted_arguments_take_the_defaults_the_signature_shows(name):
    fn = dict(callables())[name]
    if isinstance(fn, type) and sys.version_info < (3, 10):
        pytest.skip("a class's signature comes from its __init__ before 3.10")
    shown = {p.name: p.default for p in inspect.signature(fn).parameters.values()
             if p.default is not p.empty and p.default is not Ellipsis}
    assert shown
    run = DEFAULT_RUNS[name]
    assert run() == run(**shown)
