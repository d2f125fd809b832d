// Host facility lookups, the module table and host-class construction.
#include "support/host.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace orv {

namespace {

Name k_types{"types"}, k_prepare_class{"prepare_class"}, k_abc{"abc"},
    k_abstractmethod{"abstractmethod"}, k_dataclasses{"dataclasses"}, k_dataclass{"dataclass"},
    k_field{"field"}, k_default_factory{"default_factory"}, k_annotations{"__annotations__"},
    k_doc{"__doc__"}, k_getLogger{"getLogger"}, k_uuid{"uuid"}, k_uuid4{"uuid4"},
    k_init{"__init__"}, k_UUID{"UUID"}, k_urandom{"urandom"};

// Calls a class whose __init__ is one of our native functions the way
// type.__call__ would (object.__new__, then __init__ as the class holds it
// now), without packing the arguments into a tuple and a dict on the way.
// Anything else about the class (a __new__, abstract methods, an __init__
// replaced since) takes type.__call__ itself.
PyObject* construct(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* init = _PyType_Lookup(type, k_init);
    if (!init || !is_function(init) || type->tp_new != PyBaseObject_Type.tp_new ||
        PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
        PyObject* tuple = PyTuple_New(nargs);
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
        PyObject* kwargs = nullptr;
        if (kwnames && PyTuple_GET_SIZE(kwnames)) {
            kwargs = PyDict_New();
            for (Py_ssize_t k = 0; kwargs && k < PyTuple_GET_SIZE(kwnames); ++k)
                if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                    Py_CLEAR(kwargs);
            if (!kwargs) {
                Py_DECREF(tuple);
                return nullptr;
            }
        }
        PyObject* made = PyType_Type.tp_call(callable, tuple, kwargs);
        Py_DECREF(tuple);
        Py_XDECREF(kwargs);
        return made;
    }
    Py_INCREF(init);  // ours for the call, whatever __init__ does to the class
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        Py_DECREF(init);
        return nullptr;
    }
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* small[16];
    std::vector<PyObject*> large;
    PyObject** stack = small;
    if (total >= 16) {
        large.resize(static_cast<size_t>(total) + 1);
        stack = large.data();
    }
    stack[0] = self;
    for (Py_ssize_t i = 0; i < total; ++i) stack[i + 1] = args[i];
    PyObject* result = PyObject_Vectorcall(init, stack, static_cast<size_t>(nargs) + 1, kwnames);
    Py_DECREF(init);
    if (!result) {
        Py_DECREF(self);
        return nullptr;
    }
    if (result != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        Py_DECREF(self);
        return nullptr;
    }
    Py_DECREF(result);
    return self;
}

}  // namespace

// ------------------------------------------------------------ facilities

namespace {

// The module objects host_module has had from the host's import machinery,
// by name: a module once fully imported stays so, so finding the same object
// in sys.modules again needs no further question. Few names, scanned in
// order; entries hold their module.
std::vector<std::pair<PyObject*, PyObject*>> imported;

}  // namespace

object host_module(const Name& name) {
    // sys.modules as it stands, as a module global naming the module would
    // see it. A module found there is only taken as it is when it is one the
    // import machinery has handed out before: another thread may still be
    // running the module's code, and PyImport_Import waits for that import
    // to finish (or starts it) where sys.modules alone would give a
    // half-made module.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), name, &found) < 0) raise_current();
    object module = nb::steal(found);
    size_t at = 0;
    while (at < imported.size() && imported[at].first != name.ptr()) ++at;
    if (at < imported.size() && module.ptr() == imported[at].second) return module;
    module = own(PyImport_Import(name));  // may run code that calls here again
    if (at == imported.size()) {
        imported.emplace_back(name.ptr(), Py_NewRef(module.ptr()));
    } else {
        PyObject* old = imported[at].second;
        imported[at].second = Py_NewRef(module.ptr());
        Py_DECREF(old);
    }
    return module;
}

object Host::get() const { return getattr(host_module(module_), attr_); }

object HostFunction::current(bool& own) {
    object module = host_module(module_);
    object fn = getattr(module, attr_);
    PyObject* f = fn.ptr();
    own = f == known_;
    if (!own && PyFunction_Check(f) && PyModule_Check(module.ptr()) &&
        PyFunction_GET_GLOBALS(f) == PyModule_GetDict(module.ptr())) {
        auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
        own = PyUnicode_CompareWithASCIIString(code->co_name, attr_.text()) == 0;
        if (own) Py_XSETREF(known_, Py_NewRef(f));
    }
    return fn;
}

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
    set_item(kwargs, k_default_factory, factory);
    object args = own(PyTuple_New(0));
    ns_[name] = own(PyObject_Call(field.ptr(), args.ptr(), kwargs.ptr()));
    return *this;
}

object ClassBuilder::build() {
    if (annotations_.size()) set_item(ns_, k_annotations, annotations_);
    object bases = own(PyList_AsTuple(bases_.ptr()));
    object prepared = call_method(host_module(k_types), k_prepare_class, name_, bases);
    object meta = nb::borrow(PyTuple_GET_ITEM(prepared.ptr(), 0));
    object ns = nb::borrow(PyTuple_GET_ITEM(prepared.ptr(), 1));
    for (auto [key, value] : ns_) must(PyObject_SetItem(ns.ptr(), key.ptr(), value.ptr()));
    object cls = meta(nb::str(name_), bases, ns);
    // Plain classes with a native __init__ are called without type.__call__'s
    // tuple and dict. tp_vectorcall is not inherited: subclasses call as usual.
    PyObject* init = PyDict_GetItemWithError(ns_.ptr(), k_init);
    if (meta.ptr() == reinterpret_cast<PyObject*>(&PyType_Type) && init && is_function(init))
        reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_vectorcall = construct;
    return cls;
}

object ClassBuilder::build_dataclass() {
    object cls = build();
    object doc = ns_["__doc__"];
    object made = call_method(host_module(k_dataclasses), k_dataclass, cls);
    setattr(made, k_doc, doc);  // the record's own text, not the generated signature
    return made;
}

// -------------------------------------------------------------------- time

namespace {

// Whether `cls` is the host's own built-in class `name` (a static type of the
// C datetime module, which nothing can patch), not a subclass or a stand-in.
bool builtin_class(handle cls, const char* name) {
    if (!PyType_Check(cls.ptr())) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && std::strcmp(type->tp_name, name) == 0;
}

// datetime.now(timezone.utc).isoformat() as the host's datetime writes it,
// from the same clock (CLOCK_REALTIME, microseconds rounded down).
object utc_now_text() {
    struct timespec ts;
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) raise(PyExc_OSError, "clock_gettime failed");
    const time_t seconds = ts.tv_sec;
    struct tm t;
    if (!::gmtime_r(&seconds, &t)) raise(PyExc_OverflowError, "timestamp out of range");
    const long micro = ts.tv_nsec / 1000;
    char text[40];
    int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.tm_year + 1900,
                          t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    if (micro) n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ".%06ld", micro);
    std::memcpy(text + n, "+00:00", 6);
    return own(PyUnicode_FromStringAndSize(text, n + 6));
}

}  // namespace

object utc_now() {
    object datetime = host_module(k_datetime);
    object timezone_class = getattr(datetime, k_timezone);
    return call_method(getattr(datetime, k_datetime), k_now, getattr(timezone_class, k_utc));
}

// datetime.datetime.now(datetime.timezone.utc).isoformat(), looked up in the
// datetime module now. While both classes are the host's own built-ins, the
// text is written here from the same clock: same value, same form.
object now_iso() {
    object datetime = host_module(k_datetime);
    object datetime_class = getattr(datetime, k_datetime);
    object timezone_class = getattr(datetime, k_timezone);
    if (builtin_class(datetime_class, "datetime.datetime") &&
        builtin_class(timezone_class, "datetime.timezone"))
        return utc_now_text();
    object now = call_method(datetime_class, k_now, getattr(timezone_class, k_utc));
    return call_method(now, k_isoformat);
}

// str(uuid.uuid4()). While uuid.uuid4 and uuid.UUID are the uuid module's
// own, the text is made here from os.urandom(16) as uuid4 gets its bytes,
// with the version and variant bits UUID(bytes=..., version=4) sets: the
// same distribution, without building a UUID object.
object uuid4_text() {
    static HostFunction* uuid4 = new HostFunction(k_uuid, k_uuid4);  // never destroyed
    static PyObject* uuid_class = nullptr;  // uuid.UUID when uuid4 was first found genuine
    bool genuine = false;
    object fn = uuid4->current(genuine);
    object module = host_module(k_uuid);
    object cls = getattr(module, k_UUID);
    if (genuine && !uuid_class) uuid_class = Py_NewRef(cls.ptr());
    if (!genuine || cls.ptr() != uuid_class) return own(PyObject_Str(fn().ptr()));

    object bytes = call_method(getattr(module, k_os), k_urandom, 16);
    if (!PyBytes_Check(bytes.ptr()) || PyBytes_GET_SIZE(bytes.ptr()) != 16)
        return own(PyObject_Str(fn().ptr()));  // let uuid say what is wrong
    unsigned char b[16];
    std::memcpy(b, PyBytes_AS_STRING(bytes.ptr()), 16);
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    static const char hex[] = "0123456789abcdef";
    char text[36];
    for (int i = 0, o = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text[o++] = '-';
        text[o++] = hex[b[i] >> 4];
        text[o++] = hex[b[i] & 15];
    }
    return own(PyUnicode_FromStringAndSize(text, 36));
}

ORV_FUNCTION(now_iso_fn, "_now_iso() -> str", "The current UTC time in ISO 8601 form.") {
    return now_iso();
}

extern const Def now_iso_def;
const Def now_iso_def = now_iso_fn_def;

}  // namespace orv
