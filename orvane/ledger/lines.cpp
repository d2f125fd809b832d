// Splitting the file into lines and turning lines into events.
//
// Lines are split as text-mode files split them (\n, \r\n, \r) and stripped
// as str.strip() strips. While the protocol's functions and json.loads are
// the originals, each line is decoded natively into host objects, sharing
// key strings across the load; a line the decoder declines takes the steps
// Python code would take (UTF-8 text, strip, `deserialize`, `validate_event`),
// so warnings carry the host's exact error text.
#include "ledger/ledger.hpp"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace orv::ledger {

namespace {

// Host's str.strip() whitespace within ASCII.
inline bool ascii_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

// The malformed lines met, kept to be logged once the file is unlocked: a
// logging handler may read or append to this very ledger.
struct LineWarning {
    std::vector<Warning>& found;
    void operator()(Py_ssize_t lineno, handle error_text, handle line) {
        found.push_back({lineno, nb::borrow(error_text),
                         own(PySequence_GetSlice(line.ptr(), 0, 200))});
    }
};

// Decodes one stripped line the way Python code would: UTF-8 text, stripped,
// handed to `deserialize`, the result to `validate`. Malformed lines (bad
// UTF-8, bad JSON, JSON that is not an object) are warned about and skipped.
void load_line_slowly(std::string_view raw, Py_ssize_t lineno, LineWarning& warn,
                      handle deserialize, handle validate, handle out) {
    PyObject* text = PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "strict");
    if (!text) {
        nb::python_error err;
        object shown = own(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()),
                                                "replace"));
        warn(lineno, own(PyObject_Str(err.value().ptr())), shown);
        return;
    }
    object line = call_method(nb::steal(text), k_strip);
    if (PyUnicode_GET_LENGTH(line.ptr()) == 0) return;
    object ev;
    try {
        ev = deserialize(line);
    } catch (nb::python_error& err) {
        if (!err.matches(PyExc_ValueError) && !err.matches(PyExc_TypeError)) throw;
        warn(lineno, own(PyObject_Str(err.value().ptr())), line);
        return;
    }
    if (truth(validate(ev).ptr())) must(PyList_Append(out.ptr(), ev.ptr()));
}

// Turns the file's lines into events, in order.
class LineParser {
public:
    LineParser()
        : deserialize_(protocol_fn(k_deserialize, table.deserialize)),
          validate_(protocol_fn(k_validate_event, table.validate_event)),
          native_(deserialize_.is(table.deserialize) && validate_.is(table.validate_event) &&
                  json::loads_is_native()),
          rules_(table.proto.get(k_required_fields), table.proto.get(k_event_types)),
          warn_{warnings_} {}

    // Every line of [p, end); the last one may lack its line end.
    void lines(const char* p, const char* end) {
        while (p < end) {
            // Universal newlines: \n, \r\n and \r all end a line.
            const char* eol =
                static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!eol) eol = end;
            if (const void* cr = std::memchr(p, '\r', static_cast<size_t>(eol - p)))
                eol = static_cast<const char*>(cr);
            const char* next = eol;
            if (next < end) next += (*next == '\r' && next + 1 < end && next[1] == '\n') ? 2 : 1;
            ++lineno_;
            const char* a = p;
            const char* b = eol;
            p = next;
            while (a < b && ascii_space(static_cast<unsigned char>(*a))) ++a;
            while (b > a && ascii_space(static_cast<unsigned char>(b[-1]))) --b;
            if (a != b) line(std::string_view(a, static_cast<size_t>(b - a)));
        }
    }

    ReadResult result() {
        return ReadResult{std::move(events_), native_, std::move(warnings_)};
    }

private:
    void line(std::string_view raw) {
        PyObject* v = native_ ? decoder_.decode(raw.data(), raw.size()) : nullptr;
        if (!v) {
            load_line_slowly(raw, lineno_, warn_, deserialize_, validate_, events_);
            return;
        }
        object ev = nb::steal(v);
        if (PyDict_CheckExact(v)) {
            if (rules_.check(v)) must(PyList_Append(events_.ptr(), v));
        } else if (v != Py_None) {
            object msg = own(PyUnicode_FromFormat("Expected dict, got %.200s", type_name(v)));
            warn_(lineno_, msg,
                  own(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()),
                                           "strict")));
        }
    }

    object deserialize_, validate_;
    bool native_;
    event::Rules rules_;
    std::vector<Warning> warnings_;
    LineWarning warn_;
    json::Decoder decoder_;
    object events_ = nb::list();
    Py_ssize_t lineno_ = 0;
};

}  // namespace

// Reads the open file to its end a chunk at a time, each chunk's complete
// lines parsed while its bytes are still in the processor's cache.
ReadResult read_events(int fd, handle path) {
    LineParser parser;
    std::vector<char> buf(size_t{1} << 20);
    size_t have = 0;  // bytes in `buf`: an unfinished line carried over, then new ones
    for (;;) {
        if (buf.size() - have < (size_t{1} << 16)) buf.resize(buf.size() * 2);  // a very long line
        ssize_t n = ::read(fd, buf.data() + have, buf.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            files::raise_os_error(path);
        }
        if (n == 0) {
            parser.lines(buf.data(), buf.data() + have);
            return parser.result();
        }
        have += static_cast<size_t>(n);
        const char* last = static_cast<const char*>(::memrchr(buf.data(), '\n', have));
        if (!last) continue;
        const size_t done = static_cast<size_t>(last + 1 - buf.data());
        parser.lines(buf.data(), buf.data() + done);
        std::memmove(buf.data(), buf.data() + done, have - done);
        have -= done;
    }
}

}  // namespace orv::ledger

namespace orv::ledger {

void log_warnings(const std::vector<Warning>& warnings, handle path) {
    for (const Warning& w : warnings)
        log_warning("Skipping malformed line %d in %s: %s \u2014 %s", w.lineno, path, w.error,
                    w.line);
}

}  // namespace orv::ledger
