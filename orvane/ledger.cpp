// orvane.ledger: the append-only event store of an agent instance.
//
// Events are validated and appended, one canonical JSON line each, to a
// JSON-lines file under an exclusive flock; reads take a shared flock and go
// through a per-object cache keyed on the file's (mtime_ns, size). On top of
// the store: filtered queries, merging, export, and the statistics that steer
// the agent (question productivity, population shape, results per mode).
//
// The cost that grows with the agent's history is the full load, so it runs
// natively: one read of the file, lines decoded straight into host objects
// with shared key strings, validated without leaving C++. It does so only
// while the protocol's functions and json.loads are the originals; patched
// ones are called line by line, as Python code would.
#include "support/event.hpp"
#include "support/files.hpp"
#include "support/host.hpp"
#include "support/json.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace orv;

Module mod;    // orvane.ledger
Module proto;  // orvane.protocol

// The protocol's functions as imported when this module loaded. Never
// destroyed: a static destructor would release them after the interpreter
// has finalised.
struct Originals {
    object validate_event, serialize, deserialize;
};
Originals& originals = *new Originals();

PyObject* load_all_function = nullptr;  // our _load_all, to spot overrides

// Interned names read on every event.
struct Keys {
    Name id{"id"}, type{"type"}, payload{"payload"}, question{"question"}, timestamp{"timestamp"},
        target{"target"}, source{"source"}, generation{"generation"}, depth{"depth"},
        finding_type{"finding_type"}, severity{"severity"}, empty{"empty"}, resolved{"resolved"},
        execution_mode{"execution_mode"}, unknown{"unknown"}, cache{"_cache"},
        cache_key{"_cache_key"}, path{"_path"}, appended{"_appended"},
        loaded_rules{"_loaded_rules"}, digest{"_digest"}, load_all{"_load_all"},
        validate_event{"validate_event"}, serialize{"serialize"}, deserialize{"deserialize"},
        required_fields{"_REQUIRED_FIELDS"}, event_types{"_EVENT_TYPES"}, append{"append"},
        all_question_stats{"all_question_stats"}, parent{"parent"}, mkdir{"mkdir"};
} k;
Host pathlib_Path{"pathlib", "Path"}, builtins_round{"builtins", "round"};

// A protocol function as this module sees it now: our global of that name
// when it was replaced here, else the protocol module's attribute.
object protocol_fn(const Name& name, const object& original) {
    object mine = mod.get(name);
    return mine.is(original) ? proto.get(name) : mine;
}

// ------------------------------------------------------------------ files

using files::Fd;
using files::raise_os_error;
using files::stat_key;

// The ledger's path as the system wants it.
files::SysPath sys_path(handle self) { return files::SysPath(getattr(self, k.path)); }

// ------------------------------------------------------------ loading

// Host's str.strip() whitespace within ASCII.
inline bool ascii_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

struct LineWarning {
    object path;
    mutable Py_ssize_t count = 0;
    void operator()(Py_ssize_t lineno, handle error_text, handle line) const {
        ++count;
        object head = own(PySequence_GetSlice(line.ptr(), 0, 200));
        log_warning("Skipping malformed line %d in %s: %s \u2014 %s", lineno, path, error_text,
                    head);
    }
};

// Decodes one stripped line the way Python code would: UTF-8 text, stripped,
// handed to `deserialize`, the result to `validate`. Malformed lines (bad
// UTF-8, bad JSON, JSON that is not an object) are warned about and skipped.
void load_line_slowly(std::string_view raw, Py_ssize_t lineno, const LineWarning& warn,
                      handle deserialize, handle validate, nb::list& out) {
    PyObject* text = PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "strict");
    if (!text) {
        nb::python_error err;
        object shown = own(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()),
                                                "replace"));
        warn(lineno, own(PyObject_Str(err.value().ptr())), shown);
        return;
    }
    object line = own(PyObject_CallMethod(nb::steal(text).ptr(), "strip", nullptr));
    if (PyUnicode_GET_LENGTH(line.ptr()) == 0) return;
    object ev;
    try {
        ev = deserialize(line);
    } catch (nb::python_error& err) {
        if (!err.matches(PyExc_ValueError) && !err.matches(PyExc_TypeError)) throw;
        warn(lineno, own(PyObject_Str(err.value().ptr())), line);
        return;
    }
    if (truth(validate(ev).ptr())) out.append(ev);
}

// Whether lines may be read natively: the protocol's `deserialize` and
// `validate_event` as seen now, and json.loads, are all the originals.
bool reads_natively(const object& deserialize, const object& validate) {
    return deserialize.is(originals.deserialize) && validate.is(originals.validate_event) &&
           json::loads_is_native();
}

// Turns the file's lines into events, in order.
class LineParser {
public:
    explicit LineParser(handle path)
        : deserialize_(protocol_fn(k.deserialize, originals.deserialize)),
          validate_(protocol_fn(k.validate_event, originals.validate_event)),
          native_(reads_natively(deserialize_, validate_)),
          rules_(proto.get(k.required_fields), proto.get(k.event_types)),
          warn_{nb::borrow(path)} {}

    // Every line of [p, end); the last one may lack its line end.
    void lines(const char* p, const char* end) {
        while (p < end) {
            // Universal newlines: \n, \r\n and \r all end a line.
            const char* eol =
                static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!eol) eol = end;
            if (const void* cr = std::memchr(p, '\r', static_cast<size_t>(eol - p)))
                eol = static_cast<const char*>(cr);
            const char* next = eol;
            if (next < end) next += (*next == '\r' && next + 1 < end && next[1] == '\n') ? 2 : 1;
            ++lineno_;
            const char* a = p;
            const char* b = eol;
            p = next;
            while (a < b && ascii_space(static_cast<unsigned char>(*a))) ++a;
            while (b > a && ascii_space(static_cast<unsigned char>(b[-1]))) --b;
            if (a != b) line(std::string_view(a, static_cast<size_t>(b - a)));
        }
    }

    nb::list events;

private:
    void line(std::string_view raw) {
        PyObject* v = native_ ? decoder_.decode(raw.data(), raw.size()) : nullptr;
        if (!v) {
            load_line_slowly(raw, lineno_, warn_, deserialize_, validate_, events);
            return;
        }
        object ev = nb::steal(v);
        if (PyDict_CheckExact(v)) {
            if (rules_.check(v)) must(PyList_Append(events.ptr(), v));
        } else if (v != Py_None) {
            object msg = own(PyUnicode_FromFormat("Expected dict, got %.200s", type_name(v)));
            warn_(lineno_, msg,
                  own(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()),
                                           "strict")));
        }
    }

public:
    // Whether the load was the native one and met no malformed line, so
    // that its events may be carried past this object's own appends.
    bool reusable() const { return native_ && warn_.count == 0; }

private:
    object deserialize_, validate_;
    bool native_;
    event::Rules rules_;
    LineWarning warn_;
    json::Decoder decoder_;
    Py_ssize_t lineno_ = 0;
};

// Reads the open file to its end a chunk at a time, each chunk's complete
// lines parsed while its bytes are still in the processor's cache.
nb::list read_events(int fd, handle path, bool& reusable) {
    LineParser parser(path);
    std::vector<char> buf(size_t{1} << 20);
    size_t have = 0;  // bytes in `buf`: an unfinished line carried over, then new ones
    for (;;) {
        if (buf.size() - have < (size_t{1} << 16)) buf.resize(buf.size() * 2);  // a very long line
        ssize_t n = ::read(fd, buf.data() + have, buf.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            raise_os_error(path);
        }
        if (n == 0) {
            parser.lines(buf.data(), buf.data() + have);
            reusable = parser.reusable();
            return std::move(parser.events);
        }
        have += static_cast<size_t>(n);
        const char* last = static_cast<const char*>(::memrchr(buf.data(), '\n', have));
        if (!last) continue;
        const size_t done = static_cast<size_t>(last + 1 - buf.data());
        parser.lines(buf.data(), buf.data() + done);
        std::memmove(buf.data(), buf.data() + done, have - done);
        have -= done;
    }
}

// What the validity of loaded events depends on besides the file: the type
// registry and the table of required fields, as they stand now.
object rules_now() {
    object types = own(PyFrozenSet_New(proto.get(k.event_types).ptr()));
    object fields = own(PyMapping_Items(proto.get(k.required_fields).ptr()));
    return nb::make_tuple(types, own(PyList_AsTuple(fields.ptr())));
}

// Whether the events of the last full load may still stand for the file
// plus our own appends: that load was reusable and the rules are unchanged
// (a type registered since then makes skipped lines valid).
bool rules_unchanged(handle self) {
    PyObject* saved = nullptr;
    if (PyObject_GetOptionalAttr(self.ptr(), k.loaded_rules, &saved) < 0) raise_current();
    object hold = nb::steal(saved);
    if (!saved || saved == Py_None) return false;
    int same = PyObject_RichCompareBool(saved, rules_now().ptr(), Py_EQ);
    must(same);
    return same == 1;
}

// The private copy of the events kept by this object's own appends: the list
// (which `_cache` held) and the file key just after our last write.
bool appended_copy(handle self, object& events, object& key) {
    PyObject* tail = nullptr;
    if (PyObject_GetOptionalAttr(self.ptr(), k.appended, &tail) < 0) raise_current();
    object hold = nb::steal(tail);
    if (!tail || !PyTuple_CheckExact(tail) || PyTuple_GET_SIZE(tail) != 2) return false;
    events = nb::borrow(PyTuple_GET_ITEM(tail, 0));
    key = nb::borrow(PyTuple_GET_ITEM(tail, 1));
    return true;
}

void set_attr(handle self, PyObject* name, handle value) {
    must(PyObject_SetAttr(self.ptr(), name, value.ptr()));
}

// Drops the statistics digest of the list a reload replaces.
void forget_digest(handle self) {
    PyObject* const name = k.digest;
    PyObject* held = nullptr;
    if (PyObject_GetOptionalAttr(self.ptr(), name, &held) < 0) raise_current();
    if (!held) return;
    Py_DECREF(held);
    set_attr(self, name, nb::none());
}

// The body of _load_all, handing back the cached list itself.
object load_cached(handle self) {
    const files::SysPath path = sys_path(self);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) raise_os_error(path.path());
        st.st_size = 0;
    }
    if (st.st_size == 0) {
        set_attr(self, k.cache, nb::none());
        set_attr(self, k.cache_key, nb::none());
        return nb::list();
    }
    object key = stat_key(st);

    object cache = own(PyObject_GetAttr(self.ptr(), k.cache));
    if (!cache.is_none()) {
        object cached_key = own(PyObject_GetAttr(self.ptr(), k.cache_key));
        int same = PyObject_RichCompareBool(cached_key.ptr(), key.ptr(), Py_EQ);
        must(same);
        if (same) return cache;
    }

    // Only our own appends changed the file since the copy was made.
    object copy, copy_key;
    if (cache.is_none() && appended_copy(self, copy, copy_key)) {
        int same = PyObject_RichCompareBool(copy_key.ptr(), key.ptr(), Py_EQ);
        must(same);
        if (same &&
            reads_natively(protocol_fn(k.deserialize, originals.deserialize),
                           protocol_fn(k.validate_event, originals.validate_event)) &&
            rules_unchanged(self)) {
            set_attr(self, k.cache, copy);
            set_attr(self, k.cache_key, key);
            return copy;
        }
    }

    Fd file = files::open_file(path, O_RDONLY);
    // The collector would walk the growing list again and again while it finds
    // nothing to free: decoded events form no cycles.
    const int collecting = PyGC_Disable();
    nb::list events;
    bool reusable = false;
    try {
        files::Lock lock(file.get(), files::Lock::shared);
        events = read_events(file.get(), path.path(), reusable);
        lock.release();
    } catch (...) {
        if (collecting) PyGC_Enable();
        throw;
    }
    if (collecting) PyGC_Enable();
    set_attr(self, k.cache, events);
    set_attr(self, k.cache_key, key);
    set_attr(self, k.appended, nb::none());
    set_attr(self, k.loaded_rules, reusable ? rules_now() : nb::none());
    forget_digest(self);
    return std::move(events);
}

// The events `self._load_all()` gives: the cached list itself (not to be
// changed) when `_load_all` is our own, as `cached` then tells.
object events_of(handle self, bool* cached = nullptr) {
    object bound = own(PyObject_GetAttr(self.ptr(), k.load_all));
    const bool ours = PyMethod_Check(bound.ptr()) &&
                      PyMethod_GET_FUNCTION(bound.ptr()) == load_all_function &&
                      PyMethod_GET_SELF(bound.ptr()) == self.ptr();
    if (cached) *cached = ours;
    if (ours) return load_cached(self);
    return own(PySequence_List(bound().ptr()));
}

// ------------------------------------------------------------- the class

ORV_FUNCTION(ledger_init, "__init__(self, path: str | Path) -> None",
             "Open or create the ledger file at `path`.") {
    auto& [self, path_arg] = args;
    object path = pathlib_Path(handle(path_arg));
    setattr(self, k.path, path);
    getattr(getattr(path, k.parent), k.mkdir)(nb::arg("parents") = true,
                                               nb::arg("exist_ok") = true);
    // Create the file only where nothing stands yet.
    const files::SysPath sys = sys_path(self);
    Fd file = files::try_open(sys, O_WRONLY | O_CREAT | O_EXCL);
    if (!file.valid() && errno != EEXIST) raise_os_error(sys.path());
    setattr(self, k.cache, nb::none());
    setattr(self, k.cache_key, nb::none());
    return nb::none();
}

ORV_FUNCTION(append, "append(self, event: dict) -> None",
             "Validate one event and append it as one line under an exclusive lock.") {
    auto& [self_arg, ev_arg] = args;
    handle self(self_arg), ev(ev_arg);

    if (!truth(protocol_fn(k.validate_event, originals.validate_event)(ev).ptr())) {
        object text = own(PyObject_Str(ev.ptr()));
        raise(PyExc_ValueError, "Invalid event: %U", text.ptr());
    }
    object line = own(PyNumber_Add(protocol_fn(k.serialize, originals.serialize)(ev).ptr(),
                                   nb::str("\n").ptr()));
    Py_ssize_t size;
    const char* bytes = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
    if (!bytes) raise_current();

    // What this object last knew of the file, to carry its events over.
    object known = own(PyObject_GetAttr(self.ptr(), k.cache));
    object known_key;
    if (known.is_none()) {
        if (!appended_copy(self, known, known_key)) known = nb::none();
    } else {
        known_key = own(PyObject_GetAttr(self.ptr(), k.cache_key));
    }

    const files::Appended written =
        files::append_line(sys_path(self), std::string_view(bytes, static_cast<size_t>(size)), true);
    object key_before = stat_key(written.before), key_after = stat_key(written.after);

    set_attr(self, k.cache, nb::none());
    set_attr(self, k.cache_key, nb::none());

    // Keep our events for the next load when nobody else wrote in between:
    // the file is then exactly what we knew plus our line. Only a line that
    // reads back as one object qualifies; anything else (a serialiser that
    // wrote several physical lines, say) is left to a full load to judge.
    object carried = nb::none();
    const size_t body = static_cast<size_t>(size - 1);
    const bool one_line = !std::memchr(bytes, '\n', body) && !std::memchr(bytes, '\r', body);
    if (one_line && !known.is_none() && PyList_CheckExact(known.ptr()) && !known_key.is_none() &&
        rules_unchanged(self)) {
        int same = PyObject_RichCompareBool(known_key.ptr(), key_before.ptr(), Py_EQ);
        must(same);
        if (same) {
            json::Decoder decoder;
            PyObject* decoded = decoder.decode(bytes, body);
            if (decoded && !PyDict_CheckExact(decoded)) Py_CLEAR(decoded);
            if (decoded) {
                object back = nb::steal(decoded);
                event::Rules rules(proto.get(k.required_fields), proto.get(k.event_types));
                if (rules.check(decoded)) must(PyList_Append(known.ptr(), decoded));
                carried = nb::make_tuple(known, key_after);
            }
        }
    }
    set_attr(self, k.appended, carried);
    return nb::none();
}

ORV_FUNCTION(load_all, "_load_all(self) -> list",
             "Every valid event in file order, through the cache.") {
    auto& [self] = args;
    return own(PySequence_List(load_cached(self).ptr()));
}

ORV_FUNCTION(size, "size(self) -> int", "The number of valid events.") {
    auto& [self] = args;
    const Py_ssize_t n = PyObject_Length(events_of(self).ptr());
    if (n < 0) raise_current();
    return nb::int_(n);
}

// ----------------------------------------------------------------- queries

// Code point order of two strs (a < b), as the host compares them; other
// values through the host's `<`.
bool less(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return text_less(a, b);
    int r = PyObject_RichCompareBool(a, b, Py_LT);
    must(r);
    return r == 1;
}

struct Stamped {
    PyObject* ts;     // borrowed from the event
    PyObject* event;  // borrowed from the list being ordered
    Py_ssize_t index;
};

// The events of `events` with their timestamps, e["timestamp"] for each.
std::vector<Stamped> stamped(handle events, std::vector<object>& hold) {
    std::vector<Stamped> out;
    const Py_ssize_t n = PyList_GET_SIZE(events.ptr());
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* ev = PyList_GET_ITEM(events.ptr(), i);
        PyObject* ts;
        if (PyDict_CheckExact(ev)) {
            ts = PyDict_GetItemWithError(ev, k.timestamp);
            if (!ts) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, k.timestamp);
                raise_current();
            }
        } else {
            hold.push_back(own(PyObject_GetItem(ev, k.timestamp)));
            ts = hold.back().ptr();
        }
        out.push_back({ts, ev, i});
    }
    return out;
}

// Orders `events` (a list we own) by timestamp as a stable sort would:
// newest first when `descending`, equal timestamps in list order. With
// `limit` > 0 only the first `limit` are selected (bounded, no full sort).
nb::list ordered(handle events, bool descending, Py_ssize_t limit) {
    std::vector<object> hold;
    std::vector<Stamped> items = stamped(events, hold);
    auto before = [descending](const Stamped& x, const Stamped& y) {
        if (descending ? less(y.ts, x.ts) : less(x.ts, y.ts)) return true;
        if (descending ? less(x.ts, y.ts) : less(y.ts, x.ts)) return false;
        return x.index < y.index;
    };
    size_t take = items.size();
    if (limit > 0 && static_cast<size_t>(limit) < items.size()) {
        take = static_cast<size_t>(limit);
        std::partial_sort(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(take),
                          items.end(), before);
    } else {
        std::stable_sort(items.begin(), items.end(), [descending](const Stamped& x, const Stamped& y) {
            return descending ? less(y.ts, x.ts) : less(x.ts, y.ts);
        });
    }
    nb::list out;
    for (size_t i = 0; i < take; ++i) out.append(handle(items[i].event));
    return out;
}

// map.get(key) compared with `value` by `op` (value None: no filter).
bool keeps(PyObject* ev, PyObject* key, PyObject* value, int op, handle dflt) {
    object field = get(ev, key, dflt);
    int r = PyObject_RichCompareBool(field.ptr(), value, op);
    must(r);
    return r == 1;
}

ORV_FUNCTION(events,
             "events(self, event_type: str | None = None, source: str | None = None, "
             "target: str | None = None, since: str | None = None, limit: int = 0, "
             "min_generation: int | None = None, max_depth: int | None = None) -> list",
             "Filtered events, most recent first.") {
    auto& [self, event_type, source, target, since, limit, min_gen, max_dep] = args;
    object all = events_of(self);
    object none = nb::none(), zero = nb::int_(0);
    nb::list kept;
    const Py_ssize_t n = PyList_GET_SIZE(all.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);
        if (event_type != Py_None && !keeps(ev, k.type, event_type, Py_EQ, none)) continue;
        if (source != Py_None && !keeps(ev, k.source, source, Py_EQ, none)) continue;
        if (target != Py_None && !keeps(ev, k.target, target, Py_EQ, none)) continue;
        if (since != Py_None && !keeps(ev, k.timestamp, since, Py_GE, none)) continue;
        if (min_gen != Py_None && !keeps(ev, k.generation, min_gen, Py_GE, zero)) continue;
        if (max_dep != Py_None && !keeps(ev, k.depth, max_dep, Py_LE, zero)) continue;
        kept.append(handle(ev));
    }
    int overflow = 0;
    long long lim = PyLong_AsLongLongAndOverflow(limit, &overflow);
    if (overflow > 0) lim = PY_SSIZE_T_MAX;
    if (overflow < 0) lim = 0;
    return ordered(kept, true, static_cast<Py_ssize_t>(lim));
}

ORV_FUNCTION(export_since, "export_since(self, timestamp: str) -> list",
             "Events at or after `timestamp`, oldest first.") {
    auto& [self, timestamp] = args;
    object all = events_of(self);
    nb::list kept;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);
        object ts = own(PyObject_GetItem(ev, k.timestamp));
        int r = PyObject_RichCompareBool(ts.ptr(), timestamp, Py_GE);
        must(r);
        if (r) kept.append(handle(ev));
    }
    return ordered(kept, false, 0);
}

ORV_FUNCTION(merge, "merge(self, other: Ledger) -> int",
             "Append the events of another ledger that this one lacks; return how many.") {
    auto& [self_arg, other_arg] = args;
    handle self(self_arg), other(other_arg);
    nb::set ids;
    object mine = own(PyObject_CallMethodNoArgs(self.ptr(), k.load_all));
    for (handle ev : nb::iter(mine)) ids.add(own(PyObject_GetItem(ev.ptr(), k.id)));
    object theirs = own(PyObject_CallMethodNoArgs(other.ptr(), k.load_all));
    long long added = 0;
    for (handle ev : nb::iter(theirs)) {
        object id = own(PyObject_GetItem(ev.ptr(), k.id));
        if (ids.contains(id)) continue;
        call_method(self, k.append, ev);
        ids.add(id);
        ++added;
    }
    return nb::int_(added);
}

// -------------------------------------------------------------- statistics

// Whether `v` equals the str `s` (interned); exact strs compare natively.
bool equals(PyObject* v, PyObject* s) {
    if (v == s) return true;
    if (PyUnicode_CheckExact(v)) return PyUnicode_Compare(v, s) == 0;
    int r = PyObject_RichCompareBool(v, s, Py_EQ);
    must(r);
    return r == 1;
}

// The payload of an event; a missing one reads as an empty map.
object payload_of(PyObject* ev) {
    object p = get(ev, k.payload, nb::none());
    return p.is_none() ? object(nb::dict()) : p;
}

// float(v) as the host converts it.
double to_double(PyObject* v) {
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    object f = own(PyNumber_Float(v));
    return PyFloat_AS_DOUBLE(f.ptr());
}

// sum(values) of floats as the host's built-in computes it: 0 + the first,
// then Neumaier's compensated summation, the compensation added last unless
// it is zero or not finite.
double host_sum(const std::vector<double>& values) {
    if (values.empty()) return 0.0;
    double total = 0.0 + values[0], c = 0.0;
    for (size_t i = 1; i < values.size(); ++i) {
        const double x = values[i], t = total + x;
        c += std::fabs(total) >= std::fabs(x) ? (total - t) + x : (x - t) + total;
        total = t;
    }
    if (c != 0.0 && std::isfinite(c)) total += c;
    return total;
}

// What a question's record is made of.
struct QuestionFacts {
    long long runs = 0, verified = 0, findings = 0;
    nb::dict types;                 // finding type -> count, in order of first appearance
    std::vector<double> severities; // of the findings that give one, oldest first
    std::vector<bool> empties;      // per finding, oldest first
};

nb::dict empty_record() {
    nb::dict r;
    r["runs"] = 0;
    r["findings_count"] = 0;
    r["finding_types"] = nb::dict();
    r["avg_severity"] = 0.0;
    r["resolution_rate"] = 0.0;
    r["consecutive_productive"] = 0;
    r["consecutive_empty"] = 0;
    return r;
}

nb::dict question_record(const QuestionFacts& f) {
    if (f.findings == 0 && f.runs == 0) return empty_record();
    // The runs of productive or empty findings at the newest end.
    long long productive = 0, empty = 0;
    for (auto it = f.empties.rbegin(); it != f.empties.rend(); ++it) {
        if (*it) {
            if (productive) break;
            ++empty;
        } else {
            if (empty) break;
            ++productive;
        }
    }
    const long long runs = f.findings > 0 ? std::max(f.runs, 1LL) : f.runs;
    nb::dict r;
    r["runs"] = runs;
    r["findings_count"] = f.findings;
    r["finding_types"] = f.types;
    r["avg_severity"] = f.severities.empty() ? 0.0
                        : host_sum(f.severities) / static_cast<double>(f.severities.size());
    r["resolution_rate"] = runs ? static_cast<double>(f.verified) / static_cast<double>(runs) : 0.0;
    r["consecutive_productive"] = productive;
    r["consecutive_empty"] = empty;
    return r;
}

void count_into(nb::dict& counts, handle key) {
    PyObject* now = PyDict_GetItemWithError(counts.ptr(), key.ptr());
    if (!now && PyErr_Occurred()) raise_current();
    object next = now ? own(PyNumber_Add(now, nb::int_(1).ptr())) : object(nb::int_(1));
    must(PyDict_SetItem(counts.ptr(), key.ptr(), next.ptr()));
}

// The event types the statistics read, in Kind order.
Name kSelectionName{"SELECTION"}, kFindingName{"FINDING"}, kVerifyName{"ACTION_VERIFY"},
    kForgeName{"FORGE"}, kCycleName{"CYCLE"};
const Name* const kKindNames[] = {&kSelectionName, &kFindingName, &kVerifyName, &kForgeName,
                                  &kCycleName};
enum Kind : uint8_t { kSelection, kFinding, kVerify, kForge, kCycle, kOther };

Kind kind_of(PyObject* ev) {
    object type = get(ev, k.type, nb::none());
    for (int i = 0; i < kOther; ++i)
        if (equals(type.ptr(), *kKindNames[i])) return static_cast<Kind>(i);
    return kOther;
}

// The five cycle totals, their defaults and the order of a bucket's keys.
Name kFindingsCount{"findings_count"}, kActionsExecuted{"actions_executed"},
    kActionsVerified{"actions_verified"}, kCostUsd{"cost_usd"}, kDurationSecs{"duration_secs"},
    kCycleCount{"cycle_count"};
struct CycleKeys {
    PyObject* names[5];
    PyObject* count;
    object defaults[5];
    CycleKeys()
        : names{kFindingsCount, kActionsExecuted, kActionsVerified, kCostUsd, kDurationSecs},
          count(kCycleCount),
          defaults{nb::int_(0), nb::int_(0), nb::int_(0), nb::float_(0.0), nb::float_(0.0)} {}
};
// Made on first use, after the names are interned; never destroyed, as
// a static destructor would run after the interpreter has finalised.
const CycleKeys& cycle_keys() {
    static const CycleKeys* keys = new CycleKeys();
    return *keys;
}

// Rounds a bucket's money and time the host's way.
void round_bucket(handle bucket, handle round) {
    const CycleKeys& c = cycle_keys();
    bucket[c.names[3]] = round(bucket[c.names[3]], 4);
    bucket[c.names[4]] = round(bucket[c.names[4]], 2);
}

// ---- straight over the events: any list of maps, every host rule applies

nb::dict all_question_stats_of(handle all, handle names) {
    object filter = names.is_none() ? nb::none() : own(PySet_New(names.ptr()));
    nb::dict index;  // question -> position in `facts`, in order of first tally
    std::vector<QuestionFacts> facts;
    std::vector<nb::list> findings;
    auto tally = [&](PyObject* q) -> size_t {
        PyObject* at = PyDict_GetItemWithError(index.ptr(), q);
        if (at) return PyLong_AsSize_t(at);
        if (PyErr_Occurred()) raise_current();
        must(PyDict_SetItem(index.ptr(), q, nb::int_(facts.size()).ptr()));
        facts.emplace_back();
        findings.emplace_back();
        return facts.size() - 1;
    };
    object no = nb::bool_(false), none = nb::none(), unknown = nb::borrow(k.unknown.ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);
        object p = payload_of(ev);
        object q = get(p, k.question, none);
        if (!truth(q.ptr())) continue;
        if (!filter.is_none()) {
            int in = PySet_Contains(filter.ptr(), q.ptr());
            must(in);
            if (!in) continue;
        }
        switch (kind_of(ev)) {
            case kSelection: ++facts[tally(q.ptr())].runs; break;
            case kFinding: findings[tally(q.ptr())].append(handle(ev)); break;
            case kVerify:
                if (truth(get(p, k.resolved, no).ptr())) ++facts[tally(q.ptr())].verified;
                break;
            default: break;
        }
    }
    for (size_t at = 0; at < facts.size(); ++at) {
        QuestionFacts& f = facts[at];
        nb::list sorted = ordered(findings[at], false, 0);
        f.findings = static_cast<long long>(PyList_GET_SIZE(sorted.ptr()));
        if (f.findings == 0) continue;
        for (handle ev : sorted) {
            object p = payload_of(ev.ptr());
            count_into(f.types, get(p, k.finding_type, unknown));
            object sev = get(p, k.severity, none);
            if (!sev.is_none()) f.severities.push_back(to_double(sev.ptr()));
            f.empties.push_back(truth(get(p, k.empty, no).ptr()));
        }
    }
    nb::dict out;
    auto report = [&](handle name) {
        PyObject* at = PyDict_GetItemWithError(index.ptr(), name.ptr());
        if (!at && PyErr_Occurred()) raise_current();
        out[name] = at ? question_record(facts[PyLong_AsSize_t(at)]) : empty_record();
    };
    if (filter.is_none()) {
        for (auto [name, at] : index) report(name);
    } else {
        for (handle name : nb::iter(names))
            if (!out.contains(name)) report(name);
    }
    return out;
}

nb::dict population_stats_of(handle all) {
    nb::set names;
    nb::dict generations;
    nb::dict counts;   // question -> findings, in order of first finding
    nb::dict targets;  // question -> set of targets, in order of first target
    object none = nb::none();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);
        const Kind kind = kind_of(ev);
        if (kind != kForge && kind != kFinding) continue;
        object q = get(payload_of(ev), k.question, none);
        if (!truth(q.ptr())) continue;
        names.add(q);
        if (kind == kForge) {
            count_into(generations, own(PyObject_GetItem(ev, k.generation)));
            continue;
        }
        count_into(counts, q);
        object target = get(ev, k.target, none);
        if (!truth(target.ptr())) continue;
        if (!targets.contains(q)) targets[q] = nb::set();
        nb::borrow<nb::set>(targets[q]).add(target);
    }
    object most = none, least = none, most_n, least_n;
    for (auto [q, n] : counts) {
        if (most.is_none() || less(most_n.ptr(), n.ptr())) {
            most = nb::borrow(q);
            most_n = nb::borrow(n);
        }
        if (least.is_none() || less(n.ptr(), least_n.ptr())) {
            least = nb::borrow(q);
            least_n = nb::borrow(n);
        }
    }
    nb::dict coverage;
    for (auto [q, seen] : targets) {
        object sorted = own(PySequence_List(seen.ptr()));
        must(PyList_Sort(sorted.ptr()));
        coverage[q] = sorted;
    }
    nb::dict r;
    r["total_population"] = nb::int_(names.size());
    r["generation_distribution"] = generations;
    r["most_productive"] = most;
    r["least_productive"] = least;
    r["coverage_matrix"] = coverage;
    return r;
}

nb::dict triage_effectiveness_of(handle all) {
    const CycleKeys& c = cycle_keys();
    nb::dict buckets;
    object unknown = nb::borrow(k.unknown.ptr()), one = nb::int_(1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);
        if (kind_of(ev) != kCycle) continue;
        object p = payload_of(ev);
        object mode = get(p, k.execution_mode, unknown);
        PyObject* bucket = PyDict_GetItemWithError(buckets.ptr(), mode.ptr());
        if (!bucket) {
            if (PyErr_Occurred()) raise_current();
            nb::dict fresh;
            for (int f = 0; f < 5; ++f) fresh[c.names[f]] = c.defaults[f];
            fresh[c.count] = 0;
            must(PyDict_SetItem(buckets.ptr(), mode.ptr(), fresh.ptr()));
            bucket = fresh.ptr();
        }
        for (int f = 0; f < 5; ++f) {
            object add = get(p, c.names[f], c.defaults[f]);
            object sum = own(PyNumber_Add(PyDict_GetItem(bucket, c.names[f]), add.ptr()));
            must(PyDict_SetItem(bucket, c.names[f], sum.ptr()));
        }
        object cycles = own(PyNumber_Add(PyDict_GetItem(bucket, c.count), one.ptr()));
        must(PyDict_SetItem(bucket, c.count, cycles.ptr()));
    }
    object round = builtins_round.get();
    for (auto [mode, bucket] : buckets) round_bucket(bucket, round);
    return buckets;
}

// ---- over a digest of the cached events
//
// Every statistics call re-reads the whole history, so the cached events get
// a compact digest, row by row: what each statistic reads, as small ids and
// numbers. It is built on first use, grows with the list as our own appends
// extend it, and dies with the list. Events whose values only the host's
// rules can settle (an unhashable question, a severity float() rejects, a
// total that is no plain number...) mark the statistics reading them as
// irregular: those then run straight over the events, errors and all.

// Distinct host values in order of first sight, compared as dict keys are.
class Table {
public:
    int32_t id(handle v) {
        PyObject* at = PyDict_GetItemWithError(ids_.ptr(), v.ptr());
        if (at) return static_cast<int32_t>(PyLong_AsLong(at));
        if (PyErr_Occurred()) raise_current();
        must(PyDict_SetItem(ids_.ptr(), v.ptr(), nb::int_(values.size()).ptr()));
        values.push_back(nb::borrow(v));
        return static_cast<int32_t>(values.size() - 1);
    }
    // The id of a value already seen, or -1.
    int32_t find(handle v) const {
        PyObject* at = PyDict_GetItemWithError(ids_.ptr(), v.ptr());
        if (!at && PyErr_Occurred()) raise_current();
        return at ? static_cast<int32_t>(PyLong_AsLong(at)) : -1;
    }
    std::vector<object> values;

private:
    nb::dict ids_;
};

// A plain number: int (within 64 bits) or float, added as the host adds.
struct Num {
    bool real = false;
    long long i = 0;
    double d = 0.0;

    static bool from(PyObject* v, Num& out) {
        if (PyFloat_CheckExact(v)) {
            out = Num{true, 0, PyFloat_AS_DOUBLE(v)};
            return true;
        }
        if (PyLong_CheckExact(v) || PyBool_Check(v)) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            out = Num{false, x, 0.0};
            return !overflow;
        }
        return false;
    }
    // False when an int sum leaves 64 bits: the host's ints would not.
    bool add(const Num& v) {
        if (!real && !v.real) return !__builtin_add_overflow(i, v.i, &i);
        d = (real ? d : static_cast<double>(i)) + (v.real ? v.d : static_cast<double>(v.i));
        real = true;
        return true;
    }
    object value() const { return real ? object(nb::float_(d)) : object(nb::int_(i)); }
};

struct Row {
    Kind kind = kOther;
    bool flag = false;          // FINDING: "empty"; ACTION_VERIFY: "resolved"
    bool has_severity = false;  // FINDING
    int32_t question = -1;      // -1: missing or empty
    int32_t value = -1;         // FINDING: type; FORGE: generation; CYCLE: mode
    int32_t target = -1;        // FINDING: -1 when missing or empty
    int32_t cycle = -1;         // CYCLE: its totals in Digest::cycles
    double severity = 0.0;
    PyObject* timestamp = nullptr;  // FINDING; the event keeps it alive
};

// Leaves a digest step for a value the host's rules must settle: raised as
// a host error, so that the handlers that mark statistics irregular see it.
[[noreturn]] void irregular() {
    PyErr_SetString(PyExc_TypeError, "not digestible");
    raise_current();
}

// Values that become keys of the results must be of one type per equality
// class: a table keeps the first one seen, while the host's dicts keep the
// first one counted, and 1, 1.0 and True are equal keys. Anything but a str
// (or None, or an int for generations) is left to the straight computation.
void key_text(handle v) {
    if (!PyUnicode_CheckExact(v.ptr()) && !v.is_none()) irregular();
}

struct Digest {
    object events;  // the list digested, held so that its identity stays unique
    std::vector<Row> rows;
    std::vector<std::array<Num, 5>> cycles;
    Table questions, types, generations, modes, targets;
    bool irregular_questions = false, irregular_population = false, irregular_triage = false;
    std::vector<int32_t> by_time;  // FINDING rows ordered by (timestamp, row)
    size_t timed = 0;              // rows already placed in by_time

    explicit Digest(handle list) : events(nb::borrow(list)) {}

    // Digests the events that the list gained since the last call.
    void extend() {
        const Py_ssize_t n = PyList_GET_SIZE(events.ptr());
        for (Py_ssize_t i = static_cast<Py_ssize_t>(rows.size()); i < n; ++i) {
            Row row;
            try {
                digest(PyList_GET_ITEM(events.ptr(), i), row);
            } catch (nb::python_error&) {
                irregular_questions = irregular_population = irregular_triage = true;
            }
            rows.push_back(row);
        }
        place_findings();
    }

private:
    void digest(PyObject* ev, Row& row) {
        row.kind = kind_of(ev);
        object p = payload_of(ev);
        object none = nb::none(), no = nb::bool_(false);
        object q = get(p, k.question, none);
        bool reads_question = row.kind == kFinding || row.kind == kForge;
        try {
            if (truth(q.ptr())) {
                key_text(q);
                row.question = questions.id(q);
            }
        } catch (nb::python_error&) {
            // Statistics that look at every event's question must raise.
            irregular_questions = true;
            if (reads_question) irregular_population = true;
        }
        switch (row.kind) {
            case kFinding: finding(ev, p, row, none, no); break;
            case kVerify:
                try {
                    row.flag = truth(get(p, k.resolved, no).ptr());
                } catch (nb::python_error&) {
                    irregular_questions = true;
                }
                break;
            case kForge:
                try {
                    object generation = own(PyObject_GetItem(ev, k.generation));
                    if (!PyLong_CheckExact(generation.ptr())) irregular();
                    row.value = generations.id(generation);
                } catch (nb::python_error&) {
                    irregular_population = true;
                }
                break;
            case kCycle: cycle(p, row); break;
            default: break;
        }
    }

    void finding(PyObject* ev, handle p, Row& row, handle none, handle no) {
        try {
            object ts = get(ev, k.timestamp, none);
            if (!PyUnicode_CheckExact(ts.ptr())) irregular();
            row.timestamp = ts.ptr();
            object type = get(p, k.finding_type, handle(k.unknown));
            key_text(type);
            row.value = types.id(type);
            object sev = get(p, k.severity, none);
            if (!sev.is_none()) {
                row.severity = to_double(sev.ptr());
                row.has_severity = true;
            }
            row.flag = truth(get(p, k.empty, no).ptr());
        } catch (nb::python_error&) {
            irregular_questions = true;
        }
        try {
            object target = get(ev, k.target, none);
            if (truth(target.ptr())) {
                if (!PyUnicode_CheckExact(target.ptr())) irregular();
                row.target = targets.id(target);
            }
        } catch (nb::python_error&) {
            irregular_population = true;
        }
    }

    void cycle(handle p, Row& row) {
        const CycleKeys& c = cycle_keys();
        try {
            row.value = modes.id(get(p, k.execution_mode, handle(k.unknown)));
            std::array<Num, 5> totals;
            for (int f = 0; f < 5; ++f)
                if (!Num::from(get(p, c.names[f], c.defaults[f]).ptr(), totals[f]))
                    irregular();
            row.cycle = static_cast<int32_t>(cycles.size());
            cycles.push_back(totals);
        } catch (nb::python_error&) {
            irregular_triage = true;
        }
    }

    // Findings join the time order at their place: after every earlier or
    // equal timestamp, so equal times keep list order.
    void place_findings() {
        auto later = [&](PyObject* ts, int32_t r) { return less(ts, rows[static_cast<size_t>(r)].timestamp); };
        for (; timed < rows.size(); ++timed) {
            const Row& row = rows[timed];
            if (row.kind != kFinding || !row.timestamp) continue;
            if (by_time.empty() || !later(row.timestamp, by_time.back())) {
                by_time.push_back(static_cast<int32_t>(timed));
                continue;
            }
            auto at = std::upper_bound(by_time.begin(), by_time.end(), row.timestamp,
                                       [&](PyObject* ts, int32_t r) { return later(ts, r); });
            by_time.insert(at, static_cast<int32_t>(timed));
        }
    }
};

void drop_digest(void* p) { delete static_cast<Digest*>(p); }

// The digest of `events` kept on `self`, made or extended as needed.
Digest& digest_of(handle self, handle events) {
    PyObject* const name = k.digest;
    static const char* const tag = "orvane.ledger.digest";
    PyObject* held = nullptr;
    if (PyObject_GetOptionalAttr(self.ptr(), name, &held) < 0) raise_current();
    object hold = nb::steal(held);
    Digest* d = held && PyCapsule_IsValid(held, tag)
                    ? static_cast<Digest*>(PyCapsule_GetPointer(held, tag)) : nullptr;
    if (!d || !d->events.is(events) ||
        d->rows.size() > static_cast<size_t>(PyList_GET_SIZE(events.ptr()))) {
        d = new Digest(events);
        PyObject* capsule = PyCapsule_New(d, tag, [](PyObject* c) {
            drop_digest(PyCapsule_GetPointer(c, "orvane.ledger.digest"));
        });
        if (!capsule) {
            delete d;
            raise_current();
        }
        set_attr(self, name, nb::steal(capsule));
    }
    d->extend();
    return *d;
}

nb::dict all_question_stats_of(Digest& d, handle names) {
    const size_t nq = d.questions.values.size();
    std::vector<QuestionFacts> facts(nq);
    std::vector<char> tallied(nq, 0);
    std::vector<int32_t> first_tallied;  // questions in order of their first counted event
    for (const Row& row : d.rows) {
        if (row.question < 0) continue;
        const size_t q = static_cast<size_t>(row.question);
        if (row.kind == kSelection) {
            ++facts[q].runs;
        } else if (row.kind == kVerify && row.flag) {
            ++facts[q].verified;
        } else if (row.kind != kFinding) {
            continue;
        }
        if (!tallied[q]) first_tallied.push_back(row.question);
        tallied[q] = 1;
    }
    std::vector<std::vector<int32_t>> order(nq);  // per question: type ids in first-seen order
    std::vector<std::vector<long long>> type_counts(nq);
    for (int32_t r : d.by_time) {
        const Row& row = d.rows[static_cast<size_t>(r)];
        if (row.question < 0) continue;
        const size_t q = static_cast<size_t>(row.question);
        QuestionFacts& f = facts[q];
        ++f.findings;
        auto& counts = type_counts[q];
        if (counts.size() <= static_cast<size_t>(row.value)) counts.resize(static_cast<size_t>(row.value) + 1, 0);
        if (counts[static_cast<size_t>(row.value)]++ == 0) order[q].push_back(row.value);
        if (row.has_severity) f.severities.push_back(row.severity);
        f.empties.push_back(row.flag);
    }
    auto record = [&](size_t q) {
        QuestionFacts& f = facts[q];
        for (int32_t t : order[q])
            f.types[d.types.values[static_cast<size_t>(t)]] = type_counts[q][static_cast<size_t>(t)];
        return question_record(f);
    };
    nb::dict out;
    if (names.is_none()) {
        for (int32_t q : first_tallied)
            out[d.questions.values[static_cast<size_t>(q)]] = record(static_cast<size_t>(q));
    } else {
        for (handle name : nb::iter(names)) {
            if (out.contains(name)) continue;
            const int32_t q = d.questions.find(name);
            out[name] = q >= 0 ? record(static_cast<size_t>(q)) : empty_record();
        }
    }
    return out;
}

nb::dict population_stats_of(Digest& d) {
    const size_t nq = d.questions.values.size();
    std::vector<char> named(nq, 0);
    std::vector<long long> counts(nq, 0), generation_counts(d.generations.values.size(), 0);
    std::vector<int32_t> finding_order, generation_order, target_order;
    std::vector<std::vector<int32_t>> targets(nq);
    for (const Row& row : d.rows) {
        if (row.question < 0 || (row.kind != kForge && row.kind != kFinding)) continue;
        const size_t q = static_cast<size_t>(row.question);
        named[q] = 1;
        if (row.kind == kForge) {
            if (generation_counts[static_cast<size_t>(row.value)]++ == 0)
                generation_order.push_back(row.value);
            continue;
        }
        if (counts[q]++ == 0) finding_order.push_back(row.question);
        if (row.target < 0) continue;
        if (targets[q].empty()) target_order.push_back(row.question);
        targets[q].push_back(row.target);
    }
    nb::dict generations;
    for (int32_t g_id : generation_order)
        generations[d.generations.values[static_cast<size_t>(g_id)]] =
            generation_counts[static_cast<size_t>(g_id)];
    object most = nb::none(), least = nb::none();
    long long most_n = 0, least_n = 0;
    for (int32_t q : finding_order) {
        const long long n = counts[static_cast<size_t>(q)];
        if (most.is_none() || n > most_n) {
            most = d.questions.values[static_cast<size_t>(q)];
            most_n = n;
        }
        if (least.is_none() || n < least_n) {
            least = d.questions.values[static_cast<size_t>(q)];
            least_n = n;
        }
    }
    nb::dict coverage;
    for (int32_t q : target_order) {
        std::vector<int32_t>& ids = targets[static_cast<size_t>(q)];
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        std::vector<PyObject*> texts;
        for (int32_t t : ids) texts.push_back(d.targets.values[static_cast<size_t>(t)].ptr());
        std::sort(texts.begin(), texts.end(), [](PyObject* x, PyObject* y) { return less(x, y); });
        nb::list sorted;
        for (PyObject* t : texts) sorted.append(handle(t));
        coverage[d.questions.values[static_cast<size_t>(q)]] = sorted;
    }
    size_t population = 0;
    for (char n : named) population += n != 0;
    nb::dict r;
    r["total_population"] = population;
    r["generation_distribution"] = generations;
    r["most_productive"] = most;
    r["least_productive"] = least;
    r["coverage_matrix"] = coverage;
    return r;
}

// The triage record from the digest; false if an int total left 64 bits.
bool triage_effectiveness_of(Digest& d, nb::dict& out) {
    const CycleKeys& c = cycle_keys();
    struct Bucket {
        std::array<Num, 5> totals{Num{}, Num{}, Num{}, Num{true, 0, 0.0}, Num{true, 0, 0.0}};
        long long cycles = 0;
    };
    std::vector<Bucket> buckets(d.modes.values.size());
    std::vector<int32_t> order;
    for (const Row& row : d.rows) {
        if (row.kind != kCycle) continue;
        Bucket& b = buckets[static_cast<size_t>(row.value)];
        if (b.cycles++ == 0) order.push_back(row.value);
        const auto& add = d.cycles[static_cast<size_t>(row.cycle)];
        for (int f = 0; f < 5; ++f)
            if (!b.totals[static_cast<size_t>(f)].add(add[static_cast<size_t>(f)])) return false;
    }
    object round = builtins_round.get();
    for (int32_t m : order) {
        const Bucket& b = buckets[static_cast<size_t>(m)];
        nb::dict bucket;
        for (int f = 0; f < 5; ++f) bucket[c.names[f]] = b.totals[static_cast<size_t>(f)].value();
        bucket[c.count] = b.cycles;
        round_bucket(bucket, round);
        out[d.modes.values[static_cast<size_t>(m)]] = bucket;
    }
    return true;
}

// ---- the methods

// The events for a statistic, and the digest when they are our own cache.
struct StatsSource {
    object events;
    Digest* digest = nullptr;
    explicit StatsSource(handle self) {
        bool cached = false;
        events = events_of(self, &cached);
        if (cached) digest = &digest_of(self, events);
    }
};

ORV_FUNCTION(all_question_stats,
             "all_question_stats(self, question_names: list[str] | None = None) -> dict",
             "Productivity statistics per question, in one pass.") {
    auto& [self, names_arg] = args;
    handle names(names_arg);
    StatsSource src(self);
    if (src.digest && !src.digest->irregular_questions)
        return all_question_stats_of(*src.digest, names);
    return all_question_stats_of(src.events, names);
}

// The instance's attributes for pickling and copying, without the
// statistics digest: a native handle that neither pickles nor copies, and
// that the copy rebuilds on first use.
ORV_FUNCTION(getstate, "__getstate__(self) -> dict", "The attributes to pickle or copy.") {
    auto& [self] = args;
    PyObject* const digest = k.digest;
    object attrs = own(PyObject_GenericGetDict(self, nullptr));
    object state = own(PyDict_Copy(attrs.ptr()));
    if (PyDict_DelItem(state.ptr(), digest) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise_current();
        PyErr_Clear();
    }
    return state;
}

ORV_FUNCTION(question_stats, "question_stats(self, question_name: str) -> dict",
             "Productivity statistics of one question.") {
    auto& [self, question_name] = args;
    nb::list names;
    names.append(handle(question_name));
    object all = call_method(self, k.all_question_stats, names);
    return get(all, question_name, empty_record());
}

ORV_FUNCTION(population_stats, "population_stats(self) -> dict",
             "The shape of the question population.") {
    auto& [self] = args;
    StatsSource src(self);
    if (src.digest && !src.digest->irregular_population) return population_stats_of(*src.digest);
    return population_stats_of(src.events);
}

ORV_FUNCTION(triage_effectiveness, "triage_effectiveness(self) -> dict",
             "Cycle totals per execution mode.") {
    auto& [self] = args;
    StatsSource src(self);
    nb::dict out;
    if (src.digest && !src.digest->irregular_triage && triage_effectiveness_of(*src.digest, out))
        return std::move(out);
    return triage_effectiveness_of(src.events);
}

}  // namespace

NB_MODULE(ledger, m) {
    mod.init(m, "The append-only, file-locked JSON-lines event store and its statistics.");
    json::init();
    object protocol = own(PyImport_ImportModule("orvane.protocol"));
    proto.init(protocol, nullptr);
    originals.validate_event = proto.get(k.validate_event);
    originals.serialize = proto.get(k.serialize);
    originals.deserialize = proto.get(k.deserialize);
    m.attr("validate_event") = originals.validate_event;
    m.attr("serialize") = originals.serialize;
    m.attr("deserialize") = originals.deserialize;

    ClassBuilder ledger(mod, "Ledger", "The append-only event store of an agent instance.");
    ledger.method(ledger_init_def)
        .method(append_def)
        .method(load_all_def)
        .method(events_def)
        .method(merge_def)
        .method(export_since_def)
        .method(size_def)
        .method(getstate_def)
        .method(question_stats_def)
        .method(all_question_stats_def)
        .method(population_stats_def)
        .method(triage_effectiveness_def);
    object cls = ledger.build();
    load_all_function = getattr(cls, k.load_all).release().ptr();
    m.attr("Ledger") = cls;
}
