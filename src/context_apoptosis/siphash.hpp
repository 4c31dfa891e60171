// Streaming SipHash-1-3 (one compression round per 8-byte block, three
// finalisation rounds) keyed with sixteen zero bytes. Texts are hashed as their
// UTF-8 bytes followed by one 0xFF byte, a byte that never occurs in UTF-8, so
// consecutive texts in one stream keep their boundaries.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "context_apoptosis/bytes.hpp"

namespace fenwa {

class SipHash13 {
  public:
    void write(const void* data, std::size_t n) noexcept {
        auto p = static_cast<const unsigned char*>(data);
        length_ += n;
        if (ntail_) {
            const std::size_t need = 8 - ntail_;
            if (n < need) {
                tail_ |= load_partial(p, n) << (8 * ntail_);
                ntail_ += static_cast<unsigned>(n);
                return;
            }
            compress(tail_ | (load_partial(p, need) << (8 * ntail_)));
            p += need;
            n -= need;
        }
        for (; n >= 8; n -= 8, p += 8) compress(load_le(p));
        tail_ = load_partial(p, n);
        ntail_ = static_cast<unsigned>(n);
    }

    // As write(), for a stream with no pending partial block (a fresh one, or one
    // fed whole blocks so far) whose buffer stays readable for 8 bytes past
    // data + n: the last partial block is read with one full load, masked,
    // instead of byte by byte.
    void write_padded(const void* data, std::size_t n) noexcept {
        if (ntail_) {
            write(data, n);
            return;
        }
        auto p = static_cast<const unsigned char*>(data);
        length_ += n;
        for (; n >= 8; n -= 8, p += 8) compress(load_le(p));
        tail_ = load_le(p) & ((std::uint64_t{1} << (8 * n)) - 1);
        ntail_ = static_cast<unsigned>(n);
    }

    void write_byte(unsigned char b) noexcept {
        ++length_;
        tail_ |= static_cast<std::uint64_t>(b) << (8 * ntail_++);
        if (ntail_ == 8) {
            compress(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }

    // A text followed by its 0xFF terminator.
    void write_text(std::string_view text) noexcept {
        write(text.data(), text.size());
        write_byte(0xFF);
    }

    std::uint64_t finish() const noexcept {
        std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
        const std::uint64_t b = (static_cast<std::uint64_t>(length_ & 0xFF) << 56) | tail_;
        v3 ^= b;
        round(v0, v1, v2, v3);
        v0 ^= b;
        v2 ^= 0xFF;
        round(v0, v1, v2, v3);
        round(v0, v1, v2, v3);
        round(v0, v1, v2, v3);
        return v0 ^ v1 ^ v2 ^ v3;
    }

  private:
    static std::uint64_t load_le(const unsigned char* p) noexcept { return bytes::load_le64(p); }
    static std::uint64_t load_partial(const unsigned char* p, std::size_t n) noexcept {
        return bytes::load_partial(p, n);
    }

  public:
    static void round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2,
                      std::uint64_t& v3) noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

  private:
    void compress(std::uint64_t m) noexcept {
        v3_ ^= m;
        round(v0_, v1_, v2_, v3_);
        v0_ ^= m;
    }

  public:
    // Key (0, 0): the initial state is the bare constants.
    static constexpr std::uint64_t kInit0 = 0x736f6d6570736575ULL;
    static constexpr std::uint64_t kInit1 = 0x646f72616e646f6dULL;
    static constexpr std::uint64_t kInit2 = 0x6c7967656e657261ULL;
    static constexpr std::uint64_t kInit3 = 0x7465646279746573ULL;

  private:
    std::uint64_t v0_ = kInit0;
    std::uint64_t v1_ = kInit1;
    std::uint64_t v2_ = kInit2;
    std::uint64_t v3_ = kInit3;
    std::uint64_t tail_ = 0;
    unsigned ntail_ = 0;
    std::uint64_t length_ = 0;
};

// Content hash of one text (ledger entries, one-token shingles).
inline std::uint64_t text_hash(std::string_view text) noexcept {
    SipHash13 h;
    h.write_text(text);
    return h.finish();
}

}  // namespace fenwa
