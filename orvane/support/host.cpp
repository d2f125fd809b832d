// Host facility lookups, the module table and host-class construction.
#include "support/host.hpp"

namespace orv {

namespace {

Name k_types{"types"}, k_prepare_class{"prepare_class"}, k_abc{"abc"},
    k_abstractmethod{"abstractmethod"}, k_dataclasses{"dataclasses"}, k_dataclass{"dataclass"},
    k_field{"field"}, k_default_factory{"default_factory"}, k_annotations{"__annotations__"},
    k_doc{"__doc__"}, k_getLogger{"getLogger"}, k_datetime{"datetime"}, k_timezone{"timezone"},
    k_utc{"utc"}, k_now{"now"}, k_isoformat{"isoformat"}, k_uuid{"uuid"}, k_uuid4{"uuid4"};

}  // namespace

// ------------------------------------------------------------ facilities

object host_module(const Name& name) {
    PyObject* module = PyImport_GetModule(name);
    if (!module) {
        if (PyErr_Occurred()) raise_current();
        module = PyImport_Import(name);
    }
    return own(module);
}

object Host::get() const { return getattr(host_module(module_), attr_); }

object get_logger(const char* name) {
    return call_method(host_module(k_logging), k_getLogger, name);
}

// ---------------------------------------------------------------- module

void Module::init(handle module, const char* doc) {
    Name::intern_all();
    module_ = Py_NewRef(module.ptr());
    dict_ = Py_NewRef(must(PyModule_GetDict(module.ptr())).ptr());
    name_ = own(PyModule_GetNameObject(module.ptr())).release().ptr();
    if (doc) must(PyObject_SetAttr(module.ptr(), k_doc, nb::str(doc).ptr()));
}

object Module::get(const Name& name) const {
    PyObject* v = PyDict_GetItemWithError(dict_, name);
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", name_,
                         name.ptr());
        raise_current();
    }
    return nb::borrow(v);
}

void Module::set(const char* name, handle value) const {
    must(PyDict_SetItemString(dict_, name, value.ptr()));
}

object Module::make(const Def& def, const char* qualprefix) const {
    return make_function(def, handle(name_), qualprefix, handle(dict_));
}

object Module::function(const Def& def) const {
    object fn = make(def);
    must(PyObject_SetAttr(module_, own(PyObject_GetAttrString(fn.ptr(), "__name__")).ptr(),
                          fn.ptr()));
    return fn;
}

// ------------------------------------------------------------ host classes

ClassBuilder::ClassBuilder(const Module& module, const char* name, const char* doc)
    : module_(module), name_(name) {
    ns_["__module__"] = module.name();
    ns_["__qualname__"] = name;
    ns_["__doc__"] = doc ? object(nb::str(doc)) : nb::none();
}

object ClassBuilder::function(const Def& def) const { return module_.make(def, name_); }

ClassBuilder& ClassBuilder::base(handle cls) {
    bases_.append(cls);
    return *this;
}

ClassBuilder& ClassBuilder::method(const Def& def) {
    object fn = function(def);
    ns_[fn.attr("__name__")] = fn;
    return *this;
}

ClassBuilder& ClassBuilder::abstract_method(const Def& def) {
    object fn = function(def);
    object marked = call_method(host_module(k_abc), k_abstractmethod, fn);
    ns_[fn.attr("__name__")] = marked;
    return *this;
}

ClassBuilder& ClassBuilder::class_method(const Def& def) {
    object fn = function(def);
    ns_[fn.attr("__name__")] = own(PyClassMethod_New(fn.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::static_method(const Def& def) {
    object fn = function(def);
    ns_[fn.attr("__name__")] = own(PyStaticMethod_New(fn.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::property(const Def& def) {
    object fn = function(def);
    object prop = own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), fn.ptr()));
    ns_[fn.attr("__name__")] = prop;
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, handle value) {
    ns_[name] = value;
    return *this;
}

ClassBuilder& ClassBuilder::field(const char* name, const char* annotation, handle default_value) {
    annotations_[name] = annotation_object(annotation, handle(module_.dict()));
    ns_[name] = default_value;
    return *this;
}

ClassBuilder& ClassBuilder::field_factory(const char* name, const char* annotation,
                                          handle factory) {
    annotations_[name] = annotation_object(annotation, handle(module_.dict()));
    object field = getattr(host_module(k_dataclasses), k_field);
    object kwargs = own(PyDict_New());
    must(PyDict_SetItem(kwargs.ptr(), k_default_factory, factory.ptr()));
    object args = own(PyTuple_New(0));
    ns_[name] = own(PyObject_Call(field.ptr(), args.ptr(), kwargs.ptr()));
    return *this;
}

object ClassBuilder::build() {
    if (annotations_.size()) ns_["__annotations__"] = annotations_;
    object bases = own(PyList_AsTuple(bases_.ptr()));
    object prepared = call_method(host_module(k_types), k_prepare_class, name_, bases);
    object meta = nb::borrow(PyTuple_GET_ITEM(prepared.ptr(), 0));
    object ns = nb::borrow(PyTuple_GET_ITEM(prepared.ptr(), 1));
    for (auto [key, value] : ns_) must(PyObject_SetItem(ns.ptr(), key.ptr(), value.ptr()));
    return meta(nb::str(name_), bases, ns);
}

object ClassBuilder::build_dataclass() {
    object cls = build();
    object doc = ns_["__doc__"];
    object made = call_method(host_module(k_dataclasses), k_dataclass, cls);
    setattr(made, k_doc, doc);  // the record's own text, not the generated signature
    return made;
}

// -------------------------------------------------------------------- time

object now_iso() {
    object datetime = host_module(k_datetime);
    object utc = getattr(getattr(datetime, k_timezone), k_utc);
    object now = call_method(getattr(datetime, k_datetime), k_now, utc);
    return call_method(now, k_isoformat);
}

object uuid4_text() { return own(PyObject_Str(call_method(host_module(k_uuid), k_uuid4).ptr())); }

ORV_FUNCTION(now_iso_fn, "_now_iso() -> str", "The current UTC time in ISO 8601 form.") {
    return now_iso();
}

extern const Def now_iso_def;
const Def now_iso_def = now_iso_fn_def;

}  // namespace orv
