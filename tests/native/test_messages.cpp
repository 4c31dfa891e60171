// The quoted parameter lists of the missing-argument message.
#include "check.hpp"
#include "module/messages.hpp"

using fenwa::messages::quoted_list;

int main() {
    CHECK(quoted_list({}) == "");
    CHECK(quoted_list({"a"}) == "'a'");
    CHECK(quoted_list({"a", "b"}) == "'a' and 'b'");
    CHECK(quoted_list({"a", "b", "c"}) == "'a', 'b', and 'c'");
    CHECK(quoted_list({"prefix_tokens", "purgeable_tokens", "calls_ahead", "x"}) ==
          "'prefix_tokens', 'purgeable_tokens', 'calls_ahead', and 'x'");
    return TEST_MAIN_RESULT();
}
