#include "context_apoptosis/history.hpp"

#include <math.h>

#include "context_apoptosis/blocks.hpp"

namespace fenwa::history {

void decide(const std::uint32_t* flags, std::size_t n, const Params& params,
            std::uint8_t* keep) noexcept {
    const std::size_t protected_count =
        params.stable_prefix < n ? static_cast<std::size_t>(params.stable_prefix) : n;
    for (std::size_t k = 0; k < protected_count; ++k) keep[k] = 1;
    for (std::size_t k = protected_count; k < n; ++k) {
        const std::uint32_t f = flags[k];
        if (blocks::is_durable(f)) {
            keep[k] = 1;
            continue;
        }
        // Age counts every message, protected ones included; the newest has age 0.
        const float age = static_cast<float>(n - 1 - k);
        const float exponent = -age / params.half_life;
        // 2^x rounds to +0 for every x <= -150; answering directly skips the
        // library's slow underflow path, which old messages would hit every time.
        const float decay = exponent <= -150.0f ? 0.0f : exp2f(exponent);
        const float weight = blocks::metabolic_weight(f);
        // A NaN threshold compares unordered: the message is purged.
        keep[k] = blocks::survives(f, decay * weight, params.safe_threshold) ? 1 : 0;
    }
}

Accounting account(const std::size_t* bytes, const std::uint8_t* keep, std::size_t n,
                   std::uint64_t stable_prefix) noexcept {
    Accounting a;
    const std::size_t prefix = stable_prefix < n ? static_cast<std::size_t>(stable_prefix) : n;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t tokens = blocks::estimate_tokens(bytes[k]);
        a.tokens_before += tokens;
        if (k < prefix) a.stable_prefix_tokens += tokens;
        if (keep[k]) {
            a.tokens_after += tokens;
            ++a.kept;
        }
    }
    if (a.tokens_before != 0) {
        a.reduction =
            1.0 - static_cast<double>(a.tokens_after) / static_cast<double>(a.tokens_before);
    }
    return a;
}

}  // namespace fenwa::history
