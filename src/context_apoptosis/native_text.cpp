#include "context_apoptosis/native_text.hpp"

#include <cstring>
#include <limits>
#include <new>

#include "context_apoptosis/unicode.hpp"
#include "platform/simd.hpp"

namespace fenwa::text {

namespace {

// Decodes the code point starting at p (valid UTF-8) and advances p past it.
inline std::uint32_t decode(const unsigned char*& p) noexcept {
    std::size_t len;
    const char32_t c = unicode::decode(p, len);
    p += len;
    return c;
}

template <class Unit>
inline Unit load(const char* p) noexcept {
    Unit u;
    std::memcpy(&u, p, sizeof(Unit));
    return u;
}

template <class Unit>
inline void store(char* p, Unit u) noexcept {
    std::memcpy(p, &u, sizeof(Unit));
}

template <class Unit>
void write_units(char* out, std::string_view utf8) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const end = p + utf8.size();
    while (p < end) {
        store<Unit>(out, static_cast<Unit>(decode(p)));
        out += sizeof(Unit);
    }
}

inline void put_utf8(std::string& out, std::uint32_t c) {
    unsigned char buf[4];
    out.append(reinterpret_cast<const char*>(buf), unicode::encode(c, buf));
}

template <class Unit>
void encode_units(std::string& out, const char* units, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) put_utf8(out, load<Unit>(units + i * sizeof(Unit)));
}

// Widens `n` units of `From` to `To`. The SSE2 paths interleave zero bytes and
// the NEON paths zero-extend, sixteen source bytes at a time.
template <class From, class To>
char* widen(char* dst, const char* src, std::size_t n) noexcept {
    std::size_t i = 0;
#if defined(FENWA_SIMD_SSE2)
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(From) == 1 && sizeof(To) == 2) {
        for (; i + 16 <= n; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm_unpacklo_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i + 16),
                             _mm_unpackhi_epi8(v, zero));
        }
    } else if constexpr (sizeof(From) == 1 && sizeof(To) == 4) {
        for (; i + 16 <= n; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            const __m128i lo = _mm_unpacklo_epi8(v, zero);
            const __m128i hi = _mm_unpackhi_epi8(v, zero);
            char* const d = dst + 4 * i;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi16(lo, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi16(lo, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), _mm_unpacklo_epi16(hi, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 48), _mm_unpackhi_epi16(hi, zero));
        }
    } else {
        for (; i + 8 <= n; i += 8) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i), _mm_unpacklo_epi16(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i + 16),
                             _mm_unpackhi_epi16(v, zero));
        }
    }
#elif defined(FENWA_SIMD_NEON)
    auto store16 = [](char* d, uint16x8_t v) {
        vst1q_u8(reinterpret_cast<std::uint8_t*>(d), vreinterpretq_u8_u16(v));
    };
    auto store32 = [](char* d, uint32x4_t v) {
        vst1q_u8(reinterpret_cast<std::uint8_t*>(d), vreinterpretq_u8_u32(v));
    };
    if constexpr (sizeof(From) == 1 && sizeof(To) == 2) {
        for (; i + 16 <= n; i += 16) {
            const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(src + i));
            store16(dst + 2 * i, vmovl_u8(vget_low_u8(v)));
            store16(dst + 2 * i + 16, vmovl_u8(vget_high_u8(v)));
        }
    } else if constexpr (sizeof(From) == 1 && sizeof(To) == 4) {
        for (; i + 16 <= n; i += 16) {
            const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(src + i));
            const uint16x8_t lo = vmovl_u8(vget_low_u8(v));
            const uint16x8_t hi = vmovl_u8(vget_high_u8(v));
            char* const d = dst + 4 * i;
            store32(d, vmovl_u16(vget_low_u16(lo)));
            store32(d + 16, vmovl_u16(vget_high_u16(lo)));
            store32(d + 32, vmovl_u16(vget_low_u16(hi)));
            store32(d + 48, vmovl_u16(vget_high_u16(hi)));
        }
    } else {
        for (; i + 8 <= n; i += 8) {
            const uint16x8_t v =
                vreinterpretq_u16_u8(vld1q_u8(reinterpret_cast<const std::uint8_t*>(src + 2 * i)));
            store32(dst + 4 * i, vmovl_u16(vget_low_u16(v)));
            store32(dst + 4 * i + 16, vmovl_u16(vget_high_u16(v)));
        }
    }
#endif
    for (; i < n; ++i) {
        store<To>(dst + i * sizeof(To), static_cast<To>(load<From>(src + i * sizeof(From))));
    }
    return dst + n * sizeof(To);
}

// UTF-8 bytes of `n` units and whether any is a surrogate; branch-free, so the
// compiler vectorizes it.
template <class Unit>
std::optional<std::size_t> units_utf8_length(const char* units, std::size_t n) noexcept {
    std::size_t bytes = n;
    std::uint32_t surrogates = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = load<Unit>(units + i * sizeof(Unit));
        bytes += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
        surrogates |= (c & 0xFFFFF800u) == 0xD800u;
    }
    if (surrogates) return std::nullopt;
    return bytes;
}

}  // namespace

std::optional<std::size_t> utf8_length(TextView text) noexcept {
    const char* const units = static_cast<const char*>(text.data);
    switch (text.width) {
        case Width::ascii:
            return text.length;
        case Width::latin1:
            return units_utf8_length<std::uint8_t>(units, text.length);
        case Width::ucs2:
            return units_utf8_length<std::uint16_t>(units, text.length);
        default:
            return units_utf8_length<std::uint32_t>(units, text.length);
    }
}

StoredText::StoredText(TextView v) {
    if (v.length == 0) return;
    static_assert(sizeof(Rep) % 4 == 0 && alignof(Rep) >= 4, "the units after it stay aligned");
    const std::size_t n = v.bytes();
    if (n > std::numeric_limits<std::size_t>::max() - sizeof(Rep)) throw std::bad_alloc();
    rep_ = static_cast<Rep*>(::operator new(sizeof(Rep) + n));
    ::new (rep_) Rep{{1}, v.width, v.length};
    std::memcpy(reinterpret_cast<char*>(rep_) + sizeof(Rep), v.data, n);
}

void StoredText::release(Rep* rep) noexcept {
    if (!rep || rep->handles.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    rep->~Rep();
    ::operator delete(rep);
}

StoredText from_utf8(std::string_view utf8) {
    // First pass: the code point count and the widest code point.
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const end = p + utf8.size();
    std::size_t length = 0;
    std::uint32_t widest = 0;
    while (p < end) {
        widest = std::max(widest, decode(p));
        ++length;
    }
    const Width w = width_of(widest);
    if (w == Width::ascii) return StoredText(ascii_view(utf8.data(), utf8.size()));
    std::string units(length * unit_size(w), '\0');
    switch (w) {
        case Width::latin1:
            write_units<std::uint8_t>(units.data(), utf8);
            break;
        case Width::ucs2:
            write_units<std::uint16_t>(units.data(), utf8);
            break;
        default:
            write_units<std::uint32_t>(units.data(), utf8);
            break;
    }
    return StoredText(TextView{units.data(), length, w});
}

void append_utf8(std::string& out, TextView text) {
    const char* const units = static_cast<const char*>(text.data);
    switch (text.width) {
        case Width::ascii:
            out.append(units, text.length);
            break;
        case Width::latin1:
            encode_units<std::uint8_t>(out, units, text.length);
            break;
        case Width::ucs2:
            encode_units<std::uint16_t>(out, units, text.length);
            break;
        case Width::ucs4:
            encode_units<std::uint32_t>(out, units, text.length);
            break;
    }
}

std::string to_utf8(TextView text) {
    std::string out;
    out.reserve(text.length);
    append_utf8(out, text);
    return out;
}

char* copy_units(char* dst, Width dst_width, TextView src) noexcept {
    const char* const s = static_cast<const char*>(src.data);
    const std::size_t to = unit_size(dst_width);
    const std::size_t from = unit_size(src.width);
    if (to == from) {
        if (src.length) std::memcpy(dst, s, src.length * to);
        return dst + src.length * to;
    }
    if (from == 1) {
        return to == 2 ? widen<std::uint8_t, std::uint16_t>(dst, s, src.length)
                       : widen<std::uint8_t, std::uint32_t>(dst, s, src.length);
    }
    return widen<std::uint16_t, std::uint32_t>(dst, s, src.length);
}

}  // namespace fenwa::text
