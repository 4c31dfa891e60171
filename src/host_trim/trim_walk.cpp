#include "host_trim/trim_walk.hpp"

#include <algorithm>
#include <cmath>

#include "context_apoptosis/blocks.hpp"

namespace fenwa::host_trim {

namespace {

constexpr std::uint32_t kConversational = blocks::CONVERSATIONAL_MASK;
constexpr std::uint32_t kTool = blocks::TOOL;
constexpr std::uint32_t kThinking = blocks::THINKING;

std::int64_t decimal_digits(std::int64_t v) noexcept {
    std::int64_t digits = v < 0 ? 2 : 1;  // a minus sign counts as a character
    std::uint64_t u = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    while (u >= 10) {
        u /= 10;
        ++digits;
    }
    return digits;
}

}  // namespace

double removal_weight(std::uint32_t bits) noexcept {
    if (bits & kConversational) return 1.0;
    if (bits & kThinking) return 0.15;
    if (bits & kTool) return 0.25;
    return 0.6;
}

std::vector<std::uint32_t> removal_order(const std::uint32_t* bits, const std::uint8_t* pinned,
                                         std::size_t n, double half_life) {
    struct Keyed {
        double key;
        std::uint32_t index;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (pinned[i]) continue;
        // The same operations, in the same order, as the Python reference:
        // half_life * log2(weight), then the index added as a double.
        const double offset = half_life * std::log2(removal_weight(bits[i]));
        keyed.push_back({offset + static_cast<double>(i), static_cast<std::uint32_t>(i)});
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
    std::vector<std::uint32_t> out;
    out.reserve(keyed.size());
    for (const Keyed& k : keyed) out.push_back(k.index);
    return out;
}

int decay_class(std::uint32_t bits) noexcept {
    if (bits & kConversational) return 0;
    if (bits & kThinking) return 1;
    if (bits & kTool) return 2;
    return 3;
}

std::int64_t placeholder_estimate_of_size(std::int64_t bytes,
                                          const PlaceholderCosts& costs) noexcept {
    return costs[static_cast<std::size_t>(std::min<std::int64_t>(decimal_digits(bytes), 20))];
}

std::int64_t placeholder_estimate(std::int64_t tokens, const PlaceholderCosts& costs) noexcept {
    const std::int64_t bytes =
        tokens > INT64_MAX / kBytesPerToken ? INT64_MAX : tokens * kBytesPerToken;
    return placeholder_estimate_of_size(bytes, costs);
}

Filing file_sent(std::uint32_t bits, bool system_role, std::uint64_t answers, std::int64_t tokens,
                 std::int64_t bytes, bool elide, const PlaceholderCosts& costs) noexcept {
    if (blocks::is_durable(bits) || system_role) return {-1, 0};
    std::int64_t saving = tokens;
    if (elide && answers != 0 && tokens > 0) {
        // tokens - placeholder * answers, floored at 0 without overflowing: the
        // product exceeds tokens exactly when answers exceeds tokens / placeholder.
        const std::int64_t placeholder =
            std::max<std::int64_t>(1, placeholder_estimate_of_size(bytes, costs));
        const auto most = static_cast<std::uint64_t>(tokens / placeholder);
        saving = answers > most ? 0 : tokens - placeholder * static_cast<std::int64_t>(answers);
    }
    return {decay_class(bits), saving};
}

FiledRange file_range(const SentMessage* messages, std::size_t n, bool elide,
                      const PlaceholderCosts& costs) {
    FiledRange out;
    for (std::size_t k = 0; k < n; ++k) {
        const SentMessage& m = messages[k];
        if (m.tokens > INT64_MAX - out.tokens || m.bytes > INT64_MAX - out.bytes) {
            out.overflow = true;
            return out;
        }
        out.tokens += m.tokens;
        out.bytes += m.bytes;
        const Filing filing =
            file_sent(m.bits, m.system_role, m.answers, m.tokens, m.bytes, elide, costs);
        if (filing.decay_class >= 0 && filing.saving > 0)
            out.by_class[static_cast<std::size_t>(filing.decay_class)].emplace_back(k,
                                                                                    filing.saving);
    }
    return out;
}

WalkStop walk(WalkState& s, const std::uint32_t* candidates, std::size_t count,
              std::size_t position, std::int64_t max_tokens, std::vector<Change>& changes,
              std::vector<std::uint32_t>& elided) {
    std::int64_t total = s.total;
    WalkStop stop{position, false};
    while (stop.position < count && total > max_tokens) {
        const std::uint32_t i = candidates[stop.position++];
        if (i >= s.n) continue;  // not an index of this list
        const std::uint8_t a = s.action[i];
        if (a == kDropped || a == kElided) continue;
        const std::uint8_t shape = s.shape[i];
        if (shape == kAnswer && a == kKept && s.inline_results) {
            // A tool result that would leave stays as a placeholder; the copy is
            // made by the caller, and only if it survives.
            const std::int64_t estimate = placeholder_estimate(s.tokens[i], *s.placeholder_costs);
            if (estimate < s.current[i]) {
                s.action[i] = kElided;
                total += estimate - s.current[i];
                s.current[i] = estimate;
                changes.push_back({i, kOverBudget});
                elided.push_back(i);
            }
            continue;
        }
        if (shape == kAnswer || shape == kComplex || a != kKept) {
            stop.needs_caller = true;
            break;
        }
        s.action[i] = kDropped;
        total -= s.current[i];
        s.current[i] = 0;
        changes.push_back({i, kOverBudget});
        if (shape == kCalls) {
            // Its results are the messages right after it that answer calls.
            for (std::size_t j = std::size_t{i} + 1; j < s.n; ++j) {
                const std::uint8_t sj = s.shape[j];
                if (sj != kAnswer && sj != kComplex) break;
                if (s.action[j] != kDropped) {
                    s.action[j] = kDropped;
                    total -= s.current[j];
                    s.current[j] = 0;
                    changes.push_back({static_cast<std::uint32_t>(j), kCallLeft});
                }
            }
        }
    }
    s.total = total;
    return stop;
}

}  // namespace fenwa::host_trim
