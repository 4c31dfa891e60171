"""Python code that runs in the middle of a window read may use the same window.

Building a result can run arbitrary Python: an allocation of a list may start a
collection (whose callbacks and finalizers are Python code), and a failed
allocation reports through `sys.unraisablehook`. If a read held one of the
window's locks while the interpreter allocates, such code calling back into the
window would wait forever for a lock its own thread holds. Each case runs in a
child process with a timeout, so that a deadlock fails the test instead of
hanging it.
"""
import subprocess

import pytest

from child_process import run_child

CHILD = """
import gc, sys
import fenwa_micro as fm

w = fm.ContextApoptosis(state_capacity=8)
w.set_purpose("purpose \\u00e9")
for i in range(6):
    w.note_state(f"fact {{i}} \\u4e2d")
    w.insert(f"block {{i}} \\U0001F600", fm.USER)
    w.insert(f"plain {{i}}", fm.FACT)
read = getattr(w, {op!r})
expected = read()
entered = []

def reenter(*_):
    # Takes the purpose, ledger and blocks locks, one after another.
    entered.append((w.render(), w.state_entries(), w.active_tokens(), len(w)))

if {mechanism!r} == "collection":
    gc.collect()
    gc.callbacks.append(reenter)
    gc.set_threshold(1)  # the next container allocation collects
    try:
        result = read()
    finally:
        gc.set_threshold(700)
        gc.callbacks.remove(reenter)
    assert result == expected
    # Up to 3.11 the list allocation itself collects; later versions wait for
    # the interpreter loop, after the read.
    assert entered or sys.version_info >= (3, 12), "no collection ran inside the read"
else:
    import _testcapi
    sys.unraisablehook = reenter
    for k in range(1000):
        _testcapi.set_nomemory(k, k + 1)
        try:
            result = read()
        except BaseException as e:  # a failed allocation: MemoryError or the panic
            _testcapi.remove_mem_hooks()
            if type(e).__name__ not in ("MemoryError", "PanicException"):
                raise
            continue
        _testcapi.remove_mem_hooks()
        assert result == expected
        break
    else:
        raise AssertionError("the read never succeeded")
    assert entered, "no failed allocation reported inside the read"
assert all(e == entered[0] for e in entered)
print("ok", len(entered))
"""


def has_nomemory():
    try:
        import _testcapi
    except ImportError:
        return False
    return hasattr(_testcapi, "set_nomemory")


NOMEMORY = pytest.mark.skipif(not has_nomemory(),
                              reason="no allocation-failure hook in this interpreter")


# A collection starts only when a container (here the result list) is allocated;
# render() builds a str alone.
@pytest.mark.parametrize("op,mechanism", [
    ("active_context", "collection"),
    ("state_entries", "collection"),
    pytest.param("render", "unraisable", marks=NOMEMORY),
    pytest.param("active_context", "unraisable", marks=NOMEMORY),
    pytest.param("state_entries", "unraisable", marks=NOMEMORY),
])
def test_python_run_inside_a_read_can_use_the_window(op, mechanism):
    try:
        proc = run_child(CHILD.format(op=op, mechanism=mechanism), timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{op}() deadlocked when Python code inside it used the window")
    assert proc.returncode == 0, proc.stderr[-1000:]
    assert proc.stdout.startswith("ok"), proc.stdout
