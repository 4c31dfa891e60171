// The content hash (SipHash-1-3, zero key, text bytes then 0xFF) against the
// vectors in tests/data/siphash13.txt, whole and fed in uneven pieces.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>

#include "check.hpp"
#include "context_apoptosis/siphash.hpp"
#include "context_apoptosis/siphash_x4.hpp"

namespace {

std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// Four strings at once, at every mix of lengths around the block size, equal
// the one-at-a-time hashes (on machines without the vector path, the fallback
// is checked instead).
void four_lanes() {
    std::string buf(200 + 8, '\0');
    for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<char>(i * 37 + 11);
    const auto* base = reinterpret_cast<const unsigned char*>(buf.data());
    std::uint32_t seed = 1;
    auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    for (int round = 0; round < 3000; ++round) {
        const unsigned char* p[4];
        std::size_t n[4];
        for (int k = 0; k < 4; ++k) {
            n[k] = round < 400 ? static_cast<std::size_t>((round / (k + 1)) % 41) : next() % 120;
            p[k] = base + next() % (200 - n[k]);
        }
        std::uint64_t out[4];
        fenwa::sip13_padded_x4(p, n, out);
        for (int k = 0; k < 4; ++k) {
            fenwa::SipHash13 h;
            h.write(p[k], n[k]);
            CHECK(out[k] == h.finish());
        }
    }
}

}  // namespace

int main() {
    std::ifstream in(fenwa::test::data_path("siphash13.txt"));
    CHECK(in.good());
    std::string line;
    int vectors = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto tab = line.find('\t');
        CHECK(tab != std::string::npos);
        if (tab == std::string::npos) continue;
        const std::string text = unhex(line.substr(0, tab));
        const std::uint64_t expected = std::stoull(line.substr(tab + 1));
        CHECK(fenwa::text_hash(text) == expected);

        // The streaming form must not depend on how the bytes arrive.
        for (std::size_t step = 1; step <= 9; ++step) {
            fenwa::SipHash13 h;
            for (std::size_t i = 0; i < text.size(); i += step) {
                h.write(text.data() + i, std::min(step, text.size() - i));
            }
            h.write_byte(0xFF);
            CHECK(h.finish() == expected);
        }
        ++vectors;
    }
    CHECK(vectors >= 30);
    four_lanes();
    return TEST_MAIN_RESULT();
}
