// Host facilities and host types, reached from C++.
//
// Standard-library facilities (json, logging, fcntl, datetime, uuid, builtins
// ...) are looked up through their modules on every call, so a patched
// attribute takes effect exactly as it would for Python code.
#pragma once

#include "support/core.hpp"

namespace orv {

// `module.attr` as it stands now.
object host(const char* module, const char* attr);

// Module globals looked up at call time, so patches of a module's names take
// effect. Keeps the module's __dict__ alive for the life of the process.
class Globals {
public:
    void bind(handle module);
    object get(const char* name) const;  // AttributeError when absent
    PyObject* dict() const { return dict_; }
    const char* module_name() const { return name_; }

private:
    PyObject* dict_ = nullptr;
    const char* name_ = nullptr;
};

// Root-logger warning with the host's lazy %-formatting: the record keeps the
// format string and arguments.
template <typename... A>
void log_warning(const char* fmt, A&&... args) {
    host("logging", "warning")(fmt, std::forward<A>(args)...);
}

// The current UTC time as the host's isoformat() writes an aware datetime.
object now_iso();
// str(uuid.uuid4()).
object uuid4_text();

// ------------------------------------------------------------ host types

// A plain class built by the host's `type`, so instances keep their attributes
// in __dict__, and the class can be subclassed and patched like Python code.
class ClassBuilder {
public:
    ClassBuilder(const char* name, const Globals& module, const char* doc);
    // Instance methods, class methods and static methods from PyMethodDef rows
    // (which must outlive the process, i.e. be static).
    ClassBuilder& method(PyMethodDef* def);
    ClassBuilder& class_method(PyMethodDef* def);
    ClassBuilder& static_method(PyMethodDef* def);
    ClassBuilder& attr(const char* name, handle value);
    object build();

private:
    object function(PyMethodDef* def);
    const char* name_;
    const Globals& module_;
    nb::dict ns_;
};

// A module-level builtin function from a static PyMethodDef row.
void add_function(handle module, PyMethodDef* def);

}  // namespace orv
