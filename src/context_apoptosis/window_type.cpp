// Python class ContextApoptosis over the window kernel.
#include <optional>
#include <string>
#include <utility>

#include "context_apoptosis/window.hpp"
#include "module/boundary.hpp"
#include "module/registry.hpp"

// The kernel synchronizes itself (atomics and its own locks) and no operation
// needs exclusive access, so calls take no borrow claims.
namespace fenwa::py {
template <>
inline constexpr bool kTakesClaims<window::Window> = false;
}  // namespace fenwa::py

namespace fenwa {
namespace {

using py::Ref;
using window::Window;
using WindowObject = py::Object<Window>;

py::Signature<4> kNew{
    "ContextApoptosis.__new__()", {"half_life", "safe_threshold", "capacity", "state_capacity"}, 0};
py::Signature<3> kInsert{"ContextApoptosis.insert()", {"content", "signal", "oxygen"}, 1};
py::Signature<2> kDehydrate{"ContextApoptosis.dehydrate()", {"reinforce_boost", "absorb"}, 0};
py::Signature<1> kNoteState{"ContextApoptosis.note_state()", {"fact"}, 1};
py::Signature<1> kSetPurpose{"ContextApoptosis.set_purpose()", {"text"}, 1};

class InterpreterLock final : public window::OuterLock {
  public:
    void release() noexcept override { handoff_.release(); }
    void reacquire() noexcept override { handoff_.reacquire(); }

  private:
    py::GilHandoff handoff_;
};

Ref construct(PyTypeObject* type, const py::Bound<4>& a) {
    const float half_life = a.get<py::to_f32>(0, 2.0f);
    const float safe_threshold = a.get<py::to_f32>(1, 0.35f);
    const std::uint64_t capacity = a.get<py::to_u64>(2, std::uint64_t{256});
    const std::uint64_t state_capacity = a.get<py::to_u64>(3, std::uint64_t{64});
    return py::make_object<Window>(type, half_life, safe_threshold, capacity, state_capacity);
}

Ref insert(WindowObject& self, const py::Bound<3>& a) {
    const py::StrUnits content = a.get<py::to_str_units>(0);
    const std::uint32_t signal = a.get<py::to_u32>(1, std::uint32_t{0});
    std::optional<float> oxygen;
    if (a[2]) oxygen = a.get<py::to_f32>(2);
    self.kernel.insert(content.units, content.utf8_bytes, signal, oxygen);
    return py::none();
}

Ref dehydrate(WindowObject& self, const py::Bound<2>& a) {
    const float boost = a.get<py::to_f32>(0, 0.5f);
    const bool absorb = a.get<py::to_bool>(1, false);
    // The cycle releases the interpreter lock around its decay and purge.
    InterpreterLock gil;
    return py::new_int(self.kernel.dehydrate(boost, absorb, gil));
}

Ref note_state(WindowObject& self, const py::Bound<1>& a) {
    const py::StrText fact = a.get<py::to_str_text>(0);
    return py::new_bool(self.kernel.ledger_append(fact.utf8, fact.units));
}

Ref set_purpose(WindowObject& self, const py::Bound<1>& a) {
    std::optional<text::StoredText> text;
    if (a[0] != Py_None) text.emplace(a.get<py::to_str_units>(0).units);
    self.kernel.set_purpose(std::move(text));
    return py::none();
}

// The kernel takes its own handles to the texts under its locks (stored texts
// never change); the Python objects are built from them after every lock is
// released, so no lock is held while the interpreter allocates (which may run
// Python code that uses this window).
Ref state_entries(WindowObject& self) {
    return py::new_str_list(self.kernel.state_texts());
}
Ref render(WindowObject& self) {
    const window::Rendering r = self.kernel.rendering();
    return py::new_str(r.length(), r.width(),
                       [&](char* units, text::Width width) { r.write(units, width); });
}
Ref active_context(WindowObject& self) {
    return py::new_str_list(self.kernel.active_texts());
}
Ref active_tokens(WindowObject& self) {
    return py::new_int(self.kernel.active_tokens());
}
Ref inserted_tokens(WindowObject& self) {
    return py::new_int(self.kernel.inserted_tokens());
}
Ref reduction_ratio(WindowObject& self) {
    return py::new_float(self.kernel.reduction_ratio());
}

std::size_t length(Window& win) {
    return win.size();
}

PyMethodDef g_methods[] = {
    py::method_def<kInsert, insert>(
        "insert",
        "insert($self, content, signal=0, oxygen=...)\n--\n\n"
        "Insert a context block. `oxygen < 0` (default) \xE2\x86\x92 auto metabolic weight."),
    py::method_def<kDehydrate, dehydrate>(
        "dehydrate",
        "dehydrate($self, reinforce_boost=0.5, absorb=False)\n--\n\n"
        "One half-life decay cycle \xE2\x86\x92 returns the number of purged blocks. Durable\n"
        "classes are reinforced by `reinforce_boost`; everything else decays by\n"
        "`2^(-1/half_life)` and is purged in place if it drops below the threshold.\n"
        "\n"
        "With `absorb=True`, purged USER/ASSISTANT cells leave a one-line digest\n"
        "in the STATE ledger instead of vanishing without trace (TOOL/THINKING\n"
        "ballast is still dropped silently \xE2\x80\x94 it is noise by definition)."),
    py::method_def<kNoteState, note_state>(
        "note_state",
        "note_state($self, fact)\n--\n\n"
        "Append a durable fact/decision to the consolidated STATE ledger.\n"
        "Deduplicated by content hash; oldest entries roll off past capacity."),
    py::method_def<kSetPurpose, set_purpose>(
        "set_purpose",
        "set_purpose($self, text)\n--\n\n"
        "Set (or clear, with `None`) the purpose contract \xE2\x80\x94 the stable header\n"
        "rendered above the history. Keep it byte-identical between calls so it\n"
        "stays inside a provider prompt-cache prefix."),
    py::noargs_def<state_entries>(
        "state_entries",
        "state_entries($self)\n--\n\nThe current STATE ledger entries, oldest first."),
    py::noargs_def<render>(
        "render",
        "render($self)\n--\n\n"
        "The dehydrated context, newline-joined, ready to dispatch. Layout is\n"
        "cache-friendly: [purpose contract (stable)] + [STATE ledger] + [survivors]."),
    py::noargs_def<active_context>("active_context", "active_context($self)\n--\n\n"),
    py::noargs_def<active_tokens>("active_tokens", "active_tokens($self)\n--\n\n"),
    py::noargs_def<inserted_tokens>("inserted_tokens", "inserted_tokens($self)\n--\n\n"),
    py::noargs_def<reduction_ratio>(
        "reduction_ratio",
        "reduction_ratio($self)\n--\n\nFraction of inserted tokens reclaimed by apoptosis (0..1)."),
    {nullptr, nullptr, 0, nullptr},
};

py::ClassDef<Window, kNew, construct> g_class{
    "builtins.ContextApoptosis",
    "ContextApoptosis(half_life=2.0, safe_threshold=0.35, capacity=256, state_capacity=64)\n"
    "--\n\n"
    "A self-dehydrating context window. Insert blocks, then run `dehydrate` cycles;\n"
    "each cycle halves oxygen over `half_life` and purges anything below the\n"
    "`safe_threshold` (durable classes are reinforced and survive).",
    {
        {Py_tp_methods, g_methods},
        {Py_mp_length, reinterpret_cast<void*>(py::length<Window, length>)},
    }};

}  // namespace

PyTypeObject* context_apoptosis_type() {
    return g_class.type();
}

}  // namespace fenwa
