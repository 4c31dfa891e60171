// Word splitting on the fixed Unicode White_Space set, shared by the effort
// gauge, the saturation scan and the digests of the context window.
#pragma once

#include <bit>
#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/simd.hpp"

namespace fenwa::text {

// Byte length of the White_Space character starting at p (0 when p does not
// start one). `p < end`; the text is valid UTF-8, so a lead byte is always
// followed by its continuation bytes. The set: U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
inline std::size_t white_space_length(const unsigned char* p, const unsigned char* end) noexcept {
    const unsigned char b = *p;
    if (b < 0x80) return (b == 0x20 || (b >= 0x09 && b <= 0x0D)) ? 1 : 0;
    const std::ptrdiff_t left = end - p;
    switch (b) {
        case 0xC2:  // U+0085, U+00A0
            return (left >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) ? 2 : 0;
        case 0xE1:  // U+1680
            return (left >= 3 && p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
        case 0xE2:
            if (left < 3) return 0;
            if (p[1] == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
                const unsigned char c = p[2];
                return ((c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF) ? 3 : 0;
            }
            return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : 0;  // U+205F
        case 0xE3:                                          // U+3000
            return (left >= 3 && p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

#if defined(FENWA_SIMD)
// Bit i set when a White_Space character starts at p + i, for the sixteen
// positions from p; reads p[0..17]. A match needs a lead or ASCII byte, so
// continuation bytes never match.
inline unsigned white_space_starts(const unsigned char* p) noexcept {
    using simd::Bytes;
    using simd::splat;
    using simd::top_bits;
    const Bytes v0 = simd::load(p);
    // Signed compares: bytes from 0x80 up are negative, so never in 0x09..0x0D.
    const Bytes ascii = (v0 == splat(0x20)) | (simd::greater_signed(v0, splat(0x08)) &
                                               simd::less_signed(v0, splat(0x0E)));
    if (!top_bits(v0)) return top_bits(ascii);
    // Lead bytes C2, E1, E2, E3 are the only ones that can start one.
    const Bytes c2_lead = v0 == splat(0xC2);
    const Bytes e1_lead = v0 == splat(0xE1);
    const Bytes e2_lead = v0 == splat(0xE2);
    const Bytes e3_lead = v0 == splat(0xE3);
    if (!top_bits((c2_lead | e1_lead) | (e2_lead | e3_lead))) return top_bits(ascii);
    const Bytes v1 = simd::load(p + 1);
    const Bytes v2 = simd::load(p + 2);
    // U+0085, U+00A0
    const Bytes c2 = c2_lead & ((v1 == splat(0x85)) | (v1 == splat(0xA0)));
    // U+1680
    const Bytes e1 = e1_lead & ((v1 == splat(0x9A)) & (v2 == splat(0x80)));
    // U+2000..U+200A, U+2028, U+2029, U+202F: E2 80 followed by 80..8A, A8, A9, AF.
    const Bytes t2 = v2 ^ splat(0x80);
    const Bytes range = simd::greater_signed(t2, splat(0xFF)) & simd::less_signed(t2, splat(0x0B));
    const Bytes tail = (range | (v2 == splat(0xAF))) | ((v2 == splat(0xA8)) | (v2 == splat(0xA9)));
    const Bytes e2 = e2_lead & (((v1 == splat(0x80)) & tail) |
                                ((v1 == splat(0x81)) & (v2 == splat(0x9F))));  // U+205F
    // U+3000
    const Bytes e3 = e3_lead & ((v1 == splat(0x80)) & (v2 == splat(0x80)));
    return top_bits((ascii | c2) | (e1 | (e2 | e3)));
}
#endif

// Calls `on_word(std::string_view)` for every maximal run of non-White_Space
// characters, in text order.
template <class OnWord>
void for_each_word(std::string_view text, OnWord&& on_word) {
    const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = begin + text.size();
    const auto* p = begin;
    // The current word starts at `start`; it is a word once it is not empty.
    const unsigned char* start = begin;
    auto emit = [&](const unsigned char* stop) {
        on_word(std::string_view(reinterpret_cast<const char*>(start),
                                 static_cast<std::size_t>(stop - start)));
    };
#if defined(FENWA_SIMD)
    // Sixteen positions at a time: a bit mask of where White_Space characters
    // start; the runs between them are the words (or pieces of them).
    for (; end - p >= 18; p += 16) {
        unsigned ws = white_space_starts(p);
        while (ws) {
            const unsigned char* const at = p + std::countr_zero(ws);
            ws &= ws - 1;
            if (at < start) continue;  // inside a separator already consumed
            if (at > start) emit(at);
            start = at + white_space_length(at, end);
        }
    }
    if (p < start) p = start;
#endif
    while (p < end) {
        // Continuation bytes never start a separator, so stepping one byte at a
        // time is exact.
        if (*p > 0x20 && *p < 0x80) {
            ++p;
            continue;
        }
        const std::size_t ws = white_space_length(p, end);
        if (ws) {
            if (p > start) emit(p);
            p += ws;
            start = p;
        } else {
            ++p;
        }
    }
    if (end > start) emit(end);
}

// The words of `text` as views into it.
inline std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    for_each_word(text, [&](std::string_view w) { words.push_back(w); });
    return words;
}

}  // namespace fenwa::text
