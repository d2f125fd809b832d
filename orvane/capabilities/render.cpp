// Rendering a loaded capability map as prompt text: a one-line-per-section
// summary, and two references listing how to invoke tools and how to verify
// outcomes with them. Nothing is known in advance about the map: section
// names become headings through _humanize and only the item keys the format
// names are read.
//
// Values are shown as the host's str() shows them. The module functions
// (_humanize, _item_label, _format_field) are looked up once per rendering;
// while they are still the module's own, their work is done inline, straight
// into the one text being built.
#include "capabilities/capabilities.hpp"

#include "support/text.hpp"

#include <utility>
#include <vector>

namespace orv::capabilities {

namespace {

Name k_load{"load"}, k_items{"items"}, k_total{"total"}, k_name{"name"}, k_title{"title"},
    k_type{"type"}, k_replace{"replace"}, k_startswith{"startswith"}, k_humanize{"_humanize"},
    k_item_label{"_item_label"}, k_format_field{"_format_field"},
    k_render_item_field{"_render_item_field"}, k_unnamed{"unnamed"}, k_empty{""},
    k_underscore{"_"}, k_dash{"-"}, k_space{" "}, k_newline{"\n"}, k_indented_newline{"\n    "},
    k_generated_at{"generated_at"};

// The module's own function objects, to tell them from replacements.
PyObject* own_humanize = nullptr;
PyObject* own_item_label = nullptr;
PyObject* own_format_field = nullptr;
// The field names of the two references, made once.
PyObject* effector_fields = nullptr;
PyObject* measurement_fields = nullptr;

constexpr Py_ssize_t kListedLabels = 10;  // items named per section in the summary

// ---------------------------------------------------------------- helpers

// str(value): a str as it is, anything else through the host's str().
object text_of(handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    return own(PyObject_Str(value.ptr()));
}

bool compare(handle a, handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    must(r);
    return r == 1;
}

// Numbers (booleans included) and strings are the facts a summary shows.
bool is_scalar(handle value) {
    PyObject* v = value.ptr();
    return PyLong_Check(v) || PyFloat_Check(v) || PyUnicode_Check(v);
}

// `key in map`, giving map[key]: one lookup for an exact dict, the map's own
// __contains__ and __getitem__ otherwise.
bool lookup(handle map, PyObject* key, object& value) {
    if (PyDict_CheckExact(map.ptr())) {
        PyObject* found = nullptr;
        const int r = PyDict_GetItemRef(map.ptr(), key, &found);
        must(r);
        if (r) value = nb::steal(found);
        return r == 1;
    }
    const int r = PySequence_Contains(map.ptr(), key);
    must(r);
    if (!r) return false;
    value = own(PyObject_GetItem(map.ptr(), key));
    return true;
}

// `key, value = pair`, with the host's errors for anything but two values.
std::pair<object, object> unpack_pair(handle pair) {
    if (PyTuple_CheckExact(pair.ptr()) && PyTuple_GET_SIZE(pair.ptr()) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1))};
    PyObject* it = PyObject_GetIter(pair.ptr());
    if (!it) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_current();
        PyErr_Clear();
        raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(pair.ptr()));
    }
    object iterator = nb::steal(it);
    object values[2];
    for (Py_ssize_t got = 0; got < 2; ++got) {
        PyObject* next = PyIter_Next(it);
        if (!next) {
            if (PyErr_Occurred()) raise_current();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
        }
        values[got] = nb::steal(next);
    }
    if (PyObject* extra = PyIter_Next(it)) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) raise_current();
    return {std::move(values[0]), std::move(values[1])};
}

// Calls each(key, value) for the members of a map in order, as
// `for key, value in map.items()` does.
template <typename F>
void for_each_member(handle map, F&& each) {
    if (PyDict_CheckExact(map.ptr())) {
        const Py_ssize_t size = PyDict_GET_SIZE(map.ptr());
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(map.ptr(), &pos, &key, &value)) {
            object k = nb::borrow(key), v = nb::borrow(value);
            each(handle(k), handle(v));
            if (PyDict_GET_SIZE(map.ptr()) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    object members = own(PyObject_GetIter(call_method(map, k_items).ptr()));
    while (PyObject* next = PyIter_Next(members.ptr())) {
        object pair = nb::steal(next);
        auto [k, v] = unpack_pair(pair);
        each(handle(k), handle(v));
    }
    if (PyErr_Occurred()) raise_current();
}

// Calls each(element) for the elements of an iterable, as a for loop does
// (a list read by index, so changes made meanwhile are seen as the host sees
// them).
template <typename F>
void for_each_element(handle iterable, F&& each) {
    PyObject* seq = iterable.ptr();
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            object element = nb::borrow(PyList_GET_ITEM(seq, i));
            each(handle(element));
        }
        return;
    }
    object it = own(PyObject_GetIter(seq));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        object element = nb::steal(next);
        each(handle(element));
    }
    if (PyErr_Occurred()) raise_current();
}

// A module function looked up once per rendering; `native` while it is
// still the module's own, so its work may be done inline.
class Callee {
public:
    Callee(const Name& name, PyObject* mine) : fn_(mod.get(name)), native_(fn_.ptr() == mine) {}
    bool native() const { return native_; }
    // str() of what the function returns for `arg`.
    object text(handle arg) const { return text_of(own(PyObject_CallOneArg(fn_.ptr(), arg.ptr()))); }

private:
    object fn_;
    bool native_;
};

// ------------------------------------------------------------- _humanize

// "_" and "-" become spaces, then the host's title-casing. For ASCII text
// that is: a letter after a letter is lower-cased, any other upper-cased.
// Other text goes to the host's own str.title (Unicode title case, cased
// letters beyond the alphabet, characters that expand).
object humanize_text(handle key) {
    PyObject* s = key.ptr();
    if (!PyUnicode_IS_ASCII(s)) {
        object spaced = own(PyUnicode_Replace(s, k_underscore, k_space, -1));
        spaced = own(PyUnicode_Replace(spaced.ptr(), k_dash, k_space, -1));
        return call_method(spaced, k_title);
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    object out = own(PyUnicode_New(n, 127));
    const Py_UCS1* in = PyUnicode_1BYTE_DATA(s);
    Py_UCS1* text = PyUnicode_1BYTE_DATA(out.ptr());
    bool after_letter = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS1 c = in[i];
        if (c == '_' || c == '-') c = ' ';
        const bool lower = c >= 'a' && c <= 'z', upper = c >= 'A' && c <= 'Z';
        if (lower && !after_letter) c = static_cast<Py_UCS1>(c - 'a' + 'A');
        if (upper && after_letter) c = static_cast<Py_UCS1>(c - 'A' + 'a');
        after_letter = lower || upper;
        text[i] = c;
    }
    return out;
}

// _humanize(key) through the module's current function.
object humanized(const Callee& humanize, handle key) {
    if (humanize.native() && PyUnicode_CheckExact(key.ptr())) return humanize_text(key);
    return humanize.text(key);
}

ORV_FUNCTION(humanize, "_humanize(key: str) -> str",
             "A section or fact key as a heading: \"_\" and \"-\" become spaces, then title "
             "case.") {
    auto& [key] = args;
    return humanize_text(handle(key));
}

// ----------------------------------------------------------- _item_label

// The item's name (else its title, else "unnamed"), with its kind in
// parentheses when it has one.
void label_into(TextBuilder& out, handle item) {
    object name;
    if (!lookup(item, k_name, name) && !lookup(item, k_title, name)) name = nb::borrow(k_unnamed.h());
    object kind = get(item, k_type, k_empty.h());
    const bool has_kind = truth(kind.ptr());
    out.add(text_of(name));
    if (!has_kind) return;
    out.add(" (");
    out.add(text_of(kind));
    out.add(")");
}

ORV_FUNCTION(item_label, "_item_label(item: dict) -> str",
             "The label of an item in the summary: its name, title or \"unnamed\", and its "
             "type in parentheses.") {
    auto& [item] = args;
    TextBuilder out;
    label_into(out, handle(item));
    return out.build();
}

// _item_label(item) through the module's current function.
object labelled(const Callee& label, handle item) {
    if (!label.native()) return label.text(item);
    TextBuilder out;
    label_into(out, item);
    return out.build();
}

// ---------------------------------------------------------- _format_field

// The value of an invocation or measurement field, every line indented by
// four spaces: a string's own lines, a list's elements, a map's members.
void field_into(TextBuilder& out, handle content) {
    PyObject* c = content.ptr();
    out.add("    ");
    if (PyUnicode_Check(c)) {
        if (!PyUnicode_CheckExact(c)) {
            object replaced = call_method(content, k_replace, k_newline.h(), k_indented_newline.h());
            if (!PyUnicode_Check(replaced.ptr()))
                raise(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                      type_name(replaced.ptr()));
            out.add(replaced);
        } else if (PyUnicode_FindChar(c, '\n', 0, PyUnicode_GET_LENGTH(c), 1) == -1) {
            out.add(content);
        } else {
            out.add(own(PyUnicode_Replace(c, k_newline, k_indented_newline, -1)));
        }
    } else if (PyList_Check(c)) {
        std::vector<object> lines;
        for_each_element(content, [&](handle element) { lines.push_back(text_of(element)); });
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i) out.add("\n    ");
            out.add(lines[i]);
        }
    } else if (PyDict_Check(c)) {
        bool first = true;
        for_each_member(content, [&](handle key, handle value) {
            object key_text = text_of(key), value_text = text_of(value);
            if (!first) out.add("\n    ");
            first = false;
            out.add(key_text);
            out.add(": ");
            out.add(value_text);
        });
    } else {
        out.add(text_of(content));
    }
}

ORV_FUNCTION(format_field, "_format_field(content) -> str",
             "A field's value as indented lines: a string's lines, a list's elements or a "
             "map's \"key: value\" members.") {
    auto& [content] = args;
    TextBuilder out;
    field_into(out, handle(content));
    return out.build();
}

// -------------------------------------------------------------- summary

// Sections that describe the map itself rather than the environment.
bool left_out_of_summary(handle section) {
    PyObject* s = section.ptr();
    if (PyUnicode_CheckExact(s))
        return (PyUnicode_GET_LENGTH(s) > 0 && PyUnicode_READ_CHAR(s, 0) == '_') ||
               compare(section, k_generated_at.h(), Py_EQ);
    if (truth(call_method(section, k_startswith, k_underscore.h()).ptr())) return true;
    return compare(section, k_generated_at.h(), Py_EQ);
}

bool is_items_or_total(handle key) {
    return compare(key, k_items.h(), Py_EQ) || compare(key, k_total.h(), Py_EQ);
}

// "humanized key: value" texts of the scalar members of a section body,
// leaving out "items" and "total" when asked.
std::vector<std::pair<object, object>> facts_of(const Callee& humanize, handle body,
                                                bool without_items_and_total) {
    std::vector<std::pair<object, object>> facts;
    for_each_member(body, [&](handle key, handle value) {
        if (without_items_and_total && is_items_or_total(key)) return;
        if (!is_scalar(value)) return;
        object heading = humanized(humanize, key);
        facts.emplace_back(std::move(heading), text_of(value));
    });
    return facts;
}

void add_facts(TextBuilder& out, const std::vector<std::pair<object, object>>& facts) {
    for (size_t i = 0; i < facts.size(); ++i) {
        if (i) out.add(", ");
        out.add(facts[i].first);
        out.add(": ");
        out.add(facts[i].second);
    }
}

// The summary line of one section body, or nothing; see format_for_prompt.
void summary_line(TextBuilder& out, const Callee& humanize, const Callee& label, handle section,
                  handle body) {
    object items = get(body, k_items, own(PyList_New(0)));
    if (PyList_Check(items.ptr()) && truth(items.ptr())) {
        // Listed: the first ten elements, those that are items named.
        object head = own(PySequence_GetSlice(items.ptr(), 0, kListedLabels));
        std::vector<object> labels;
        for_each_element(head, [&](handle element) {
            if (PyDict_Check(element.ptr())) labels.push_back(labelled(label, element));
        });
        const Py_ssize_t length = PyObject_Length(items.ptr());
        if (length < 0) raise_current();
        object total = get(body, k_total, own(PyLong_FromSsize_t(length)));
        object count = own(PyLong_FromSize_t(labels.size()));
        object more;
        if (compare(total, count, Py_GT)) more = text_of(own(PyNumber_Subtract(total.ptr(), count.ptr())));
        object heading = humanized(humanize, section);
        out.add("\n  ");
        out.add(heading);
        out.add(": ");
        for (size_t i = 0; i < labels.size(); ++i) {
            if (i) out.add(", ");
            out.add(labels[i]);
        }
        if (more.is_valid()) {
            out.add(" (+");
            out.add(more);
            out.add(" more)");
        }
        return;
    }
    object zero = own(PyLong_FromLong(0));
    object total = get(body, k_total, zero);
    if (compare(total, zero, Py_GT)) {
        // Counted: how many there are, with the other facts in parentheses.
        auto facts = facts_of(humanize, body, true);
        object total_text = text_of(total);
        object heading = humanized(humanize, section);
        out.add("\n  ");
        out.add(heading);
        out.add(": ");
        out.add(total_text);
        out.add(" total");
        if (facts.empty()) return;
        out.add(" (");
        add_facts(out, facts);
        out.add(")");
        return;
    }
    // Facts: every scalar member, "items" and "total" included.
    auto facts = facts_of(humanize, body, false);
    if (facts.empty()) return;
    object heading = humanized(humanize, section);
    out.add("\n  ");
    out.add(heading);
    out.add(": ");
    add_facts(out, facts);
}

ORV_FUNCTION(format_for_prompt, "format_for_prompt(self) -> str",
             "A summary of everything the map declares, one line per section under "
             "\"AVAILABLE CAPABILITIES:\"; \"\" when there is nothing to show.") {
    auto& [self] = args;
    object data = call_method(self, k_load);
    if (!truth(data.ptr())) return nb::borrow(k_empty.h());
    const Callee humanize(k_humanize, own_humanize), label(k_item_label, own_item_label);
    TextBuilder out;
    out.add("AVAILABLE CAPABILITIES:");
    const size_t heading_only = out.pieces();
    for_each_member(data, [&](handle section, handle body) {
        if (left_out_of_summary(section) || !PyDict_Check(body.ptr())) return;
        summary_line(out, humanize, label, section, body);
    });
    if (out.pieces() == heading_only) return nb::borrow(k_empty.h());
    return out.build();
}

// ------------------------------------------------------------ references

ORV_FUNCTION(render_item_field, "_render_item_field(self, field_names: tuple, header: str) -> str",
             "Under `header`, every item that declares one of `field_names` (the first present "
             "decides; null leaves the item out), with the field's value indented; \"\" when "
             "no item declares one.") {
    auto& [self, field_names, header] = args;
    object data = call_method(self, k_load);
    if (!truth(data.ptr())) return nb::borrow(k_empty.h());
    const Callee format(k_format_field, own_format_field);
    const Py_ssize_t fields = PyTuple_GET_SIZE(field_names);
    TextBuilder out;
    out.add(handle(header));
    bool found = false;
    for_each_member(data, [&](handle, handle body) {
        if (!PyDict_Check(body.ptr())) return;
        object items = get(body, k_items, own(PyList_New(0)));
        for_each_element(items, [&](handle item) {
            if (!PyDict_Check(item.ptr())) return;
            object value;
            for (Py_ssize_t i = 0; i < fields; ++i)
                if (lookup(item, PyTuple_GET_ITEM(field_names, i), value)) break;
            if (!value.is_valid() || value.is_none()) return;
            object name = get(item, k_name, k_unnamed.h());
            object kind = get(item, k_type, k_empty.h());
            const bool has_kind = truth(kind.ptr());
            out.add("\n\n  ");
            out.add(text_of(name));
            if (has_kind) {
                out.add(" (");
                out.add(text_of(kind));
                out.add(")");
            }
            out.add(":\n");
            if (format.native())
                field_into(out, value);
            else
                out.add(format.text(value));
            found = true;
        });
    });
    if (!found) return nb::borrow(k_empty.h());
    return out.build();
}

object reference(handle self, PyObject* fields, const char* header) {
    return getattr(self, k_render_item_field)(nb::arg("field_names") = handle(fields),
                                              nb::arg("header") = header);
}

ORV_FUNCTION(effector_reference, "effector_reference(self) -> str",
             "How to invoke each tool that says so; \"\" when none does.") {
    auto& [self] = args;
    return reference(handle(self), effector_fields,
                     "EFFECTOR REFERENCE (how to invoke available tools):");
}

ORV_FUNCTION(measurement_reference, "measurement_reference(self) -> str",
             "How to verify action outcomes with each tool that says so; \"\" when none does.") {
    auto& [self] = args;
    return reference(handle(self), measurement_fields,
                     "MEASUREMENT TOOLS (verify action outcomes):");
}

}  // namespace

void define_rendering(ClassBuilder& cls) {
    own_humanize = mod.function(humanize_def).release().ptr();  // kept for the process
    own_item_label = mod.function(item_label_def).release().ptr();
    own_format_field = mod.function(format_field_def).release().ptr();
    effector_fields = nb::make_tuple("invocation", "invoke", "usage").release().ptr();
    measurement_fields = nb::make_tuple("measurement", "measure", "verify").release().ptr();
    cls.method(format_for_prompt_def)
        .method(effector_reference_def)
        .method(measurement_reference_def)
        .method(render_item_field_def);
}

}  // namespace orv::capabilities
