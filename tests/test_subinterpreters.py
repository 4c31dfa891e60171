"""Both extension modules keep their class objects, exception class and interned
keys once per process, so they load into the main interpreter only. Importing
them into any other interpreter, legacy (sharing the main interpreter's lock) or
isolated (3.12 and later), raises ImportError and leaves the main interpreter's
copy working. Each case runs in a child process, so that a fault there cannot
take the test session with it."""
import importlib.util
import subprocess
import sys

import pytest

MODULES = ["fenwa_micro", "fenwa_host._native"]

# Run inside the other interpreter: the extension module loaded from its file
# as the import system does (create, then execute), and the outcome written to
# a file (the interpreters share no objects). Loading the file alone keeps the
# package's other imports out: some standard modules crash an isolated
# interpreter of CPython 3.12.1 at exit by themselves.
ATTEMPT = """
import importlib.machinery
try:
    loader = importlib.machinery.ExtensionFileLoader({module!r}, {origin!r})
    loader_spec = importlib.machinery.ModuleSpec({module!r}, loader, origin={origin!r})
    loader.exec_module(loader.create_module(loader_spec))
    outcome = "imported"
except ImportError as e:
    outcome = "ImportError: " + str(e)
with open({path!r}, "w") as f:
    f.write(outcome)
"""

CHILD = """
import sys
first = {main_first}
if first:
    import {module}
code = {attempt!r}
if {kind!r} == "legacy":
    import _testcapi
    status = _testcapi.run_in_subinterp(code)
    assert status == 0, status
else:
    try:
        import _interpreters as interpreters  # 3.13 and later
        iid = interpreters.create()
        interpreters.exec(iid, code)
    except ImportError:
        import _xxsubinterpreters as interpreters  # 3.12
        iid = interpreters.create(isolated=True)
        interpreters.run_string(iid, code)
    interpreters.destroy(iid)
# The main interpreter's module still works, whether loaded before or after.
import fenwa_micro as fm
bus = fm.HormonalBus()
bus.inject(fm.HormonalSignal(3, 0.5))
assert bus.drain_events(8) == [(3, 0.5)]
assert repr(fm.HormonalSignal(3, 0.5)) == "HormonalSignal(flags=0x3, intensity=0.500)"
from fenwa_host import _native
print("main ok")
"""


def _has(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


KINDS = [
    pytest.param("legacy", marks=pytest.mark.skipif(
        not _has("_testcapi"), reason="this interpreter has no _testcapi")),
    pytest.param("isolated", marks=pytest.mark.skipif(
        sys.version_info < (3, 12), reason="isolated interpreters exist from 3.12 on")),
]


@pytest.mark.parametrize("main_first", [False, True], ids=["fresh", "main-first"])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("module", MODULES)
def test_import_in_another_interpreter_is_refused(tmp_path, module, kind, main_first):
    path = str(tmp_path / "outcome.txt")
    origin = importlib.util.find_spec(module).origin
    attempt = ATTEMPT.format(module=module, origin=origin, path=path)
    child = CHILD.format(module=module, main_first=main_first, attempt=attempt, kind=kind)
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "main ok"
    with open(path) as f:
        outcome = f.read()
    assert outcome.startswith("ImportError: "), outcome
    assert "subinterpreter" in outcome
