// The flood report: repetition metrics of one text, each a fraction in [0, 1],
// from a single tokenisation pass at expected O(n) cost.
//
// Characters are Unicode code points. Tokens are the maximal runs of
// non-White_Space characters; C is the number of characters inside tokens (the
// text without its White_Space). Every token is compared in its normalised form
// (see `normalise_token`), so log lines, records and spam that differ only in
// counters, ids or timestamps compare alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fenwa::flood {

// Shortest token (in characters) whose character shingles are scanned, and the
// width of those shingles (in characters, a run of decimal digits counting as
// one). Sixteen characters span a record's field names and its separators, so
// compact records and CJK phrases repeat them, while identifiers that share a
// package prefix (stack frames, paths) rarely repeat that much of one another.
inline constexpr std::size_t kLongToken = 32;
inline constexpr std::size_t kCharShingle = 16;
// Longest repeated unit (in bytes) of the run metric, and the least number of
// bytes a run must extend past its first unit to count.
inline constexpr std::size_t kMaxPeriod = 32;
inline constexpr std::size_t kMinRunExtent = 128;
// Shingle width of the normalised-token saturation.
inline constexpr std::size_t kTokenShingle = 8;

struct Metrics {
    // Lines are the token sequences between line feeds, paragraphs those between
    // gaps holding two or more line feeds; a line or paragraph without tokens does
    // not count. A duplicate is one equal to an earlier one.
    double dup_line_frac = 0;       // duplicate lines / lines
    double dup_para_frac = 0;       // duplicate paragraphs / paragraphs
    double dup_line_char_frac = 0;  // characters of duplicate lines / C
    double dup_para_char_frac = 0;  // characters of duplicate paragraphs / C
    // n = 2, 3, 4: the characters of the tokens covered by the occurrences of the
    // most frequent n-gram (occurring at least twice; ties to the earliest) / C.
    double top_ngram_char_frac[3] = {0, 0, 0};
    // n = 5 .. 10: the characters of the tokens covered by n-grams that repeat an
    // earlier n-gram / C.
    double dup_ngram_char_frac[6] = {0, 0, 0, 0, 0, 0};
    // Of the N - 7 overlapping 8-token shingles, the fraction that repeat an
    // earlier one (0 below 16 tokens).
    double token_saturation = 0;
    // The same over the tokens as written (not normalised): verbatim repetition.
    double raw_token_saturation = 0;
    // Character shingles of tokens of at least kLongToken characters, with each
    // run of decimal digits read as one placeholder character: the number that
    // repeat an earlier one (in any such token) / C.
    double char_saturation = 0;
    // The characters of the longest run of one unit of 1 to kMaxPeriod bytes
    // repeated back to back / the characters of the whole text.
    double longest_run_frac = 0;
    // The occurrences of the most frequent (normalised) word 4-gram: how many
    // times the text repeats its commonest template. 0 below 4 tokens.
    std::uint64_t repeats = 0;
};

// `text` is valid UTF-8.
Metrics flood_metrics(std::string_view text);

// The normalised form of one token: a UUID (8-4-4-4-12 hex digits) becomes one
// placeholder, a run of 8 or more hex digits another, and a run of decimal
// digits a third. The placeholders are bytes that never occur in UTF-8 (0xFA,
// 0xF9, 0xF8), so no text normalises to them. Digit runs collapsing makes every
// ISO-8601 timestamp of one layout, and every IPv4 address, normalise alike.
void normalise_token(std::string_view token, std::string& out);

}  // namespace fenwa::flood
