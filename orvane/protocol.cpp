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

Globals g;  // this module's globals, read at call time

constexpr const char* kBuiltinTypes[] = {
    "QUESTION",     "FINDING",       "FORGE",         "SELECTION",
    "OBSERVATION",  "GOAL",          "HATCH",         "CYCLE",
    "ACTION_PLAN",  "ACTION_EXEC",   "ACTION_VERIFY", "ACTION_REFINE",
    "TRIAGE",       "BUDGET_LIMIT",  "COMPONENT_UNAVAILABLE",
    "PARSE_FABRICATION", "BRAIN_FAILURE",
};

// ---------------------------------------------------------------- registry

Signature register_sig{"register_event_type", {"name"}, 1, 1};
object register_event_type(const Args& call) {
    PyObject* a[1];
    register_sig.bind(call, a);
    expect(a[0], &PyUnicode_Type, "name");
    object registry = g.get("_EVENT_TYPES");
    if (PySet_CheckExact(registry.ptr()))
        must(PySet_Add(registry.ptr(), a[0]));
    else
        registry.attr("add")(handle(a[0]));
    return nb::none();
}

Signature event_types_sig{"event_types", {}, 0, 0};
object event_types(const Args& call) {
    event_types_sig.bind(call, nullptr);
    return own(PyFrozenSet_New(g.get("_EVENT_TYPES").ptr()));
}

// ------------------------------------------------------------ construction

Signature now_sig{"_now_iso", {}, 0, 0};
object now_iso_fn(const Args& call) {
    now_sig.bind(call, nullptr);
    return returning(now_iso(), &PyUnicode_Type);
}

Signature make_sig{"make_event",
                   {"event_type", "source", "payload", "target", "parent_id", "generation",
                    "depth", "instance_id"},
                   3,
                   3};
object make_event(const Args& call) {
    PyObject* a[8];
    make_sig.bind(call, a);
    auto [event_type, source, payload, target, parent_id, generation, depth, instance_id] = a;
    expect(event_type, &PyUnicode_Type, "event_type");
    expect(source, &PyUnicode_Type, "source");
    expect(payload, &PyDict_Type, "payload");
    if (target) expect(target, &PyUnicode_Type, "target", true);
    if (parent_id) expect(parent_id, &PyUnicode_Type, "parent_id", true);
    object gen = generation ? to_int(generation, "generation") : nb::int_(0);
    object dep = depth ? to_int(depth, "depth") : nb::int_(0);
    if (instance_id) expect(instance_id, &PyUnicode_Type, "instance_id", true);

    int registered = PySequence_Contains(g.get("_EVENT_TYPES").ptr(), event_type);
    must(registered);
    if (!registered)
        raise(PyExc_ValueError,
              "Unknown event type %R. Register it first with register_event_type().", event_type);

    nb::dict ev;
    ev["id"] = uuid4_text();
    ev["type"] = handle(event_type);
    ev["source"] = handle(source);
    ev["target"] = handle(target ? target : Py_None);
    ev["payload"] = handle(payload);
    ev["parent_id"] = handle(parent_id ? parent_id : Py_None);
    const bool own_instance = instance_id && instance_id != Py_None &&
                              PyUnicode_GET_LENGTH(instance_id) > 0;
    ev["instance_id"] = own_instance ? nb::borrow(instance_id) : uuid4_text();
    ev["generation"] = gen;
    ev["depth"] = dep;
    ev["timestamp"] = g.get("_now_iso")();
    return std::move(ev);
}

// -------------------------------------------------------------- validation

Signature validate_sig{"validate_event", {"event"}, 1, 1};
object validate_event(const Args& call) {
    PyObject* a[1];
    validate_sig.bind(call, a);
    event::Rules rules(g.get("_REQUIRED_FIELDS"), g.get("_EVENT_TYPES"));
    return nb::bool_(rules.check(a[0]));
}

// ------------------------------------------------------------- line form

Signature serialize_sig{"serialize", {"event"}, 1, 1};
object serialize(const Args& call) {
    PyObject* a[1];
    serialize_sig.bind(call, a);
    expect(a[0], &PyDict_Type, "event");
    return returning(json::dumps(a[0]), &PyUnicode_Type);
}

Signature deserialize_sig{"deserialize", {"line"}, 1, 1};
object deserialize(const Args& call) {
    PyObject* a[1];
    deserialize_sig.bind(call, a);
    expect(a[0], &PyUnicode_Type, "line");
    return returning(json::loads(a[0]), &PyDict_Type);
}

// ------------------------------------------------------------- predicates

// event.get(key, 0) compared with `op` against 0.
bool compare_field(PyObject* ev, const char* key, int op) {
    object zero = nb::int_(0);
    object v = get(ev, nb::str(key).ptr(), zero);
    int r = PyObject_RichCompareBool(v.ptr(), zero.ptr(), op);
    must(r);
    return r == 1;
}

Signature recursive_sig{"is_recursive", {"event"}, 1, 1};
object is_recursive(const Args& call) {
    PyObject* a[1];
    recursive_sig.bind(call, a);
    expect(a[0], &PyDict_Type, "event");
    return nb::bool_(compare_field(a[0], "depth", Py_GT));
}

Signature seed_sig{"is_seed", {"event"}, 1, 1};
object is_seed(const Args& call) {
    PyObject* a[1];
    seed_sig.bind(call, a);
    expect(a[0], &PyDict_Type, "event");
    return nb::bool_(compare_field(a[0], "generation", Py_EQ));
}

// ---------------------------------------------------------------- chains

// Whether the parent links reachable from `root` loop back on themselves.
bool has_cycle(PyObject* by_parent, PyObject* root, PyObject* id_key) {
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
        PyObject* child = PyList_GET_ITEM(f.children.ptr(), f.next++);
        object cid = own(PyObject_GetItem(child, id_key));
        PyObject* s = PyDict_GetItemWithError(state.ptr(), cid.ptr());
        if (!s && PyErr_Occurred()) raise_current();
        if (s && PyLong_AsLong(s) == open_) return true;
        if (!s) push(cid.ptr());
    }
    return false;
}

Signature chain_sig{"event_chain", {"events", "root_id"}, 2, 2};
object event_chain(const Args& call) {
    PyObject* a[2];
    chain_sig.bind(call, a);
    expect(a[0], &PyList_Type, "events");
    expect(a[1], &PyUnicode_Type, "root_id");
    static PyObject* const k_id = intern("id");
    static PyObject* const k_parent_id = intern("parent_id");

    // Snapshot the list: the loop below calls back into host code.
    object events = own(PySequence_List(a[0]));
    nb::dict by_id, by_parent;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(events.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(events.ptr(), i);
        object id = own(PyObject_GetItem(ev, k_id));
        must(PyDict_SetItem(by_id.ptr(), id.ptr(), ev));
        object parent = get(ev, k_parent_id, nb::none());
        PyObject* siblings = PyDict_GetItemWithError(by_parent.ptr(), parent.ptr());
        if (!siblings) {
            if (PyErr_Occurred()) raise_current();
            object fresh = own(PyList_New(0));
            must(PyDict_SetItem(by_parent.ptr(), parent.ptr(), fresh.ptr()));
            siblings = fresh.ptr();
        }
        must(PyList_Append(siblings, ev));
    }

    PyObject* root = PyDict_GetItemWithError(by_id.ptr(), a[1]);
    if (!root) {
        if (PyErr_Occurred()) raise_current();
        return nb::list();
    }
    // Level by level from the root. Parent links that loop are cut at the
    // first id seen again; otherwise every listed event is followed.
    const bool cyclic = has_cycle(by_parent.ptr(), a[1], k_id);
    nb::set seen;
    if (cyclic) seen.add(handle(a[1]));
    nb::list chain;
    chain.append(handle(root));
    nb::list frontier;
    frontier.append(handle(a[1]));
    while (frontier.size() > 0) {
        nb::list next;
        for (handle pid : frontier) {
            PyObject* kids = PyDict_GetItemWithError(by_parent.ptr(), pid.ptr());
            if (!kids) {
                if (PyErr_Occurred()) raise_current();
                continue;
            }
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(kids); ++i) {
                PyObject* child = PyList_GET_ITEM(kids, i);
                object cid = own(PyObject_GetItem(child, k_id));
                if (cyclic) {
                    if (seen.contains(cid)) continue;
                    seen.add(cid);
                }
                chain.append(handle(child));
                next.append(cid);
            }
        }
        frontier = std::move(next);
    }
    return std::move(chain);
}

PyMethodDef functions[] = {
    method<register_event_type>("register_event_type",
                                "register_event_type(name)\n--\n\n"
                                "Add an event type name to the registry (idempotent)."),
    method<event_types>("event_types",
                        "event_types()\n--\n\nAn immutable snapshot of the registered event types."),
    method<make_event>("make_event",
                       "make_event(event_type, source, payload, *, target=None, parent_id=None, "
                       "generation=0, depth=0, instance_id=None)\n--\n\n"
                       "Build a new event of a registered type."),
    method<validate_event>("validate_event",
                           "validate_event(event)\n--\n\nTrue if `event` is a valid event; never raises."),
    method<serialize>("serialize",
                      "serialize(event)\n--\n\nThe event as one JSON line: sorted keys, no spaces, "
                      "ASCII only."),
    method<deserialize>("deserialize",
                        "deserialize(line)\n--\n\nParse one JSON line back into an event (None for "
                        "null)."),
    method<is_recursive>("is_recursive",
                         "is_recursive(event)\n--\n\nTrue if the event's depth is above 0."),
    method<is_seed>("is_seed", "is_seed(event)\n--\n\nTrue if the event is from the seed generation."),
    method<event_chain>("event_chain",
                        "event_chain(events, root_id)\n--\n\n"
                        "The root event followed by its descendants, level by level."),
    method<now_iso_fn>("_now_iso", "_now_iso()\n--\n\nThe current UTC time in ISO 8601 form."),
};

}  // namespace

NB_MODULE(protocol, m) {
    m.doc() = "The event record, its type registry, its JSON line form and parent chains.";
    g.bind(m);
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

    for (PyMethodDef& def : functions) add_function(m, &def);
}
