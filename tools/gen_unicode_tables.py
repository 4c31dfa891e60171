#!/usr/bin/env python3
"""Generate src/context_apoptosis/unicode_tables.inc from the Unicode Character Database.

The effort gauge needs, for every code point: its full lowercase mapping
(UnicodeData simple lowercase, overridden by the unconditional lowercase entries
of SpecialCasing), whether it is Cased or Case_Ignorable (for the Final_Sigma
rule), and whether it is alphanumeric (Alphabetic, or general category Nd, Nl or
No). These go into a two-stage table: the code point's high bits pick a block of
record indexes, its low bits a record {lowercase delta, flags}. Mappings longer
than one character live in a separate list of UTF-8 strings.

The generator is pinned to one version of the database (UNICODE_VERSION) and
refuses files of any other: the kernel's tables, its tests and the plain-Python
reference must all describe the same characters. Moving to a new version is a
deliberate change of UNICODE_VERSION, the tables and the test data together.

Usage: tools/gen_unicode_tables.py [--check] [UCD directory] [output file]
(defaults: /usr/share/unicode and src/context_apoptosis/unicode_tables.inc).
With --check nothing is written: the exit status says whether the output file
is exactly what the database generates.
"""
from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

UNICODE_VERSION = "15.0.0"
# The files read, each of which names its version on its first line (UnicodeData.txt
# carries none).
VERSIONED_FILES = ("DerivedCoreProperties.txt", "SpecialCasing.txt")

MAX_CP = 0x110000
BLOCK_BITS = 7
BLOCK = 1 << BLOCK_BITS

ALNUM = 1
CASED = 2
CASE_IGNORABLE = 4
MULTI_LOWER = 8  # the record's delta is an index into the multi-character list


class UnicodeVersionError(ValueError):
    """The database files are not of the pinned version (or do not say which)."""


def file_version(path: Path) -> str:
    with path.open(encoding="utf-8") as f:
        first = f.readline()
    m = re.search(re.escape(path.stem) + r"-(\d+\.\d+\.\d+)\.txt", first)
    if not m:
        raise UnicodeVersionError(f"cannot read the Unicode version from {path}")
    return m.group(1)


def ucd_version(ucd: Path) -> str:
    """The database's version, which must be UNICODE_VERSION in every versioned file."""
    for name in VERSIONED_FILES:
        version = file_version(ucd / name)
        if version != UNICODE_VERSION:
            raise UnicodeVersionError(
                f"{ucd / name} is Unicode {version}; the tables are pinned to Unicode "
                f"{UNICODE_VERSION} (change UNICODE_VERSION deliberately to move)")
    return UNICODE_VERSION


def data_lines(path: Path):
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            yield [f.strip() for f in line.split(";")]


def read_unicode_data(ucd: Path):
    """General category and simple lowercase of every assigned code point."""
    category: dict[int, str] = {}
    lower: dict[int, int] = {}
    first = None
    for f in data_lines(ucd / "UnicodeData.txt"):
        cp, name, gc = int(f[0], 16), f[1], f[2]
        if name.endswith(", First>"):
            first = cp
            continue
        if name.endswith(", Last>"):
            for c in range(first, cp + 1):
                category[c] = gc
            first = None
            continue
        category[cp] = gc
        if f[13]:
            lower[cp] = int(f[13], 16)
    return category, lower


def read_property(path: Path, name: str) -> set[int]:
    out: set[int] = set()
    for f in data_lines(path):
        if f[1] != name:
            continue
        lo, _, hi = f[0].partition("..")
        out.update(range(int(lo, 16), int(hi or lo, 16) + 1))
    return out


def read_special_lower(ucd: Path) -> dict[int, list[int]]:
    """Unconditional full lowercase mappings (entries without a condition field)."""
    out: dict[int, list[int]] = {}
    for f in data_lines(ucd / "SpecialCasing.txt"):
        if len(f) > 4 and f[4]:
            continue  # language- or context-dependent
        out[int(f[0], 16)] = [int(x, 16) for x in f[1].split()]
    return out


class Ucd:
    """The properties the effort gauge uses, for one version of the database."""

    def __init__(self, ucd: Path):
        self.version = ucd_version(ucd)
        self.category, simple = read_unicode_data(ucd)
        dcp = ucd / "DerivedCoreProperties.txt"
        self.alphabetic = read_property(dcp, "Alphabetic")
        self.cased = read_property(dcp, "Cased")
        self.case_ignorable = read_property(dcp, "Case_Ignorable")
        self.lower: dict[int, list[int]] = {cp: [lc] for cp, lc in simple.items()}
        for cp, full in read_special_lower(ucd).items():
            if full == [cp]:
                self.lower.pop(cp, None)
            else:
                self.lower[cp] = full

    def assigned(self, cp: int) -> bool:
        return cp in self.category

    def full_lower(self, cp: int) -> list[int]:
        return self.lower.get(cp, [cp])

    def flags(self, cp: int) -> int:
        f = 0
        if cp in self.alphabetic or self.category.get(cp) in ("Nd", "Nl", "No"):
            f |= ALNUM
        if cp in self.cased:
            f |= CASED
        if cp in self.case_ignorable:
            f |= CASE_IGNORABLE
        return f

    def lower_text(self, text: str) -> str:
        """Full default lowercasing with the Final_Sigma rule, as the kernel does it."""
        out = []
        for i, ch in enumerate(text):
            cp = ord(ch)
            if cp == 0x3A3:
                out.append("\u03c2" if self._final_sigma(text, i) else "\u03c3")
            else:
                out.extend(map(chr, self.full_lower(cp)))
        return "".join(out)

    def _final_sigma(self, text: str, i: int) -> bool:
        j = i - 1
        while j >= 0 and ord(text[j]) in self.case_ignorable:
            j -= 1
        if j < 0 or ord(text[j]) not in self.cased:
            return False
        j = i + 1
        while j < len(text) and ord(text[j]) in self.case_ignorable:
            j += 1
        return j == len(text) or ord(text[j]) not in self.cased


def c_array(ctype: str, name: str, values: list[int], per_line: int = 16) -> str:
    lines = [f"constexpr {ctype} {name}[{len(values)}] = {{"]
    for i in range(0, len(values), per_line):
        lines.append("    " + ", ".join(str(v) for v in values[i:i + per_line]) + ",")
    lines.append("};")
    return "\n".join(lines)


def generate(ucd: Ucd) -> str:
    multi: list[list[int]] = []
    # Record 0 is the plain one (no flags, maps to itself): the kernel answers it
    # for values beyond U+10FFFF.
    records: dict[tuple[int, int], int] = {(0, 0): 0}
    per_cp: list[int] = []
    for cp in range(MAX_CP):
        flags = ucd.flags(cp)
        low = ucd.full_lower(cp)
        if len(low) == 1:
            delta = low[0] - cp
        else:
            if low not in multi:
                multi.append(low)
            delta = multi.index(low)
            flags |= MULTI_LOWER
        key = (delta, flags)
        if key not in records:
            records[key] = len(records)
        per_cp.append(records[key])

    blocks: dict[tuple[int, ...], int] = {}
    stage1: list[int] = []
    stage2: list[int] = []
    for start in range(0, MAX_CP, BLOCK):
        block = tuple(per_cp[start:start + BLOCK])
        if block not in blocks:
            blocks[block] = len(blocks)
            stage2.extend(block)
        stage1.append(blocks[block])

    rec_type = "std::uint8_t" if len(records) <= 256 else "std::uint16_t"
    blk_type = "std::uint8_t" if len(blocks) <= 256 else "std::uint16_t"
    ordered = sorted(records.items(), key=lambda kv: kv[1])
    rec_lines = ",\n".join(f"    {{{d}, {f}}}" for (d, f), _ in ordered)
    multi_utf8 = ", ".join(
        '"' + "".join(f"\\x{b:02X}" for b in "".join(map(chr, m)).encode("utf-8")) + '"'
        for m in multi)
    return f"""\
// Generated by tools/gen_unicode_tables.py from the Unicode Character Database
// {ucd.version}. Do not edit; run the generator again instead.
//
// Two-stage lookup: kStage1[cp >> {BLOCK_BITS}] selects a block of {BLOCK} record indexes
// in kStage2, kStage2[block * {BLOCK} + (cp & {BLOCK - 1})] the record. A record holds the
// lowercase delta (lowercase = cp + delta) and the flags: 1 alphanumeric, 2 Cased,
// 4 Case_Ignorable, 8 the lowercase is kMultiLower[delta] (UTF-8).

constexpr const char* kUnicodeVersion = "{ucd.version}";
constexpr unsigned kBlockBits = {BLOCK_BITS};

// Record flags.
constexpr std::uint8_t kAlnum = {ALNUM};
constexpr std::uint8_t kCased = {CASED};
constexpr std::uint8_t kCaseIgnorable = {CASE_IGNORABLE};
constexpr std::uint8_t kMultiLowerFlag = {MULTI_LOWER};

struct CharRecord {{
    std::int32_t delta;
    std::uint8_t flags;
}};

constexpr CharRecord kRecords[{len(records)}] = {{
{rec_lines},
}};

constexpr const char* kMultiLower[{len(multi)}] = {{{multi_utf8}}};

{c_array(blk_type, "kStage1", stage1)}

{c_array(rec_type, "kStage2", stage2, 32)}
"""


def main(argv: list[str]) -> int:
    root = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the output file instead of writing it")
    parser.add_argument("ucd", nargs="?", type=Path, default=Path("/usr/share/unicode"))
    parser.add_argument("out", nargs="?", type=Path,
                        default=root / "src/context_apoptosis/unicode_tables.inc")
    args = parser.parse_args(argv)
    try:
        text = generate(Ucd(args.ucd))
    except (UnicodeVersionError, OSError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    if args.check:
        current = args.out.read_text(encoding="utf-8") if args.out.exists() else None
        if current != text:
            print(f"{args.out} is not what Unicode {UNICODE_VERSION} generates", file=sys.stderr)
            return 1
        print(f"{args.out} matches Unicode {UNICODE_VERSION}")
        return 0
    args.out.write_text(text, encoding="utf-8")
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
