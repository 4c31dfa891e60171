// The token estimate of fenwa_host: one pass over a text counts its characters by
// class (ASCII letters, digits, spaces, newlines, punctuation; other characters
// by script, from a table over their code point) and its runs and switches
// (words, digit runs and groups of three digits, case switches, letter pairs that
// English seldom has, words with accented Latin letters). The estimate is the dot
// product of those counts with a tokenizer family's fixed-point coefficients,
// which fenwa_host.tokens owns and passes in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace fenwa::host_trim {

// Feature slots, in the order of the coefficient tables.
enum TokenFeature : std::size_t {
    kLetters,          // ASCII letters
    kWords,            // runs of ASCII letters
    kCaseSwitches,     // lower->upper, or upper->lower after two uppers, inside a run
    kCapitalised,      // runs of ASCII letters that start with an upper-case letter
    kDigitRuns,        //
    kDigitGroups,      // one per three digits of a run, from its start
    kSpacedDigits,     // digit runs right after a space (which stays a token of its own)
    kSpaces,           //
    kSpaceRuns,        // runs of two or more spaces (counted once, at the second)
    kNewlineRuns,      //
    kOtherSpace,       // tab, carriage return, other ASCII controls
    kPunctuation,      // other printable ASCII
    kPunctuationRuns,  //
    kForeignPairs,     // two ASCII letters in a row whose case-folded pair is in the table
    kRareLetters,      // j k q v w x y z, either case
    kAccentedWords,    // characters of words (ASCII letters and kLatin characters)
                       // that hold a kLatin character
    // Non-ASCII characters by code point:
    kSymbols,        // U+0080-U+00BF, U+2000-U+2FFF
    kLatin,          // U+00C0-U+036F, U+1E00-U+1EFF
    kGreek,          // U+0370-U+03FF, U+1F00-U+1FFF
    kCyrillic,       // U+0410-U+044F
    kCyrillicOther,  // U+0400-U+040F, U+0450-U+052F
    kHebrew,         // U+0530-U+05FF (with Armenian)
    kArabic,         // U+0600-U+08FF
    kIndic,          // U+0900-U+0DFF
    kThai,           // U+0E00-U+0FFF (with Lao, Tibetan)
    kGeorgian,       // U+1000-U+10FF (with Myanmar)
    kEthiopic,       // U+1200-U+1DFF
    kCjk,            // U+3000-U+9FFF
    kHangul,         // U+1100-U+11FF, U+A000-U+D7FF
    kCompat,         // U+D800-U+FFFF
    kAstral,         // U+10000 and up
    kNonAsciiRuns,   // runs of non-ASCII characters
    kTokenFeatureCount,
};

// Coefficients are in units of 2^-kTokenScaleBits tokens.
inline constexpr int kTokenScaleBits = 16;

using TokenFeatures = std::array<std::uint64_t, kTokenFeatureCount>;
using TokenCoefficients = std::array<std::int64_t, kTokenFeatureCount>;

// Counts the features of a sequence of code points fed one at a time, or 64
// ASCII characters at a time.
class TokenScanner {
  public:
    void push(std::uint32_t code_point) noexcept;
    // Exactly 64 characters, every one below 0x80: the same counts as pushing
    // them one by one, by bit masks of 64 characters.
    void push_ascii64(const std::uint8_t* chars) noexcept;
    // The first n (at most 64) of `units` (std::uint8_t, std::uint16_t or
    // std::uint32_t), `chars` the same narrowed to bytes, each unit from 0x80 to
    // a byte from 0x80, and 64 bytes long whatever n is. The same counts as
    // pushing the n units one by one.
    template <class Unit>
    void push64(const std::uint8_t* chars, const Unit* units, std::size_t n) noexcept;
    const TokenFeatures& features() const noexcept { return counts_; }

  private:
    friend struct TokenBlocks;
    // push64 in the form of one TokenKernel (its int value).
    template <int Kernel, class Unit>
    void scan64(const std::uint8_t* chars, const Unit* units, std::size_t n) noexcept;

    TokenFeatures counts_{};
    int prev_ = 8;   // class of the previous character (8: none)
    int prev2_ = 8;  // and of the one before it
    std::uint32_t prev_char_ = 0;
    unsigned digit_phase_ = 0;  // position, modulo 3, of the next digit of a run
    std::uint64_t word_ = 0;    // characters of the current word
    bool accented_ = false;     // whether the current word holds a kLatin character
};

// Which form of the 64-character block scan runs (they differ in how they count
// the foreign letter pairs and the bits of the masks).
// kAuto takes the fastest the processor runs, chosen once (the environment
// variable FENWA_TOKEN_KERNEL, "portable", "ssse3", "avx2" or "neon", can name another,
// for tests and benchmarks); every form gives the same counts.
enum class TokenKernel : int {
    kAuto,
    kPortable,  // one table lookup per letter pair, any processor
    kSsse3,     // x86-64 with SSSE3 and POPCNT: byte shuffles over 16 pairs at a time
    kAvx2,      // x86-64 with AVX2 and POPCNT: the masks and pairs 32 bytes at a time
    kNeon,      // AArch64: table lookups over 16 pairs at a time
};
inline constexpr TokenKernel kTokenKernels[] = {TokenKernel::kPortable, TokenKernel::kSsse3,
                                                TokenKernel::kAvx2, TokenKernel::kNeon};
bool token_kernel_available(TokenKernel kernel) noexcept;
// Makes every scan from now on use `kernel` (kAuto: the processor's choice
// again); false, and nothing changed, when this processor cannot run it. For
// tests and benchmarks: not meant to change while other threads scan.
bool force_token_kernel(TokenKernel kernel) noexcept;
TokenKernel token_kernel() noexcept;  // the one in use, never kAuto
const char* token_kernel_name(TokenKernel kernel) noexcept;

// The features of UTF-8 text (an invalid byte counts as one character of the
// compatibility group), of Latin-1, UCS-2 and UCS-4 code units.
TokenFeatures token_features_utf8(const unsigned char* data, std::size_t size) noexcept;
TokenFeatures token_features_latin1(const std::uint8_t* data, std::size_t size) noexcept;
TokenFeatures token_features_ucs2(const std::uint16_t* data, std::size_t size) noexcept;
TokenFeatures token_features_ucs4(const std::uint32_t* data, std::size_t size) noexcept;

// The estimate from features: the dot product rounded half up, at least 1 when
// any character was counted, 0 for an empty text. Saturates at INT64_MAX.
std::int64_t token_estimate(const TokenFeatures& features,
                            const TokenCoefficients& coefficients) noexcept;

}  // namespace fenwa::host_trim
