// The module table, the Ledger class and the module's initialisation.
#include "ledger/ledger.hpp"

namespace orv::ledger {

ModuleTable& table = *new ModuleTable();

object protocol_fn(const Name& name, const object& original) {
    return table.mod.followed(name, original, table.proto);
}

bool reads_natively(handle deserialize, handle validate_event) {
    return deserialize.is(table.deserialize) && validate_event.is(table.validate_event) &&
           json::loads_is_native();
}

bool reads_natively() {
    object deserialize = protocol_fn(k_deserialize, table.deserialize);  // looked up first
    return reads_natively(deserialize, protocol_fn(k_validate_event, table.validate_event));
}

object rules_now() {
    object types = own(PyFrozenSet_New(table.proto.get(k_EVENT_TYPES).ptr()));
    object fields = own(PyMapping_Items(table.proto.get(k_REQUIRED_FIELDS).ptr()));
    return nb::make_tuple(types, own(PyList_AsTuple(fields.ptr())));
}

files::SysPath sys_path(handle self) { return files::SysPath(getattr(self, k_self_path)); }

namespace {

// The instance's attributes for pickling and copying, without the native
// state: it neither pickles nor copies, and a copy builds its own.
ORV_FUNCTION(getstate, "__getstate__(self) -> dict", "The attributes to pickle or copy.") {
    auto& [self] = args;
    object attrs = own(PyObject_GenericGetDict(self, nullptr));
    object state = own(PyDict_Copy(attrs.ptr()));
    if (PyDict_DelItem(state.ptr(), k_state) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise_current();
        PyErr_Clear();
    }
    return state;
}

}  // namespace

}  // namespace orv::ledger

NB_MODULE(ledger, m) {
    using namespace orv;
    using namespace orv::ledger;
    table.mod.init(m, "The append-only, file-locked JSON-lines event store and its statistics.");
    json::init();
    object protocol = own(PyImport_ImportModule("orvane.protocol"));
    table.proto.init(protocol, nullptr);
    table.validate_event = table.proto.get(k_validate_event);
    table.serialize = table.proto.get(k_serialize);
    table.deserialize = table.proto.get(k_deserialize);
    m.attr("validate_event") = table.validate_event;
    m.attr("serialize") = table.serialize;
    m.attr("deserialize") = table.deserialize;

    ClassBuilder ledger(table.mod, "Ledger", "The append-only event store of an agent instance.");
    add_store_methods(ledger);
    add_query_methods(ledger);
    add_stats_methods(ledger);
    ledger.method(getstate_def);
    object cls = ledger.build();
    table.load_all = getattr(cls, k_load_all).release().ptr();
    m.attr("Ledger") = cls;
}
