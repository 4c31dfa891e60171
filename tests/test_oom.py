"""Out of memory: fail each allocation of an operation in turn.

For k = 0, 1, 2, ... the k-th allocation after the call starts fails (CPython's
own fault injector, `_testcapi.set_nomemory`), until the operation succeeds.
Every failure must be a MemoryError (or the panic that a result the interpreter
could not build becomes), and must leave the object's observable state as it was.
"""
import sys

import pytest

import fenwa_micro as fm
from child_process import run_child

testcapi = pytest.importorskip("_testcapi")
if not hasattr(testcapi, "set_nomemory"):
    pytest.skip("no allocation-failure hook in this interpreter", allow_module_level=True)

PANIC = None


def panic_type():
    global PANIC
    if PANIC is None:
        win = fm.ContextApoptosis()
        win.insert("x" * 4000)
        outcome = fail_at(0, win.inserted_tokens)
        PANIC = type(outcome[1])
    return PANIC


def fail_at(k, fn, *args):
    """Runs fn(*args) with the k-th allocation failing: [result, exception]."""
    arm, restore = testcapi.set_nomemory, testcapi.remove_mem_hooks
    outcome = [None, None]
    hook, sys.unraisablehook = sys.unraisablehook, lambda u: None
    arm(k, k + 1)
    try:
        outcome[0] = fn(*args)
    except BaseException as e:  # noqa: BLE001
        restore()
        outcome[1] = e
    else:
        restore()
    sys.unraisablehook = hook
    return outcome


def sweep(make, call, observe, limit=5000):
    """Fails each allocation of `call(obj)` in turn on a fresh `make()`; returns
    the number of failure points. Every failure leaves `observe(obj)` unchanged."""
    panic = panic_type()
    for k in range(limit):
        obj = make()
        before = observe(obj)
        result, error = fail_at(k, call, obj)
        if error is None:
            return k
        if isinstance(error, MemoryError):
            pass
        elif type(error) is panic and str(error) == "PyObject pointer is null":
            pass
        else:
            raise AssertionError(f"allocation {k}: {error!r}") from error
        assert observe(obj) == before, f"allocation {k} changed the state"
    raise AssertionError(f"still failing after {limit} allocations")


def bus_with_events(n=300):
    bus = fm.HormonalBus(event_capacity=1000)
    for i in range(n):
        bus.secrete(i + 1, i / 4)
    return bus


def bus_state(bus):
    return bus.snapshot(), bus.stats()


def test_drain_gives_back_every_event_it_could_not_deliver():
    bus = bus_with_events()
    expected = [(i + 1, i / 4) for i in range(300)]
    failures = 0
    for k in range(0, 2000, 7):
        result, error = fail_at(k, bus.drain_events, 10**9)
        if error is None:
            assert result == expected
            return
        assert type(error) is MemoryError, repr(error)
        failures += 1
        if failures == 3:
            bus.secrete(999, 1.0)  # newer events queue up behind the held ones
            expected.append((999, 1.0))
    raise AssertionError("the drain never succeeded")


def test_drain_after_a_failed_one_serves_held_events_first():
    bus = bus_with_events(5)
    # The first allocation (the result list's item array) is the one that always
    # happens: the later ones may be served by the interpreter's free lists, so
    # which of them allocates at all depends on the tests run before this one.
    errors = [fail_at(0, bus.drain_events, 10)[1] for _ in range(3)]
    assert [type(e) for e in errors] == [MemoryError] * 3
    bus.secrete(64, 2.0)
    assert bus.drain_events(2) == [(1, 0.0), (2, 0.25)]
    assert bus.drain_events(10) == [(3, 0.5), (4, 0.75), (5, 1.0), (64, 2.0)]
    assert bus.drain_events(10) == []


def window(blocks=50, absorb_ready=True):
    win = fm.ContextApoptosis(state_capacity=100)
    for i in range(blocks):
        win.insert(f"message number {i} with  some   words", fm.USER, 0.3 if absorb_ready else 1.0)
        win.insert(f"fact {i}", fm.FACT)
    win.note_state("an earlier fact")
    return win


def window_state(win):
    return (win.render(), win.active_context(), win.state_entries(), len(win),
            win.active_tokens(), win.inserted_tokens(), win.reduction_ratio())


def dehydrate_absorb(win):
    return win.dehydrate(absorb=True)


OPERATIONS = {
    "ContextApoptosis()": (lambda: None, lambda _: fm.ContextApoptosis(capacity=1000), lambda _: 0),
    "insert": (window, lambda w: w.insert("new block " * 20, fm.USER), window_state),
    "dehydrate": (window, lambda w: w.dehydrate(), window_state),
    "dehydrate(absorb)": (window, dehydrate_absorb, window_state),
    "note_state": (window, lambda w: w.note_state("a new fact " * 10), window_state),
    "set_purpose": (window, lambda w: w.set_purpose("purpose " * 10), window_state),
    "render": (window, lambda w: w.render(), window_state),
    "active_context": (window, lambda w: w.active_context(), window_state),
    "state_entries": (window, lambda w: w.state_entries(), window_state),
    "HormonalBus()": (lambda: None, lambda _: fm.HormonalBus(event_capacity=5000), lambda _: 0),
    "drain_events": (bus_with_events, lambda b: b.drain_events(10**9), bus_state),
    "snapshot": (bus_with_events, lambda b: b.snapshot(), bus_state),
    "stats": (bus_with_events, lambda b: b.stats(), bus_state),
    "secrete": (bus_with_events, lambda b: b.secrete(3, 1.5), lambda b: 0),
    "dehydrate()": (lambda: [(f"m{i} " * 5, fm.USER) for i in range(100)],
                    lambda h: fm.dehydrate(h, stable_prefix=2), lambda h: list(h)),
    "effort_gauge": (lambda: "Why does this fail? Prove it step by step. " * 20,
                     fm.effort_gauge, lambda t: t),
    "saturation_scan": (lambda: "the same words again and again " * 40,
                        fm.saturation_scan, lambda t: t),
    "consolidation_gain": (lambda: None, lambda _: fm.consolidation_gain(10**6, 10**5),
                           lambda _: 0),
    "HormonalSignal": (lambda: None, lambda _: fm.HormonalSignal(3, 0.5), lambda _: 0),
}


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_every_allocation_failure_is_clean(name):
    make, call, observe = OPERATIONS[name]
    points = sweep(make, call, observe)
    assert points >= 0
    print(f"{name}: {points} failure points")


# The child scripts' common start: a 600 MB address-space limit, and a way to
# take every byte still free under it.
UNDER_LIMIT = """
import resource
import fenwa_micro as fm
resource.setrlimit(resource.RLIMIT_AS, (600 << 20, 600 << 20))

def take_all(hog):
    size = 1 << 28
    while size >= 16:
        try:
            hog.append(bytearray(size))
        except MemoryError:
            size //= 2
"""

EXHAUSTED = UNDER_LIMIT + """
import threading
hog = []

def call():
    take_all(hog)
    try:
        {call}
    except (TypeError, MemoryError) as e:
        hog.clear()
        print(type(e).__name__)

if {in_thread}:
    t = threading.Thread(target=call)
    t.start()
    t.join()
else:
    call()
"""


# Filling the address space takes seconds: these run with the slow checks.
@pytest.mark.slow
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limit")
@pytest.mark.skipif("asan" in __import__("os").environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer reserves more address space than the limit")
@pytest.mark.parametrize("in_thread", [False, True])
@pytest.mark.parametrize("call,expected", [
    ("fm.effort_gauge(5)", "TypeError"),
    ("fm.HormonalBus(event_capacity=2**26)", "MemoryError"),
    ("fm.ContextApoptosis(capacity=2**26)", "MemoryError"),
])
def test_first_error_with_no_memory_left(call, expected, in_thread):
    proc = run_child(EXHAUSTED.format(call=call, in_thread=in_thread), timeout=120)
    assert (proc.returncode, proc.stdout.strip()) == (0, expected), proc.stderr[-500:]


ABSORB_UNDER_PRESSURE = UNDER_LIMIT + """
def state(w):
    return (w.render(), w.state_entries(), len(w), w.active_tokens(), w.reduction_ratio())

outcomes = []
for spare in [1 << 16, 1 << 18, 1 << 19, 1 << 20, 3 << 19, 1 << 21, 1 << 22, 1 << 24]:
    w = fm.ContextApoptosis(state_capacity=100000)
    for i in range(20000):
        w.insert(f"user message number {i:06d}", fm.USER, 0.01)
    w.note_state("an earlier fact")
    before = state(w)
    hog = []
    take_all(hog)
    # Give about `spare` bytes back for the call, smallest pieces first.
    freed = 0
    while freed < spare and hog:
        freed += len(hog.pop())
    try:
        purged = w.dehydrate(absorb=True)
    except MemoryError:
        hog.clear()
        assert state(w) == before, "a failed cycle changed the window"
        outcomes.append("MemoryError")
    else:
        hog.clear()
        assert purged == 20000 and len(w) == 0 and w.reduction_ratio() == 1.0
        assert len(w.state_entries()) == 20001
        outcomes.append("done")
print(" ".join(outcomes))
"""


@pytest.mark.slow
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limit")
@pytest.mark.skipif("asan" in __import__("os").environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer reserves more address space than the limit")
def test_absorbing_cycle_under_memory_pressure_is_all_or_nothing():
    proc = run_child(ABSORB_UNDER_PRESSURE, timeout=300)
    assert proc.returncode == 0, proc.stderr[-800:]
    outcomes = proc.stdout.split()
    assert "MemoryError" in outcomes and "done" in outcomes, outcomes
