"""Leak checks: every operation, on its success path and on its failure paths,
called many times leaves the count of live Python allocations and the bytes held
by the C allocator flat."""
import ctypes
import gc
import os
import sys

import pytest

import fenwa_micro as fm

pytestmark = pytest.mark.slow


def under_sanitizer():
    """AddressSanitizer keeps freed memory in quarantine and replaces the
    allocator, so allocator totals say nothing there (its own leak checker covers
    that run)."""
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except OSError:
        return False


UNDER_SANITIZER = under_sanitizer()
SANITIZER_CALLS = 200  # per operation, under the sanitizer


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd",
        "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _malloc_in_use_reader():
    """glibc's count of the bytes malloc has handed out and not had back (chunks
    in use plus mmapped blocks): exact, where resident memory only moves by
    pages. None where the C library has no mallinfo2, and off Linux (on Windows
    ctypes.CDLL(None) is a TypeError)."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    return in_use


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


_MALLOC_IN_USE = _malloc_in_use_reader()
if _MALLOC_IN_USE is not None:
    # Exact counts: one leaked allocation a call (at least 32 bytes in glibc)
    # shows as >= 640 KB over 20,000 calls.
    CALLS = 20_000
    NATIVE_BYTES = _MALLOC_IN_USE
    NATIVE_BOUND = 128 * 1024
elif os.path.exists("/proc/self/statm"):
    # Resident memory moves by pages and allocator arenas, so it needs many calls
    # before one leaked object a call (>= 6 MB over 200,000) stands out.
    CALLS = 200_000
    NATIVE_BYTES = _resident_bytes
    NATIVE_BOUND = 4 * 1024 * 1024
else:
    # Neither mallinfo2 nor /proc (macOS, Windows): the native memory is not
    # read here, and only the live Python allocations are counted.
    CALLS = 20_000
    NATIVE_BYTES = None
    NATIVE_BOUND = 0
# Python allocations are counted exactly; allow a little for caches filling.
BLOCK_BOUND = 256


class Boom(Exception):
    pass


class RaisingIndex:
    def __index__(self):
        raise Boom


def swallow(fn, *exc):
    def call():
        try:
            fn()
        except exc:
            pass
    return call


def operations():
    """(name, callable) pairs; failure paths swallow exactly their exception."""
    ops = []
    S = fm.HormonalSignal
    sig = S(3, 0.5)
    ops += [
        ("signal.new", lambda: S(3, 0.5)),
        ("signal.new.kw", lambda: S(flags=3, intensity=0.5)),
        ("signal.repr", lambda: repr(sig)),
        ("signal.read", lambda: (sig.flags, sig.intensity)),
        ("signal.write", lambda: setattr(sig, "intensity", 0.25)),
        ("signal.new.overflow", swallow(lambda: S(-1), OverflowError)),
        ("signal.new.type", swallow(lambda: S(None), TypeError)),
        ("signal.new.binding", swallow(lambda: S(1, 2, 3), TypeError)),
        ("signal.new.unexpected_kw", swallow(lambda: S(1, bogus=2), TypeError)),
        ("signal.new.index_raises", swallow(lambda: S(RaisingIndex()), Boom)),
        ("signal.write.bad", swallow(lambda: setattr(sig, "flags", 2**40), OverflowError)),
        ("signal.delete", swallow(lambda: delattr(sig, "flags"), AttributeError)),
    ]
    msgs = [(f"message {i} " * 4, (fm.USER, fm.FACT, fm.TOOL, 0)[i % 4]) for i in range(20)]
    ops += [
        ("dehydrate", lambda: fm.dehydrate(msgs, stable_prefix=2)),
        ("dehydrate.str", swallow(lambda: fm.dehydrate("abc"), TypeError)),
        ("dehydrate.bad_item", swallow(lambda: fm.dehydrate(msgs + [("x", 1, 2)]), ValueError)),
        ("dehydrate.bad_flags", swallow(lambda: fm.dehydrate(msgs + [("x", -1)]), OverflowError)),
        ("dehydrate.surrogate", swallow(lambda: fm.dehydrate([("\ud800", 1)]), UnicodeEncodeError)),
        ("dehydrate.bad_prefix", swallow(lambda: fm.dehydrate(msgs, stable_prefix=-1), OverflowError)),
    ]
    if hasattr(fm, "HormonalBus"):
        bus = fm.HormonalBus(8, 64)
        ops += [
            ("bus.new", lambda: fm.HormonalBus(4, 16)),
            ("bus.secrete+drain", lambda: (bus.secrete(5, 1.0), bus.drain_events(10))),
            ("bus.inject", lambda: bus.inject(sig)),
            ("bus.sense", lambda: bus.sense(7)),
            ("bus.tick", lambda: bus.tick(0.5)),
            ("bus.snapshot", bus.snapshot),
            ("bus.stats", bus.stats),
            ("bus.inject.bad", swallow(lambda: bus.inject(3), TypeError)),
            ("bus.secrete.bad", swallow(lambda: bus.secrete(2**32, 1.0), OverflowError)),
            ("bus.drain.bad", swallow(lambda: bus.drain_events(-1), OverflowError)),
            ("bus.new.overflow", swallow(lambda: fm.HormonalBus(event_capacity=2**59), BaseException)),
        ]
    if hasattr(fm, "ContextApoptosis"):
        def window_cycle():
            w = fm.ContextApoptosis(state_capacity=4)
            w.set_purpose("purpose")
            for i in range(6):
                w.insert(f"user turn {i} with some words", fm.USER)
                w.insert("tool output " * 5, fm.TOOL)
            w.note_state("fact")
            for _ in range(4):
                w.dehydrate(absorb=True)
            return w.render(), w.active_context(), w.state_entries(), w.reduction_ratio()

        w = fm.ContextApoptosis()
        ops += [
            ("window.lifecycle", window_cycle),
            ("window.insert.bad", swallow(lambda: w.insert(None), TypeError)),
            ("window.insert.bad_oxygen", swallow(lambda: w.insert("x", 1, None), TypeError)),
            ("window.dehydrate.bad", swallow(lambda: w.dehydrate(absorb=1), TypeError)),
            ("window.set_purpose.bad", swallow(lambda: w.set_purpose(3), TypeError)),
            ("window.new.overflow", swallow(lambda: fm.ContextApoptosis(capacity=2**63), BaseException)),
        ]
    text = "Why does the debug build never return? def f(x): return x; " * 20
    if hasattr(fm, "effort_gauge"):
        ops += [
            ("effort_gauge", lambda: fm.effort_gauge(text)),
            ("effort_gauge.bad", swallow(lambda: fm.effort_gauge(5), TypeError)),
        ]
    if hasattr(fm, "saturation_scan"):
        ops += [
            ("saturation_scan", lambda: fm.saturation_scan(text, 4)),
            ("saturation_scan.bad", swallow(lambda: fm.saturation_scan(text, -1), OverflowError)),
        ]
    if hasattr(fm, "consolidation_gain"):
        ops += [
            ("consolidation_gain", lambda: fm.consolidation_gain(10000, 4000)),
            ("consolidation_gain.bad", swallow(lambda: fm.consolidation_gain(-1, 0), OverflowError)),
        ]
    ops += _host_operations()
    return ops


def _host_operations():
    """fenwa_host's native reader and the views it reads lazily."""
    try:
        import fenwa_host as fh
        from fenwa_host import _native
        from fenwa_host.formats import FORMATS, MessageView
    except ImportError:
        return []
    chat = FORMATS["openai"]
    messages = [{"role": "system", "content": "be brief"}]
    for i in range(8):
        messages += [
            {"role": "user", "content": f"question {i} " * 10},
            {"role": "assistant", "content": None, "tool_calls": [
                {"id": f"c{i}", "type": "function", "function": {"name": "f", "arguments": '{"a": 1}'}}]},
            {"role": "tool", "tool_call_id": f"c{i}", "content": "output " * 40},
        ]

    def views_cycle():
        views = chat.read(messages, tokenizer="o200k", lazy=True).views
        views[1] = views[1]._replace(bits=1)
        return views[-1], views[2:9], list(views), _native.pair_adjacent(views, 0)

    return [
        ("host.read.lazy", views_cycle),
        ("host.trim", lambda: fh.trim(messages, max_tokens=300)),
        ("host.views.bad_item", swallow(lambda: chat.read(messages, lazy=True).views.__setitem__(0, 3), TypeError)),
        ("host.views.index", swallow(lambda: chat.read(messages, lazy=True).views[99], IndexError)),
    ]


OPS = operations()


def repeat(fn, n):
    for _ in range(n):
        fn()


@pytest.mark.parametrize("name,fn", OPS, ids=[n for n, _ in OPS])
def test_operation_does_not_leak(name, fn):
    if UNDER_SANITIZER:
        # LeakSanitizer finds what a few calls leave unreachable at exit, so the
        # long loops are not run.
        repeat(fn, SANITIZER_CALLS)
        return
    heavy = name in ("window.lifecycle", "bus.new", "dehydrate")
    calls = CALLS // 10 if heavy else CALLS
    repeat(fn, 2000)  # warm caches, interned keys, allocator pools, free lists
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    native_before = NATIVE_BYTES() if NATIVE_BYTES is not None else 0
    repeat(fn, calls)
    gc.collect()
    block_growth = sys.getallocatedblocks() - blocks_before
    assert block_growth < BLOCK_BOUND, f"{name}: {block_growth} more live Python allocations"
    if NATIVE_BYTES is not None:
        native_growth = NATIVE_BYTES() - native_before
        assert native_growth < NATIVE_BOUND, f"{name}: native memory grew by {native_growth} bytes"
