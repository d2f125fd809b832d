// Loading a capability map: the source decides between a file and a URL, the
// first map obtained is kept, and every expected failure (a missing or
// unreadable file, a malformed document, a failed fetch) becomes an empty map
// so the brain simply sees no capabilities.
#include "capabilities/capabilities.hpp"

#include "support/http.hpp"
#include "support/json.hpp"

namespace orv::capabilities {

namespace {

Name k_self_source{"_source"}, k_data{"_data"}, k_load_file{"_load_file"}, k_load_url{"_load_url"},
    k_load{"load"}, k_read_text{"read_text"}, k_read1{"read1"}, k_join{"join"};
Host urlparse{"urllib.parse", "urlparse"}, pathlib_Path{"pathlib", "Path"},
    time_monotonic{"time", "monotonic"};

constexpr const char* kFailed = "Failed to load capability map from %s: %s";
constexpr double kFetchTimeout = 10;  // seconds for the whole request
constexpr Py_ssize_t kMapLimit = Py_ssize_t{16} << 20;  // bytes of a map served over HTTP
constexpr Py_ssize_t kChunk = Py_ssize_t{1} << 16;

// Whether the pending failure `error` is an instance of `type`.
bool is_a(nb::python_error& error, handle type) { return error.matches(type); }

// Whether something is at `path` as the host's Path.exists() sees it. Where
// that would raise (a directory on the way that may not be searched), the
// answer is yes, so that reading the file reports the error instead.
bool exists(handle path) {
    try {
        return truth(call_method(path, k_exists).ptr());
    } catch (nb::python_error& e) {
        if (!is_a(e, PyExc_OSError)) throw;
        return true;
    }
}

// The whole body of a map response, read piece by piece (each read bounded by
// the socket's time limit) within the fetch's overall time limit and size
// cap: a server that keeps sending must not hold the caller, nor fill its
// memory. Past either, the fetch fails with the host's TimeoutError or a
// ValueError. Time is the host's time.monotonic, as it stands.
object read_bounded(handle response) {
    object deadline = own(PyNumber_Add(time_monotonic().ptr(), nb::float_(kFetchTimeout).ptr()));
    PyObject* read1 = nullptr;
    must(PyObject_GetOptionalAttr(response.ptr(), k_read1, &read1));
    object read = read1 ? nb::steal(read1) : getattr(response, k_read);
    nb::list pieces;
    Py_ssize_t size = 0;
    for (;;) {
        object piece = read(kChunk);
        const Py_ssize_t n = PyObject_Length(piece.ptr());
        if (n < 0) raise_current();
        if (n == 0) break;
        pieces.append(piece);
        size += n;
        if (size > kMapLimit)
            raise(PyExc_ValueError, "capability map larger than %zd bytes", kMapLimit);
        if (compare(time_monotonic(), deadline, Py_GT))
            raise(PyExc_TimeoutError, "capability map not received within %d seconds",
                  static_cast<int>(kFetchTimeout));
    }
    return call_method(own(PyBytes_FromStringAndSize("", 0)), k_join, pieces);
}

// ------------------------------------------------------------- the class

ORV_FUNCTION(map_init, "__init__(self, source: str | None = None) -> None",
             "A map read from `source`, a file path or an http(s) URL; None means no map. "
             "Nothing is read yet.") {
    auto& [self, source] = args;
    setattr(self, k_self_source, handle(source));
    setattr(self, k_data, nb::none());
    return nb::none();
}

// The cached document, read from the source on the first call. A JSON null
// leaves the object unloaded, so the next call reads the source again.
ORV_FUNCTION(load, "load(self) -> dict",
             "The map, read from the source on first use and kept afterwards (the object "
             "itself, not a copy).") {
    auto& [self] = args;
    handle h(self);
    object data = getattr(h, k_data);
    if (!data.is_none()) return data;
    object source = getattr(h, k_self_source);
    if (source.is_none()) {
        setattr(h, k_data, own(PyDict_New()));
        return getattr(h, k_data);
    }
    object scheme = getattr(urlparse(source), k_scheme);
    setattr(h, k_data,
            call_method(h, http::is_web_scheme(scheme) ? k_load_url : k_load_file, source));
    return getattr(h, k_data);
}

ORV_FUNCTION(available, "available(self) -> bool",
             "Whether the map holds at least one section.") {
    auto& [self] = args;
    return nb::bool_(truth(call_method(self, k_load).ptr()));
}

// A map file read as text in the host's default encoding (Path.read_text).
// A file that cannot be decoded is as unusable as one that cannot be read,
// and is reported the same way rather than raised at the caller; so is a
// document the decoder refuses beyond its grammar (nesting too deep for the
// host's recursion limit, an integer past its digit limit).
ORV_FUNCTION(load_file, "_load_file(path: str) -> dict",
             "The map in the file at `path`; an empty map when nothing is there, or (with a "
             "warning) when it cannot be read or parsed.") {
    auto& [path] = args;
    object file_path = pathlib_Path(handle(path));
    if (!exists(file_path)) return own(PyDict_New());
    try {
        object text = call_method(file_path, k_read_text);
        return json::loads(text);  // a document that is not an object fails the return check
    } catch (nb::python_error& e) {
        if (!is_a(e, PyExc_OSError) && !is_a(e, PyExc_ValueError) &&
            !is_a(e, PyExc_RecursionError))
            throw;  // ValueError covers JSONDecodeError and UnicodeDecodeError
        log_warning(kFailed, handle(path), e.value());
        return own(PyDict_New());
    }
}

// One GET with the JSON Accept header and a 10-second limit, for the whole
// body too, of at most 16 MiB. Redirects are followed to http and https only.
// Every failure (network, HTTP status, a redirect elsewhere, time, size,
// decoding, parsing, a document that is not an object) is logged and gives
// an empty map.
ORV_FUNCTION(load_url, "_load_url(url: str) -> dict",
             "The map served at `url`; an empty map, with a warning, when the fetch, decoding or "
             "parsing fails.") {
    auto& [url] = args;
    try {
        object headers = own(PyDict_New());
        must(PyDict_SetItemString(headers.ptr(), "Accept", nb::str("application/json").ptr()));
        http::Request request{handle(url), headers};
        request.timeout = kFetchTimeout;
        request.redirects = http::Redirects::web_only;
        http::Response response(http::open(request));
        object text = call_method(read_bounded(response.get()), k_decode, "utf-8");
        object data = json::loads(text);
        response.close();
        return returning(std::move(data), &PyDict_Type);
    } catch (nb::python_error& e) {
        if (!is_a(e, PyExc_Exception)) throw;
        log_warning(kFailed, handle(url), e.value());
        http::close_error_response(e);
        return own(PyDict_New());
    }
}

}  // namespace

void define_loading(ClassBuilder& cls) {
    cls.method(map_init_def)
        .method(load_def)
        .property(available_def)
        .static_method(load_file_def)
        .static_method(load_url_def);
}

}  // namespace orv::capabilities
