// orvane.ledger: the append-only event store of an agent instance.
//
// Events are validated and appended, one canonical JSON line each, to a
// JSON-lines file under an exclusive flock; reads take a shared flock and go
// through a per-object cache keyed on the file's (mtime_ns, size). On top of
// the store: filtered queries, merging, export, and the statistics that steer
// the agent (question productivity, population shape, results per mode).
//
// One file per concern, sharing this header:
//   module.cpp   the module table, the class and initialisation
//   store.cpp    construction, append, load, the object's native state
//   lines.cpp    splitting a file into lines, decoding them, the slow path
//   queries.cpp  events, export_since, merge, ordering by timestamp
//   stats.cpp    the statistics, straight over any list of events
//   digest.cpp   the statistics over a compact digest of the cached events
//
// Host code (a hash, a comparison, a truth test, a logging handler, a
// patched function) may run whenever native code calls into the host, and it
// may reload, append to or rewrite this very ledger. The rules that keep that
// safe, everywhere in this module:
//   - what lives across a host call is owned: `object`s, a private copy of a
//     list, or a pinned `StatePtr`/`DigestPtr`;
//   - native passes over rows, lists or indexes run no host code; results are
//     turned into host objects afterwards, reading shared tables by index
//     with bounds checks;
//   - only exact strs are compared natively; anything else is ordered by the
//     host's own sort.
#pragma once

#include "support/event.hpp"
#include "support/files.hpp"
#include "support/host.hpp"
#include "support/json.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orv::ledger {

// ---------------------------------------------------------------- the module

// What the module holds for the life of the process: its namespace, the
// protocol's, the protocol functions as imported (to tell patched ones
// apart) and our own `_load_all` (to tell overrides apart). Never destroyed:
// a static destructor would release objects after the interpreter is gone.
struct ModuleTable {
    Module mod;    // orvane.ledger
    Module proto;  // orvane.protocol
    object validate_event, serialize, deserialize;
    PyObject* load_all = nullptr;
};
extern ModuleTable& table;

// Interned names, made when the module initialises.
inline Name k_finding_type{"finding_type"}, k_execution_mode{"execution_mode"}, k_cache{"_cache"},
    k_cache_key{"_cache_key"}, k_state{"_native_state"}, k_load_all{"_load_all"},
    k_validate_event{"validate_event"}, k_serialize{"serialize"}, k_deserialize{"deserialize"},
    k_all_question_stats{"all_question_stats"};

// A protocol function as this module sees it now: our global of that name
// when it was replaced here, else the protocol module's attribute.
object protocol_fn(const Name& name, const object& original);

// Whether lines may be read natively: `deserialize` and `validate_event` as
// seen now (or as given), and json.loads, are all the originals.
bool reads_natively();
bool reads_natively(handle deserialize, handle validate_event);

// What the validity of loaded events depends on besides the file: the type
// registry and the table of required fields, as they stand now.
object rules_now();

// The ledger's path as the system wants it.
files::SysPath sys_path(handle self);

// ------------------------------------------------------- the native state

struct Digest;
using DigestPtr = std::shared_ptr<Digest>;

// The events in timestamp order: positions in the state's list sorted by
// (timestamp, position), so equal timestamps keep file order as the stable
// sort and the heap selection keep it. Only exact strs are ordered here, so
// every comparison is native and consistent; the index owns them.
struct Order {
    std::vector<object> stamps;     // per position
    std::vector<uint32_t> by_time;  // positions by (timestamp, position)
    size_t placed = 0;              // leading entries of by_time already in order
    bool valid = true;              // every timestamp is an exact str

    size_t size() const { return stamps.size(); }
    // Indexes the event at the next position.
    void add(PyObject* event);
    // Puts the entries added since the last call in their places.
    void finish();
};

// What one object knows natively about its file, beyond `_cache` and
// `_cache_key`: the list a load gave (the one `_cache` holds, or held until
// an append cleared it), where in the file that list ends, and the indexes
// the queries and statistics read.
//
// A state read natively is extended in place by incremental reads: when the
// file is the same file grown by appends (same device and inode, larger,
// the last line before the old end unchanged), only the new bytes are read.
// Anything else replaces the state by a full load.
//
// Shared ownership: the object holds its state through `_native_state`, and
// every call that works on it pins it, so a reload by host code in the
// middle of a call replaces the object's state without freeing the one the
// call still reads.
struct State {
    object events;        // the list of events: an exact list, never replaced
    object key;           // the file's (mtime_ns, size) for `events`
    object rules;         // rules_now() of the load: extension needs the same
    bool native = false;  // read natively: extended in place, indexed, digested

    // Where the file stood at the last read.
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;              // bytes read
    off_t end = 0;               // just past the last complete line
    Py_ssize_t lines = 0;        // physical lines before `end`
    bool torn_event = false;     // the torn last line after `end` gave an event
    // The bytes before `end` from the last non-blank line on; empty only
    // when `end` is 0, so its last byte tells whether the line end before
    // `end` is a lone CR.
    std::string guard;

    bool extending = false;  // an incremental read is filling it (nested loads replace it)
    Order order;             // valid for native states
    DigestPtr digest;        // for native states; null once detached, rebuilt on use

    // Read natively, and the list as long as the index: host code may have
    // changed it through `_cache`.
    bool intact() const {
        return native && static_cast<size_t>(PyList_GET_SIZE(events.ptr())) == order.size();
    }
    // The order index when the state is intact and the index all in place.
    const Order* index() const {
        return intact() && order.valid && order.placed == order.size() ? &order : nullptr;
    }
};
using StatePtr = std::shared_ptr<State>;

// The object's state, pinned; null when it has none.
StatePtr state_of(handle self);
// Makes `state` the object's state.
void install(handle self, const StatePtr& state);
// The one way to invalidate: the object forgets its native state. Calls that
// pinned it keep reading it; nothing is carried to the next load.
void forget(handle self);

// The events a read works on. `state` is set when `list` is the state's own
// list (our cache, not to be changed); `fresh` when the list was made for
// this call and nobody else holds it.
struct Loaded {
    object list;
    StatePtr state;
    bool fresh = false;
};

// The body of _load_all: the cached list itself, reloaded when the file changed.
Loaded load_cached(handle self);

// What `self._load_all()` gives: our cache directly when `_load_all` is our
// own; otherwise a list of what the override returns (state null).
Loaded events_of(handle self);

// A list of the events that nobody else can change, for passes that call
// host code: the loaded list itself when it is fresh, else a copy.
object private_list(const Loaded& loaded);

// ----------------------------------------------------------- reading lines

// A malformed line: its number, the error's text, its first 200 characters.
struct Warning {
    Py_ssize_t lineno;
    object error, line;
};

// Where parsed events go: a list, and for native reads into a fresh state,
// its order index and digest as each event arrives (while it is still in
// the processor's cache).
struct Sink {
    object list;
    Order* order = nullptr;
    Digest* digest = nullptr;
};

// Where a read starts: at `from`, after `lines` physical lines; `skip_lf`
// when the byte before `from` is a lone CR (a LF right after it belongs to
// that line end); `guard_start` where the last non-blank line before `from`
// begins.
struct ReadFrom {
    off_t from = 0;
    Py_ssize_t lines = 0;
    bool skip_lf = false;
    off_t guard_start = 0;
};

// What a read found: whether it decoded natively, the malformed lines, and
// where the file now stands (the fields of State of the same names).
struct ReadResult {
    bool native = false;
    std::vector<Warning> warnings;
    off_t size = 0, end = 0, guard_start = 0;
    Py_ssize_t lines = 0;
    bool torn_event = false;
};

// Reads the open file `fd` from `start` to its end into `sink`. Not native
// (patched protocol functions or json.loads): the sink's order and digest
// are left alone and cleared.
ReadResult read_lines(int fd, handle path, const ReadFrom& start, Sink& sink);

// The bytes [from, to) of the open file.
std::string read_span(int fd, off_t from, off_t to, handle path);

// Logs "Skipping malformed line %d in %s: %s — %s" on the root logger for
// each, with the load's format and arguments.
void log_warnings(const std::vector<Warning>& warnings, handle path);

// The digest's share of a load: a new digest, and one event added at the end.
DigestPtr new_digest();
void digest_add(Digest& digest, PyObject* event);
// Whether a call up the stack is using it (then it must not change).
bool digest_busy(const Digest& digest);

// ---------------------------------------------------------------- ordering

// The items of `events` (a private list) ordered by their "timestamp": as
// list.sort(key=..., reverse=descending) would, equal timestamps in list
// order; with limit > 0 (descending only) as heapq.nlargest(limit, ...).
object ordered(handle events, bool descending, Py_ssize_t limit);

// The state's order index when it covers `loaded` exactly, else null.
const Order* index_of(const Loaded& loaded);

// ----------------------------------------------------- statistics helpers

// The event types the statistics read, and their names in the same order.
enum Kind : uint8_t { kSelection, kFinding, kVerify, kForge, kCycle, kOther };
inline Name k_SELECTION{"SELECTION"}, k_FINDING{"FINDING"}, k_ACTION_VERIFY{"ACTION_VERIFY"},
    k_CYCLE{"CYCLE"};
inline const Name* const kKindNames[kOther] = {&k_SELECTION, &k_FINDING, &k_ACTION_VERIFY,
                                               &k_FORGE, &k_CYCLE};
// The kind an exact str names: by length, then bytes.
Kind kind_of_text(PyObject* type);

// What a question's record is made of.
struct QuestionFacts {
    long long runs = 0, verified = 0, findings = 0;
    nb::dict types;                  // finding type -> count, in order of first appearance
    std::vector<double> severities;  // of the findings that give one, oldest first
    std::vector<bool> empties;       // per finding, oldest first
};
nb::dict empty_record();
nb::dict question_record(const QuestionFacts& facts);
// What population_stats gives.
nb::dict population_record(size_t population, handle generations, handle most, handle least,
                           handle coverage);

// The five cycle totals, their defaults and the bucket's count key.
struct CycleKeys {
    PyObject* names[5];
    PyObject* count;
    object defaults[5];
};
const CycleKeys& cycle_keys();
// Rounds a bucket's money and time with the host's round.
void round_bucket(handle bucket, handle round);
extern Host builtins_round;

// The statistics over the digest of a state's events, when it can answer:
// false (and nothing set) when the events hold values only the host's rules
// can settle, or when the digest is in use by a call further up the stack.
// Then the methods go straight over the events.
bool digest_question_stats(const StatePtr& state, handle names, nb::dict& out);
bool digest_population_stats(const StatePtr& state, nb::dict& out);
bool digest_triage_effectiveness(const StatePtr& state, nb::dict& out);

// --------------------------------------------------------- class methods

void add_store_methods(ClassBuilder& cls);
void add_query_methods(ClassBuilder& cls);
void add_stats_methods(ClassBuilder& cls);

}  // namespace orv::ledger
