"""The first failing call with memory exhausted raises; it never aborts.

A C++ runtime may make a thread's exception state on the thread's first throw,
and when that allocation fails the process ends ("cannot allocate memory for
thread-local data: ABORT", status 127). Each child below caps its address space,
then takes every byte malloc can still hand out, in halving sizes down to one
byte (which also takes the heap's free chunks), with nothing freed between that
and the call; the first failing call must then raise, on the main thread and on a
thread started before the exhaustion.
"""
import os
import sys

import pytest

from child_process import run_child

EXHAUST_THEN_CALL = """
import ctypes, os, resource, sys, threading
import fenwa_micro as fm

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
# Made beforehand: nothing below may need an allocation to report its outcome.
OUTCOMES = {{TypeError: b"TypeError", MemoryError: b"MemoryError"}}
with open("/proc/self/statm") as f:
    vm_bytes = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
limit = vm_bytes + (64 << 20)

def call():
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    size = 1 << 26
    while size:
        if not libc.malloc(size):
            size >>= 1
    try:
        {call}
    except BaseException as e:
        os.write(1, OUTCOMES.get(type(e), b"other"))
    else:
        os.write(1, b"no error")

if {in_thread}:
    t = threading.Thread(target=call)
    t.start()
    t.join()
else:
    call()
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"),
                    reason="caps the address space and reads /proc (Linux only)")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator is not malloc's heap")
@pytest.mark.parametrize("in_thread", [False, True], ids=["main-thread", "new-thread"])
@pytest.mark.parametrize("call,expected", [
    ("fm.effort_gauge(5)", "TypeError"),
    ("fm.HormonalBus(event_capacity=2**26)", "MemoryError"),
    ("fm.ContextApoptosis().insert(None)", "TypeError"),
])
def test_first_error_with_the_heap_exhausted(call, expected, in_thread):
    proc = run_child(EXHAUST_THEN_CALL.format(call=call, in_thread=in_thread), timeout=120)
    # The error's own text may be what could not be allocated: MemoryError then.
    assert proc.returncode == 0, proc.stderr[-500:]
    assert proc.stdout in {expected, "MemoryError"}, proc.stdout
