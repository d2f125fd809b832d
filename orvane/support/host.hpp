// The module, host facilities and host classes, reached from C++.
//
// Each extension module keeps one `Module` for its own namespace and declares
// the names and host facilities it uses at namespace scope (`Name`, `Host`),
// all made when the module initialises. Facilities are looked up through
// their modules on every use, so a patched `json.loads`, `subprocess.run` or
// `time.monotonic` takes effect exactly as it would for Python code.
#pragma once

#include "support/callable.hpp"
#include "support/names.hpp"

#include <concepts>
#include <initializer_list>
#include <utility>
#include <vector>

namespace orv {

// ------------------------------------------------------------ facilities

// `module.attr` of a host module, as it stands at the time of each use.
class Host {
public:
    Host(const char* module, const char* attr) noexcept : module_(module), attr_(attr) {}
    object get() const;
    template <typename... A>
    object operator()(A&&... args) const {
        return get()(std::forward<A>(args)...);
    }

private:
    Name module_, attr_;
};

// The host module `name` (imported if it is not yet).
object host_module(const Name& name);

// `module.attr` as it stands now, and whether it is still the host's own
// function: a Python function defined by that module (its globals are the
// module's namespace) under that very name. Replacements and wrappers
// (functools.wraps copies names, not globals or code) are not. Native code
// may stand in for the host's own function only.
class HostFunction {
public:
    HostFunction(const Name& module, const Name& attr) : module_(module), attr_(attr) {}
    object current(bool& own);

private:
    const Name& module_;
    const Name& attr_;
    PyObject* known_ = nullptr;  // the last one found genuine; kept for the process
};

// getattr(o, name) and o.name(*args) with an interned name.
inline object getattr(handle o, const Name& name) { return own(PyObject_GetAttr(o.ptr(), name)); }
inline void setattr(handle o, const Name& name, handle value) {
    // The generic setter directly when that is what the type uses: the name
    // is interned already, which is all PyObject_SetAttr adds.
    PyObject* obj = o.ptr();
    must(Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr
             ? PyObject_GenericSetAttr(obj, name, value.ptr())
             : PyObject_SetAttr(obj, name, value.ptr()));
}
template <typename... A>
object call_method(handle o, const Name& name, A&&... args) {
    object hold[] = {nb::borrow(o), object(nb::cast(std::forward<A>(args)))...};
    PyObject* raw[sizeof...(A) + 1];
    for (size_t i = 0; i <= sizeof...(A); ++i) raw[i] = hold[i].ptr();
    return own(PyObject_VectorcallMethod(name, raw, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// ---------------------------------------------------------------- module

// One extension module: its namespace, read at call time, and the tables of
// callables it exports.
class Module {
public:
    // Interns every declared name, binds the namespace and sets the docstring.
    void init(handle module, const char* doc);

    // The module global `name` as it stands now (AttributeError when absent).
    object get(const Name& name) const;
    // A name this module re-exports from where it lives: our global when it
    // was replaced here (it is no longer `original`, what we exported), else
    // `home()`, the name where it lives as it stands now. A patch in either
    // place is so called, as it would be for Python code.
    template <std::invocable Home>
    object followed(const Name& name, handle original, Home&& home) const;
    object followed(const Name& name, handle original, const Module& home) const {
        return followed(name, original, [&] { return home.get(name); });
    }
    PyObject* dict() const { return dict_; }
    handle name() const { return handle(name_); }

    // A module-level function, added as an attribute.
    object function(const Def& def) const;
    // A function object for a class `qualprefix`, or for the module.
    object make(const Def& def, const char* qualprefix = "") const;

private:
    PyObject* module_ = nullptr;  // kept for the process
    PyObject* dict_ = nullptr;
    PyObject* name_ = nullptr;
};

// A module global as it stands for one call, and whether it is still ours:
// `original`, the object this module put there. While it is, native code may
// do its work inline (or, for a re-exported name, read it where it lives); a
// replacement is called, as Python code calling the global would call it.
class Callee {
public:
    Callee(const Module& mod, const Name& name, handle original)
        : fn_(mod.get(name)), ours_(fn_.is(original)) {}
    bool ours() const { return ours_; }
    const object& get() const { return fn_; }
    object call(handle arg) const { return own(PyObject_CallOneArg(fn_.ptr(), arg.ptr())); }
    template <typename... A>
    object operator()(A&&... args) const {
        return fn_(std::forward<A>(args)...);
    }
    // str() of what the function returns for `arg`.
    object text(handle arg) const { return text_of(call(arg)); }

private:
    object fn_;
    bool ours_;
};

template <std::invocable Home>
object Module::followed(const Name& name, handle original, Home&& home) const {
    const Callee mine(*this, name, original);
    return mine.ours() ? home() : mine.get();
}

// ------------------------------------------------------------ host classes

// A class built by the host's metaclass machinery (`types.prepare_class`,
// then the metaclass of its bases), so instances keep their attributes in
// __dict__ and the class can be subclassed and patched like Python code.
class ClassBuilder {
public:
    ClassBuilder(const Module& module, const char* name, const char* doc);

    ClassBuilder& base(handle cls);
    ClassBuilder& method(const Def& def);
    // An instance method marked by the host's abc.abstractmethod: a class with
    // ABCMeta refuses instances while one stays abstract.
    ClassBuilder& abstract_method(const Def& def);
    ClassBuilder& class_method(const Def& def);
    ClassBuilder& static_method(const Def& def);
    // A read-only property whose getter is `def` (declared as `name(self)`).
    ClassBuilder& property(const Def& def);
    ClassBuilder& attr(const char* name, handle value);
    // Data class fields, in order: a default value, or a factory called for
    // every record (dataclasses.field(default_factory=...)).
    ClassBuilder& field(const char* name, const char* annotation, handle default_value);
    ClassBuilder& field_factory(const char* name, const char* annotation, handle factory);

    object build();
    // The class after the host's dataclasses.dataclass has made its
    // __init__, __eq__ and __repr__.
    object build_dataclass();

private:
    object function(const Def& def) const;
    const Module& module_;
    const char* name_;
    nb::list bases_;
    nb::dict ns_;
    nb::dict annotations_;
};

// ----------------------------------------------------------------- logging

// logger.<level>(fmt, *args): the record keeps the format and its arguments,
// as Python code's lazy %-formatting does.
template <typename... A>
void log(handle logger, const Name& level, const char* fmt, A&&... args) {
    call_method(logger, level, fmt, std::forward<A>(args)...);
}

// logging.<level>(fmt, *args) on the host's root logger.
template <typename... A>
void log_root(const Name& level, const char* fmt, A&&... args) {
    log(host_module(k_logging), level, fmt, std::forward<A>(args)...);
}
template <typename... A>
void log_warning(const char* fmt, A&&... args) {
    log_root(k_warning, fmt, std::forward<A>(args)...);
}

// The logger the host's logging.getLogger(name) gives now.
object get_logger(const char* name);

// -------------------------------------------------------------------- time

// datetime.datetime.now(datetime.timezone.utc), from the datetime module as
// it stands now.
object utc_now();
// The current UTC time as the host's isoformat() writes an aware datetime.
object now_iso();
// `_now_iso() -> str`, for every module that exports one.
extern const Def now_iso_def;
// str(uuid.uuid4()).
object uuid4_text();

}  // namespace orv
