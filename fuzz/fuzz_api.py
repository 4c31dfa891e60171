"""Fuzz the whole Python surface of fenwa_micro.

Every callable of the module, and every method of the objects it made, is called
with random argument counts, keywords and values (ints of every size, floats with
NaN and infinities, strs with surrogates and large lengths, None, bools, objects
whose __index__ or __float__ raise or re-enter the module, sequences that fail
midway) in random order. The driver checks that

* nothing crashes (a crash ends the process, which the runner reports);
* every exception is of a type the module raises, with a message of a known shape;
* the objects keep their invariants (token accounting of the window, the event and
  secretion counts of the bus).

    python fuzz/fuzz_api.py --seconds 60 --seed 1        # seeded random driver
    python fuzz/fuzz_api.py --atheris -- -max_total_time=60 -seed=1

With --atheris the choices come from atheris' coverage-guided byte stream; without
it a seeded random.Random makes them.
"""
from __future__ import annotations

import argparse
import functools
import math
import random
import re
import struct
import sys
import time
import types

import fenwa_micro as fm

F32 = struct.Struct("f")


def f32(x: float) -> float:
    try:
        return F32.unpack(F32.pack(x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def tokens_of(text: str) -> int:
    return (len(text.encode("utf-8")) // 4 + 1) & 0xFFFFFFFF


def bounded(value):
    """Capacities the machine could back but that would take gigabytes are cut
    down: a few live objects of that size would exhaust memory together. Sizes
    beyond any machine (refused with MemoryError) and unrepresentable ones (the
    capacity-overflow panic) are kept."""
    if type(value) is int and 2**20 < value < 2**40:
        return 2**20
    return value


class FuzzRaised(Exception):
    """Raised by the driver's own hostile objects; must pass through unchanged."""


# Messages the module produces, by exception type (the interpreter's own messages
# for int/float conversions are accepted for TypeError and OverflowError).
MESSAGE_SHAPES = {
    TypeError: [
        r".+\(\) takes (from \d+ to )?\d+ positional arguments? but \d+ (was|were) given",
        r".+\(\) got an unexpected keyword argument '.*'",
        r".+\(\) got multiple values for argument '.*'",
        r".+\(\) missing \d+ required positional arguments?: .+",
        r"'.+' object is not an instance of '.+'",
        r"'None' is not an instance of '.+'",
        r"Can't extract `str` to `Vec`",
        r"'.+' object cannot be interpreted as an integer",
        r"must be real number, not .+",
        r".+ takes no arguments \(\d+ given\)",
        r"(\w+ )?expected \d+ arguments?, got \d+",
        r".+\(\) takes no keyword arguments",
        r".*__index__ returned non-int.*",
        r".*__float__ returned non-float.*",
    ],
    OverflowError: [
        r"out of range integral type conversion attempted",
        r"can't convert negative int to unsigned",
        r"int too big to convert",
        r"Python int too large to convert to C long",
        r"int too large to convert to float",
        r"cannot convert float infinity to integer",
    ],
    ValueError: [r"expected tuple of length 2, but got tuple of length \d+"],
    RuntimeError: [r"Already (mutably )?borrowed"],
    AttributeError: [r"property has no deleter"],
    MemoryError: [r".*"],
}


MODULE_CALLABLES = [
    ("dehydrate", ["messages", "half_life", "safe_threshold", "stable_prefix"]),
    ("effort_gauge", ["text"]),
    ("saturation_scan", ["text", "window"]),
    ("consolidation_gain",
     ["prefix_tokens", "purgeable_tokens", "calls_ahead", "cache_read_ratio", "cache_write_ratio"]),
    ("HormonalSignal", ["flags", "intensity"]),
    ("HormonalBus", ["num_signals", "event_capacity"]),
    ("ContextApoptosis", ["half_life", "safe_threshold", "capacity", "state_capacity"]),
]


class Chooser:
    """Random choices from either a seeded PRNG or atheris' data provider."""

    def __init__(self, rng=None, fdp=None):
        self.rng = rng
        self.fdp = fdp

    def int(self, lo: int, hi: int) -> int:
        if self.fdp is not None:
            return self.fdp.ConsumeIntInRange(lo, hi)
        return self.rng.randint(lo, hi)

    def pick(self, seq):
        return seq[self.int(0, len(seq) - 1)]

    def chance(self, p: float) -> bool:
        return self.int(0, 999) < p * 1000

    def float(self) -> float:
        if self.fdp is not None:
            return self.fdp.ConsumeRegularFloat()
        return self.rng.uniform(-10, 10)


ALPHABET = ["a", "b", "Z", " ", "\t", "\n", "\u00a0", "\u3000", "\u200b", "é", "Σ", "İ", "ʰ",
            "\u0345", "😀", "(", ";", "{", "=", "0", "7", "why", "debug", "never", "def", "ok",
            "RESTRIÇÃO:", "valeu", "\x00", "\ud800", "\udfff", "\u2028", "\x85"]


class Driver:
    def __init__(self, choose: Chooser):
        self.c = choose
        self.buses: list = []
        self.windows: list = []
        self.signals: list = []
        self.shadow: dict = {}
        self.calls = 0
        self.errors: dict = {}

    # ---- values -------------------------------------------------------------
    def text(self, allow_surrogates=True) -> str:
        c = self.c
        kind = c.int(0, 9)
        if kind == 0:
            return ""
        if kind == 1 and c.chance(0.02):
            return c.pick(["a", "ab ", "é"]) * c.int(10_000, 400_000)
        parts = [c.pick(ALPHABET) for _ in range(c.int(0, 40))]
        s = "".join(parts)
        if not allow_surrogates:
            s = s.replace("\ud800", "").replace("\udfff", "")
        return s

    def integer(self) -> int:
        c = self.c
        return c.pick([
            lambda: c.int(0, 40), lambda: c.int(-5, 5), lambda: 2**32 - 1, lambda: 2**32,
            lambda: 2**63, lambda: 2**64 - 1, lambda: 2**64, lambda: -2**63 - 1, lambda: 10**400,
            lambda: c.int(0, 2**32), lambda: 2**59, lambda: c.int(0, 70),
        ])()

    def number(self) -> float:
        c = self.c
        return c.pick([
            lambda: c.float(), lambda: math.nan, lambda: math.inf, lambda: -math.inf, lambda: -0.0,
            lambda: 1e39, lambda: 1e-45, lambda: 5e-324, lambda: 0.35, lambda: 0.1,
            lambda: float(c.int(-3, 3)),
        ])()

    def hostile(self):
        c = self.c
        driver = self
        kind = c.int(0, 5)
        if kind == 0:
            class RaisingIndex:
                def __index__(self):
                    raise FuzzRaised("index")
            return RaisingIndex()
        if kind == 1:
            class RaisingFloat:
                def __float__(self):
                    raise FuzzRaised("float")
            return RaisingFloat()
        if kind == 2:
            value = c.int(0, 64)

            class ReentrantIndex:
                def __index__(self):
                    driver.step(depth=1)  # re-enter the module mid-conversion
                    return value
            return ReentrantIndex()
        if kind == 3:
            value = c.float()

            class ReentrantFloat:
                def __float__(self):
                    driver.step(depth=1)
                    return value
            return ReentrantFloat()
        if kind == 4:
            fail_at = c.int(0, 4)

            class FailingSequence:
                def __len__(self):
                    if fail_at == 0:
                        raise FuzzRaised("len")
                    return 5

                def __getitem__(self, i):
                    if i >= fail_at:
                        raise FuzzRaised("getitem")
                    return ("x" * i, fm.USER)
            return FailingSequence()

        class BadIndex:
            def __index__(self):
                return "not an int"
        return BadIndex()

    def records(self):
        c = self.c
        n = c.int(0, 30)
        out = []
        for _ in range(n):
            if c.chance(0.03):
                out.append(self.value(depth=1))
            elif c.chance(0.03):
                out.append((self.text(), self.integer(), 1))
            else:
                flags = self.integer() if c.chance(0.1) else c.int(0, 63)
                out.append((self.text(allow_surrogates=c.chance(0.05)), flags))
        return tuple(out) if c.chance(0.2) else out

    def value(self, depth=0):
        c = self.c
        kind = c.int(0, 13)
        if kind <= 2:
            return self.integer()
        if kind <= 4:
            return self.number()
        if kind <= 6:
            return self.text()
        if kind == 7:
            return None
        if kind == 8:
            return c.pick([True, False])
        if kind == 9 and depth == 0:
            return self.records()
        if kind == 10:
            return self.hostile()
        if kind == 11:
            pool = self.signals + self.buses + self.windows
            return c.pick(pool) if pool else fm.HormonalSignal(1)
        if kind == 12:
            return c.pick([b"bytes", [1, 2], {"a": 1}, (x for x in range(3)), object(), 1j])
        return self.integer()

    # ---- calls --------------------------------------------------------------
    def args_for(self, params: list) -> tuple:
        """A random argument list: mostly plausible counts, sometimes not."""
        c = self.c
        count = c.int(0, len(params) + 1)
        args = [self.value() for _ in range(count)]
        kwargs = {}
        if c.chance(0.3):
            for name in params:
                if c.chance(0.3):
                    kwargs[name] = self.value()
        if c.chance(0.05):
            kwargs[c.pick(["bogus", "x", "max_", "text"])] = self.value()
        return args, kwargs

    def targets(self):
        t = [(name, getattr(fm, name), params) for name, params in MODULE_CALLABLES
             if hasattr(fm, name)]
        for bus in self.buses:
            t += [
                ("bus.inject", bus.inject, ["signal"]), ("bus.secrete", bus.secrete, ["flags", "intensity"]),
                ("bus.sense", bus.sense, ["mask"]), ("bus.concentration", bus.concentration, ["signal_bit"]),
                ("bus.tick", bus.tick, ["decay"]), ("bus.drain_events", bus.drain_events, ["max"]),
                ("bus.snapshot", bus.snapshot, []), ("bus.stats", bus.stats, []),
            ]
        for w in self.windows:
            t += [
                ("window.insert", w.insert, ["content", "signal", "oxygen"]),
                ("window.dehydrate", w.dehydrate, ["reinforce_boost", "absorb"]),
                ("window.note_state", w.note_state, ["fact"]),
                ("window.set_purpose", w.set_purpose, ["text"]),
                ("window.state_entries", w.state_entries, []), ("window.render", w.render, []),
                ("window.active_context", w.active_context, []),
                ("window.active_tokens", w.active_tokens, []),
                ("window.inserted_tokens", w.inserted_tokens, []),
                ("window.reduction_ratio", w.reduction_ratio, []),
                ("window.__len__", w.__len__, []),
            ]
        for s in self.signals:
            t += [("signal.set_flags", functools.partial(setattr, s, "flags"), ["value"]),
                  ("signal.set_intensity", functools.partial(setattr, s, "intensity"), ["value"]),
                  ("signal.del", functools.partial(delattr, s, self.c.pick(["flags", "intensity"])), []),
                  ("signal.repr", s.__repr__, [])]
        return t

    def step(self, depth=0):
        if depth and self.c.chance(0.5):
            return
        name, fn, params = self.c.pick(self.targets())
        args, kwargs = self.args_for(params)
        if name in ("HormonalBus", "ContextApoptosis"):
            args, kwargs = [bounded(a) for a in args], {k: bounded(v) for k, v in kwargs.items()}
        if name.startswith("signal.set") and self.c.chance(0.05):
            args, kwargs = [], {}
        self.calls += 1
        try:
            result = fn(*args, **kwargs)
        except FuzzRaised:
            return
        except BaseException as e:  # noqa: BLE001 - classified below
            self.classify(name, e)
            return
        self.record(name, fn, args, kwargs, result)

    def classify(self, name, e):
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise e
        if type(e).__name__ == "PanicException":
            if str(e) != "capacity overflow" or name not in ("HormonalBus", "ContextApoptosis"):
                raise AssertionError(f"{name}: unexpected panic {e!r}") from e
            return
        if isinstance(e, UnicodeEncodeError):
            return
        for etype, shapes in MESSAGE_SHAPES.items():
            if type(e) is etype:
                if any(re.fullmatch(p, str(e), re.S) for p in shapes):
                    self.errors[etype.__name__] = self.errors.get(etype.__name__, 0) + 1
                    return
                raise AssertionError(f"{name}: unexpected message {e!r}") from e
        raise AssertionError(f"{name}: unexpected exception {e!r}") from e

    def record(self, name, fn, args, kwargs, result):
        if name == "HormonalBus":
            self.buses = (self.buses + [result])[-4:]
            self.shadow[id(result)] = {"secretions": 0, "events": 0}
        elif name == "ContextApoptosis":
            self.windows = (self.windows + [result])[-4:]
            self.shadow[id(result)] = {"inserted": 0}
        elif name == "HormonalSignal":
            self.signals = (self.signals + [result])[-4:]
        elif name in ("bus.inject", "bus.secrete"):
            self.shadow[id(fn.__self__)]["secretions"] += 1
        elif name == "window.insert":
            content = args[0] if args else kwargs["content"]
            self.shadow[id(fn.__self__)]["inserted"] += tokens_of(content)
        elif name == "effort_gauge":
            assert 0.0 <= result["score"] <= 1.0 and result["tier"] in ("off", "low", "medium", "high")
        elif name == "saturation_scan":
            assert 0.0 <= result <= 1.0

    def check_invariants(self):
        for bus in self.buses:
            st = bus.stats()
            assert st["secretions"] == float(self.shadow[id(bus)]["secretions"]), (st, self.shadow[id(bus)])
            snap = bus.snapshot()
            assert len(snap) == int(st["num_signals"])
        for w in self.windows:
            inserted = w.inserted_tokens()
            assert inserted == self.shadow[id(w)]["inserted"]
            active = w.active_context()
            assert len(w) == len(active)
            assert w.active_tokens() == sum(tokens_of(t) for t in active)
            reclaimed = inserted - w.active_tokens()
            assert reclaimed >= 0
            expected = 0.0 if inserted == 0 else f32(f32(float(reclaimed)) / f32(float(inserted)))
            assert w.reduction_ratio() == expected, (w.reduction_ratio(), expected)


def run_random(seconds: float, seed: int, max_inputs: int | None) -> Driver:
    driver = Driver(Chooser(rng=random.Random(seed)))
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and (max_inputs is None or driver.calls < max_inputs):
        for _ in range(200):
            driver.step()
        driver.check_invariants()
    return driver


def instrument_driver(atheris) -> None:
    """Adds coverage feedback to this file's functions and methods (nested ones
    included): the coverage of the driver's own choices is what guides the
    mutations. Instrumenting every loaded module instead took tens of seconds at
    start-up and slowed each run with the standard library's branches."""
    for obj in list(globals().values()):
        if getattr(obj, "__module__", None) != __name__:
            continue
        if isinstance(obj, type):
            for member in vars(obj).values():
                if isinstance(member, types.FunctionType):
                    atheris.instrument_func(member)
        elif isinstance(obj, types.FunctionType):
            atheris.instrument_func(obj)


def run_atheris(argv: list) -> None:
    import atheris

    def one_input(data: bytes) -> None:
        driver = Driver(Chooser(fdp=atheris.FuzzedDataProvider(data)))
        for _ in range(20):
            driver.step()
        driver.check_invariants()

    instrument_driver(atheris)
    atheris.Setup([sys.argv[0]] + argv, one_input)
    atheris.Fuzz()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--max-inputs", type=int, default=None)
    parser.add_argument("--atheris", action="store_true")
    parser.add_argument("rest", nargs="*")
    args = parser.parse_args()
    if args.atheris:
        run_atheris(args.rest)
        return 0
    driver = run_random(args.seconds, args.seed, args.max_inputs)
    errors = ", ".join(f"{k} {v}" for k, v in sorted(driver.errors.items()))
    print(f"fuzz: {driver.calls} calls, seed {args.seed}, expected errors: {errors}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
