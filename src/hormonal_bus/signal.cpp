#include "hormonal_bus/signal.hpp"

#include <array>
#include <cmath>
#include <cstddef>

#include "platform/bits.hpp"

namespace fenwa::bus {

namespace {

// Appends the decimal digits of `v`.
void append_decimal(std::string& out, std::uint64_t v) {
    char digits[20];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) out += digits[--n];
}

// Appends m * 2^e (an integer below 2^128: m < 2^24, e <= 104) in decimal, from
// limbs of nine decimal digits, least significant first.
void append_power_product(std::string& out, std::uint32_t m, int e) {
    constexpr std::uint64_t kBase = 1000000000;
    std::array<std::uint64_t, 5> limbs{m % kBase, m / kBase, 0, 0, 0};
    std::size_t used = limbs[1] ? 2 : 1;
    while (e > 0) {
        const int step = e < 29 ? e : 29;  // a limb times 2^29 stays below 2^59
        e -= step;
        std::uint64_t carry = 0;
        for (std::size_t i = 0; i < used; ++i) {
            const std::uint64_t v = (limbs[i] << step) + carry;
            limbs[i] = v % kBase;
            carry = v / kBase;
        }
        while (carry) {
            limbs[used++] = carry % kBase;
            carry /= kBase;
        }
    }
    append_decimal(out, limbs[used - 1]);
    for (std::size_t i = used - 1; i-- > 0;) {
        const std::uint64_t v = limbs[i];
        std::uint64_t scale = kBase / 10;
        for (int d = 0; d < 9; ++d, scale /= 10) out += static_cast<char>('0' + v / scale % 10);
    }
}

}  // namespace

std::string format_intensity(float intensity) {
    if (std::isnan(intensity)) return "NaN";
    if (std::isinf(intensity)) return intensity < 0 ? "-inf" : "inf";
    // The exact binary value m * 2^e in fixed point with three decimals, correctly
    // rounded with ties to even, computed in integers (no library formatting of
    // doubles, whose availability varies with the platform's C++ library).
    const auto bits = fenwa::bit_cast<std::uint32_t>(intensity);
    const std::uint32_t biased = (bits >> 23) & 0xFF;
    const std::uint32_t fraction = bits & 0x7FFFFF;
    const std::uint32_t m = biased ? fraction | 0x800000 : fraction;
    const int e = biased ? static_cast<int>(biased) - 150 : -149;
    std::string out;
    if (bits >> 31) out += '-';
    if (e >= 0) {
        // An integer: no fraction digits to round.
        append_power_product(out, m, e);
        out += ".000";
        return out;
    }
    // Thousandths: m * 1000 / 2^k, rounded. m * 1000 < 2^34, so from k = 35 on
    // the quotient is 0 and the remainder below half of 2^k.
    const int k = -e;
    const std::uint64_t scaled = std::uint64_t{m} * 1000;
    std::uint64_t thousandths = 0;
    if (k < 35) {
        thousandths = scaled >> k;
        const std::uint64_t rest = scaled & ((std::uint64_t{1} << k) - 1);
        const std::uint64_t half = std::uint64_t{1} << (k - 1);
        if (rest > half || (rest == half && (thousandths & 1))) ++thousandths;
    }
    append_decimal(out, thousandths / 1000);
    out += '.';
    const auto frac = static_cast<unsigned>(thousandths % 1000);
    out += static_cast<char>('0' + frac / 100);
    out += static_cast<char>('0' + frac / 10 % 10);
    out += static_cast<char>('0' + frac % 10);
    return out;
}

std::string format_signal(const Signal& signal) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    char hex[8];
    std::size_t n = 0;
    std::uint32_t flags = signal.flags;
    do {
        hex[n++] = kHex[flags & 0xF];
        flags >>= 4;
    } while (flags);
    std::string out = "HormonalSignal(flags=0x";
    while (n) out += hex[--n];
    out += ", intensity=";
    out += format_intensity(signal.intensity);
    out += ')';
    return out;
}

}  // namespace fenwa::bus
