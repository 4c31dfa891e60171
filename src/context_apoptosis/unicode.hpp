// The Unicode character data the effort gauge needs: full default lowercasing
// (with the Final_Sigma rule) and the alphanumeric test used to trim words.
// Tables are generated from the Unicode Character Database by
// tools/gen_unicode_tables.py; no Unicode library is involved.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fenwa::unicode {

// Version of the Unicode Character Database behind the tables ("15.0.0").
const char* version() noexcept;

bool is_alnum(char32_t cp) noexcept;  // Alphabetic, or general category Nd, Nl or No
bool is_cased(char32_t cp) noexcept;
bool is_case_ignorable(char32_t cp) noexcept;

// Decodes the character at p (valid UTF-8, p < end); sets `len` to its byte length.
inline char32_t decode(const unsigned char* p, std::size_t& len) noexcept {
    const unsigned char b = *p;
    if (b < 0x80) {
        len = 1;
        return b;
    }
    if (b < 0xE0) {
        len = 2;
        return (char32_t(b & 0x1F) << 6) | (p[1] & 0x3F);
    }
    if (b < 0xF0) {
        len = 3;
        return (char32_t(b & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    }
    len = 4;
    return (char32_t(b & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
           (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
}

// Writes the UTF-8 form of `cp` (at most 4 bytes) at `dst`; returns its length.
inline std::size_t encode(char32_t cp, unsigned char* dst) noexcept {
    if (cp < 0x80) {
        dst[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        dst[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        dst[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        dst[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        dst[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        dst[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    dst[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    dst[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    dst[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    dst[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

// Decodes the character that ends just before p (valid UTF-8, begin < p); sets
// `len` to its byte length.
inline char32_t decode_before(const unsigned char* begin, const unsigned char* p,
                              std::size_t& len) noexcept {
    const unsigned char* q = p - 1;
    while (q > begin && (*q & 0xC0) == 0x80) --q;
    return decode(q, len);
}

// The full lowercase of `text` (valid UTF-8), language-independent: every
// character replaced by its full lowercase mapping, capital sigma by final sigma
// where the Final_Sigma condition holds. Replaces the contents of `out`.
void to_lower(std::string_view text, std::string& out);

}  // namespace fenwa::unicode
