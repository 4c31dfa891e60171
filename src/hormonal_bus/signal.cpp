#include "hormonal_bus/signal.hpp"

#include <charconv>
#include <cmath>

namespace fenwa::bus {

std::string format_intensity(float intensity) {
    if (std::isnan(intensity)) return "NaN";
    if (std::isinf(intensity)) return intensity < 0 ? "-inf" : "inf";
    // to_chars formats the exact binary value, correctly rounded with ties to
    // even; the largest float needs 39 integer digits.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, static_cast<double>(intensity),
                             std::chars_format::fixed, 3);
    return std::string(buf, res.ptr);
}

std::string format_signal(const Signal& signal) {
    char hex[9];
    auto res = std::to_chars(hex, hex + sizeof hex, signal.flags, 16);
    for (char* c = hex; c != res.ptr; ++c) {
        if (*c >= 'a' && *c <= 'f') *c = static_cast<char>(*c - 'a' + 'A');
    }
    std::string out = "HormonalSignal(flags=0x";
    out.append(hex, res.ptr);
    out += ", intensity=";
    out += format_intensity(signal.intensity);
    out += ')';
    return out;
}

}  // namespace fenwa::bus
