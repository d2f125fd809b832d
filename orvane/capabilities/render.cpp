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

#include "support/text_builder.hpp"
#include "support/unpack.hpp"

#include <algorithm>
#include <cstdint>
#include <charconv>
#include <cstring>
#include <memory>
#include <utility>

namespace orv::capabilities {

namespace {

Name k_load{"load"}, k_total{"total"}, k_startswith{"startswith"}, k_humanize{"_humanize"},
    k_item_label{"_item_label"}, k_format_field{"_format_field"},
    k_render_item_field{"_render_item_field"}, k_underscore{"_"}, k_dash{"-"}, k_space{" "},
    k_indented_newline{"\n    "}, k_generated_at{"generated_at"};

// The module's own function objects, to tell them from replacements.
PyObject* own_humanize = nullptr;
PyObject* own_item_label = nullptr;
PyObject* own_format_field = nullptr;
// A default no map holds, to tell a missing key from any value.
PyObject* missing = nullptr;
// The field names of the two references, made once.
PyObject* effector_fields = nullptr;
PyObject* measurement_fields = nullptr;

constexpr Py_ssize_t kListedLabels = 10;  // items named per section in the summary

// ---------------------------------------------------------------- helpers

// Writes str(value) into `out`: strings, integers, booleans, None and
// floats (in their shortest round-trip form, as float.__repr__ writes it)
// directly, anything else through the host's str().
void text_into(TextBuilder& out, handle value) {
    PyObject* v = value.ptr();
    if (PyUnicode_CheckExact(v)) return out.add(value);
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow) {
            char digits[24];
            const auto written = std::to_chars(digits, digits + sizeof digits, n);
            return out.add(std::string_view(digits, static_cast<size_t>(written.ptr - digits)));
        }
    } else if (v == Py_True || v == Py_False || v == Py_None) {
        return out.add(v == Py_True ? "True" : v == Py_False ? "False" : "None");
    } else if (PyFloat_CheckExact(v)) {
        char* repr = PyOS_double_to_string(PyFloat_AS_DOUBLE(v), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!repr) {
            PyErr_NoMemory();
            raise_current();
        }
        const std::unique_ptr<char, void (*)(void*)> hold(repr, PyMem_Free);
        return out.add(std::string_view(repr));
    }
    out.add(own(PyObject_Str(v)));
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

// ------------------------------------------------------------- _humanize

// "_" and "-" become spaces, then the host's title-casing. For ASCII text
// that is: a letter after a letter is lower-cased, any other upper-cased.
// Other text goes to the host's own str.title (Unicode title case, cased
// letters beyond the alphabet, characters that expand).
unsigned char title_ascii(unsigned char c, bool& after_letter) {
    if (c == '_' || c == '-') c = ' ';
    const bool lower = c >= 'a' && c <= 'z', upper = c >= 'A' && c <= 'Z';
    if (lower && !after_letter) c = static_cast<unsigned char>(c - 'a' + 'A');
    if (upper && after_letter) c = static_cast<unsigned char>(c - 'A' + 'a');
    after_letter = lower || upper;
    return c;
}

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
    for (Py_ssize_t i = 0; i < n; ++i) text[i] = title_ascii(in[i], after_letter);
    return out;
}

// _humanize(key) written into `out`, through the module's current function.
void heading_into(TextBuilder& out, const Callee& humanize, handle key) {
    PyObject* s = key.ptr();
    if (!humanize.ours() || !PyUnicode_CheckExact(s)) return text_into(out, humanize.call(key));
    if (!PyUnicode_IS_ASCII(s)) return out.add(humanize_text(key));
    bool after_letter = false;
    out.add_mapped(std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)),
                                    static_cast<size_t>(PyUnicode_GET_LENGTH(s))),
                   [&](unsigned char c) { return title_ascii(c, after_letter); });
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
bool non_empty(handle text) {
    return PyUnicode_CheckExact(text.ptr()) ? PyUnicode_GET_LENGTH(text.ptr()) != 0 : truth(text.ptr());
}

// "name (kind)", or the name alone when the kind is empty. The kind's truth
// is asked before anything is written, as the host's conditional asks it.
void name_and_kind_into(TextBuilder& out, handle name, handle kind) {
    const bool has_kind = non_empty(kind);
    text_into(out, name);
    if (!has_kind) return;
    out.add(" (");
    text_into(out, kind);
    out.add(")");
}

void label_into(TextBuilder& out, handle item) {
    object name;
    if (!lookup(item, k_name, name) && !lookup(item, k_title, name)) name = nb::borrow(k_unnamed.h());
    object kind = get(item, k_type, k_empty.h());
    name_and_kind_into(out, name, kind);
}

ORV_FUNCTION(item_label, "_item_label(item: dict) -> str",
             "The label of an item in the summary: its name, title or \"unnamed\", and its "
             "type in parentheses.") {
    auto& [item] = args;
    TextBuilder out;
    label_into(out, handle(item));
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
        } else {
            out.add_indented(content, "    ");
        }
    } else if (PyList_Check(c)) {
        bool first = true;
        for_each_element(content, [&](handle element) {
            if (!first) out.add("\n    ");
            first = false;
            text_into(out, element);
        });
    } else if (PyDict_Check(c)) {
        bool first = true;
        for_each_item(content, [&](handle key, handle value) {
            if (!first) out.add("\n    ");
            first = false;
            text_into(out, key);
            out.add(": ");
            text_into(out, value);
        });
    } else {
        text_into(out, content);
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

// The summary's scratch texts, reused from section to section.
struct Summary {
    const Callee& humanize;
    const Callee& label;
    TextBuilder labels, facts, line;
};

// "Key: value" for the scalar members of a section body, joined by ", ", into
// the facts scratch text (leaving out "items" and "total" when asked);
// returns how many.
size_t write_facts(Summary& summary, handle body, bool without_items_and_total) {
    TextBuilder& out = summary.facts;
    out.clear();
    size_t count = 0;
    for_each_item(body, [&](handle key, handle value) {
        if (without_items_and_total && is_items_or_total(key)) return;
        if (!is_scalar(value)) return;
        if (count++) out.add(", ");
        heading_into(out, summary.humanize, key);
        out.add(": ");
        text_into(out, value);
    });
    return count;
}

// The labels of the first ten elements that are items, joined by ", ", into
// the labels scratch text; returns how many. The ten are taken before any
// label is made, as the host's slice items[:10] is. A replaced _item_label
// that gives something other than a str fails as str.join would, once the
// line is put together (`bad` tells where).
size_t write_labels(Summary& summary, handle items, std::pair<size_t, object>& bad) {
    object head[kListedLabels];
    Py_ssize_t taken = 0;
    if (PyList_CheckExact(items.ptr())) {
        taken = std::min(PyList_GET_SIZE(items.ptr()), kListedLabels);
        for (Py_ssize_t i = 0; i < taken; ++i) head[i] = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
    } else {
        object slice = own(PySequence_GetSlice(items.ptr(), 0, kListedLabels));
        for_each_element(slice, [&](handle element) {
            if (taken < kListedLabels) head[taken++] = nb::borrow(element);
        });
    }
    TextBuilder& out = summary.labels;
    out.clear();
    size_t count = 0;
    for (Py_ssize_t i = 0; i < taken; ++i) {
        if (!PyDict_Check(head[i].ptr())) continue;
        if (count) out.add(", ");
        if (summary.label.ours()) {
            label_into(out, head[i]);
        } else {
            object text = summary.label.call(head[i]);
            if (PyUnicode_Check(text.ptr()))
                out.add(text);
            else if (!bad.second.is_valid())
                bad = {count, std::move(text)};
        }
        ++count;
    }
    return count;
}

// body.get(key) for a section body: found or not, without making a default.
bool member(handle body, const Name& key, object& value) {
    value = get(body, key, handle(missing));
    if (value.ptr() != missing) return true;
    value = object();
    return false;
}

// Writes " (+N more)" when the section's total exceeds the labels shown.
void more_into(TextBuilder& out, handle body, handle items, Py_ssize_t shown) {
    const Py_ssize_t length = PyObject_Length(items.ptr());
    if (length < 0) raise_current();
    object total;
    long long count = length;
    bool native = !member(body, k_total, total);
    if (!native && PyLong_CheckExact(total.ptr())) {
        int overflow = 0;
        count = PyLong_AsLongLongAndOverflow(total.ptr(), &overflow);
        native = !overflow;
    }
    if (native) {
        if (count <= shown) return;
        char digits[24];
        const auto written = std::to_chars(digits, digits + sizeof digits, count - shown);
        out.add(" (+");
        out.add(std::string_view(digits, static_cast<size_t>(written.ptr - digits)));
        out.add(" more)");
        return;
    }
    object number = own(PyLong_FromSsize_t(shown));
    if (!compare(total, number, Py_GT)) return;
    out.add(" (+");
    text_into(out, own(PyNumber_Subtract(total.ptr(), number.ptr())));
    out.add(" more)");
}

// The summary line of one section body, or nothing; see format_for_prompt.
// The heading comes last, as in the host's f-string, after everything it
// follows has been worked out.
void summary_line(TextBuilder& out, Summary& summary, handle section, handle body) {
    TextBuilder& line = summary.line;
    line.clear();
    object items;
    if (member(body, k_items, items) && PyList_Check(items.ptr()) && truth(items.ptr())) {
        // Listed: the first ten elements, those that are items named.
        std::pair<size_t, object> bad;
        const auto shown = static_cast<Py_ssize_t>(write_labels(summary, items, bad));
        more_into(line, body, items, shown);
        out.add("\n  ");
        heading_into(out, summary.humanize, section);
        if (bad.second.is_valid())
            raise(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                  static_cast<Py_ssize_t>(bad.first), type_name(bad.second.ptr()));
        out.add(": ");
        out.add(summary.labels);
        out.add(line);
        return;
    }
    // Counted when body.get("total", 0) > 0.
    object total;
    if (!member(body, k_total, total)) total = own(PyLong_FromLong(0));
    bool counted;
    if (PyLong_CheckExact(total.ptr())) {
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(total.ptr(), &overflow);
        counted = overflow ? overflow > 0 : value > 0;
    } else {
        counted = compare(total, own(PyLong_FromLong(0)), Py_GT);
    }
    if (counted) {
        // Counted: how many there are, with the other facts in parentheses.
        const size_t facts = write_facts(summary, body, true);
        text_into(line, total);
        out.add("\n  ");
        heading_into(out, summary.humanize, section);
        out.add(": ");
        out.add(line);
        out.add(" total");
        if (!facts) return;
        out.add(" (");
        out.add(summary.facts);
        out.add(")");
        return;
    }
    // Facts: every scalar member, "items" and "total" included.
    if (!write_facts(summary, body, false)) return;
    out.add("\n  ");
    heading_into(out, summary.humanize, section);
    out.add(": ");
    out.add(summary.facts);
}

ORV_FUNCTION(format_for_prompt, "format_for_prompt(self) -> str",
             "A summary of everything the map declares, one line per section under "
             "\"AVAILABLE CAPABILITIES:\"; \"\" when there is nothing to show.") {
    auto& [self] = args;
    object data = call_method(self, k_load);
    if (!truth(data.ptr())) return nb::borrow(k_empty.h());
    const Callee humanize(mod, k_humanize, own_humanize);
    const Callee label(mod, k_item_label, own_item_label);
    Summary summary{humanize, label, {}, {}, {}};
    TextBuilder out;
    out.add("AVAILABLE CAPABILITIES:");
    const Py_ssize_t heading_only = out.length();
    for_each_item(data, [&](handle section, handle body) {
        if (left_out_of_summary(section) || !PyDict_Check(body.ptr())) return;
        summary_line(out, summary, section, body);
    });
    if (out.length() == heading_only) return nb::borrow(k_empty.h());
    return out.build();
}

// ------------------------------------------------------------ references

// What an item key means to a reference: the index of the first field name
// it equals (or `none`), and whether it is "name" or "type". Keys
// are exact strs, compared by their characters as the item's dict compares
// them; the meaning of each key object is remembered for the rendering,
// since the keys of items decoded from one document are shared objects.
class KeyRoles {
public:
    struct Role {
        Py_ssize_t field;
        bool name, type;
    };

    explicit KeyRoles(PyObject* field_names) : names_(field_names) {
        for (Py_ssize_t i = 0; i < none(); ++i)
            usable_ = usable_ && PyUnicode_CheckExact(PyTuple_GET_ITEM(field_names, i));
    }
    // Whether the field names allow the scan at all (all exact strs).
    bool usable() const { return usable_; }
    Py_ssize_t none() const { return PyTuple_GET_SIZE(names_); }

    // The role of the `index`th key of an item, or false when the key is
    // not an exact str. Runs no host code. Items of one list mostly have the
    // same keys in the same order, so the key at the same place in the item
    // before is tried first.
    bool of(PyObject* key, Py_ssize_t index, Role& role) {
        if (index < kRecent && recent_[index].key == key) {
            role = recent_[index].role;
            return true;
        }
        if (!PyUnicode_CheckExact(key)) return false;
        role = of(key);
        if (index < kRecent && held_) recent_[index] = {key, role};
        return true;
    }

    // The role of `key`, an exact str. Runs no host code.
    Role of(PyObject* key) {
        held_ = true;
        // Open addressing on the key's address: a handful of distinct keys
        // per map, each found again at once; when the table is full, roles
        // are worked out each time.
        size_t at = (reinterpret_cast<uintptr_t>(key) * 0x9E3779B97F4A7C15u) >> 58;
        for (size_t probe = 0; probe < kSlots; ++probe, at = (at + 1) % kSlots) {
            Slot& slot = slots_[at];
            if (slot.key.ptr() == key) return slot.role;
            if (slot.key.is_valid()) continue;
            slot.key = nb::borrow(key);  // held, so the address cannot be reused meanwhile
            slot.role = role_of(key);
            return slot.role;
        }
        held_ = false;  // not remembered: the key may go away
        return role_of(key);
    }

private:
    Role role_of(PyObject* key) const {
        Role role{none(), same_text(key, k_name), same_text(key, k_type)};
        for (Py_ssize_t i = 0; i < none(); ++i) {
            if (same_text(key, PyTuple_GET_ITEM(names_, i))) {
                role.field = i;
                break;
            }
        }
        return role;
    }

    static bool same_text(PyObject* a, PyObject* b) {
        if (a == b) return true;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                           static_cast<size_t>(n * PyUnicode_KIND(a))) == 0;
    }

    static constexpr size_t kSlots = 64;
    static constexpr Py_ssize_t kRecent = 16;
    struct Slot {
        object key;
        Role role;
    };
    struct Recent {
        PyObject* key;  // held by a slot
        Role role;
    };
    PyObject* names_;
    bool usable_ = true;
    bool held_ = false;
    Slot slots_[kSlots];
    Recent recent_[kRecent] = {};
};

// The members of an item a reference reads, borrowed from the item.
struct ItemFields {
    PyObject* value;  // of the first field name that is a key
    PyObject* name;   // "unnamed" when absent
    PyObject* type;   // "" when absent
};

// One pass over an exact dict whose keys are all exact strs, finding what
// `key in item` and item[key] would: `skipped` when no field name is a key
// or its value is None, `found` (with the members owned) otherwise, and
// `unscanned` (nothing read) for any other item. Runs no host code, so the
// item may be borrowed meanwhile.
enum class Scan { unscanned, skipped, found };

Scan scan_item(KeyRoles& roles, PyObject* item, ItemFields& out) {
    if (!roles.usable() || !PyDict_CheckExact(item)) return Scan::unscanned;
    Py_ssize_t pos = 0, index = 0, best = roles.none();
    PyObject *key, *value, *field = nullptr, *name = nullptr, *type = nullptr;
    KeyRoles::Role role;
    while (PyDict_Next(item, &pos, &key, &value)) {
        if (!roles.of(key, index++, role)) return Scan::unscanned;
        if (role.field < best) {
            best = role.field;
            field = value;
        }
        if (role.name) name = value;
        if (role.type) type = value;
    }
    if (!field || field == Py_None) return Scan::skipped;
    out.value = field;
    out.name = name ? name : k_unnamed.ptr();
    out.type = type ? type : k_empty.ptr();
    return Scan::found;
}

ORV_FUNCTION(render_item_field, "_render_item_field(self, field_names: tuple, header: str) -> str",
             "Under `header`, every item that declares one of `field_names` (the first present "
             "decides; null leaves the item out), with the field's value indented; \"\" when "
             "no item declares one.") {
    auto& [self, field_names, header] = args;
    object data = call_method(self, k_load);
    if (!truth(data.ptr())) return nb::borrow(k_empty.h());
    const Callee format(mod, k_format_field, own_format_field);
    const Py_ssize_t fields = PyTuple_GET_SIZE(field_names);
    KeyRoles roles(field_names);
    TextBuilder out;
    out.add(handle(header));
    bool found = false;
    for_each_item(data, [&](handle, handle body) {
        object items;
        if (!PyDict_Check(body.ptr()) || !member(body, k_items, items)) return;
        // One entry. The members are borrowed from the item: while they are
        // exact strs nothing runs that could change it; anything else is held
        // first.
        auto entry = [&](const ItemFields& borrowed) {
            found = true;
            out.add("\n\n  ");
            if (PyUnicode_CheckExact(borrowed.name) && PyUnicode_CheckExact(borrowed.type) &&
                PyUnicode_CheckExact(borrowed.value) && format.ours()) {
                name_and_kind_into(out, handle(borrowed.name), handle(borrowed.type));
                out.add(":\n    ");
                return out.add_indented(handle(borrowed.value), "    ");
            }
            struct {
                object value, name, type;
            } f{nb::borrow(borrowed.value), nb::borrow(borrowed.name), nb::borrow(borrowed.type)};
            name_and_kind_into(out, f.name, f.type);
            if (format.ours()) {
                out.add(":\n");
                field_into(out, f.value);
            } else {
                object text = format.text(f.value);
                out.add(":\n");
                out.add(text);
            }
        };
        // The item's own fields: scanned in one pass when that runs no host
        // code, else looked up one by one.
        for_each_element(items, [&](handle item) {
            if (!PyDict_Check(item.ptr())) return;
            ItemFields f;
            switch (scan_item(roles, item.ptr(), f)) {
                case Scan::skipped: return;
                case Scan::found: return entry(f);
                case Scan::unscanned: break;
            }
            object value;
            for (Py_ssize_t i = 0; i < fields; ++i)
                if (lookup(item, PyTuple_GET_ITEM(field_names, i), value)) break;
            if (!value.is_valid() || value.is_none()) return;
            object name = get(item, k_name, k_unnamed.h());
            object type = get(item, k_type, k_empty.h());
            entry({value.ptr(), name.ptr(), type.ptr()});
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
    missing = own(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))).release().ptr();
    effector_fields = nb::make_tuple("invocation", "invoke", "usage").release().ptr();
    measurement_fields = nb::make_tuple("measurement", "measure", "verify").release().ptr();
    cls.method(format_for_prompt_def)
        .method(effector_reference_def)
        .method(measurement_reference_def)
        .method(render_item_field_def);
}

}  // namespace orv::capabilities
