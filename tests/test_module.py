"""Module registration, metadata and the shape of every class and function."""
import ctypes
import importlib.util
import inspect
import sys

import pytest

import fenwa_micro as fm

ALL = [
    "HormonalBus", "HormonalSignal", "ContextApoptosis",
    "dehydrate", "saturation_scan", "consolidation_gain", "effort_gauge",
    "SYSTEM", "USER", "ASSISTANT", "FACT", "TOOL", "THINKING",
    "__doc__", "__version__",
]
CLASSES = [n for n in ALL[:3] if hasattr(fm, n)]
FUNCTIONS = [n for n in ALL[3:7] if hasattr(fm, n)]


def present(names):
    return [n for n in names if n.startswith("__") or hasattr(fm, n)]


def test_all_lists_members_in_registration_order():
    assert fm.__all__ == present(ALL)


def test_metadata():
    assert fm.__doc__ == "F.E.N.W.A. Micro-Kernel — lock-free hormonal bus + context apoptosis."
    assert fm.__version__ == "1.1.0"


@pytest.mark.parametrize("name,value", [
    ("SYSTEM", 1), ("USER", 2), ("ASSISTANT", 4), ("FACT", 8), ("TOOL", 16), ("THINKING", 32),
])
def test_class_bit_constants(name, value):
    assert getattr(fm, name) == value and type(getattr(fm, name)) is int


def test_constant_families():
    assert fm.SYSTEM | fm.FACT == 9
    assert fm.USER | fm.ASSISTANT == 6


def fresh_module():
    loader_spec = importlib.util.find_spec("fenwa_micro")
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module, loader_spec


def test_second_module_object_shares_classes():
    other, _ = fresh_module()
    assert other is not fm
    for name in CLASSES:
        assert getattr(other, name) is getattr(fm, name)
    for name in FUNCTIONS:
        assert getattr(other, name) is not getattr(fm, name)
        assert getattr(other, name).__self__ is other
    assert other.__all__ == fm.__all__ and other.__all__ is not fm.__all__


def run_exec_slot(module):
    """Call the definition's execution slot directly on `module` (the interpreter
    itself never runs it twice on one module object)."""
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    definition = api.PyModule_GetDef(module)
    pointer = ctypes.sizeof(ctypes.c_void_p)
    # PyModuleDef: base (object header, m_init, m_index, m_copy), m_name, m_doc,
    # m_size, m_methods, m_slots.
    base = 2 * pointer + 3 * pointer
    slots = ctypes.c_void_p.from_address(definition + base + 4 * pointer).value
    slot_id = ctypes.c_int.from_address(slots).value
    assert slot_id == 2  # Py_mod_exec, first; then, on 3.12+, Py_mod_multiple_interpreters (3)
    assert ctypes.c_int.from_address(slots + 2 * pointer).value in ((0, 3) if sys.version_info >= (3, 12) else (0,))
    exec_fn = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(
        ctypes.c_void_p.from_address(slots + pointer).value)
    return exec_fn(module)


def test_registration_twice_on_one_module_duplicates_names():
    module, _ = fresh_module()
    assert run_exec_slot(module) == 0
    assert module.__all__ == present(ALL) * 2


def test_registration_refuses_non_list_all():
    module, _ = fresh_module()
    module.__all__ = tuple(module.__all__)
    with pytest.raises(TypeError):
        run_exec_slot(module)


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_builtins(name):
    cls = getattr(fm, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__ == name
    assert cls.__text_signature__.startswith("(")
    assert not cls.__doc__.startswith(name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_bound_builtins(name):
    fn = getattr(fm, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__self__ is fm
    assert fn.__module__ == "fenwa_micro"
    assert fn.__name__ == name
    inspect.signature(fn)


def every_callable():
    for name in CLASSES:
        cls = getattr(fm, name)
        yield cls
        for attr in vars(cls).values():
            if callable(attr) and getattr(attr, "__doc__", None) and "--" in (attr.__text_signature__ or "--"):
                yield attr
    for name in FUNCTIONS:
        yield getattr(fm, name)


@pytest.mark.parametrize("obj", list(every_callable()), ids=lambda o: getattr(o, "__qualname__", str(o)))
def test_every_callable_has_a_signature(obj):
    inspect.signature(obj)


def test_panic_exception_is_not_exported():
    assert not hasattr(fm, "PanicException")


def panic_type():
    try:
        fm.ContextApoptosis(capacity=2**64 - 1)
    except BaseException as e:  # noqa: BLE001 - the panic is what we want
        return type(e)
    raise AssertionError("no panic")


def test_panic_exception_type():
    panic = panic_type()
    assert panic is panic_type()  # created once
    assert panic.__name__ == panic.__qualname__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__bases__ == (BaseException,) and not issubclass(panic, Exception)
    assert "panics" in panic.__doc__ and "BaseException" in panic.__doc__


def test_result_that_cannot_be_built_becomes_a_panic(monkeypatch):
    """When the interpreter cannot make a result object, its error goes to the
    unraisable hook and the call fails with PanicException."""
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no allocation-failure hook in this interpreter")
    panic = panic_type()
    window = fm.ContextApoptosis()
    window.insert("x" * 4000)  # 1001 tokens: an int the interpreter must allocate
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    call, outcome = window.inserted_tokens, []
    fail_next, restore = testcapi.set_nomemory, testcapi.remove_mem_hooks
    fail_next(0, 1)  # the next allocation fails: nothing may allocate in between
    try:
        call()
    except BaseException as e:  # noqa: BLE001
        restore()
        outcome.append(e)
    else:
        restore()
    assert len(outcome) == 1
    assert type(outcome[0]) is panic and str(outcome[0]) == "PyObject pointer is null"
    assert seen == [MemoryError]
    assert window.inserted_tokens() == 1001  # nothing changed
