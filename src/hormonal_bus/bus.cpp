#include "hormonal_bus/bus.hpp"

namespace fenwa::bus {

namespace {

std::size_t clamp_channels(std::uint64_t n) noexcept {
    if (n == 0) return 1;
    return n > Bus::kMaxChannels ? Bus::kMaxChannels : static_cast<std::size_t>(n);
}

}  // namespace

Bus::Bus(std::uint64_t num_signals, std::uint64_t event_capacity)
    : count_(clamp_channels(num_signals)),
      mask_(count_ == kMaxChannels ? ~std::uint32_t{0} : (std::uint32_t{1} << count_) - 1),
      events_(event_capacity) {}

float Bus::total() const noexcept {
    float sum = -0.0f;
    for (std::size_t i = 0; i < count_; ++i) sum += load(cells_[i]);
    return sum;
}

void Bus::drain(std::uint64_t max, std::vector<SignalEvent>& out) {
    out.clear();
    std::uint64_t want = events_.size_hint();
    if (max < want) want = max;
    out.reserve(static_cast<std::size_t>(want));
    SignalEvent e;
    while (out.size() < want && events_.take(e)) out.push_back(e);
}

}  // namespace fenwa::bus
