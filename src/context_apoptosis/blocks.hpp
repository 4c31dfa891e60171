// The block model shared by the context window and the one-pass history
// dehydration: class bits, family tests, the token estimate and the automatic
// metabolic weight.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fenwa::blocks {

// The block classes. Each is its own bit, so a block may carry several.
enum ClassBit : std::uint32_t {
    SYSTEM = 1u << 0,
    USER = 1u << 1,
    ASSISTANT = 1u << 2,
    FACT = 1u << 3,
    TOOL = 1u << 4,
    THINKING = 1u << 5,
};
static_assert((SYSTEM | USER | ASSISTANT | FACT | TOOL | THINKING) == 0x3F);

inline constexpr std::uint32_t DURABLE_MASK = SYSTEM | FACT;
inline constexpr std::uint32_t CONVERSATIONAL_MASK = USER | ASSISTANT;

constexpr bool is_durable(std::uint32_t signal) {
    return (signal & DURABLE_MASK) != 0;
}
constexpr bool is_conversational(std::uint32_t signal) {
    return (signal & CONVERSATIONAL_MASK) != 0;
}

// UTF-8 byte length / 4 (truncated, narrowed to 32 bits) + 1, wrapping.
constexpr std::uint32_t estimate_tokens(std::size_t utf8_bytes) {
    return static_cast<std::uint32_t>(utf8_bytes / 4) + 1u;
}
constexpr std::uint32_t estimate_tokens(std::string_view text) {
    return estimate_tokens(text.size());
}

// Automatic weight; the first matching family wins (durable, conversational,
// THINKING, TOOL, unclassed).
constexpr float metabolic_weight(std::uint32_t signal) {
    if (signal & DURABLE_MASK) return 4.0f;
    if (signal & CONVERSATIONAL_MASK) return 1.0f;
    if (signal & THINKING) return 0.15f;
    if (signal & TOOL) return 0.25f;
    return 0.6f;
}

// The smallest half-life a decay runs with; smaller values and NaN run as it.
inline constexpr float kMinHalfLife = 0.1f;
constexpr float floor_half_life(float half_life) {
    return half_life >= kMinHalfLife ? half_life : kMinHalfLife;  // NaN fails the test
}

// A block's oxygen after one metabolic step: durable blocks gain the boost,
// every other block decays (both in single precision).
constexpr float metabolize(std::uint32_t signal, float oxygen, float boost, float decay) {
    return is_durable(signal) ? oxygen + boost : oxygen * decay;
}

// Whether a block with `signal` survives a purge with `oxygen`: durable blocks
// always; any other when its oxygen reaches the threshold (a NaN never does).
constexpr bool survives(std::uint32_t signal, float oxygen, float threshold) {
    return is_durable(signal) || oxygen >= threshold;
}

// One unit of prompt text in the context window.
struct ContextBlock {
    std::string content;
    float oxygen;
    std::uint32_t signal;
    std::uint32_t tokens;
};

}  // namespace fenwa::blocks
