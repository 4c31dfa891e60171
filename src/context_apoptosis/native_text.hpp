// Text kept in the interpreter's fixed-width form: every code point in one code
// unit of 1, 2 or 4 bytes, the unit chosen by the widest code point. A str built
// from it at that width is a plain copy, with no decoding; UTF-8 is produced only
// where bytes are needed (digests, hashes, inspection).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fenwa::text {

// The narrowest form that holds every code point of a text. ASCII and Latin-1
// both use one byte per code point but are distinct forms: the interpreter marks
// a text whose code points are all below 128 as such.
enum class Width : std::uint8_t { ascii = 0, latin1 = 1, ucs2 = 2, ucs4 = 3 };

// log2 of the bytes per code point.
constexpr unsigned unit_shift(Width w) noexcept {
    return w == Width::ucs4 ? 2 : w == Width::ucs2 ? 1 : 0;
}
constexpr std::size_t unit_size(Width w) noexcept {
    return std::size_t{1} << unit_shift(w);
}
// The widest code point the form may hold.
constexpr std::uint32_t max_char(Width w) noexcept {
    constexpr std::uint32_t kMax[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
    return kMax[static_cast<std::size_t>(w)];
}
constexpr Width width_of(std::uint32_t code_point) noexcept {
    return code_point < 0x80      ? Width::ascii
           : code_point < 0x100   ? Width::latin1
           : code_point < 0x10000 ? Width::ucs2
                                  : Width::ucs4;
}

// `length` code points at `data`, each one unit of `width`. The width must be
// the narrowest that holds the text (as the interpreter keeps it).
struct TextView {
    const void* data = nullptr;
    std::size_t length = 0;
    Width width = Width::ascii;

    std::size_t bytes() const noexcept { return length * unit_size(width); }
};

// An owned fixed-width text, immutable once made. The units live in one heap
// block behind a count of handles, so that a reader can take its own handle to
// a stored text under a lock (a count, no copy of the units) and read it after
// the lock is released, while the owner may drop or replace its handle at any
// time. The handle itself is one pointer; the empty text has no block.
class StoredText {
  public:
    StoredText() = default;
    explicit StoredText(TextView v);
    StoredText(StoredText&& other) noexcept : rep_(std::exchange(other.rep_, nullptr)) {}
    StoredText& operator=(StoredText&& other) noexcept {
        StoredText old(std::move(*this));
        rep_ = std::exchange(other.rep_, nullptr);
        return *this;
    }
    // Handles are shared explicitly, with share(), never copied by accident.
    StoredText(const StoredText&) = delete;
    StoredText& operator=(const StoredText&) = delete;
    ~StoredText() { release(rep_); }

    // Another handle to the same text; safe from any thread, cannot fail.
    StoredText share() const noexcept {
        if (rep_) rep_->handles.fetch_add(1, std::memory_order_relaxed);
        return StoredText(rep_);
    }

    TextView view() const noexcept {
        if (!rep_) return {};
        return {reinterpret_cast<const char*>(rep_) + sizeof(Rep), rep_->length, rep_->width};
    }
    Width width() const noexcept { return rep_ ? rep_->width : Width::ascii; }
    std::size_t length() const noexcept { return rep_ ? rep_->length : 0; }

  private:
    struct Rep {
        std::atomic<std::uint32_t> handles;
        Width width;
        std::size_t length;
        // the units follow
    };
    explicit StoredText(Rep* rep) noexcept : rep_(rep) {}
    static void release(Rep* rep) noexcept;

    Rep* rep_ = nullptr;
};

// The texts of one section of a window, taken under its lock as shared handles
// and read after the lock is released.
using TextSnapshot = std::vector<StoredText>;

// The fixed-width form of valid UTF-8 (every text here came from a str).
StoredText from_utf8(std::string_view utf8);
// The UTF-8 form of `text`.
std::string to_utf8(TextView text);
// The byte length of the UTF-8 form of `text`, or nothing when it holds a
// surrogate code point (which has no UTF-8 form).
std::optional<std::size_t> utf8_length(TextView text) noexcept;
// Appends the UTF-8 form of `text` to `out`.
void append_utf8(std::string& out, TextView text);

// Copies `src` to `dst` as units of `dst_width`, which must be at least as wide
// as `src.width`; returns the address just past the copy.
char* copy_units(char* dst, Width dst_width, TextView src) noexcept;

// `n` ASCII bytes as a view (they are their own fixed-width form).
inline TextView ascii_view(const char* s, std::size_t n) noexcept {
    return {s, n, Width::ascii};
}

}  // namespace fenwa::text
