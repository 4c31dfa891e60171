// Python class HormonalBus.
#include <array>
#include <vector>

#include "hormonal_bus/bus.hpp"
#include "hormonal_bus/signal_type.hpp"
#include "module/boundary.hpp"
#include "module/registry.hpp"

// The kernel synchronizes itself (atomics and its own locks) and no operation
// needs exclusive access, so calls take no borrow claims.
namespace fenwa::py {
template <>
inline constexpr bool kTakesClaims<bus::Bus> = false;
}  // namespace fenwa::py

namespace fenwa {
namespace {

using py::Ref;
using BusObject = py::Object<bus::Bus>;

py::Signature<2> kNew{"HormonalBus.__new__()", {"num_signals", "event_capacity"}, 0};
py::Signature<1> kInject{"HormonalBus.inject()", {"signal"}, 1};
py::Signature<2> kSecrete{"HormonalBus.secrete()", {"flags", "intensity"}, 2};
py::Signature<1> kSense{"HormonalBus.sense()", {"mask"}, 1};
py::Signature<1> kConcentration{"HormonalBus.concentration()", {"signal_bit"}, 1};
py::Signature<1> kTick{"HormonalBus.tick()", {"decay"}, 1};
py::Signature<1> kDrain{"HormonalBus.drain_events()", {"max"}, 1};

py::Key kNumSignals{"num_signals"};
py::Key kSecretions{"secretions"};
py::Key kTotal{"total_concentration"};

Ref construct(PyTypeObject* type, const py::Bound<2>& a) {
    const std::uint64_t num_signals = a.get<py::to_u64>(0, std::uint64_t{32});
    const std::uint64_t event_capacity = a.get<py::to_u64>(1, std::uint64_t{4096});
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
    py::method_def<kInject, inject>(
        "inject",
        "inject($self, signal)\n--\n\nInject a typed `HormonalSignal` (the primary API)."),
    py::method_def<kSecrete, secrete>(
        "secrete",
        "secrete($self, flags, intensity)\n--\n\n"
        "Raw injection by `(flags, intensity)` \xE2\x80\x94 the microsecond hot path."),
    py::method_def<kSense, sense>(
        "sense",
        "sense($self, mask)\n--\n\nCurrent summed concentration across every channel in `mask`."),
    py::method_def<kConcentration, concentration>(
        "concentration",
        "concentration($self, signal_bit)\n--\n\nConcentration of a single channel bit."),
    py::method_def<kTick, tick>(
        "tick",
        "tick($self, decay)\n--\n\n"
        "Multiplicative decay/dissipation of every channel (temporal homeostasis)."),
    py::noargs_def<snapshot>("snapshot", "snapshot($self)\n--\n\n"),
    py::method_def<kDrain, drain_events>(
        "drain_events",
        "drain_events($self, max)\n--\n\n"
        "Drain up to `max` buffered signal events as `(flags, intensity)` pairs."),
    py::noargs_def<stats>("stats", "stats($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

py::ClassDef<bus::Bus, kNew, construct> g_class{
    "builtins.HormonalBus",
    "HormonalBus(num_signals=32, event_capacity=4096)\n--\n\n"
    "Lock-free hormonal signalling bus. `inject`/`secrete` are O(popcount) and\n"
    "release the GIL; `sense` reads the current concentration for a channel "
    "mask.",
    {
        {Py_tp_methods, g_methods},
    }};

}  // namespace

PyTypeObject* hormonal_bus_type() {
    return g_class.type();
}

}  // namespace fenwa
