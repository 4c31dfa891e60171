// Text kept in the interpreter's fixed-width form: every code point in one code
// unit of 1, 2 or 4 bytes, the unit chosen by the widest code point. A str built
// from it at that width is a plain copy, with no decoding; UTF-8 is produced only
// where bytes are needed (digests, hashes, inspection).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// An owned fixed-width text. The width travels in one byte after the units, so
// the text stays a single movable string (a separate field would pad every
// stored block by eight bytes).
class StoredText {
  public:
    StoredText() = default;
    explicit StoredText(TextView v);

    TextView view() const noexcept {
        if (bytes_.empty()) return {};
        const Width w = static_cast<Width>(bytes_.back());
        const std::size_t n = bytes_.size() - 1;
        return {bytes_.data(), n >> unit_shift(w), w};
    }
    Width width() const noexcept {
        return bytes_.empty() ? Width::ascii : static_cast<Width>(bytes_.back());
    }
    std::size_t length() const noexcept { return view().length; }
    // The bytes of the units (without reading them).
    std::size_t unit_bytes() const noexcept { return bytes_.empty() ? 0 : bytes_.size() - 1; }
    // Heap and inline bytes this text occupies beyond its own object.
    std::size_t capacity() const noexcept { return bytes_.capacity(); }

  private:
    std::string bytes_;  // the units, then the width; empty for the empty text
};

// Receives a text built piece by piece. `extend(length, width)` makes room for
// `length` more code points, none wider than `width`, and returns where they go
// and the width to write them at (at least `width`); the caller writes them
// there before the next call.
class Sink {
  public:
    struct Room {
        char* at;
        Width width;
    };
    virtual Room extend(std::size_t length, Width width) = 0;

  protected:
    ~Sink() = default;
};

// Copies of several texts in one buffer, each kept with its length and width.
// They are made where the texts may be read only briefly (under a lock), so that
// whatever is built from them afterwards runs without that lock.
class TextCopies {
  public:
    TextCopies() = default;
    // Room for `count` texts of `unit_bytes` bytes of units in all.
    TextCopies(std::size_t count, std::size_t unit_bytes);

    // Appends a copy of `t`, which must fit in the room left; cannot fail.
    void add(TextView t) noexcept;

    std::size_t size() const noexcept { return views_.size(); }
    const TextView& operator[](std::size_t i) const noexcept { return views_[i]; }
    const TextView* begin() const noexcept { return views_.data(); }
    const TextView* end() const noexcept { return views_.data() + views_.size(); }

  private:
    std::unique_ptr<char[]> units_;
    char* at_ = nullptr;           // where the next copy goes
    std::size_t room_ = 0;         // bytes left from at_
    std::vector<TextView> views_;  // into units_, which never moves
};

// A text written through the Sink interface into plain memory: every extend()
// opens a piece of its own at the width asked for, so nothing already written
// is ever widened or moved. The pieces are joined, at the widest width, only
// when the text is copied out.
class PieceText final : public Sink {
  public:
    Room extend(std::size_t length, Width width) override;

    // Code points in all, and the narrowest width that holds every one.
    std::size_t length() const noexcept { return length_; }
    Width width() const noexcept { return width_; }
    // Writes the whole text to `dst` as units of `dst_width`, which must be at
    // least width(); returns the address just past it.
    char* copy_units(char* dst, Width dst_width) const noexcept;
    std::string utf8() const;

  private:
    struct Piece {
        std::unique_ptr<char[]> units;
        std::size_t length;
        Width width;
    };
    std::vector<Piece> pieces_;
    std::size_t length_ = 0;
    Width width_ = Width::ascii;
};

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
