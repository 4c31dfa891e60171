// Word splitting on the fixed Unicode White_Space set, shared by the effort
// gauge, the saturation scan and the digests of the context window.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

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
        case 0xE3:  // U+3000
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
    while (p < end) {
        std::size_t ws;
        // ASCII non-space bytes are the common case: skip them without the switch.
        if (*p > 0x20 && *p < 0x80) {
            if (!word) word = p;
            ++p;
            continue;
        }
        ws = white_space_length(p, end);
        if (ws) {
            if (word) {
                on_word(std::string_view(reinterpret_cast<const char*>(word),
                                         static_cast<std::size_t>(p - word)));
                word = nullptr;
            }
            p += ws;
        } else {
            if (!word) word = p;
            ++p;
        }
    }
    if (word) {
        on_word(std::string_view(reinterpret_cast<const char*>(word),
                                 static_cast<std::size_t>(end - word)));
    }
}

// The words of `text` as views into it.
inline std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    for_each_word(text, [&](std::string_view w) { words.push_back(w); });
    return words;
}

}  // namespace fenwa::text
