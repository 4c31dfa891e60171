// The token estimate's kernel on its own, through each form of its block scan:
// feature counts of small texts worked out by hand, the same counts through
// every code-unit width and block position, and the rounding and saturation of
// the dot product.
#include <algorithm>
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
    // "HTTPServer 12ab  x\n\n\t!?": letters 13, words 3 (HTTPServer, ab, x), one
    // capitalised, one case switch (P->e after two uppers), one digit run of one
    // group after a space, 3 spaces with one run of two, one newline run, a tab, punctuation 2
    // in one run.
    const ht::TokenFeatures f = utf8("HTTPServer 12ab  x\n\n\t!?");
    CHECK(f[ht::kLetters] == 13);
    CHECK(f[ht::kWords] == 3 && f[ht::kCapitalised] == 1);
    CHECK(f[ht::kCaseSwitches] == 1);
    CHECK(f[ht::kDigitRuns] == 1 && f[ht::kDigitGroups] == 1);
    CHECK(f[ht::kSpacedDigits] == 1 && f[ht::kSpaces] == 3 && f[ht::kSpaceRuns] == 1);
    CHECK(f[ht::kNewlineRuns] == 1 && f[ht::kOtherSpace] == 1);
    CHECK(f[ht::kPunctuation] == 2 && f[ht::kPunctuationRuns] == 1);
    CHECK(f[ht::kRareLetters] == 2);  // the v and the x
    // camelCase: one switch lower->upper; ABC alone: none.
    CHECK(utf8("camelCase")[ht::kCaseSwitches] == 1);
    CHECK(utf8("ABC")[ht::kCaseSwitches] == 0);
    // Digits group by three from the start of their run: 1, 2, 3 and 4 groups.
    CHECK(utf8("7 123 1234 1234567 1234567890")[ht::kDigitGroups] == 1 + 1 + 2 + 3 + 4);
    // In "Pizza", "zz" and "za" are foreign pairs, "pi" and "iz" are not; in "the"
    // no pair is.
    CHECK(utf8("the")[ht::kForeignPairs] == 0);
    CHECK(utf8("Pizza")[ht::kForeignPairs] == 2);
}

void multi_byte_groups_by_code_point() {
    struct Case {
        std::u32string text;
        std::size_t group;
    };
    // Both ends of ranges that share a UTF-8 lead byte: Latin-1 signs and letters
    // (C2, C3), Ethiopic and Georgian (E1), Thai and Devanagari (E0), Russian and
    // the other Cyrillic letters (D0, D1).
    const std::vector<Case> cases = {
        {U"\u00a0", ht::kSymbols},  {U"\u00bf", ht::kSymbols},    {U"\u00c0", ht::kLatin},
        {U"\u036f", ht::kLatin},    {U"\u0370", ht::kGreek},      {U"\u040f", ht::kCyrillicOther},
        {U"\u0410", ht::kCyrillic}, {U"\u044f", ht::kCyrillic},   {U"\u0451", ht::kCyrillicOther},
        {U"\u05d0", ht::kHebrew},   {U"\u0627", ht::kArabic},     {U"\u0915", ht::kIndic},
        {U"\u0e01", ht::kThai},     {U"\u10d0", ht::kGeorgian},   {U"\u1100", ht::kHangul},
        {U"\u1200", ht::kEthiopic}, {U"\u1ea1", ht::kLatin},      {U"\u1f00", ht::kGreek},
        {U"\u2014", ht::kSymbols},  {U"\u4e2d", ht::kCjk},        {U"\uac00", ht::kHangul},
        {U"\ufe0f", ht::kCompat},   {U"\U0001F600", ht::kAstral},
    };
    for (const Case& c : cases) {
        const auto* units = reinterpret_cast<const std::uint32_t*>(c.text.data());
        const ht::TokenFeatures f = ht::token_features_ucs4(units, c.text.size());
        CHECK(f[c.group] == 1);
        CHECK(f[ht::kNonAsciiRuns] == 1);
    }
    // "caf\u00e9s x": the accented word counts its 5 characters, x none; two
    // non-ASCII characters in a row are one run.
    const ht::TokenFeatures f = utf8("caf\xc3\xa9s x \xd0\x96\xd0\x96");
    CHECK(f[ht::kAccentedWords] == 5 && f[ht::kNonAsciiRuns] == 2 && f[ht::kCyrillic] == 2);
}

// The 64-character blocks against one character at a time, at every offset of
// a run across a block boundary.
void blocks_agree_with_scalar() {
    const std::string pieces[] = {"Zebra", "1234567", "   ", "\n\n", "!?", "camelCaseXML", "\t"};
    for (std::size_t shift = 0; shift < 70; ++shift) {
        std::string text(shift, 'q');
        for (int k = 0; k < 40; ++k) text += pieces[(k * 7 + shift) % 7];
        ht::TokenScanner one;
        for (unsigned char c : text) one.push(c);
        CHECK(utf8(text) == one.features());
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        CHECK(ht::token_features_latin1(bytes, text.size()) == one.features());
        // An accented word that runs on through a whole ASCII block and past it.
        const std::string accented =
            std::string(shift, ' ') + "\xc3\xa9" + std::string(130, 'w') + " a";
        ht::TokenScanner two;
        for (std::size_t i = 0; i < shift; ++i) two.push(' ');
        two.push(0xE9);
        for (int i = 0; i < 130; ++i) two.push('w');
        two.push(' ');
        two.push('a');
        CHECK(utf8(accented) == two.features());
        CHECK(utf8(accented)[ht::kAccentedWords] == 131);
    }
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
    CHECK(bad[ht::kCompat] == 3 && bad[ht::kLetters] == 1);
}

// Random texts of every class, at every code-unit width the text fits in: the
// blocks (whole, partial, with non-ASCII units) against one unit at a time.
void widths_agree_with_scalar_on_random_texts() {
    const std::vector<std::uint32_t> pool = {
        'a',    'e',    'z',    'Z',    'Q',    'j',    '0',    '9',   ' ',    '\n',
        '\t',   '\r',   0,      0x7F,   '!',    '{',    '_',    0xA0,  0xE9,   0xD7,
        0xFF,   0x301,  0x416,  0x451,  0x5D0,  0x627,  0x915,  0xE01, 0x10D0, 0x1200,
        0x1EA1, 0x2014, 0x4E2D, 0xAC00, 0xD800, 0xFE0F, 0x1F600};
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int round = 0; round < 3000; ++round) {
        const std::size_t size = next() % 300;
        const std::uint32_t widest = round % 3 == 0 ? 0xFF : round % 3 == 1 ? 0xFFFF : 0x10FFFF;
        const bool mostly_ascii = round % 2 == 0;
        std::vector<std::uint32_t> text;
        while (text.size() < size) {
            std::uint32_t c = pool[next() % (mostly_ascii ? 17 : pool.size())];
            if (c > widest) c = 'x';
            const std::size_t repeat = 1 + next() % 5;
            for (std::size_t k = 0; k < repeat; ++k) text.push_back(c);
        }
        ht::TokenScanner one;
        for (std::uint32_t c : text) one.push(c);
        CHECK(ht::token_features_ucs4(text.data(), text.size()) == one.features());
        if (widest <= 0xFFFF) {
            const std::vector<std::uint16_t> ucs2(text.begin(), text.end());
            CHECK(ht::token_features_ucs2(ucs2.data(), ucs2.size()) == one.features());
        }
        if (widest <= 0xFF) {
            const std::vector<std::uint8_t> latin1(text.begin(), text.end());
            CHECK(ht::token_features_latin1(latin1.data(), latin1.size()) == one.features());
        }
    }
}

// Every ordered pair of ASCII letters (either case) and every byte at every
// position of a block, and letters among other bytes: each block form against
// one character at a time.
void every_letter_pair_at_every_position() {
    std::string letters;
    for (char c = 'a'; c <= 'z'; ++c) letters += {c, static_cast<char>(c - 0x20)};
    std::string all;  // "xy" for every x and y: every pair, inside and across them
    for (char x : letters)
        for (char y : letters) all += {x, y};
    std::uint64_t state = 0x243F6A8885A308D3u;
    auto next = [&]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::string mixed;  // words of random letters between other bytes
    for (int k = 0; k < 4000; ++k) {
        const auto r = next();
        mixed += (r & 7) ? letters[(r >> 8) % letters.size()] : " _1@\n\x7f["[(r >> 8) % 7];
    }
    std::string every_byte;  // every byte, twice in a row, and after each letter
    for (int b = 0; b < 256; ++b)
        every_byte += {static_cast<char>(b), static_cast<char>(b),
                       letters[static_cast<std::size_t>(b) % 52], static_cast<char>(b)};
    for (std::size_t shift = 0; shift < 64; ++shift) {
        // Latin-1 units as they are: bytes from 0x80 go through the blocks too.
        const std::string raw = std::string(shift, '.') + every_byte;
        ht::TokenScanner scalar;
        for (unsigned char c : raw) scalar.push(c);
        CHECK(ht::token_features_latin1(reinterpret_cast<const std::uint8_t*>(raw.data()),
                                        raw.size()) == scalar.features());
        for (const std::string* base : {&all, &mixed}) {
            const std::string text = std::string(shift, '.') + *base;
            ht::TokenScanner one;
            for (unsigned char c : text) one.push(c);
            CHECK(utf8(text) == one.features());
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
            CHECK(ht::token_features_latin1(bytes, text.size()) == one.features());
            // The same after a letter: the first pair of each block takes its first
            // letter from the block before.
            const std::string after = std::string(shift, 'q') + *base;
            ht::TokenScanner two;
            for (unsigned char c : after) two.push(c);
            CHECK(utf8(after) == two.features());
        }
    }
}

// push64 over blocks of any length from 1 to 64, one after another (the state
// carried between them: open runs, digit phases, words), against one unit at
// a time.
void blocks_of_any_length() {
    const std::vector<std::uint32_t> pool = {'1',  '2', '3',  'a',   'Z',    'q',    ' ',
                                             '\n', '.', 0xE9, 0x416, 0x4E2D, 0x1F600};
    std::uint64_t state = 0x13198A2E03707344u;
    auto next = [&]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::uint32_t> text;
        const bool digits = round % 2 == 0;  // long digit runs, cut anywhere
        while (text.size() < 400) {
            const std::uint32_t c = pool[next() % (digits ? 3 : pool.size())];
            for (std::uint64_t k = 1 + next() % (digits ? 9 : 4); k > 0; --k) text.push_back(c);
            if (digits && next() % 4 == 0) text.push_back(' ');
        }
        ht::TokenScanner one, blocks;
        for (std::uint32_t c : text) one.push(c);
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t n = std::min<std::size_t>(text.size() - at, 1 + next() % 64);
            std::uint8_t narrow[64] = {};
            for (std::size_t i = 0; i < n; ++i)
                narrow[i] = static_cast<std::uint8_t>(text[at + i] < 0x80 ? text[at + i] : 0x80);
            blocks.push64(narrow, text.data() + at, n);
            at += n;
        }
        CHECK(blocks.features() == one.features());
    }
}

void kernel_choice() {
    CHECK(!ht::token_kernel_available(ht::TokenKernel::kAuto));
    CHECK(ht::token_kernel_available(ht::TokenKernel::kPortable));
    CHECK(ht::force_token_kernel(ht::TokenKernel::kAuto));
    const ht::TokenKernel chosen = ht::token_kernel();
    CHECK(chosen != ht::TokenKernel::kAuto && ht::token_kernel_available(chosen));
    for (const ht::TokenKernel k : ht::kTokenKernels) {
        // One that cannot run here leaves the choice as it was.
        CHECK(ht::force_token_kernel(k) == ht::token_kernel_available(k));
        CHECK(ht::token_kernel() == (ht::token_kernel_available(k) ? k : chosen));
        ht::force_token_kernel(ht::TokenKernel::kAuto);
    }
#if defined(__x86_64__) || defined(_M_X64)
    CHECK(!ht::token_kernel_available(ht::TokenKernel::kNeon));
#elif defined(__aarch64__) || defined(_M_ARM64)
    CHECK(ht::token_kernel() == ht::TokenKernel::kNeon);
#endif
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
    // Either side of the bounds under which no sum can overflow (counts below
    // 2^26, coefficients below 2^31) gives the same exactly rounded sum.
    for (const std::uint64_t n : {(std::uint64_t{1} << 26) - 1, std::uint64_t{1} << 26}) {
        for (const std::int64_t c : {(std::int64_t{1} << 31) - 1, std::int64_t{1} << 31}) {
            ht::TokenFeatures f{};
            f[ht::kLetters] = n;
            f[ht::kAstral] = 3;
            ht::TokenCoefficients k{};
            k[ht::kLetters] = c;
            k[ht::kAstral] = 1 << 15;
            const std::uint64_t sum = n * static_cast<std::uint64_t>(c) + 3 * (1u << 15);
            const auto expected = static_cast<std::int64_t>((sum >> 16) + ((sum >> 15) & 1u));
            CHECK(ht::token_estimate(f, k) == expected);
        }
    }
}

}  // namespace

int main() {
    kernel_choice();
    // Everything through each block form this processor runs.
    for (const ht::TokenKernel k : ht::kTokenKernels) {
        if (!ht::force_token_kernel(k)) continue;
        ascii_classes_and_runs();
        multi_byte_groups_by_code_point();
        blocks_agree_with_scalar();
        every_letter_pair_at_every_position();
        blocks_of_any_length();
        widths_agree_with_scalar_on_random_texts();
        widths_agree();
    }
    ht::force_token_kernel(ht::TokenKernel::kAuto);
    dot_product_rounds_and_saturates();
    return TEST_MAIN_RESULT();
}
