// Declarations that must not compile, one per FENWA_CASE (CTest builds each and
// expects the compiler to refuse it).
#include "module/declaration.hpp"

namespace py = fenwa::py;

#if FENWA_CASE == 1  // a default that is no Python literal the conversions read
constexpr auto kDecl = py::function_decl("f", {{"x", "-1"}}, "");
#elif FENWA_CASE == 2
constexpr auto kDecl = py::function_decl("f", {{"x", "1e3"}}, "");
#elif FENWA_CASE == 3  // more digits than a float division keeps exact
constexpr auto kDecl = py::function_decl("f", {{"x", "0.123456789"}}, "");
#elif FENWA_CASE == 4  // an integer beyond 64 bits
constexpr auto kDecl = py::function_decl("f", {{"x", "99999999999999999999"}}, "");
#elif FENWA_CASE == 5  // a required parameter after an optional one
constexpr auto kDecl = py::function_decl("f", {{"x", "1"}, {"y"}}, "");
#elif FENWA_CASE == 6  // the control: this one compiles
constexpr auto kDecl = py::function_decl("f", {{"x"}, {"y", "1.5"}, {"z", "None"}}, "");
#endif

const char* doc = py::docstring<kDecl>();
