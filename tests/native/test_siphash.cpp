// The content hash (SipHash-1-3, zero key, text bytes then 0xFF) against the
// vectors in tests/data/siphash13.txt, whole and fed in uneven pieces.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>

#include "check.hpp"
#include "context_apoptosis/siphash.hpp"

namespace {

std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
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
    return TEST_MAIN_RESULT();
}
