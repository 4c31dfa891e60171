#include "host_trim/token_estimate.hpp"

namespace fenwa::host_trim {

namespace {

enum Class : int { kLower, kUpper, kDigit, kSpace, kNewline, kOther, kPunct, kMulti };

// Upper bounds (exclusive) of the multi-byte groups; each is a UTF-8 lead-byte
// boundary, so the group of a character is the range its lead byte falls in.
constexpr std::uint32_t kGroupEnds[11] = {0x380,  0x400,  0x540,  0x800,   0x1000,  0x2000,
                                          0x3000, 0xA000, 0xE000, 0x10000, 0x110000};

constexpr std::array<std::uint8_t, 128> make_ascii_classes() {
    std::array<std::uint8_t, 128> t{};
    for (int c = 0; c < 128; ++c) {
        Class k = kPunct;
        if (c >= 'a' && c <= 'z')
            k = kLower;
        else if (c >= 'A' && c <= 'Z')
            k = kUpper;
        else if (c >= '0' && c <= '9')
            k = kDigit;
        else if (c == ' ')
            k = kSpace;
        else if (c == '\n')
            k = kNewline;
        else if (c < 0x20 || c == 0x7F)
            k = kOther;
        t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(k);
    }
    return t;
}
constexpr std::array<std::uint8_t, 128> kAsciiClasses = make_ascii_classes();

int class_of(std::uint32_t c) noexcept {
    if (c < 0x80) return kAsciiClasses[c];
    int group = 0;
    while (group < 10 && c >= kGroupEnds[group]) ++group;
    return kMulti + group;
}

}  // namespace

void TokenScanner::push(std::uint32_t code_point) noexcept {
    const int c = class_of(code_point);
    const bool prev_letter = prev_ == kLower || prev_ == kUpper;
    switch (c) {
        case kLower:
        case kUpper:
            ++counts_[kLetters];
            if (!prev_letter) {
                ++counts_[kWords];
            } else if ((prev_ == kLower && c == kUpper) ||
                       (prev_ == kUpper && c == kLower && prev2_ == kUpper)) {
                ++counts_[kCaseSwitches];
            }
            if (prev_ >= kMulti) ++counts_[kMixedWords];
            break;
        case kDigit:
            ++counts_[kDigits];
            if (prev_ != kDigit) ++counts_[kDigitRuns];
            break;
        case kSpace:
            ++counts_[kSpaces];
            if (++space_run_ == 2) ++counts_[kSpaceRuns];
            break;
        case kNewline:
            ++counts_[kNewlines];
            break;
        case kOther:
            ++counts_[kOtherSpace];
            break;
        case kPunct:
            ++counts_[kPunctuation];
            if (prev_ != kPunct) ++counts_[kPunctuationRuns];
            break;
        default:
            ++counts_[kMultiByte + static_cast<std::size_t>(c - kMulti)];
            if (prev_ < kMulti) ++counts_[kNonAsciiRuns];
            break;
    }
    if (c != kSpace) space_run_ = 0;
    prev2_ = prev_;
    prev_ = c;
}

TokenFeatures token_features_utf8(const unsigned char* data, std::size_t size) noexcept {
    TokenScanner s;
    std::size_t i = 0;
    while (i < size) {
        const unsigned char b = data[i];
        if (b < 0x80) {
            s.push(b);
            ++i;
            continue;
        }
        std::size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        std::uint32_t cp = len == 4 ? b & 0x07u : len == 3 ? b & 0x0Fu : b & 0x1Fu;
        bool ok = len > 1 && b <= 0xF4 && i + len <= size;
        for (std::size_t k = 1; ok && k < len; ++k) {
            const unsigned char cont = data[i + k];
            if ((cont & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (cont & 0x3Fu);
        }
        if (!ok) {
            s.push(0xFFFD);  // an invalid byte: one compatibility-group character
            ++i;
            continue;
        }
        s.push(cp);
        i += len;
    }
    return s.features();
}

namespace {

template <class Unit>
TokenFeatures features_of_units(const Unit* data, std::size_t size) noexcept {
    TokenScanner s;
    std::size_t i = 0;
    while (i < size) {
        const auto c = static_cast<std::uint32_t>(data[i++]);
        s.push(c);
        if (c - 'a' < 26u) {
            // The rest of a run of lower-case letters changes only the letter count.
            std::size_t j = i;
            while (j < size && static_cast<std::uint32_t>(data[j]) - 'a' < 26u) ++j;
            s.add_lower(j - i);
            i = j;
        }
    }
    return s.features();
}

}  // namespace

TokenFeatures token_features_latin1(const std::uint8_t* data, std::size_t size) noexcept {
    return features_of_units(data, size);
}
TokenFeatures token_features_ucs2(const std::uint16_t* data, std::size_t size) noexcept {
    return features_of_units(data, size);
}
TokenFeatures token_features_ucs4(const std::uint32_t* data, std::size_t size) noexcept {
    return features_of_units(data, size);
}

std::int64_t token_estimate(const TokenFeatures& features,
                            const TokenCoefficients& coefficients) noexcept {
    // Exact integer arithmetic, as the Python reference computes it; saturated at
    // INT64_MAX (for texts no machine holds). Coefficients are never negative.
    constexpr std::uint64_t kMost = static_cast<std::uint64_t>(INT64_MAX);
    std::uint64_t total = 0;
    bool any = false;
    for (std::size_t k = 0; k < kTokenFeatureCount; ++k) {
        const std::uint64_t n = features[k];
        if (n == 0) continue;
        any = true;
        const auto w = static_cast<std::uint64_t>(coefficients[k] < 0 ? 0 : coefficients[k]);
        if (w != 0 && n > (kMost - total) / w) return INT64_MAX;
        total += n * w;
    }
    if (!any) return 0;
    total = (total >> kTokenScaleBits) + ((total >> (kTokenScaleBits - 1)) & 1u);
    return total < 1 ? 1 : static_cast<std::int64_t>(total);
}

}  // namespace fenwa::host_trim
