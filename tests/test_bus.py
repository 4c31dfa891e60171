"""HormonalBus: channels, event buffer, reports, refusals and threads."""
import inspect
import math
import sys
import threading

import pytest

from fenwa_micro import HormonalBus as B
from fenwa_micro import HormonalSignal as S
from notes import expected_notes, notes

METHOD_DOCS = {
    "inject": "inject($self, signal)\n--\n\nInject a typed `HormonalSignal` (the primary API).",
    "secrete": "secrete($self, flags, intensity)\n--\n\n"
               "Raw injection by `(flags, intensity)` — the microsecond hot path.",
    "sense": "sense($self, mask)\n--\n\nCurrent summed concentration across every channel in `mask`.",
    "concentration": "concentration($self, signal_bit)\n--\n\nConcentration of a single channel bit.",
    "tick": "tick($self, decay)\n--\n\nMultiplicative decay/dissipation of every channel (temporal homeostasis).",
    "snapshot": "snapshot($self)\n--\n\n",
    "drain_events": "drain_events($self, max)\n--\n\n"
                    "Drain up to `max` buffered signal events as `(flags, intensity)` pairs.",
    "stats": "stats($self)\n--\n\n",
}


def test_class_surface():
    assert str(inspect.signature(B)) == "(num_signals=32, event_capacity=4096)"
    assert B.__doc__ == ("Lock-free hormonal signalling bus. `inject`/`secrete` are O(popcount) and\n"
                         "release the GIL; `sense` reads the current concentration for a channel mask.")
    assert [n for n in vars(B) if not n.startswith("__")] == list(METHOD_DOCS)
    for name, doc in METHOD_DOCS.items():
        first, _, rest = doc.partition("\n--\n\n")
        method = getattr(B, name)
        assert method.__doc__ == (rest or None)
        assert method.__text_signature__ == first[len(name):]
    with pytest.raises(TypeError):
        type("Sub", (B,), {})


def state(bus):
    return bus.snapshot(), bus.stats()


def test_new_bus():
    b = B()
    assert b.snapshot() == [0.0] * 32
    assert b.stats() == {"num_signals": 32.0, "secretions": 0.0, "total_concentration": 0.0}
    assert all(type(v) is float for v in b.stats().values())
    assert b.sense(0xFFFFFFFF) == 0.0 and b.concentration(31) == 0.0
    assert b.drain_events(2**64 - 1) == []


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("num_signals,count", [
    (0, 1), (1, 1), (4, 4), (31, 31), (32, 32), (100, 32), (2**64 - 1, 32), (Index(3), 3), (True, 1),
])
def test_channel_count_is_clamped(num_signals, count):
    b = B(num_signals)
    assert len(b.snapshot()) == count and b.stats()["num_signals"] == float(count)
    b.secrete(0xFFFFFFFF, 1.0)
    assert b.sense(0xFFFFFFFF) == float(count)
    assert b.concentration(count) == 0.0 and b.concentration(count - 1) == 1.0


def test_secrete_sense_concentration():
    b = B()
    b.secrete(5, 2.0)
    assert b.sense(7) == 4.0 and b.sense(Index(2)) == 0.0 and b.sense(0) == 0.0
    assert (b.concentration(0), b.concentration(1), b.concentration(2)) == (2.0, 0.0, 2.0)
    assert b.concentration(2**64 - 1) == 0.0
    b.inject(S(0x80000001, 0.1))
    assert b.concentration(31) == 0.10000000149011612
    assert b.sense(0x80000004) == 2.0999999046325684  # summed in 32 bits


def test_mask_bits_beyond_the_channels():
    b = B(4)
    b.secrete(5, 2.0)
    b.secrete(48, 9.0)
    b.secrete(0, 9.0)
    b.secrete(0xFFFFFFFF, 0.5)
    assert b.snapshot() == [2.5, 0.5, 2.5, 0.5]
    assert b.sense(0xFFFFFFFF) == 6.0
    assert b.stats() == {"num_signals": 4.0, "secretions": 4.0, "total_concentration": 6.0}
    assert b.drain_events(10) == [(5, 2.0), (48, 9.0), (0, 9.0), (0xFFFFFFFF, 0.5)]


def test_inject_copies_the_signal():
    b = B(4)
    s = S(3, 1.5)
    b.inject(s)
    s.flags, s.intensity = 4, -1.0
    b.inject(signal=s)
    assert b.snapshot() == [1.5, 1.5, -1.0, 0.0]
    assert b.drain_events(5) == [(3, 1.5), (4, -1.0)]


def test_tick():
    b = B(2)
    b.secrete(1, 1.0)
    b.tick(0.5)
    assert b.snapshot() == [0.5, 0.0]
    b.tick(-1.0)
    assert b.snapshot() == [-0.5, -0.0]
    b.tick(2.0**-130)  # into the subnormal range, not flushed to zero
    assert b.concentration(0) == -(2.0**-131)
    b.tick(math.nan)
    assert all(math.isnan(v) for v in b.snapshot())


def test_single_precision_arithmetic():
    b = B(2)
    b.secrete(1, 16777216.0)
    b.secrete(1, 1.0)
    assert b.concentration(0) == 16777216.0
    b.secrete(2, 1e39)  # rounds to infinity
    b.tick(0.0)
    assert b.concentration(0) == 0.0 and math.isnan(b.concentration(1))
    b = B(3)
    b.secrete(7, 16777216.0)
    b.secrete(2, 1.0)
    b.secrete(4, 1.0)
    # Ascending order of the summed channels in 32-bit arithmetic.
    assert b.sense(7) == 50331648.0


def test_negative_zero_in_reports():
    b = B(1)
    b.secrete(1, -1.0)
    b.tick(0.0)
    snap, stats = state(b)
    assert snap == [0.0] and math.copysign(1.0, snap[0]) == -1.0
    assert math.copysign(1.0, stats["total_concentration"]) == -1.0
    assert math.copysign(1.0, b.sense(1)) == 1.0  # sense sums from +0.0
    assert math.copysign(1.0, B(3).stats()["total_concentration"]) == 1.0


@pytest.mark.parametrize("capacity,kept", [(0, 1), (1, 1), (2, 2), (3, 3)])
def test_full_buffer_drops_the_newest(capacity, kept):
    b = B(4, capacity)
    for i in range(4):
        b.secrete(1 << i, float(i))
    assert b.stats()["secretions"] == 4.0 and b.snapshot() == [0.0, 1.0, 2.0, 3.0]
    assert b.drain_events(10) == [(1 << i, float(i)) for i in range(kept)]
    b.secrete(1, 7.0)  # room again
    assert b.drain_events(10) == [(1, 7.0)]


def test_drain_in_parts():
    b = B()
    for flags, v in [(1, 0.5), (2, 1.0), (4, 1.5)]:
        b.secrete(flags, v)
    assert b.drain_events(0) == []
    assert b.drain_events(max=2) == [(1, 0.5), (2, 1.0)]
    assert b.drain_events(2**64 - 1) == [(4, 1.5)]
    assert b.drain_events(10) == []


OVERFLOW = "out of range integral type conversion attempted"


@pytest.mark.parametrize("call,exc,message,note", [
    (lambda b: b.inject(5), TypeError, "'int' object is not an instance of 'HormonalSignal'", "signal"),
    (lambda b: b.inject(None), TypeError, "'None' is not an instance of 'HormonalSignal'", "signal"),
    (lambda b: b.inject(B()), TypeError, "'HormonalBus' object is not an instance of 'HormonalSignal'", "signal"),
    (lambda b: b.inject(), TypeError, "HormonalBus.inject() missing 1 required positional argument: 'signal'", None),
    (lambda b: b.inject(S(1), signal=S(1)), TypeError, "HormonalBus.inject() got multiple values for argument 'signal'", None),
    (lambda b: b.secrete(1, 2.0, 3), TypeError, "HormonalBus.secrete() takes 2 positional arguments but 3 were given", None),
    (lambda b: b.secrete(), TypeError, "HormonalBus.secrete() missing 2 required positional arguments: 'flags' and 'intensity'", None),
    (lambda b: b.secrete(1, intensity=1.0, mask=2), TypeError, "HormonalBus.secrete() got an unexpected keyword argument 'mask'", None),
    (lambda b: b.secrete(4294967296, 1.0), OverflowError, OVERFLOW, "flags"),
    (lambda b: b.secrete(-1, 1.0), OverflowError, OVERFLOW, "flags"),
    (lambda b: b.secrete(1.0, 1.0), TypeError, None, "flags"),
    (lambda b: b.secrete(None, None), TypeError, None, "flags"),
    (lambda b: b.secrete(1, None), TypeError, None, "intensity"),
    (lambda b: b.secrete(1, 10**400), OverflowError, None, "intensity"),
    (lambda b: b.sense(-1), OverflowError, OVERFLOW, "mask"),
    (lambda b: b.sense(2**32), OverflowError, OVERFLOW, "mask"),
    (lambda b: b.sense(None), TypeError, None, "mask"),
    (lambda b: b.concentration(-1), OverflowError, None, "signal_bit"),
    (lambda b: b.concentration(2**64), OverflowError, None, "signal_bit"),
    (lambda b: b.tick(None), TypeError, None, "decay"),
    (lambda b: b.drain_events(-1), OverflowError, None, "max"),
    (lambda b: b.drain_events(None), TypeError, None, "max"),
    (lambda b: b.drain_events(), TypeError, "HormonalBus.drain_events() missing 1 required positional argument: 'max'", None),
    (lambda b: b.snapshot(1), TypeError, None, None),
    (lambda b: b.stats(None), TypeError, None, None),
])
def test_refusals_leave_the_bus_unchanged(call, exc, message, note):
    b = B(4, 8)
    b.secrete(5, 2.0)
    before = state(b)
    with pytest.raises(exc) as info:
        call(b)
    if message is not None:
        assert str(info.value) == message
    assert notes(info.value) == expected_notes(note)
    assert state(b) == before
    assert b.drain_events(10) == [(5, 2.0)]


@pytest.mark.parametrize("args,kwargs,exc,message,note", [
    ((-1,), {}, OverflowError, None, "num_signals"),
    ((None,), {}, TypeError, None, "num_signals"),
    ((None, None), {}, TypeError, None, "num_signals"),
    ((4, -1), {}, OverflowError, None, "event_capacity"),
    ((1, 2, 3), {}, TypeError, "HormonalBus.__new__() takes from 0 to 2 positional arguments but 3 were given", None),
    ((), {"capacity": 1}, TypeError, "HormonalBus.__new__() got an unexpected keyword argument 'capacity'", None),
])
def test_constructor_refusals(args, kwargs, exc, message, note):
    with pytest.raises(exc) as info:
        B(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert notes(info.value) == expected_notes(note)


def test_memory_that_cannot_be_had():
    refs = sys.getrefcount(B)
    for _ in range(3):
        with pytest.raises(MemoryError):
            B(event_capacity=2**58)
        with pytest.raises(MemoryError):
            B.__new__(B, 4, 2**59 - 1)
    assert sys.getrefcount(B) == refs  # no half-built bus keeps its type alive


def panic_of(capacity):
    try:
        B(event_capacity=capacity)
    except Exception:  # noqa: BLE001 - must not catch it
        pytest.fail("PanicException was caught as an Exception")
    except BaseException as e:  # noqa: BLE001
        return e
    pytest.fail("no exception")


def test_capacity_boundary():
    # 16 bytes a slot: 2**59 slots no longer have a representable byte size.
    with pytest.raises(MemoryError):
        B(event_capacity=2**59 - 1)
    assert str(panic_of(2**59)) == "capacity overflow"


def test_unsizable_capacity_panics():
    first = panic_of(2**59)
    second = panic_of(2**64 - 1)
    t = type(first)
    assert type(second) is t
    assert first.args == ("capacity overflow",) and str(second) == "capacity overflow"
    assert t.__name__ == t.__qualname__ == "PanicException"
    assert t.__module__ == "pyo3_runtime"
    assert t.__bases__ == (BaseException,)
    assert "panics" in t.__doc__ and "BaseException" in t.__doc__


def test_threads_inject_exactly_and_keep_each_producers_order():
    # Every producer injects channel 0 with 1.0; its own tag (bits 4-5) and a
    # running number (bits 6 up) sit above the 4 channels, so they address no
    # channel but come back in the events.
    threads_n, per_thread = 4, 10_000
    b = B(4, threads_n * per_thread)
    start = threading.Barrier(threads_n + 1)
    drained = []
    done = threading.Event()

    def produce(t):
        start.wait()
        for i in range(per_thread):
            b.inject(S(1 | t << 4 | i << 6, 1.0))

    def consume():
        start.wait()
        while not done.is_set():
            drained.extend(b.drain_events(64))

    workers = [threading.Thread(target=produce, args=(t,)) for t in range(threads_n)]
    consumer = threading.Thread(target=consume)
    for w in workers + [consumer]:
        w.start()
    for w in workers:
        w.join()
    done.set()
    consumer.join()
    drained.extend(b.drain_events(2**64 - 1))

    assert b.snapshot() == [float(threads_n * per_thread), 0.0, 0.0, 0.0]
    assert b.stats()["secretions"] == float(threads_n * per_thread)
    by_producer = {}
    for flags, v in drained:
        assert flags & 15 == 1 and v == 1.0
        by_producer.setdefault(flags >> 4 & 3, []).append(flags >> 6)
    assert sorted(by_producer) == list(range(threads_n))
    for seq in by_producer.values():
        assert seq == list(range(per_thread))
