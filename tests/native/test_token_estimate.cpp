// The token estimate's kernel on its own: feature counts of small texts worked
// out by hand, the same counts through every code-unit width, and the rounding
// and saturation of the dot product.
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "host_trim/token_estimate.hpp"

namespace ht = fenwa::host_trim;

namespace {

ht::TokenFeatures utf8(const std::string& s) {
    return ht::token_features_utf8(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

void ascii_classes_and_runs() {
    // "HTTPServer 12ab  x\n\t!?": letters 13, words 3 (HTTPServer, ab, x), one case
    // switch (P->e after two uppers), digits 2 in one run, spaces 3 with one run
    // of two, a newline, a tab, punctuation 2 in one run.
    const ht::TokenFeatures f = utf8("HTTPServer 12ab  x\n\t!?");
    CHECK(f[ht::kLetters] == 13);
    CHECK(f[ht::kWords] == 3);
    CHECK(f[ht::kCaseSwitches] == 1);
    CHECK(f[ht::kDigits] == 2 && f[ht::kDigitRuns] == 1);
    CHECK(f[ht::kSpaces] == 3 && f[ht::kSpaceRuns] == 1);
    CHECK(f[ht::kNewlines] == 1 && f[ht::kOtherSpace] == 1);
    CHECK(f[ht::kPunctuation] == 2 && f[ht::kPunctuationRuns] == 1);
    // camelCase: one switch lower->upper; ABC alone: none.
    CHECK(utf8("camelCase")[ht::kCaseSwitches] == 1);
    CHECK(utf8("ABC")[ht::kCaseSwitches] == 0);
}

void multi_byte_groups_by_lead_byte() {
    struct Case {
        std::u32string text;
        std::size_t group;
    };
    // One character from each lead-byte range, and both ends of two ranges.
    const std::vector<Case> cases = {
        {U"\u00e9", 0}, {U"\u037f", 0}, {U"\u0380", 1}, {U"\u03c9", 1},
        {U"\u0416", 2}, {U"\u05d0", 3}, {U"\u0627", 3}, {U"\u0915", 4},
        {U"\u0e01", 4}, {U"\u10d0", 5}, {U"\u1200", 5}, {U"\u2014", 6},
        {U"\u4e2d", 7}, {U"\uac00", 8}, {U"\ufe0f", 9}, {U"\U0001F600", 10},
    };
    for (const Case& c : cases) {
        const auto* units = reinterpret_cast<const std::uint32_t*>(c.text.data());
        const ht::TokenFeatures f = ht::token_features_ucs4(units, c.text.size());
        CHECK(f[ht::kMultiByte + c.group] == 1);
        CHECK(f[ht::kNonAsciiRuns] == 1);
    }
    // "é" then "a": a mixed word; two non-ASCII characters in a row are one run.
    const ht::TokenFeatures f = utf8(
        "\xc3\xa9"
        "a \xd0\x96\xd0\x96");
    CHECK(f[ht::kMixedWords] == 1 && f[ht::kNonAsciiRuns] == 2 && f[ht::kMultiByte + 2] == 2);
}

void widths_agree() {
    const std::u32string text = U"caf\u00e9 \u041c\u0438\u0440 \U0001F600 x1";
    std::string bytes;
    std::vector<std::uint16_t> ucs2;
    for (char32_t c : text) {
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if (c < 0x800) {
            bytes += static_cast<char>(0xC0 | (c >> 6));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes += static_cast<char>(0xE0 | (c >> 12));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes += static_cast<char>(0xF0 | (c >> 18));
            bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    const auto* units = reinterpret_cast<const std::uint32_t*>(text.data());
    CHECK(utf8(bytes) == ht::token_features_ucs4(units, text.size()));
    // Latin-1 and UCS-2 for the characters they hold.
    const std::vector<std::uint8_t> latin1 = {'c', 'a', 'f', 0xE9, ' ', 'x'};
    for (std::uint8_t b : latin1) ucs2.push_back(b);
    CHECK(ht::token_features_latin1(latin1.data(), latin1.size()) ==
          ht::token_features_ucs2(ucs2.data(), ucs2.size()));
    // A stray continuation byte and a truncated sequence count as one character each.
    const ht::TokenFeatures bad = utf8(
        "\x80"
        "a\xe4\xb8");
    CHECK(bad[ht::kMultiByte + 9] == 3 && bad[ht::kLetters] == 1);
}

void dot_product_rounds_and_saturates() {
    ht::TokenCoefficients w{};
    w[ht::kLetters] = 1 << 15;  // half a token per letter
    CHECK(ht::token_estimate(utf8(""), w) == 0);
    CHECK(ht::token_estimate(utf8("a"), w) == 1);  // 0.5 rounds up
    CHECK(ht::token_estimate(utf8("aa"), w) == 1);
    CHECK(ht::token_estimate(utf8("aaa"), w) == 2);  // 1.5 rounds up
    CHECK(ht::token_estimate(utf8("..."), w) == 1);  // never 0 for a text
    ht::TokenFeatures huge{};
    huge[ht::kLetters] = UINT64_MAX;
    CHECK(ht::token_estimate(huge, w) == INT64_MAX);
    ht::TokenCoefficients negative{};
    negative[ht::kLetters] = -(1 << 20);  // taken as 0
    CHECK(ht::token_estimate(utf8("abc"), negative) == 1);
}

}  // namespace

int main() {
    ascii_classes_and_runs();
    multi_byte_groups_by_lead_byte();
    widths_agree();
    dot_product_rounds_and_saturates();
    return TEST_MAIN_RESULT();
}
