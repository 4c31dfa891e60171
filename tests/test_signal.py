"""HormonalSignal: construction, attributes, text form and identity semantics."""
import inspect
import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fenwa_micro import HormonalSignal as S
from notes import expected_notes, notes


def test_signature_and_doc():
    assert str(inspect.signature(S)) == "(flags, intensity=1.0)"
    assert S.__doc__ == "A single hormonal signal: bitwise channel `flags` (`u32`) + `intensity` (`f32`)."


@pytest.mark.parametrize("args,kwargs,flags,intensity", [
    ((3,), {}, 3, 1.0),
    ((0, 0.0), {}, 0, 0.0),
    ((4294967295, -2.5), {}, 4294967295, -2.5),
    ((True,), {}, 1, 1.0),
    ((1, 2), {}, 1, 2.0),
    ((), {"flags": 5, "intensity": 0.1}, 5, 0.10000000149011612),
    ((1, 1e39), {}, 1, math.inf),
    ((1, -1e39), {}, 1, -math.inf),
])
def test_construction(args, kwargs, flags, intensity):
    s = S(*args, **kwargs)
    assert s.flags == flags and type(s.flags) is int
    assert s.intensity == intensity and type(s.intensity) is float


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 0.25


def test_protocol_conversions():
    s = S(Index(9), Floaty())
    assert (s.flags, s.intensity) == (9, 0.25)


@pytest.mark.parametrize("intensity,text", [
    (1.0, "1.000"), (0.5, "0.500"), (0.0625, "0.062"), (0.1875, "0.188"), (0.0, "0.000"),
    (-0.0, "-0.000"), (-2.5, "-2.500"), (1e10, "10000000000.000"),
    (3.4028234663852886e38, "340282346638528859811704183484516925440.000"),
    (1e-45, "0.000"), (-1e-45, "-0.000"), (float("nan"), "NaN"), (math.inf, "inf"), (-math.inf, "-inf"),
    (0.1, "0.100"), (2.0005, "2.000"),
])
def test_text_form(intensity, text):
    s = S(42, intensity)
    assert repr(s) == str(s) == f"HormonalSignal(flags=0x2A, intensity={text})"


@settings(max_examples=1000, deadline=None)
@given(st.floats(width=32, allow_nan=False, allow_infinity=False)
       | st.integers(0, 2**32 - 1).map(lambda b: struct.unpack("<f", struct.pack("<I", b))[0]))
def test_text_form_is_the_exact_value_to_three_places(intensity):
    # Python's "%.3f" rounds the exact binary value half to even, as the text form
    # must, for every float (NaN and the infinities have their own texts above).
    if math.isnan(intensity) or math.isinf(intensity):
        return
    assert repr(S(1, intensity)) == f"HormonalSignal(flags=0x1, intensity={intensity:.3f})"


@pytest.mark.parametrize("flags,hexits", [(0, "0"), (3, "3"), (255, "FF"), (4294967295, "FFFFFFFF")])
def test_text_form_flags(flags, hexits):
    assert repr(S(flags)).startswith(f"HormonalSignal(flags=0x{hexits}, ")


@pytest.mark.parametrize("call,exc,message,note", [
    (lambda: S(), TypeError, "HormonalSignal.__new__() missing 1 required positional argument: 'flags'", None),
    (lambda: S(1, 2, 3), TypeError, "HormonalSignal.__new__() takes from 1 to 2 positional arguments but 3 were given", None),
    (lambda: S(1, flags=2), TypeError, "HormonalSignal.__new__() got multiple values for argument 'flags'", None),
    (lambda: S(1, mask=2), TypeError, "HormonalSignal.__new__() got an unexpected keyword argument 'mask'", None),
    (lambda: S(-1), OverflowError, "out of range integral type conversion attempted", "flags"),
    (lambda: S(4294967296), OverflowError, "out of range integral type conversion attempted", "flags"),
    (lambda: S(2**64), OverflowError, None, "flags"),
    (lambda: S(1.0), TypeError, None, "flags"),
    (lambda: S("1"), TypeError, None, "flags"),
    (lambda: S(None), TypeError, None, "flags"),
    (lambda: S(1, None), TypeError, None, "intensity"),
    (lambda: S(1, "x"), TypeError, None, "intensity"),
    (lambda: S(1, 10**400), OverflowError, None, "intensity"),
    (lambda: S.__new__(S), TypeError, "HormonalSignal.__new__() missing 1 required positional argument: 'flags'", None),
])
def test_construction_failures(call, exc, message, note):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert notes(info.value) == expected_notes(note)


def test_tp_new_path_binds_like_the_call():
    s = S.__new__(S, 7, intensity=0.5)
    assert (s.flags, s.intensity) == (7, 0.5)


def test_attribute_writes():
    s = S(1)
    s.flags = 7
    s.intensity = 0.1
    assert repr(s) == "HormonalSignal(flags=0x7, intensity=0.100)"
    assert s.intensity == 0.10000000149011612


@pytest.mark.parametrize("attr,value,exc", [
    ("flags", 4294967296, OverflowError), ("flags", -1, OverflowError), ("flags", 1.5, TypeError),
    ("flags", None, TypeError), ("intensity", None, TypeError), ("intensity", "0.5", TypeError),
])
def test_failed_write_keeps_value(attr, value, exc):
    s = S(3, 0.5)
    with pytest.raises(exc):
        setattr(s, attr, value)
    assert (s.flags, s.intensity) == (3, 0.5)


@pytest.mark.parametrize("attr", ["flags", "intensity"])
def test_delete_is_refused(attr):
    s = S(3, 0.5)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(s, attr)
    assert (s.flags, s.intensity) == (3, 0.5)


def test_write_with_reentrant_index():
    s = S(1, 0.5)

    class Sneaky:
        def __index__(self):
            s.intensity = 2.0  # runs during the conversion, before the claim
            return 5

    s.flags = Sneaky()
    assert (s.flags, s.intensity) == (5, 2.0)


def test_identity_semantics():
    a, b = S(1, 0.5), S(1, 0.5)
    assert a == a and a != b
    assert hash(a) != hash(b) or a is b
    assert len({a, b}) == 2


def test_no_extra_surface():
    s = S(1)
    with pytest.raises(AttributeError):
        s.other = 1
    assert S.flags.__doc__ is None and S.intensity.__doc__ is None
