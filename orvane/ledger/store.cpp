// The store: construction, append, the cached load, and the object's native
// state, read again only where the file grew.
#include "ledger/ledger.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace orv::ledger {

namespace {

Host pathlib_Path{"pathlib", "Path"};

constexpr const char* kStateTag = "orvane.ledger.state";

// Pauses the collector for a read: it would walk the growing list again and
// again while finding nothing to free (decoded events form no cycles). The
// collector is left as it was found, whether the read succeeds or fails.
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

// Marks a state as being extended for the length of a scope.
class Extending {
public:
    explicit Extending(State& s) : s_(s) { s_.extending = true; }
    ~Extending() { s_.extending = false; }
    Extending(const Extending&) = delete;
    Extending& operator=(const Extending&) = delete;

private:
    State& s_;
};

// The file open for reading under the shared lock, with the collector
// paused, and what fstat says of it; all undone when the scope ends.
class LockedRead {
public:
    explicit LockedRead(const files::SysPath& path)
        : file_(files::open_file(path, O_RDONLY)), lock_(file_.get(), files::Lock::shared) {
        if (::fstat(file_.get(), &st) != 0) files::raise_os_error(path.path());
    }
    int fd() const { return file_.get(); }
    // Unlocks now, reporting a failure to do so.
    void release() { lock_.release(); }

    struct stat st;

private:
    files::Fd file_;
    GcPause pause_;
    files::Lock lock_;
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

namespace {

// Makes `state` the object's, with `_cache` and `_cache_key` showing it.
Loaded adopt(handle self, const StatePtr& state, handle key) {
    setattr(self, k_cache, state->events);
    setattr(self, k_cache_key, key);
    if (state_of(self) != state) install(self, state);
    return {state->events, state};
}

// Ends a read into `s`, full or incremental: the index put in order, where
// the file now stands recorded, and `s` made the object's state for `key`.
// Warnings go out last, once the file is unlocked and the object is in
// order: a handler may read or append to this very ledger.
Loaded commit(handle self, const StatePtr& s, const ReadResult& read, const struct stat& st,
              std::string guard, handle key, handle path) {
    s->order.finish();
    s->device = st.st_dev;
    s->inode = st.st_ino;
    s->size = read.size;
    s->end = read.end;
    s->lines = read.lines;
    s->torn_event = read.torn_event;
    s->guard = std::move(guard);
    s->key = nb::borrow(key);
    Loaded loaded = adopt(self, s, key);
    log_warnings(read.warnings, path);
    return loaded;
}

// Whether `s` may stand for the file from where it ends: read natively, not
// being filled by a call up the stack, its list as it left it, and what
// decides validity (the protocol's functions, the registry, the required
// fields) as it was. A torn last line that gave an event is read again by a
// full load rather than taken back out of the indexes.
bool extendable(const State& s, handle cache) {
    return s.intact() && !s.extending && !s.torn_event &&
           (cache.is_none() || cache.is(s.events)) && reads_natively() &&
           equal(s.rules, rules_now());
}

// Reads what was appended since `s` was read, if the file is provably `s`'s
// file grown by appends: same device and inode, no shorter, and the last
// line before the old end (with any blank lines after it) byte for byte as
// it was. Under the lock protocol nothing before the end of an append-only
// file changes, and a truncation, a replacement or a rewrite changes that
// line or its place. False (and `s` untouched) when the file is not that.
bool read_appended(handle self, const StatePtr& s, const files::SysPath& path, handle key) {
    Extending busy(*s);
    Sink batch{nb::list()};
    ReadResult read;
    std::string guard;
    struct stat st;
    {
        LockedRead file(path);
        st = file.st;
        if (st.st_dev != s->device || st.st_ino != s->inode || st.st_size < s->size) return false;
        const off_t guard_start = s->end - static_cast<off_t>(s->guard.size());
        if (read_span(file.fd(), guard_start, s->end, path.path()) != s->guard) return false;
        read = read_lines(file.fd(), path.path(),
                          ReadFrom{s->end, s->lines, s->guard.ends_with('\r'), guard_start}, batch);
        if (!read.native) return false;
        guard = read_span(file.fd(), read.guard_start, read.end, path.path());
        file.release();
    }
    // Into the state: nothing here runs host code. A digest that a call up
    // the stack is reading is left to it; the state makes a new one on use.
    if (s->digest && digest_busy(*s->digest)) s->digest = nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(batch.list.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* ev = PyList_GET_ITEM(batch.list.ptr(), i);
        if (PyList_Append(s->events.ptr(), ev) < 0) {
            s->native = false;  // no longer what the indexes say: replaced next time
            raise_current();
        }
        s->order.add(ev);
        if (s->digest) digest_add(*s->digest, ev);
    }
    commit(self, s, read, st, std::move(guard), key, path.path());
    return true;
}

// Reads the whole file into a new state.
Loaded read_all(handle self, const files::SysPath& path, handle key) {
    auto fresh = std::make_shared<State>();
    fresh->events = nb::list();
    fresh->rules = rules_now();
    fresh->digest = new_digest();
    Sink sink{fresh->events, &fresh->order, fresh->digest.get()};
    ReadResult read;
    std::string guard;
    struct stat st;
    {
        LockedRead file(path);
        st = file.st;
        read = read_lines(file.fd(), path.path(), ReadFrom{}, sink);
        if (read.native) guard = read_span(file.fd(), read.guard_start, read.end, path.path());
        file.release();
    }
    // Read otherwise, nothing reached the index or the digest, and neither
    // is consulted for a state that is not native.
    fresh->native = read.native;
    return commit(self, fresh, read, st, std::move(guard), key, path.path());
}

}  // namespace

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
    // The key is taken before the file is opened: a writer appending after
    // the stat leaves more events than the key describes, and the next call,
    // seeing another key, reads on from where this read ended.
    object key = files::stat_key(st);

    object cache = getattr(self, k_cache);
    StatePtr state = state_of(self);
    if (!cache.is_none() && equal(getattr(self, k_cache_key), key))
        return {cache, state && state->events.is(cache) ? state : nullptr};

    if (state && extendable(*state, cache)) {
        if (equal(state->key, key)) return adopt(self, state, key);
        if (st.st_dev == state->device && st.st_ino == state->inode && st.st_size > state->size &&
            read_appended(self, state, path, key))
            return {state->events, state};
    }
    return read_all(self, path, key);
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
    setattr(self, k_self_path, path);
    const files::SysPath sys(path);
    files::ensure_parent(sys, [&] { return path; });
    // Create the file only where nothing stands yet.
    files::Fd file = files::try_open(sys, O_WRONLY | O_CREAT | O_EXCL);
    if (!file.valid() && errno != EEXIST) files::raise_os_error(sys.path());
    setattr(self, k_cache, nb::none());
    setattr(self, k_cache_key, nb::none());
    return nb::none();
}

// The cache is cleared; the object's state stays, so that the next read
// takes only the new line (and whatever others appended meanwhile) from the
// file, as the file holds it. A line written before the end the state read
// to means the file was cut short or rewritten behind it: the state goes, as
// the file could otherwise come back to the (mtime, size) key it was read
// under (within one tick of the clock) and the state be taken for it again.
// A file that grew meanwhile is others' appends, which the next read checks.
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
    // Written as a text file writes: anything but a str is refused as its
    // write() refuses it.
    if (!PyUnicode_Check(line.ptr()))
        raise(PyExc_TypeError, "write() argument must be str, not %.200s", type_name(line.ptr()));
    Py_ssize_t size;
    const char* bytes = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
    if (!bytes) raise_current();
    const files::Appended wrote =
        files::append_line(sys_path(self), std::string_view(bytes, static_cast<size_t>(size)), true);
    if (StatePtr state = state_of(self); state && wrote.before.st_size < state->size) forget(self);
    setattr(self, k_cache, nb::none());
    setattr(self, k_cache_key, nb::none());
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
