// Pieces of the boundary's messages that need no interpreter, so they can be
// tested on their own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fenwa::messages {

// Parameter names quoted and listed as the missing-argument message lists them:
// 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
inline std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) list += ",";
            list += i + 1 == names.size() ? " and " : " ";
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

}  // namespace fenwa::messages
