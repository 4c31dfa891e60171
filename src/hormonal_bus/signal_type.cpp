// Python class HormonalSignal.
#include "hormonal_bus/signal_type.hpp"

#include "hormonal_bus/signal.hpp"
#include "module/boundary.hpp"
#include "module/registry.hpp"

namespace fenwa {
namespace {

using py::Ref;
using SignalObject = py::Object<bus::Signal>;

constexpr auto kNew = py::class_decl(
    "HormonalSignal", {{"flags"}, {"intensity", "1.0"}},
    "A single hormonal signal: bitwise channel `flags` (`u32`) + `intensity` (`f32`).");

Ref construct(PyTypeObject* type, const py::Bound<2>& a) {
    const std::uint32_t flags = a.get<py::to_u32>(0);
    const float intensity = a.get<py::to_f32>(1);
    return py::make_object<bus::Signal>(type, bus::Signal{flags, intensity});
}

Ref get_flags(SignalObject& self) {
    return py::new_int(self.kernel.flags);
}
Ref get_intensity(SignalObject& self) {
    return py::new_float(self.kernel.intensity);
}
void store_flags(bus::Signal& s, std::uint32_t v) {
    s.flags = v;
}
void store_intensity(bus::Signal& s, float v) {
    s.intensity = v;
}
Ref repr(SignalObject& self) {
    return py::new_str(bus::format_signal(self.kernel));
}

PyGetSetDef g_getset[] = {
    {"flags", py::getter<get_flags>, py::setter<bus::Signal, py::to_u32, store_flags>, nullptr,
     nullptr},
    {"intensity", py::getter<get_intensity>, py::setter<bus::Signal, py::to_f32, store_intensity>,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

py::ClassDef<bus::Signal, kNew, construct> g_class{
    "builtins.HormonalSignal",
    {
        {Py_tp_repr, reinterpret_cast<void*>(py::method_noargs<repr>)},
        {Py_tp_getset, g_getset},
    }};

}  // namespace

PyTypeObject* hormonal_signal_type() {
    return g_class.type();
}

bus::Signal copy_signal(PyObject* obj) {
    auto& sig = py::to_instance<bus::Signal>(obj, hormonal_signal_type(), "HormonalSignal");
    py::SharedClaim claim(sig.claim);
    return sig.kernel;
}

}  // namespace fenwa
