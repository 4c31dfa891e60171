"""effort_gauge, saturation_scan and consolidation_gain: described cases, argument
errors, and comparisons with the plain-Python versions in analysers_reference."""
import inspect
import math
import sys
import unicodedata
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import analysers_reference as ref
from fenwa_micro import consolidation_gain, effort_gauge, saturation_scan
from notes import expected_notes, notes

F05 = 0.05000000074505806
# The plain-Python effort gauge reads its Unicode properties from the Unicode
# Character Database files (the ones the native tables were generated from, of
# the version the generator is pinned to).
UCD_UNUSABLE = ref.ucd_unusable()
needs_ucd = pytest.mark.skipif(UCD_UNUSABLE is not None, reason=UCD_UNUSABLE or "")
SIGNAL_KEYS = ["words", "len_score", "hard_hits", "constraint_hits", "code_hits", "digit_ratio", "novelty",
               "trivial_hits"]


def signals(text):
    return effort_gauge(text)["signals"]


def test_signatures():
    assert str(inspect.signature(effort_gauge)) == "(text)"
    assert str(inspect.signature(saturation_scan)) == "(text, window=8)"
    assert str(inspect.signature(consolidation_gain)) == (
        "(prefix_tokens, purgeable_tokens, calls_ahead=8, cache_read_ratio=0.1, cache_write_ratio=1.25)")
    assert effort_gauge.__doc__.startswith("Gauge the reasoning effort a request deserves.")
    assert saturation_scan.__doc__.endswith("microsecond-scale.")
    assert "  keep:        calls_ahead \u00b7 prefix \u00b7 read_ratio\n" in consolidation_gain.__doc__


# ---------------------------------------------------------------------------
# effort_gauge

@pytest.mark.parametrize("text", ["", " \t\n\u3000\u00a0 "])
def test_effort_empty(text):
    r = effort_gauge(text)
    assert list(r) == ["score", "tier", "budget_tokens", "signals"]
    assert list(r["signals"]) == SIGNAL_KEYS
    assert r == {"score": 0.0, "tier": "off", "budget_tokens": 0,
                 "signals": dict.fromkeys(SIGNAL_KEYS, 0)}
    assert all(type(r["signals"][k]) is float for k in ("len_score", "digit_ratio", "novelty"))


@pytest.mark.parametrize("text,trivial,score", [
    ("ok", 1, 0.000750000006519258), ("ok thanks", 2, 0.001500000013038516), ("Ok!", 1, 0.000750000006519258),
])
def test_effort_trivial(text, trivial, score):
    r = effort_gauge(text)
    assert r["signals"]["trivial_hits"] == trivial
    assert (r["score"], r["tier"], r["budget_tokens"]) == (score, "off", 0)


@pytest.mark.parametrize("text,tier,budget", [
    ("why is the sky blue?", "low", 1024),  # short hard question rescued to "low"
    ("Why?", "off", 0),  # one word only
    ("why is sky?", "off", 0),  # three words
])
def test_effort_short_hard_question(text, tier, budget):
    r = effort_gauge(text)
    assert r["signals"]["hard_hits"] == 1
    assert (r["tier"], r["budget_tokens"]) == (tier, budget)


def test_effort_described_scores():
    r = effort_gauge("why is the sky blue?")
    assert r["signals"]["len_score"] == 0.012500000186264515 and r["signals"]["novelty"] == 1.0
    assert r["score"] == pytest.approx(0.08708, abs=1e-5)
    assert effort_gauge("why?")["score"] == pytest.approx(0.08408, abs=1e-5)
    assert signals("a")["len_score"] == 0.0024999999441206455


@pytest.mark.parametrize("text", ["12345", "must never always 42", "RESTRIÇÃO: nunca sempre jamais"])
def test_effort_capped(text):
    r = effort_gauge(text)
    assert r["score"] == F05 and r["tier"] == "off" and r["budget_tokens"] == 0


def test_effort_capital_constraint_word():
    s = signals("RESTRIÇÃO: nunca sempre jamais")
    assert s["constraint_hits"] == 3 and s["words"] == 4
    assert signals("OBRIGATÓRIO.")["constraint_hits"] == 1


@pytest.mark.parametrize("text,code", [
    ("(((((", 0), ("((((((", 1), ("{{{;;;=", 1), ("<>" * 6, 2),
    ("def", 1), ("(def),", 1), ("`return`", 1), ("x = f(y); return {z}", 1 + 1), ("deference", 0),
])
def test_effort_code_hits(text, code):
    assert signals(text)["code_hits"] == code


@pytest.mark.parametrize("word,hard", [
    ("debugging", 1), ("comparison", 1), ("otimização", 1), ("refactoring", 1), ("DESIGN,", 1),
    ("erro", 1), ("error", 1), ("errors", 0), ("erros", 0), ("debu", 0), ("redesign", 0), ("(why)", 1),
    ("why\u0301", 1), ("why\u0345", 0), ("why\u0663", 0), ("why\u00b2", 0), ("why\u216b", 0), ("a/why", 0),
])
def test_effort_hard_matching(word, hard):
    assert signals(word)["hard_hits"] == hard


def test_effort_length_and_novelty():
    assert signals(" ".join(f"w{i}" for i in range(400)))["len_score"] == 1.0
    assert signals(" ".join(f"w{i}" for i in range(399)))["len_score"] == 0.9975000023841858
    for n in (2, 3, 7):
        assert signals(" ".join(["same"] * n))["novelty"] == ref.f32(1 / n)
    assert signals("x x, x")["novelty"] == ref.f32(2 / 3)  # the comma keeps a word distinct


@pytest.mark.parametrize("text,ratio", [
    ("0", 1.0), ("a1", 0.5), ("\u01300", 0.25), ("I0", 0.5), ("\u0663", 0.0), ("é1", 1 / 3),
])
def test_effort_digit_ratio_counts_lowercased_bytes(text, ratio):
    assert signals(text)["digit_ratio"] == ref.f32(ratio)


@pytest.mark.parametrize("sep,words", [
    ("\u00a0", 2), ("\u3000", 2), ("\u2028", 2), ("\u0085", 2), ("\u200a", 2), ("\u200b", 1), ("\u001c", 1),
    ("\u001f", 1), ("\u180e", 1), ("\ufeff", 1),
])
def test_effort_white_space(sep, words):
    assert signals(f"alpha{sep}beta")["words"] == words


@pytest.mark.parametrize("text", [
    "\u03a3", "A\u03a3", "A\u03a3 x", "\u02b0\u03a3", "A\u03a3\u02b0", "A\u0345\u03a3", "\u039f\u0394\u039f\u03a3",
    "A\u03a3A", "A'\u03a3'", "A\u03a3\u00adB", "\u0130\u03a3",
])
def test_effort_final_sigma(text):
    # Each word of `text` and its Python lowercase become the same bytes exactly
    # when the kernel lowercases like str.lower.
    for word, expected in zip(text.split(" "), text.lower().split(" ")):
        assert signals(f"{word} {expected}")["novelty"] == 0.5
    assert signals(f"{text} {text.lower()}")["novelty"] == signals(f"{text.lower()} {text.lower()}")["novelty"]


@needs_ucd
def test_effort_high_tier():
    text = (" ".join(f"w{i}" for i in range(400)) + " Why: design, debugging; MUST never always ensure"
            " require except; def class import return const let select async struct impl function var")
    r = effort_gauge(text)
    assert r == ref.effort_gauge(text)
    assert r["tier"] == "high" and r["budget_tokens"] == 16384
    s = r["signals"]
    assert (s["hard_hits"], s["constraint_hits"], s["code_hits"]) == (3, 6, 12)


@needs_ucd
def test_generator_lowercase_matches_python():
    # The generator's lowercasing (the data behind the native tables) agrees with
    # str.lower on every code point assigned in both Unicode versions.
    u = ref.ucd()
    bad = []
    for cp, _ in u.category.items():
        ch = chr(cp)
        if unicodedata.category(ch) in ("Cn", "Cs"):
            continue
        if u.lower_text(ch) != ch.lower():
            bad.append(hex(cp))
    assert bad == []


@needs_ucd
def test_lowercase_data_file_is_current(data_dir):
    import importlib.util
    loader_spec = importlib.util.spec_from_file_location("gen_lowercase_cases", ref.ROOT / "tools/gen_lowercase_cases.py")
    gen = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(gen)
    committed = (data_dir / "lowercase_python.txt").read_text(encoding="ascii")
    if f"(Unicode {unicodedata.unidata_version})" not in committed.splitlines()[0]:
        pytest.skip("the data file was written by an interpreter with another Unicode version")
    assert committed.splitlines()[2:] == gen.generate(ref.ucd()).splitlines()[2:]


@needs_ucd
def test_unicode_tables_are_current():
    committed = (ref.ROOT / "src/context_apoptosis/unicode_tables.inc").read_text(encoding="utf-8")
    assert ref.generator().generate(ref.ucd()) == committed


@pytest.mark.parametrize("headers", [
    {"DerivedCoreProperties.txt": "16.0.0", "SpecialCasing.txt": "15.0.0"},
    {"DerivedCoreProperties.txt": "15.0.0", "SpecialCasing.txt": "14.0.0"},
    {"DerivedCoreProperties.txt": None, "SpecialCasing.txt": "15.0.0"},
])
def test_generator_refuses_other_unicode_versions(tmp_path, headers):
    gen = ref.generator()
    assert gen.UNICODE_VERSION == "15.0.0"
    (tmp_path / "UnicodeData.txt").write_text("0041;LATIN CAPITAL LETTER A;Lu;0;L;;;;;N;;;;0061;\n")
    for name, version in headers.items():
        first = f"# {Path(name).stem}-{version}.txt" if version else "# no version here"
        (tmp_path / name).write_text(first + "\n", encoding="utf-8")
    with pytest.raises(gen.UnicodeVersionError):
        gen.Ucd(tmp_path)
    out = tmp_path / "tables.inc"
    out.write_text("unchanged")
    assert gen.main([str(tmp_path), str(out)]) == 2
    assert gen.main(["--check", str(tmp_path), str(out)]) == 2
    assert out.read_text() == "unchanged"


# ---------------------------------------------------------------------------
# saturation_scan

@pytest.mark.parametrize("text,window,result", [
    ("", 8, 0.0), (" \n\t ", 1, 0.0), ("x " * 15, 8, 0.0), ("x " * 16, 8, 0.8888888955116272),
    ("a b c d e f g h " * 2, 8, 0.1111111119389534), ("a a", 0, 0.5), ("a a", 1, 0.5), ("a", 0, 0.0),
    ("a", 1, 0.0), ("A a", 1, 0.0), ("a a,", 1, 0.0), ("ab c a bc", 2, 0.0), ("ab c ab c", 2, 1 / 3),
    ("x " * 100, 2**64 - 1, 0.0), ("x " * 100, 2**63, 0.0), ("x " * 100, 51, 0.0), ("x " * 100, 50, 50 / 51),
])
def test_saturation_cases(text, window, result):
    assert saturation_scan(text, window) == ref.f32(result)
    assert saturation_scan(text=text, window=window) == saturation_scan(text, window)


def test_saturation_default_window():
    assert saturation_scan("x " * 16) == 0.8888888955116272


SEPARATORS = st.text(alphabet=list(ref.WHITE_SPACE), min_size=1, max_size=4)
TOKENS = st.lists(st.sampled_from(["a", "b", "ab", "c", "bc", "A", "é", "x\u200by", "\u03a3"]), max_size=60)


@settings(max_examples=200, deadline=None)
@given(TOKENS, st.data(), st.integers(0, 6))
def test_saturation_respacing_invariant(tokens, data, window):
    spaced = "".join(t + data.draw(SEPARATORS) for t in tokens)
    lead = data.draw(st.text(alphabet=list(ref.WHITE_SPACE), max_size=3))
    assert saturation_scan(lead + spaced, window) == saturation_scan(" ".join(tokens), window)
    assert saturation_scan(" ".join(tokens), window) == ref.saturation_scan(" ".join(tokens), window)


# ---------------------------------------------------------------------------
# consolidation_gain

INF, NAN = math.inf, math.nan


@pytest.mark.parametrize("args,expected", [
    ((10000, 4000), (False, -3700.0, 8000.0, 11700.0, 17.249999999999996)),
    ((10000, 4000, 20), (True, 1100.0, 20000.0, 18900.0, 17.249999999999996)),
    ((10000, 0), (False, -11500.0, 8000.0, 19500.0, INF)),
    ((10000, 12000), (True, 8000.0, 8000.0, 0.0, 0.0)),
    ((0, 0), (False, 0.0, 0.0, 0.0, INF)),
    ((10000, 4000, 0), (False, -6500.0, 1000.0, 7500.0, 17.249999999999996)),
    ((10000, 4000, 1), (False, -6500.0, 1000.0, 7500.0, 17.249999999999996)),
    ((100000, 90000), (True, 60500.0, 80000.0, 19500.0, 1.2777777777777777)),
    ((10000, 4000, 8, 0.0), (False, -7500.0, 0.0, 7500.0, INF)),
    ((10000, 10000, 8, 0.0), (False, 0.0, 0.0, 0.0, NAN)),
    ((10000, 4000, 8, INF), (False, NAN, INF, INF, NAN)),
    ((10000, 4000, 8, 0.1, NAN), (False, NAN, 8000.0, NAN, NAN)),
    ((10000, 4000, 8, -0.1), (False, -11300.0, -8000.0, 3300.0, -20.250000000000004)),
    # P and R = P - 1 round to the same double: the break-even divides by zero.
    ((2**64 - 1, 1, 2**32 - 1), (False, -2.121375634447296e+19, 7.922816249581759e+27, 7.922816270795516e+27, INF)),
])
def test_consolidation_table(args, expected):
    r = consolidation_gain(*args)
    assert list(r) == ["consolidate", "gain_token_equiv", "cost_keep", "cost_consolidate", "break_even_calls"]
    got = tuple(r.values())
    assert type(got[0]) is bool and all(type(v) is float for v in got[1:])
    assert [repr(v) for v in got] == [repr(v) for v in expected]
    assert [repr(v) for v in ref.consolidation_gain(*args).values()] == [repr(v) for v in expected]


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1), st.integers(0, 2**32 - 1),
       st.floats(allow_nan=True), st.floats(allow_nan=True))
def test_consolidation_matches_reference(p, u, n, r, w):
    got = consolidation_gain(p, u, n, r, w)
    assert [repr(v) for v in got.values()] == [repr(v) for v in ref.consolidation_gain(p, u, n, r, w).values()]


# ---------------------------------------------------------------------------
# Argument binding and conversion failures

class Index:
    def __index__(self):
        return 3


class Str(str):
    pass


def test_conversion_protocols():
    assert consolidation_gain(Index(), 1, Index(), 1, True) == consolidation_gain(3, 1, 3, 1.0, 1.0)
    assert saturation_scan(Str("a a"), Index()) == saturation_scan("a a", 3)
    assert effort_gauge(Str("why")) == effort_gauge("why")


@pytest.mark.parametrize("call,exc,message,note", [
    (lambda: effort_gauge(5), TypeError, "'int' object is not an instance of 'str'", "text"),
    (lambda: effort_gauge(None), TypeError, "'None' is not an instance of 'str'", "text"),
    (lambda: effort_gauge(b"x"), TypeError, "'bytes' object is not an instance of 'str'", "text"),
    (lambda: effort_gauge("a\ud800b"), UnicodeEncodeError, None, "text"),
    (lambda: saturation_scan("\udfff"), UnicodeEncodeError, None, "text"),
    (lambda: saturation_scan("x", -1), OverflowError, None, "window"),
    (lambda: saturation_scan("x", 2**64), OverflowError, None, "window"),
    (lambda: saturation_scan("x", 1.0), TypeError, None, "window"),
    (lambda: saturation_scan("x", None), TypeError, None, "window"),
    (lambda: consolidation_gain(-1, 0), OverflowError, None, "prefix_tokens"),
    (lambda: consolidation_gain(1, 2**64), OverflowError, None, "purgeable_tokens"),
    (lambda: consolidation_gain(1, 1, -1), OverflowError, "out of range integral type conversion attempted",
     "calls_ahead"),
    (lambda: consolidation_gain(1, 1, 2**32), OverflowError, "out of range integral type conversion attempted",
     "calls_ahead"),
    (lambda: consolidation_gain(1, 1, 8, "0.1"), TypeError, "must be real number, not str", "cache_read_ratio"),
    (lambda: consolidation_gain(1, 1, 8, 0.1, None), TypeError, "must be real number, not NoneType",
     "cache_write_ratio"),
    (lambda: consolidation_gain(1.5, 1), TypeError, None, "prefix_tokens"),
])
def test_conversion_failures(call, exc, message, note):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    if sys.version_info >= (3, 11):
        assert notes(info.value) == expected_notes(note)


def test_lone_surrogate_is_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError) as info:
        effort_gauge("a\ud800b")
    try:
        "a\ud800b".encode("utf-8")
    except UnicodeEncodeError as e:
        assert str(info.value) == str(e)


@pytest.mark.parametrize("call,message", [
    (lambda: effort_gauge(), "effort_gauge() missing 1 required positional argument: 'text'"),
    (lambda: effort_gauge("x", window=3), "effort_gauge() got an unexpected keyword argument 'window'"),
    (lambda: effort_gauge("x", "y"), "effort_gauge() takes 1 positional arguments but 2 were given"),
    (lambda: saturation_scan("x", text="y"), "saturation_scan() got multiple values for argument 'text'"),
    (lambda: saturation_scan(window=3), "saturation_scan() missing 1 required positional argument: 'text'"),
    (lambda: saturation_scan("x", 1, 2), "saturation_scan() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: consolidation_gain(),
     "consolidation_gain() missing 2 required positional arguments: 'prefix_tokens' and 'purgeable_tokens'"),
    (lambda: consolidation_gain(calls_ahead=2, prefix_tokens=1),
     "consolidation_gain() missing 1 required positional argument: 'purgeable_tokens'"),
    (lambda: consolidation_gain(1, 2, 3, 4, 5, 6),
     "consolidation_gain() takes from 2 to 5 positional arguments but 6 were given"),
])
def test_binding_failures(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Native against the plain-Python versions on generated texts

PIECES = ["why", "How", "debugging", "errors", "MUST", "nunca", "RESTRIÇÃO:", "def", "return;", "ok", "Não",
          "obrigado!", "(x)", "{", "}", "=", "`", "<>", "123", "4", "\u0130", "\u03a3", "\u02b0", "\u0345", "\u0301",
          "\u0663", "\u00b2", "\u216b", "ß", "É", "\u200b", "\u001c", "a", "the", "plan", "x"]
TEXTS = st.lists(
    st.one_of(st.sampled_from(PIECES), st.sampled_from(list(ref.WHITE_SPACE)),
              st.text(st.characters(blacklist_categories=("Cs", "Cn")), max_size=3)),
    max_size=80).map("".join)


@needs_ucd
@settings(max_examples=300, deadline=None)
@given(TEXTS)
def test_effort_matches_reference(text):
    assert effort_gauge(text) == ref.effort_gauge(text)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(["a", "b", "A", "ab", "é", "a,"]), max_size=60).map(" ".join), st.integers(0, 5))
def test_saturation_matches_reference(text, window):
    assert saturation_scan(text, window) == ref.saturation_scan(text, window)


@needs_ucd
def test_large_and_exotic_inputs():
    flood = "GET /admin HTTP/1.1 200 " * 20000
    assert saturation_scan(flood) == ref.saturation_scan(flood)
    r = effort_gauge(flood)
    assert r == ref.effort_gauge(flood, lower=str.lower)
    weird = "".join(chr(c) for c in range(0x20, 0x3000, 7)) * 3
    assert effort_gauge(weird) == ref.effort_gauge(weird)
    assert saturation_scan(weird, 1) == ref.saturation_scan(weird, 1)


# ---------------------------------------------------------------------------
# The four text families: long texts, so the vector paths see every separator
# at every offset, and short generated ones against the references.

from families import FAMILIES, family_text, random_text  # noqa: E402


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("seed", range(3))
def test_saturation_matches_reference_in_every_script(family, seed):
    text = random_text(family, 4000, seed)
    for window in (1, 2, 3, 8):
        assert saturation_scan(text, window) == ref.saturation_scan(text, window)
    # Every word once and then again: the second half repeats the first.
    assert saturation_scan(text + " " + text, 1) == ref.saturation_scan(text + " " + text, 1)


@needs_ucd
@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("seed", range(3))
def test_effort_matches_reference_in_every_script(family, seed):
    text = random_text(family, 3000, seed)
    assert effort_gauge(text) == ref.effort_gauge(text)
    assert effort_gauge(text.upper()) == ref.effort_gauge(text.upper())


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(FAMILIES).flatmap(lambda f: family_text(f, 120)), st.integers(1, 3))
def test_generated_scripts_match_reference(text, window):
    assert saturation_scan(text, window) == ref.saturation_scan(text, window)
    if Path("/usr/share/unicode/UnicodeData.txt").exists():
        assert effort_gauge(text) == ref.effort_gauge(text)


@pytest.mark.parametrize(
    "result",
    [
        lambda: effort_gauge("Why does this fail?"),
        lambda: effort_gauge("Why does this fail?")["signals"],
        lambda: consolidation_gain(1000, 100),
    ],
    ids=["effort_gauge", "signals", "consolidation_gain"],
)
def test_result_keys_are_one_interned_str_each(result):
    # Each key is created once per process and interned, so callers' lookups hit
    # the pointer comparison and every result shares the same key objects.
    first, second = result(), result()
    for a, b in zip(first, second):
        assert a is b is sys.intern(a)
