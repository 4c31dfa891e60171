"""fenwa_host.billing: provider cache rules, request bills, breakpoint placement and
the rewrite decision, against hand-computed cases."""
from __future__ import annotations

import dataclasses
import math

import fenwa_micro as fm
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fenwa_host import billing as b

OPENAI, ANTHROPIC = b.OPENAI, b.ANTHROPIC


@pytest.mark.parametrize(
    "rules, ends, cached, marks, expect",
    [
        # OpenAI: the shared 1,500 tokens are read in whole 128-token steps (1,408).
        (OPENAI, [500, 1500, 2100], [1], [], (1408, 0, 692, 1408 * 0.1 + 692)),
        # A shared prefix under 1,024 tokens is billed in full.
        (OPENAI, [500, 1500, 2100], [0], [], (0, 0, 2100, 2100.0)),
        # Nothing shared: everything uncached, no write premium.
        (OPENAI, [1500, 3000], [], [], (0, 0, 3000, 3000.0)),
        # Anthropic: the cached 3,000 are read through the last breakpoint's lookback,
        # the 2,000 new tokens written at 1.25x.
        (ANTHROPIC, [1200, 3000, 3500, 5000], [1], [0, 3], (3000, 2000, 0, 300 + 2500)),
        # Only the system breakpoint: the cached 3,000 are out of its reach; the system
        # prompt is written, the rest billed in full.
        (ANTHROPIC, [1200, 3000, 3500, 5000], [1], [0], (0, 1200, 3800, 1200 * 1.25 + 3800)),
        # No breakpoint at all: Anthropic caches nothing.
        (ANTHROPIC, [1200, 3000, 5000], [], [], (0, 0, 5000, 5000.0)),
        # Under the minimum: neither read nor written, and no error.
        (ANTHROPIC, [800, 900], [], [1], (0, 0, 900, 900.0)),
        # A 1-hour cache writes at 2x.
        (b.anthropic_rules(ttl="1h"), [2000, 3000], [], [1], (0, 3000, 0, 6000.0)),
        # A model with a 4,096-token minimum does not cache 3,000 tokens.
        (b.anthropic_rules("claude-haiku-4-5-20251001"), [2000, 3000], [], [1], (0, 0, 3000, 3000.0)),
    ],
)
def test_bill_request_hand_computed(rules, ends, cached, marks, expect):
    bill, _ = b.bill_request(rules, ends, cached=cached, marks=marks)
    assert (bill["read_tokens"], bill["write_tokens"], bill["uncached_tokens"]) == expect[:3]
    assert bill["cost"] == pytest.approx(expect[3])
    assert sum(expect[:3]) == ends[-1]


@pytest.mark.parametrize("distance, hit", [(0, True), (19, True), (20, False), (25, False)])
def test_lookback_is_twenty_blocks(distance, hit):
    ends = [2000 + 10 * i for i in range(40)]
    bill, _ = b.bill_request(ANTHROPIC, ends, cached=[5], marks=[5 + distance])
    assert (bill["read_tokens"] == ends[5]) is hit


def test_cache_entries_carry_over():
    _, entries = b.bill_request(ANTHROPIC, [900, 2000, 3000], cached=[], marks=[0, 2])
    assert entries == [2]  # the 900-token prefix is under the minimum: not cached
    _, entries = b.bill_request(OPENAI, [900, 2000, 3000], cached=[])
    assert entries == [2]


BIG = [2000 * (i + 1) for i in range(60)]


@pytest.mark.parametrize(
    "n, system, stable, caller, markable_off, expect",
    [
        (5, 1, 3, [], [], [0, 4]),  # rolling mark on the last block; stable end within its reach
        (30, 1, 5, [], [], [0, 4, 29]),  # 25 new blocks: the stable end needs its own mark
        (30, 1, 5, [10, 12, 14], [], [29]),  # the caller's three count: one left
        (30, 1, 5, [10, 12, 14, 16], [], []),  # the caller used all four
        (30, 1, 5, [29], [], [0, 4]),  # the caller's mark is the rolling one
        (6, 1, 2, [], [5, 4], [0, 3]),  # thinking blocks at the end: the block before them
        (6, 2, 0, [], [1], [0, 5]),  # the system prompt's last block is thinking? the block before it
        (1, 1, 0, [], [], [0]),  # the system prompt alone: one mark
    ],
)
def test_place_breakpoints(n, system, stable, caller, markable_off, expect):
    markable = [i not in markable_off for i in range(n)]
    marks = b.place_breakpoints(BIG[:n], markable, ANTHROPIC, system=system, stable=stable, caller_marks=caller)
    assert marks == expect
    assert len(marks) + len(caller) <= ANTHROPIC.max_breakpoints
    assert all(markable[m] for m in marks)


@pytest.mark.parametrize(
    "keep, caller, expect",
    [
        (12, [], [0, 4, 11, 29]),  # the part the next rewrite keeps gets its own mark
        (12, [20], [0, 11, 29]),  # the caller's mark reaches back to the stable end
        (12, [20, 22], [11, 29]),  # two slots left: the system prompt's mark gives way
        (30, [], [0, 4, 29]),  # the whole request is kept: the rolling mark serves
        (5, [], [0, 4, 29]),  # the kept part ends at the stable end: one mark for both
    ],
)
def test_place_breakpoints_for_the_next_rewrite(keep, caller, expect):
    marks = b.place_breakpoints(BIG[:30], [True] * 30, ANTHROPIC, system=1, stable=5, keep=keep, caller_marks=caller)
    assert marks == expect


def test_place_breakpoints_skips_prefixes_under_the_minimum():
    ends = [300, 600, 900, 1500]
    assert b.place_breakpoints(ends, [True] * 4, ANTHROPIC, system=1, stable=2) == [3]
    assert b.place_breakpoints(ends[:3], [True] * 3, ANTHROPIC, system=1, stable=2) == []


def test_growing_history_reads_what_it_sent():
    # A history that only appends, marked by place_breakpoints each time, reads the
    # whole previous request from cache and writes only what is new.
    rules = ANTHROPIC
    ends = [1500]
    _, cached = b.bill_request(rules, ends, marks=b.place_breakpoints(ends, [True], rules, system=1))
    for step in range(1, 12):
        stable = len(ends)
        ends = ends + [ends[-1] + 300 * (k + 1) for k in range(3 if step % 4 else 25)]
        marks = b.place_breakpoints(ends, [True] * len(ends), rules, system=1, stable=stable)
        bill, cached = b.bill_request(rules, ends, cached=[c for c in cached if c < stable], marks=marks)
        previous = ends[stable - 1]
        assert bill["read_tokens"] == previous and bill["write_tokens"] == ends[-1] - previous
        assert bill["uncached_tokens"] == 0


ratios = st.sampled_from([0.0, 0.1, 0.25, 0.5])


@given(
    p=st.integers(0, 10**7), u=st.integers(0, 2 * 10**7), n=st.integers(0, 100), r=ratios,
    w=st.sampled_from([0.0, 1.0, 1.25, 2.0]),
)
def test_rewrite_gain_is_the_module_rule_without_minimums(p, u, n, r, w):
    rules = b.CacheRules("x", read_ratio=r, write_ratio=w, min_tokens=0)
    ours, module = b.rewrite_gain(rules, p, u, n), fm.consolidation_gain(p, u, n, r, w)
    assert list(ours) == list(module)
    for key in module:
        assert ours[key] == module[key] or (math.isnan(ours[key]) and math.isnan(module[key]))


@pytest.mark.parametrize(
    "rules, kept, rewrite",
    [
        # 6,000 left, the first 4,000 unchanged: read 4,000, write 2,000, then 7 reads of 6,000.
        (ANTHROPIC, 4000, 400 + 2500 + 7 * 600.0),
        # OpenAI: 3,968 of the kept 4,000 read in steps, 32 + 2,000 at the full price.
        (OPENAI, 4000, 396.8 + 32 + 2000 + 7 * (5888 * 0.1 + 112)),
        # Nothing kept: the module's rule.
        (ANTHROPIC, 0, 6000 * 1.25 + 7 * 600.0),
    ],
)
def test_rewrite_gain_reads_what_the_rewrite_keeps(rules, kept, rewrite):
    gain = b.rewrite_gain(rules, 10000, 4000, 8, kept_tokens=kept)
    assert gain["cost_consolidate"] == pytest.approx(rewrite)
    keep = b.rewrite_gain(rules, 10000, 4000, 8)["cost_keep"]
    assert gain["cost_keep"] == keep and gain["consolidate"] is (keep > rewrite)
    n = gain["break_even_calls"]
    each_keep = keep / 8
    first = {4000: 2900.0 if rules is ANTHROPIC else 2428.8, 0: 7500.0}[kept]
    each_later = (gain["cost_consolidate"] - first) / 7
    assert each_keep * n == pytest.approx(first + (n - 1) * each_later)


@pytest.mark.parametrize(
    "rules, p, u, n, consolidate, keep, rewrite",
    [
        # 900 tokens are never cached: keeping pays them in full each call, and the
        # 600 left after a rewrite are uncached too.
        (ANTHROPIC, 900, 300, 8, True, 7200.0, 4800.0),
        # OpenAI: 2,000 tokens read as 1,920 cached + 80; the 1,000 left after a rewrite
        # fall under the minimum and are billed in full on every call.
        (OPENAI, 2000, 1000, 8, False, 8 * (192.0 + 80), 8000.0),
        # Anthropic, both sides cached: the module's own rule.
        (ANTHROPIC, 10000, 4000, 8, False, 8000.0, 11700.0),
        # The rewrite would land under the minimum: its write is billed at 1.0 once,
        # then the full price on every later call.
        (ANTHROPIC, 3000, 2500, 8, False, 2400.0, 4000.0),
    ],
)
def test_rewrite_gain_with_minimums(rules, p, u, n, consolidate, keep, rewrite):
    gain = b.rewrite_gain(rules, p, u, n)
    assert gain["consolidate"] is consolidate
    assert gain["cost_keep"] == pytest.approx(keep) and gain["cost_consolidate"] == pytest.approx(rewrite)
    assert gain["gain_token_equiv"] == pytest.approx(keep - rewrite)


@pytest.mark.parametrize(
    "change, message",
    [
        ({"read_ratio": -0.1}, "read_ratio"),
        ({"write_ratio": math.inf}, "write_ratio"),
        ({"min_tokens": -1}, "min_tokens"),
        ({"step_tokens": 0}, "step_tokens"),
        ({"max_breakpoints": True}, "max_breakpoints"),
        ({"ttl": "2h"}, "ttl"),
        ({"provider": ""}, "provider"),
    ],
)
def test_rules_are_checked(change, message):
    with pytest.raises(ValueError, match=message):
        dataclasses.replace(ANTHROPIC, **change)


def test_tables():
    assert (OPENAI.read_ratio, OPENAI.write_ratio, OPENAI.min_tokens, OPENAI.step_tokens) == (0.1, 1.0, 1024, 128)
    assert (ANTHROPIC.read_ratio, ANTHROPIC.write_ratio, ANTHROPIC.min_tokens) == (0.1, 1.25, 1024)
    assert b.anthropic_rules("claude-3-5-haiku-latest").min_tokens == 2048
    assert b.anthropic_rules("claude-sonnet-4-5", ttl="1h").write_ratio == 2.0
    with pytest.raises(ValueError, match="cache_ttl"):
        b.anthropic_rules(ttl="10m")
    with pytest.raises(dataclasses.FrozenInstanceError):
        OPENAI.read_ratio = 0.5  # type: ignore[misc]
    assert b.rules_for_format("openai-responses") is OPENAI and b.rules_for_format("pairs") is b.NEUTRAL
