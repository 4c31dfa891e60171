// The signal's text form: the intensity, formatted in integers, must equal the C
// library's exact "%.3f" of the same float (glibc prints the exact binary value,
// rounded half to even), across every exponent and the rounding boundaries.
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "check.hpp"
#include "hormonal_bus/signal.hpp"

namespace {

using fenwa::bus::format_intensity;

std::string reference(float f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(f));
    return buf;
}

float from_bits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

int mismatches = 0;
void compare(float f) {
    if (std::isnan(f) || std::isinf(f)) return;
    const std::string got = format_intensity(f);
    const std::string want = reference(f);
    if (got != want && ++mismatches <= 10) {
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        std::fprintf(stderr, "bits %08" PRIX32 ": %s, expected %s\n", bits, got.c_str(),
                     want.c_str());
    }
}

}  // namespace

int main() {
    // Every exponent, with the lowest, highest and random fractions, both signs.
    std::mt19937 rng(23);
    for (std::uint32_t biased = 0; biased < 255; ++biased) {
        for (std::uint32_t sign : {0u, 1u}) {
            const std::uint32_t head = (sign << 31) | (biased << 23);
            compare(from_bits(head));
            compare(from_bits(head | 1));
            compare(from_bits(head | 0x7FFFFF));
            for (int i = 0; i < 200; ++i) compare(from_bits(head | (rng() & 0x7FFFFF)));
        }
    }
    // Around every thousandth up to 64 (ties exist only where the thousandth's
    // binary expansion ends: n / 8), and the floats beside each.
    for (int n = 0; n <= 64000; ++n) {
        const float f = static_cast<float>(n / 1000.0);
        compare(f);
        compare(std::nextafter(f, 0.0f));
        compare(std::nextafter(f, 100.0f));
        compare(static_cast<float>((2 * n + 1) / 2000.0));
        compare(-f);
    }
    CHECK(mismatches == 0);
    CHECK(format_intensity(0.0625f) == "0.062");
    CHECK(format_intensity(0.1875f) == "0.188");
    CHECK(format_intensity(-0.0f) == "-0.000");
    CHECK(format_intensity(NAN) == "NaN");
    CHECK(format_intensity(-INFINITY) == "-inf");
    CHECK(fenwa::bus::format_signal({0xFFFFFFFFu, 0.5f}) ==
          "HormonalSignal(flags=0xFFFFFFFF, intensity=0.500)");
    CHECK(fenwa::bus::format_signal({0u, 1.0f}) == "HormonalSignal(flags=0x0, intensity=1.000)");
    return TEST_MAIN_RESULT();
}
