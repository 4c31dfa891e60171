#include "hormonal_bus/event_queue.hpp"

#include <bit>
#include <new>
#include <stdexcept>

#include "platform/memory.hpp"

namespace fenwa::bus {

namespace {

constexpr std::align_val_t kLineAlign{kCacheLine};

}  // namespace

EventQueue::EventQueue(std::uint64_t capacity)
    : capacity_(capacity == 0 ? 1 : capacity),
      shift_(std::has_single_bit(capacity_) ? std::countr_zero(capacity_) : -1) {
    static_assert(static_cast<std::size_t>(kLineAlign) == alignof(Control),
                  "the block is allocated at the control block's alignment");
    const std::size_t bytes = check_reservation(capacity_, sizeof(Slot), sizeof(Control));
    void* block = ::operator new(bytes, kLineAlign, std::nothrow);
    if (!block) throw std::bad_alloc();
    control_ = new (block) Control();
    slots_ = reinterpret_cast<Slot*>(static_cast<unsigned char*>(block) + sizeof(Control));
    // Every slot waits for the producer of its first lap (stamp 0).
    for (std::uint64_t i = 0; i < capacity_; ++i) new (&slots_[i]) Slot{{0}, {0, 0.0f}};
}

EventQueue::~EventQueue() {
    // Slots and control are trivially destructible atomics and plain values.
    ::operator delete(static_cast<void*>(control_), kLineAlign);
}

}  // namespace fenwa::bus
