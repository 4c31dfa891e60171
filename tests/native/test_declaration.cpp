// Callable declarations: the texts derived from them, the required count and the
// parsed defaults. Malformed declarations are refused at compile time (see
// compile_fail/declaration.cpp, run by CTest as tests expected to fail).
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "check.hpp"
#include "module/declaration.hpp"

namespace py = fenwa::py;
using std::string_view;

namespace {

constexpr auto kFunction = py::function_decl(
    "gain", {{"prefix"}, {"purge"}, {"calls", "8"}, {"ratio", "0.1"}, {"absorb", "False"}},
    "Body line one.\nline two.");
constexpr auto kMethod =
    py::method_decl("Window", "insert", {{"content"}, {"signal", "0"}, {"oxygen", "..."}}, "");
constexpr auto kNoArgs = py::method_decl("Window", "render", "Rendered.");
constexpr auto kClass =
    py::class_decl("Window", {{"half_life", "2.0"}, {"capacity", "256"}}, "A window.");
constexpr auto kAllRequired = py::class_decl("Signal", {{"flags"}, {"intensity"}}, "");

bool throws_logic_error(auto f) {
    try {
        f();
    } catch (const std::logic_error&) {
        return true;
    }
    return false;
}

}  // namespace

int main() {
    // Texts: the error name and the docstring with its text-signature line.
    static_assert(string_view(py::display_name<kFunction>()) == "gain()");
    static_assert(string_view(py::display_name<kMethod>()) == "Window.insert()");
    static_assert(string_view(py::display_name<kClass>()) == "Window.__new__()");
    CHECK(string_view(py::docstring<kFunction>()) ==
          "gain(prefix, purge, calls=8, ratio=0.1, absorb=False)\n--\n\n"
          "Body line one.\nline two.");
    CHECK(string_view(py::docstring<kMethod>()) ==
          "insert($self, content, signal=0, oxygen=...)\n--\n\n");
    CHECK(string_view(py::docstring<kNoArgs>()) == "render($self)\n--\n\nRendered.");
    CHECK(string_view(py::docstring<kClass>()) ==
          "Window(half_life=2.0, capacity=256)\n--\n\nA window.");
    CHECK(string_view(py::docstring<kAllRequired>()) == "Signal(flags, intensity)\n--\n\n");

    static_assert(kFunction.required == 2 && kMethod.required == 1 && kNoArgs.required == 0 &&
                  kClass.required == 0 && kAllRequired.required == 2);
    static_assert(kFunction.names[2] == kFunction.params[2].name);

    // Defaults: the value a C++ literal of the same text would have, in each type
    // a conversion asks for.
    static_assert(kFunction.params[2].value<std::uint32_t>() == 8);
    static_assert(kFunction.params[2].value<double>() == 8.0);
    static_assert(kFunction.params[3].value<double>() == 0.1);
    static_assert(kFunction.params[3].value<float>() == 0.1f);
    static_assert(!kFunction.params[4].value<bool>());
    static_assert(kClass.params[0].value<float>() == 2.0f);
    static_assert(py::Param("p", "0.35").value<float>() == 0.35f);
    static_assert(py::Param("p", "1.25").value<double>() == 1.25);
    static_assert(py::Param("p", "4294967295").value<std::uint32_t>() == 4294967295u);
    static_assert(py::Param("p", "True").value<bool>());

    // A default of another kind, or one that is shown only, has no value.
    CHECK(throws_logic_error([] { return kMethod.params[2].value<float>(); }));
    CHECK(throws_logic_error([] { return kFunction.params[3].value<std::uint64_t>(); }));
    CHECK(throws_logic_error([] { return kFunction.params[4].value<double>(); }));
    CHECK(throws_logic_error([] { return kFunction.params[2].value<bool>(); }));
    CHECK(throws_logic_error([] { return py::Param("p", "4294967296").value<std::uint32_t>(); }));
    CHECK(throws_logic_error([] { return py::Param("p", "None").value<std::uint64_t>(); }));
    return TEST_MAIN_RESULT();
}
