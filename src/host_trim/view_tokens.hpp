// The token count of one message view as fenwa_host counts it: the estimate of
// its text, its fixed extra tokens, and the framing its format sends around it.
#pragma once

#include <cstdint>

namespace fenwa::host_trim {

// What a format sends around each message's counted text (fenwa_host.tokens'
// Framing, less the per-request part, which the caller adds once).
struct Framing {
    std::uint64_t per_message = 0;
    std::uint64_t per_call = 0;    // per tool call the message makes
    std::uint64_t per_result = 0;  // per tool result it carries
    bool count_ids = false;        // call and result ids are sent, counted as text
};

// The largest framing count and the largest extra-token count a view may hold.
inline constexpr std::uint64_t kMostFraming = std::uint64_t{1} << 20;
inline constexpr std::uint64_t kMostExtra = std::uint64_t{1} << 53;

// text + extra + framing (per message, per call, per result) + `id_tokens` (the
// estimates of its ids, counted only with `count_ids`), saturated at INT64_MAX.
// `text` must not be negative.
std::int64_t view_tokens(std::int64_t text, std::uint64_t extra, std::uint64_t calls,
                         std::uint64_t answers, std::uint64_t id_tokens,
                         const Framing& framing) noexcept;

}  // namespace fenwa::host_trim
