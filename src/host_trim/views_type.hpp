// fenwa_host._native.Views: the views of a message list that the native reader
// read, kept as the parts each view is made of and built as a MessageView only
// when Python asks for one. A trim reads most messages' views only through the
// entry points below (pairing, pins, the removal order), which take the parts
// as they are; building ten thousand tuples that are never looked at costs more
// than reading the messages did.
#pragma once

#include <cstdint>

#include "module/host_values.hpp"

namespace fenwa::py {

// The parts of one read message's view; each pointer a reference the Views
// owns. A row without an entry is a message the reader left to the Python
// adapter: its view is None until one is assigned.
struct ViewRow {
    PyObject* entry = nullptr;  // the reader table's (kind, bits) pair
    PyObject* text = nullptr;
    PyObject* calls = nullptr;    // tuple of ids; nullptr: none
    PyObject* answers = nullptr;  // tuple of ids; nullptr: none
    bool thinking = false;
};

// The Views class (made on first use).
PyTypeObject* views_type();

// A new Views of `n` empty rows whose views are of `view_type` (checked by the
// caller: a tuple class with the view fields).
Ref new_views(PyTypeObject* view_type, Py_ssize_t n);

// Row `i` of a Views that the reader is filling: it takes the references put in.
ViewRow& views_row(PyObject* views, Py_ssize_t i);

// The fields of one view that the entry points read, borrowed from `holder`
// (or from the Views read, whose rows never change).
struct ViewFields {
    Ref holder;
    PyObject* position = nullptr;  // nullptr: the view's index
    PyObject* role = nullptr;
    PyObject* bits = nullptr;
    PyObject* calls = nullptr;
    PyObject* answers = nullptr;
};

// Views as the entry points take them: an exact list of views, or a Views.
class ViewSource {
  public:
    // TypeError naming `list` for anything else.
    explicit ViewSource(PyObject* views);
    // Asked again at every step: Python code run on the way may change a list.
    Py_ssize_t size() const;
    // View `i` (below size()); TypeError when it is not a view.
    ViewFields at(Py_ssize_t i) const;

  private:
    PyObject* views_;
    bool list_;
};

}  // namespace fenwa::py
