// Python entry point that reads provider message lists into fenwa_host's views,
// one reader per format: OpenAI Chat Completions dicts, Responses item dicts,
// LangChain message objects and Anthropic Messages dicts. Each reads the well-formed common shapes
// and leaves every other message to the format's Python adapter, which also reports what is wrong
// with it.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "flood_report/registry.hpp"
#include "host_trim/trim_walk.hpp"
#include "host_trim/views_type.hpp"
#include "module/host_values.hpp"

namespace fenwa {
namespace {

using py::Ref;
namespace ht = host_trim;

using py::new_ref;

py::Key kRole{"role"};
py::Key kContent{"content"};
py::Key kToolCalls{"tool_calls"};
py::Key kInvalidToolCalls{"invalid_tool_calls"};
py::Key kToolCallId{"tool_call_id"};
py::Key kId{"id"};
py::Key kFunction{"function"};
py::Key kName{"name"};
py::Key kArguments{"arguments"};
py::Key kArgs{"args"};
py::Key kType{"type"};
py::Key kCallId{"call_id"};
py::Key kOutput{"output"};
py::Key kNewline{"\n"};
py::Key kText{"text"};
py::Key kInput{"input"};
py::Key kToolUseId{"tool_use_id"};
py::Key kThinking{"thinking"};
py::Key kData{"data"};
py::Key kToolResult{"tool_result"};
py::Key kFields{"_fields"};

using py::kViewSlots;

// The value of `key` in an exact dict (borrowed; nullptr when absent).
PyObject* item(PyObject* dict, py::Key& key) {
    PyObject* v = PyDict_GetItemWithError(dict, key.get());
    if (!v && PyErr_Occurred()) py::throw_error();
    return v;
}

// The attribute `key` of `o` (nullptr when it has none, or reading it fails: the
// Python adapter then reads the message and reports any error itself).
Ref attribute(PyObject* o, py::Key& key) {
    Ref v = Ref::steal(PyObject_GetAttr(o, key.get()));
    if (!v) PyErr_Clear();
    return v;
}

// An object's fields. A model (pydantic's, LangChain's messages) keeps its fields
// in its instance dict; when its class defines none of the names read here and
// no attribute hook of its own, reading that dict is what attribute access does,
// at a fraction of the cost. Classes are checked once each (a class changed
// afterwards gets a new version tag and is checked again); anything else is read
// attribute by attribute.
class Fields {
  public:
    explicit Fields(PyObject* o) : o_(o) {
        if (plain_class(Py_TYPE(o))) {
            dict_ = Ref::steal(PyObject_GenericGetDict(o, nullptr));
            if (!dict_ || !PyDict_CheckExact(dict_.get())) {
                PyErr_Clear();
                dict_ = Ref();
            }
        }
    }
    // The field `key` (nullptr when absent: the Python adapter then reads it).
    Ref get(py::Key& key) const {
        if (!dict_) return attribute(o_, key);
        PyObject* v = PyDict_GetItemWithError(dict_.get(), key.get());
        if (!v && PyErr_Occurred()) py::throw_error();
        return Ref::borrow(v);
    }

  private:
    static bool plain_class(PyTypeObject* type);
    PyObject* o_;
    Ref dict_;
};

bool is_str(PyObject* o) {
    return o && PyUnicode_CheckExact(o);
}

bool equals(PyObject* s, const char* ascii) {
    return PyUnicode_CompareWithASCIIString(s, ascii) == 0;
}

bool no_calls(PyObject* calls) {
    return !calls || calls == Py_None ||
           (PyList_CheckExact(calls) && PyList_GET_SIZE(calls) == 0) ||
           (PyTuple_CheckExact(calls) && PyTuple_GET_SIZE(calls) == 0);
}

// The names Fields reads, and the attribute hook it must not bypass.
py::Key* const kFieldNames[] = {&kType, &kContent, &kToolCalls, &kInvalidToolCalls, &kToolCallId};
py::Key kGetAttribute{"__getattribute__"};

struct CheckedClass {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    bool plain = false;
};
// A few classes are read per list (one per message kind); the table is
// per-interpreter state only in what it caches, guarded by the GIL.
CheckedClass g_checked[16];
std::size_t g_next_checked = 0;

bool check_plain_class(PyTypeObject* type) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_dictoffset == 0) return false;
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); ++k) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, k));
        // Static built-in classes (object) define none of these names.
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* dict = base->tp_dict;
        if (!dict) return false;
        for (py::Key* key : kFieldNames) {
            const int has = PyDict_Contains(dict, key->get());
            if (has < 0) py::throw_error();
            if (has) return false;
        }
        const int hook = PyDict_Contains(dict, kGetAttribute.get());
        if (hook < 0) py::throw_error();
        if (hook) return false;
    }
    return true;
}

bool Fields::plain_class(PyTypeObject* type) {
    const unsigned int version = type->tp_version_tag;
    if (version == 0) return false;  // no version to check it against later
    for (const CheckedClass& c : g_checked)
        if (c.type == type && c.version == version) return c.plain;
    const bool plain = check_plain_class(type);
    g_checked[g_next_checked] = {type, version, plain};
    g_next_checked = (g_next_checked + 1) % std::size(g_checked);
    return plain;
}

// --- JSON text of tool-call arguments -----------------------------------------------

// Builds a view's counted text in one buffer: str pieces, line feeds, and the JSON
// of tool-call arguments as json.dumps(o, ensure_ascii=False, separators=(",", ":"))
// writes it, for exact dicts, lists, tuples, str, int, float, bool and None
// (`json` is false for anything else: the Python adapter serialises those, with
// `default=str`).
class TextWriter {
  public:
    explicit TextWriter(std::u32string& buffer) : out_(buffer) { out_.clear(); }

    void line_feed() { out_.push_back('\n'); }
    bool json(PyObject* o, int depth = 0) { return write(o, depth); }
    bool append(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(s) < 0) py::throw_error();
#endif
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        widest(s);
        if (kind == PyUnicode_1BYTE_KIND) {
            const auto* p = static_cast<const Py_UCS1*>(data);
            out_.append(p, p + n);
        } else {
            for (Py_ssize_t k = 0; k < n; ++k) out_.push_back(PyUnicode_READ(kind, data, k));
        }
        return true;
    }
    // The text as a str of the narrowest kind that holds it.
    Ref finish() {
        const auto n = static_cast<Py_ssize_t>(out_.size());
        Ref s = py::owned(PyUnicode_New(n, max_));
        void* data = PyUnicode_DATA(s.get());
        switch (PyUnicode_KIND(s.get())) {
            case PyUnicode_1BYTE_KIND:
                std::copy(out_.begin(), out_.end(), static_cast<Py_UCS1*>(data));
                break;
            case PyUnicode_2BYTE_KIND:
                std::copy(out_.begin(), out_.end(), static_cast<Py_UCS2*>(data));
                break;
            default:
                std::copy(out_.begin(), out_.end(), static_cast<Py_UCS4*>(data));
        }
        return s;
    }

  private:
    bool write(PyObject* o, int depth) {
        if (depth > 64) return false;
        if (o == Py_None) return ascii("null");
        if (o == Py_True) return ascii("true");
        if (o == Py_False) return ascii("false");
        if (PyUnicode_CheckExact(o)) return string(o);
        if (PyLong_CheckExact(o)) return integer(o);
        if (PyFloat_CheckExact(o)) {
            const double v = PyFloat_AS_DOUBLE(o);
            if (std::isnan(v)) return ascii("NaN");
            if (std::isinf(v)) return ascii(v > 0 ? "Infinity" : "-Infinity");
            return repr(o);
        }
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
            Ref hold = Ref::borrow(o);
            out_.push_back('[');
            for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(o); ++k) {
                if (k) out_.push_back(',');
                Ref v = Ref::borrow(PySequence_Fast_GET_ITEM(o, k));
                if (!write(v.get(), depth + 1)) return false;
            }
            out_.push_back(']');
            return true;
        }
        if (PyDict_CheckExact(o)) {
            Ref hold = Ref::borrow(o);
            out_.push_back('{');
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            bool first = true;
            const Py_ssize_t size = PyDict_GET_SIZE(o);
            while (PyDict_Next(o, &pos, &key, &value)) {
                if (PyDict_GET_SIZE(o) != size || !PyUnicode_CheckExact(key)) return false;
                Ref k = Ref::borrow(key);
                Ref v = Ref::borrow(value);
                if (!first) out_.push_back(',');
                first = false;
                if (!string(k.get())) return false;
                out_.push_back(':');
                if (!write(v.get(), depth + 1)) return false;
            }
            out_.push_back('}');
            return true;
        }
        return false;
    }

    // The widest character of `s` goes into the bound of the text's: a str's
    // kind (ASCII, one byte, two, four) says how wide its widest character is,
    // which is all the text's own kind depends on.
    void widest(PyObject* s) { max_ = std::max(max_, PyUnicode_MAX_CHAR_VALUE(s)); }

    bool ascii(const char* s) {
        while (*s) out_.push_back(static_cast<unsigned char>(*s++));
        return true;
    }
    bool integer(PyObject* o) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return repr(o);  // beyond 64 bits: Python writes it
        }
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
        out_.append(digits, end);
        return true;
    }
    bool repr(PyObject* o) {
        Ref r = Ref::steal(PyObject_Repr(o));
        if (!r) {
            PyErr_Clear();
            return false;
        }
        return append(r.get());
    }
    bool string(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(s) < 0) py::throw_error();
#endif
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        widest(s);
        out_.push_back('"');
        if (kind == PyUnicode_1BYTE_KIND) {
            // Runs without a character to escape are copied whole.
            const auto* p = static_cast<const Py_UCS1*>(data);
            Py_ssize_t run = 0;
            for (Py_ssize_t k = 0; k < n; ++k) {
                const Py_UCS1 c = p[k];
                if (c != '"' && c != '\\' && c >= 0x20) continue;
                out_.append(p + run, p + k);
                escape(c);
                run = k + 1;
            }
            out_.append(p + run, p + n);
        } else {
            for (Py_ssize_t k = 0; k < n; ++k) {
                const Py_UCS4 c = PyUnicode_READ(kind, data, k);
                if (c == '"' || c == '\\' || c < 0x20)
                    escape(c);
                else
                    out_.push_back(c);
            }
        }
        out_.push_back('"');
        return true;
    }
    // A character JSON escapes, as json.dumps writes it.
    void escape(Py_UCS4 c) {
        switch (c) {
            case '"':
                ascii("\\\"");
                break;
            case '\\':
                ascii("\\\\");
                break;
            case '\n':
                ascii("\\n");
                break;
            case '\r':
                ascii("\\r");
                break;
            case '\t':
                ascii("\\t");
                break;
            case '\b':
                ascii("\\b");
                break;
            case '\f':
                ascii("\\f");
                break;
            default: {
                static const char digits[] = "0123456789abcdef";
                ascii("\\u00");
                out_.push_back(static_cast<unsigned char>(digits[c >> 4]));
                out_.push_back(static_cast<unsigned char>(digits[c & 15]));
            }
        }
    }

    std::u32string& out_;
    Py_UCS4 max_ = 0;  // the widest character's bound so far
};

// --- one message ---------------------------------------------------------------------

struct Read {
    Ref text;
    Ref calls;    // tuple of ids
    Ref answers;  // tuple of ids
    Ref entry;    // the table's (kind, bits), held while the message is read
    PyObject* kind = nullptr;
    PyObject* bits = nullptr;
    std::uint8_t shape = ht::kPlain;
    bool thinking = false;  // it holds thinking blocks
    // The buffer the counted text of calls is built in, one per read (a Python
    // call made on the way may start another read: it has its own).
    std::u32string* scratch = nullptr;
};

// Takes the (kind, bits) entry of `key` in `table`; false when there is none.
bool take_entry(PyObject* table, PyObject* key, Read& out) {
    PyObject* entry = PyDict_GetItemWithError(table, key);
    if (!entry) {
        if (PyErr_Occurred()) py::throw_error();
        return false;
    }
    if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return false;
    out.entry = Ref::borrow(entry);
    out.kind = PyTuple_GET_ITEM(entry, 0);
    out.bits = PyTuple_GET_ITEM(entry, 1);
    return is_str(out.kind);
}

// Takes the call's id and writes its name, a line feed and its counted arguments;
// false when the call is not well formed.
using CallParts = bool (*)(PyObject* call, Ref& id, TextWriter& text);

// An OpenAI Chat call: {"id", "function": {"name", "arguments": str}}.
bool chat_call(PyObject* call, Ref& id, TextWriter& text) {
    if (!PyDict_CheckExact(call)) return false;
    id = Ref::borrow(item(call, kId));
    Ref function = Ref::borrow(item(call, kFunction));
    if (!is_str(id.get()) || !function || !PyDict_CheckExact(function.get())) return false;
    Ref name = Ref::borrow(item(function.get(), kName));
    Ref arguments = Ref::borrow(item(function.get(), kArguments));
    if (!is_str(name.get()) || !is_str(arguments.get())) return false;
    text.append(name.get());
    text.line_feed();
    return text.append(arguments.get());
}

// A LangChain call: {"name", "args": JSON data, "id"}; the args are counted as JSON.
bool langchain_call(PyObject* call, Ref& id, TextWriter& text) {
    if (!PyDict_CheckExact(call)) return false;
    id = Ref::borrow(item(call, kId));
    Ref name = Ref::borrow(item(call, kName));
    Ref args = Ref::borrow(item(call, kArgs));
    if (!is_str(id.get()) || !is_str(name.get())) return false;
    text.append(name.get());
    text.line_feed();
    if (!args || args.get() == Py_None) return true;
    if (is_str(args.get())) return text.append(args.get());
    return text.json(args.get());
}

// Ids and counted text of a list of calls ("name\narguments" per call, after the
// message's own text when it has any, one per line); false when anything is off.
bool read_calls(PyObject* calls, PyObject* content, CallParts parts, Read& out) {
    if (!PyList_CheckExact(calls)) return false;
    Ref hold_calls = Ref::borrow(calls);
    const Py_ssize_t n = PyList_GET_SIZE(calls);
    if (n == 0) return false;
    Ref ids = py::owned(PyTuple_New(n));
    TextWriter text(*out.scratch);
    const bool lead = content && content != Py_None && PyUnicode_GET_LENGTH(content) > 0;
    if (lead) text.append(content);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(calls); ++k) {
        if (k >= n) return false;  // the list grew while it was read
        Ref call = Ref::borrow(PyList_GET_ITEM(calls, k));
        Ref id;
        if (lead || k) text.line_feed();
        if (!parts(call.get(), id, text)) return false;
        PyTuple_SET_ITEM(ids.get(), k, id.release());
    }
    if (PyList_GET_SIZE(calls) != n) return false;
    out.text = text.finish();
    PyObject_GC_UnTrack(ids.get());  // exact str only
    out.calls = std::move(ids);
    out.shape = ht::kCalls;
    return true;
}

void answer(PyObject* id, PyObject* text, Read& out) {
    out.answers = py::owned(PyTuple_Pack(1, id));
    PyObject_GC_UnTrack(out.answers.get());
    out.text = Ref::borrow(text);
    out.shape = ht::kAnswer;
}

// An OpenAI Chat Completions message dict; `table` maps roles to (kind, bits).
bool read_chat(PyObject* m, PyObject* table, Read& out) {
    if (!PyDict_CheckExact(m)) return false;
    Ref role = Ref::borrow(item(m, kRole));
    if (!is_str(role.get()) || !take_entry(table, role.get(), out)) return false;
    Ref content = Ref::borrow(item(m, kContent));
    if (equals(out.kind, "tool")) {
        PyObject* cid = item(m, kToolCallId);
        if (!is_str(content.get()) || !is_str(cid)) return false;
        answer(cid, content.get(), out);
        return true;
    }
    if (equals(out.kind, "assistant")) {
        Ref calls = Ref::borrow(item(m, kToolCalls));
        if (!no_calls(calls.get())) {
            if (!(content.get() == Py_None || is_str(content.get()))) return false;
            return read_calls(calls.get(), content.get(), chat_call, out);
        }
    }
    if (!is_str(content.get())) return false;
    out.text = std::move(content);
    return true;
}

// A Responses input item dict: a message with str content, a function_call or a
// function_call_output with a str output. `table` maps the message roles, and
// the two item kinds, to (kind, bits).
bool read_responses(PyObject* m, PyObject* table, Read& out) {
    if (!PyDict_CheckExact(m)) return false;
    Ref type = Ref::borrow(item(m, kType));
    if (!type || (is_str(type.get()) && equals(type.get(), "message"))) {
        Ref role = Ref::borrow(item(m, kRole));
        if (!is_str(role.get()) || equals(role.get(), "function_call") ||
            equals(role.get(), "function_call_output") || !take_entry(table, role.get(), out))
            return false;
        Ref content = Ref::borrow(item(m, kContent));
        if (!is_str(content.get())) return false;
        out.text = std::move(content);
        return true;
    }
    if (!is_str(type.get())) return false;
    const bool call = equals(type.get(), "function_call");
    if (!call && !equals(type.get(), "function_call_output")) return false;
    if (!take_entry(table, type.get(), out)) return false;
    Ref cid = Ref::borrow(item(m, kCallId));
    if (!is_str(cid.get())) return false;
    if (!call) {
        Ref output = Ref::borrow(item(m, kOutput));
        if (!is_str(output.get())) return false;
        answer(cid.get(), output.get(), out);
        return true;
    }
    Ref name = Ref::borrow(item(m, kName));
    Ref arguments = Ref::borrow(item(m, kArguments));
    if (!is_str(name.get()) || !is_str(arguments.get())) return false;
    Ref pair = py::owned(PyTuple_Pack(2, name.get(), arguments.get()));
    out.text = py::owned(PyUnicode_Join(kNewline.get(), pair.get()));
    out.calls = py::owned(PyTuple_Pack(1, cid.get()));
    PyObject_GC_UnTrack(out.calls.get());
    out.shape = ht::kCalls;
    return true;
}

// A LangChain message object with str content: `table` maps its `type` (system,
// human, ai, tool and their chunks) to (kind, bits). AI messages with invalid
// tool calls, and ChatMessages, go to the Python adapter.
bool read_langchain(PyObject* m, PyObject* table, Read& out) {
    if (PyDict_Check(m) || PyTuple_Check(m) || PyUnicode_Check(m)) return false;
    const Fields fields(m);
    Ref type = fields.get(kType);
    if (!is_str(type.get()) || !take_entry(table, type.get(), out)) return false;
    Ref content = fields.get(kContent);
    if (!is_str(content.get())) return false;
    if (equals(out.kind, "tool")) {
        Ref cid = fields.get(kToolCallId);
        if (!is_str(cid.get())) return false;
        answer(cid.get(), content.get(), out);
        return true;
    }
    if (equals(out.kind, "assistant")) {
        Ref invalid = fields.get(kInvalidToolCalls);
        if (!invalid || !no_calls(invalid.get())) return false;
        Ref calls = fields.get(kToolCalls);
        if (!calls) return false;
        if (!no_calls(calls.get()))
            return read_calls(calls.get(), content.get(), langchain_call, out);
    }
    out.text = std::move(content);
    return true;
}

// The counted text of Anthropic content blocks: the pieces of text, one per line
// (an empty piece still takes its line, as a join of the pieces does). A text of
// one whole str is that str, not a copy of it.
class Pieces {
  public:
    explicit Pieces(std::u32string& buffer) : text_(buffer) {}
    // A piece that is the whole of `s`.
    bool str(PyObject* s) {
        if (count_++ == 0) {
            only_ = Ref::borrow(s);
            return true;
        }
        copy_only();
        text_.line_feed();
        return text_.append(s);
    }
    // A piece written by the caller.
    TextWriter& writer() {
        copy_only();
        if (count_++) text_.line_feed();
        return text_;
    }
    Ref finish() { return count_ == 1 && only_ ? std::move(only_) : text_.finish(); }

  private:
    void copy_only() {
        if (!only_) return;
        text_.append(only_.get());
        only_ = Ref();
    }
    TextWriter text_;
    Ref only_;  // the one piece so far, when it is a whole str
    std::size_t count_ = 0;
};

// The str `key` of an exact dict block (nullptr when it is absent or not a str).
PyObject* str_field(PyObject* block, py::Key& key) {
    PyObject* v = item(block, key);
    return is_str(v) ? v : nullptr;
}

// Appends an id to a list of ids; false when it is not a str.
bool add_id(PyObject* ids, PyObject* id) {
    if (!is_str(id)) return false;
    if (PyList_Append(ids, id) < 0) py::throw_error();
    return true;
}

// The content of a tool_result block as one piece: a str, nothing, or a list of
// text blocks joined by line feeds (an attachment goes to the Python adapter).
bool result_content(PyObject* content, Pieces& pieces) {
    if (is_str(content)) return pieces.str(content);
    if (content && content != Py_None && !PyList_CheckExact(content)) return false;
    TextWriter& text = pieces.writer();
    if (!content || content == Py_None) return true;
    Ref hold = Ref::borrow(content);
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(content); ++j) {
        Ref block = Ref::borrow(PyList_GET_ITEM(content, j));
        if (!PyDict_CheckExact(block.get())) return false;
        PyObject* type = str_field(block.get(), kType);
        PyObject* body = str_field(block.get(), kText);
        if (!type || !equals(type, "text") || !body) return false;
        if (j) text.line_feed();
        text.append(body);
    }
    return true;
}

// One Anthropic content block of a `user` or assistant message, added to the
// counted text and the ids; false for anything the Python adapter must read
// (attachments, blocks the role may not hold, a tool_result after other blocks).
bool anthropic_block(PyObject* block, bool user, Py_ssize_t k, Pieces& pieces, PyObject* calls,
                     PyObject* answers, Read& out) {
    if (!PyDict_CheckExact(block)) return false;
    PyObject* type = str_field(block, kType);
    if (!type) return false;
    if (equals(type, "text")) {
        PyObject* body = str_field(block, kText);
        return body && pieces.str(body);
    }
    if (user) {
        if (!equals(type, "tool_result") || PyList_GET_SIZE(answers) != k) return false;
        Ref content = Ref::borrow(item(block, kContent));
        return add_id(answers, item(block, kToolUseId)) && result_content(content.get(), pieces);
    }
    if (equals(type, "tool_use")) {
        PyObject* name = str_field(block, kName);
        Ref input = Ref::borrow(item(block, kInput));
        if (!name || !add_id(calls, item(block, kId))) return false;
        pieces.str(name);
        TextWriter& args = pieces.writer();
        if (!input || input.get() == Py_None) return true;
        return is_str(input.get()) ? args.append(input.get()) : args.json(input.get());
    }
    const bool thinking = equals(type, "thinking");
    if (!thinking && !equals(type, "redacted_thinking")) return false;
    PyObject* body = str_field(block, thinking ? kThinking : kData);
    out.thinking = true;
    return body && pieces.str(body);
}

// An Anthropic Messages message dict with str content or a list of text,
// tool_use, tool_result, thinking and redacted_thinking blocks. `table` maps the
// roles to (kind, bits), and "tool_result" and "thinking" to those of a user
// message that carries results and of an assistant message that thinks.
bool read_anthropic(PyObject* m, PyObject* table, Read& out) {
    if (!PyDict_CheckExact(m)) return false;
    Ref role = Ref::borrow(item(m, kRole));
    if (!is_str(role.get()) || equals(role.get(), "tool_result") ||
        equals(role.get(), "thinking") || !take_entry(table, role.get(), out))
        return false;
    Ref content = Ref::borrow(item(m, kContent));
    if (is_str(content.get())) {
        out.text = std::move(content);
        return true;
    }
    if (!content || !PyList_CheckExact(content.get())) return false;
    const bool user = equals(out.kind, "user");
    Ref calls = py::owned(PyList_New(0));
    Ref answers = py::owned(PyList_New(0));
    Pieces pieces(*out.scratch);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(content.get()); ++k) {
        Ref block = Ref::borrow(PyList_GET_ITEM(content.get(), k));
        if (!anthropic_block(block.get(), user, k, pieces, calls.get(), answers.get(), out))
            return false;
    }
    const Py_ssize_t n_answers = PyList_GET_SIZE(answers.get());
    if (n_answers ? !take_entry(table, kToolResult.get(), out)
                  : out.thinking && !take_entry(table, kThinking.get(), out))
        return false;
    out.text = pieces.finish();
    const Py_ssize_t n_calls = PyList_GET_SIZE(calls.get());
    for (auto [ids, to] : {std::pair{calls.get(), &out.calls}, {answers.get(), &out.answers}}) {
        if (PyList_GET_SIZE(ids) == 0) continue;  // the view's shared empty tuple
        *to = py::owned(PyList_AsTuple(ids));
        PyObject_GC_UnTrack(to->get());  // exact str only
    }
    out.shape = n_answers ? (n_answers == 1 && !n_calls ? ht::kAnswer : ht::kComplex)
                : n_calls ? ht::kCalls
                          : ht::kPlain;
    return true;
}

using Reader = bool (*)(PyObject* m, PyObject* table, Read& out);
constexpr Reader kReaders[] = {read_chat, read_responses, read_langchain, read_anthropic};

// --- the list ------------------------------------------------------------------------

// The views are built with tp_alloc and filled slot by slot, which only a tuple
// subclass that adds no fields of its own (a NamedTuple) allows, with its fields
// in the order the slots are filled.
PyTypeObject* view_class(PyObject* view_type) {
    auto* type = reinterpret_cast<PyTypeObject*>(view_type);
    if (!PyType_Check(view_type) || !PyType_IsSubtype(type, &PyTuple_Type) ||
        type->tp_basicsize != PyTuple_Type.tp_basicsize)
        py::raise(PyExc_TypeError, "view_type must be a tuple class without fields of its own");
    Ref fields = Ref::steal(PyObject_GetAttr(view_type, kFields.get()));
    if (!fields) py::throw_error();
    bool same = PyTuple_CheckExact(fields.get()) && PyTuple_GET_SIZE(fields.get()) == kViewSlots;
    for (Py_ssize_t k = 0; same && k < kViewSlots; ++k) {
        PyObject* name = PyTuple_GET_ITEM(fields.get(), k);
        same = is_str(name) && equals(name, py::kViewFieldNames[k]);
    }
    if (!same)
        py::raise(PyExc_TypeError,
                  "view_type's fields must be (position, role, bits, text, extra_tokens, calls, "
                  "answers, thinking)");
    return type;
}

// The estimate read_messages adds up per view, when it is asked for one.
struct Estimate {
    Estimate(PyObject* how, PyObject* framing_tuple)
        : counter(how), framing(py::framing_of(framing_tuple)) {}
    py::TextCounter counter;
    ht::Framing framing;
};

// What read_messages returns, filled message by message: the views (None where
// the Python adapter reads), their tokens (estimate, extra tokens and framing;
// 0 where the adapter reads, or None without an estimate), their shapes and the
// indices left to the adapter.
class ListReading {
  public:
    ListReading(Py_ssize_t n, PyTypeObject* type, const std::optional<Estimate>& estimate,
                bool lazy)
        : n_(n), type_(type), estimate_(estimate), lazy_(lazy) {
        views_ = lazy ? py::new_views(type, n) : py::owned(PyList_New(n));
        if (estimate_) {
            tokens_ = py::owned(PyBytes_FromStringAndSize(nullptr, n * 8));
            token_out_ = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(tokens_.get()));
        }
        shape_ = py::owned(PyByteArray_FromStringAndSize(nullptr, n));
        std::memset(PyByteArray_AS_STRING(shape_.get()), 0, static_cast<std::size_t>(n));
        todo_ = py::owned(PyList_New(0));
        no_ids_ = py::owned(PyTuple_New(0));
    }
    Py_ssize_t size() const { return n_; }

    // Message `i` (nullptr when the list shrank under it) read by `reader`.
    void read(Py_ssize_t i, PyObject* raw, Reader reader, PyObject* table) {
        Read r;
        r.scratch = &scratch_;
        bool fast = false;
        if (raw) {
            Ref m = Ref::borrow(raw);
            // A lone surrogate goes to the Python path, which reports it.
            fast = reader(m.get(), table, r) && !py::lone_surrogate(r.text.get());
        }
        if (!fast) {
            Ref index = Ref::steal(py::index_int(i));
            if (PyList_Append(todo_.get(), index.get()) < 0) py::throw_error();
            if (!lazy_) PyList_SET_ITEM(views_.get(), i, new_ref(Py_None));
            if (token_out_) token_out_[i] = 0;
            return;
        }
        if (token_out_) token_out_[i] = tokens_of(r, i);
        PyByteArray_AS_STRING(shape_.get())[i] = static_cast<char>(r.shape);
        if (!lazy_) {
            PyList_SET_ITEM(views_.get(), i, view(i, r).release());
            return;
        }
        py::ViewRow& row = py::views_row(views_.get(), i);
        row.entry = r.entry.release();
        row.text = r.text.release();
        row.calls = r.calls.release();
        row.answers = r.answers.release();
        row.thinking = r.thinking;
    }

    Ref finish() {
        Ref out = py::owned(PyTuple_New(4));
        PyTuple_SET_ITEM(out.get(), 0, views_.release());
        PyTuple_SET_ITEM(out.get(), 1, tokens_ ? tokens_.release() : new_ref(Py_None));
        PyTuple_SET_ITEM(out.get(), 2, shape_.release());
        PyTuple_SET_ITEM(out.get(), 3, todo_.release());
        return out;
    }

  private:
    std::int64_t tokens_of(const Read& r, Py_ssize_t i) {
        const py::TextCounter& counter = estimate_->counter;
        const auto calls =
            static_cast<std::uint64_t>(r.calls ? PyTuple_GET_SIZE(r.calls.get()) : 0);
        const auto answers =
            static_cast<std::uint64_t>(r.answers ? PyTuple_GET_SIZE(r.answers.get()) : 0);
        // The text first, then the ids: a caller's counter meets them in that order.
        const std::int64_t text = counter.text(r.text.get(), i);
        std::uint64_t ids = 0;
        if (estimate_->framing.count_ids) {
            if (r.answers) ids += answer_ids(r.answers.get(), i);
            if (r.calls) ids += call_ids(r.calls.get(), i);
        }
        return ht::view_tokens(text, 0, calls, answers, ids, estimate_->framing);
    }

    // The count of each id a message calls, kept for the results that follow it:
    // a result's id is the same text as its call's, so it is counted once.
    std::uint64_t call_ids(PyObject* ids, Py_ssize_t i) {
        recent_.clear();
        std::uint64_t sum = 0;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(ids); ++j) {
            PyObject* id = PyTuple_GET_ITEM(ids, j);
            const std::int64_t n = estimate_->counter.text(id, i);
            // Borrowed: the views list holds the tuple while the reading lasts.
            if (PyUnicode_CheckExact(id)) recent_.push_back({id, n});
            sum += static_cast<std::uint64_t>(n);
        }
        return sum;
    }
    std::uint64_t answer_ids(PyObject* ids, Py_ssize_t i) const {
        std::uint64_t sum = 0;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(ids); ++j) {
            PyObject* id = PyTuple_GET_ITEM(ids, j);
            const std::optional<std::int64_t> known = known_call(id);
            sum += static_cast<std::uint64_t>(known ? *known : estimate_->counter.text(id, i));
        }
        return sum;
    }
    // The count of the previous calls' id equal to `id` (both exact str: equal
    // texts, equal counts), if there is one.
    std::optional<std::int64_t> known_call(PyObject* id) const {
        if (!PyUnicode_CheckExact(id)) return std::nullopt;
        for (const auto& [call, n] : recent_)
            if (call == id || PyUnicode_Compare(call, id) == 0) return n;
        return std::nullopt;
    }

    Ref view(Py_ssize_t i, Read& r) const {
        Ref view = py::owned(type_->tp_alloc(type_, kViewSlots));
        PyObject* empty = no_ids_.get();
        PyTuple_SET_ITEM(view.get(), py::kViewPosition, py::index_int(i));
        PyTuple_SET_ITEM(view.get(), py::kViewRole, new_ref(r.kind));
        PyTuple_SET_ITEM(view.get(), py::kViewBits, new_ref(r.bits));
        PyTuple_SET_ITEM(view.get(), py::kViewText, r.text.release());
        PyTuple_SET_ITEM(view.get(), py::kViewExtra, py::owned(PyLong_FromLong(0)).release());
        PyTuple_SET_ITEM(view.get(), py::kViewCalls, r.calls ? r.calls.release() : new_ref(empty));
        PyTuple_SET_ITEM(view.get(), py::kViewAnswers,
                         r.answers ? r.answers.release() : new_ref(empty));
        PyTuple_SET_ITEM(view.get(), py::kViewThinking, new_ref(r.thinking ? Py_True : Py_False));
        // Every item is a str, an int, a bool or a tuple of exact str: the view
        // cannot be part of a cycle, so the collector need not scan it (the
        // interpreter untracks such tuples itself, at its next collection).
        PyObject_GC_UnTrack(view.get());
        return view;
    }

    Py_ssize_t n_;
    PyTypeObject* type_;
    const std::optional<Estimate>& estimate_;
    bool lazy_;
    Ref views_, tokens_, shape_, todo_, no_ids_;
    std::int64_t* token_out_ = nullptr;
    // The buffer the counted text of calls is built in.
    std::u32string scratch_;
    // The ids of the latest message that made calls, with their counts.
    std::vector<std::pair<PyObject*, std::int64_t>> recent_;
};

constexpr auto kReadSig = py::function_decl(
    "read_messages",
    {{"messages"},
     {"reader"},
     {"table"},
     {"view_type"},
     {"estimate"},
     {"framing"},
     {"lazy", "False"}},
    "Views, token counts and shapes of a message list read by one format's reader\n"
    "(0 OpenAI Chat, 1 Responses, 2 LangChain, 3 Anthropic), with the indices left to the Python\n"
    "adapter. The counts are estimate's (a coefficient table, a caller's (counts, count)\n"
    "pair, or None for no counts) with the framing. The views are a list, or with lazy a\n"
    "Views, which builds each view when it is asked for. Private to fenwa_host.");

Ref read_messages(const py::Bound<7>& a) {
    PyObject* messages = a[0];
    if (!PyList_CheckExact(messages) && !PyTuple_CheckExact(messages))
        py::type_mismatch(messages, "list");
    const std::uint64_t which = a.get<py::to_u64>(1);
    if (which >= std::size(kReaders)) py::raise(PyExc_ValueError, "reader must be 0, 1, 2 or 3");
    PyObject* table = a[2];
    if (!PyDict_CheckExact(table)) py::type_mismatch(table, "dict");
    std::optional<Estimate> estimate;
    if (a[4] != Py_None) estimate.emplace(a[4], a[5]);
    Ref seq = Ref::borrow(messages);
    const bool lazy = a.get<py::to_bool>(6);
    ListReading out(PySequence_Fast_GET_SIZE(messages), view_class(a[3]), estimate, lazy);
    for (Py_ssize_t i = 0; i < out.size(); ++i) {
        // A list may shrink under a key's __eq__ or a property: read only what is
        // still there.
        const bool there = i < PySequence_Fast_GET_SIZE(messages);
        out.read(i, there ? PySequence_Fast_GET_ITEM(messages, i) : nullptr, kReaders[which],
                 table);
    }
    return out.finish();
}

}  // namespace

PyMethodDef read_messages_def = py::function_def<kReadSig, read_messages>();

}  // namespace fenwa
