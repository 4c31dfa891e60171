// Fixed-width text: UTF-8 round trips at every width, widening copies against a
// plain loop, and the window's rendering when its sections differ in width.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "context_apoptosis/native_text.hpp"
#include "context_apoptosis/unicode.hpp"
#include "context_apoptosis/window.hpp"

namespace text = fenwa::text;
using text::Width;

namespace {

std::string utf8_of(std::uint32_t c) {
    unsigned char buf[4];
    return std::string(reinterpret_cast<const char*>(buf), fenwa::unicode::encode(c, buf));
}

std::uint32_t unit_at(const char* p, Width w, std::size_t i) {
    std::uint32_t v = 0;
    switch (text::unit_size(w)) {
        case 1:
            return static_cast<unsigned char>(p[i]);
        case 2: {
            std::uint16_t u;
            std::memcpy(&u, p + 2 * i, 2);
            return u;
        }
        default:
            std::memcpy(&v, p + 4 * i, 4);
            return v;
    }
}

// Random texts whose widest code point picks each width, at lengths around the
// sixteen-byte steps of the vector paths.
void round_trips() {
    std::mt19937 rng(3);
    const std::uint32_t tops[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
    for (int w = 0; w < 4; ++w) {
        for (std::size_t len = 0; len < 70; ++len) {
            std::vector<std::uint32_t> cps;
            std::string utf8;
            for (std::size_t i = 0; i < len; ++i) {
                std::uint32_t c = rng() % (tops[w] + 1);
                if (c >= 0xD800 && c < 0xE000) c = 'x';  // no surrogates in a str's UTF-8
                if (i == len / 2) c = tops[w] == 0x10FFFF ? 0x1F600 : tops[w];
                cps.push_back(c);
                utf8 += utf8_of(c);
            }
            const text::StoredText t = text::from_utf8(utf8);
            const text::TextView v = t.view();
            CHECK(v.length == len);
            CHECK(v.width == (len ? static_cast<Width>(w) : Width::ascii));
            for (std::size_t i = 0; i < len; ++i) {
                CHECK(unit_at(static_cast<const char*>(v.data), v.width, i) == cps[i]);
            }
            CHECK(text::to_utf8(v) == utf8);
            // Every wider form holds the same code points.
            for (int to = w; to < 4; ++to) {
                const Width tw = static_cast<Width>(to);
                std::vector<char> out(len * 4 + 8, 0x55);
                char* end = text::copy_units(out.data(), tw, v);
                CHECK(end == out.data() + len * text::unit_size(tw));
                CHECK(static_cast<unsigned char>(*end) == 0x55);  // nothing written beyond
                for (std::size_t i = 0; i < len; ++i) {
                    CHECK(unit_at(out.data(), tw, i) == cps[i]);
                }
            }
        }
    }
}

// Sections of different widths: the rendering is the UTF-8 of the sections
// joined as written, whichever section is the widest.
void mixed_width_render() {
    const char* samples[] = {"plain", "caf\xC3\xA9", "\xE4\xB8\xAD\xE6\x96\x87",
                             "ok \xF0\x9F\x98\x80"};
    for (const char* purpose : samples) {
        for (const char* fact : samples) {
            for (const char* block : samples) {
                fenwa::window::Window w(2.0f, 0.35f, 4, 4);
                w.set_purpose(std::string(purpose));
                w.ledger_append(std::string(fact));
                w.insert(block, fenwa::blocks::USER, std::nullopt);
                w.insert("tail", fenwa::blocks::USER, std::nullopt);
                const std::string expected =
                    std::string(purpose) + "\nSTATE:\n- " + fact + "\n" + block + "\ntail";
                CHECK(w.render() == expected);
                CHECK(w.active_context().at(0) == block);
                CHECK(w.state_entries().at(0) == fact);
            }
        }
    }
}

}  // namespace

int main() {
    round_trips();
    mixed_width_render();
    return TEST_MAIN_RESULT();
}
