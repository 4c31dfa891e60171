// The token estimate of fenwa_host: one pass over a text counts its characters by
// class (ASCII letters, digits, spaces, newlines, punctuation; multi-byte
// characters by the script range of their UTF-8 lead byte) and its runs and
// switches (words, digit runs, case switches). The estimate is the dot product
// of those counts with a tokenizer family's fixed-point coefficients, which
// fenwa_host.tokens owns and passes in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace fenwa::host_trim {

// Feature slots, in the order of the coefficient tables.
enum TokenFeature : std::size_t {
    kLetters,       // ASCII letters
    kWords,         // runs of ASCII letters
    kCaseSwitches,  // lower->upper, or upper->lower after two uppers, inside a run
    kDigits,
    kDigitRuns,
    kMixedWords,  // an ASCII letter right after a non-ASCII character
    kSpaces,
    kSpaceRuns,  // runs of two or more spaces (counted once, at the second)
    kNewlines,
    kOtherSpace,   // tab, carriage return, other ASCII controls
    kPunctuation,  // other printable ASCII
    kPunctuationRuns,
    kMultiByte,  // 11 groups by lead byte: C2-CD, CE-CF, D0-D4, D5-DF, E0, E1,
                 // E2, E3-E9, EA-ED, EE-EF, F0-F4
    kNonAsciiRuns = kMultiByte + 11,
    kTokenFeatureCount,
};

// Coefficients are in units of 2^-kTokenScaleBits tokens.
inline constexpr int kTokenScaleBits = 16;

using TokenFeatures = std::array<std::uint64_t, kTokenFeatureCount>;
using TokenCoefficients = std::array<std::int64_t, kTokenFeatureCount>;

// Counts the features of a sequence of code points fed one at a time.
class TokenScanner {
  public:
    void push(std::uint32_t code_point) noexcept;
    const TokenFeatures& features() const noexcept { return counts_; }
    // `n` more lower-case letters right after a lower-case letter.
    void add_lower(std::uint64_t n) noexcept {
        counts_[kLetters] += n;
        if (n) prev2_ = prev_;  // the class before the last is lower-case too
    }

  private:
    TokenFeatures counts_{};
    int prev_ = -1;   // class of the previous character
    int prev2_ = -1;  // and of the one before it
    std::uint64_t space_run_ = 0;
};

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
