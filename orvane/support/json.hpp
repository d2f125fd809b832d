// Native JSON for event lines, exact against the host's json module.
//
// Both directions cover the plain cases at native speed and decline the rest:
// a declined input goes to the host's json.loads / json.dumps, which then give
// the exact value, text or exception (error positions and messages included).
#pragma once

#include "support/core.hpp"

#include <string>
#include <vector>

namespace orv::json {

// Decodes UTF-8 JSON documents into host objects, as json.loads(text) would.
// One decoder shares the string objects of keys (and of short values) across
// every document it decodes, so a ledger's repeated keys exist once.
class Decoder {
public:
    Decoder();
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // A new reference, or nullptr with no Python error set when the document
    // is invalid or outside what the native path handles.
    PyObject* decode(const char* text, size_t size);

    // Takes the host decoder's NaN, Infinity and -Infinity objects, which
    // decoded documents then share as json.loads's results do (see init).
    static void load_constants();

private:
    struct Cache;
    PyObject* value(int depth);
    PyObject* string(bool key);
    PyObject* number();
    PyObject* object(int depth);
    PyObject* array(int depth);
    void skip_ws() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }

    const char* p_ = nullptr;
    const char* end_ = nullptr;
    Cache* cache_;
    std::vector<Py_UCS4> scratch_;
    std::vector<PyObject*> stack_;
};

// Appends json.dumps(obj, sort_keys=True, separators=(",", ":"),
// ensure_ascii=True) to `out`. False (with `out` in an unspecified state and
// no Python error set) when obj holds anything but exact dict, list, str,
// int, float, bool and None with str keys, or nests too deeply: the host
// encoder then decides.
bool encode(PyObject* obj, std::string& out);

// Prepares the native path; called when a module using it loads.
void init();

// Whether json.loads is still the host's own function, so that the native
// decoder may stand in for it.
bool loads_is_native();

// json.loads(text) for a str: native when json.loads is still the host's own
// function, else (or when declined) the current json.loads.
object loads(handle text);
// The event line form of obj (sorted keys, no spaces, ASCII only; not the
// form of ordinary JSON files): native when json.dumps is still the host's own,
// else (or when declined) the current json.dumps with the line's options.
//
// "The host's own" is decided at each call, from the function that the json
// module holds then: a Python function defined by the json module itself
// under that name. Replacements and wrappers (functools.wraps copies names,
// not a function's globals or code) are called instead, whenever they were
// installed.
object dumps_event_line(handle obj);

}  // namespace orv::json
