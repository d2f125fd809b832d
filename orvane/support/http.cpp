// HTTP through the host's urllib.request and ssl.
#include "support/http.hpp"

#include "support/host.hpp"

namespace orv::http {

namespace {

Name k_urllib_request{"urllib.request"}, k_Request{"Request"}, k_urlopen{"urlopen"}, k_data{"data"},
    k_method{"method"}, k_context{"context"}, k_ssl{"ssl"},
    k_create_default_context{"create_default_context"}, k_urllib_error{"urllib.error"},
    k_HTTPError{"HTTPError"}, k_HTTPRedirectHandler{"HTTPRedirectHandler"},
    k_redirect_request{"redirect_request"}, k_build_opener{"build_opener"},
    k_HTTPSHandler{"HTTPSHandler"}, k_urlparse{"urlparse"}, k_open{"open"};

// A redirect handler's choice (see redirect_request of the host's
// HTTPRedirectHandler): the new request, None to leave the answer as it is
// (urllib then raises HTTPError for the 3xx), or HTTPError to refuse.
ORV_FUNCTION(web_only_redirect,
             "redirect_request(self, req, fp, code, msg, headers, newurl)",
             "Follows a redirect to http or https only, as HTTPRedirectHandler would; any other "
             "scheme is refused with HTTPError before anything there is reached.") {
    auto& [self, req, fp, code, msg, headers, newurl] = args;
    object scheme = getattr(call_method(host_module(k_urllib_parse), k_urlparse, handle(newurl)), k_scheme);
    if (!is_web_scheme(scheme)) {
        object text = own(PyUnicode_FromFormat("%S - Redirection to url '%S' is not allowed", msg, newurl));
        object error = getattr(host_module(k_urllib_error), k_HTTPError)(
            handle(newurl), handle(code), text, handle(headers), handle(fp));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        raise_current();
    }
    object base = getattr(host_module(k_urllib_request), k_HTTPRedirectHandler);
    return getattr(base, k_redirect_request)(handle(self), handle(req), handle(fp), handle(code),
                                             handle(msg), handle(headers), handle(newurl));
}

ORV_FUNCTION(never_redirect, "redirect_request(self, req, fp, code, msg, headers, newurl)",
             "Follows no redirect: the 3xx answer stands as an HTTPError.") {
    return nb::none();
}

// The handler class of a policy, a subclass of the host's
// HTTPRedirectHandler as it stands now (made again when that class is
// replaced).
object redirect_handler_class(Redirects policy) {
    struct Made {
        PyObject* base = nullptr;
        PyObject* cls = nullptr;
    };
    static Made made[2];  // web_only, never; kept for the process
    Made& m = made[policy == Redirects::never];
    object base = getattr(host_module(k_urllib_request), k_HTTPRedirectHandler);
    if (m.cls && m.base == base.ptr()) return nb::borrow(m.cls);
    const Def& def = policy == Redirects::never ? never_redirect_def : web_only_redirect_def;
    const char* name = policy == Redirects::never ? "NoRedirectHandler" : "WebRedirectHandler";
    object globals = own(PyDict_New());
    must(PyDict_SetItemString(globals.ptr(), "__builtins__", PyEval_GetBuiltins()));
    object ns = own(PyDict_New());
    must(PyDict_SetItemString(ns.ptr(), "__module__", nb::str("orvane").ptr()));
    must(PyDict_SetItemString(ns.ptr(), "__qualname__", nb::str(name).ptr()));
    must(PyDict_SetItemString(ns.ptr(), "redirect_request",
                              make_function(def, nb::str("orvane"), name, globals).ptr()));
    object cls = own(PyObject_CallFunction(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())), "s(O)O",
                                           name, base.ptr(), ns.ptr()));
    Py_XSETREF(m.base, Py_NewRef(base.ptr()));
    Py_XSETREF(m.cls, Py_NewRef(cls.ptr()));
    return cls;
}

}  // namespace

object make_request(const Request& request) {
    object module = host_module(k_urllib_request);
    object kwargs = own(PyDict_New());
    if (request.data.is_valid()) set_item(kwargs, k_data, request.data);
    if (request.headers.is_valid()) set_item(kwargs, k_headers, request.headers);
    if (request.method.is_valid()) set_item(kwargs, k_method, request.method);
    object args = nb::make_tuple(request.url);
    return own(PyObject_Call(getattr(module, k_Request).ptr(), args.ptr(), kwargs.ptr()));
}

object open(handle prepared, const Request& request) {
    object module = host_module(k_urllib_request);
    object open_kwargs = own(PyDict_New());
    if (request.timeout_value.is_valid())
        set_item(open_kwargs, k_timeout, request.timeout_value);
    else if (request.timeout >= 0)
        set_item(open_kwargs, k_timeout, nb::float_(request.timeout));
    object open_args = nb::make_tuple(prepared);
    static HostFunction* urlopen = new HostFunction(k_urllib_request, k_urlopen);  // never destroyed
    bool genuine = false;
    object opener_fn = urlopen->current(genuine);
    if (request.redirects == Redirects::host || !genuine) {
        if (request.context.is_valid()) set_item(open_kwargs, k_context, request.context);
        return own(PyObject_Call(opener_fn.ptr(), open_args.ptr(), open_kwargs.ptr()));
    }
    // As urlopen opens it, with the redirect handler added.
    nb::list handlers;
    handlers.append(redirect_handler_class(request.redirects)());
    if (request.context.is_valid())
        handlers.append(getattr(module, k_HTTPSHandler)(nb::arg("context") = request.context));
    object handler_tuple = own(PyList_AsTuple(handlers.ptr()));
    object opener = own(PyObject_Call(getattr(module, k_build_opener).ptr(), handler_tuple.ptr(), nullptr));
    return own(PyObject_Call(getattr(opener, k_open).ptr(), open_args.ptr(), open_kwargs.ptr()));
}

object open(const Request& request) { return open(make_request(request), request); }

bool is_web_scheme(handle scheme) {
    PyObject* s = scheme.ptr();
    return PyUnicode_Check(s) && (PyUnicode_CompareWithASCIIString(s, "http") == 0 ||
                                  PyUnicode_CompareWithASCIIString(s, "https") == 0);
}

void close_error_response(const nb::python_error& error) {
    object http_error = getattr(host_module(k_urllib_error), k_HTTPError);
    if (error.matches(http_error)) call_quietly(error.value(), k_close);
}

object default_tls_context() { return call_method(host_module(k_ssl), k_create_default_context); }

Response::~Response() {
    if (response_.is_valid()) call_quietly(response_, k_close);
}

object Response::read() const { return call_method(response_, k_read); }

void Response::close() {
    object response = std::move(response_);
    if (response.is_valid()) call_method(response, k_close);
}

}  // namespace orv::http
