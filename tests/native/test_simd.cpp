// The sixteen-byte vector paths (SSE2 on x86-64, NEON on AArch64) against plain
// loops over the same random bytes: the vector primitives, the White_Space start
// mask and word splitting, the equal-byte mask of the flood search, and widening
// copies of str units. Where neither instruction set exists only the scalar
// paths are built, and the kernel comparisons still hold.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "context_apoptosis/native_text.hpp"
#include "context_apoptosis/text.hpp"
#include "platform/simd.hpp"

namespace {

std::mt19937 rng(2023);

// Bytes drawn mostly from the ones the kernels look for (White_Space starts and
// their continuations, code punctuation, digits) and otherwise at random.
std::vector<unsigned char> random_bytes(std::size_t n) {
    static constexpr unsigned char kInteresting[] = {
        0x20, 0x09, 0x0A, 0x0D, 0x0E, 0x08, 0xC2, 0x85, 0xA0, 0xE1, 0x9A, 0x80,
        0xE2, 0x81, 0x8A, 0x8B, 0xA8, 0xA9, 0xAF, 0x9F, 0xE3, 0x7F, 0xFF, '(',
        ')',  ';',  '>',  '`',  '{',  '}',  '0',  '9',  '/',  ':',  'a'};
    std::vector<unsigned char> out(n);
    for (auto& b : out) {
        b = rng() % 3 ? kInteresting[rng() % sizeof kInteresting]
                      : static_cast<unsigned char>(rng() & 0xFF);
    }
    return out;
}

#if defined(FENWA_SIMD)
void primitives() {
    namespace simd = fenwa::simd;
    for (int round = 0; round < 2000; ++round) {
        const auto a = random_bytes(16);
        auto b = random_bytes(16);
        if (round % 4 == 0) b = a;  // all equal
        const simd::Bytes va = simd::load(a.data());
        const simd::Bytes vb = simd::load(b.data());
        unsigned top = 0, eq = 0, gt = 0, lt = 0;
        std::uint64_t sum = 0;
        for (int i = 0; i < 16; ++i) {
            top |= static_cast<unsigned>(a[i] >> 7) << i;
            eq |= static_cast<unsigned>(a[i] == b[i]) << i;
            gt |= static_cast<unsigned>(static_cast<signed char>(a[i]) >
                                        static_cast<signed char>(b[i]))
                  << i;
            lt |= static_cast<unsigned>(static_cast<signed char>(a[i]) <
                                        static_cast<signed char>(b[i]))
                  << i;
            sum += static_cast<unsigned char>(a[i] - b[i]);
        }
        CHECK(simd::top_bits(va) == top);
        CHECK(simd::top_bits(va == vb) == eq);
        CHECK(simd::top_bits(simd::greater_signed(va, vb)) == gt);
        CHECK(simd::top_bits(simd::less_signed(va, vb)) == lt);
        CHECK(simd::byte_sum(va - vb) == sum);
        CHECK(simd::top_bits((va == vb) | simd::greater_signed(va, vb)) == (eq | gt));
        CHECK(simd::top_bits((va == vb) & simd::greater_signed(va, vb)) == 0);
        CHECK(simd::top_bits(va ^ va) == 0);
        CHECK(simd::top_bits(simd::splat(0x80)) == 0xFFFF);
        CHECK(simd::byte_sum(simd::splat(0xFF)) == 16 * 255);
        CHECK(simd::byte_sum(simd::zero()) == 0);
    }
}

void white_space_mask() {
    for (int round = 0; round < 20000; ++round) {
        const auto bytes = random_bytes(18);
        const unsigned got = fenwa::text::white_space_starts(bytes.data());
        unsigned want = 0;
        for (int i = 0; i < 16; ++i) {
            // Three bytes are always readable from i < 16 within the 18.
            want |= static_cast<unsigned>(
                        fenwa::text::white_space_length(bytes.data() + i, bytes.data() + 18) != 0)
                    << i;
        }
        if (got != want) {
            std::fprintf(stderr, "round %d: mask %04x, expected %04x\n", round, got, want);
            CHECK(got == want);
            return;
        }
    }
}

void equal_mask() {
    for (int round = 0; round < 5000; ++round) {
        auto a = random_bytes(64);
        auto b = a;
        for (int k = 0; k < round % 9; ++k)
            b[rng() % 64] ^= static_cast<unsigned char>(1 + rng() % 255);
        std::uint64_t want = 0;
        for (int i = 0; i < 64; ++i) want |= static_cast<std::uint64_t>(a[i] == b[i]) << i;
        CHECK(fenwa::simd::equal_mask64(a.data(), b.data()) == want);
    }
}
#endif

// Words as a byte-at-a-time split on the White_Space characters finds them.
std::vector<std::string> reference_words(std::string_view text) {
    std::vector<std::string> out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    std::string word;
    while (p < end) {
        const std::size_t ws = fenwa::text::white_space_length(p, end);
        if (ws) {
            if (!word.empty()) out.push_back(word);
            word.clear();
            p += ws;
        } else {
            word += static_cast<char>(*p++);
        }
    }
    if (!word.empty()) out.push_back(word);
    return out;
}

// Random valid UTF-8 rich in White_Space characters.
std::string random_text(std::size_t pieces) {
    static const char* const kPieces[] = {" ",
                                          "\t",
                                          "\n",
                                          "\r\n",
                                          "\x0b",
                                          "\xC2\x85",
                                          "\xC2\xA0",
                                          "\xE1\x9A\x80",
                                          "\xE2\x80\x80",
                                          "\xE2\x80\x8A",
                                          "\xE2\x80\x8B",
                                          "\xE2\x80\xA8",
                                          "\xE2\x80\xA9",
                                          "\xE2\x80\xAF",
                                          "\xE2\x81\x9F",
                                          "\xE2\x81\xA0",
                                          "\xE3\x80\x80",
                                          "\xE3\x80\x81",
                                          "\xC2\xA9",
                                          "\xC3\xA9",
                                          "word",
                                          "x",
                                          "\xF0\x9F\x98\x80",
                                          "(){}",
                                          "12"};
    std::string out;
    for (std::size_t i = 0; i < pieces; ++i)
        out += kPieces[rng() % (sizeof kPieces / sizeof *kPieces)];
    return out;
}

void word_split() {
    for (int round = 0; round < 3000; ++round) {
        const std::string text = random_text(static_cast<std::size_t>(round % 97));
        std::vector<std::string> got;
        fenwa::text::for_each_word(text, [&](std::string_view w) { got.emplace_back(w); });
        if (got != reference_words(text)) {
            std::fprintf(stderr, "round %d: the words differ\n", round);
            CHECK(got == reference_words(text));
            return;
        }
    }
}

template <class From, class To>
void widening(fenwa::text::Width from, fenwa::text::Width to) {
    for (std::size_t n = 0; n < 80; ++n) {
        std::vector<From> src(n);
        for (auto& u : src) u = static_cast<From>(rng());
        std::vector<To> dst(n + 1, static_cast<To>(0x5A5A5A5A));
        const fenwa::text::TextView view{src.data(), n, from};
        char* const stop = fenwa::text::copy_units(reinterpret_cast<char*>(dst.data()), to, view);
        CHECK(stop == reinterpret_cast<char*>(dst.data() + n));
        for (std::size_t i = 0; i < n; ++i) CHECK(dst[i] == static_cast<To>(src[i]));
        CHECK(dst[n] == static_cast<To>(0x5A5A5A5A));  // nothing written past the end
    }
}

}  // namespace

int main() {
#if defined(FENWA_SIMD)
    primitives();
    white_space_mask();
    equal_mask();
#else
    std::printf("no vector instruction set on this target: scalar paths only\n");
#endif
    word_split();
    widening<std::uint8_t, std::uint16_t>(fenwa::text::Width::latin1, fenwa::text::Width::ucs2);
    widening<std::uint8_t, std::uint32_t>(fenwa::text::Width::latin1, fenwa::text::Width::ucs4);
    widening<std::uint16_t, std::uint32_t>(fenwa::text::Width::ucs2, fenwa::text::Width::ucs4);
    return TEST_MAIN_RESULT();
}
