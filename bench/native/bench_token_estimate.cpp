// Nanoseconds per character of the token estimate's kernel at every dispatch
// level this processor runs, in the same run, on texts shaped like a coding
// agent's history (bench/bench_host.py's): tool results of code, log words and
// timestamps, English chat, one chat text in ten with accented, Cyrillic and
// CJK words. Texts are Latin-1 units (what CPython holds for ASCII text) and,
// separately, UTF-8 bytes.
//
// Arguments: the number of runs (7), and a level's name to time only that one.
// Output: one line per level, "<level> <latin1 ns/char> <utf8 ns/char>", the
// best of several runs; a mismatch of any level's features with the first
// level's fails the run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host_trim/token_estimate.hpp"

namespace ht = fenwa::host_trim;

namespace {

std::vector<std::string> make_texts() {
    const std::vector<std::string> english = {
        "checkout", "latency", "cache",  "pricing", "retry", "the",  "a",     "is", "slow",
        "because",  "of",      "config", "ttl",     "redis", "test", "fails", "on", "ci"};
    const std::vector<std::string> other = {"migra\xc3\xa7\xc3\xa3o",
                                            "c\xc3\xb3"
                                            "digo",
                                            "lenteur",
                                            "\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87",
                                            "\xe6\x97\xa5\xe5\xbf\x97",
                                            "na\xc3\xafve",
                                            "Schl\xc3\xbcssel"};
    const std::vector<std::string> code = {"def",
                                           "return",
                                           "self",
                                           "None",
                                           "import",
                                           "(",
                                           ")",
                                           ":",
                                           "=",
                                           "if",
                                           "for",
                                           "in",
                                           "ERROR",
                                           "INFO",
                                           "2026-12-08T09:12:03Z",
                                           "pricing.rules",
                                           "cache_miss",
                                           "1620ms"};
    std::uint64_t state = 0x2545F4914F6CDD1Du;
    auto next = [&](std::uint64_t n) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state % n;
    };
    auto text = [&](std::uint64_t lo, std::uint64_t hi, const std::vector<std::string>& words) {
        const std::uint64_t size = lo + next(hi - lo + 1);
        std::string out;
        while (out.size() < size) {
            if (!out.empty()) out += ' ';
            out += words[next(words.size())];
        }
        return out;
    };
    std::vector<std::string> mixed = english;
    mixed.insert(mixed.end(), other.begin(), other.end());
    std::vector<std::string> texts;
    for (int k = 0; k < 3000; ++k) {
        texts.push_back(text(40, 300, next(10) == 0 ? mixed : english));
        for (std::uint64_t c = next(4); c > 0; --c) texts.push_back(text(200, 4000, code));
        texts.push_back(text(60, 600, next(10) == 0 ? mixed : english));
    }
    return texts;
}

// The texts as Latin-1 units when every code point fits (UTF-8 decoded; the
// others are left out of the Latin-1 column).
std::vector<std::vector<std::uint8_t>> latin1_of(const std::vector<std::string>& texts) {
    std::vector<std::vector<std::uint8_t>> out;
    for (const std::string& t : texts) {
        std::vector<std::uint8_t> units;
        bool fits = true;
        for (std::size_t i = 0; i < t.size() && fits; ++i) {
            const auto b = static_cast<unsigned char>(t[i]);
            if (b < 0x80) {
                units.push_back(b);
            } else if ((b == 0xC2 || b == 0xC3) && i + 1 < t.size()) {
                units.push_back(static_cast<std::uint8_t>(((b & 0x03u) << 6) | (t[i + 1] & 0x3F)));
                ++i;
            } else {
                fits = false;
            }
        }
        if (fits) out.push_back(std::move(units));
    }
    return out;
}

template <class F>
double best_seconds(F&& f, int runs) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
        best = std::min(best, dt.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
    const std::vector<std::string> texts = make_texts();
    const std::vector<std::vector<std::uint8_t>> latin1 = latin1_of(texts);
    std::size_t utf8_chars = 0, latin1_chars = 0;
    for (const std::string& t : texts)
        for (char c : t) utf8_chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    for (const auto& t : latin1) latin1_chars += t.size();

    ht::TokenFeatures first_latin1{}, first_utf8{};
    bool have_first = false;
    int status = 0;
    for (const ht::TokenKernel level : ht::kTokenKernels) {
        if (argc > 2 && std::strcmp(argv[2], ht::token_kernel_name(level)) != 0) continue;
        if (!ht::force_token_kernel(level)) continue;
        ht::TokenFeatures sum_latin1{}, sum_utf8{};
        auto run_latin1 = [&] {
            sum_latin1 = {};
            for (const auto& t : latin1) {
                const ht::TokenFeatures f = ht::token_features_latin1(t.data(), t.size());
                for (std::size_t k = 0; k < f.size(); ++k) sum_latin1[k] += f[k];
            }
        };
        auto run_utf8 = [&] {
            sum_utf8 = {};
            for (const std::string& t : texts) {
                const ht::TokenFeatures f = ht::token_features_utf8(
                    reinterpret_cast<const unsigned char*>(t.data()), t.size());
                for (std::size_t k = 0; k < f.size(); ++k) sum_utf8[k] += f[k];
            }
        };
        const double l = best_seconds(run_latin1, runs);
        const double u = best_seconds(run_utf8, runs);
        if (!have_first) {
            first_latin1 = sum_latin1;
            first_utf8 = sum_utf8;
            have_first = true;
        } else if (sum_latin1 != first_latin1 || sum_utf8 != first_utf8) {
            std::printf("%s: features differ from the first level\n", ht::token_kernel_name(level));
            status = 1;
        }
        std::printf("%s %.3f %.3f\n", ht::token_kernel_name(level), l * 1e9 / latin1_chars,
                    u * 1e9 / utf8_chars);
    }
    ht::force_token_kernel(ht::TokenKernel::kAuto);
    return status;
}
