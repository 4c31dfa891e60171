// Python functions effort_gauge, saturation_scan and consolidation_gain.
#include "context_apoptosis/consolidation.hpp"
#include "context_apoptosis/effort_gauge.hpp"
#include "context_apoptosis/saturation.hpp"
#include "module/boundary.hpp"
#include "module/dict_keys.hpp"
#include "module/registry.hpp"

namespace fenwa {
namespace {

using py::Ref;

// ---------------------------------------------------------------------------
// effort_gauge

constexpr auto kEffortSig =
    py::function_decl("effort_gauge", {{"text"}},
                      "Gauge the reasoning effort a request deserves. Returns a dict:\n"
                      "`score` (0..1), `tier` (\"off\" | \"low\" | \"medium\" | \"high\"),\n"
                      "`budget_tokens` (0 | 1024 | 4096 | 16384) and the raw `signals`.");

Ref effort_gauge(const py::Bound<1>& a) {
    const std::string_view text = a.get<py::to_text>(0);
    const analysers::Effort e = analysers::effort_gauge(text);
    const analysers::EffortSignals& s = e.signals;
    py::DictBuilder signals;
    signals.set(py::key<"words">(), py::new_int(s.words))
        .set(py::key<"len_score">(), py::new_float(s.len_score))
        .set(py::key<"hard_hits">(), py::new_int(s.hard_hits))
        .set(py::key<"constraint_hits">(), py::new_int(s.constraint_hits))
        .set(py::key<"code_hits">(), py::new_int(s.code_hits))
        .set(py::key<"digit_ratio">(), py::new_float(s.digit_ratio))
        .set(py::key<"novelty">(), py::new_float(s.novelty))
        .set(py::key<"trivial_hits">(), py::new_int(s.trivial_hits));
    py::DictBuilder result;
    result.set(py::key<"score">(), py::new_float(e.score))
        .set(py::key<"tier">(), py::new_str(e.tier))
        .set(py::key<"budget_tokens">(), py::new_int(e.budget_tokens))
        .set(py::key<"signals">(), signals.finish());
    return result.finish();
}

// ---------------------------------------------------------------------------
// saturation_scan

constexpr auto kSaturationSig = py::function_decl(
    "saturation_scan", {{"text"}, {"window", "8"}},
    "Detect input saturation: the fraction of the payload that is **repetition**.\n"
    "\n"
    "Cognitive-DDoS, forged-log floods and jailbreak spam are highly repetitive \xE2\x80\x94\n"
    "they reuse the same phrases to exhaust the context window. This scores the\n"
    "fraction of duplicate `w`-token shingles (default 8): ~1.0 = a repetitive\n"
    "flood (RED ALERT), ~0.0 = natural, high-entropy text. Pure O(n), no\n"
    "allocation (shingles are hashed, not materialised), microsecond-scale.");

Ref saturation_scan(const py::Bound<2>& a) {
    const std::string_view text = a.get<py::to_text>(0);
    const std::uint64_t window = a.get<py::to_u64>(1);
    return py::new_float(analysers::saturation_scan(text, window));
}

// ---------------------------------------------------------------------------
// consolidation_gain

// U+00B7 middle dot, U+2212 minus sign, U+00D7 multiplication sign, U+2192 arrow.
#define FENWA_DOT "\xC2\xB7"
#define FENWA_MINUS "\xE2\x88\x92"
#define FENWA_TIMES "\xC3\x97"
#define FENWA_ARROW "\xE2\x86\x92"

constexpr auto kConsolidationSig = py::function_decl(
    "consolidation_gain",
    {{"prefix_tokens"},
     {"purgeable_tokens"},
     {"calls_ahead", "8"},
     {"cache_read_ratio", "0.1"},
     {"cache_write_ratio", "1.25"}},
    "Decide whether consolidating (rewriting) a provider-cached prefix pays off.\n"
    "\n"
    "Rewriting a cached prefix purges `purgeable_tokens` of ballast but forfeits\n"
    "the cache discount on the next call (a fresh cache write). Keeping it stale\n"
    "re-pays the cached read of the ballast on every future call. In input-token\n"
    "equivalents (uncached input = 1.0), over the next `calls_ahead` calls:\n"
    "\n"
    "  keep:        calls_ahead " FENWA_DOT " prefix " FENWA_DOT
    " read_ratio\n"
    "  consolidate: (prefix " FENWA_MINUS " purgeable) " FENWA_DOT
    " write_ratio\n"
    "               + (calls_ahead " FENWA_MINUS " 1) " FENWA_DOT " (prefix " FENWA_MINUS
    " purgeable) " FENWA_DOT
    " read_ratio\n"
    "\n"
    "Default ratios match current Anthropic pricing (cache read = 0.1" FENWA_TIMES
    " input,\n"
    "cache write = 1.25" FENWA_TIMES " input). Returns the net gain (positive " FENWA_ARROW
    " consolidate\n"
    "now) plus the break-even number of calls.");

#undef FENWA_DOT
#undef FENWA_MINUS
#undef FENWA_TIMES
#undef FENWA_ARROW

Ref consolidation_gain(const py::Bound<5>& a) {
    const std::uint64_t prefix = a.get<py::to_u64>(0);
    const std::uint64_t purgeable = a.get<py::to_u64>(1);
    const std::uint32_t calls_ahead = a.get<py::to_u32>(2);
    const double read_ratio = a.get<py::to_f64>(3);
    const double write_ratio = a.get<py::to_f64>(4);
    const analysers::Consolidation c =
        analysers::consolidation_gain(prefix, purgeable, calls_ahead, read_ratio, write_ratio);
    py::DictBuilder result;
    result.set(py::key<"consolidate">(), py::new_bool(c.consolidate))
        .set(py::key<"gain_token_equiv">(), py::new_float(c.gain_token_equiv))
        .set(py::key<"cost_keep">(), py::new_float(c.cost_keep))
        .set(py::key<"cost_consolidate">(), py::new_float(c.cost_consolidate))
        .set(py::key<"break_even_calls">(), py::new_float(c.break_even_calls));
    return result.finish();
}

}  // namespace

PyMethodDef effort_gauge_def = py::function_def<kEffortSig, effort_gauge>();
PyMethodDef saturation_scan_def = py::function_def<kSaturationSig, saturation_scan>();
PyMethodDef consolidation_gain_def = py::function_def<kConsolidationSig, consolidation_gain>();

}  // namespace fenwa
