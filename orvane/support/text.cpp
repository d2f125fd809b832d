// The one-pass tagged-block search and the file-name form of question names.
#include "support/text.hpp"

#include "support/host.hpp"
#include "support/json.hpp"

namespace orv::text {

namespace {

Name k_re{"re"}, k_search{"search"}, k_escape{"escape"}, k_sub{"sub"}, k_DOTALL{"DOTALL"},
    k_group{"group"};

constexpr const char* kBlockMiddle = "\\s*(.*?)\\s*";
constexpr const char* kUnsafe = "[^a-z0-9\\-]";

// The same search through the host's re, for tags the native one does not take.
object host_block(handle text, handle open_tag, handle close_tag) {
    object re = host_module(k_re);
    object escape = getattr(re, k_escape);
    object pattern = own(PyNumber_Add(escape(open_tag).ptr(), nb::str(kBlockMiddle).ptr()));
    pattern = own(PyNumber_Add(pattern.ptr(), escape(close_tag).ptr()));
    object match = getattr(re, k_search)(pattern, text, getattr(re, k_DOTALL));
    if (match.is_none()) return nb::none();
    return call_method(match, k_group, 1);
}

// Whether the one-pass search gives the expression's result for these tags:
// a closing tag that starts with a character outside `\s` can only begin
// where a run of white space ends, which is what lets the search stop at the
// first closing tag (see tagged_block).
bool native_tags(handle text, handle open_tag, handle close_tag) {
    if (!PyUnicode_CheckExact(text.ptr()) || !PyUnicode_CheckExact(open_tag.ptr()) ||
        !PyUnicode_CheckExact(close_tag.ptr()))
        return false;
    if (PyUnicode_GET_LENGTH(close_tag.ptr()) == 0) return false;
    return !Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(close_tag.ptr(), 0));
}

// str.find(needle, start) on exact strs.
Py_ssize_t find(handle text, handle needle, Py_ssize_t start) {
    const Py_ssize_t at =
        PyUnicode_Find(text.ptr(), needle.ptr(), start, PyUnicode_GET_LENGTH(text.ptr()), 1);
    if (at == -2) raise_current();
    return at;
}

}  // namespace

// The expression's match, reasoned out:
// - The first `\s*` is greedy and the closing tag cannot begin inside white
//   space, so once an opening tag is found the capture starts where the white
//   space after it ends (position `from`).
// - The lazy group ends at the first place where white space and then the
//   closing tag follow: just before the white space that precedes the first
//   closing tag at or after `from`.
// - If the first opening tag has no closing tag after it, no later one has:
//   every later start lies beyond `from` or inside the white space before it.
object tagged_block(handle text, handle open_tag, handle close_tag) {
    if (!native_tags(text, open_tag, close_tag)) return host_block(text, open_tag, close_tag);
    PyObject* s = text.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);

    const Py_ssize_t open_at = find(text, open_tag, 0);
    if (open_at < 0) return nb::none();
    Py_ssize_t from = open_at + PyUnicode_GET_LENGTH(open_tag.ptr());
    while (from < length && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, from))) ++from;

    const Py_ssize_t close_at = find(text, close_tag, from);
    if (close_at < 0) return nb::none();
    Py_ssize_t to = close_at;
    while (to > from && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, to - 1))) --to;
    return own(PyUnicode_Substring(s, from, to));
}

object tagged_json(handle text, handle open_tag, handle close_tag) {
    object block = tagged_block(text, open_tag, close_tag);
    if (block.is_none()) return object();
    try {
        return json::loads(call_method(block, k_strip));
    } catch (nb::python_error& err) {
        if (err.matches(PyExc_ValueError) || err.matches(PyExc_RecursionError)) return object();
        throw;
    }
}

object safe_name(handle name) {
    object lowered = call_method(name, k_lower);
    if (!PyUnicode_CheckExact(lowered.ptr())) {
        object replaced = getattr(host_module(k_re), k_sub)(kUnsafe, "-", lowered);
        return call_method(replaced, k_strip, "-");
    }
    PyObject* s = lowered.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    auto kept = [&](Py_ssize_t i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    };
    // Every character outside the set becomes "-", so the leading and
    // trailing runs of "-" that strip removes are those of replaced or
    // hyphen characters at either end.
    Py_ssize_t first = 0, last = length;
    auto dash = [&](Py_ssize_t i) { return !kept(i) || PyUnicode_READ(kind, data, i) == '-'; };
    while (first < last && dash(first)) ++first;
    while (last > first && dash(last - 1)) --last;
    PyObject* out = PyUnicode_New(last - first, 127);
    if (!out) raise_current();
    Py_UCS1* dst = PyUnicode_1BYTE_DATA(out);
    for (Py_ssize_t i = first; i < last; ++i)
        dst[i - first] = kept(i) ? static_cast<Py_UCS1>(PyUnicode_READ(kind, data, i)) : '-';
    return nb::steal(out);
}

object question_file_name(handle name) {
    object safe = safe_name(name);
    if (PyUnicode_CheckExact(safe.ptr())) return own(PyUnicode_FromFormat("%U.json", safe.ptr()));
    // A replaced re.sub or strip can give anything: `safe + ".json"` then
    // makes what the host's + makes of it, or raises its TypeError.
    return own(PyNumber_Add(safe.ptr(), nb::str(".json").ptr()));
}

}  // namespace orv::text
