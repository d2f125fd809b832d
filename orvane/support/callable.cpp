// The native function type, the binder and the signatures it shows.
#include "support/callable.hpp"
#include "support/names.hpp"

#include <string>

namespace orv {


namespace {

Name k_inspect{"inspect"}, k_Parameter{"Parameter"}, k_Signature{"Signature"},
    k_POSITIONAL_ONLY{"POSITIONAL_ONLY"}, k_POSITIONAL_OR_KEYWORD{"POSITIONAL_OR_KEYWORD"},
    k_VAR_POSITIONAL{"VAR_POSITIONAL"}, k_KEYWORD_ONLY{"KEYWORD_ONLY"}, k_default{"default"},
    k_annotation{"annotation"}, k_return_annotation{"return_annotation"}, k_typing{"typing"},
    k_Any{"Any"}, k_Callable{"Callable"}, k_Path{"Path"}, k_Iterable{"Iterable"},
    k_SupportsIndex{"SupportsIndex"}, k_return{"return"};

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

const char* qualname_of(FunctionObject* fn) {
    const char* s = PyUnicode_AsUTF8(fn->qualname);
    return s ? s : "function";
}

// ---------------------------------------------------------------- errors

[[noreturn]] void too_many(FunctionObject* fn, Py_ssize_t given) {
    const DeclView& d = fn->def->decl;
    int required = 0;
    for (int i = 0; i < d.positional; ++i) required += !d.params[i].has_default();
    const char* name = qualname_of(fn);
    const char* verb = given == 1 ? "was" : "were";
    if (required == d.positional)
        raise(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", name,
              d.positional, d.positional == 1 ? "" : "s", given, verb);
    raise(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given", name,
          required, d.positional, given, verb);
}

// CPython's wording for missing arguments: 'a', 'a' and 'b', 'a', 'b', and 'c'.
[[noreturn]] void missing(FunctionObject* fn, PyObject** values, bool keyword_only) {
    const DeclView& d = fn->def->decl;
    std::string list;
    int count = 0, total = 0;
    for (int i = 0; i < d.count; ++i) {
        const Param& p = d.params[i];
        const bool kw = p.kind == ParamKind::keyword_only;
        if (kw == keyword_only && p.kind != ParamKind::var_positional && !values[i] &&
            !p.has_default())
            ++total;
    }
    for (int i = 0; i < d.count; ++i) {
        const Param& p = d.params[i];
        const bool kw = p.kind == ParamKind::keyword_only;
        if (kw != keyword_only || p.kind == ParamKind::var_positional || values[i] ||
            p.has_default())
            continue;
        if (count) list += total > 2 ? ", " : " ";
        if (count && count + 1 == total) list += "and ";
        list += "'";
        list += p.name;
        list += "'";
        ++count;
    }
    raise(PyExc_TypeError, "%s() missing %d required %s argument%s: %s", qualname_of(fn), total,
          keyword_only ? "keyword-only" : "positional", total == 1 ? "" : "s", list.c_str());
}

}  // namespace

void wrong_type(PyObject* function, int i, PyTypeObject* expected, PyObject* value) {
    FunctionObject* fn = as_function(function);
    const char* param = PyUnicode_AsUTF8(PyTuple_GET_ITEM(fn->names, i));
    wrong_argument(param ? param : "?", expected, value);
}

namespace {

PyTypeObject* exact_type(Conv conv) {
    switch (conv) {
        case Conv::str: return &PyUnicode_Type;
        case Conv::dict: return &PyDict_Type;
        case Conv::list: return &PyList_Type;
        case Conv::tuple: return &PyTuple_Type;
        default: return nullptr;
    }
}

}  // namespace

void convert_param(PyObject* function, int i, PyObject*& value, object& owned) {
    FunctionObject* fn = as_function(function);
    const Param& p = fn->def->decl.params[i];
    if (p.nullable && value == Py_None) return;
    switch (p.conv) {
        case Conv::any: return;
        case Conv::integer:
        case Conv::real: {
            const char* param = PyUnicode_AsUTF8(PyTuple_GET_ITEM(fn->names, i));
            owned = p.conv == Conv::integer ? to_int(value, param) : to_float(value, param);
            value = owned.ptr();
            return;
        }
        case Conv::index: {
            if (PyLong_CheckExact(value)) return;
            if (!PyIndex_Check(value)) wrong_type(function, i, &PyLong_Type, value);
            owned = own(PyNumber_Index(value));
            value = owned.ptr();
            return;
        }
        case Conv::boolean: value = truth(value) ? Py_True : Py_False; return;
        default: {
            PyTypeObject* type = exact_type(p.conv);
            if (!Py_IS_TYPE(value, type)) wrong_type(function, i, type, value);
            return;
        }
    }
}

namespace {

// The slot of keyword `key`, or -1.
int keyword_slot(FunctionObject* fn, PyObject* key) {
    const DeclView& d = fn->def->decl;
    for (int i = 0; i < d.count; ++i)
        if (PyTuple_GET_ITEM(fn->names, i) == key) return i;
    for (int i = 0; i < d.count; ++i) {
        const int eq = PyUnicode_Compare(key, PyTuple_GET_ITEM(fn->names, i));
        if (eq == -1 && PyErr_Occurred()) raise_current();
        if (eq == 0) return i;
    }
    return -1;
}

}  // namespace

void bind(PyObject* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values, object* owned) {
    FunctionObject* fn = as_function(function);
    const DeclView& d = fn->def->decl;
    Py_ssize_t take = nargs;
    if (nargs > d.positional) {
        if (d.var < 0) too_many(fn, nargs);
        take = d.positional;
    }
    for (Py_ssize_t i = 0; i < take; ++i) values[i] = args[i];
    if (d.var >= 0) {
        owned[d.var] = own(PyTuple_New(nargs - take));
        for (Py_ssize_t i = take; i < nargs; ++i)
            PyTuple_SET_ITEM(owned[d.var].ptr(), i - take, Py_NewRef(args[i]));
        values[d.var] = owned[d.var].ptr();
    }

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const int slot = keyword_slot(fn, key);
            if (slot < 0 || d.params[slot].kind == ParamKind::var_positional ||
                d.params[slot].kind == ParamKind::positional_only)
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                      qualname_of(fn), key);
            if (values[slot])
                raise(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                      qualname_of(fn), key);
            values[slot] = args[nargs + k];
        }
    }

    bool lacking = false, lacking_keyword = false;
    for (int i = 0; i < d.count; ++i) {
        const Param& p = d.params[i];
        if (values[i]) {
            if (i != d.var) convert_param(function, i, values[i], owned[i]);
        } else if (p.has_default()) {
            values[i] = PyTuple_GET_ITEM(fn->defaults, i);
        } else if (p.kind == ParamKind::keyword_only) {
            lacking_keyword = true;
        } else if (p.kind != ParamKind::var_positional) {
            lacking = true;
        }
    }
    if (lacking || lacking_keyword) missing(fn, values, !lacking);  // positional ones first
    if (d.var >= 0) {
        const Param& p = d.params[d.var];
        PyTypeObject* type = exact_type(p.conv);
        if (type)
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values[d.var]); ++i) {
                PyObject* item = PyTuple_GET_ITEM(values[d.var], i);
                if (!Py_IS_TYPE(item, type)) wrong_type(function, d.var, type, item);
            }
    }
}

void check_return(const DeclView& decl, PyObject* value) {
    PyTypeObject* type = exact_type(decl.return_conv);
    if (!type || value == Py_None || Py_IS_TYPE(value, type)) return;
    returning(nb::borrow(value), type);
}

void restore_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

// ------------------------------------------------------------ the type

namespace {

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->dict);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->signature);
    Py_VISIT(fn->annotations);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->signature);
    Py_CLEAR(fn->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->names);
    type->tp_free(self);
    Py_DECREF(type);
}

// Binds like a Python function: on an instance, a bound method; on the
// class, the function itself.
PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U>", as_function(self)->qualname);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }

// "(a, b=1, *, c=None)": the declaration without its annotations.
std::string text_signature(const DeclView& d) {
    std::string out = "(";
    bool star = false;
    for (int i = 0; i < d.count; ++i) {
        const Param& p = d.params[i];
        if (i) out += ", ";
        if (p.kind == ParamKind::keyword_only && !star) {
            out += "*, ";
            star = true;
        }
        if (p.kind == ParamKind::var_positional) {
            out += "*";
            star = true;
        }
        out += p.name;
        if (p.has_default()) {
            out += "=";
            out += p.default_text;
        }
        if (p.kind == ParamKind::positional_only &&
            (i + 1 == d.count || d.params[i + 1].kind != ParamKind::positional_only))
            out += ", /";
    }
    return out + ")";
}

PyObject* get_text_signature(PyObject* self, void*) {
    const std::string text = text_signature(as_function(self)->def->decl);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

object annotation_object(std::string_view text, handle ns) {
    if (text.empty()) return nb::none();
    const std::string code(text);
    PyObject* v = PyRun_String(code.c_str(), Py_eval_input, ns.ptr(), ns.ptr());
    if (v) return nb::steal(v);
    PyErr_Clear();
    return nb::str(code.c_str(), code.size());
}

namespace {

// The namespace the annotations are evaluated in: the module's, with the
// typing names the declarations use where the module has none of its own.
object annotation_namespace(FunctionObject* fn) {
    object ns = own(PyDict_Copy(fn->globals));
    object typing = own(PyImport_Import(k_typing));
    object pathlib = own(PyImport_Import(k_pathlib));
    for (PyObject* key : {k_Any.ptr(), k_Callable.ptr(), k_Iterable.ptr(), k_SupportsIndex.ptr()})
        must(PyDict_SetDefaultRef(ns.ptr(), key, own(PyObject_GetAttr(typing.ptr(), key)).ptr(),
                                  nullptr));
    must(PyDict_SetDefaultRef(ns.ptr(), k_Path, own(PyObject_GetAttr(pathlib.ptr(), k_Path)).ptr(),
                              nullptr));
    return ns;
}

// {parameter: annotation, ..., "return": annotation} for what the
// declaration annotates, as a def evaluates its annotations.
object declared_annotations(FunctionObject* fn) {
    const DeclView& d = fn->def->decl;
    object ns = annotation_namespace(fn);
    object annotations = own(PyDict_New());
    for (int i = 0; i < d.count; ++i)
        if (!d.params[i].annotation.empty())
            must(PyDict_SetItem(annotations.ptr(), PyTuple_GET_ITEM(fn->names, i),
                                annotation_object(d.params[i].annotation, ns).ptr()));
    if (!d.returns.empty()) set_item(annotations, k_return, annotation_object(d.returns, ns));
    return annotations;
}

// __annotations__: made on first use (the classes a declaration names exist
// by then), then the same dict every time, which callers may change or
// replace as they may a function's.
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (!fn->annotations) {
        try {
            object made = fn->annotations_made ? own(PyDict_New()) : declared_annotations(fn);
            if (!fn->annotations) {  // evaluating may have asked for them already
                fn->annotations = made.release().ptr();
                fn->annotations_made = true;
            }
        } catch (...) {
            restore_exception();
            return nullptr;
        }
    }
    return Py_NewRef(fn->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    FunctionObject* fn = as_function(self);
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    fn->annotations_made = true;
    Py_XSETREF(fn->annotations, Py_XNewRef(value));
    return 0;
}

// __defaults__: the defaults of the parameters that may be passed by
// position, in order; None when none has one.
PyObject* get_defaults(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    const DeclView& d = fn->def->decl;
    PyObject* defaults = PyList_New(0);
    if (!defaults) return nullptr;
    for (int i = 0; i < d.positional; ++i)
        if (d.params[i].has_default() &&
            PyList_Append(defaults, PyTuple_GET_ITEM(fn->defaults, i)) < 0) {
            Py_DECREF(defaults);
            return nullptr;
        }
    if (PyList_GET_SIZE(defaults) == 0) {
        Py_DECREF(defaults);
        Py_RETURN_NONE;
    }
    PyObject* tuple = PyList_AsTuple(defaults);
    Py_DECREF(defaults);
    return tuple;
}

// __kwdefaults__: {name: default} of the keyword-only parameters that have
// one; None when none has.
PyObject* get_kwdefaults(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    const DeclView& d = fn->def->decl;
    PyObject* kwdefaults = nullptr;
    for (int i = 0; i < d.count; ++i) {
        if (d.params[i].kind != ParamKind::keyword_only || !d.params[i].has_default()) continue;
        if (!kwdefaults && !(kwdefaults = PyDict_New())) return nullptr;
        if (PyDict_SetItem(kwdefaults, PyTuple_GET_ITEM(fn->names, i),
                           PyTuple_GET_ITEM(fn->defaults, i)) < 0) {
            Py_DECREF(kwdefaults);
            return nullptr;
        }
    }
    if (!kwdefaults) Py_RETURN_NONE;
    return kwdefaults;
}

// The parameters, kinds and real defaults of the declaration, annotated as
// __annotations__ says.
object build_signature(FunctionObject* fn) {
    const DeclView& d = fn->def->decl;
    object inspect = own(PyImport_Import(k_inspect));
    object parameter = own(PyObject_GetAttr(inspect.ptr(), k_Parameter));
    object annotations = own(get_annotations(reinterpret_cast<PyObject*>(fn), nullptr));
    auto annotation_of = [&](PyObject* key, object& found) {
        PyObject* value = nullptr;
        must(PyDict_GetItemRef(annotations.ptr(), key, &value));
        found = nb::steal(value);
        return value != nullptr;
    };
    nb::list params;
    for (int i = 0; i < d.count; ++i) {
        const Param& p = d.params[i];
        PyObject* kind = p.kind == ParamKind::positional_only  ? k_POSITIONAL_ONLY.ptr()
                         : p.kind == ParamKind::positional     ? k_POSITIONAL_OR_KEYWORD.ptr()
                         : p.kind == ParamKind::var_positional ? k_VAR_POSITIONAL.ptr()
                                                               : k_KEYWORD_ONLY.ptr();
        object kwargs = own(PyDict_New());
        if (p.has_default())
            set_item(kwargs, k_default, handle(PyTuple_GET_ITEM(fn->defaults, i)));
        object annotation;
        if (annotation_of(PyTuple_GET_ITEM(fn->names, i), annotation))
            set_item(kwargs, k_annotation, annotation);
        object args = nb::make_tuple(handle(PyTuple_GET_ITEM(fn->names, i)),
                                     own(PyObject_GetAttr(parameter.ptr(), kind)));
        params.append(own(PyObject_Call(parameter.ptr(), args.ptr(), kwargs.ptr())));
    }
    object kwargs = own(PyDict_New());
    object returns;
    if (annotation_of(k_return, returns)) set_item(kwargs, k_return_annotation, returns);
    object signature = own(PyObject_GetAttr(inspect.ptr(), k_Signature));
    object args = nb::make_tuple(params);
    return own(PyObject_Call(signature.ptr(), args.ptr(), kwargs.ptr()));
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (!fn->signature) {
        try {
            fn->signature = build_signature(fn).release().ptr();
        } catch (...) {
            restore_exception();
            return nullptr;
        }
    }
    return Py_NewRef(fn->signature);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);  // pickled by name, as functions are
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY,
     nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "orvane.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyTypeObject* the_type() {
    if (!function_type)
        function_type = reinterpret_cast<PyTypeObject*>(must(PyType_FromSpec(&function_spec)).ptr());
    return function_type;  // kept for the process
}

}  // namespace

bool is_function(PyObject* o) { return function_type && Py_IS_TYPE(o, function_type); }

object make_function(const Def& def, handle module_name, const char* qualprefix, handle globals) {
    const DeclView& d = def.decl;
    object names = own(PyTuple_New(d.count));
    object defaults = own(PyTuple_New(d.count));
    for (int i = 0; i < d.count; ++i) {
        const Param& p = d.params[i];
        const std::string name(p.name);
        PyObject* interned = PyUnicode_InternFromString(name.c_str());
        if (!interned) raise_current();
        PyTuple_SET_ITEM(names.ptr(), i, interned);
        PyObject* value = Py_None;
        if (p.has_default()) {
            const std::string code(p.default_text);
            value = PyRun_String(code.c_str(), Py_eval_input, globals.ptr(), globals.ptr());
            if (!value) raise_current();
        } else {
            Py_INCREF(value);
        }
        PyTuple_SET_ITEM(defaults.ptr(), i, value);
    }
    std::string qualname(d.name);
    if (qualprefix && *qualprefix) qualname = std::string(qualprefix) + "." + qualname;
    object name = nb::str(d.name.data(), d.name.size());
    object qual = nb::str(qualname.c_str(), qualname.size());
    object doc = d.doc.empty() ? nb::none() : object(nb::str(d.doc.data(), d.doc.size()));

    auto* fn = PyObject_GC_New(FunctionObject, the_type());
    if (!fn) raise_current();
    fn->vectorcall = def.entry;
    fn->def = &def;
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    fn->name = name.release().ptr();
    fn->qualname = qual.release().ptr();
    fn->module = Py_NewRef(module_name.ptr());
    fn->doc = doc.release().ptr();
    fn->globals = Py_NewRef(globals.ptr());
    fn->names = names.release().ptr();
    fn->defaults = defaults.release().ptr();
    fn->signature = nullptr;
    fn->annotations = nullptr;
    fn->annotations_made = false;
    PyObject_GC_Track(fn);
    return nb::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace orv
