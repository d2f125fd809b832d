// Host facility lookups and host-type construction.
#include "support/host.hpp"

namespace orv {

object host(const char* module, const char* attr) {
    object mod = own(PyImport_ImportModule(module));
    return own(PyObject_GetAttrString(mod.ptr(), attr));
}

void Globals::bind(handle module) {
    dict_ = must(PyModule_GetDict(module.ptr())).ptr();
    Py_INCREF(dict_);
    name_ = PyModule_GetName(module.ptr());
    if (!name_) raise_current();
}

object Globals::get(const char* name) const {
    PyObject* v = PyDict_GetItemString(dict_, name);
    if (!v) raise(PyExc_AttributeError, "module '%s' has no attribute '%s'", name_, name);
    return nb::borrow(v);
}

object now_iso() {
    object datetime = own(PyImport_ImportModule("datetime"));
    object utc = datetime.attr("timezone").attr("utc");
    return datetime.attr("datetime").attr("now")(utc).attr("isoformat")();
}

object uuid4_text() {
    return own(PyObject_Str(host("uuid", "uuid4")().ptr()));
}

ClassBuilder::ClassBuilder(const char* name, const Globals& module, const char* doc)
    : name_(name), module_(module) {
    ns_["__module__"] = module.module_name();
    ns_["__qualname__"] = name;
    ns_["__doc__"] = doc;
}

object ClassBuilder::function(PyMethodDef* def) {
    object modname = nb::str(module_.module_name());
    return own(PyCFunction_NewEx(def, nullptr, modname.ptr()));
}

ClassBuilder& ClassBuilder::method(PyMethodDef* def) {
    // An instancemethod binds like a Python function: Class.f is the function,
    // instance.f a bound method.
    ns_[def->ml_name] = own(PyInstanceMethod_New(function(def).ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::class_method(PyMethodDef* def) {
    ns_[def->ml_name] = own(PyClassMethod_New(function(def).ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::static_method(PyMethodDef* def) {
    ns_[def->ml_name] = own(PyStaticMethod_New(function(def).ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, handle value) {
    ns_[name] = value;
    return *this;
}

object ClassBuilder::build() {
    object bases = own(PyTuple_New(0));
    return own(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", name_,
                                     bases.ptr(), ns_.ptr()));
}

void add_function(handle module, PyMethodDef* def) {
    object modname = own(PyModule_GetNameObject(module.ptr()));
    object fn = own(PyCFunction_NewEx(def, module.ptr(), modname.ptr()));
    must(PyModule_AddObjectRef(module.ptr(), def->ml_name, fn.ptr()));
}

}  // namespace orv
