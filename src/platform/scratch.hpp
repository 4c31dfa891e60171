// Working buffers kept between calls. The analysers need a few buffers as large
// as their input on every call; fresh ones would be mapped (and faulted in page
// by page) each time. Each buffer is shared by the process behind a mutex that
// is only ever tried: a call that finds it busy (another thread is using it)
// works in a buffer of its own instead, so no call ever waits.
#pragma once

#include <cstddef>
#include <mutex>

namespace fenwa {

// Buffers above this size are released after a call instead of kept.
inline constexpr std::size_t kScratchKeepBytes = std::size_t{4} << 20;

template <class Buffer>
struct SharedScratch {
    std::mutex mutex;
    Buffer buffer;
};

// Lends the shared buffer (or a private one when it is busy) emptied for one
// call; on return empties it again, releasing its memory when it grew beyond
// kScratchKeepBytes. `Buffer` has clear(), capacity() and value_type.
template <class Buffer>
class Scratch {
  public:
    explicit Scratch(SharedScratch<Buffer>& shared) noexcept
        : shared_(shared.mutex.try_lock() ? &shared : nullptr),
          buffer_(shared_ ? shared.buffer : own_) {
        buffer_.clear();
    }
    ~Scratch() {
        if (buffer_.capacity() * sizeof(typename Buffer::value_type) > kScratchKeepBytes) {
            buffer_ = Buffer();
        } else {
            buffer_.clear();
        }
        if (shared_) shared_->mutex.unlock();
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    Buffer& operator*() const noexcept { return buffer_; }
    Buffer* operator->() const noexcept { return &buffer_; }

  private:
    SharedScratch<Buffer>* shared_;
    Buffer own_;
    Buffer& buffer_;
};

}  // namespace fenwa
