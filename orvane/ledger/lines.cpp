// Splitting the file into lines and turning lines into events.
//
// Lines are split as text-mode files split them (\n, \r\n, \r) and stripped
// as str.strip() strips. While the protocol's functions and json.loads are
// the originals, each line is decoded natively into host objects, sharing
// key strings across the read; a line the decoder declines takes the steps
// Python code would take (UTF-8 text, strip, `deserialize`, `validate_event`),
// so warnings carry the host's exact error text.
//
// A read may start anywhere a line starts (an incremental read starts where
// the last one ended) and reports where the file then stands: the end of its
// last complete line, the physical lines before it, and a last line without
// its line end (torn: a writer died mid-line, or a writer that takes no lock
// is still at it), which is parsed as it stands but read again next time.
#include "ledger/ledger.hpp"

#include "support/utf8.hpp"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace orv::ledger {

namespace {

// Errors that make a line malformed: what the decoder raises for text that
// is not JSON, for JSON that is not an object, and for nesting deeper than
// the host's decoder goes.
bool malformed(const nb::python_error& err) {
    return err.matches(PyExc_ValueError) || err.matches(PyExc_TypeError) ||
           err.matches(PyExc_RecursionError);
}

// Turns lines into events, in order.
class LineParser {
public:
    LineParser(Sink& sink, Py_ssize_t lineno)
        : deserialize_(protocol_fn(k_deserialize, table.deserialize)),
          validate_(protocol_fn(k_validate_event, table.validate_event)),
          native_(reads_natively(deserialize_, validate_)),
          rules_(table.proto.get(k_REQUIRED_FIELDS), table.proto.get(k_EVENT_TYPES)),
          sink_(sink),
          lineno_(lineno) {
        if (!native_) {
            sink_.order = nullptr;
            sink_.digest = nullptr;
        }
    }

    // Every line of [p, end), which starts at offset `base` of the file. The
    // last one may lack its line end only when `end` is the end of the file.
    void lines(const char* p, const char* end, off_t base, ReadResult& at) {
        const char* const start = p;
        while (p < end) {
            // Universal newlines: \n, \r\n and \r all end a line.
            const char* eol =
                static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!eol) eol = end;
            if (const void* cr = std::memchr(p, '\r', static_cast<size_t>(eol - p)))
                eol = static_cast<const char*>(cr);
            const bool complete = eol < end;
            const char* next = eol;
            if (complete) next += (*next == '\r' && next + 1 < end && next[1] == '\n') ? 2 : 1;
            ++lineno_;
            const off_t line_start = base + (p - start);
            const char* a = p;
            const char* b = eol;
            p = next;
            while (a < b && utf8::ascii_space(static_cast<unsigned char>(*a))) ++a;
            while (b > a && utf8::ascii_space(static_cast<unsigned char>(b[-1]))) --b;
            const Py_ssize_t before = PyList_GET_SIZE(sink_.list.ptr());
            if (a != b) line(std::string_view(a, static_cast<size_t>(b - a)));
            if (complete) {
                if (a != b) at.guard_start = line_start;
                at.end = base + (next - start);
                at.lines = lineno_;
            } else {
                at.torn_event = PyList_GET_SIZE(sink_.list.ptr()) > before;
            }
        }
    }

    bool native() const { return native_; }
    std::vector<Warning> warnings;

private:
    void line(std::string_view raw) {
        PyObject* v = native_ ? decoder_.decode(raw.data(), raw.size()) : nullptr;
        if (!v) {
            slowly(raw);
            return;
        }
        object ev = nb::steal(v);
        if (PyDict_CheckExact(v)) {
            if (rules_.check(v)) take(ev);
        } else if (v != Py_None) {
            object msg = own(PyUnicode_FromFormat("Expected dict, got %.200s", type_name(v)));
            warn(msg, own(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()),
                                               "strict")));
        }
    }

    // The line the way Python code would read it: UTF-8 text, stripped,
    // handed to `deserialize`, the result to `validate_event`.
    void slowly(std::string_view raw) {
        PyObject* text =
            PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "strict");
        if (!text) {
            nb::python_error err;
            object shown = own(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()),
                                                    "replace"));
            warn(own(PyObject_Str(err.value().ptr())), shown);
            return;
        }
        object line = call_method(nb::steal(text), k_strip);
        if (PyUnicode_GET_LENGTH(line.ptr()) == 0) return;
        object ev;
        try {
            ev = deserialize_(line);
        } catch (nb::python_error& err) {
            if (!malformed(err)) throw;
            warn(own(PyObject_Str(err.value().ptr())), line);
            return;
        }
        if (truth(validate_(ev).ptr())) take(ev);
    }

    void take(const object& ev) {
        must(PyList_Append(sink_.list.ptr(), ev.ptr()));
        if (sink_.order) sink_.order->add(ev.ptr());
        if (sink_.digest) digest_add(*sink_.digest, ev.ptr());
    }

    // Kept to be logged once the file is unlocked: a logging handler may read
    // or append to this very ledger.
    void warn(object error_text, handle line) {
        warnings.push_back({lineno_, std::move(error_text),
                            own(PySequence_GetSlice(line.ptr(), 0, 200))});
    }

    object deserialize_, validate_;
    bool native_;
    event::Rules rules_;
    Sink& sink_;
    json::Decoder decoder_;
    Py_ssize_t lineno_;
};

}  // namespace

// Reads a chunk at a time, each chunk's complete lines parsed while its
// bytes are still in the processor's cache.
ReadResult read_lines(int fd, handle path, const ReadFrom& start, Sink& sink) {
    LineParser parser(sink, start.lines);
    ReadResult at;
    at.end = start.from;
    at.lines = start.lines;
    at.guard_start = start.guard_start;
    // The LF of a CR LF whose CR ended the last read belongs to that line end.
    if (start.skip_lf && read_span(fd, at.end, at.end + 1, path) == "\n") ++at.end;
    std::vector<char> buf(size_t{1} << 20);
    size_t have = 0;       // bytes in `buf`: an unfinished line carried over, then new ones
    off_t base = at.end;  // the file offset of buf[0]
    off_t offset = at.end;
    for (;;) {
        if (buf.size() - have < (size_t{1} << 16)) buf.resize(buf.size() * 2);  // a very long line
        ssize_t n = ::pread(fd, buf.data() + have, buf.size() - have, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            files::raise_os_error(path);
        }
        offset += n;
        if (n == 0) {
            parser.lines(buf.data(), buf.data() + have, base, at);
            break;
        }
        have += static_cast<size_t>(n);
        const char* last = static_cast<const char*>(::memrchr(buf.data(), '\n', have));
        if (!last) continue;
        const size_t done = static_cast<size_t>(last + 1 - buf.data());
        parser.lines(buf.data(), buf.data() + done, base, at);
        std::memmove(buf.data(), buf.data() + done, have - done);
        have -= done;
        base += static_cast<off_t>(done);
    }
    at.size = offset;
    at.native = parser.native();
    at.warnings = std::move(parser.warnings);
    return at;
}

std::string read_span(int fd, off_t from, off_t to, handle path) {
    std::string out(static_cast<size_t>(to - from), '\0');
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd, out.data() + done, out.size() - done, from + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            files::raise_os_error(path);
        }
        if (n == 0) break;  // the file is shorter than that
        done += static_cast<size_t>(n);
    }
    out.resize(done);
    return out;
}

void log_warnings(const std::vector<Warning>& warnings, handle path) {
    for (const Warning& w : warnings)
        log_warning("Skipping malformed line %d in %s: %s \u2014 %s", w.lineno, path, w.error,
                    w.line);
}

}  // namespace orv::ledger
