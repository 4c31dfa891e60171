// The hormonal signal value: a channel mask and an intensity.
#pragma once

#include <cstdint>
#include <string>

namespace fenwa::bus {

struct Signal {
    std::uint32_t flags;
    float intensity;
};

// "HormonalSignal(flags=0x2A, intensity=0.500)": the mask in upper-case hex, the
// exact float value in fixed point with three decimals (ties to even), "NaN",
// "inf" or "-inf" for the non-finite values.
std::string format_signal(const Signal& signal);

// The intensity part of the text form alone.
std::string format_intensity(float intensity);

}  // namespace fenwa::bus
