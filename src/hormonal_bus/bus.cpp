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

Drain::Drain(Bus& bus) noexcept : bus_(&bus) {
    if (bus.draining_.exchange(true, std::memory_order_acquire)) bus_ = nullptr;
}

void Drain::take(std::uint64_t max) {
    if (!bus_ || max == 0) return;
    Bus& bus = *bus_;
    const std::size_t held = bus.held_.size() - bus.held_head_;
    if (held > 0) {
        // Held events come first; while any remain, nothing newer is taken.
        const std::size_t k = max < held ? static_cast<std::size_t>(max) : held;
        const auto first = bus.held_.begin() + static_cast<std::ptrdiff_t>(bus.held_head_);
        out_.assign(first, first + static_cast<std::ptrdiff_t>(k));
        bus.held_head_ += k;
        from_held_ = k;
        if (k < held) return;
        max -= k;
    }
    std::uint64_t want = bus.events_.size_hint();
    if (max < want) want = max;
    out_.reserve(out_.size() + static_cast<std::size_t>(want));
    const std::size_t limit = out_.size() + static_cast<std::size_t>(want);
    SignalEvent e;
    while (out_.size() < limit && bus.events_.take(e)) out_.push_back(e);
}

Drain::~Drain() {
    if (!bus_) return;
    Bus& bus = *bus_;
    if (!committed_) {
        if (out_.size() == from_held_) {
            // Every event came from the held ones, which are still in place.
            bus.held_head_ -= from_held_;
        } else {
            // The held events were all taken; the taken ones become the held ones.
            bus.held_.swap(out_);
            bus.held_head_ = 0;
        }
    }
    if (bus.held_head_ == bus.held_.size() && !bus.held_.empty()) {
        std::vector<SignalEvent>().swap(bus.held_);
        bus.held_head_ = 0;
    }
    bus.draining_.store(false, std::memory_order_release);
}

}  // namespace fenwa::bus
