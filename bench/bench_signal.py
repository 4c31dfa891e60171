"""HormonalSignal construction and attribute access against C builtins of the same arity."""
import fenwa_micro as fm
from _timing import per_loop, row


def run(quick=False):
    n = 100_000 if quick else 400_000
    g = {"S": fm.HormonalSignal, "s": fm.HormonalSignal(3, 0.5), "c": complex(3, 0.5)}
    new = per_loop("S(3, 0.5)", g, n)
    new_base = per_loop("complex(3, 0.5)", g, n)
    read = per_loop("s.intensity", g, n)
    read_base = per_loop("c.imag", g, n)
    write = per_loop("s.intensity = 0.25", g, n)
    g["o"] = type("O", (), {"__slots__": ("x",)})()
    write_base = per_loop("o.x = 0.25", g, n)
    return [
        row("HormonalSignal(3, 0.5)", new, "complex(3, 0.5)", new_base, "<= 1.5x"),
        row("signal.intensity (read)", read, "complex.imag", read_base, "report"),
        row("signal.intensity = 0.25", write, "__slots__ attribute write", write_base, "report"),
    ]
