// orvane.protocol: the universal event record of the question engine.
//
// Every component emits events: string-keyed maps with ten fields, of a type
// named in the registry. This module builds them, validates them, writes them
// as one canonical JSON line and reads them back, and walks parent links.
// The protocol only grows: types are added, never removed.
#include "support/event.hpp"
#include "support/host.hpp"
#include "support/json.hpp"

namespace {

using namespace orv;

Module mod;  // orvane.protocol, read at call time

constexpr const char* kBuiltinTypes[] = {
    "QUESTION",     "FINDING",       "FORGE",         "SELECTION",
    "OBSERVATION",  "GOAL",          "HATCH",         "CYCLE",
    "ACTION_PLAN",  "ACTION_EXEC",   "ACTION_VERIFY", "ACTION_REFINE",
    "TRIAGE",       "BUDGET_LIMIT",  "COMPONENT_UNAVAILABLE",
    "PARSE_FABRICATION", "BRAIN_FAILURE",
};

// ---------------------------------------------------------------- registry

ORV_FUNCTION(register_event_type, "register_event_type(name: str) -> None",
             "Add an event type name to the registry (idempotent).") {
    auto& [name] = args;
    object registry = mod.get(k_EVENT_TYPES);
    if (PySet_CheckExact(registry.ptr()))
        must(PySet_Add(registry.ptr(), name));
    else
        call_method(registry, k_add, handle(name));
    return nb::none();
}

ORV_FUNCTION(event_types, "event_types() -> frozenset[str]",
             "An immutable snapshot of the registered event types.") {
    return own(PyFrozenSet_New(mod.get(k_EVENT_TYPES).ptr()));
}

// ------------------------------------------------------------ construction

ORV_FUNCTION(make_event,
             "make_event(event_type: str, source: str, payload: dict, *, "
             "target: str | None = None, parent_id: str | None = None, generation: int = 0, "
             "depth: int = 0, instance_id: str | None = None) -> dict",
             "Build a new event of a registered type.") {
    auto& [event_type, source, payload, target, parent_id, generation, depth, instance_id] = args;
    int registered = PySequence_Contains(mod.get(k_EVENT_TYPES).ptr(), event_type);
    must(registered);
    if (!registered)
        raise(PyExc_ValueError,
              "Unknown event type %R. Register it first with register_event_type().", event_type);

    object ev = own(PyDict_New());
    set_item(ev, k_id, uuid4_text());
    set_item(ev, k_type, handle(event_type));
    set_item(ev, k_source, handle(source));
    set_item(ev, k_target, handle(target));
    set_item(ev, k_payload, handle(payload));
    set_item(ev, k_parent_id, handle(parent_id));
    const bool own_instance = instance_id != Py_None && PyUnicode_GET_LENGTH(instance_id) > 0;
    set_item(ev, k_instance_id, own_instance ? nb::borrow(instance_id) : uuid4_text());
    set_item(ev, k_generation, handle(generation));
    set_item(ev, k_depth, handle(depth));
    set_item(ev, k_timestamp, mod.get(k_now_iso)());
    return ev;
}

// -------------------------------------------------------------- validation

ORV_FUNCTION(validate_event, "validate_event(event) -> bool",
             "True if `event` is a valid event; never raises.") {
    auto& [event] = args;
    event::Rules rules(mod.get(k_REQUIRED_FIELDS), mod.get(k_EVENT_TYPES));
    return nb::bool_(rules.check(event));
}

// ------------------------------------------------------------- line form

ORV_FUNCTION(serialize, "serialize(event: dict) -> str",
             "The event as one JSON line: sorted keys, no spaces, ASCII only.") {
    auto& [event] = args;
    return json::dumps_event_line(event);
}

ORV_FUNCTION(deserialize, "deserialize(line: str) -> dict",
             "Parse one JSON line back into an event (None for null).") {
    auto& [line] = args;
    return json::loads(line);
}

// ------------------------------------------------------------- predicates

// event.get(key, 0) compared with `op` against 0.
bool compare_field(PyObject* ev, const Name& key, int op) {
    object zero = nb::int_(0);
    return compare(get(ev, key, zero), zero, op);
}

ORV_FUNCTION(is_recursive, "is_recursive(event: dict) -> bool",
             "True if the event's depth is above 0.") {
    auto& [event] = args;
    return nb::bool_(compare_field(event, k_depth, Py_GT));
}

ORV_FUNCTION(is_seed, "is_seed(event: dict) -> bool",
             "True if the event is from the seed generation.") {
    auto& [event] = args;
    return nb::bool_(compare_field(event, k_generation, Py_EQ));
}

// ---------------------------------------------------------------- chains

// Whether the parent links reachable from `root` loop back on themselves.
// The indexes are ours alone; host code run by hashing ids cannot reach them.
bool has_cycle(PyObject* by_parent, PyObject* root) {
    constexpr long open_ = 1, done_ = 2;
    nb::dict state;
    struct Frame {
        object id;
        object children;  // list of events, or None
        Py_ssize_t next;
    };
    std::vector<Frame> stack;
    auto push = [&](PyObject* id) {
        state[handle(id)] = nb::int_(open_);
        PyObject* kids = PyDict_GetItemWithError(by_parent, id);
        if (!kids && PyErr_Occurred()) raise_current();
        stack.push_back({nb::borrow(id), nb::borrow(kids ? kids : Py_None), 0});
    };
    push(root);
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.children.is_none() || f.next >= PyList_GET_SIZE(f.children.ptr())) {
            state[f.id] = nb::int_(done_);
            stack.pop_back();
            continue;
        }
        object child = nb::borrow(PyList_GET_ITEM(f.children.ptr(), f.next++));
        object cid = own(PyObject_GetItem(child.ptr(), k_id));
        PyObject* s = PyDict_GetItemWithError(state.ptr(), cid.ptr());
        if (!s && PyErr_Occurred()) raise_current();
        if (s && PyLong_AsLong(s) == open_) return true;
        if (!s) push(cid.ptr());  // invalidates `f`
    }
    return false;
}

ORV_FUNCTION(event_chain, "event_chain(events: list, root_id: str) -> list",
             "The root event followed by its descendants, level by level.") {
    auto& [events_arg, root_id] = args;
    // Snapshot the list: the loop below calls back into host code.
    object events = own(PySequence_List(events_arg));
    nb::dict by_id, by_parent;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(events.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(events.ptr(), i);
        object id = own(PyObject_GetItem(ev, k_id));
        set_item(by_id, id.ptr(), handle(ev));
        object parent = get(ev, k_parent_id, nb::none());
        object siblings = nb::borrow(PyDict_GetItemWithError(by_parent.ptr(), parent.ptr()));
        if (!siblings.is_valid()) {
            if (PyErr_Occurred()) raise_current();
            siblings = own(PyList_New(0));
            set_item(by_parent, parent.ptr(), siblings);
        }
        must(PyList_Append(siblings.ptr(), ev));
    }

    object root = nb::borrow(PyDict_GetItemWithError(by_id.ptr(), root_id));
    if (!root.is_valid()) {
        if (PyErr_Occurred()) raise_current();
        return nb::list();
    }
    // Level by level from the root. Parent links that loop are cut at the
    // first id seen again; otherwise every listed event is followed.
    const bool cyclic = has_cycle(by_parent.ptr(), root_id);
    nb::set seen;
    if (cyclic) seen.add(handle(root_id));
    nb::list chain;
    chain.append(root);
    nb::list frontier;
    frontier.append(handle(root_id));
    while (frontier.size() > 0) {
        nb::list next;
        for (handle pid : frontier) {
            object kids = nb::borrow(PyDict_GetItemWithError(by_parent.ptr(), pid.ptr()));
            if (!kids.is_valid()) {
                if (PyErr_Occurred()) raise_current();
                continue;
            }
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(kids.ptr()); ++i) {
                object child = nb::borrow(PyList_GET_ITEM(kids.ptr(), i));
                object cid = own(PyObject_GetItem(child.ptr(), k_id));
                if (cyclic) {
                    if (seen.contains(cid)) continue;
                    seen.add(cid);
                }
                chain.append(child);
                next.append(cid);
            }
        }
        frontier = std::move(next);
    }
    return chain;
}

}  // namespace

NB_MODULE(protocol, m) {
    mod.init(m, "The event record, its type registry, its JSON line form and parent chains.");
    json::init();

    nb::set registry;
    for (const char* name : kBuiltinTypes) {
        m.attr(name) = name;
        registry.add(m.attr(name));
    }
    m.attr("_EVENT_TYPES") = registry;

    nb::dict required;
    handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    handle dict_type(reinterpret_cast<PyObject*>(&PyDict_Type));
    handle int_type(reinterpret_cast<PyObject*>(&PyLong_Type));
    required["id"] = str_type;
    required["type"] = str_type;
    required["source"] = str_type;
    required["payload"] = dict_type;
    required["instance_id"] = str_type;
    required["generation"] = int_type;
    required["depth"] = int_type;
    required["timestamp"] = str_type;
    m.attr("_REQUIRED_FIELDS") = required;

    for (const Def* def : {&register_event_type_def, &event_types_def, &make_event_def,
                           &validate_event_def, &serialize_def, &deserialize_def,
                           &is_recursive_def, &is_seed_def, &event_chain_def, &now_iso_def})
        mod.function(*def);
}
