// Python class ContextApoptosis over the window kernel.
#include <optional>
#include <string>
#include <utility>

#include "context_apoptosis/window.hpp"
#include "module/boundary.hpp"
#include "module/registry.hpp"

// The kernel synchronizes itself (atomics and its own locks) and no operation
// needs exclusive access, so calls take no borrow claims.
FENWA_NO_BORROW_CLAIMS(fenwa::window::Window);

namespace fenwa {
namespace {

using py::Ref;
using window::Window;
using WindowObject = py::Object<Window>;

constexpr auto kNew = py::class_decl(
    "ContextApoptosis",
    {{"half_life", "2.0"},
     {"safe_threshold", "0.35"},
     {"capacity", "256"},
     {"state_capacity", "64"}},
    "A self-dehydrating context window. Insert blocks, then run `dehydrate` cycles;\n"
    "each cycle halves oxygen over `half_life` and purges anything below the\n"
    "`safe_threshold` (durable classes are reinforced and survive).");
constexpr auto kInsert = py::method_decl(
    "ContextApoptosis", "insert", {{"content"}, {"signal", "0"}, {"oxygen", "..."}},
    "Insert a context block. `oxygen < 0` (default) \xE2\x86\x92 auto metabolic weight.");
constexpr auto kDehydrate = py::method_decl(
    "ContextApoptosis", "dehydrate", {{"reinforce_boost", "0.5"}, {"absorb", "False"}},
    "One half-life decay cycle \xE2\x86\x92 returns the number of purged blocks. Durable\n"
    "classes are reinforced by `reinforce_boost`; everything else decays by\n"
    "`2^(-1/half_life)` and is purged in place if it drops below the threshold.\n"
    "\n"
    "With `absorb=True`, purged USER/ASSISTANT cells leave a one-line digest\n"
    "in the STATE ledger instead of vanishing without trace (TOOL/THINKING\n"
    "ballast is still dropped silently \xE2\x80\x94 it is noise by definition).");
constexpr auto kNoteState =
    py::method_decl("ContextApoptosis", "note_state", {{"fact"}},
                    "Append a durable fact/decision to the consolidated STATE ledger.\n"
                    "Deduplicated by content hash; oldest entries roll off past capacity.");
constexpr auto kSetPurpose = py::method_decl(
    "ContextApoptosis", "set_purpose", {{"text"}},
    "Set (or clear, with `None`) the purpose contract \xE2\x80\x94 the stable header\n"
    "rendered above the history. Keep it byte-identical between calls so it\n"
    "stays inside a provider prompt-cache prefix.");
constexpr auto kStateEntries = py::method_decl("ContextApoptosis", "state_entries",
                                               "The current STATE ledger entries, oldest first.");
constexpr auto kRender =
    py::method_decl("ContextApoptosis", "render",
                    "The dehydrated context, newline-joined, ready to dispatch. Layout is\n"
                    "cache-friendly: [purpose contract (stable)] + [STATE ledger] + [survivors].");
constexpr auto kActiveContext = py::method_decl("ContextApoptosis", "active_context", "");
constexpr auto kActiveTokens = py::method_decl("ContextApoptosis", "active_tokens", "");
constexpr auto kInsertedTokens = py::method_decl("ContextApoptosis", "inserted_tokens", "");
constexpr auto kReductionRatio =
    py::method_decl("ContextApoptosis", "reduction_ratio",
                    "Fraction of inserted tokens reclaimed by apoptosis (0..1).");

class InterpreterLock final : public window::OuterLock {
  public:
    void release() noexcept override { handoff_.release(); }
    void reacquire() noexcept override { handoff_.reacquire(); }

  private:
    py::GilHandoff handoff_;
};

Ref construct(PyTypeObject* type, const py::Bound<4>& a) {
    const float half_life = a.get<py::to_f32>(0);
    const float safe_threshold = a.get<py::to_f32>(1);
    const std::uint64_t capacity = a.get<py::to_u64>(2);
    const std::uint64_t state_capacity = a.get<py::to_u64>(3);
    return py::make_object<Window>(type, half_life, safe_threshold, capacity, state_capacity);
}

Ref insert(WindowObject& self, const py::Bound<3>& a) {
    const py::StrUnits content = a.get<py::to_str_units>(0);
    const std::uint32_t signal = a.get<py::to_u32>(1);
    std::optional<float> oxygen;
    if (a[2]) oxygen = a.get<py::to_f32>(2);
    self.kernel.insert(content.units, content.utf8_bytes, signal, oxygen);
    return py::none();
}

Ref dehydrate(WindowObject& self, const py::Bound<2>& a) {
    const float boost = a.get<py::to_f32>(0);
    const bool absorb = a.get<py::to_bool>(1);
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
    py::method_def<kInsert, insert>(),
    py::method_def<kDehydrate, dehydrate>(),
    py::method_def<kNoteState, note_state>(),
    py::method_def<kSetPurpose, set_purpose>(),
    py::noargs_def<kStateEntries, state_entries>(),
    py::noargs_def<kRender, render>(),
    py::noargs_def<kActiveContext, active_context>(),
    py::noargs_def<kActiveTokens, active_tokens>(),
    py::noargs_def<kInsertedTokens, inserted_tokens>(),
    py::noargs_def<kReductionRatio, reduction_ratio>(),
    {nullptr, nullptr, 0, nullptr},
};

py::ClassDef<Window, kNew, construct> g_class{
    "builtins.ContextApoptosis",
    {
        {Py_tp_methods, g_methods},
        {Py_mp_length, reinterpret_cast<void*>(py::length<Window, length>)},
    }};

}  // namespace

PyTypeObject* context_apoptosis_type() {
    return g_class.type();
}

}  // namespace fenwa
