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
