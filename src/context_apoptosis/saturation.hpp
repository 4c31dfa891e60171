// The saturation scan: the fraction of a text's overlapping word shingles that
// repeat an earlier shingle.
#pragma once

#include <cstdint>
#include <string_view>

namespace fenwa::analysers {

// `text` is valid UTF-8; `window` 0 counts as 1. Returns D / S in single
// precision (0 when the text has fewer than 2 × window tokens).
float saturation_scan(std::string_view text, std::uint64_t window);

}  // namespace fenwa::analysers
