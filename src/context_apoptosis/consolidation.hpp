// The cost model of rewriting a provider-cached prompt prefix, in input-token
// equivalents (one uncached input token = 1.0).
#pragma once

#include <cstdint>
#include <limits>

namespace fenwa::analysers {

struct Consolidation {
    bool consolidate;
    double gain_token_equiv;
    double cost_keep;
    double cost_consolidate;
    double break_even_calls;
};

// P = prefix_tokens; U = purgeable_tokens clamped to P; R = P - U is what stays
// after consolidating. Keeping pays n cached reads of P; consolidating pays one
// cache write of R and n - 1 cached reads of R. Ratios are used as given
// (infinities and NaN propagate).
inline Consolidation consolidation_gain(std::uint64_t prefix_tokens, std::uint64_t purgeable_tokens,
                                        std::uint32_t calls_ahead, double read_ratio,
                                        double write_ratio) noexcept {
    const double n = static_cast<double>(calls_ahead == 0 ? 1u : calls_ahead);
    const std::uint64_t u = purgeable_tokens < prefix_tokens ? purgeable_tokens : prefix_tokens;
    const double p = static_cast<double>(prefix_tokens);
    const double r = static_cast<double>(prefix_tokens - u);

    Consolidation out;
    out.break_even_calls = u == 0 ? std::numeric_limits<double>::infinity()
                                  : ((write_ratio - read_ratio) * r) / ((p - r) * read_ratio);
    out.cost_consolidate = ((n + -1.0) * r) * read_ratio + write_ratio * r;
    out.cost_keep = (p * n) * read_ratio;
    out.gain_token_equiv = out.cost_keep - out.cost_consolidate;
    out.consolidate = out.gain_token_equiv > 0.0;
    return out;
}

}  // namespace fenwa::analysers
