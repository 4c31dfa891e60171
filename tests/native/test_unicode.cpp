// Kernel text primitives: lowercasing against the interpreter's str.lower (data
// file written by tools/gen_lowercase_cases.py), the alphanumeric trim, the word
// splitter's fast path against a plain one, and chunked SipHash streaming.
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "context_apoptosis/effort_gauge.hpp"
#include "context_apoptosis/siphash.hpp"
#include "context_apoptosis/text.hpp"
#include "context_apoptosis/unicode.hpp"

namespace {

using namespace fenwa;

std::string utf8(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

std::string unhex(const std::string& h) {
    std::string out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2) {
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    }
    return out;
}

std::string lower(std::string_view s) {
    std::string out;
    unicode::to_lower(s, out);
    return out;
}

void lowercase_matches_python() {
    std::ifstream in(test::data_path("lowercase_python.txt"));
    CHECK(in.good());
    std::string line;
    std::size_t code_points = 0, texts = 0, mismatches = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line.substr(2));
        std::string a, b;
        fields >> a >> b;
        if (line[0] == '=') {
            const auto first = static_cast<char32_t>(std::stoul(a, nullptr, 16));
            const auto last = static_cast<char32_t>(std::stoul(b, nullptr, 16));
            for (char32_t cp = first; cp <= last; ++cp, ++code_points) {
                const std::string s = utf8(cp);
                if (lower(s) != s && ++mismatches < 10)
                    std::fprintf(stderr, "U+%04X\n", unsigned(cp));
            }
        } else if (line[0] == '>') {
            ++code_points;
            const auto cp = static_cast<char32_t>(std::stoul(a, nullptr, 16));
            if (lower(utf8(cp)) != unhex(b) && ++mismatches < 10)
                std::fprintf(stderr, "U+%04X\n", unsigned(cp));
        } else if (line[0] == 's') {
            ++texts;
            if (lower(unhex(a)) != unhex(b) && ++mismatches < 10)
                std::fprintf(stderr, "text %s\n", a.c_str());
        }
    }
    CHECK(mismatches == 0);
    CHECK(code_points > 280000);  // every code point assigned in both versions
    CHECK(texts > 30);
}

void lowercase_cases() {
    CHECK(std::string(unicode::version()) == "15.0.0");
    CHECK(lower("") == "");
    CHECK(lower("Hello, WORLD 123 @[`{") == "hello, world 123 @[`{");
    CHECK(lower("\xC4\xB0") == "i\xCC\x87");  // U+0130 grows from 2 to 3 bytes
    // Σ at the end of a long run of case-ignorable marks after a cased letter.
    std::string marks = "A";
    for (int i = 0; i < 1000; ++i) marks += "\xCC\x81";
    CHECK(lower(marks + "\xCE\xA3") == "a" + marks.substr(1) + "\xCF\x82");
    CHECK(lower(marks + "\xCE\xA3" + marks) ==
          "a" + marks.substr(1) + "\xCF\x83" + "a" + marks.substr(1));
    // A text that mixes long ASCII runs and multi-byte characters.
    std::string mixed, expected;
    for (int i = 0; i < 50; ++i) {
        mixed += "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 \xC3\x87\xC3\x83O ";
        expected += "abcdefghijklmnopqrstuvwxyz0123456789 \xC3\xA7\xC3\xA3o ";
    }
    CHECK(lower(mixed) == expected);
}

void alnum_and_trim() {
    CHECK(unicode::is_alnum(U'a') && unicode::is_alnum(U'Z') && unicode::is_alnum(U'7'));
    CHECK(unicode::is_alnum(0x0345));   // Alphabetic combining mark
    CHECK(!unicode::is_alnum(0x0301));  // plain combining mark
    CHECK(unicode::is_alnum(0x0663) && unicode::is_alnum(0x00B2) && unicode::is_alnum(0x216B));
    CHECK(!unicode::is_alnum(U'_') && !unicode::is_alnum(0x00BF) && !unicode::is_alnum(0x110000));
    CHECK(unicode::is_cased(0x02B0) && unicode::is_case_ignorable(0x02B0));
    using analysers::trim_word;
    CHECK(trim_word("(def),") == "def");
    CHECK(trim_word("a/b") == "a/b");
    CHECK(trim_word("...") == "");
    CHECK(trim_word("") == "");
    CHECK(trim_word("\xC2\xBFqu\xC3\xA9?") == "qu\xC3\xA9");       // ¿qué?
    CHECK(trim_word("why\xCD\x85") == "why\xCD\x85");              // U+0345 stays
    CHECK(trim_word("why\xCC\x81") == "why");                      // U+0301 goes
    CHECK(trim_word("\xCC\x81\xD9\xA3x\xC2\xBF") == "\xD9\xA3x");  // U+0663 stops the trim
}

// The splitter against a plain character-by-character one on random texts
// mixing every White_Space character with ASCII and multi-byte characters.
void splitter_matches_plain() {
    const std::vector<std::string> pieces = {"a",
                                             "bc",
                                             "def",
                                             "0",
                                             "(",
                                             "\xC3\xA9",
                                             "\xE2\x80\x8B",
                                             "\x1C",
                                             "\x1F",
                                             "\x7F",
                                             "\xF0\x9F\x98\x80",
                                             "\t",
                                             "\n",
                                             "\x0B",
                                             "\x0C",
                                             "\r",
                                             " ",
                                             "  ",
                                             "\xC2\x85",
                                             "\xC2\xA0",
                                             "\xE1\x9A\x80",
                                             "\xE2\x80\x80",
                                             "\xE2\x80\x8A",
                                             "\xE2\x80\xA8",
                                             "\xE2\x80\xA9",
                                             "\xE2\x80\xAF",
                                             "\xE2\x81\x9F",
                                             "\xE3\x80\x80",
                                             "abcdefghijklmnopqrstuvwxyz",
                                             "x y z w v u t s r q p o n m l k"};
    const std::vector<std::string> spaces(pieces.begin() + 11, pieces.begin() + 28);
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
        std::vector<std::string> expected;
        std::string cur;
        for (std::size_t i = 0; i < text.size();) {
            bool is_space = false;
            for (const std::string& s : spaces) {
                if (s != "  " && text.compare(i, s.size(), s) == 0) {
                    is_space = true;
                    i += s.size();
                    break;
                }
            }
            if (is_space) {
                if (!cur.empty()) expected.push_back(cur);
                cur.clear();
            } else {
                cur += text[i++];
            }
        }
        if (!cur.empty()) expected.push_back(cur);
        const auto words = text::split_words(text);
        CHECK(words.size() == expected.size());
        for (std::size_t i = 0; i < words.size() && i < expected.size(); ++i)
            CHECK(words[i] == expected[i]);
    }
}

// Writing a stream in any chunking gives the hash of writing it byte by byte.
void siphash_chunking() {
    std::mt19937 rng(11);
    for (int round = 0; round < 2000; ++round) {
        std::string data(rng() % 80, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        SipHash13 bytewise, chunked;
        for (unsigned char c : data) bytewise.write_byte(c);
        for (std::size_t i = 0; i < data.size();) {
            const std::size_t n = std::min<std::size_t>(rng() % 12, data.size() - i);
            chunked.write(data.data() + i, n);
            i += n;
        }
        CHECK(bytewise.finish() == chunked.finish());
    }
    SipHash13 a, b;
    a.write_text("ab");
    a.write_text("c");
    b.write_text("a");
    b.write_text("bc");
    CHECK(a.finish() != b.finish());
}

}  // namespace

int main() {
    lowercase_matches_python();
    lowercase_cases();
    alnum_and_trim();
    splitter_matches_plain();
    siphash_chunking();
    return TEST_MAIN_RESULT();
}
