// The flood kernel on its own: token normalisation, metric values on small
// texts whose answers are known, and the range of every metric on noise.
#include <cstdint>
#include <random>
#include <string>

#include "check.hpp"
#include "flood_report/flood.hpp"

using fenwa::flood::flood_metrics;
using fenwa::flood::Metrics;

namespace {

std::string normal(const char* token) {
    std::string out;
    fenwa::flood::normalise_token(token, out);
    return out;
}

void normalisation() {
    const std::string digits(1, '\xF8'), hex(1, '\xF9'), uuid(1, '\xFA');
    CHECK(normal("abc") == "abc");
    CHECK(normal("id=42") == "id=" + digits);
    CHECK(normal("v1.22.333") == "v" + digits + "." + digits + "." + digits);
    CHECK(normal("deadbeef") == hex);
    CHECK(normal("deadbee") == "deadbee");
    CHECK(normal("ab12") == "ab" + digits);
    CHECK(normal("550e8400-e29b-41d4-a716-446655440000") == uuid);
    CHECK(normal("[550e8400-e29b-41d4-a716-446655440000]") == "[" + uuid + "]");
    // A twelfth-group overrun is no UUID: its leading run is a hex run.
    CHECK(normal("550e8400-e29b-41d4-a716-446655440000a") ==
          hex + "-e" + digits + "b-" + digits + "d" + digits + "-a" + digits + "-" + hex);
    CHECK(normal("\xE5\x9B\xBD"
                 "7") == "\xE5\x9B\xBD" + digits);
}

void known_values() {
    const Metrics empty = flood_metrics("");
    CHECK(empty.dup_line_frac == 0 && empty.longest_run_frac == 0 && empty.token_saturation == 0);

    const Metrics run = flood_metrics(std::string(8000, 'A'));
    CHECK(run.longest_run_frac == 1.0);
    CHECK(run.char_saturation == 7984.0 / 8000.0);  // 16-character shingles

    // Digit runs read as one character: "x" and a number, 40 times, is "x#"
    // 40 times, 65 shingles of two kinds.
    std::string numbered;
    for (int i = 0; i < 40; ++i) {
        numbered += 'x';
        numbered += std::to_string(i * 37);
    }
    const Metrics digits = flood_metrics(numbered);
    CHECK(digits.char_saturation == 63.0 / static_cast<double>(numbered.size()));

    std::string lines;
    for (int i = 0; i < 100; ++i) lines += "GET /item/" + std::to_string(i * 7) + " 200\n";
    const Metrics log = flood_metrics(lines);
    CHECK(log.dup_line_frac == 99.0 / 100.0);
    CHECK(log.dup_para_frac == 0);  // one paragraph
    CHECK(log.token_saturation == (300.0 - 7 - 3) / (300.0 - 7));
    CHECK(log.raw_token_saturation == 0);  // every shingle holds a new number
    CHECK(log.repeats == 99);              // "GET /item/# 200 GET", row into row

    // Sixteen copies of one token: 9 eight-token shingles, 8 repeats.
    std::string same;
    for (int i = 0; i < 16; ++i) same += "w ";
    const Metrics s = flood_metrics(same);
    CHECK(s.token_saturation == 8.0 / 9.0);
    CHECK(s.raw_token_saturation == 8.0 / 9.0);
    CHECK(s.repeats == 13);
    CHECK(flood_metrics("a b c").repeats == 0 && flood_metrics("a b c d").repeats == 1);
    CHECK(s.top_ngram_char_frac[0] == 1.0);
    CHECK(s.dup_ngram_char_frac[0] == 15.0 / 16.0);
}

void noise_stays_in_range() {
    std::mt19937_64 rng(7);
    const char* pieces[] = {
        "a", "b", " ", "\n", "\n\n", "1", "ff", "\xE6\x97\xA5", "\xF0\x9F\x98\x80", "-"};
    for (int round = 0; round < 200; ++round) {
        std::string text;
        const int len = static_cast<int>(rng() % 600);
        for (int i = 0; i < len; ++i) text += pieces[rng() % 10];
        const Metrics m = flood_metrics(text);
        const double values[] = {
            m.dup_line_frac,          m.dup_para_frac,          m.dup_line_char_frac,
            m.dup_para_char_frac,     m.top_ngram_char_frac[0], m.top_ngram_char_frac[2],
            m.dup_ngram_char_frac[0], m.dup_ngram_char_frac[5], m.token_saturation,
            m.raw_token_saturation,   m.char_saturation,        m.longest_run_frac};
        for (const double v : values) CHECK(v >= 0.0 && v <= 1.0);
    }
}

}  // namespace

int main() {
    normalisation();
    known_values();
    noise_stays_in_range();
    return TEST_MAIN_RESULT();
}
