// One declaration per callable.
//
// A callable is declared once, by its Python signature and its docstring:
//
//   ORV_FUNCTION(make_event,
//       "make_event(event_type: str, source: str, payload: dict, *, "
//       "target: str | None = None, generation: int = 0) -> dict",
//       "Build a new event of a registered type.") {
//       auto& [event_type, source, payload, target, generation] = args;
//       ...
//   }
//
// The signature is parsed at compile time. From it come the binder (the
// number of parameters is a template argument, so `auto& [a, b] = args` stops
// compiling when the declaration changes), the conversions (read from each
// annotation, see Conv), the defaults (evaluated once in the module's
// namespace when the function object is made, as Python evaluates a def),
// the return check, `__text_signature__` and `__signature__`. Parameters
// named `self` or `cls` are declared like any other.
//
// Inside a body every parameter holds a value: the caller's, converted, or
// its default. The values are borrowed from the call (the caller keeps its
// arguments alive) or owned by the Bound; anything the body reads from a map
// or an attribute is its own business (see core.hpp: `get` returns owned
// references).
#pragma once

#include "support/core.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <utility>

namespace orv {

// How a parameter is converted on entry, read from its annotation.
enum class Conv : uint8_t {
    any,      // not checked: no annotation, a class of the system, a union of types
    str,      // exactly str (or None where the annotation says `| None`)
    dict,     // exactly dict
    list,     // exactly list
    tuple,    // exactly tuple
    integer,  // any number, through the host's int() (floats truncate)
    index,    // SupportsIndex: an int, a bool or anything with __index__; floats refused
    real,     // any number, through the host's float()
    boolean,  // the truth value of whatever is given
};

enum class ParamKind : uint8_t { positional_only, positional, var_positional, keyword_only };

struct Param {
    std::string_view name;
    std::string_view annotation;    // as written, "" when there is none
    std::string_view default_text;  // as written, "" when there is no default
    Conv conv = Conv::any;
    ParamKind kind = ParamKind::positional;
    bool nullable = false;  // `| None`: None passes the check
    constexpr bool has_default() const { return !default_text.empty(); }
};

// The parsed declaration, without its size: what the runtime works from.
struct DeclView {
    std::string_view name;
    std::string_view doc;
    std::string_view returns;  // the return annotation as written, or ""
    const Param* params;
    int count;
    int positional;  // leading parameters that may be passed by position
    int var;         // index of *args, or -1
    Conv return_conv;
    bool return_nullable;
};

namespace decl {

constexpr bool space(char c) { return c == ' ' || c == '\n' || c == '\t'; }

constexpr std::string_view trim(std::string_view s) {
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

// The index of the next `sep` at nesting level 0 from `from`, or npos.
// Brackets nest; quoted text (in defaults) is skipped.
constexpr size_t find_top(std::string_view s, char sep, size_t from = 0) {
    int depth = 0;
    char quote = 0;
    for (size_t i = from; i < s.size(); ++i) {
        const char c = s[i];
        if (quote) {
            if (c == '\\') ++i;
            else if (c == quote) quote = 0;
            continue;
        }
        if (c == sep && depth == 0) return i;
        if (c == '\'' || c == '"') quote = c;
        else if (c == '(' || c == '[' || c == '{') ++depth;
        else if (c == ')' || c == ']' || c == '}') --depth;
    }
    return std::string_view::npos;
}

// The text between the parentheses of "name(...) -> ret".
constexpr std::string_view inside(std::string_view sig) {
    const size_t open = sig.find('(');
    if (open == std::string_view::npos) throw "a declaration needs a parameter list";
    const size_t close = find_top(sig, ')', open + 1);
    if (close == std::string_view::npos) throw "unbalanced parameter list";
    return sig.substr(open + 1, close - open - 1);
}

// Calls `each(piece)` for every comma-separated piece of the parameter list.
template <typename F>
constexpr void pieces(std::string_view sig, F each) {
    const std::string_view list = trim(inside(sig));
    if (list.empty()) return;
    size_t from = 0;
    for (;;) {
        const size_t comma = find_top(list, ',', from);
        const std::string_view piece =
            trim(list.substr(from, comma == std::string_view::npos ? list.size() - from : comma - from));
        if (!piece.empty()) each(piece);
        if (comma == std::string_view::npos) return;
        from = comma + 1;
    }
}

constexpr Conv conv_of(std::string_view annotation, bool& nullable) {
    nullable = false;
    Conv found = Conv::any;
    int alternatives = 0;
    size_t from = 0;
    for (;;) {
        const size_t bar = find_top(annotation, '|', from);
        std::string_view alt = trim(annotation.substr(
            from, bar == std::string_view::npos ? annotation.size() - from : bar - from));
        if (alt == "None") {
            nullable = true;
        } else if (!alt.empty()) {
            ++alternatives;
            const size_t bracket = alt.find('[');
            if (bracket != std::string_view::npos) alt = trim(alt.substr(0, bracket));
            found = alt == "str"     ? Conv::str
                    : alt == "dict"  ? Conv::dict
                    : alt == "list"  ? Conv::list
                    : alt == "tuple" ? Conv::tuple
                    : alt == "int"   ? Conv::integer
                    : alt == "SupportsIndex" ? Conv::index
                    : alt == "float" ? Conv::real
                    : alt == "bool"  ? Conv::boolean
                                     : Conv::any;
        }
        if (bar == std::string_view::npos) break;
        from = bar + 1;
    }
    // A union of several types is a path-or-string union or the like: not checked.
    return alternatives == 1 ? found : Conv::any;
}

}  // namespace decl

// The number of parameters in a declaration ("*" and "/" markers excluded).
constexpr int count_params(std::string_view sig) {
    int n = 0;
    decl::pieces(sig, [&](std::string_view p) { n += p != "*" && p != "/"; });
    return n;
}

template <int N>
struct Decl {
    static constexpr int size = N;
    std::string_view name, doc, returns;
    std::array<Param, (N > 0 ? N : 1)> params{};
    int positional = 0;
    int var = -1;
    Conv return_conv = Conv::any;
    bool return_nullable = false;

    constexpr DeclView view() const {
        return {name, doc, returns, params.data(), N, positional, var, return_conv, return_nullable};
    }
};

template <int N>
consteval Decl<N> declare(std::string_view sig, std::string_view doc) {
    Decl<N> d;
    d.name = decl::trim(sig.substr(0, sig.find('(')));
    d.doc = doc;
    const size_t close = decl::find_top(sig, ')', sig.find('(') + 1);
    std::string_view rest = decl::trim(sig.substr(close + 1));
    if (!rest.empty()) {
        if (rest.substr(0, 2) != "->") throw "expected '->' after the parameter list";
        d.returns = decl::trim(rest.substr(2));
        d.return_conv = decl::conv_of(d.returns, d.return_nullable);
    }
    int i = 0;
    bool keyword_only = false, seen_default = false;
    decl::pieces(sig, [&](std::string_view p) {
        if (p == "/") {
            for (int j = 0; j < i; ++j) d.params[j].kind = ParamKind::positional_only;
            return;
        }
        if (p == "*") {
            keyword_only = true;
            return;
        }
        Param& param = d.params[i++];
        if (p.front() == '*') {
            if (keyword_only) throw "*args after keyword-only parameters";
            param.kind = ParamKind::var_positional;
            p.remove_prefix(1);
            keyword_only = true;
            d.var = i - 1;
        } else {
            param.kind = keyword_only ? ParamKind::keyword_only : ParamKind::positional;
        }
        const size_t eq = decl::find_top(p, '=');
        if (eq != std::string_view::npos) {
            param.default_text = decl::trim(p.substr(eq + 1));
            p = decl::trim(p.substr(0, eq));
            seen_default = true;
        } else if (seen_default && param.kind == ParamKind::positional) {
            throw "a parameter without a default follows one with a default";
        }
        const size_t colon = decl::find_top(p, ':');
        if (colon != std::string_view::npos) {
            param.annotation = decl::trim(p.substr(colon + 1));
            p = decl::trim(p.substr(0, colon));
            param.conv = decl::conv_of(param.annotation, param.nullable);
        }
        param.name = p;
        if (param.kind != ParamKind::keyword_only && param.kind != ParamKind::var_positional)
            d.positional = i;
    });
    return d;
}

// ------------------------------------------------------------ the binding

// The arguments of one call, in declaration order: `auto& [a, b] = args;`.
template <int N>
struct Bound {
    Bound() = default;
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;

    std::array<PyObject*, (N > 0 ? N : 1)> values{};
    std::array<object, (N > 0 ? N : 1)> owned{};  // converted values kept alive

    PyObject* operator[](int i) const { return values[static_cast<size_t>(i)]; }
    template <size_t I>
    PyObject* get() const {
        return values[I];
    }
};

using Entry = vectorcallfunc;

struct Def {
    DeclView decl;
    Entry entry;
};

// A native function object: bound like a Python function (so it serves as an
// instance method, and classmethod/staticmethod/property can wrap it), with
// a __dict__ (so abc.abstractmethod can mark it), and a __signature__,
// __annotations__, __defaults__ and __kwdefaults__ made from its declaration,
// as a def makes them.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Def* def;
    PyObject* dict;       // __dict__: lets abc.abstractmethod and others mark it
    PyObject* weakrefs;
    PyObject* name;       // __name__
    PyObject* qualname;   // __qualname__, also the name in argument errors
    PyObject* module;     // __module__
    PyObject* doc;        // __doc__
    PyObject* globals;    // the module namespace the annotations are read in
    PyObject* names;      // tuple of the interned parameter names
    PyObject* defaults;   // tuple: each parameter's default, None where it has none
    PyObject* signature;  // inspect.Signature, made on first use
    PyObject* annotations;  // __annotations__, made from the declaration on first use
    bool annotations_made;  // once made, a cleared __annotations__ reads as {}
};

// Binds a vectorcall to the function's parameters: fills `values` with the
// caller's arguments (converted) and the defaults; raises the host's
// TypeErrors for wrong counts, unknown or repeated keywords, and values the
// annotations refuse.
void bind(PyObject* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values, object* owned);

// The declared return check: "Expected %s, got %.200s" for a function
// declared to return a str or a dict (None passes).
void check_return(const DeclView& decl, PyObject* value);

// Turns the exception in flight into the host exception it stands for.
void restore_exception() noexcept;

// Parameter i's conversion, applied to the caller's value (see Conv).
void convert_param(PyObject* function, int i, PyObject*& value, object& owned);
[[noreturn]] void wrong_type(PyObject* function, int i, PyTypeObject* expected, PyObject* value);

// The common call, every parameter given by position: the checks unrolled
// from the declaration, as a generated parser would have them.
template <Conv C, bool Nullable>
inline void convert_given(PyObject* function, int i, PyObject*& value, object& owned) {
    if constexpr (C == Conv::any) {
        return;
    } else {
        if constexpr (Nullable)
            if (value == Py_None) return;
        if constexpr (C == Conv::str) {
            if (!PyUnicode_CheckExact(value)) wrong_type(function, i, &PyUnicode_Type, value);
        } else if constexpr (C == Conv::dict) {
            if (!PyDict_CheckExact(value)) wrong_type(function, i, &PyDict_Type, value);
        } else if constexpr (C == Conv::list) {
            if (!PyList_CheckExact(value)) wrong_type(function, i, &PyList_Type, value);
        } else if constexpr (C == Conv::tuple) {
            if (!PyTuple_CheckExact(value)) wrong_type(function, i, &PyTuple_Type, value);
        } else if constexpr (C == Conv::integer || C == Conv::index) {
            if (!PyLong_CheckExact(value)) convert_param(function, i, value, owned);
        } else if constexpr (C == Conv::real) {
            if (!PyFloat_CheckExact(value)) convert_param(function, i, value, owned);
        } else {
            convert_param(function, i, value, owned);
        }
    }
}

// Parameter I from the caller's I-th positional argument, or its default.
// False when it has neither: the general binder then words the error.
template <const auto& D, size_t I>
inline bool bind_one(PyObject* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** values, object* owned) {
    if (static_cast<Py_ssize_t>(I) < nargs) {
        values[I] = args[I];
        convert_given<D.params[I].conv, D.params[I].nullable>(function, static_cast<int>(I),
                                                              values[I], owned[I]);
        return true;
    }
    if constexpr (D.params[I].has_default()) {
        values[I] = PyTuple_GET_ITEM(reinterpret_cast<FunctionObject*>(function)->defaults,
                                     static_cast<Py_ssize_t>(I));
        return true;
    }
    return false;
}

template <const auto& D, size_t... I>
inline bool bind_positional([[maybe_unused]] PyObject* function,
                            [[maybe_unused]] PyObject* const* args,
                            [[maybe_unused]] Py_ssize_t nargs, [[maybe_unused]] PyObject** values,
                            [[maybe_unused]] object* owned, std::index_sequence<I...>) {
    return (bind_one<D, I>(function, args, nargs, values, owned) && ...);
}

template <const auto& D, object (*Body)(Bound<std::remove_cvref_t<decltype(D)>::size>&)>
PyObject* entry(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    constexpr int N = std::remove_cvref_t<decltype(D)>::size;
    Bound<N> bound;
    try {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if constexpr (D.var < 0 && D.positional == N) {
            if (kwnames || nargs > N ||
                !bind_positional<D>(function, args, nargs, bound.values.data(), bound.owned.data(),
                                    std::make_index_sequence<static_cast<size_t>(N)>())) {
                bound.values.fill(nullptr);
                for (auto& held : bound.owned) held = object();
                bind(function, args, nargs, kwnames, bound.values.data(), bound.owned.data());
            }
        } else {
            bind(function, args, nargs, kwnames, bound.values.data(), bound.owned.data());
        }
        object result = Body(bound);
        if constexpr (D.return_conv == Conv::str || D.return_conv == Conv::dict)
            check_return(D.view(), result.ptr());
        return result.release().ptr();
    } catch (...) {
        restore_exception();
        return nullptr;
    }
}

template <const auto& D, object (*Body)(Bound<std::remove_cvref_t<decltype(D)>::size>&)>
consteval Def define() {
    return Def{D.view(), &entry<D, Body>};
}

// Makes the function object for `def`: `qualprefix` is the class name for a
// method ("" for a module function); defaults are evaluated in `globals`.
object make_function(const Def& def, handle module_name, const char* qualprefix, handle globals);

// An annotation as an object, evaluated in `ns`; the text itself where it
// does not evaluate there.
object annotation_object(std::string_view text, handle ns);

// Whether `o` is one of our native function objects.
bool is_function(PyObject* o);

}  // namespace orv

template <int N>
struct std::tuple_size<orv::Bound<N>> : std::integral_constant<size_t, static_cast<size_t>(N)> {};
template <size_t I, int N>
struct std::tuple_element<I, orv::Bound<N>> {
    using type = PyObject*;
};

// Declares and defines one callable; the body follows as a block and sees
// its arguments as `args`. Defines `<id>_def` for the module or class table.
#define ORV_FUNCTION(id, signature, doc)                                                      \
    constexpr auto id##_decl = ::orv::declare<::orv::count_params(signature)>(signature, doc); \
    ::orv::object id(::orv::Bound<decltype(id##_decl)::size>& args);                          \
    constexpr ::orv::Def id##_def = ::orv::define<id##_decl, id>();                           \
    ::orv::object id([[maybe_unused]] ::orv::Bound<decltype(id##_decl)::size>& args)
