#include "host_trim/views_type.hpp"

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

namespace fenwa::py {
namespace {

struct ViewsData {
    Ref view_type;
    Ref no_ids = owned(PyTuple_New(0));
    std::vector<ViewRow> rows;
    // The views assigned by Python (the adapter's, for the messages the reader
    // left to it, or with other bits); empty until the first assignment.
    std::vector<PyObject*> assigned;

    ~ViewsData() {
        for (ViewRow& row : rows) {
            Py_XDECREF(row.entry);
            Py_XDECREF(row.text);
            Py_XDECREF(row.calls);
            Py_XDECREF(row.answers);
        }
        for (PyObject* v : assigned) Py_XDECREF(v);
    }
};

struct ViewsObject {
    PyObject_HEAD ViewsData* data;  // nullptr only while the object is being made
};

ViewsData& data_of(PyObject* self) {
    return *reinterpret_cast<ViewsObject*>(self)->data;
}

// View `i` of a Views (0 <= i < size), a new reference.
PyObject* view_at(PyObject* self, Py_ssize_t i) {
    ViewsData& d = data_of(self);
    const auto at = static_cast<std::size_t>(i);
    if (!d.assigned.empty() && d.assigned[at]) return new_ref(d.assigned[at]);
    const ViewRow& row = d.rows[at];
    if (!row.entry) return new_ref(Py_None);
    auto* type = reinterpret_cast<PyTypeObject*>(d.view_type.get());
    Ref view = owned(type->tp_alloc(type, kViewSlots));
    PyObject* v = view.get();
    PyTuple_SET_ITEM(v, kViewPosition, index_int(i));
    PyTuple_SET_ITEM(v, kViewRole, new_ref(PyTuple_GET_ITEM(row.entry, 0)));
    PyTuple_SET_ITEM(v, kViewBits, new_ref(PyTuple_GET_ITEM(row.entry, 1)));
    PyTuple_SET_ITEM(v, kViewText, new_ref(row.text));
    PyTuple_SET_ITEM(v, kViewExtra, owned(PyLong_FromLong(0)).release());
    PyTuple_SET_ITEM(v, kViewCalls, new_ref(row.calls ? row.calls : d.no_ids.get()));
    PyTuple_SET_ITEM(v, kViewAnswers, new_ref(row.answers ? row.answers : d.no_ids.get()));
    PyTuple_SET_ITEM(v, kViewThinking, new_ref(row.thinking ? Py_True : Py_False));
    // Every item is a str, an int, a bool or a tuple of exact str: no cycle
    // can pass through it.
    PyObject_GC_UnTrack(v);
    return view.release();
}

Py_ssize_t size_of(PyObject* self) {
    return static_cast<Py_ssize_t>(data_of(self).rows.size());
}

// `key` as an index into a Views of `n` views, negative ones from the end.
Py_ssize_t index_of(PyObject* key, Py_ssize_t n) {
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) throw_error();
    if (i < 0) i += n;
    if (i < 0 || i >= n) raise(PyExc_IndexError, "Views index out of range");
    return i;
}

Py_ssize_t length(PyObject* self) noexcept {
    return size_of(self);
}

PyObject* item(PyObject* self, Py_ssize_t i) noexcept {
    return guarded([&] {
        if (i < 0 || i >= size_of(self)) raise(PyExc_IndexError, "Views index out of range");
        return view_at(self, i);
    });
}

PyObject* subscript(PyObject* self, PyObject* key) noexcept {
    return guarded([&] {
        const Py_ssize_t n = size_of(self);
        if (!PySlice_Check(key)) return view_at(self, index_of(key, n));
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) throw_error();
        const Py_ssize_t count = PySlice_AdjustIndices(n, &start, &stop, step);
        Ref out = owned(PyList_New(count));
        for (Py_ssize_t k = 0; k < count; ++k)
            PyList_SET_ITEM(out.get(), k, view_at(self, start + k * step));
        return out.release();
    });
}

int assign(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return guarded_status([&] {
        if (!value) raise(PyExc_TypeError, "Views items cannot be deleted");
        if (!PyIndex_Check(key)) type_mismatch(key, "int");
        const Py_ssize_t i = index_of(key, size_of(self));
        if (!view_reaches(value, static_cast<ViewSlot>(kViewSlots - 1)))
            raise(PyExc_TypeError, "a Views item must be a message view");
        ViewsData& d = data_of(self);
        if (d.assigned.empty()) d.assigned.assign(d.rows.size(), nullptr);
        // The old view is released only once the new one is stored.
        PyObject* old = std::exchange(d.assigned[static_cast<std::size_t>(i)], new_ref(value));
        Py_XDECREF(old);
    });
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (ViewsData* d = reinterpret_cast<ViewsObject*>(self)->data) {
        Py_VISIT(d->view_type.get());
        // The rows hold str, int and tuples of str only; assigned views may hold
        // anything a caller put in them.
        for (PyObject* v : d->assigned) Py_VISIT(v);
    }
    return 0;
}

int clear(PyObject* self) {
    if (ViewsData* d = reinterpret_cast<ViewsObject*>(self)->data)
        for (PyObject*& v : d->assigned) Py_CLEAR(v);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete std::exchange(reinterpret_cast<ViewsObject*>(self)->data, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "Views are made by read_messages only");
    return nullptr;
}

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Views of a message list read natively (private to "
                                  "fenwa_host): a sequence of MessageView.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_sq_item, reinterpret_cast<void*>(item)},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(assign)},
    {0, nullptr},
};
PyType_Spec g_spec = {"fenwa_host._native.Views", static_cast<int>(sizeof(ViewsObject)), 0,
                      kClassFlags | Py_TPFLAGS_HAVE_GC, g_slots};
std::atomic<PyObject*> g_type{nullptr};

}  // namespace

PyTypeObject* views_type() {
    return cached_type(g_type, &g_spec, nullptr);
}

Ref new_views(PyTypeObject* view_type, Py_ssize_t n) {
    auto data = std::make_unique<ViewsData>();
    data->view_type = Ref::borrow(reinterpret_cast<PyObject*>(view_type));
    data->rows.resize(static_cast<std::size_t>(n));
    PyTypeObject* type = views_type();
    Ref views = owned(type->tp_alloc(type, 0));
    reinterpret_cast<ViewsObject*>(views.get())->data = data.release();
    return views;
}

ViewRow& views_row(PyObject* views, Py_ssize_t i) {
    return data_of(views).rows[static_cast<std::size_t>(i)];
}

ViewSource::ViewSource(PyObject* views) : views_(views), list_(PyList_CheckExact(views)) {
    if (!list_ && Py_TYPE(views) != views_type()) type_mismatch(views, "list");
}

Py_ssize_t ViewSource::size() const {
    return list_ ? PyList_GET_SIZE(views_) : size_of(views_);
}

ViewFields ViewSource::at(Py_ssize_t i) const {
    PyObject* v = nullptr;
    if (list_) {
        v = PyList_GET_ITEM(views_, i);
    } else {
        ViewsData& d = data_of(views_);
        const auto k = static_cast<std::size_t>(i);
        if (!d.assigned.empty() && d.assigned[k]) {
            v = d.assigned[k];
        } else if (const ViewRow& row = d.rows[k]; row.entry) {
            PyObject* none = d.no_ids.get();
            return {Ref(),
                    nullptr,
                    PyTuple_GET_ITEM(row.entry, 0),
                    PyTuple_GET_ITEM(row.entry, 1),
                    row.calls ? row.calls : none,
                    row.answers ? row.answers : none};
        }
    }
    if (!v || !view_reaches(v, kViewAnswers))
        raise(PyExc_TypeError, "views must hold message views");
    return {Ref::borrow(v),
            PyTuple_GET_ITEM(v, kViewPosition),
            PyTuple_GET_ITEM(v, kViewRole),
            PyTuple_GET_ITEM(v, kViewBits),
            PyTuple_GET_ITEM(v, kViewCalls),
            PyTuple_GET_ITEM(v, kViewAnswers)};
}

}  // namespace fenwa::py
