// The store: construction, append, the cached load, and the object's native
// state that carries its events past its own appends.
#include "ledger/ledger.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

namespace orv::ledger {

namespace {

Host pathlib_Path{"pathlib", "Path"};

constexpr const char* kStateTag = "orvane.ledger.state";

bool equal(handle a, handle b) {
    int same = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    must(same);
    return same == 1;
}

// Pauses the collector for a load: it would walk the growing list again and
// again while finding nothing to free (decoded events form no cycles). The
// collector is left as it was found, whether the load succeeds or fails.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

}  // namespace

// ------------------------------------------------------------ native state

StatePtr state_of(handle self) {
    PyObject* held = nullptr;
    if (PyObject_GetOptionalAttr(self.ptr(), k_state, &held) < 0) raise_current();
    object hold = nb::steal(held);
    if (!held || !PyCapsule_IsValid(held, kStateTag)) return nullptr;
    return *static_cast<StatePtr*>(PyCapsule_GetPointer(held, kStateTag));
}

void install(handle self, const StatePtr& state) {
    auto* slot = new StatePtr(state);
    PyObject* capsule = PyCapsule_New(slot, kStateTag, [](PyObject* c) {
        delete static_cast<StatePtr*>(PyCapsule_GetPointer(c, kStateTag));
    });
    if (!capsule) {
        delete slot;
        raise_current();
    }
    setattr(self, k_state, nb::steal(capsule));
}

void forget(handle self) {
    PyObject* held = nullptr;
    if (PyObject_GetOptionalAttr(self.ptr(), k_state, &held) < 0) raise_current();
    if (!held) return;
    object hold = nb::steal(held);
    if (!hold.is_none()) setattr(self, k_state, nb::none());
}

// ------------------------------------------------------------------ loading

Loaded load_cached(handle self) {
    const files::SysPath path = sys_path(self);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) files::raise_os_error(path.path());
        st.st_size = 0;
    }
    if (st.st_size == 0) {
        setattr(self, k_cache, nb::none());
        setattr(self, k_cache_key, nb::none());
        forget(self);
        return {nb::list(), nullptr, true};
    }
    object key = files::stat_key(st);

    object cache = getattr(self, k_cache);
    StatePtr state = state_of(self);
    if (!cache.is_none() && equal(getattr(self, k_cache_key), key))
        return {cache, state && state->events.is(cache) ? state : nullptr};

    // Only our own appends changed the file since the state's list was made,
    // and what decides validity is as it was then: the list is the file's.
    if (cache.is_none() && state && !state->rules.is_none() && equal(state->key, key) &&
        reads_natively() && equal(state->rules, rules_now())) {
        setattr(self, k_cache, state->events);
        setattr(self, k_cache_key, key);
        return {state->events, state};
    }

    object rules = rules_now();
    files::Fd file = files::open_file(path, O_RDONLY);
    ReadResult read;
    {
        GcPause pause;
        files::Lock lock(file.get(), files::Lock::shared);
        read = read_events(file.get(), path.path());
        lock.release();
    }
    auto fresh = std::make_shared<State>();
    fresh->events = read.events;
    fresh->key = key;
    fresh->native = read.native;
    // A load that met a malformed line is not carried: a reload warns again.
    fresh->rules = read.native && read.warnings.empty() ? rules : object(nb::none());
    setattr(self, k_cache, fresh->events);
    setattr(self, k_cache_key, key);
    install(self, fresh);
    // Warnings go out once the file is unlocked and the object is in order:
    // a handler may read or append to this very ledger.
    log_warnings(read.warnings, path.path());
    return {fresh->events, fresh};
}

Loaded events_of(handle self) {
    object bound = getattr(self, k_load_all);
    const bool ours = PyMethod_Check(bound.ptr()) &&
                      PyMethod_GET_FUNCTION(bound.ptr()) == table.load_all &&
                      PyMethod_GET_SELF(bound.ptr()) == self.ptr();
    if (ours) return load_cached(self);
    return {own(PySequence_List(bound().ptr())), nullptr, true};
}

object private_list(const Loaded& loaded) {
    if (loaded.fresh) return loaded.list;
    if (PyList_CheckExact(loaded.list.ptr()))
        return own(PyList_GetSlice(loaded.list.ptr(), 0, PY_SSIZE_T_MAX));
    return own(PySequence_List(loaded.list.ptr()));
}

namespace {

// --------------------------------------------------------------- the class

ORV_FUNCTION(ledger_init, "__init__(self, path: str | Path) -> None",
             "Open or create the ledger file at `path`.") {
    auto& [self, path_arg] = args;
    object path = pathlib_Path(handle(path_arg));
    setattr(self, k_path, path);
    getattr(getattr(path, k_parent), k_mkdir)(nb::arg("parents") = true,
                                               nb::arg("exist_ok") = true);
    // Create the file only where nothing stands yet.
    const files::SysPath sys = sys_path(self);
    files::Fd file = files::try_open(sys, O_WRONLY | O_CREAT | O_EXCL);
    if (!file.valid() && errno != EEXIST) files::raise_os_error(sys.path());
    setattr(self, k_cache, nb::none());
    setattr(self, k_cache_key, nb::none());
    return nb::none();
}

ORV_FUNCTION(append, "append(self, event: dict) -> None",
             "Validate one event and append it as one line under an exclusive lock.") {
    auto& [self_arg, ev_arg] = args;
    handle self(self_arg), ev(ev_arg);

    if (!truth(protocol_fn(k_validate_event, table.validate_event)(ev).ptr())) {
        object text = own(PyObject_Str(ev.ptr()));
        raise(PyExc_ValueError, "Invalid event: %U", text.ptr());
    }
    object line = own(PyNumber_Add(protocol_fn(k_serialize, table.serialize)(ev).ptr(),
                                   nb::str("\n").ptr()));
    Py_ssize_t size;
    const char* bytes = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
    if (!bytes) raise_current();

    // What this object last knew of the file, to carry its events over: the
    // state's list, if `_cache` still shows it or was cleared by an append.
    StatePtr state = state_of(self);
    if (state && !state->rules.is_none()) {
        object cache = getattr(self, k_cache);
        if (!cache.is_none() &&
            (!cache.is(state->events) || !equal(getattr(self, k_cache_key), state->key)))
            state = nullptr;
    } else {
        state = nullptr;
    }

    const files::Appended written = files::append_line(
        sys_path(self), std::string_view(bytes, static_cast<size_t>(size)), true);
    object key_before = files::stat_key(written.before), key_after = files::stat_key(written.after);

    setattr(self, k_cache, nb::none());
    setattr(self, k_cache_key, nb::none());

    // Keep our events for the next load when nobody else wrote in between:
    // the file is then exactly what we knew plus our line. Only a line that
    // reads back as one object qualifies; anything else (a serialiser that
    // wrote several physical lines, say) is left to a full load to judge.
    const size_t body = static_cast<size_t>(size - 1);
    const bool one_line = !std::memchr(bytes, '\n', body) && !std::memchr(bytes, '\r', body);
    if (one_line && state && state_of(self) == state && equal(state->key, key_before) &&
        equal(state->rules, rules_now())) {
        json::Decoder decoder;
        object back = nb::steal(decoder.decode(bytes, body));
        if (back.is_valid() && PyDict_CheckExact(back.ptr())) {
            event::Rules rules(table.proto.get(k_required_fields), table.proto.get(k_event_types));
            if (rules.check(back.ptr())) must(PyList_Append(state->events.ptr(), back.ptr()));
            state->key = key_after;
            return nb::none();
        }
    }
    forget(self);
    return nb::none();
}

ORV_FUNCTION(load_all, "_load_all(self) -> list",
             "Every valid event in file order, through the cache.") {
    auto& [self] = args;
    return own(PySequence_List(load_cached(self).list.ptr()));
}

ORV_FUNCTION(size, "size(self) -> int", "The number of valid events.") {
    auto& [self] = args;
    const Py_ssize_t n = PyObject_Length(events_of(self).list.ptr());
    if (n < 0) raise_current();
    return nb::int_(n);
}

}  // namespace

void add_store_methods(ClassBuilder& cls) {
    cls.method(ledger_init_def).method(append_def).method(load_all_def).method(size_def);
}

}  // namespace orv::ledger
