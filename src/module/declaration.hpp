// Declarations of the module's callables, one constexpr `Callable` each, and the
// texts derived from them at compile time. Plain C++ without Python.h, so that
// the derivations can be checked by native tests; the call boundary
// (module/boundary.hpp) binds arguments from the same declarations.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace fenwa::py {

// Every callable is declared once, as a constexpr `Callable`: its kind, its
// class, its name, its parameters with their defaults written as Python source,
// and its docstring. Everything else is derived from that one declaration
// at compile time: the argument binding, the default values the conversions fall
// back to, the name that binding errors show ("ContextApoptosis.insert()") and the
// docstring with its text-signature line ("insert($self, content, signal=0, ...)
// \n--\n\n"), from which `inspect.signature` reads the parameters.
//
//     constexpr auto kInsert = py::method_decl(
//         "ContextApoptosis", "insert",
//         {{"content"}, {"signal", "0"}, {"oxygen", "..."}}, "Insert a context block.");
//
// A default is the text the signature shows. Integer, decimal and True/False
// defaults are parsed when the declaration is compiled, so `Bound::get` falls
// back to exactly the value the signature announces. "..." and "None" are shown
// but have no value: the entry point tests the argument for presence itself. Any
// other text does not compile.

namespace detail {
// Reached only while a declaration is being compiled; a call here is a compile
// error naming the fault.
inline void malformed_default() {}
inline void decimal_default_out_of_range() {}
inline void required_parameter_after_optional() {}
}  // namespace detail

class Param {
  public:
    // A required parameter.
    constexpr Param(const char* param_name) : name(param_name) {}
    // An optional parameter and the Python text of its default.
    constexpr Param(const char* param_name, const char* default_python)
        : name(param_name), default_text(default_python) {
        parse_default();
    }

    const char* name;
    const char* default_text = nullptr;  // nullptr: the parameter is required

    // The declared default as a `T`; a default of another kind is a fault in the
    // entry point, reported as a panic.
    template <class T>
    constexpr T value() const {
        if constexpr (std::is_same_v<T, bool>) {
            if (kind_ == Kind::boolean) return integer_ != 0;
        } else if constexpr (std::is_same_v<T, float>) {
            if (kind_ != Kind::none && kind_ != Kind::boolean) return real32_;
        } else if constexpr (std::is_floating_point_v<T>) {
            if (kind_ != Kind::none && kind_ != Kind::boolean) return static_cast<T>(real_);
        } else if constexpr (std::is_integral_v<T>) {
            if (kind_ == Kind::integer && integer_ <= std::numeric_limits<T>::max())
                return static_cast<T>(integer_);
        }
        throw std::logic_error("the default of this parameter has no value of this kind");
    }

  private:
    enum class Kind : unsigned char { none, boolean, integer, decimal };

    static constexpr bool same(const char* a, const char* b) {
        while (*a && *a == *b) ++a, ++b;
        return *a == *b;
    }

    // "False"/"True", "..."/"None", digits, or digits with one decimal point. A decimal with
    // fewer than 8 significant digits and at most 10 fractional digits is an
    // exact quotient m / 10^e of two values exact in float, so the one rounded
    // division gives the same float as the C++ literal would.
    constexpr void parse_default() {
        const char* t = default_text;
        if (same(t, "False") || same(t, "True")) {
            kind_ = Kind::boolean;
            integer_ = same(t, "True") ? 1 : 0;
            return;
        }
        if (same(t, "...") || same(t, "None")) return;  // shown only
        std::uint64_t mantissa = 0;
        int digits = 0, fraction = -1;
        for (; *t; ++t) {
            if (*t == '.' && fraction < 0) {
                fraction = 0;
                continue;
            }
            if (*t < '0' || *t > '9' || mantissa > (UINT64_MAX - 9) / 10)
                detail::malformed_default();
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*t - '0');
            if (mantissa != 0) ++digits;
            if (fraction >= 0) ++fraction;
        }
        if (fraction < 0) {
            kind_ = Kind::integer;
            integer_ = mantissa;
            real_ = static_cast<double>(mantissa);
            real32_ = static_cast<float>(mantissa);
            return;
        }
        if (fraction == 0 || digits > 7 || fraction > 10) detail::decimal_default_out_of_range();
        double scale = 1;
        for (int i = 0; i < fraction; ++i) scale *= 10;
        kind_ = Kind::decimal;
        real_ = static_cast<double>(mantissa) / scale;
        real32_ = static_cast<float>(mantissa) / static_cast<float>(scale);
    }

    Kind kind_ = Kind::none;
    std::uint64_t integer_ = 0;
    double real_ = 0;
    float real32_ = 0;
};

// The parsed defaults are the values the same C++ literals would have.
static_assert(Param("p", "0.35").value<float>() == 0.35f);
static_assert(Param("p", "0.1").value<double>() == 0.1);
static_assert(Param("p", "0.1").value<float>() == 0.1f);
static_assert(Param("p", "1.25").value<double>() == 1.25);
static_assert(Param("p", "6.0").value<float>() == 6.0f);
static_assert(Param("p", "4096").value<std::uint64_t>() == 4096);
static_assert(Param("p", "8").value<double>() == 8.0);
static_assert(!Param("p", "False").value<bool>() && Param("p", "True").value<bool>());

enum class CallableKind : unsigned char { function, method, constructor };

template <std::size_t N>
struct Callable {
    CallableKind kind;
    const char* owner;  // the class; "" for a module function
    const char* name;   // the name the callable is reached by
    std::array<Param, N> params;
    const char* doc;  // the docstring after its signature line
    std::array<const char*, N> names;
    std::size_t required;  // the leading parameters without a default

    constexpr Callable(CallableKind k, const char* cls, const char* callable_name,
                       const std::array<Param, N>& ps, const char* text)
        : kind(k), owner(cls), name(callable_name), params(ps), doc(text), names{}, required(0) {
        bool optional_seen = false;
        for (std::size_t i = 0; i < N; ++i) {
            names[i] = ps[i].name;
            if (ps[i].default_text) {
                optional_seen = true;
            } else {
                if (optional_seen) detail::required_parameter_after_optional();
                ++required;
            }
        }
    }
};

namespace detail {
template <std::size_t N, std::size_t... I>
constexpr std::array<Param, N> param_array(const Param (&p)[N], std::index_sequence<I...>) {
    return {p[I]...};
}
}  // namespace detail

// A module function.
template <std::size_t N>
constexpr Callable<N> function_decl(const char* name, const Param (&params)[N], const char* doc) {
    return {CallableKind::function, "", name,
            detail::param_array(params, std::make_index_sequence<N>{}), doc};
}
// A method of `owner`, with parameters or without.
template <std::size_t N>
constexpr Callable<N> method_decl(const char* owner, const char* name, const Param (&params)[N],
                                  const char* doc) {
    return {CallableKind::method, owner, name,
            detail::param_array(params, std::make_index_sequence<N>{}), doc};
}
constexpr Callable<0> method_decl(const char* owner, const char* name, const char* doc) {
    return {CallableKind::method, owner, name, {}, doc};
}
// The constructor of class `owner`; its docstring is the class docstring.
template <std::size_t N>
constexpr Callable<N> class_decl(const char* owner, const Param (&params)[N], const char* doc) {
    return {CallableKind::constructor, owner, "__new__",
            detail::param_array(params, std::make_index_sequence<N>{}), doc};
}

namespace detail {
// Counts (out == nullptr) or writes the characters of a derived text.
struct TextWriter {
    char* out;
    std::size_t size = 0;
    constexpr void put(const char* s) {
        for (; *s; ++s, ++size)
            if (out) out[size] = *s;
    }
};

// "ContextApoptosis.insert()", "dehydrate()", "HormonalBus.__new__()".
template <std::size_t N>
constexpr void write_display(TextWriter& w, const Callable<N>& c) {
    if (*c.owner) {
        w.put(c.owner);
        w.put(".");
    }
    w.put(c.name);
    w.put("()");
}

// "insert($self, content, signal=0, oxygen=...)\n--\n\n" and the docstring; a
// class shows its own name and no $self.
template <std::size_t N>
constexpr void write_doc(TextWriter& w, const Callable<N>& c) {
    w.put(c.kind == CallableKind::constructor ? c.owner : c.name);
    w.put("(");
    const char* separator = "";
    if (c.kind == CallableKind::method) {
        w.put("$self");
        separator = ", ";
    }
    for (const Param& p : c.params) {
        w.put(separator);
        w.put(p.name);
        if (p.default_text) {
            w.put("=");
            w.put(p.default_text);
        }
        separator = ", ";
    }
    w.put(")\n--\n\n");
    w.put(c.doc);
}

// The text `write(writer)` produces, NUL-terminated, in a constant array.
template <auto Write>
constexpr auto render_text() {
    constexpr std::size_t size = [] {
        TextWriter counter{nullptr};
        Write(counter);
        return counter.size;
    }();
    std::array<char, size + 1> text{};
    TextWriter writer{text.data()};
    Write(writer);
    return text;
}

template <auto& C>
inline constexpr auto kDisplay = render_text<[](TextWriter& w) { write_display(w, C); }>();
template <auto& C>
inline constexpr auto kDoc = render_text<[](TextWriter& w) { write_doc(w, C); }>();

}  // namespace detail

// The name binding errors show, e.g. "ContextApoptosis.insert()".
template <auto& C>
constexpr const char* display_name() {
    return detail::kDisplay<C>.data();
}
// The docstring with its text-signature line.
template <auto& C>
constexpr const char* docstring() {
    return detail::kDoc<C>.data();
}

}  // namespace fenwa::py
