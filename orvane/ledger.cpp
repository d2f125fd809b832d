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
#include "support/host.hpp"
#include "support/json.hpp"

#include <algorithm>
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

Globals g;      // orvane.ledger's globals
Globals proto;  // orvane.protocol's globals

// The protocol's functions as imported when this module loaded.
struct Originals {
    object validate_event, serialize, deserialize;
} originals;

PyObject* load_all_function = nullptr;  // our _load_all, to spot overrides

// Interned names read on every event.
struct Keys {
    PyObject *id, *type, *payload, *question, *timestamp, *target, *source, *generation, *depth,
        *finding_type, *severity, *empty, *resolved, *execution_mode, *unknown, *cache,
        *cache_key, *path, *appended, *load_all;
    void init() {
        id = intern("id");
        type = intern("type");
        payload = intern("payload");
        question = intern("question");
        timestamp = intern("timestamp");
        target = intern("target");
        source = intern("source");
        generation = intern("generation");
        depth = intern("depth");
        finding_type = intern("finding_type");
        severity = intern("severity");
        empty = intern("empty");
        resolved = intern("resolved");
        execution_mode = intern("execution_mode");
        unknown = intern("unknown");
        cache = intern("_cache");
        cache_key = intern("_cache_key");
        path = intern("_path");
        appended = intern("_appended");
        load_all = intern("_load_all");
    }
} k;

// A protocol function as this module sees it now: our global of that name
// when it was replaced here, else the protocol module's attribute.
object protocol_fn(const char* name, const object& original) {
    object mine = g.get(name);
    return mine.is(original) ? proto.get(name) : mine;
}

// ------------------------------------------------------------------ files

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

[[noreturn]] void raise_os_error(handle path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    raise_current();
}

// The path to hand to the system: os.fspath(self._path) as bytes.
struct SysPath {
    object path;   // the `_path` object itself, for error messages
    object bytes;  // its file-system encoding
    explicit SysPath(handle self) : path(own(PyObject_GetAttr(self.ptr(), k.path))) {
        PyObject* b = nullptr;
        if (!PyUnicode_FSConverter(path.ptr(), &b)) raise_current();
        bytes = nb::steal(b);
    }
    const char* c_str() const { return PyBytes_AS_STRING(bytes.ptr()); }
};

object stat_key(const struct stat& st) {
    long long ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return nb::make_tuple(nb::int_(ns), nb::int_(static_cast<long long>(st.st_size)));
}

// Runs `body` while holding flock(fd, mode) through the host's fcntl; the lock
// is released whether or not the body succeeds.
template <typename F>
void with_lock(int fd, const char* mode, F&& body) {
    object flock = host("fcntl", "flock");
    flock(fd, host("fcntl", mode));
    try {
        body();
    } catch (...) {
        try {
            flock(fd, host("fcntl", "LOCK_UN"));
        } catch (nb::python_error&) {
            // the body's error is the one to report
        }
        throw;
    }
    flock(fd, host("fcntl", "LOCK_UN"));
}

// ------------------------------------------------------------ loading

// Host's str.strip() whitespace within ASCII.
inline bool ascii_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

struct LineWarning {
    object path;
    void operator()(Py_ssize_t lineno, handle error_text, handle line) const {
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

// Turns the file's lines into events, in order.
class LineParser {
public:
    explicit LineParser(handle path)
        : deserialize_(protocol_fn("deserialize", originals.deserialize)),
          validate_(protocol_fn("validate_event", originals.validate_event)),
          native_(deserialize_.is(originals.deserialize) &&
                  validate_.is(originals.validate_event) && json::loads_is_native()),
          rules_(proto.get("_REQUIRED_FIELDS"), proto.get("_EVENT_TYPES")),
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

    object deserialize_, validate_;
    bool native_;
    event::Rules rules_;
    LineWarning warn_;
    json::Decoder decoder_;
    Py_ssize_t lineno_ = 0;
};

// Reads the open file to its end a chunk at a time, each chunk's complete
// lines parsed while its bytes are still in the processor's cache.
nb::list read_events(int fd, handle path) {
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

// The body of _load_all, handing back the cached list itself.
object load_cached(handle self) {
    SysPath path(self);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) raise_os_error(path.path);
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
        if (same && protocol_fn("deserialize", originals.deserialize).is(originals.deserialize) &&
            protocol_fn("validate_event", originals.validate_event).is(originals.validate_event) &&
            json::loads_is_native()) {
            set_attr(self, k.cache, copy);
            set_attr(self, k.cache_key, key);
            return copy;
        }
    }

    Fd file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) raise_os_error(path.path);
    // The collector would walk the growing list again and again while it finds
    // nothing to free: decoded events form no cycles.
    const int collecting = PyGC_Disable();
    nb::list events;
    try {
        with_lock(file.fd, "LOCK_SH", [&] { events = read_events(file.fd, path.path); });
    } catch (...) {
        if (collecting) PyGC_Enable();
        throw;
    }
    if (collecting) PyGC_Enable();
    set_attr(self, k.cache, events);
    set_attr(self, k.cache_key, key);
    set_attr(self, k.appended, nb::none());
    return std::move(events);
}

// The events `self._load_all()` gives, without the copy when it is our own.
object events_of(handle self) {
    object bound = own(PyObject_GetAttr(self.ptr(), k.load_all));
    if (PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == load_all_function &&
        PyMethod_GET_SELF(bound.ptr()) == self.ptr())
        return load_cached(self);
    return own(PySequence_List(bound().ptr()));
}

// ------------------------------------------------------------- the class

Signature init_sig{"__init__", {"self", "path"}, 2, 2};
object ledger_init(const Args& call) {
    PyObject* a[2];
    init_sig.bind(call, a);
    handle self(a[0]);
    object path = host("pathlib", "Path")(handle(a[1]));
    set_attr(self, k.path, path);
    path.attr("parent").attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    SysPath sys(self);
    Fd file;
    file.fd = ::open(sys.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (file.fd < 0) raise_os_error(sys.path);
    set_attr(self, k.cache, nb::none());
    set_attr(self, k.cache_key, nb::none());
    return nb::none();
}

Signature append_sig{"append", {"self", "event"}, 2, 2};
object append(const Args& call) {
    PyObject* a[2];
    append_sig.bind(call, a);
    handle self(a[0]), ev(a[1]);
    expect(ev.ptr(), &PyDict_Type, "event");

    if (!truth(protocol_fn("validate_event", originals.validate_event)(ev).ptr())) {
        object text = own(PyObject_Str(ev.ptr()));
        raise(PyExc_ValueError, "Invalid event: %U", text.ptr());
    }
    object line = own(PyNumber_Add(protocol_fn("serialize", originals.serialize)(ev).ptr(),
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

    SysPath path(self);
    Fd file;
    file.fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (file.fd < 0 && errno == EACCES) file.fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (file.fd < 0) raise_os_error(path.path);

    object key_before, key_after;
    with_lock(file.fd, "LOCK_EX", [&] {
        struct stat st;
        if (::fstat(file.fd, &st) != 0) raise_os_error(path.path);
        key_before = stat_key(st);
        // A torn last line (a writer died mid-line) must not swallow ours.
        std::string out;
        char last;
        if (st.st_size > 0 && ::pread(file.fd, &last, 1, st.st_size - 1) == 1 && last != '\n' &&
            last != '\r')
            out.push_back('\n');
        out.append(bytes, static_cast<size_t>(size));
        // The whole line goes out before the lock is released.
        for (size_t done = 0; done < out.size();) {
            ssize_t n = ::write(file.fd, out.data() + done, out.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                raise_os_error(path.path);
            }
            done += static_cast<size_t>(n);
        }
        if (::fstat(file.fd, &st) != 0) raise_os_error(path.path);
        key_after = stat_key(st);
    });

    set_attr(self, k.cache, nb::none());
    set_attr(self, k.cache_key, nb::none());

    // Keep our events for the next load when nobody else wrote in between:
    // the file is then exactly what we knew plus our line.
    object carried = nb::none();
    if (!known.is_none() && PyList_CheckExact(known.ptr()) && !known_key.is_none()) {
        int same = PyObject_RichCompareBool(known_key.ptr(), key_before.ptr(), Py_EQ);
        must(same);
        if (same) {
            json::Decoder decoder;
            PyObject* decoded = decoder.decode(bytes, static_cast<size_t>(size - 1));
            if (decoded) {
                object back = nb::steal(decoded);
                event::Rules rules(proto.get("_REQUIRED_FIELDS"), proto.get("_EVENT_TYPES"));
                if (rules.check(decoded)) must(PyList_Append(known.ptr(), decoded));
                carried = nb::make_tuple(known, key_after);
            }
        }
    }
    set_attr(self, k.appended, carried);
    return nb::none();
}

Signature load_all_sig{"_load_all", {"self"}, 1, 1};
object load_all(const Args& call) {
    PyObject* a[1];
    load_all_sig.bind(call, a);
    return own(PySequence_List(load_cached(a[0]).ptr()));
}

Signature size_sig{"size", {"self"}, 1, 1};
object size(const Args& call) {
    PyObject* a[1];
    size_sig.bind(call, a);
    return nb::int_(PyObject_Length(events_of(a[0]).ptr()));
}

// ----------------------------------------------------------------- queries

// Code point order of two strs (a < b), as the host compares them; other
// values through the host's `<`.
bool less(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) &&
        PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
        const Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb_ = PyUnicode_GET_LENGTH(b);
        int c = std::memcmp(PyUnicode_1BYTE_DATA(a), PyUnicode_1BYTE_DATA(b),
                            static_cast<size_t>(std::min(na, nb_)));
        return c < 0 || (c == 0 && na < nb_);
    }
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

Signature events_sig{"events",
                     {"self", "event_type", "source", "target", "since", "limit", "min_generation",
                      "max_depth"},
                     8,
                     1};
object events(const Args& call) {
    PyObject* a[8];
    events_sig.bind(call, a);
    auto [self, event_type, source, target, since, limit_arg, min_generation, max_depth] = a;
    for (auto [value, name] : {std::pair{event_type, "event_type"}, {source, "source"},
                               {target, "target"}, {since, "since"}})
        if (value) expect(value, &PyUnicode_Type, name, true);
    object limit = limit_arg ? to_int(limit_arg, "limit") : nb::int_(0);
    object min_gen = min_generation && min_generation != Py_None
                         ? to_int(min_generation, "min_generation") : nb::none();
    object max_dep = max_depth && max_depth != Py_None ? to_int(max_depth, "max_depth")
                                                       : nb::none();

    object all = events_of(self);
    object none = nb::none(), zero = nb::int_(0);
    nb::list kept;
    const Py_ssize_t n = PyList_GET_SIZE(all.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);
        if (event_type && event_type != Py_None && !keeps(ev, k.type, event_type, Py_EQ, none)) continue;
        if (source && source != Py_None && !keeps(ev, k.source, source, Py_EQ, none)) continue;
        if (target && target != Py_None && !keeps(ev, k.target, target, Py_EQ, none)) continue;
        if (since && since != Py_None && !keeps(ev, k.timestamp, since, Py_GE, none)) continue;
        if (!min_gen.is_none() && !keeps(ev, k.generation, min_gen.ptr(), Py_GE, zero)) continue;
        if (!max_dep.is_none() && !keeps(ev, k.depth, max_dep.ptr(), Py_LE, zero)) continue;
        kept.append(handle(ev));
    }
    int overflow = 0;
    long long lim = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
    if (overflow > 0) lim = PY_SSIZE_T_MAX;
    if (overflow < 0) lim = 0;
    return ordered(kept, true, static_cast<Py_ssize_t>(lim));
}

Signature export_sig{"export_since", {"self", "timestamp"}, 2, 2};
object export_since(const Args& call) {
    PyObject* a[2];
    export_sig.bind(call, a);
    expect(a[1], &PyUnicode_Type, "timestamp");
    object all = events_of(a[0]);
    nb::list kept;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);
        object ts = own(PyObject_GetItem(ev, k.timestamp));
        int r = PyObject_RichCompareBool(ts.ptr(), a[1], Py_GE);
        must(r);
        if (r) kept.append(handle(ev));
    }
    return ordered(kept, false, 0);
}

Signature merge_sig{"merge", {"self", "other"}, 2, 2};
object merge(const Args& call) {
    PyObject* a[2];
    merge_sig.bind(call, a);
    handle self(a[0]), other(a[1]);
    nb::set ids;
    object mine = own(PyObject_CallMethodNoArgs(self.ptr(), k.load_all));
    for (handle ev : nb::iter(mine)) ids.add(own(PyObject_GetItem(ev.ptr(), k.id)));
    object theirs = own(PyObject_CallMethodNoArgs(other.ptr(), k.load_all));
    long long added = 0;
    for (handle ev : nb::iter(theirs)) {
        object id = own(PyObject_GetItem(ev.ptr(), k.id));
        if (ids.contains(id)) continue;
        self.attr("append")(ev);
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

// A question's tallies from one pass over the events.
struct Tally {
    long long runs = 0;
    nb::list findings;
    long long verified = 0;
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

nb::dict question_record(Tally& t) {
    if (PyList_GET_SIZE(t.findings.ptr()) == 0 && t.runs == 0) return empty_record();
    nb::list findings = ordered(t.findings, false, 0);
    const Py_ssize_t n = PyList_GET_SIZE(findings.ptr());
    object unknown = nb::borrow(k.unknown), none = nb::none(), no = nb::bool_(false);

    nb::dict types;
    std::vector<double> severities;
    std::vector<bool> empties;
    for (Py_ssize_t i = 0; i < n; ++i) {
        object p = payload_of(PyList_GET_ITEM(findings.ptr(), i));
        object ft = get(p, k.finding_type, unknown);
        PyObject* count = PyDict_GetItemWithError(types.ptr(), ft.ptr());
        if (!count && PyErr_Occurred()) raise_current();
        object next = own(PyNumber_Add(count ? count : nb::int_(0).ptr(), nb::int_(1).ptr()));
        must(PyDict_SetItem(types.ptr(), ft.ptr(), next.ptr()));
        object sev = get(p, k.severity, none);
        if (!sev.is_none()) severities.push_back(to_double(sev.ptr()));
        empties.push_back(truth(get(p, k.empty, no).ptr()));
    }
    long long productive = 0, empty = 0;
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        if (empties[static_cast<size_t>(i)]) {
            if (productive) break;
            ++empty;
        } else {
            if (empty) break;
            ++productive;
        }
    }
    const long long runs = n > 0 ? std::max(t.runs, 1LL) : t.runs;
    nb::dict r;
    r["runs"] = runs;
    r["findings_count"] = static_cast<long long>(n);
    r["finding_types"] = types;
    r["avg_severity"] = severities.empty()
                            ? 0.0 : host_sum(severities) / static_cast<double>(severities.size());
    r["resolution_rate"] = runs ? static_cast<double>(t.verified) / static_cast<double>(runs) : 0.0;
    r["consecutive_productive"] = productive;
    r["consecutive_empty"] = empty;
    return r;
}

Signature all_stats_sig{"all_question_stats", {"self", "question_names"}, 2, 1};
object all_question_stats(const Args& call) {
    PyObject* a[2];
    all_stats_sig.bind(call, a);
    PyObject* names = a[1] ? a[1] : Py_None;
    expect(names, &PyList_Type, "question_names", true);
    object all = events_of(a[0]);
    object filter = names == Py_None ? nb::none() : own(PySet_New(names));

    static PyObject* const k_selection = intern("SELECTION");
    static PyObject* const k_finding = intern("FINDING");
    static PyObject* const k_verify = intern("ACTION_VERIFY");
    nb::dict index;  // question -> position in `tallies`, in order of first tally
    std::vector<Tally> tallies;
    auto tally = [&](PyObject* q) -> Tally& {
        PyObject* at = PyDict_GetItemWithError(index.ptr(), q);
        if (at) return tallies[PyLong_AsSize_t(at)];
        if (PyErr_Occurred()) raise_current();
        must(PyDict_SetItem(index.ptr(), q, nb::int_(tallies.size()).ptr()));
        tallies.emplace_back();
        return tallies.back();
    };
    object no = nb::bool_(false), none = nb::none();
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
        object type = get(ev, k.type, none);
        if (equals(type.ptr(), k_selection)) {
            ++tally(q.ptr()).runs;
        } else if (equals(type.ptr(), k_finding)) {
            tally(q.ptr()).findings.append(handle(ev));
        } else if (equals(type.ptr(), k_verify)) {
            if (truth(get(p, k.resolved, no).ptr())) ++tally(q.ptr()).verified;
        }
    }

    nb::dict out;
    auto report = [&](handle name) {
        PyObject* at = PyDict_GetItemWithError(index.ptr(), name.ptr());
        if (!at && PyErr_Occurred()) raise_current();
        out[name] = at ? question_record(tallies[PyLong_AsSize_t(at)]) : empty_record();
    };
    if (filter.is_none()) {
        for (auto [name, at] : index) report(name);
    } else {
        for (handle name : nb::iter(handle(names)))
            if (!out.contains(name)) report(name);
    }
    return std::move(out);
}

Signature question_stats_sig{"question_stats", {"self", "question_name"}, 2, 2};
object question_stats(const Args& call) {
    PyObject* a[2];
    question_stats_sig.bind(call, a);
    expect(a[1], &PyUnicode_Type, "question_name");
    nb::list names;
    names.append(handle(a[1]));
    object all = handle(a[0]).attr("all_question_stats")(names);
    return returning(get(all, a[1], empty_record()), &PyDict_Type);
}

Signature population_sig{"population_stats", {"self"}, 1, 1};
object population_stats(const Args& call) {
    PyObject* a[1];
    population_sig.bind(call, a);
    object all = events_of(a[0]);
    static PyObject* const k_forge = intern("FORGE");
    static PyObject* const k_finding = intern("FINDING");

    nb::set names;
    nb::dict generations;
    nb::dict counts;   // question -> findings, in order of first finding
    nb::dict targets;  // question -> set of targets, in order of first target
    object none = nb::none(), one = nb::int_(1), zero = nb::int_(0);
    auto bump = [&](nb::dict& d, handle key) {
        object now = get(d, key.ptr(), zero);
        d[key] = own(PyNumber_Add(now.ptr(), one.ptr()));
    };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);
        object type = get(ev, k.type, none);
        const bool forge = equals(type.ptr(), k_forge);
        if (!forge && !equals(type.ptr(), k_finding)) continue;
        object q = get(payload_of(ev), k.question, none);
        if (!truth(q.ptr())) continue;
        names.add(q);
        if (forge) {
            bump(generations, own(PyObject_GetItem(ev, k.generation)));
            continue;
        }
        bump(counts, q);
        object target = get(ev, k.target, none);
        if (!truth(target.ptr())) continue;
        if (!targets.contains(q)) targets[q] = nb::set();
        nb::set seen = nb::borrow<nb::set>(targets[q]);
        seen.add(target);
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
    return std::move(r);
}

Signature triage_sig{"triage_effectiveness", {"self"}, 1, 1};
object triage_effectiveness(const Args& call) {
    PyObject* a[1];
    triage_sig.bind(call, a);
    object all = events_of(a[0]);
    static PyObject* const k_cycle = intern("CYCLE");
    static PyObject* const k_cycle_count = intern("cycle_count");
    // The five totals read from each cycle, with their defaults.
    static PyObject* const totals[] = {intern("findings_count"), intern("actions_executed"),
                                       intern("actions_verified"), intern("cost_usd"),
                                       intern("duration_secs")};
    const object defaults[] = {nb::int_(0), nb::int_(0), nb::int_(0), nb::float_(0.0),
                               nb::float_(0.0)};

    nb::dict buckets;
    object none = nb::none(), unknown = nb::borrow(k.unknown), one = nb::int_(1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);
        if (!equals(get(ev, k.type, none).ptr(), k_cycle)) continue;
        object p = payload_of(ev);
        object mode = get(p, k.execution_mode, unknown);
        PyObject* bucket = PyDict_GetItemWithError(buckets.ptr(), mode.ptr());
        if (!bucket) {
            if (PyErr_Occurred()) raise_current();
            nb::dict fresh;
            for (int f = 0; f < 5; ++f) fresh[totals[f]] = defaults[f];
            fresh[k_cycle_count] = 0;
            must(PyDict_SetItem(buckets.ptr(), mode.ptr(), fresh.ptr()));
            bucket = fresh.ptr();
        }
        for (int f = 0; f < 5; ++f) {
            object add = get(p, totals[f], defaults[f]);
            object sum = own(PyNumber_Add(PyDict_GetItem(bucket, totals[f]), add.ptr()));
            must(PyDict_SetItem(bucket, totals[f], sum.ptr()));
        }
        object cycles = own(PyNumber_Add(PyDict_GetItem(bucket, k_cycle_count), one.ptr()));
        must(PyDict_SetItem(bucket, k_cycle_count, cycles.ptr()));
    }
    object round = host("builtins", "round");
    for (auto [mode, bucket] : buckets) {
        bucket[totals[3]] = round(bucket[totals[3]], 4);
        bucket[totals[4]] = round(bucket[totals[4]], 2);
    }
    return std::move(buckets);
}

PyMethodDef methods[] = {
    method<ledger_init>("__init__", "__init__(self, path)\n--\n\n"
                                    "Open or create the ledger file at `path`."),
    method<append>("append", "append(self, event)\n--\n\n"
                             "Validate one event and append it as one line under an exclusive lock."),
    method<load_all>("_load_all", "_load_all(self)\n--\n\n"
                                  "Every valid event in file order, through the cache."),
    method<events>("events",
                   "events(self, event_type=None, source=None, target=None, since=None, limit=0, "
                   "min_generation=None, max_depth=None)\n--\n\n"
                   "Filtered events, most recent first."),
    method<merge>("merge", "merge(self, other)\n--\n\n"
                           "Append the events of another ledger that this one lacks; "
                           "return how many."),
    method<export_since>("export_since", "export_since(self, timestamp)\n--\n\n"
                                         "Events at or after `timestamp`, oldest first."),
    method<size>("size", "size(self)\n--\n\nThe number of valid events."),
    method<question_stats>("question_stats", "question_stats(self, question_name)\n--\n\n"
                                             "Productivity statistics of one question."),
    method<all_question_stats>("all_question_stats",
                               "all_question_stats(self, question_names=None)\n--\n\n"
                               "Productivity statistics per question, in one pass."),
    method<population_stats>("population_stats", "population_stats(self)\n--\n\n"
                                                  "The shape of the question population."),
    method<triage_effectiveness>("triage_effectiveness",
                                 "triage_effectiveness(self)\n--\n\n"
                                 "Cycle totals per execution mode."),
};

}  // namespace

NB_MODULE(ledger, m) {
    m.doc() = "The append-only, file-locked JSON-lines event store and its statistics.";
    g.bind(m);
    k.init();
    json::init();
    object protocol = own(PyImport_ImportModule("orvane.protocol"));
    proto.bind(protocol);
    originals.validate_event = proto.get("validate_event");
    originals.serialize = proto.get("serialize");
    originals.deserialize = proto.get("deserialize");
    m.attr("validate_event") = originals.validate_event;
    m.attr("serialize") = originals.serialize;
    m.attr("deserialize") = originals.deserialize;

    ClassBuilder ledger("Ledger", g, "The append-only event store of an agent instance.");
    for (PyMethodDef& def : methods) ledger.method(&def);
    object cls = ledger.build();
    object fn = own(PyObject_GetAttr(cls.ptr(), k.load_all));
    load_all_function = fn.release().ptr();
    m.attr("Ledger") = cls;
}
