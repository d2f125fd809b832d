// The canonical event line: json.dumps(obj, sort_keys=True,
// separators=(",", ":"), ensure_ascii=True), byte for byte, for plain trees;
// plus the host-facing loads/dumps that pick the native path when they may.
#include "support/json.hpp"

#include "support/host.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace orv::json {

namespace {

Name k_loads{"loads"}, k_dumps{"dumps"}, k_sort_keys{"sort_keys"}, k_separators{"separators"},
    k_ensure_ascii{"ensure_ascii"};

constexpr int kMaxDepth = 100;  // deeper trees (and cycles) go to the host
constexpr char kHex[] = "0123456789abcdef";

void escape_unit(std::string& out, Py_UCS4 u) {
    char buf[6] = {'\\', 'u', kHex[(u >> 12) & 0xF], kHex[(u >> 8) & 0xF], kHex[(u >> 4) & 0xF],
                   kHex[u & 0xF]};
    out.append(buf, 6);
}

void put_char(std::string& out, Py_UCS4 c) {
    if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
        out.push_back(static_cast<char>(c));
        return;
    }
    switch (c) {
        case '\\': out += "\\\\"; return;
        case '"': out += "\\\""; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
    }
    if (c >= 0x10000) {
        const Py_UCS4 v = c - 0x10000;
        escape_unit(out, 0xD800 | ((v >> 10) & 0x3FF));
        escape_unit(out, 0xDC00 | (v & 0x3FF));
        return;
    }
    escape_unit(out, c);
}

void put_str(std::string& out, PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    out.push_back('"');
    if (kind == PyUnicode_1BYTE_KIND) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        Py_ssize_t i = 0;
        while (i < n) {
            Py_ssize_t j = i;
            while (j < n && p[j] >= ' ' && p[j] <= '~' && p[j] != '\\' && p[j] != '"') ++j;
            out.append(reinterpret_cast<const char*>(p + i), static_cast<size_t>(j - i));
            if (j < n) put_char(out, p[j++]);
            i = j;
        }
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) put_char(out, PyUnicode_READ(kind, data, i));
    }
    out.push_back('"');
}

bool put_float(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
    } else if (std::isinf(v)) {
        out += v > 0 ? "Infinity" : "-Infinity";
    } else {
        char* r = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!r) {
            PyErr_Clear();
            return false;
        }
        out += r;
        PyMem_Free(r);
    }
    return true;
}

bool put_int(std::string& out, PyObject* o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, res.ptr);
        return true;
    }
    PyObject* r = PyLong_Type.tp_repr(o);  // may refuse over the digit limit
    if (!r) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(r, &n);
    if (s) out.append(s, static_cast<size_t>(n));
    Py_DECREF(r);
    return s != nullptr;
}

bool put(std::string& out, PyObject* o, int depth) {
    if (o == Py_None) {
        out += "null";
    } else if (o == Py_True) {
        out += "true";
    } else if (o == Py_False) {
        out += "false";
    } else if (PyUnicode_CheckExact(o)) {
        put_str(out, o);
    } else if (PyLong_CheckExact(o)) {
        return put_int(out, o);
    } else if (PyFloat_CheckExact(o)) {
        return put_float(out, PyFloat_AS_DOUBLE(o));
    } else if (depth >= kMaxDepth) {
        return false;
    } else if (PyList_CheckExact(o)) {
        out.push_back('[');
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            if (i) out.push_back(',');
            // The list cannot change under us: nothing here runs host code.
            if (!put(out, PyList_GET_ITEM(o, i), depth + 1)) return false;
        }
        out.push_back(']');
    } else if (PyDict_CheckExact(o)) {
        std::vector<std::pair<PyObject*, PyObject*>> items;
        items.reserve(static_cast<size_t>(PyDict_GET_SIZE(o)));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(o, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) return false;
            items.emplace_back(k, v);
        }
        std::sort(items.begin(), items.end(),
                  [](const auto& a, const auto& b) { return text_less(a.first, b.first); });
        out.push_back('{');
        bool first = true;
        for (auto& [key, value] : items) {
            if (!first) out.push_back(',');
            first = false;
            put_str(out, key);
            out.push_back(':');
            if (!put(out, value, depth + 1)) return false;
        }
        out.push_back('}');
    } else {
        return false;
    }
    return true;
}

// Never destroyed: a static destructor would release them after the
// interpreter has finalised.
HostFunction& host_loads() {
    static HostFunction* f = new HostFunction(k_json, k_loads);
    return *f;
}
HostFunction& host_dumps() {
    static HostFunction* f = new HostFunction(k_json, k_dumps);
    return *f;
}

// Decodes a str natively; nullptr (no error set) when declined.
PyObject* decode_str(PyObject* text) {
    const char* s;
    Py_ssize_t n;
    object utf8;
    if (PyUnicode_IS_ASCII(text)) {
        s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
        n = PyUnicode_GET_LENGTH(text);
    } else {
        // A temporary copy: PyUnicode_AsUTF8AndSize would keep one on the str
        // for the str's whole life.
        PyObject* b = PyUnicode_AsUTF8String(text);
        if (!b) {
            PyErr_Clear();  // lone surrogates: the host decides
            return nullptr;
        }
        utf8 = nb::steal(b);
        s = PyBytes_AS_STRING(b);
        n = PyBytes_GET_SIZE(b);
    }
    // One decoder for the process, so repeated keys and short values share
    // their str objects from call to call. Decoding runs no host code, so it
    // is not re-entered; the guard is there in case that ever changes.
    static Decoder* shared = new Decoder();
    static bool busy = false;
    if (busy) {
        Decoder local;
        return local.decode(s, static_cast<size_t>(n));
    }
    struct Hold {
        Hold() { busy = true; }
        ~Hold() { busy = false; }
    } hold;
    return shared->decode(s, static_cast<size_t>(n));
}

}  // namespace

bool encode(PyObject* obj, std::string& out) { return put(out, obj, 0); }

void init() {
    Decoder::load_constants();
    host_loads();
    host_dumps();
}

bool loads_is_native() {
    bool native;
    host_loads().current(native);
    return native;
}


object loads(handle text) {
    bool native;
    object current = host_loads().current(native);
    if (native && PyUnicode_Check(text.ptr()))
        if (PyObject* v = decode_str(text.ptr())) return nb::steal(v);
    return current(text);
}

object dumps_event_line(handle obj) {
    bool native;
    object current = host_dumps().current(native);
    if (native) {
        std::string out;
        out.reserve(512);
        if (encode(obj.ptr(), out)) {
            // Pure ASCII by construction.
            PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(out.size()), 127);
            if (!s) raise_current();
            std::memcpy(PyUnicode_1BYTE_DATA(s), out.data(), out.size());
            return nb::steal(s);
        }
    }
    object separators = nb::make_tuple(",", ":");
    object kwargs = own(PyDict_New());
    set_item(kwargs, k_sort_keys, handle(Py_True));
    set_item(kwargs, k_separators, separators);
    set_item(kwargs, k_ensure_ascii, handle(Py_True));
    object args = nb::make_tuple(obj);
    return own(PyObject_Call(current.ptr(), args.ptr(), kwargs.ptr()));
}

}  // namespace orv::json
