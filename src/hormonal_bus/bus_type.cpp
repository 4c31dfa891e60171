// Python class HormonalBus.
#include <array>
#include <vector>

#include "hormonal_bus/bus.hpp"
#include "hormonal_bus/signal_type.hpp"
#include "module/boundary.hpp"
#include "module/registry.hpp"

// The kernel takes no locks: every operation is lock-free on atomics and safe on
// any number of threads at once, and none needs exclusive access, so calls take
// no borrow claims.
FENWA_NO_BORROW_CLAIMS(fenwa::bus::Bus);

namespace fenwa {
namespace {

using py::Ref;
using BusObject = py::Object<bus::Bus>;

constexpr auto kNew =
    py::class_decl("HormonalBus", {{"num_signals", "32"}, {"event_capacity", "4096"}},
                   "Lock-free hormonal signalling bus. `inject`/`secrete` are O(popcount) and\n"
                   "release the GIL; `sense` reads the current concentration for a channel "
                   "mask.");
constexpr auto kInject = py::method_decl("HormonalBus", "inject", {{"signal"}},
                                         "Inject a typed `HormonalSignal` (the primary API).");
constexpr auto kSecrete =
    py::method_decl("HormonalBus", "secrete", {{"flags"}, {"intensity"}},
                    "Raw injection by `(flags, intensity)` \xE2\x80\x94 the microsecond hot path.");
constexpr auto kSense =
    py::method_decl("HormonalBus", "sense", {{"mask"}},
                    "Current summed concentration across every channel in `mask`.");
constexpr auto kConcentration = py::method_decl("HormonalBus", "concentration", {{"signal_bit"}},
                                                "Concentration of a single channel bit.");
constexpr auto kTick =
    py::method_decl("HormonalBus", "tick", {{"decay"}},
                    "Multiplicative decay/dissipation of every channel (temporal homeostasis).");
constexpr auto kSnapshot = py::method_decl("HormonalBus", "snapshot", "");
constexpr auto kDrain =
    py::method_decl("HormonalBus", "drain_events", {{"max"}},
                    "Drain up to `max` buffered signal events as `(flags, intensity)` pairs.");
constexpr auto kStats = py::method_decl("HormonalBus", "stats", "");

py::Key kNumSignals{"num_signals"};
py::Key kSecretions{"secretions"};
py::Key kTotal{"total_concentration"};

Ref construct(PyTypeObject* type, const py::Bound<2>& a) {
    const std::uint64_t num_signals = a.get<py::to_u64>(0);
    const std::uint64_t event_capacity = a.get<py::to_u64>(1);
    return py::make_object<bus::Bus>(type, num_signals, event_capacity);
}

Ref inject(BusObject& self, const py::Bound<1>& a) {
    const bus::Signal s = a.get<copy_signal>(0);
    {
        py::GilRelease unlocked;
        self.kernel.inject(s.flags, s.intensity);
    }
    return py::none();
}

Ref secrete(BusObject& self, const py::Bound<2>& a) {
    const std::uint32_t flags = a.get<py::to_u32>(0);
    const float intensity = a.get<py::to_f32>(1);
    {
        py::GilRelease unlocked;
        self.kernel.inject(flags, intensity);
    }
    return py::none();
}

Ref sense(BusObject& self, const py::Bound<1>& a) {
    const std::uint32_t mask = a.get<py::to_u32>(0);
    float sum;
    {
        py::GilRelease unlocked;
        sum = self.kernel.sense(mask);
    }
    return py::new_float(sum);
}

Ref concentration(BusObject& self, const py::Bound<1>& a) {
    return py::new_float(self.kernel.concentration(a.get<py::to_u64>(0)));
}

Ref tick(BusObject& self, const py::Bound<1>& a) {
    const float decay = a.get<py::to_f32>(0);
    {
        py::GilRelease unlocked;
        self.kernel.tick(decay);
    }
    return py::none();
}

Ref snapshot(BusObject& self) {
    std::array<float, bus::Bus::kMaxChannels> values;
    const std::size_t n = self.kernel.num_signals();
    for (std::size_t i = 0; i < n; ++i) values[i] = self.kernel.channel(i);
    return py::build_list(n, [&](std::size_t i) { return py::new_float(values[i]); });
}

Ref drain_events(BusObject& self, const py::Bound<1>& a) {
    const std::uint64_t max = a.get<py::to_u64>(0);
    bus::Drain drain(self.kernel);
    drain.take(max);
    // Events already taken must not be lost: if the list cannot be built, the
    // interpreter's MemoryError is the call's error and the drain gives every
    // event back for the next one.
    const auto& taken = drain.events();
    Ref list = py::build_list_or_raise(taken.size(), [&](std::size_t i) {
        Ref flags = py::owned(PyLong_FromUnsignedLong(taken[i].flags));
        Ref intensity = py::owned(PyFloat_FromDouble(taken[i].intensity));
        Ref pair = py::owned(PyTuple_New(2));
        PyTuple_SET_ITEM(pair.get(), 0, flags.release());
        PyTuple_SET_ITEM(pair.get(), 1, intensity.release());
        return pair;
    });
    drain.commit();
    return list;
}

Ref stats(BusObject& self) {
    const double num_signals = static_cast<double>(self.kernel.num_signals());
    const double secretions = static_cast<double>(self.kernel.secretions());
    const double total = self.kernel.total();
    py::DictBuilder d;
    d.set(kNumSignals, py::new_float(num_signals));
    d.set(kSecretions, py::new_float(secretions));
    d.set(kTotal, py::new_float(total));
    return d.finish();
}

PyMethodDef g_methods[] = {
    py::method_def<kInject, inject>(),      py::method_def<kSecrete, secrete>(),
    py::method_def<kSense, sense>(),        py::method_def<kConcentration, concentration>(),
    py::method_def<kTick, tick>(),          py::noargs_def<kSnapshot, snapshot>(),
    py::method_def<kDrain, drain_events>(), py::noargs_def<kStats, stats>(),
    {nullptr, nullptr, 0, nullptr},
};

py::ClassDef<bus::Bus, kNew, construct> g_class{"builtins.HormonalBus",
                                                {
                                                    {Py_tp_methods, g_methods},
                                                }};

}  // namespace

PyTypeObject* hormonal_bus_type() {
    return g_class.type();
}

}  // namespace fenwa
