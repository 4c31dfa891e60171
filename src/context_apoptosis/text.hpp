// Word splitting on the fixed Unicode White_Space set, shared by the effort
// gauge, the saturation scan and the digests of the context window.
#pragma once

#include <bit>
#include <cstddef>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Calls `on_word(std::string_view)` for every maximal run of non-White_Space
// characters, in text order.
template <class OnWord>
void for_each_word(std::string_view text, OnWord&& on_word) {
    const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = begin + text.size();
    const auto* p = begin;
    const unsigned char* word = nullptr;
    auto emit = [&](const unsigned char* stop) {
        on_word(std::string_view(reinterpret_cast<const char*>(word),
                                 static_cast<std::size_t>(stop - word)));
        word = nullptr;
    };
    while (p < end) {
#if defined(__SSE2__)
        // Sixteen ASCII bytes at a time: a bit mask of the White_Space bytes, whose
        // runs of clear bits are the words (or pieces of them).
        if (end - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            if (_mm_movemask_epi8(v) == 0) {
                const __m128i space = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x20));
                const __m128i control = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x08)),
                                                      _mm_cmplt_epi8(v, _mm_set1_epi8(0x0E)));
                const unsigned ws =
                    static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(space, control)));
                unsigned i = 0;
                while (i < 16) {
                    if (word) {
                        const unsigned rest = ws >> i;
                        if (!rest) break;
                        i += static_cast<unsigned>(std::countr_zero(rest));
                        emit(p + i);
                        ++i;
                    } else {
                        const unsigned rest = (~ws & 0xFFFFu) >> i;
                        if (!rest) break;
                        i += static_cast<unsigned>(std::countr_zero(rest));
                        word = p + i;
                        ++i;
                    }
                }
                p += 16;
                continue;
            }
        }
#endif
        // ASCII non-space bytes are the common case: skip them without the switch.
        if (*p > 0x20 && *p < 0x80) {
            if (!word) word = p;
            ++p;
            continue;
        }
        const std::size_t ws = white_space_length(p, end);
        if (ws) {
            if (word) emit(p);
            p += ws;
        } else {
            if (!word) word = p;
            ++p;
        }
    }
    if (word) emit(end);
}

// The words of `text` as views into it.
inline std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    for_each_word(text, [&](std::string_view w) { words.push_back(w); });
    return words;
}

}  // namespace fenwa::text
