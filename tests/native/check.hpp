// A minimal check harness for the native tests: CHECK records a failure and goes
// on; main() returns the failure count so CTest sees the result.
#pragma once

#include <cstdio>
#include <string>

namespace fenwa::test {
inline int& failures() {
    static int count = 0;
    return count;
}
inline std::string data_path(const char* name) { return std::string(FENWA_TEST_DATA) + "/" + name; }
}  // namespace fenwa::test

#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++::fenwa::test::failures();                                         \
        }                                                                        \
    } while (0)

#define TEST_MAIN_RESULT()                                                                 \
    (std::printf("%s\n", ::fenwa::test::failures() ? "FAILED" : "ok"), ::fenwa::test::failures() ? 1 : 0)
